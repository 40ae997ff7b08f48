// A database server shared by several collectors, on a server of the
// benchmark's own over loopback: the time of one store beside the same store
// into sqlite.db, and several collectors storing into one server at once.

#include "benchdata.h"
#include "store/databaseconfig.h"
#include "harness.h"
#include "mainwindow.h"
#include "store/measurementdb.h"
#include "store/storage.h"
#include "pgserver.h"
#include "startup.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSqlQuery>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <memory>

namespace Bench {
namespace {

using namespace Veltrano;

PgServer *server()
{
    return sharedServer();
}

MeasurementDb::Row benchRow(const QString &name)
{
    const Reading reading;
    const QDateTime now = QDateTime::currentDateTime();
    return {now.date().toString(Qt::ISODate), now.time().toString(Qt::ISODate), name, reading.header,
            reading.result, reading.unit};
}

// The row count the server's table was last filled with by serverTable(); -1
// once another benchmark has replaced it.
qint64 filledRows = -1;

bool freshTable(const QSqlDatabase &db)
{
    filledRows = -1;
    QSqlQuery query(db);
    return query.exec(QStringLiteral("DROP TABLE IF EXISTS data"))
           && MeasurementDb::ensureTable(query, nullptr) != MeasurementDb::TableState::Failed;
}

double percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[std::min(values.size() - 1, size_t(fraction * values.size()))];
}

// `count` single-row stores, each in its own transaction as a sampling tick
// makes it; Ours is the server, Reference the same into sqlite.db.
void storeLatency(benchmark::State &state, Variant variant, qint64 count)
{
    for (auto _ : state) {
        WorkDir dir(0, true);
        PgServer *pg = variant == Variant::Ours ? server() : nullptr;
        if (variant == Variant::Ours && !pg) {
            state.SkipWithError("no PostgreSQL server");
            return;
        }
        std::vector<double> ms;
        {
            QSqlDatabase db = DatabaseConfig::addDatabase(pg ? pg->uri() : QString());
            if (!db.open() || !freshTable(db)) {
                state.SkipWithError("database not ready");
                break;
            }
            QElapsedTimer timer;
            for (qint64 i = 0; i < count; ++i) {
                timer.start();
                if (!MeasurementDb::insertRow(benchRow(QStringLiteral("Balance 1")), nullptr))
                    state.SkipWithError("store failed");
                ms.push_back(timer.nsecsElapsed() / 1e6);
            }
        }
        closeDefaultConnection();
        const double median = percentile(ms, 0.5);
        state.SetIterationTime(median / 1e3);
        state.counters["median_ms"] = median;
        state.counters["p99_ms"] = percentile(ms, 0.99);
    }
}

// One collector as the program runs it: an event loop (its window's thread)
// with `instruments` sampling timers at 1 s, each tick handing a row to a
// Storage of its own (its own connection, on a thread of its own); a 10 ms
// heartbeat measures the longest stall of the loop. Each store's time, from
// the row handed over to its transaction committed, is recorded.
struct Collector
{
    int instruments = 16;
    int seconds = 60;
    bool store = true;  // false: the same loop and timers, storing nothing
    int phaseMs = 0;    // when in the second its timers start
    QString uri;
    QString name;
    std::atomic<int> ticks{0};
    std::atomic<qint64> longestStallMs{0};
    std::atomic<int> stallsOver100Ms{0};
    // Guarded by `mutex`: when each row not yet written was handed over, and
    // the store times of those written.
    std::mutex mutex;
    std::deque<qint64> handedOverNs;
    std::vector<double> storeMs;
    QElapsedTimer clock;

    void run()
    {
        clock.start();
        DatabaseConfig::addDatabase(uri, name);
        {
            Storage storage(name);
            if (store) {
                // Direct: on the storage thread, as soon as the transaction committed.
                QObject::connect(&storage, &Storage::rowsWritten, &storage, [this](int count) {
                    const qint64 now = clock.nsecsElapsed();
                    const std::lock_guard<std::mutex> lock(mutex);
                    for (int i = 0; i < count && !handedOverNs.empty(); ++i) {
                        storeMs.push_back((now - handedOverNs.front()) / 1e6);
                        handedOverNs.pop_front();
                    }
                }, Qt::DirectConnection);
                storage.start();
            }
            QEventLoop loop;
            std::vector<std::unique_ptr<QTimer>> timers;
            for (int i = 0; i < instruments; ++i) {
                timers.push_back(std::make_unique<QTimer>());
                const QString instrument = QStringLiteral("%1 balance %2").arg(name).arg(i + 1);
                QObject::connect(timers.back().get(), &QTimer::timeout, [this, instrument, &storage] {
                    ++ticks;
                    if (!store)
                        return;
                    {
                        const std::lock_guard<std::mutex> lock(mutex);
                        handedOverNs.push_back(clock.nsecsElapsed());
                    }
                    storage.store(benchRow(instrument));
                });
                timers.back()->setInterval(1000);
            }
            QTimer::singleShot(phaseMs, &loop, [&timers] {
                for (auto &timer : timers)
                    timer->start();
            });
            QElapsedTimer beat;
            beat.start();
            QTimer heartbeat;
            QObject::connect(&heartbeat, &QTimer::timeout, [this, &beat] {
                const qint64 stall = beat.restart() - 10;
                longestStallMs = std::max<qint64>(longestStallMs, stall);
                stallsOver100Ms += stall > 100;
            });
            heartbeat.start(10);
            QTimer::singleShot(seconds * 1000 + 500, &loop, &QEventLoop::quit);
            loop.exec();
            for (auto &timer : timers)
                timer->stop();
            if (store)
                storage.drain(30000);
        }
        QSqlDatabase::removeDatabase(name);
    }
};

// `count` collectors of 16 instruments at 1 s on the server for `seconds`.
struct CollectorRun
{
    qint64 ticks = 0, stored = -1, stall = 0, longStalls = 0;
    std::vector<double> storeMs;
};

// `staggered`: each collector's ticks at its own moment of the second, as
// PCs started at different times have them; else all at the same moment.
CollectorRun runCollectors(PgServer &pg, int count, int seconds, bool store, bool staggered)
{
    CollectorRun result;
    {
        QSqlDatabase db = DatabaseConfig::addDatabase(pg.uri());
        if (!db.open() || !freshTable(db))
            return result;
    }
    closeDefaultConnection();
    std::vector<std::unique_ptr<Collector>> pcs;
    std::vector<std::unique_ptr<QThread>> threads;
    for (int pc = 0; pc < count; ++pc) {
        pcs.push_back(std::make_unique<Collector>());
        pcs.back()->seconds = seconds;
        pcs.back()->store = store;
        pcs.back()->phaseMs = staggered ? pc * 1000 / count : 0;
        pcs.back()->uri = pg.uri();
        pcs.back()->name = QStringLiteral("PC%1").arg(pc + 1);
        threads.emplace_back(QThread::create([c = pcs.back().get()] { c->run(); }));
        threads.back()->start();
    }
    for (auto &thread : threads)
        thread->wait();
    for (const auto &pc : pcs) {
        result.ticks += pc->ticks;
        result.longStalls += pc->stallsOver100Ms;
        result.stall = std::max<qint64>(result.stall, pc->longestStallMs);
        result.storeMs.insert(result.storeMs.end(), pc->storeMs.begin(), pc->storeMs.end());
    }
    {
        QSqlDatabase db = DatabaseConfig::addDatabase(pg.uri());
        QSqlQuery query(db);
        if (db.open() && query.exec(QStringLiteral("SELECT count(*) FROM data")) && query.next())
            result.stored = query.value(0).toLongLong();
    }
    closeDefaultConnection();
    return result;
}

// `count` collectors for `seconds`, storing or not, with their figures as
// counters. The benchmark's time: the whole run, or the store's 99th
// percentile (`timeIsStore`).
void measureCollectors(benchmark::State &state, int count, int seconds, bool store, bool staggered, bool timeIsStore)
{
    for (auto _ : state) {
        PgServer *pg = server();
        if (!pg) {
            state.SkipWithError("no PostgreSQL server");
            return;
        }
        QElapsedTimer timer;
        timer.start();
        const CollectorRun run = runCollectors(*pg, count, seconds, store, staggered);
        const double took = timer.nsecsElapsed() / 1e9;
        const double p99 = percentile(run.storeMs, 0.99);
        state.SetIterationTime(timeIsStore ? p99 / 1e3 : took);
        state.counters["took_s"] = took;
        state.counters["ticks"] = double(run.ticks);
        state.counters["ticks_without_row"] = store ? double(run.ticks - run.stored) : 0;
        state.counters["stall_ms"] = double(run.stall);
        state.counters["stalls_over_100ms"] = double(run.longStalls);
        if (store) {
            state.counters["store_median_ms"] = percentile(run.storeMs, 0.5);
            state.counters["store_p99_ms"] = p99;
            state.counters["store_max_ms"] = percentile(run.storeMs, 1.0);
            state.counters["met"] = run.stored == run.ticks && run.ticks > 0 && p99 < 100;
        }
    }
}

// 4 collectors of 16 instruments. Reference: the same collectors storing
// nothing, to tell the machine's own scheduling stalls (two cores shared)
// from the stores'.
void collectors(benchmark::State &state, Variant variant, qint64 seconds)
{
    measureCollectors(state, 4, int(seconds), variant == Variant::Ours, false, false);
}

// How many collectors one server takes: `count` collectors of 16
// instruments at 1 s for 20 s, each tick's row handed to the collector's
// Storage; every tick must be stored and the store's 99th percentile stay
// under 100 ms. The collectors tick at moments spread over the second, as
// PCs started one after the other do; the aligned variant has them all tick
// at once (the worst case). All of them share this machine's cores with the
// server, where a lab's PCs bring their own.
void scale(benchmark::State &state, Variant, qint64 count)
{
    measureCollectors(state, int(count), 20, true, true, true);
}

void scaleAligned(benchmark::State &state, Variant, qint64 count)
{
    measureCollectors(state, int(count), 20, true, false, true);
}

// The table of the server with `rows` rows, one a second from 2026-01-01 on,
// made once per size.
bool serverTable(PgServer &pg, qint64 rows)
{
    if (filledRows == rows)
        return true;
    const bool ok = pg.psql(QStringLiteral("DROP TABLE IF EXISTS data; %1 %2 "
                                           "INSERT INTO data(sampling_date, sampling_time, instrument_id, header, "
                                           "result, unit) SELECT to_char(t, 'YYYY-MM-DD'), to_char(t, 'HH24:MI:SS'), "
                                           "'Balance ' || (1 + n % 16), 'N     ', '+123.4567', 'g  ' FROM "
                                           "generate_series(0, %3 - 1) n CROSS JOIN LATERAL (SELECT timestamp '2026-01-01' + "
                                           "n * interval '1 second' AS t) s;")
                                .arg(QString::fromLatin1(MeasurementDb::kServerCreateTable),
                                     QString::fromLatin1(MeasurementDb::kServerCreateSortIndex))
                                .arg(rows));
    filledRows = ok && pg.psql(QStringLiteral("VACUUM ANALYZE data")) ? rows : -1;
    return ok;
}

// Start-up to a shown, painted main window over the server's table.
void serverStartup(benchmark::State &state, Variant, qint64 rows)
{
    for (auto _ : state) {
        PgServer *pg = server();
        if (!pg || !serverTable(*pg, rows)) {
            state.SkipWithError("no server table");
            return;
        }
        WorkDir dir(0, true);
        QElapsedTimer timer;
        timer.start();
        bool ok;
        {
            ok = Startup::openDatabase(pg->uri()) < 0;
            MainWindow window;
            ok = showAndWait(&window) && ok;
            state.SetIterationTime(timer.nsecsElapsed() / 1e9);
        }
        closeDefaultConnection();
        if (!ok)
            state.SkipWithError("start-up failed");
    }
}

const int kRegistered = [] {
    registerOurs("server_startup_shown", {0, 1000000}, 3, serverStartup);
    registerPair("server_store", {2000}, 3, storeLatency);
    registerPair("server_collectors", {60}, 1, collectors);
    registerOurs("server_scale", {50, 75, 96}, 1, scale);
    registerOurs("server_scale_aligned", {25, 50, 75, 96}, 1, scaleAligned);
    return 0;
}();

const std::string kStore = "server_store";
const std::string kCollectors = name("server_collectors", Variant::Ours, 60);
CheckRegistrar c1(70, figure("store into the server, median", name(kStore, Variant::Ours, 2000),
                             "median_ms", "ms"));
CheckRegistrar c2(71, figure("store into the server, 99th percentile",
                             name(kStore, Variant::Ours, 2000), "p99_ms", "ms"));
CheckRegistrar c3(72, figure("store into sqlite.db, median", name(kStore, Variant::Reference, 2000), "median_ms", "ms"));
CheckRegistrar c4(73, figure("store into sqlite.db, 99th percentile", name(kStore, Variant::Reference, 2000), "p99_ms",
                             "ms"));
CheckRegistrar c5(74, speedup("store: sqlite.db time / server time (median)", name(kStore, Variant::Ours, 2000),
                              name(kStore, Variant::Reference, 2000)));
CheckRegistrar c6(75, figure("4 collectors x 16 instruments, 60 s: ticks", kCollectors, "ticks", "ticks"));
CheckRegistrar c7(76, atMost("4 collectors x 16 instruments: ticks without a row", kCollectors, "ticks_without_row", 0,
                             "ticks"));
CheckRegistrar c8(77, atMost("4 collectors x 16 instruments: longest event-loop stall", kCollectors, "stall_ms", 100,
                             "ms"));
CheckRegistrar c9(78, figure("4 collectors x 16 instruments: stalls over 100 ms", kCollectors, "stalls_over_100ms",
                             "stalls"));
CheckRegistrar c13(82, figure("4 collectors x 16 instruments: store, 99th percentile", kCollectors, "store_p99_ms",
                              "ms"));
CheckRegistrar c14(83, atMost("50 collectors x 16 instruments: ticks without a row",
                              name("server_scale", Variant::Ours, 50), "ticks_without_row", 0, "ticks"));
CheckRegistrar c15(84, atMost("50 collectors x 16 instruments: store, 99th percentile",
                              name("server_scale", Variant::Ours, 50), "store_p99_ms", 100, "ms"));
CheckRegistrar c12(81, growth("window shown over the server: 1e6 rows vs empty table",
                               name("server_startup_shown", Variant::Ours, 1000000),
                               name("server_startup_shown", Variant::Ours, 0), 2));
CheckRegistrar c10(79, figure("the same collectors storing nothing: longest stall",
                              name("server_collectors", Variant::Reference, 60), "stall_ms", "ms"));
CheckRegistrar c11(80, figure("the same collectors storing nothing: stalls over 100 ms",
                              name("server_collectors", Variant::Reference, 60), "stalls_over_100ms", "stalls"));

} // namespace
} // namespace Bench
