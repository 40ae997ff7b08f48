// Exporting the table: to an .xls workbook (time and peak memory, for the
// most rows one worksheet takes and for a million), to CSV against the SQLite
// shell's own CSV output, to .xlsx, and one day out of a million rows against
// a table that holds only that day.

#include "benchdata.h"
#include "harness.h"
#include "export/measurementexport.h"
#include "export/xlsworkbook.h"
#include "store/weighingtable.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <memory>

namespace Bench {
namespace {

using namespace Veltrano::MeasurementExport;

// The export as the program runs it once a file name is chosen: the
// workbook written beside the target and put in its place when complete.
bool ourExport(const QString &fileName, Format format = Format::Xls, const Selection &selection = {})
{
    Request request;
    request.format = format;
    request.fileName = fileName;
    request.selection = selection;
    return exportRows(QSqlDatabase::database(), request).step == Result::Done;
}

// The export done the straightforward way: a plain query (the driver keeps
// every row it has stepped over) sorted on the time column alone, fields
// read by name, and the row statement pasted together for each row. Without
// the spreadsheet driver that statement would feed, its values go to the same
// workbook writer.
bool referenceExport(const QString &fileName)
{
    using namespace Veltrano;
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    XlsWorkbook workbook(QStringLiteral("data"), columnNames());
    QSqlQuery source;
    if (!source.exec(QStringLiteral(
            "SELECT sampling_date, sampling_time, instrument_id, header, result, unit FROM data ORDER BY sampling_time;")))
        return false;
    qint64 statementBytes = 0;
    while (source.next()) {
        const QStringList values = {
            source.value(QStringLiteral("sampling_date")).toString(),
            source.value(QStringLiteral("sampling_time")).toString(),
            source.value(QStringLiteral("instrument_id")).toString(),
            source.value(QStringLiteral("result")).toString(),
            source.value(QStringLiteral("unit")).toString(),
        };
        const QString statement =
            QStringLiteral("INSERT INTO data(sampling_date, sampling_time, instrument_id, result, unit) ") +
            "VALUES ('" + values.join(QStringLiteral("','")) + "');";
        statementBytes += statement.size();
        workbook.appendRow(values);
    }
    benchmark::DoNotOptimize(statementBytes);
    return workbook.write(&file) && file.commit();
}

// The same query through the SQLite shell's CSV mode, its output into a file.
bool shellCsv(const QString &fileName)
{
    QProcess shell;
    shell.setStandardOutputFile(fileName);
    shell.start(QStringLiteral("sqlite3"),
                {QStringLiteral("-csv"), QStringLiteral("-header"), QStringLiteral("sqlite.db"),
                 QStringLiteral("SELECT sampling_date, sampling_time, instrument_id, result, unit FROM data "
                                "ORDER BY sampling_date, sampling_time, rowid;")});
    return shell.waitForFinished(-1) && shell.exitStatus() == QProcess::NormalExit && shell.exitCode() == 0;
}

// Times `run` once per iteration, with the peak memory above idle and the file's size.
void timeExport(benchmark::State &state, const QString &fileName, const std::function<bool()> &run)
{
    for (auto _ : state) {
        Memory::trim();
        const double idle = Memory::residentMiB();
        Memory::resetPeak();
        QElapsedTimer timer;
        timer.start();
        const bool ok = run();
        state.SetIterationTime(timer.nsecsElapsed() / 1e9);
        state.counters["peak_above_idle_mib"] = Memory::peakMiB() - idle;
        state.counters["file_mib"] = QFileInfo(fileName).size() / 1048576.0;
        if (!ok)
            state.SkipWithError("export failed");
    }
}

void exportXls(benchmark::State &state, Variant variant, qint64 rows)
{
    WorkDir dir(rows, variant == Variant::Ours);
    openDefaultConnection();
    const QString fileName = dir.path() + QStringLiteral("/export.xls");
    timeExport(state, fileName, [&] { return variant == Variant::Ours ? ourExport(fileName) : referenceExport(fileName); });
    closeDefaultConnection();
}

void exportCsv(benchmark::State &state, Variant variant, qint64 rows)
{
    WorkDir dir(rows, true);
    openDefaultConnection();
    const QString fileName = dir.path() + QStringLiteral("/export.csv");
    timeExport(state, fileName, [&] { return variant == Variant::Ours ? ourExport(fileName, Format::Csv) : shellCsv(fileName); });
    closeDefaultConnection();
}

void exportXlsx(benchmark::State &state, Variant, qint64 rows)
{
    WorkDir dir(rows, true);
    openDefaultConnection();
    const QString fileName = dir.path() + QStringLiteral("/export.xlsx");
    timeExport(state, fileName, [&] { return ourExport(fileName, Format::Xlsx); });
    closeDefaultConnection();
}

// One day of rows (one a second), the sixth of the 1e6-row table; the
// reference table holds that day's rows only (its first day).
void exportDay(benchmark::State &state, Variant variant, qint64 rows)
{
    WorkDir dir(variant == Variant::Ours ? 1000000 : rows, true);
    openDefaultConnection();
    const QDate day = variant == Variant::Ours ? QDate(2026, 1, 6) : QDate(2026, 1, 1);
    const Selection selection{QDateTime(day, QTime(0, 0)), QDateTime(day, QTime(23, 59, 59)), {}};
    const QString fileName = dir.path() + QStringLiteral("/day.csv");
    timeExport(state, fileName, [&] { return ourExport(fileName, Format::Csv, selection); });
    closeDefaultConnection();
}

// Every row made a weighing, each balance's in series of 20 (a lab's usual
// tray: the 16 balances take turns, so 320 rows hold one tray of each), classed.
bool makeWeighings()
{
    QSqlQuery query;
    for (const char *statement : Veltrano::WeighingTable::kSqliteTable) {
        if (!query.exec(QString::fromLatin1(statement)))
            return false;
    }
    return query.exec(QStringLiteral(
        "INSERT INTO weighing(row_key, sample, series, trigger, kind, operator, class, nominal) SELECT rowid, "
        "'S-' || rowid, 'tray-' || ((rowid - 1) / 320), 'print', 'net', 'anna', 'within', '' FROM data;"));
}

// One line per series with its figures, against the plain CSV of the same rows.
void exportSeries(benchmark::State &state, Variant variant, qint64 rows)
{
    WorkDir dir(rows, true);
    openDefaultConnection();
    if (!makeWeighings()) {
        state.SkipWithError("weighings not made");
        closeDefaultConnection();
        return;
    }
    const QString fileName = dir.path() + QStringLiteral("/series.csv");
    timeExport(state, fileName, [&] {
        Request request;
        request.format = Format::Csv;
        request.fileName = fileName;
        request.series = variant == Variant::Ours;
        return exportRows(QSqlDatabase::database(), request).step == Result::Done;
    });
    closeDefaultConnection();
}

const int kRegistered = [] {
    registerPair("export", {65535}, 5, exportXls);
    registerPair("export", {1000000}, 2, exportXls);
    registerPair("export_csv", {1000000}, 3, exportCsv);
    registerOurs("export_xlsx", {1000000}, 1, exportXlsx);
    registerPair("export_day", {86400}, 5, exportDay);
    registerPair("export_series", {1000000}, 3, exportSeries);
    return 0;
}();

CheckRegistrar c1(30, atMost("export of 65,535 rows, ours", name("export", Variant::Ours, 65535), {}, 1000, "ms"));
CheckRegistrar c2(31, speedup("export of 65,535 rows, speed-up", name("export", Variant::Ours, 65535),
                              name("export", Variant::Reference, 65535)));
CheckRegistrar c3(32, figure("export of 1e6 rows, ours", name("export", Variant::Ours, 1000000), {}, "ms"));
CheckRegistrar c4(33, atMost("export of 1e6 rows, peak above idle, ours", name("export", Variant::Ours, 1000000),
                             "peak_above_idle_mib", 100, "MiB"));
CheckRegistrar c5(34, figure("export of 1e6 rows, peak above idle, reference",
                             name("export", Variant::Reference, 1000000), "peak_above_idle_mib", "MiB"));
CheckRegistrar c6(35, speedup("export of 1e6 rows, speed-up", name("export", Variant::Ours, 1000000),
                              name("export", Variant::Reference, 1000000)));
CheckRegistrar c7(36, growth("CSV of 1e6 rows, ours against sqlite3 -csv", name("export_csv", Variant::Ours, 1000000),
                             name("export_csv", Variant::Reference, 1000000), 1.0));
CheckRegistrar c8(37, atMost(".xlsx of 1e6 rows", name("export_xlsx", Variant::Ours, 1000000), {}, 15000, "ms"));
CheckRegistrar c9(38, atMost(".xlsx of 1e6 rows, peak above idle", name("export_xlsx", Variant::Ours, 1000000),
                             "peak_above_idle_mib", 100, "MiB"));
CheckRegistrar c10(39, growth("one day of 1e6 rows against a table of that day only",
                              name("export_day", Variant::Ours, 86400), name("export_day", Variant::Reference, 86400),
                              1.2));
CheckRegistrar c11(39, growth("--series of 1e6 weighings against the plain CSV of the same rows",
                              name("export_series", Variant::Ours, 1000000),
                              name("export_series", Variant::Reference, 1000000), 1.5));

} // namespace
} // namespace Bench
