// Exporting the table to an .xls workbook: time and peak memory, for the
// most rows one worksheet takes and for a million.

#include "benchdata.h"
#include "harness.h"
#include "measurementexport.h"
#include "xlsworkbook.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <memory>

namespace Bench {
namespace {

// The export as the program runs it once a file name is chosen: the
// workbook written beside the target and put in its place when complete.
bool ourExport(const QString &fileName)
{
    using namespace Veltrano;
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    XlsWorkbook workbook(QString::fromLatin1(MeasurementExport::kSheetName), MeasurementExport::columnNames());
    return MeasurementExport::readRows(workbook, nullptr) && workbook.write(&file) && file.commit();
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
    XlsWorkbook workbook(QStringLiteral("data"), MeasurementExport::columnNames());
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

void exportRows(benchmark::State &state, Variant variant, qint64 rows)
{
    WorkDir dir(rows, variant == Variant::Ours);
    openDefaultConnection();
    const QString fileName = dir.path() + QStringLiteral("/export.xls");
    for (auto _ : state) {
        Memory::trim();
        const double idle = Memory::residentMiB();
        Memory::resetPeak();
        QElapsedTimer timer;
        timer.start();
        const bool ok = variant == Variant::Ours ? ourExport(fileName) : referenceExport(fileName);
        state.SetIterationTime(timer.nsecsElapsed() / 1e9);
        state.counters["peak_above_idle_mib"] = Memory::peakMiB() - idle;
        state.counters["file_mib"] = QFileInfo(fileName).size() / 1048576.0;
        if (!ok)
            state.SkipWithError("export failed");
    }
    closeDefaultConnection();
}

const int kRegistered = [] {
    registerPair("export", {65535}, 5, exportRows);
    registerPair("export", {1000000}, 2, exportRows);
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

} // namespace
} // namespace Bench
