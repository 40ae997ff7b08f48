// The weighing report: 10,000 rows as a PDF against the same rows written as
// CSV (what writing them out costs at the least), against a report of one
// page, and the seal of the 10,000-row report read back as veltrano-verify
// reads it.

#include "harness.h"
#include "export/csvwriter.h"
#include "report/reportseal.h"
#include "report/reportwriter.h"
#include "support/sha256.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryDir>

namespace Bench {
namespace {

using namespace Veltrano;

// A series of `count` weighings of one balance, with its figures.
ReportData reportData(qint64 count)
{
    ReportData data;
    data.lab = QStringLiteral("Quality Control, Building 4");
    data.balances = {{QStringLiteral("Balance 1"), QStringLiteral("b1"), QStringLiteral("Maker"),
                      QStringLiteral("Model"), QStringLiteral("SN-0001")}};
    data.version = QStringLiteral("1.0.0");
    data.from = QDateTime(QDate(2026, 1, 1), QTime(0, 0));
    data.to = data.from.addSecs(count);
    data.operators = QStringList{QStringLiteral("A. Technician")};
    data.madeAt = QDateTime::currentDateTime();
    data.coverage = {ReportCoverage::Series, QStringLiteral("S-1"), {}};
    const ResultClass classes[] = {ResultClass::Within, ResultClass::Within, ResultClass::Within, ResultClass::Warning,
                                   ResultClass::Outside};
    data.rows.reserve(count);
    for (qint64 i = 0; i < count; ++i) {
        ReportRow row;
        row.key = i + 1;
        Sha256 hash;
        hash.addData(QByteArray::number(i));
        row.hash = QString::fromLatin1(hash.result().toHex());
        row.instrument = QStringLiteral("Balance 1");
        row.sampleId = QStringLiteral("S-%1").arg(i + 1, 6, 10, QLatin1Char('0'));
        const QDateTime at = data.from.addSecs(i);
        row.date = at.date().toString(Qt::ISODate);
        row.time = at.time().toString(Qt::ISODate);
        row.result = QString::number(10.0 + (i % 21 - 10) * 0.005, 'f', 3);
        row.unit = QStringLiteral("g");
        row.kind = WeightKind::Net;
        row.resultClass = classes[i % 5];
        data.rows.append(row);
    }
    ReportStatistics statistics;
    statistics.n = QString::number(count);
    statistics.mean = QStringLiteral("10.000 g");
    statistics.nominal = QStringLiteral("10.000 g");
    statistics.t1Lower = QStringLiteral("9.970 g");
    statistics.t1Upper = QStringLiteral("10.030 g");
    statistics.t2Lower = QStringLiteral("9.955 g");
    statistics.t2Upper = QStringLiteral("10.045 g");
    data.statistics = statistics;
    data.chainHead = data.rows.isEmpty() ? QString() : data.rows.last().hash;
    return data;
}

// The rows' shown texts as CSV, written the way the export writes its files.
bool writeCsv(const ReportData &data, const QString &fileName)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    CsvWriter csv(&file, QLatin1Char(','));
    QString fields[8];
    for (const ReportRow &row : data.rows) {
        fields[0] = QString::number(row.key);
        fields[1] = row.sampleId;
        fields[2] = row.date;
        fields[3] = row.time;
        fields[4] = row.result;
        fields[5] = row.unit;
        fields[6] = shownKindText(row.kind);
        fields[7] = resultClassText(row.resultClass);
        if (!csv.appendRow(fields, 8))
            return false;
    }
    return csv.flush() && file.commit();
}

void report(benchmark::State &state, Variant variant, qint64 rows)
{
    const ReportData data = reportData(rows);
    QTemporaryDir dir;
    const QString fileName = dir.filePath(variant == Variant::Ours ? QStringLiteral("report.pdf")
                                                                   : QStringLiteral("report.csv"));
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        bool ok = false;
        int pages = 0;
        if (variant == Variant::Ours) {
            ReportWriter writer(data);
            ok = writer.write(fileName).isEmpty();
            pages = writer.pageCount();
        } else {
            ok = writeCsv(data, fileName);
        }
        state.SetIterationTime(timer.nsecsElapsed() / 1e9);
        state.counters["pages"] = pages;
        state.counters["file_mib"] = QFileInfo(fileName).size() / 1048576.0;
        if (!ok)
            state.SkipWithError("the report was not written");
    }
}

void readBack(benchmark::State &state, Variant, qint64 rows)
{
    QTemporaryDir dir;
    const QString fileName = dir.filePath(QStringLiteral("report.pdf"));
    if (!ReportWriter(reportData(rows)).write(fileName).isEmpty()) {
        state.SkipWithError("the report was not written");
        return;
    }
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        QString error;
        const auto seal = readSeal(fileName, &error);
        state.SetIterationTime(timer.nsecsElapsed() / 1e9);
        if (!seal || seal->keys.size() != rows)
            state.SkipWithError("the seal was not read back");
    }
}

const int kRegistered = [] {
    registerPair("report", {10000}, 3, report);
    registerOurs("report", {10}, 5, report);
    registerOurs("report_seal", {10000}, 5, readBack);
    return 0;
}();

CheckRegistrar c1(80, atMost("report of 10,000 rows as PDF", name("report", Variant::Ours, 10000), {}, 5000, "ms"));
CheckRegistrar c2(81, figure("report of 10,000 rows, pages", name("report", Variant::Ours, 10000), "pages", "pages"));
// Written as `speedup` with the sides swapped: how many times the CSV's time,
// and a one-page report's, the PDF takes.
CheckRegistrar c3(82, speedup("report of 10,000 rows, PDF time over CSV time",
                              name("report", Variant::Reference, 10000), name("report", Variant::Ours, 10000)));
CheckRegistrar c4(83, speedup("report of 10,000 rows, time over a 1-page report's", name("report", Variant::Ours, 10),
                              name("report", Variant::Ours, 10000)));
CheckRegistrar c5(84, figure("report of 10,000 rows, file size", name("report", Variant::Ours, 10000), "file_mib", "MiB"));
CheckRegistrar c6(85, figure("seal of a 10,000-row report read back", name("report_seal", Variant::Ours, 10000), {}, "ms"));

} // namespace
} // namespace Bench
