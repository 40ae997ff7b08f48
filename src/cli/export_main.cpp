// veltrano-export: writes recorded rows to a file for scripts and schedulers.
#include "store/databaseconfig.h"
#include "exportcommand.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#define VELTRANO_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define VELTRANO_ISATTY(fd) isatty(fd)
#endif

using namespace Veltrano::MeasurementExport;

namespace {

constexpr char kConnection[] = "export";

void printError(const QString &text)
{
    std::fprintf(stderr, "veltrano-export: %s\n", text.toLocal8Bit().constData());
}

// Opens the measurement database for reading only, so that the program can
// go on collecting into it; a writer's short lock is waited for.
// A server address is opened as the program opens it.
bool openDatabase(const QString &name, QString *error)
{
    const bool server = Veltrano::DatabaseConfig::isServerUri(name);
    QSqlDatabase db = server ? Veltrano::DatabaseConfig::addDatabase(name, QLatin1String(kConnection))
                             : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QLatin1String(kConnection));
    if (!server) {
        db.setDatabaseName(name);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
    }
    if (db.open())
        return true;
    *error = db.lastError().databaseText().isEmpty() ? db.lastError().text() : db.lastError().databaseText();
    *error = error->trimmed();
    return false;
}

// "[#####-----]  12345 / 100000 rows  4200 rows/s  0:21 left", redrawn in place.
class ProgressBar
{
public:
    bool update(qint64 written, qint64 total)
    {
        if (m_shown && m_timer.elapsed() < 200 && written < total)
            return true;
        if (!m_shown)
            m_started.start();
        m_shown = true;
        m_timer.start();
        const double seconds = m_started.elapsed() / 1000.0;
        const double rate = seconds > 0 ? written / seconds : 0;
        const int filled = total > 0 ? int(written * 30 / total) : 30;
        const qint64 left = rate > 0 ? qint64((total - written) / rate) : 0;
        std::fprintf(stderr, "\r[%s%s] %lld / %lld rows  %.0f rows/s  %lld:%02lld left ",
                     QByteArray(filled, '#').constData(), QByteArray(30 - filled, '-').constData(),
                     static_cast<long long>(written), static_cast<long long>(total), rate,
                     static_cast<long long>(left / 60), static_cast<long long>(left % 60));
        return true;
    }
    ~ProgressBar()
    {
        if (m_shown)
            std::fputc('\n', stderr);
    }

private:
    bool m_shown = false;
    QElapsedTimer m_started;
    QElapsedTimer m_timer;
};

int run(ExportCommand &command)
{
    QString error;
    if (!openDatabase(command.database, &error)) {
        // A server is named by host and database: its address may hold a password.
        const QString database = Veltrano::DatabaseConfig::isServerUri(command.database)
                                     ? Veltrano::DatabaseConfig::serverName(command.database)
                                     : command.database;
        printError(QStringLiteral("cannot open the database %1: %2").arg(database, error));
        return 1;
    }
    QFile standardOutput;
    if (command.output == QLatin1String("-")) {
        standardOutput.open(stdout, QIODevice::WriteOnly);
        command.request.device = &standardOutput;
    }
    ProgressBar bar;
    Progress progress;
    if (!command.quiet && VELTRANO_ISATTY(2))
        progress = [&bar](qint64 written, qint64 total) { return bar.update(written, total); };
    const Result result = exportRows(QSqlDatabase::database(QLatin1String(kConnection), false), command.request, progress);
    if (result.step != Result::Done) {
        printError(describeFailure(result, command.output));
        return 1;
    }
    if (result.cutCells)
        printError(QStringLiteral("%1 texts longer than a cell takes were cut to 32767 characters")
                       .arg(result.cutCells));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("veltrano-export"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELTRANO_VERSION));

    ExportCommand command;
    QString error;
    switch (command.parse(QCoreApplication::arguments(), &error)) {
    case ExportCommand::Help:
        std::fputs(command.usage().toLocal8Bit().constData(), stdout);
        return 0;
    case ExportCommand::Version:
        std::printf("veltrano-export %s\n", VELTRANO_VERSION);
        return 0;
    case ExportCommand::UsageError:
        printError(error);
        std::fputs(command.usage().toLocal8Bit().constData(), stderr);
        return 2;
    case ExportCommand::Run:
        break;
    }
    const int status = run(command);
    QSqlDatabase::removeDatabase(QLatin1String(kConnection));
    return status;
}
