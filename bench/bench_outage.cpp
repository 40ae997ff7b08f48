// Unattended outages during a collection of 8 instruments sampled every
// second, nobody answering the boxes: sqlite.db locked by another connection;
// the database server stopped and started again, frozen (SIGSTOP) for longer
// than the network timeouts, or down when the program starts. For each, the
// longest time the window's event loop was away (a 1 ms timer's lateness),
// what became of the rows, and how soon the kept rows were written. The
// reference of the lock stores the straightforward way: one insert per tick
// with SQLite's default busy wait of 5 s, a refused row dropped.

#include "benchdata.h"
#include "benchprobe.h"
#include "harness.h"
#include "pgserver.h"
#include "startup.h"
#include "store/databaseconfig.h"
#include "store/measurementdb.h"
#include "store/measurementstore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace Bench {
namespace {

constexpr int kSampled = 8;

qint64 rowCount(const QSqlDatabase &db = QSqlDatabase::database())
{
    QSqlQuery query(db);
    return query.exec(QStringLiteral("SELECT count(*) FROM data")) && query.next() ? query.value(0).toLongLong() : -1;
}

// The instruments' sampling timers, each tick handed to `tick`.
class Sampling
{
public:
    explicit Sampling(const std::function<void(const QString &)> &tick)
    {
        for (int i = 0; i < kSampled; ++i) {
            m_timers.push_back(std::make_unique<QTimer>());
            m_timers.back()->setInterval(1000);
            QObject::connect(m_timers.back().get(), &QTimer::timeout, [this, tick, i] {
                ++m_ticks;
                tick(instrumentId(i));
            });
            m_timers.back()->start();
        }
    }
    void stop()
    {
        for (auto &timer : m_timers)
            timer->stop();
    }
    qint64 ticks() const { return m_ticks; }

private:
    std::vector<std::unique_ptr<QTimer>> m_timers;
    qint64 m_ticks = 0;
};

// A shown main window with the latest reading of every sampled instrument.
std::unique_ptr<MainWindow> shownWindow()
{
    auto window = std::make_unique<MainWindow>();
    const Reading reading;
    for (int i = 0; i < kSampled; ++i)
        MainWindowProbe::setLatest(*window, instrumentId(i), reading.header, reading.result, reading.unit);
    showAndWait(window.get());
    return window;
}

void locked(benchmark::State &state, Variant variant, qint64 seconds)
{
    for (auto _ : state) {
        // Few enough rows for the view to read them all: a view still reading
        // holds a shared lock, and SQLite then fails a write at once instead
        // of waiting (it would deadlock), which hides the busy wait.
        WorkDir dir(100, true);
        QSqlQuery schemaQuery;
        if (variant == Variant::Ours ? Startup::openDatabase() >= 0 : !openDefaultConnection()) {
            state.SkipWithError("cannot open the database");
            return;
        }
        {
            const ProgramBoxes boxes;
            std::unique_ptr<MainWindow> ours;
            std::unique_ptr<ReferenceWindow> reference;
            std::function<void(const QString &)> tick;
            if (variant == Variant::Ours) {
                ours = shownWindow();
                tick = [&](const QString &id) { MainWindowProbe::tick(*ours, id); };
            } else {
                reference = std::make_unique<ReferenceWindow>();
                showAndWait(reference.get());
                tick = [&](const QString &id) { reference->store(id); };
            }
            const qint64 before = rowCount();

            // The other program's lock: a connection of its own holding an
            // exclusive transaction, which keeps readers out as well.
            {
                QSqlDatabase locker = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker"));
                locker.setDatabaseName(QString::fromLatin1(Veltrano::MeasurementDb::kFileName));
                QSqlQuery lock(locker.open() ? locker : QSqlDatabase());
                if (!lock.exec(QStringLiteral("BEGIN EXCLUSIVE"))) {
                    state.SkipWithError("cannot lock the database");
                    return;
                }
            }
            std::unique_ptr<QSignalSpy> ended;
            if (ours)
                ended = std::make_unique<QSignalSpy>(&MainWindowProbe::storage(*ours), &Veltrano::Storage::outageEnded);

            Sampling sampling(tick);
            StallMeter stalls(1);
            QTest::qWait(int(seconds * 1000));
            const qint64 stall = stalls.longestMs();
            const int over100 = stalls.over100Ms();
            const qint64 ticksDuringLock = sampling.ticks();

            QSqlDatabase::database(QStringLiteral("locker"), false).rollback();
            QSqlDatabase::removeDatabase(QStringLiteral("locker"));
            QElapsedTimer sinceUnlock;
            sinceUnlock.start();
            stalls.restart();
            double latency = 0;
            int kept = 0;
            if (ours) {
                if (ended->isEmpty())
                    ended->wait(3 * Veltrano::MeasurementStore::kRetryMs);
                latency = sinceUnlock.nsecsElapsed() / 1e6;
                kept = ended->isEmpty() ? 0 : ended->first().first().toInt();
            }
            const qint64 writeStall = stalls.longestMs();
            sampling.stop();
            if (ours)
                MainWindowProbe::storage(*ours).drain(30000);
            QCoreApplication::processEvents();

            state.SetIterationTime(stall / 1e3);
            state.counters["longest_stall_ms"] = stall;
            state.counters["stalls_over_100ms"] = over100;
            state.counters["ticks"] = sampling.ticks();
            state.counters["rows_kept"] = kept;
            state.counters["rows_lost"] = sampling.ticks() - (rowCount() - before);
            state.counters["ticks_during_lock"] = ticksDuringLock;
            state.counters["written_after_unlock_ms"] = latency;
            state.counters["write_stall_ms"] = double(writeStall);
            state.counters["boxes"] = Startup::boxesWaiting();
        }
        schemaQuery = QSqlQuery();
        closeDefaultConnection();
    }
}

// ---------------------------------------------------------------- server

enum class ServerTrouble { Restarts = 1, Frozen = 2, DownAtStart = 3 };

// The server's processes: the postmaster listening on `port`, and its children.
std::vector<pid_t> serverProcesses(int port)
{
    std::vector<pid_t> pids;
    pid_t postmaster = 0;
    const QByteArray portArg = "\0-p\0" + QByteArray::number(port) + '\0';
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool numeric = false;
        const pid_t pid = entry.toInt(&numeric);
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (numeric && cmdline.open(QIODevice::ReadOnly)) {
            const QByteArray text = '\0' + cmdline.readAll();
            if (text.contains("postgres") && text.contains(QByteArray(portArg.constData(), portArg.size())))
                postmaster = pid;
        }
    }
    if (!postmaster)
        return pids;
    pids.push_back(postmaster);
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        // pid (comm) state ppid ...: the fields after the last ')'.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toInt() == postmaster)
            pids.push_back(entry.toInt());
    }
    return pids;
}

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// What happens to the server, on a thread of its own so that the window's
// loop never waits for pg_ctl; returns false when a step failed.
bool trouble(PgServer &pg, ServerTrouble kind)
{
    switch (kind) {
    case ServerTrouble::Restarts: {
        bool ok = true;
        for (int i = 0; i < 3; ++i) {
            sleepMs(4000);
            ok = pg.stop() && ok;
            sleepMs(4000);
            ok = pg.start() && ok;
        }
        sleepMs(4000);
        return ok;
    }
    case ServerTrouble::Frozen: {
        sleepMs(3000);
        const std::vector<pid_t> pids = serverProcesses(QUrl(pg.uri()).port());
        for (pid_t pid : pids)
            ::kill(pid, SIGSTOP);
        // Longer than the connect, network and lock timeouts of the program.
        sleepMs(3 * Veltrano::DatabaseConfig::kNetworkTimeoutMs);
        for (pid_t pid : pids)
            ::kill(pid, SIGCONT);
        sleepMs(6000);
        return !pids.empty();
    }
    case ServerTrouble::DownAtStart: {
        sleepMs(10000);
        const bool ok = pg.start();
        sleepMs(6000);
        return ok;
    }
    }
    return false;
}

void serverOutage(benchmark::State &state, ServerTrouble kind)
{
    for (auto _ : state) {
        PgServer *pg = sharedServer();
        if (!pg) {
            state.SkipWithError("no PostgreSQL server");
            return;
        }
        {
            QSqlDatabase db = Veltrano::DatabaseConfig::addDatabase(pg->uri(), QStringLiteral("prepare"));
            QSqlQuery query(db);
            if (!db.open() || !query.exec(QStringLiteral("DROP TABLE IF EXISTS data"))
                || Veltrano::MeasurementDb::ensureTable(query, nullptr) == Veltrano::MeasurementDb::TableState::Failed) {
                state.SkipWithError("server table not ready");
                return;
            }
        }
        QSqlDatabase::removeDatabase(QStringLiteral("prepare"));
        WorkDir dir(0, true);
        if (kind == ServerTrouble::DownAtStart && !pg->stop()) {
            state.SkipWithError("cannot stop the server");
            return;
        }

        const ProgramBoxes boxes;
        QElapsedTimer startup;
        startup.start();
        QSqlQuery schemaQuery;
        const int status = Startup::openDatabase(pg->uri());
        const double openMs = startup.nsecsElapsed() / 1e6;
        {
            std::unique_ptr<MainWindow> window = shownWindow();
            const double shownMs = startup.nsecsElapsed() / 1e6;
            Sampling sampling([&](const QString &id) { MainWindowProbe::tick(*window, id); });
            StallMeter stalls(1);

            std::atomic<bool> done{false};
            bool ok = status < 0;
            std::thread script([&] {
                ok = trouble(*pg, kind) && ok;
                done = true;
            });
            QEventLoop loop;
            QTimer check;
            QObject::connect(&check, &QTimer::timeout, [&] {
                if (done)
                    loop.quit();
            });
            check.start(20);
            loop.exec();
            script.join();
            const qint64 troubleStall = stalls.longestMs();
            const qint64 troubleStallAt = stalls.longestAtMs();
            const int troubleOver100 = stalls.over100Ms();

            // Until every tick's row is in the server's table, the timers
            // stopped; still measuring the loop.
            sampling.stop();
            stalls.restart();
            QElapsedTimer recovery;
            recovery.start();
            qint64 stored = -1;
            {
                QSqlDatabase counter = Veltrano::DatabaseConfig::addDatabase(pg->uri(), QStringLiteral("counter"));
                while (recovery.elapsed() < 30000) {
                    if (counter.isOpen() || counter.open()) {
                        stored = rowCount(counter);
                        if (stored >= sampling.ticks())
                            break;
                    }
                    QTest::qWait(200);
                }
            }
            QSqlDatabase::removeDatabase(QStringLiteral("counter"));
            const double recoveryMs = recovery.nsecsElapsed() / 1e6;

            state.SetIterationTime(troubleStall / 1e3);
            state.counters["longest_stall_ms"] = double(troubleStall);
            state.counters["longest_stall_at_s"] = troubleStallAt / 1e3;
            state.counters["stalls_over_100ms"] = troubleOver100;
            state.counters["recovery_stall_ms"] = double(stalls.longestMs());
            state.counters["ticks"] = double(sampling.ticks());
            state.counters["ticks_without_row"] = double(sampling.ticks() - stored);
            state.counters["all_written_after_ms"] = recoveryMs;
            state.counters["boxes"] = Startup::boxesWaiting();
            if (kind == ServerTrouble::DownAtStart) {
                state.counters["open_ms"] = openMs;
                state.counters["shown_ms"] = shownMs;
            }
            if (!ok)
                state.SkipWithError("a step of the server's trouble failed");
        }
        schemaQuery = QSqlQuery();
        closeDefaultConnection();
    }
}

const int kRegistered = [] {
    registerPair("outage_locked", {30}, 1, locked);
    registerOurs("outage_server_restarts", {3}, 1,
                 [](benchmark::State &s, Variant, qint64) { serverOutage(s, ServerTrouble::Restarts); });
    registerOurs("outage_server_frozen", {15}, 1,
                 [](benchmark::State &s, Variant, qint64) { serverOutage(s, ServerTrouble::Frozen); });
    registerOurs("outage_server_down_at_start", {10}, 1,
                 [](benchmark::State &s, Variant, qint64) { serverOutage(s, ServerTrouble::DownAtStart); });
    return 0;
}();

const std::string kLocked = "outage_locked";
CheckRegistrar c1(40, atMost("longest event-loop stall, 30 s exclusive lock (ours)", name(kLocked, Variant::Ours, 30),
                             "longest_stall_ms", 100, "ms"));
CheckRegistrar c2(41, speedup("longest stall, reference / ours", name(kLocked, Variant::Ours, 30),
                              name(kLocked, Variant::Reference, 30), 10));
CheckRegistrar c3(42, atMost("rows lost, 30 s lock (ours)", name(kLocked, Variant::Ours, 30), "rows_lost", 0, "rows"));
CheckRegistrar c4(43, figure("rows lost, 30 s lock (reference)", name(kLocked, Variant::Reference, 30), "rows_lost",
                             "rows"));
CheckRegistrar c5(44, figure("kept rows written after the lock went (ours)", name(kLocked, Variant::Ours, 30),
                             "written_after_unlock_ms", "ms"));
const std::string kRestarts = name("outage_server_restarts", Variant::Ours, 3);
const std::string kFrozen = name("outage_server_frozen", Variant::Ours, 15);
const std::string kDown = name("outage_server_down_at_start", Variant::Ours, 10);
CheckRegistrar c6(45, atMost("server stopped and started 3 times: longest stall", kRestarts, "longest_stall_ms", 100,
                             "ms"));
CheckRegistrar c7(46, atMost("server stopped and started 3 times: ticks without a row", kRestarts,
                             "ticks_without_row", 0, "ticks"));
CheckRegistrar c8(47, atMost("server frozen 15 s (SIGSTOP): longest stall", kFrozen, "longest_stall_ms", 100, "ms"));
CheckRegistrar c9(48, atMost("server frozen 15 s: ticks without a row", kFrozen, "ticks_without_row", 0, "ticks"));
CheckRegistrar c10(49, atMost("started with the server down: longest stall", kDown, "longest_stall_ms", 100, "ms"));
CheckRegistrar c11(49, atMost("started with the server down: ticks without a row", kDown, "ticks_without_row", 0,
                              "ticks"));

} // namespace
} // namespace Bench
