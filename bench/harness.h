#pragma once

// The benchmark harness: one compact line per benchmark (median of its
// repetitions), then the ratios between our code and the reference code run in
// the same process, each against its target.

#include <benchmark/benchmark.h>

#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <QtGlobal>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace Bench {

// Which implementation a benchmark runs: the program's, or the reference that
// does the same work the straightforward way (statement text pasted together,
// no index, time-only sort, whole-table reload).
enum class Variant { Ours, Reference };
const char *variantName(Variant variant);

// Medians of every benchmark run so far, by "family/variant/argument".
class Results
{
public:
    void add(const std::string &name, double ms, const std::map<std::string, double> &counters);
    bool has(const std::string &name) const;
    double ms(const std::string &name) const;  // median real time in ms
    double counter(const std::string &name, const std::string &counter) const;  // median; NaN if absent
    static double median(std::vector<double> values);

private:
    std::map<std::string, std::vector<double>> m_ms;
    std::map<std::string, std::map<std::string, std::vector<double>>> m_counters;
};

// A line of the final summary, or an empty string when its benchmarks did not run.
using Check = std::function<std::string(const Results &)>;

// Registers a check; `order` sorts the summary (checks are made by static objects).
struct CheckRegistrar
{
    CheckRegistrar(int order, Check check);
};

// reference / ours >= minRatio: "how many times faster we are".
Check speedup(const std::string &title, const std::string &ours, const std::string &reference, double minRatio);
// The same ratio, shown without a target.
Check speedup(const std::string &title, const std::string &ours, const std::string &reference);
// slower / faster <= maxRatio, both of our own: "does it grow".
Check growth(const std::string &title, const std::string &larger, const std::string &smaller, double maxRatio);
// One value (counter, or the time when counter is empty) against a bound.
Check atMost(const std::string &title, const std::string &name, const std::string &counter, double limit,
             const std::string &unit);
Check atLeast(const std::string &title, const std::string &name, const std::string &counter, double limit,
              const std::string &unit);
// A value shown for information, with no target.
Check figure(const std::string &title, const std::string &name, const std::string &counter, const std::string &unit);

// Registers `fn` as "family/ours/arg" and "family/reference/arg" for every
// argument, each timed by the benchmark itself (manual time, milliseconds).
using Body = std::function<void(benchmark::State &, Variant, qint64)>;
void registerPair(const std::string &family, const std::vector<qint64> &args, int repetitions, Body body,
                  bool withReference = true);
// The same for a benchmark of our code alone.
void registerOurs(const std::string &family, const std::vector<qint64> &args, int repetitions, Body body);
std::string name(const std::string &family, Variant variant, qint64 arg);

// Prints one line per benchmark and, at the end, the checks.
class Reporter : public benchmark::BenchmarkReporter
{
public:
    bool ReportContext(const Context &context) override;
    void ReportRuns(const std::vector<Run> &runs) override;
    void Finalize() override;

private:
    Results m_results;
};

// Things that must be torn down while the application object still lives.
void atExit(std::function<void()> cleanup);
void runExitHandlers();

// Process memory from /proc/self/status, in MiB. resetPeak() restarts the
// high-water mark (Linux: /proc/self/clear_refs); false where it cannot.
namespace Memory {
double residentMiB();
double peakMiB();
bool resetPeak();
// Hands freed heap back to the system, so that a measurement starts from
// what is really in use.
void trim();
} // namespace Memory

// Diagnostics of the code under test go to a file, formatted as the program
// writes them; warnings and critical messages are counted (a benchmark whose
// code reports a failure is not measuring the normal path).
void installLogSink(const QString &path);
int reportedFailures();
// Debug output on (written to the diagnostics file, as the program writes
// it to standard error) or off (as when nobody can read it), for the
// lifetime of the object.
class DebugOutput
{
public:
    explicit DebugOutput(bool on);
    ~DebugOutput();
};

// While it lives, warnings and critical messages also go to the program's
// own message handler, which shows them in its (queued, never waited for)
// boxes, as in the program; nobody answers them.
class ProgramBoxes
{
public:
    ProgramBoxes();
    ~ProgramBoxes();
};

// How late the event loop of the calling thread comes back to a short
// repeating timer: the longest stall, when it happened (ms since the start
// or restart), and how many passes of the loop took more than 100 ms.
class StallMeter
{
public:
    explicit StallMeter(int intervalMs = 1);
    void restart();
    // Including the pass of the loop still running when asked.
    qint64 longestMs() const { return std::max(m_longest, m_clock.elapsed() - m_intervalMs); }
    qint64 longestAtMs() const { return m_longestAt; }
    int over100Ms() const { return m_over100; }

private:
    int m_intervalMs;
    QTimer m_timer;
    QElapsedTimer m_clock;
    QElapsedTimer m_since;
    qint64 m_longest = 0;
    qint64 m_longestAt = 0;
    int m_over100 = 0;
};

// Where the diagnostics file ends now, and how many of its lines from
// `offset` on contain `needle` (read back, so counting costs the code under
// test nothing).
qint64 logOffset();
qint64 countInLog(qint64 offset, const QByteArray &needle);

} // namespace Bench
