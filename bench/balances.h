#pragma once

// Simulated balances at line speed, fed from a thread of their own, and the
// processor-time and event-loop helpers of the collection benchmarks.

#include <benchmark/benchmark.h>

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace Veltrano::Sim {
class BalanceSimulator;
class PseudoTerminal;
} // namespace Veltrano::Sim

namespace Bench {

// 16-byte lines at 19200 baud, 7 data bits, parity, 1 stop bit: 10 bits a
// character, 1920 characters a second, 120 lines.
constexpr int kLinesPerSecond = 120;

// Balances on pseudo-terminals, fed from a thread of their own at the pace of
// the line. The simulators only make the lines (nextPieces); the thread
// writes them.
class Balances
{
public:
    Balances();
    ~Balances();

    bool open(int count);
    // The instruments of the benchmarks, each on a balance, described in
    // ./settings.ini; false, and the benchmark skipped, without pseudo-terminals.
    bool openInstruments(benchmark::State &state);
    QString devicePath(int i) const;
    void start();
    void stop();

    qint64 sent() const { return m_sent; }
    // Processor time of the feeding thread (the simulated balances) so far.
    double cpuSeconds() const;
    qint64 failedWrites() const { return m_failed; }

private:
    void feed();

    std::vector<std::unique_ptr<Veltrano::Sim::PseudoTerminal>> m_lines;
    std::vector<std::unique_ptr<Veltrano::Sim::BalanceSimulator>> m_simulators;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_sent{0};
    std::atomic<qint64> m_failed{0};
    std::atomic<double> m_cpu{0};
};

// Processor time of the calling (GUI) thread: the program's own work, not
// the simulated balances'.
double threadCpuSeconds();
// Processor time of the whole process: the window's thread, the storage and
// reading threads, Qt's own.
double processCpuSeconds();

// Runs the event loop, as the program's own does, until `done` says so
// (asked every 20 ms) or `timeoutMs` is over.
void runEventLoop(int timeoutMs, const std::function<bool()> &done);

} // namespace Bench
