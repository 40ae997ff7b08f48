// The unattended collector under load: veltrano-collect, as a separate
// process without traces, recording 16 balances printing as fast as a
// 19200-baud line carries them, each sampled every second; beside it in the
// same run, on the same balances, the window program (a shown main window,
// its trace lines written as the program writes them to standard error).
// The run alternates the two, a quarter each, so that the machine's other
// load falls on both alike.

#include "balances.h"
#include "benchdata.h"
#include "benchprobe.h"
#include "harness.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlQuery>
#include <QVariant>

#include <csignal>
#include <unistd.h>

namespace Bench {
namespace {

qint64 rowsStored()
{
    QSqlQuery count(QStringLiteral("SELECT count(*) FROM data"));
    return count.next() ? count.value(0).toLongLong() : -1;
}

// Processor time of process `pid`, all its threads, from /proc (clock ticks).
double processCpuSecondsOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The fields after the command's closing parenthesis: utime and stime are the 12th and 13th.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

double residentMiBOf(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024;
    }
    return -1;
}

struct Phase
{
    double cpu = 0;      // processor seconds of the program measured
    double elapsed = 0;  // seconds
    qint64 rows = 0;
};

// veltrano-collect on the working folder for `ms`, measured from its
// "started" line to the moment it is told to stop.
bool collectorPhase(int ms, Phase *phase, double *residentMiB)
{
    QProcess collector;
    collector.setStandardErrorFile(QStringLiteral("collect.log"), QIODevice::Append);
    collector.start(QStringLiteral(VELTRANO_COLLECT), QStringList());
    if (!collector.waitForStarted(10000))
        return false;
    const qint64 logStart = QFile(QStringLiteral("collect.log")).size();
    runEventLoop(10000, [logStart] {
        QFile log(QStringLiteral("collect.log"));
        return log.open(QIODevice::ReadOnly) && log.readAll().mid(int(logStart)).contains(" started with ");
    });
    const qint64 rowsBefore = rowsStored();
    const double cpuBefore = processCpuSecondsOf(collector.processId());
    QElapsedTimer wall;
    wall.start();
    runEventLoop(ms, [] { return false; });
    const double cpu = processCpuSecondsOf(collector.processId()) - cpuBefore;
    phase->elapsed += wall.nsecsElapsed() / 1e9;
    phase->cpu += cpu;
    *residentMiB = std::max(*residentMiB, residentMiBOf(collector.processId()));
    ::kill(pid_t(collector.processId()), SIGTERM);
    if (!collector.waitForFinished(30000) || collector.exitCode() != 0)
        return false;
    phase->rows += rowsStored() - rowsBefore;
    return true;
}

// The window's collection for `ms`, measured from Start: the whole process
// but the thread that plays the balances.
bool windowPhase(MainWindow &window, const Balances &balances, int ms, Phase *phase)
{
    window.startToCollect();
    if (MainWindowProbe::openPorts(window) != kInstruments) {
        window.stopToCollect();
        return false;
    }
    const qint64 rowsBefore = rowsStored();
    const double feederBefore = balances.cpuSeconds();
    const double cpuBefore = processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    {
        const DebugOutput output(true);
        runEventLoop(ms, [] { return false; });
    }
    phase->cpu += processCpuSeconds() - cpuBefore - (balances.cpuSeconds() - feederBefore);
    phase->elapsed += wall.nsecsElapsed() / 1e9;
    window.stopToCollect();
    MainWindowProbe::storage(window).drain(30000);
    phase->rows += rowsStored() - rowsBefore;
    return true;
}

void collectorLoad(benchmark::State &state, Variant, qint64 seconds)
{
    for (auto _ : state) {
        WorkDir dir(100000, true);
        Balances balances;
        if (!balances.openInstruments(state))
            return;
        openDefaultConnection();
        Phase collector, window;
        double residentMiB = 0;
        bool ok = true;
        {
            MainWindow shown;
            showAndWait(&shown);
            balances.start();
            const int quarterMs = int(seconds * 1000 / 4);
            for (int quarter = 0; quarter < 4 && ok; ++quarter) {
                ok = quarter % 2 ? windowPhase(shown, balances, quarterMs, &window)
                                 : collectorPhase(quarterMs, &collector, &residentMiB);
            }
            balances.stop();
        }
        closeDefaultConnection();
        if (!ok) {
            state.SkipWithError("a collection did not start or stop as it should");
            return;
        }
        state.SetIterationTime(collector.elapsed + window.elapsed);
        const double collectorPercent = 100.0 * collector.cpu / collector.elapsed;
        const double windowPercent = 100.0 * window.cpu / window.elapsed;
        state.counters["collector_cpu_percent"] = collectorPercent;
        state.counters["window_cpu_percent"] = windowPercent;
        state.counters["cpu_ratio"] = collectorPercent / windowPercent;
        // Rows per instrument and second: 1 when every tick was stored.
        state.counters["collector_rows_per_tick"] = double(collector.rows) / kInstruments / collector.elapsed;
        state.counters["window_rows_per_tick"] = double(window.rows) / kInstruments / window.elapsed;
        state.counters["collector_resident_mib"] = residentMiB;
        state.counters["lines_sent"] = double(balances.sent());
        double load[3] = {};
        state.counters["load_average"] = getloadavg(load, 1) == 1 ? load[0] : -1;
    }
}

const int kRegistered = [] {
    registerOurs("collector", {120}, 1, collectorLoad);
    return 0;
}();

const std::string kCollector = name("collector", Variant::Ours, 120);
CheckRegistrar c1(70, atMost("collector: processor use, 16 balances at line speed", kCollector,
                             "collector_cpu_percent", 2, "% of a core"));
CheckRegistrar c2(71, figure("collector: the window program in the same run", kCollector, "window_cpu_percent",
                             "% of a core"));
CheckRegistrar c3(72, figure("collector: processor use, collector / window", kCollector, "cpu_ratio", "x"));
CheckRegistrar c4(73, atLeast("collector: rows per instrument and second", kCollector, "collector_rows_per_tick",
                              0.95, "rows"));
CheckRegistrar c5(74, figure("collector: resident memory", kCollector, "collector_resident_mib", "MiB"));
CheckRegistrar c6(75, figure("collector: load average during the run", kCollector, "load_average", ""));

} // namespace
} // namespace Bench
