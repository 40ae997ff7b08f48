// Collection under load: 16 balances printing short lines as fast as a
// 19200-baud line carries them, each sampled every second, for a minute;
// and the same with the live readings window open part of the time.

#include "balances.h"
#include "balancesimulator.h"
#include "benchdata.h"
#include "benchprobe.h"
#include "harness.h"
#include "collect/instrumentstate.h"
#include "livereadingswindow.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QVariant>

#include <vector>

namespace Bench {
namespace {

qint64 storedRows()
{
    QSqlQuery count(QStringLiteral("SELECT count(*) FROM data"));
    return count.next() ? count.value(0).toLongLong() : -1;
}

// Times every event delivered to a window or anything inside it (its timers,
// its chart's scene, the paint of its backing store): what drawing it costs
// the GUI thread, and the longest the event loop waits for it at once.
class DrawingMeter : public QObject
{
public:
    explicit DrawingMeter(QWidget *window)
        : m_window(window)
    {
        qApp->installEventFilter(this);
    }
    ~DrawingMeter() override { qApp->removeEventFilter(this); }
    double longestMs() const { return m_longestNs / 1e6; }
    // The same in processor time of the GUI thread: without the time the
    // thread waited for a core on a loaded machine.
    double longestCpuMs() const { return m_longestCpu * 1e3; }
    double cpuSeconds() const { return m_cpu; }

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (m_inside || !inWindow(object))
            return false;
        m_inside = true;
        QElapsedTimer clock;
        clock.start();
        const double cpuBefore = threadCpuSeconds();
        qApp->notify(object, event);
        const double cpu = threadCpuSeconds() - cpuBefore;
        m_cpu += cpu;
        m_longestCpu = std::max(m_longestCpu, cpu);
        m_longestNs = std::max(m_longestNs, clock.nsecsElapsed());
        m_inside = false;
        return true;
    }

private:
    bool inWindow(const QObject *object) const
    {
        if (object->isWidgetType() && static_cast<const QWidget *>(object)->window() == m_window)
            return true;
        for (; object; object = object->parent()) {
            if (object == m_window)
                return true;
        }
        return false;
    }

    QWidget *m_window;
    bool m_inside = false;
    qint64 m_longestNs = 0;
    double m_longestCpu = 0;
    double m_cpu = 0;
};

// `traced`: debug output on, as when standard error is read; lines are then
// counted from it. Off, nobody reads it and the program builds no debug line.
// `live`: the run is cut in four, the live readings window (chart of the last
// minute) shown in the second and fourth quarter, so that the processor use
// with and without it is measured alike.
void load(benchmark::State &state, qint64 seconds, bool traced, bool live = false)
{
    for (auto _ : state) {
        WorkDir dir(100000, true);
        Balances balances;
        if (!balances.openInstruments(state))
            return;
        openDefaultConnection();
        {
            MainWindow window;
            showAndWait(&window);
            // Pseudo-terminals refuse 7 data bits: each start reports that
            // (twice per port) and the port goes on working.
            window.startToCollect();
            const int failuresBefore = reportedFailures();
            if (MainWindowProbe::openPorts(window) != kInstruments) {
                window.stopToCollect();
                closeDefaultConnection();
                state.SkipWithError("collection did not start on every port");
                return;
            }
            // Counted after the program's own slot has handed the row over;
            // the gaps between ticks of one round are the time of one tick.
            qint64 ticks = 0;
            QElapsedTimer sinceTick;
            sinceTick.start();
            std::vector<double> storeMs;
            QObject::connect(&MainWindowProbe::session(window), &Veltrano::RecordingSession::sampled, &window, [&] {
                ++ticks;
                const double gap = sinceTick.nsecsElapsed() / 1e6;
                if (gap < 200)
                    storeMs.push_back(gap);
                sinceTick.restart();
            });
            const qint64 rowsBefore = storedRows();
            const qint64 logStart = logOffset();
            const QByteArray lineCut = "oneMessage.size()";

            const DebugOutput output(traced);
            StallMeter stalls(20);
            const double cpuBefore = threadCpuSeconds();
            const double processCpuBefore = processCpuSeconds();
            QElapsedTimer wall;
            wall.start();
            balances.start();
            double cpuShown = 0;
            double drawingCpu = 0;
            double drawingLongest = 0;
            double drawingLongestCpu = 0;
            if (live) {
                window.findChild<QAction *>(QStringLiteral("actionLiveReadings"))->trigger();
                auto *liveWindow = window.findChild<LiveReadingsWindow *>();
                liveWindow->hide();
                const DrawingMeter drawing(liveWindow);
                for (int quarter = 0; quarter < 4; ++quarter) {
                    const bool shown = quarter % 2 == 1;
                    liveWindow->setVisible(shown);
                    const double quarterStart = threadCpuSeconds();
                    runEventLoop(int(seconds * 1000 / 4), [] { return false; });
                    if (shown)
                        cpuShown += threadCpuSeconds() - quarterStart;
                }
                liveWindow->hide();
                drawingCpu = drawing.cpuSeconds();
                drawingLongest = drawing.longestMs();
                drawingLongestCpu = drawing.longestCpuMs();
            } else {
                runEventLoop(seconds * 1000, [] { return false; });
            }
            const double cpu = threadCpuSeconds() - cpuBefore;
            const double elapsed = wall.nsecsElapsed() / 1e9;
            // Before the counting below, which is the benchmark's own work.
            const qint64 stalled = stalls.longestMs();
            balances.stop();
            // The window's process without the simulated balances' thread.
            const double processCpu = processCpuSeconds() - processCpuBefore - balances.cpuSeconds();

            // What is still on its way is read before counting.
            runEventLoop(1000, [] { return false; });
            MainWindowProbe::storage(window).drain(30000);
            const qint64 received = countInLog(logStart, lineCut);
            const qint64 rows = storedRows() - rowsBefore;
            window.stopToCollect();

            state.SetIterationTime(elapsed);
            state.counters["lines_sent"] = double(balances.sent());
            if (traced) {
                state.counters["lines_received"] = double(received);
                state.counters["lines_lost"] = double(balances.sent() - received);
            }
            state.counters["write_failures"] = double(balances.failedWrites());
            state.counters["ticks"] = double(ticks);
            state.counters["rows"] = double(rows);
            state.counters["ticks_without_row"] = double(ticks - rows);
            state.counters["cpu_percent"] = 100.0 * cpu / elapsed;
            state.counters["process_cpu_percent"] = 100.0 * processCpu / elapsed;
            state.counters["stall_ms"] = double(stalled);
            state.counters["stall_at_s"] = stalls.longestAtMs() / 1e3;
            state.counters["stalls_over_100ms"] = stalls.over100Ms();
            state.counters["tick_ms"] = Results::median(storeMs);
            state.counters["failures_reported"] = double(reportedFailures() - failuresBefore);
            if (live) {
                const double shownPercent = 100.0 * cpuShown / (elapsed / 2);
                const double hiddenPercent = 100.0 * (cpu - cpuShown) / (elapsed / 2);
                state.counters["cpu_percent_shown"] = shownPercent;
                state.counters["cpu_percent_hidden"] = hiddenPercent;
                state.counters["cpu_ratio"] = shownPercent / hiddenPercent;
                state.counters["drawing_cpu_percent"] = 100.0 * drawingCpu / (elapsed / 2);
                state.counters["drawing_longest_ms"] = drawingLongest;
                state.counters["drawing_longest_cpu_ms"] = drawingLongestCpu;
            }
        }
        closeDefaultConnection();
    }
}

// The live state's part of every line received: 16 balances' lines, already
// parsed, handed to the states in turn, with their values into the history.
void liveState(benchmark::State &state, Variant, qint64 lines)
{
    Veltrano::InstrumentStates states;
    QMap<QString, Veltrano::InstrumentState> instruments;
    for (int i = 0; i < kInstruments; ++i)
        instruments.insert(instrumentId(i), Veltrano::InstrumentState(instrumentId(i), QString(), 0));
    states.start(instruments);
    std::vector<QByteArray> raw;
    std::vector<Veltrano::PrintLine::Parsed> parsed;
    Veltrano::Sim::BalanceSimulator balance(Veltrano::Sim::Scenario(), nullptr);
    for (int i = 0; i < 1000; ++i) {
        raw.push_back(balance.nextPieces().join());
        parsed.push_back(Veltrano::PrintLine::parse(raw.back()));
    }
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        for (qint64 i = 0; i < lines; ++i)
            states.lineReceived(instrumentId(int(i % kInstruments)), raw[size_t(i % 1000)], parsed[size_t(i % 1000)]);
        const double seconds = timer.nsecsElapsed() / 1e9;
        state.SetIterationTime(seconds);
        state.counters["ns_per_line"] = seconds * 1e9 / double(lines);
        // At line speed 16 balances send 1,920 lines a second.
        state.counters["percent_of_a_core_at_load"] = seconds / double(lines) * 1920 * 100;
    }
}

const int kRegistered = [] {
    registerOurs("live_state", {200000}, 5, liveState);
    registerOurs("load", {60}, 1, [](benchmark::State &s, Variant, qint64 n) { load(s, n, true); });
    registerOurs("load_quiet", {30}, 1, [](benchmark::State &s, Variant, qint64 n) { load(s, n, false); });
    registerOurs("load_live", {120}, 1, [](benchmark::State &s, Variant, qint64 n) { load(s, n, true, true); });
    return 0;
}();

const std::string kLoad = name("load", Variant::Ours, 60);
CheckRegistrar c1(50, figure("load: lines sent (16 balances, 60 s)", kLoad, "lines_sent", "lines"));
CheckRegistrar c2(51, atMost("load: lines lost", kLoad, "lines_lost", 0, "lines"));
CheckRegistrar c3(52, figure("load: sampling ticks", kLoad, "ticks", "ticks"));
CheckRegistrar c4(53, atMost("load: ticks without a stored row", kLoad, "ticks_without_row", 0, "ticks"));
CheckRegistrar c5(54, atMost("load: processor use of the GUI thread", kLoad, "cpu_percent", 10, "% of a core"));
CheckRegistrar c6(55, atMost("load: longest event-loop stall", kLoad, "stall_ms", 100, "ms"));
CheckRegistrar c7(56, figure("load: time of one tick (median)", kLoad, "tick_ms", "ms"));
CheckRegistrar c19(56, figure("load: processor use of the whole process", kLoad, "process_cpu_percent",
                              "% of a core"));
const std::string kQuiet = name("load_quiet", Variant::Ours, 30);
CheckRegistrar c8(57, figure("load, nobody reads stderr: processor use", kQuiet, "cpu_percent", "% of a core"));
CheckRegistrar c9(58, figure("load, nobody reads stderr: ticks without a row", kQuiet, "ticks_without_row", "ticks"));
const std::string kLive = name("load_live", Variant::Ours, 120);
CheckRegistrar c10(59, figure("load, live window shown: processor use", kLive, "cpu_percent_shown", "% of a core"));
CheckRegistrar c11(60, figure("load, live window hidden: processor use", kLive, "cpu_percent_hidden", "% of a core"));
CheckRegistrar c12(61, atMost("load: processor use, live window shown / hidden", kLive, "cpu_ratio", 1.5, "x"));
CheckRegistrar c13(62, figure("load: drawing the live window", kLive, "drawing_cpu_percent", "% of a core"));
CheckRegistrar c14(63, atMost("load: longest wait for the live window", kLive, "drawing_longest_ms", 100, "ms"));
CheckRegistrar c16(64, figure("load: longest live-window event, CPU", kLive, "drawing_longest_cpu_ms", "ms"));
CheckRegistrar c17(66, figure("live state: one line received", name("live_state", Variant::Ours, 200000),
                              "ns_per_line", "ns"));
CheckRegistrar c18(67, figure("live state at line speed, 16 balances", name("live_state", Variant::Ours, 200000),
                              "percent_of_a_core_at_load", "% of a core"));
CheckRegistrar c15(65, atMost("load, live window: ticks without a stored row", kLive, "ticks_without_row", 0, "ticks"));

} // namespace
} // namespace Bench
