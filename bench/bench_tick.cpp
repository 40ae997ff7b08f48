// One sampling tick of 16 instruments: each channel stamps its latest
// reading into a row and hands it on. The reference does what the tick did
// before each instrument was a channel: it opened and parsed settings.ini
// again, for each instrument, to find the instrument's name.

#include "harness.h"
#include "collect/instrumentchannel.h"
#include "collect/instrumentconfig.h"
#include "collect/instrumentstate.h"
#include "support/inifile.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace Bench {
namespace {

constexpr int kInstruments = 16;
constexpr int kTicks = 200;

void tick16(benchmark::State &state, Variant variant, qint64 instruments)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("settings.ini"));
    QByteArray ini;
    for (int i = 0; i < instruments; ++i)
        ini += "[B" + QByteArray::number(i) + "]\nname=Balance " + QByteArray::number(i)
               + "\ncomPort=/dev/ttyUSB" + QByteArray::number(i)
               + "\ntransmissionRate=9600\nparity=odd\nstopBits=1\ndataBits=7\nsamplingInterval=1\ntype=automatic\n";
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(ini) != ini.size()) {
        state.SkipWithError("cannot write settings.ini");
        return;
    }
    out.close();

    Veltrano::InstrumentStates states;
    std::vector<std::unique_ptr<Veltrano::InstrumentChannel>> channels;
    qint64 rows = 0;
    QString names;
    for (int i = 0; i < instruments; ++i) {
        const QString id = QStringLiteral("B%1").arg(i);
        channels.push_back(std::make_unique<Veltrano::InstrumentChannel>(
            Veltrano::Config::readSettings(*Veltrano::IniFile::open(file), id), &states));
        QObject::connect(channels.back().get(), &Veltrano::InstrumentChannel::sampled,
                         [&rows](const Veltrano::Row &) { ++rows; });
    }
    for (auto _ : state) {
        rows = 0;
        QElapsedTimer timer;
        timer.start();
        for (int tick = 0; tick < kTicks; ++tick) {
            for (const auto &channel : channels) {
                if (variant == Variant::Reference) {
                    QSettings settings(file, QSettings::IniFormat);
                    names = settings.value(channel->id() + QStringLiteral("/name")).toString();
                }
                channel->sample(false);
            }
        }
        const qint64 ns = timer.nsecsElapsed();
        if (rows != qint64(kTicks) * instruments)
            state.SkipWithError("a tick gave no row");
        benchmark::DoNotOptimize(names);
        state.SetIterationTime(ns / 1e9);
        state.counters["us_per_tick"] = double(ns) / kTicks / 1000.0;
    }
}

const int kRegistered = [] {
    registerPair("tick16", {kInstruments}, 5, tick16);
    return 0;
}();

CheckRegistrar c1(15, speedup("tick of 16: ini read per tick / channels",
                              name("tick16", Variant::Ours, kInstruments),
                              name("tick16", Variant::Reference, kInstruments)));
CheckRegistrar c2(16, figure("tick of 16 instruments, ours", name("tick16", Variant::Ours, kInstruments),
                             "us_per_tick", "us"));

} // namespace
} // namespace Bench
