#pragma once

// Simulated balances on pseudo-terminals at line speed, as the collection
// benchmarks open them.

#include "linefeeder.h"

#include <benchmark/benchmark.h>

#include <QString>

#include <memory>
#include <vector>

namespace Veltrano::Sim {
class PseudoTerminal;
} // namespace Veltrano::Sim

namespace Bench {

// Balances on pseudo-terminals, fed from a thread of their own at the pace of
// the line.
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
    void start() { m_feeder.start(); }
    void stop() { m_feeder.stop(); }

    qint64 sent() const { return m_feeder.sent(); }
    // Processor time of the feeding thread (the simulated balances) so far.
    double cpuSeconds() const { return m_feeder.cpuSeconds(); }
    qint64 failedWrites() const { return m_feeder.failedWrites(); }

private:
    std::vector<std::unique_ptr<Veltrano::Sim::PseudoTerminal>> m_lines;
    LineFeeder m_feeder;  // stopped before the lines go
};

} // namespace Bench
