// The database locked by another connection for a while during a collection
// of 8 instruments sampled every second: what becomes of the rows, how long
// the event loop stalls, and how soon the kept rows are written once the lock
// is gone. The reference stores the straightforward way: one insert per tick
// with SQLite's default busy wait of 5 s, a refused row dropped.

#include "benchdata.h"
#include "benchprobe.h"
#include "harness.h"
#include "startup.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTest>
#include <QTimer>

#include <memory>
#include <vector>

namespace Bench {
namespace {

constexpr int kSampled = 8;

qint64 rowCount()
{
    QSqlQuery query(QStringLiteral("SELECT count(*) FROM data"));
    return query.next() ? query.value(0).toLongLong() : -1;
}

void outage(benchmark::State &state, Variant variant, qint64 seconds)
{
    for (auto _ : state) {
        // Few enough rows for the view to read them all: a view still reading
        // holds a shared lock, and SQLite then fails a write at once instead
        // of waiting (it would deadlock), which hides the busy wait.
        WorkDir dir(100, true);
        QSqlQuery schemaQuery;
        if (variant == Variant::Ours ? Startup::openDatabase(schemaQuery) >= 0 : !openDefaultConnection()) {
            state.SkipWithError("cannot open the database");
            return;
        }
        {
            std::unique_ptr<MainWindow> ours;
            std::unique_ptr<ReferenceWindow> reference;
            std::function<void(const QString &)> store;
            if (variant == Variant::Ours) {
                ours = std::make_unique<MainWindow>();
                const Reading reading;
                for (int i = 0; i < kSampled; ++i)
                    MainWindowProbe::setLatest(*ours, instrumentId(i), reading.header, reading.result, reading.unit);
                showAndWait(ours.get());
                store = [&](const QString &id) { MainWindowProbe::store(*ours, id); };
            } else {
                reference = std::make_unique<ReferenceWindow>();
                showAndWait(reference.get());
                store = [&](const QString &id) { reference->store(id); };
            }
            const qint64 before = rowCount();

            // The other program's lock: a connection of its own holding a write
            // transaction, as a database browser with unsaved changes does.
            {
                QSqlDatabase locker = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker"));
                locker.setDatabaseName(QString::fromLatin1(Veltrano::MeasurementDb::kFileName));
                QSqlQuery lock(locker.open() ? locker : QSqlDatabase());
                if (!lock.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
                    state.SkipWithError("cannot lock the database");
                    return;
                }
            }

            // The sampling timers, and a fast timer that sees how long the loop was away.
            std::vector<std::unique_ptr<QTimer>> timers;
            qint64 ticks = 0;
            for (int i = 0; i < kSampled; ++i) {
                timers.push_back(std::make_unique<QTimer>());
                timers.back()->setInterval(1000);
                QObject::connect(timers.back().get(), &QTimer::timeout, [&, i] {
                    ++ticks;
                    store(instrumentId(i));
                });
                timers.back()->start();
            }
            QElapsedTimer sinceProbe;
            qint64 longestGap = 0;
            QTimer probe;
            probe.setInterval(5);
            QObject::connect(&probe, &QTimer::timeout, [&] {
                longestGap = qMax(longestGap, sinceProbe.restart());
            });
            sinceProbe.start();
            probe.start();

            QTest::qWait(int(seconds * 1000));
            const qint64 stall = longestGap;
            const qint64 ticksDuringLock = ticks;
            const int kept = ours ? MainWindowProbe::store(*ours).keptCount() : 0;

            QSqlDatabase::database(QStringLiteral("locker"), false).rollback();
            QSqlDatabase::removeDatabase(QStringLiteral("locker"));
            QElapsedTimer sinceUnlock;
            sinceUnlock.start();
            longestGap = 0;
            double latency = 0;
            if (ours) {
                QSignalSpy written(&MainWindowProbe::store(*ours), &Veltrano::MeasurementStore::rowsWritten);
                written.wait(3 * Veltrano::MeasurementStore::kRetryMs);
                latency = sinceUnlock.nsecsElapsed() / 1e6;
            }
            probe.stop();
            for (auto &timer : timers)
                timer->stop();
            QCoreApplication::processEvents();

            state.SetIterationTime(stall / 1e3);
            state.counters["longest_stall_ms"] = stall;
            state.counters["ticks"] = ticks;
            state.counters["rows_kept"] = kept;
            state.counters["rows_lost"] = ticks - (rowCount() - before);
            state.counters["ticks_during_lock"] = ticksDuringLock;
            state.counters["written_after_unlock_ms"] = latency;
            state.counters["write_stall_ms"] = longestGap;
        }
        schemaQuery = QSqlQuery();
        closeDefaultConnection();
    }
}

const int kRegistered = [] {
    registerPair("outage_locked", {60}, 1, outage);
    return 0;
}();

const std::string kOutage = "outage_locked";
CheckRegistrar c1(40, atMost("longest event-loop stall, 60 s lock (ours)", name(kOutage, Variant::Ours, 60),
                             "longest_stall_ms", 300, "ms"));
CheckRegistrar c2(41, speedup("longest stall, reference / ours", name(kOutage, Variant::Ours, 60),
                              name(kOutage, Variant::Reference, 60), 10));
CheckRegistrar c3(42, atMost("rows lost, 60 s lock (ours)", name(kOutage, Variant::Ours, 60), "rows_lost", 0, "rows"));
CheckRegistrar c4(43, figure("rows lost, 60 s lock (reference)", name(kOutage, Variant::Reference, 60), "rows_lost",
                             "rows"));
CheckRegistrar c5(44, figure("kept rows written after the lock went (ours)", name(kOutage, Variant::Ours, 60),
                             "written_after_unlock_ms", "ms"));

} // namespace
} // namespace Bench
