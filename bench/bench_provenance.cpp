// The chain's cost. One tick's rows (1 instrument, 16 instruments) written
// with their provenance, linked into the collector's chain, against the same
// rows written alone as before the chain, in the same single transaction on
// the same kind of file; and veltrano-verify's walk over 1e6 rows.

#include "benchdata.h"
#include "harness.h"

#include "store/chainverifier.h"
#include "store/measurementdb.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <memory>

namespace Bench {
namespace {

// A fresh sqlite.db of its own, current folder and default connection while it lives.
class ChainRig
{
public:
    ChainRig()
    {
        m_previous = QDir::currentPath();
        QDir::setCurrent(m_dir.path());
        QSqlQuery schema(openDefaultConnection() ? QSqlDatabase::database() : QSqlDatabase());
        Veltrano::MeasurementDb::ensureTable(schema, nullptr);
    }
    ~ChainRig()
    {
        closeDefaultConnection();
        QDir::setCurrent(m_previous);
    }

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

QVector<Veltrano::Row> tickRows(int count, qint64 tick)
{
    const Reading reading;
    const QDateTime now = QDateTime::currentDateTime();
    QVector<Veltrano::Row> rows;
    for (int i = 0; i < count; ++i) {
        Veltrano::Row row{now.date().toString(Qt::ISODate), now.time().toString(Qt::ISODate), instrumentId(i),
                          reading.header, reading.result, reading.unit};
        Veltrano::Provenance &p = row.provenance;
        p.instrument = instrumentId(i);
        p.tickUtc = now.toUTC().toString(Qt::ISODateWithMs);
        p.offsetSeconds = now.offsetFromUtc();
        p.receivedUtc = p.tickUtc;
        p.ageMs = tick % 1000;
        p.raw = "N     +  123.4567 g  \r\n";
        p.state = QLatin1String(Veltrano::Provenance::kLive);
        rows << row;
    }
    return rows;
}

// The rows alone, bound, in one transaction: the write path before the chain.
bool insertPlain(const QVector<Veltrano::Row> &rows)
{
    QSqlDatabase db = QSqlDatabase::database();
    QSqlQuery query(db);
    if (!db.transaction() || !query.prepare(QString::fromLatin1(Veltrano::MeasurementDb::kInsert)))
        return false;
    for (const Veltrano::Row &row : rows) {
        for (const QString *value : {&row.date, &row.time, &row.name, &row.header, &row.result, &row.unit})
            query.addBindValue(*value);
        if (!query.exec())
            return false;
    }
    return db.commit();
}

void storeTick(benchmark::State &state, Variant variant, qint64 instruments)
{
    ChainRig rig;
    // A table of some history first, so that the chain's head is looked up in an index of size.
    QString error;
    int failedAt = 0;
    for (int i = 0; i < 20; ++i)
        Veltrano::MeasurementDb::insertRows(tickRows(500, i), &error, &failedAt);
    qint64 tick = 0;
    for (auto _ : state) {
        const QVector<Veltrano::Row> rows = tickRows(int(instruments), ++tick);
        QElapsedTimer timer;
        timer.start();
        const bool ok = variant == Variant::Ours ? Veltrano::MeasurementDb::insertRows(rows, &error, &failedAt)
                                                 : insertPlain(rows);
        state.SetIterationTime(timer.nsecsElapsed() / 1e9);
        if (!ok)
            state.SkipWithError("insert failed");
    }
}

// veltrano-verify's walk: every row's hash computed again and its place in
// the chain checked, the rows without provenance looked for.
void verifyWalk(benchmark::State &state, Variant, qint64 rows)
{
    ChainRig rig;
    QString error;
    int failedAt = 0;
    for (qint64 written = 0; written < rows; written += 10000) {
        if (!Veltrano::MeasurementDb::insertRows(tickRows(int(std::min<qint64>(10000, rows - written)), written), &error,
                                                 &failedAt)) {
            state.SkipWithError("cannot write the rows");
            return;
        }
    }
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        qint64 findings = 0;
        const auto report = Veltrano::ChainVerifier::verify(QSqlDatabase::database(), [&findings](const QString &) { ++findings; });
        state.SetIterationTime(timer.nsecsElapsed() / 1e9);
        state.counters["intact"] = double(report.intact);
        state.counters["findings"] = double(findings);
        if (report.broken())
            state.SkipWithError("the chain is broken");
    }
}

const int kRegistered = [] {
    registerPair("store_tick_chained", {1, 16}, 30, storeTick);
    registerOurs("verify_walk", {1000000}, 3, verifyWalk);
    return 0;
}();

CheckRegistrar c1(40, growth("store with provenance vs without, 1 row a tick", name("store_tick_chained", Variant::Ours, 1),
                             name("store_tick_chained", Variant::Reference, 1), 1.3));
CheckRegistrar c2(41, growth("store with provenance vs without, 16 rows a tick",
                             name("store_tick_chained", Variant::Ours, 16),
                             name("store_tick_chained", Variant::Reference, 16), 1.3));
CheckRegistrar c3(42, atMost("veltrano-verify over 1e6 rows", name("verify_walk", Variant::Ours, 1000000), {}, 10000, "ms"));

} // namespace
} // namespace Bench
