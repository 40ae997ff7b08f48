#include "balances.h"

#include "benchdata.h"
#include "pseudoterminal.h"

namespace Bench {

Balances::Balances() = default;

Balances::~Balances()
{
    stop();
}

bool Balances::open(int count)
{
    for (int i = 0; i < count; ++i) {
        auto line = std::make_unique<Veltrano::Sim::PseudoTerminal>();
        if (!line->open())
            return false;
        Veltrano::Sim::PseudoTerminal *device = line.get();
        m_lines.push_back(std::move(line));
        m_feeder.add([device](const QByteArray &bytes) { return device->write(bytes); });
    }
    return true;
}

bool Balances::openInstruments(benchmark::State &state)
{
    if (!open(kInstruments)) {
        state.SkipWithError("cannot open pseudo-terminals");
        return false;
    }
    writeSettings([this](int i) { return devicePath(i); });
    return true;
}

QString Balances::devicePath(int i) const
{
    return m_lines.at(size_t(i))->devicePath();
}

} // namespace Bench
