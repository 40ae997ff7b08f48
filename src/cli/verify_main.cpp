// veltrano-verify: walks the chains of the recorded rows and of the audit
// trail, and tells what was changed, removed or added outside the program;
// or checks the rows of a report against the seal it carries.
#include "report/reportseal.h"
#include "report/reportsource.h"
#include "store/chainverifier.h"
#include "store/database.h"
#include "store/databaseconfig.h"
#include "support/commandline.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSqlDatabase>
#include <QSqlError>

#include <cstdio>

namespace {

const char kUsage[] =
    "Usage: veltrano-verify [--database FILE|URI]\n"
    "       veltrano-verify [--database FILE|URI] --report FILE.pdf\n"
    "\n"
    "Checks every recorded row and audit entry of sqlite.db (or the database that\n"
    "--database or database.ini names) against the SHA-256 chains written with\n"
    "them, and prints one line for each row changed, removed or added outside the\n"
    "program (by key, date, time and instrument) and for each audit entry that\n"
    "does not fit, then a summary line with the counts. Rows recorded before the\n"
    "chains began are counted as without provenance, not as broken.\n"
    "\n"
    "With --report, checks instead the rows a report of veltrano-report shows\n"
    "against the seal it carries: whether each is still in the database with the\n"
    "hash it had, naming by key those changed or no longer there.\n"
    "\n"
    "  --database FILE|URI  an SQLite file, or a PostgreSQL server's libpq URI\n"
    "  --report FILE.pdf    check the rows of this report against its seal\n"
    "  --help               print this help, and exit\n"
    "  --version            print the version, and exit\n"
    "\n"
    "Exit status: 0 intact (the report's rows unchanged); 1 broken (rows changed or\n"
    "missing), or the database or the report cannot be read; 2 wrong usage.\n";

constexpr char kConnection[] = "verify";

int usageError(const QString &reason)
{
    return Veltrano::CommandLine::answer("veltrano-verify", Veltrano::CommandLine::UsageError, {}, reason);
}

// The rows of the report `pdf` against its seal.
int checkReport(const QSqlDatabase &db, const QString &pdf)
{
    QString error;
    const std::optional<Veltrano::ReportSeal> seal = Veltrano::readSeal(pdf, &error);
    if (!seal) {
        std::fprintf(stderr, "veltrano-verify: %s holds no report seal: %s\n", pdf.toLocal8Bit().constData(),
                     error.toLocal8Bit().constData());
        return 1;
    }
    const QHash<qint64, QString> current = Veltrano::ReportSource::currentHashes(db, seal->keyRanges(), &error);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "veltrano-verify: %s\n", error.toLocal8Bit().constData());
        return 1;
    }
    const Veltrano::SealCheck check = Veltrano::checkSeal(*seal, current);
    std::printf("%s\n", check.summary().toLocal8Bit().constData());
    return check.unchanged ? 0 : 1;
}

int run(const QString &uri, const QString &reportFile)
{
    using Veltrano::Database::Opened;
    const Opened opened = Veltrano::Database::open(uri, Veltrano::Database::Mode::ReadOnly, QLatin1String(kConnection));
    if (!opened.usable()) {
        std::fprintf(stderr, "veltrano-verify: cannot open the database %s: %s\n",
                     Veltrano::DatabaseConfig::displayName(uri).toLocal8Bit().constData(),
                     opened.error.toLocal8Bit().constData());
        return 1;
    }
    const QSqlDatabase db = QSqlDatabase::database(QLatin1String(kConnection), false);
    if (!reportFile.isEmpty())
        return checkReport(db, reportFile);
    const Veltrano::ChainVerifier::Report report = Veltrano::ChainVerifier::verify(db, [](const QString &line) {
        std::printf("%s\n", line.toLocal8Bit().constData());
    });
    std::printf("%s\n", report.summary().toLocal8Bit().constData());
    return report.broken() ? 1 : 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("veltrano-verify"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELTRANO_VERSION));
    QLoggingCategory::defaultCategory()->setEnabled(QtDebugMsg, false);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    QString database;
    QString report;
    while (!arguments.isEmpty()) {
        const QString argument = arguments.takeFirst();
        if (argument == QLatin1String("--help") || argument == QLatin1String("--version")) {
            using namespace Veltrano::CommandLine;
            return answer("veltrano-verify", argument == QLatin1String("--help") ? Help : Version,
                          QString::fromLatin1(kUsage), {});
        } else if (argument.startsWith(QLatin1String("--database="))) {
            database = argument.mid(int(qstrlen("--database=")));
        } else if (argument == QLatin1String("--database")) {
            if (arguments.isEmpty())
                return usageError(QStringLiteral("--database needs a file or a server address"));
            database = arguments.takeFirst();
        } else if (argument.startsWith(QLatin1String("--report="))) {
            report = argument.mid(int(qstrlen("--report=")));
            if (report.isEmpty())
                return usageError(QStringLiteral("--report needs a report's PDF file"));
        } else if (argument == QLatin1String("--report")) {
            if (arguments.isEmpty())
                return usageError(QStringLiteral("--report needs a report's PDF file"));
            report = arguments.takeFirst();
        } else {
            return usageError(QStringLiteral("unknown argument '%1'").arg(argument));
        }
    }
    const int status = run(database.isEmpty() ? Veltrano::DatabaseConfig::chosenUri({}) : database, report);
    QSqlDatabase::removeDatabase(QLatin1String(kConnection));
    return status;
}
