#include "harness.h"

#include "startup.h"
#include "support/logformat.h"

#include <QFile>
#include <QLoggingCategory>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <limits>
#include <malloc.h>
#include <sstream>

namespace Bench {

const char *variantName(Variant variant)
{
    return variant == Variant::Ours ? "ours" : "reference";
}

// ---------------------------------------------------------------- Results

void Results::add(const std::string &name, double ms, const std::map<std::string, double> &counters)
{
    m_ms[name].push_back(ms);
    for (const auto &[key, value] : counters)
        m_counters[name][key].push_back(value);
}

bool Results::has(const std::string &name) const
{
    return m_ms.count(name) != 0;
}

double Results::median(std::vector<double> values)
{
    if (values.empty())
        return std::numeric_limits<double>::quiet_NaN();
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double Results::ms(const std::string &name) const
{
    const auto it = m_ms.find(name);
    return it == m_ms.end() ? std::numeric_limits<double>::quiet_NaN() : median(it->second);
}

double Results::counter(const std::string &name, const std::string &counter) const
{
    const auto it = m_counters.find(name);
    if (it == m_counters.end() || !it->second.count(counter))
        return std::numeric_limits<double>::quiet_NaN();
    return median(it->second.at(counter));
}

// ---------------------------------------------------------------- Checks

namespace {

std::vector<std::pair<int, Check>> &checks()
{
    static std::vector<std::pair<int, Check>> list;
    return list;
}

std::string format(double value, int precision = 3)
{
    std::ostringstream out;
    if (std::isnan(value))
        return "n/a";
    if (std::fabs(value) >= 100)
        out << std::fixed << std::setprecision(0) << value;
    else
        out << std::setprecision(precision) << value;
    return out.str();
}

std::string verdict(bool met)
{
    return met ? "met" : "MISSED";
}

std::string line(const std::string &title, const std::string &value, const std::string &target, bool met)
{
    std::ostringstream out;
    out << std::left << std::setw(52) << title << std::setw(38) << value;
    if (!target.empty())
        out << std::setw(22) << target << verdict(met);
    return out.str();
}

double valueOf(const Results &results, const std::string &name, const std::string &counter)
{
    return counter.empty() ? results.ms(name) : results.counter(name, counter);
}

std::vector<std::function<void()>> &exitHandlers()
{
    static std::vector<std::function<void()>> list;
    return list;
}

} // namespace

CheckRegistrar::CheckRegistrar(int order, Check check)
{
    checks().emplace_back(order, std::move(check));
}

namespace {

// numerator / denominator against a lower or upper bound.
Check ratio(const std::string &title, const std::string &numerator, const std::string &denominator, double limit,
            bool upper)
{
    return [=](const Results &r) -> std::string {
        if (!r.has(numerator) || !r.has(denominator))
            return {};
        const double value = r.ms(numerator) / r.ms(denominator);
        const std::string target = std::isnan(limit) ? std::string() : (upper ? "<= " : ">= ") + format(limit) + "x";
        return line(title,
                    format(r.ms(numerator)) + " / " + format(r.ms(denominator)) + " ms = " + format(value) + "x",
                    target, upper ? value <= limit : value >= limit);
    };
}

} // namespace

Check speedup(const std::string &title, const std::string &ours, const std::string &reference, double minRatio)
{
    return ratio(title, reference, ours, minRatio, false);
}

Check speedup(const std::string &title, const std::string &ours, const std::string &reference)
{
    return ratio(title, reference, ours, std::numeric_limits<double>::quiet_NaN(), false);
}

Check growth(const std::string &title, const std::string &larger, const std::string &smaller, double maxRatio)
{
    return ratio(title, larger, smaller, maxRatio, true);
}

namespace {

Check bound(const std::string &title, const std::string &name, const std::string &counter, double limit,
            const std::string &unit, bool upper)
{
    return [=](const Results &r) -> std::string {
        if (!r.has(name))
            return {};
        const double value = valueOf(r, name, counter);
        return line(title, format(value) + " " + unit, (upper ? "<= " : ">= ") + format(limit) + " " + unit,
                    upper ? value <= limit : value >= limit);
    };
}

} // namespace

Check atMost(const std::string &title, const std::string &name, const std::string &counter, double limit,
             const std::string &unit)
{
    return bound(title, name, counter, limit, unit, true);
}

Check atLeast(const std::string &title, const std::string &name, const std::string &counter, double limit,
              const std::string &unit)
{
    return bound(title, name, counter, limit, unit, false);
}

Check figure(const std::string &title, const std::string &name, const std::string &counter, const std::string &unit)
{
    return [=](const Results &r) -> std::string {
        if (!r.has(name))
            return {};
        return line(title, format(valueOf(r, name, counter)) + " " + unit, {}, true);
    };
}

// ---------------------------------------------------------------- Registration

std::string name(const std::string &family, Variant variant, qint64 arg)
{
    return family + "/" + variantName(variant) + "/" + std::to_string(arg);
}

namespace {

void registerOne(const std::string &family, Variant variant, qint64 arg, int repetitions, const Body &body)
{
    benchmark::RegisterBenchmark(name(family, variant, arg).c_str(),
                                 [=](benchmark::State &state) { body(state, variant, arg); })
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(repetitions);
}

} // namespace

void registerPair(const std::string &family, const std::vector<qint64> &args, int repetitions, Body body,
                  bool withReference)
{
    for (qint64 arg : args) {
        registerOne(family, Variant::Ours, arg, repetitions, body);
        if (withReference)
            registerOne(family, Variant::Reference, arg, repetitions, body);
    }
}

void registerOurs(const std::string &family, const std::vector<qint64> &args, int repetitions, Body body)
{
    registerPair(family, args, repetitions, std::move(body), false);
}

// ---------------------------------------------------------------- Reporter

bool Reporter::ReportContext(const Context &context)
{
    PrintBasicContext(&GetErrorStream(), context);
    GetOutputStream() << std::left << std::setw(44) << "benchmark" << std::right << std::setw(12) << "median ms"
                      << std::setw(24) << "min .. max ms" << std::setw(5) << "n" << "  counters (medians)\n";
    return true;
}

void Reporter::ReportRuns(const std::vector<Run> &runs)
{
    std::string key;
    std::vector<double> times;
    std::map<std::string, std::vector<double>> counters;
    for (const Run &run : runs) {
        if (run.run_type != Run::RT_Iteration)
            continue;
        key = run.run_name.function_name;
        if (run.error_occurred) {
            GetOutputStream() << key << "  ERROR: " << run.error_message << "\n";
            return;
        }
        const double ms = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e3;
        times.push_back(ms);
        std::map<std::string, double> values;
        for (const auto &[counterName, counter] : run.counters) {
            values[counterName] = counter.value;
            counters[counterName].push_back(counter.value);
        }
        m_results.add(key, ms, values);
    }
    if (times.empty())
        return;

    std::ostream &out = GetOutputStream();
    const auto [lo, hi] = std::minmax_element(times.begin(), times.end());
    out << std::left << std::setw(44) << key << std::right << std::setw(12) << format(Results::median(times))
        << std::setw(24) << (format(*lo) + " .. " + format(*hi)) << std::setw(5) << times.size() << " ";
    for (const auto &[counterName, values] : counters)
        out << " " << counterName << "=" << format(Results::median(values));
    out << std::endl;
}

void Reporter::Finalize()
{
    std::ostream &out = GetOutputStream();
    out << "\nTargets (medians; ratios of runs in this process)\n";
    std::stable_sort(checks().begin(), checks().end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &[order, check] : checks()) {
        const std::string text = check(m_results);
        if (!text.empty())
            out << "  " << text << "\n";
    }
    if (reportedFailures() > 0)
        out << "\nThe code under test reported " << reportedFailures()
            << " warning(s) or critical message(s): see the diagnostics file.\n";
    out.flush();
}

void atExit(std::function<void()> cleanup)
{
    exitHandlers().push_back(std::move(cleanup));
}

void runExitHandlers()
{
    auto &list = exitHandlers();
    for (auto it = list.rbegin(); it != list.rend(); ++it)
        (*it)();
    list.clear();
}

// ---------------------------------------------------------------- Memory

namespace Memory {

namespace {

double statusMiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return std::numeric_limits<double>::quiet_NaN();
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &row : status.readAll().split('\n')) {
        if (row.startsWith(key))
            return row.mid(key.size()).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return std::numeric_limits<double>::quiet_NaN();
}

} // namespace

double residentMiB()
{
    return statusMiB("VmRSS");
}

double peakMiB()
{
    return statusMiB("VmHWM");
}

bool resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

void trim()
{
    ::malloc_trim(0);
}

} // namespace Memory

// ---------------------------------------------------------------- Log sink

namespace {

FILE *g_log = nullptr;
int g_failures = 0;
QString g_logPath;
std::atomic<bool> g_boxes{false};

// The offscreen platform says so for every window it shows.
const char kOffscreenNoise[] = "This plugin does not support propagateSizeHints()";

void logSink(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg && !Veltrano::Log::isDemotedWarning(message) &&
        message != QLatin1String(kOffscreenNoise))
        ++g_failures;
    const QByteArray line = Veltrano::Log::stderrLine(type, message);
    if (g_log && !line.isEmpty()) {
        // Written and flushed line by line, as the program does on standard error.
        std::fwrite(line.constData(), 1, size_t(line.size()), g_log);
        std::fflush(g_log);
    }
    // The program's own handler shows warnings and critical messages in its boxes.
    if (g_boxes && type != QtDebugMsg && type != QtInfoMsg)
        msgHandler(type, context, message);
}

} // namespace

void installLogSink(const QString &path)
{
    g_logPath = path;
    g_log = std::fopen(QFile::encodeName(path).constData(), "w");
    qInstallMessageHandler(logSink);
}

ProgramBoxes::ProgramBoxes()
{
    g_boxes = true;
}

ProgramBoxes::~ProgramBoxes()
{
    g_boxes = false;
}

int reportedFailures()
{
    return g_failures;
}

DebugOutput::DebugOutput(bool on)
{
    QLoggingCategory::defaultCategory()->setEnabled(QtDebugMsg, on);
}

DebugOutput::~DebugOutput()
{
    QLoggingCategory::defaultCategory()->setEnabled(QtDebugMsg, true);
}

qint64 logOffset()
{
    return g_log ? qint64(std::ftell(g_log)) : 0;
}

qint64 countInLog(qint64 offset, const QByteArray &needle)
{
    QFile log(g_logPath);
    if (!log.open(QIODevice::ReadOnly) || !log.seek(offset))
        return -1;
    qint64 count = 0;
    while (!log.atEnd())
        count += log.readLine().contains(needle);
    return count;
}

// ---------------------------------------------------------------- Stalls

StallMeter::StallMeter(int intervalMs)
    : m_intervalMs(intervalMs)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(intervalMs);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        const qint64 late = m_clock.restart() - m_intervalMs;
        if (late > m_longest) {
            m_longest = late;
            m_longestAt = m_since.elapsed();
        }
        m_over100 += late > 100;
    });
    m_clock.start();
    m_since.start();
    m_timer.start();
}

void StallMeter::restart()
{
    m_longest = 0;
    m_longestAt = 0;
    m_over100 = 0;
    m_clock.restart();
    m_since.restart();
}

} // namespace Bench
