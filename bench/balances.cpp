#include "balances.h"

#include "balancesimulator.h"
#include "benchdata.h"
#include "pseudoterminal.h"

#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <ctime>
#include <pthread.h>

namespace Bench {

namespace {

// The feeder wakes this often; each balance's lines are due at its own
// phase, so that the lines of different balances arrive apart, as they do
// from balances that are not synchronised.
constexpr int kTickMs = 2;

double seconds(const timespec &time)
{
    return double(time.tv_sec) + double(time.tv_nsec) / 1e9;
}

} // namespace

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
        Veltrano::Sim::Scenario scenario;
        scenario.layout = 16;
        scenario.seed = quint32(i + 1);
        m_lines.push_back(std::move(line));
        m_simulators.push_back(std::make_unique<Veltrano::Sim::BalanceSimulator>(scenario, nullptr));
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

void Balances::start()
{
    m_stop = false;
    m_thread = std::thread([this] { feed(); });
}

void Balances::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

double Balances::cpuSeconds() const
{
    if (!m_thread.joinable())
        return m_cpu;
    clockid_t clock {};
    timespec now {};
    if (pthread_getcpuclockid(const_cast<std::thread &>(m_thread).native_handle(), &clock) != 0
        || clock_gettime(clock, &now) != 0)
        return m_cpu;
    return seconds(now);
}

void Balances::feed()
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point begin = Clock::now();
    std::vector<qint64> sentBy(m_lines.size(), 0);
    for (qint64 tick = 1; !m_stop; ++tick) {
        std::this_thread::sleep_until(begin + std::chrono::milliseconds(tick * kTickMs));
        for (size_t i = 0; i < m_lines.size(); ++i) {
            const qint64 phaseUs = qint64(i) * 1000000 / kLinesPerSecond / qint64(m_lines.size());
            const qint64 due = (tick * kTickMs * 1000 + phaseUs) * kLinesPerSecond / 1000000;
            for (; sentBy[i] < due; ++sentBy[i]) {
                for (const QByteArray &piece : m_simulators[i]->nextPieces())
                    m_failed += !m_lines[i]->write(piece);
                ++m_sent;
            }
        }
    }
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    m_cpu = seconds(now);
}

double threadCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return seconds(now);
}

double processCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return seconds(now);
}

void runEventLoop(int timeoutMs, const std::function<bool()> &done)
{
    QEventLoop loop;
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done())
            loop.quit();
    });
    check.start(20);
    loop.exec();
}

} // namespace Bench
