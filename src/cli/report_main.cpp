// veltrano-report: the weighings of a series, the rows of a period, or a
// balance check with its weighings, as a sealed PDF report.
#include "report/reportsettings.h"
#include "report/reportwriter.h"
#include "report/reportsource.h"
#include "store/database.h"
#include "store/databaseconfig.h"
#include "store/rowsource.h"
#include "support/commandline.h"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QSqlDatabase>

#include <cstdio>

using namespace Veltrano;
using namespace Veltrano::CommandLine;

namespace {

constexpr char kConnection[] = "report";

void printError(const QString &text)
{
    std::fprintf(stderr, "veltrano-report: %s\n", text.toLocal8Bit().constData());
}

struct ReportCommand
{
    QString database = QStringLiteral("sqlite.db");
    QString output;
    bool quiet = false;
    std::optional<PaperSize> paper;  // nothing: report.ini's
    ReportSource::Request request;
    QString usage;

    Outcome parse(const QStringList &arguments, QString *error);
};

Outcome ReportCommand::parse(const QStringList &arguments, QString *error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Writes the weighings of a series, the rows of a period, or a balance check with its "
                       "weighings, as a PDF report that carries a seal of its rows (veltrano-verify --report checks "
                       "it). The lab's name and the paper come from report.ini, the balances' ids from settings.ini, "
                       "both in the working folder; their makers, models and serials from the balance register."));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption databaseOption =
        DatabaseConfig::commandLineOption(QStringLiteral("read"), QStringLiteral("sqlite.db here"));
    databaseOption.setDefaultValue(database);
    const QCommandLineOption seriesOption(QStringLiteral("series"),
                                          QStringLiteral("The weighings of the series NAME, whenever they were made."),
                                          QStringLiteral("NAME"));
    const QCommandLineOption checkOption(
        QStringLiteral("check"),
        QStringLiteral("The balance check recorded as ID (as veltrano-check list shows it), with its weighings."),
        QStringLiteral("ID"));
    const QCommandLineOption fromOption(
        QStringLiteral("from"), QStringLiteral("First moment shown: YYYY-MM-DD, YYYY-MM-DDTHH:MM[:SS], or HH:MM[:SS] "
                                               "for today."),
        QStringLiteral("WHEN"));
    const QCommandLineOption toOption(QStringLiteral("to"),
                                      QStringLiteral("Last moment shown, as --from (a date or a minute: through its "
                                                     "last second)."),
                                      QStringLiteral("WHEN"));
    const QCommandLineOption instrumentOption(
        QStringLiteral("instrument"),
        QStringLiteral("An instrument's name, exactly as recorded (case counts); may be repeated. Without it: all."),
        QStringLiteral("NAME"));
    const QCommandLineOption paperOption(QStringLiteral("paper"),
                                         QStringLiteral("A4 or Letter (default: report.ini's, else A4)."),
                                         QStringLiteral("SIZE"));
    const QCommandLineOption quietOption(QStringLiteral("quiet"), QStringLiteral("No summary line."));
    parser.addOptions({databaseOption, seriesOption, checkOption, fromOption, toOption, instrumentOption, paperOption, quietOption});
    parser.addPositionalArgument(QStringLiteral("OUTPUT"), QStringLiteral("The PDF file to write."));
    usage = parser.helpText();

    auto usageError = [error](const QString &reason) {
        *error = reason;
        return UsageError;
    };
    if (const Outcome parsed = parseWithOutput(parser, arguments, &output, error); parsed != Run)
        return parsed;
    database = parser.value(databaseOption);
    quiet = parser.isSet(quietOption);

    request.series = parser.value(seriesOption);
    if (parser.isSet(seriesOption) && request.series.isEmpty())
        return usageError(QStringLiteral("--series needs a name"));
    if (parser.isSet(seriesOption)
        && (parser.isSet(fromOption) || parser.isSet(toOption) || parser.isSet(instrumentOption)))
        return usageError(QStringLiteral("--series shows the whole series: not with --from, --to or --instrument"));
    if (parser.isSet(checkOption)) {
        bool ok = false;
        request.check = parser.value(checkOption).toLongLong(&ok);
        if (!ok || request.check <= 0)
            return usageError(QStringLiteral("--check: not a check record's id: %1").arg(parser.value(checkOption)));
        if (parser.isSet(seriesOption) || parser.isSet(fromOption) || parser.isSet(toOption)
            || parser.isSet(instrumentOption))
            return usageError(
                QStringLiteral("--check shows the check's weighings: not with --series, --from, --to or --instrument"));
    }
    for (const auto &[option, endOfDay] : {std::pair(&fromOption, false), std::pair(&toOption, true)}) {
        if (!parser.isSet(*option))
            continue;
        const QDateTime when = parseWhen(parser.value(*option), endOfDay, QDate::currentDate());
        if (!when.isValid())
            return usageError(QStringLiteral("--%1: not a date or date and time: %2")
                                  .arg(option->names().first(), parser.value(*option)));
        (endOfDay ? request.to : request.from) = when;
    }
    if (request.from.isValid() && request.to.isValid() && request.from > request.to)
        return usageError(QStringLiteral("--from is after --to"));
    request.instruments = parser.values(instrumentOption);

    if (parser.isSet(paperOption)) {
        const QString size = parser.value(paperOption).toLower();
        if (size == QLatin1String("a4"))
            paper = PaperSize::A4;
        else if (size == QLatin1String("letter"))
            paper = PaperSize::Letter;
        else
            return usageError(QStringLiteral("--paper: not A4 or Letter: %1").arg(parser.value(paperOption)));
    }
    return Run;
}

int run(const ReportCommand &command)
{
    const Database::Opened opened = Database::open(command.database, Database::Mode::ReadOnly, QLatin1String(kConnection));
    if (!opened.usable()) {
        printError(QStringLiteral("cannot open the database %1: %2")
                       .arg(DatabaseConfig::displayName(command.database), opened.error));
        return 1;
    }
    const QSqlDatabase db = QSqlDatabase::database(QLatin1String(kConnection), false);
    // Names that match no recorded row are told, as a likely slip of the pen.
    QString error;
    for (const DataRows::Unmatched &missing : DataRows::unmatchedInstruments(db, command.request.instruments, &error))
        printError(QStringLiteral("warning: ") + missing.warning());
    if (!error.isEmpty()) {
        printError(QStringLiteral("cannot read the recorded rows: %1").arg(error));
        return 1;
    }
    ReportSource::Written written;
    error = ReportSource::writeReport(db, command.request, command.paper, command.output, &written);
    for (const QString &warning : qAsConst(written.warnings))
        printError(QStringLiteral("warning: %1").arg(warning));
    if (!error.isEmpty()) {
        printError(error);
        return 1;
    }
    if (!command.quiet)
        std::printf("%s\n", QStringLiteral("wrote %1 %2 to %3 (%4 %5)")
                                .arg(written.rows)
                                .arg(QLatin1String(written.rows == 1 ? "row" : "rows"), command.output)
                                .arg(written.pages)
                                .arg(QLatin1String(written.pages == 1 ? "page" : "pages"))
                                .toLocal8Bit()
                                .constData());
    return 0;
}

// Qt's own warnings go to standard error as usual, but for the one that
// drawing without a screen brings on every run (no XDG_RUNTIME_DIR).
QtMessageHandler qtHandler = nullptr;

void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR")))
        return;
    qtHandler(type, context, message);
}

} // namespace

int main(int argc, char *argv[])
{
    // The PDF is drawn without a screen: no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qtHandler = qInstallMessageHandler(handleMessage);
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("veltrano-report"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELTRANO_VERSION));
    QLoggingCategory::defaultCategory()->setEnabled(QtDebugMsg, false);

    ReportCommand command;
    QString error;
    const Outcome outcome = command.parse(QCoreApplication::arguments(), &error);
    if (outcome != Run)
        return answer("veltrano-report", outcome, command.usage, error);
    const int status = run(command);
    QSqlDatabase::removeDatabase(QLatin1String(kConnection));
    return status;
}
