// Weighings on the per-line path: what telling the weighings apart adds to
// each reading line (its reading for the detector and the detector's
// answer) against reading the line itself, as every line costs today; and a
// series' statistics per weighing against plain running sums.

#include "balancesimulator.h"
#include "harness.h"
#include "collect/makerlines.h"
#include "weighing/seriesstats.h"
#include "weighing/weighingdetector.h"

#include <QElapsedTimer>

#include <random>
#include <vector>

namespace Bench {
namespace {

using Veltrano::PrintLine::Format;

constexpr int kLines = 65536;
constexpr int kCycle = 100;  // lines of one weighing: zero, loading, settled, unloading

// A balance printing continuously in MT-SICS: at zero, a sample put on
// (unstable lines), settled for a while, taken off; one weighing a cycle.
const std::vector<QByteArray> &continuousLines()
{
    static const std::vector<QByteArray> lines = [] {
        std::mt19937 random(20261209);
        std::vector<QByteArray> made;
        double load = 0;
        for (int i = 0; i < kLines; ++i) {
            const int at = i % kCycle;
            if (at == 0)
                load = 0.2 + int(random() % 10000) / 10000.0;
            bool stable = true;
            double value = 0;
            if (at >= 20 && at < 30) {
                value = load * (at - 19) / 10.0 + 0.0003;
                stable = false;
            } else if (at >= 30 && at < 90) {
                value = load;
            } else if (at >= 90 && at < 95) {
                value = load / (at - 88);
                stable = false;
            }
            made.push_back(Veltrano::Sim::makerLine(Veltrano::Sim::Maker::MettlerToledoSics, value, 4, "g", stable));
        }
        return made;
    }();
    return lines;
}

const std::vector<Veltrano::PrintLine::Parsed> &parsedLines()
{
    static const std::vector<Veltrano::PrintLine::Parsed> parsed = [] {
        std::vector<Veltrano::PrintLine::Parsed> made;
        for (const QByteArray &line : continuousLines())
            made.push_back(Veltrano::PrintLine::parse(line, Format::MettlerToledoSics));
        return made;
    }();
    return parsed;
}

Veltrano::WeighingSettings stableMode()
{
    return Veltrano::WeighingSettings::fromTexts({{Veltrano::WeighingKey::record, "stable"}}, nullptr);
}

// Ours: the reading made from the parsed line and the detector's answer.
// Reference: reading the line, the work every line gets today.
void weighingLine(benchmark::State &state, Variant variant, qint64)
{
    const std::vector<QByteArray> &lines = continuousLines();
    const std::vector<Veltrano::PrintLine::Parsed> &parsed = parsedLines();
    for (auto _ : state) {
        Veltrano::WeighingDetector detector(stableMode());
        int counted = 0;
        QElapsedTimer timer;
        timer.start();
        if (variant == Variant::Ours) {
            for (const Veltrano::PrintLine::Parsed &line : parsed) {
                const auto reading = Veltrano::ScaleReading::fromResult(line.result, line.unit, line.stability);
                counted += detector.feed(reading) != Veltrano::Trigger::None;
            }
        } else {
            for (const QByteArray &line : lines)
                counted += Veltrano::PrintLine::parse(line, Format::MettlerToledoSics).kind
                           == Veltrano::PrintLine::Kind::Reading;
        }
        const qint64 ns = timer.nsecsElapsed();
        const int expected = variant == Variant::Ours ? (kLines + kCycle - 1) / kCycle : kLines;
        if (counted != expected)
            state.SkipWithError(variant == Variant::Ours ? "not one weighing a cycle" : "a line was not read");
        state.SetIterationTime(ns / 1e9);
        state.counters["ns_per_line"] = double(ns) / kLines;
    }
}

// The detector's answer alone, on readings made beforehand.
void detectorFeed(benchmark::State &state, Variant, qint64)
{
    std::vector<Veltrano::ScaleReading> readings;
    for (const Veltrano::PrintLine::Parsed &line : parsedLines())
        readings.push_back(Veltrano::ScaleReading::fromResult(line.result, line.unit, line.stability));
    for (auto _ : state) {
        Veltrano::WeighingDetector detector(stableMode());
        int counted = 0;
        QElapsedTimer timer;
        timer.start();
        for (const Veltrano::ScaleReading &reading : readings)
            counted += detector.feed(reading) != Veltrano::Trigger::None;
        const qint64 ns = timer.nsecsElapsed();
        benchmark::DoNotOptimize(counted);
        state.SetIterationTime(ns / 1e9);
        state.counters["ns_per_line"] = double(ns) / kLines;
    }
}

// Ours: SeriesStats::add(). Reference: count, sum and sum of squares in
// doubles, the straightforward way (and wrong for such values).
void seriesUpdate(benchmark::State &state, Variant variant, qint64 weighings)
{
    std::vector<double> values;
    std::mt19937 random(41);
    for (qint64 i = 0; i < 4096; ++i)
        values.push_back(100000.0 + int(random() % 20000) / 10000.0);
    for (auto _ : state) {
        QElapsedTimer timer;
        double figure = 0;
        if (variant == Variant::Ours) {
            Veltrano::SeriesStats stats;
            timer.start();
            for (qint64 i = 0; i < weighings; ++i)
                stats.add(values[size_t(i & 4095)], 4, Veltrano::ToleranceClass::Within);
            figure = stats.sd().value_or(0);
        } else {
            qint64 n = 0;
            double sum = 0, squares = 0;
            timer.start();
            for (qint64 i = 0; i < weighings; ++i) {
                const double x = values[size_t(i & 4095)];
                ++n;
                sum += x;
                squares += x * x;
            }
            figure = (squares - sum * sum / n) / (n - 1);
        }
        const qint64 ns = timer.nsecsElapsed();
        benchmark::DoNotOptimize(figure);
        state.SetIterationTime(ns / 1e9);
        state.counters["ns_per_weighing"] = double(ns) / weighings;
    }
}

constexpr qint64 kWeighings = 1000000;

const int kRegistered = [] {
    registerPair("weighing_line", {kLines}, 5, weighingLine);
    registerOurs("detector_feed", {kLines}, 5, detectorFeed);
    registerPair("series_update", {kWeighings}, 5, seriesUpdate);
    return 0;
}();

CheckRegistrar c1(90, speedup("weighing line: parse / reading + detector",
                              name("weighing_line", Variant::Ours, kLines),
                              name("weighing_line", Variant::Reference, kLines)));
CheckRegistrar c2(91, figure("weighing line: reading + detector", name("weighing_line", Variant::Ours, kLines),
                             "ns_per_line", "ns"));
CheckRegistrar c3(92, figure("weighing line: detector alone", name("detector_feed", Variant::Ours, kLines),
                             "ns_per_line", "ns"));
CheckRegistrar c4(93, figure("weighing line: parse (reference)",
                             name("weighing_line", Variant::Reference, kLines), "ns_per_line", "ns"));
CheckRegistrar c5(94, speedup("series: plain sums / SeriesStats::add",
                              name("series_update", Variant::Ours, kWeighings),
                              name("series_update", Variant::Reference, kWeighings)));
CheckRegistrar c6(95, figure("series: SeriesStats::add per weighing", name("series_update", Variant::Ours, kWeighings),
                             "ns_per_weighing", "ns"));

} // namespace
} // namespace Bench
