#pragma once

// Simulated balances fed from a thread of their own at the pace of a serial
// line, whatever carries their bytes (pseudo-terminals, TCP ports), and the
// event loop that the collection runs in meanwhile.

#include "balancesimulator.h"

#include <QByteArray>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace Bench {

// 16-byte lines at 19200 baud, 7 data bits, parity, 1 stop bit: 10 bits a
// character, 1920 characters a second, 120 lines.
constexpr int kLinesPerSecond = 120;

// Each balance is a simulator that only makes the lines (nextPieces) and a
// write that carries them; the thread writes them, each balance at its own
// phase, so that the lines of different balances arrive apart, as they do
// from balances that are not synchronised.
class LineFeeder
{
public:
    using Write = std::function<bool(const QByteArray &)>;

    ~LineFeeder() { stop(); }
    // A balance printing 16-byte Sartorius lines; the n-th added has seed n.
    void add(Write write);
    void start();
    void stop();

    qint64 sent() const { return m_sent; }
    qint64 failedWrites() const { return m_failed; }
    // Processor time of the feeding thread (the simulated balances) so far.
    double cpuSeconds() const;

private:
    void feed();

    std::vector<std::unique_ptr<Veltrano::Sim::BalanceSimulator>> m_simulators;
    std::vector<Write> m_writes;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_sent{0};
    std::atomic<qint64> m_failed{0};
    std::atomic<double> m_cpu{0};
};

// Processor time of the calling thread: the program's own work, not the
// simulated balances'.
double threadCpuSeconds();
// Processor time of the whole process: the window's thread, the storage and
// reading threads, Qt's own.
double processCpuSeconds();

// Runs the event loop, as the program's own does, until `done` says so
// (asked every 20 ms) or `timeoutMs` is over.
void runEventLoop(int timeoutMs, const std::function<bool()> &done);

} // namespace Bench
