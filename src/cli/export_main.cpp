// veltrano-export: writes recorded rows to a file for scripts and schedulers.
#include "checks/checkregister.h"
#include "export/csvwriter.h"
#include "store/archive.h"
#include "store/audit.h"
#include "store/database.h"
#include "store/databaseconfig.h"
#include "exportcommand.h"
#include "support/commandline.h"
#include "support/limits.h"
#include "support/reading.h"
#include "terminal.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QSaveFile>
#include <QLoggingCategory>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <cstdio>

using namespace Veltrano::MeasurementExport;

namespace {

constexpr char kConnection[] = "export";

void printError(const QString &text)
{
    std::fprintf(stderr, "veltrano-export: %s\n", text.toLocal8Bit().constData());
}

// "[#####-----] 12345 / 100000 rows  4200 rows/s  0:21 left", redrawn in
// place within the terminal's width (a line that reached the last column
// would wrap and leave a line per update), "finishing" while the file is
// closed; wiped at the end.
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
        const qint64 left = rate > 0 ? qint64((total - written) / rate) : 0;
        const QString counts = QStringLiteral(" %1 / %2 rows").arg(written, int(QString::number(total).size())).arg(total);
        const QString pace = written == total ? QStringLiteral("  finishing")
                                              : QStringLiteral("  %1 rows/s  %2:%3 left")
                                                    .arg(rate, 0, 'f', 0)
                                                    .arg(left / 60)
                                                    .arg(left % 60, 2, 10, QLatin1Char('0'));
        const int width = Terminal::columns(2) - 1;
        QString line = counts + pace;
        int barWidth = qMin(30, width - line.size() - 2);
        if (barWidth < 10) {  // narrow: the counts, or that it is finishing
            line = written == total ? pace.mid(1) : counts;
            barWidth = qMin(30, width - line.size() - 2);
        }
        if (barWidth >= 4) {
            const int filled = total > 0 ? int(written * barWidth / total) : barWidth;
            line.prepend(QLatin1Char('[') + QString(filled, QLatin1Char('#')) + QString(barWidth - filled, QLatin1Char('-'))
                         + QLatin1Char(']'));
        }
        draw(line.left(width).leftJustified(width));
        return true;
    }
    ~ProgressBar()
    {
        if (m_shown)
            draw(QString(Terminal::columns(2) - 1, QLatin1Char(' ')) + QLatin1Char('\r'));
    }

private:
    static void draw(const QString &line)
    {
        std::fprintf(stderr, "\r%s", line.toLocal8Bit().constData());
        std::fflush(stderr);
    }

    bool m_shown = false;
    QElapsedTimer m_started;
    QElapsedTimer m_timer;
};

// Names that match no recorded row are told, as a likely slip of the pen.
void reportUnmatched(const QStringList &names)
{
    QString error;
    const QList<Unmatched> unmatched =
        unmatchedInstruments(QSqlDatabase::database(QLatin1String(kConnection), false), names, &error);
    for (const Unmatched &missing : unmatched) {
        if (missing.otherCase.isEmpty())
            printError(QStringLiteral("no row of the instrument \"%1\" is recorded (names are case-sensitive)")
                           .arg(missing.name));
        else
            printError(QStringLiteral("no row of the instrument \"%1\" is recorded; names are case-sensitive, "
                                      "recorded: \"%2\"")
                           .arg(missing.name, missing.otherCase.join(QStringLiteral("\", \""))));
    }
}

// The archive of cleared rows as CSV: the exported columns and the value,
// then when and by whom each was cleared; by clear, then oldest first. A
// file is put in place only when complete.
Result exportCleared(const QSqlDatabase &db, const ExportCommand &command)
{
    Result result;
    const auto stop = [&result](Result::Step step, const QString &error) {
        result.step = step;
        result.error = error;
        return result;
    };
    QSqlQuery query(db);
    query.setForwardOnly(true);
    // Without an archive nothing was cleared: the header alone.
    const bool archive = Veltrano::Archive::exists(db);
    if (archive && !query.exec(QStringLiteral("SELECT sampling_date, sampling_time, instrument_id, result, unit, cleared_at, "
                                   "cleared_by FROM cleared_data ORDER BY clear_id, sampling_date, sampling_time, "
                                   "row_key;")))
        return stop(Result::ReadRows, query.lastError().text());
    QSaveFile file(command.request.fileName);
    QIODevice *device = command.request.device;
    if (!device) {
        if (!file.open(QIODevice::WriteOnly))
            return stop(Result::OpenTarget, file.errorString());
        device = &file;
    }
    Veltrano::CsvWriter csv(device, command.request.separator);
    QString cells[ColumnCount + 3];
    const QStringList names = columnNames();
    std::copy(names.cbegin(), names.cend(), cells);
    cells[ColumnCount] = QString::fromLatin1(kValueColumn);
    cells[ColumnCount + 1] = QStringLiteral("cleared_at");
    cells[ColumnCount + 2] = QStringLiteral("cleared_by");
    bool ok = csv.appendRow(cells, ColumnCount + 3);
    while (ok && archive && query.next()) {
        for (int i = 0; i < ColumnCount; ++i)
            cells[i] = query.value(i).toString();
        cells[ColumnCount] = Veltrano::numericValue(cells[ResultColumn]);
        if (command.request.decimalComma)
            cells[ColumnCount].replace(QLatin1Char('.'), QLatin1Char(','));
        cells[ColumnCount + 1] = query.value(ColumnCount).toString();
        cells[ColumnCount + 2] = query.value(ColumnCount + 1).toString();
        ok = csv.appendRow(cells, ColumnCount + 3);
        result.rows += ok;
    }
    if (ok && query.lastError().isValid())
        return stop(Result::ReadRows, query.lastError().text());
    if (!ok || !csv.flush())
        return stop(Result::WriteFile, csv.errorString());
    if (!command.request.device && !file.commit())
        return stop(Result::ReplaceTarget, file.errorString());
    result.sha256 = fileHash(command.request);
    return result;
}

// The records of the balance checks, those of the chosen instruments and
// period, oldest first.
Result exportChecks(const QSqlDatabase &db, const ExportCommand &command)
{
    QVector<Veltrano::Checks::CheckRecord> records;
    if (const QString error = Veltrano::Checks::records(db, &records); !error.isEmpty()) {
        Result result;
        result.step = Result::ReadRows;
        result.error = error;
        return result;
    }
    using Column = Veltrano::XlsxBook::Column;
    using Veltrano::XlsxBook;
    const QVector<Column> columns{
        {QStringLiteral("instrument_id"), XlsxBook::Text}, {QStringLiteral("test"), XlsxBook::Text},
        {QStringLiteral("date"), XlsxBook::Date},          {QStringLiteral("time"), XlsxBook::Time},
        {QStringLiteral("operator"), XlsxBook::Text},      {QStringLiteral("weight"), XlsxBook::Text},
        {QStringLiteral("nominal"), XlsxBook::Number},     {QStringLiteral("n"), XlsxBook::Number},
        {QStringLiteral("mean"), XlsxBook::Number},        {QStringLiteral("sd"), XlsxBook::Number},
        {QStringLiteral("deviation"), XlsxBook::Number},   {QStringLiteral("criterion"), XlsxBook::Text},
        {QStringLiteral("verdict"), XlsxBook::Text}};
    const Selection &selection = command.request.selection;
    QVector<QStringList> rows;
    for (const Veltrano::Checks::CheckRecord &record : qAsConst(records)) {
        const QDateTime when = QDateTime(QDate::fromString(record.date, Qt::ISODate),
                                         QTime::fromString(record.time, Qt::ISODate));
        if ((selection.from.isValid() && when < selection.from) || (selection.to.isValid() && when > selection.to)
            || (!selection.instruments.isEmpty() && !selection.instruments.contains(record.instrumentId)))
            continue;
        rows.append(Veltrano::Checks::recordTexts(record));
    }
    return exportTable(command.request, QStringLiteral("checks"), columns, rows);
}

int run(ExportCommand &command)
{
    const Veltrano::Database::Opened opened =
        Veltrano::Database::open(command.database, Veltrano::Database::Mode::ReadOnly, QLatin1String(kConnection));
    if (!opened.usable()) {
        // A server is named by host and database: its address may hold a password.
        printError(QStringLiteral("cannot open the database %1: %2")
                       .arg(Veltrano::DatabaseConfig::displayName(command.database), opened.error));
        return 1;
    }
    QString error;
    QFile standardOutput;
    if (command.output == QLatin1String("-")) {
        standardOutput.open(stdout, QIODevice::WriteOnly);
        command.request.device = &standardOutput;
    }
    if (!command.request.selection.instruments.isEmpty() && !command.checks)
        reportUnmatched(command.request.selection.instruments);
    command.request.temporaryFile = Terminal::removeOnInterrupt;
    const bool onTerminal = !command.quiet && Terminal::isTerminal(2);
    Result result;
    {
        ProgressBar bar;
        Progress progress;
        if (onTerminal)
            progress = [&bar](qint64 written, qint64 total) { return bar.update(written, total); };
        const QSqlDatabase db = QSqlDatabase::database(QLatin1String(kConnection), false);
        result = command.cleared  ? exportCleared(db, command)
                 : command.checks ? exportChecks(db, command)
                                  : exportRows(db, command.request, progress);
    }
    if (result.step != Result::Done) {
        printError(describeFailure(result, command.output));
        return 1;
    }
    // The export is done whatever the audit trail says: a refusal is told only.
    QJsonObject details = auditDetails(command.request, result);
    if (command.cleared)
        details.insert(QStringLiteral("cleared"), true);
    if (command.checks)
        details.insert(QStringLiteral("checks"), true);
    const QString refused = Veltrano::Database::recordAudit(QLatin1String(kConnection), QLatin1String(Veltrano::Audit::kExported),
                                                         details);
    if (!refused.isEmpty())
        printError(QStringLiteral("warning: the export is not in the audit trail: %1").arg(refused));
    if (onTerminal) {
        const QString target = command.output == QLatin1String("-") ? QStringLiteral("standard output") : command.output;
        std::fprintf(stderr, "%s\n",
                     QStringLiteral("%1 %2 written to %3")
                         .arg(result.rows)
                         .arg(QLatin1String(result.rows == 1 ? "row" : "rows"), target)
                         .toLocal8Bit()
                         .constData());
    }
    if (result.cutCells)
        printError(QStringLiteral("%1 texts longer than a cell takes were cut to %2 characters")
                       .arg(result.cutCells)
                       .arg(Veltrano::Limits::kCellText));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("veltrano-export"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELTRANO_VERSION));
    // Standard error is for what the user must know.
    QLoggingCategory::defaultCategory()->setEnabled(QtDebugMsg, false);

    ExportCommand command;
    QString error;
    const ExportCommand::Outcome outcome = command.parse(QCoreApplication::arguments(), &error);
    if (outcome != Veltrano::CommandLine::Run)
        return Veltrano::CommandLine::answer("veltrano-export", outcome, command.usage(), error);
    const int status = run(command);
    QSqlDatabase::removeDatabase(QLatin1String(kConnection));
    return status;
}
