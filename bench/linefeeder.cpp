#include "linefeeder.h"

#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <ctime>
#include <pthread.h>

namespace Bench {

namespace {

// The feeder wakes this often.
constexpr int kTickMs = 2;

double seconds(const timespec &time)
{
    return double(time.tv_sec) + double(time.tv_nsec) / 1e9;
}

} // namespace

void LineFeeder::add(Write write)
{
    Veltrano::Sim::Scenario scenario;
    scenario.layout = 16;
    scenario.seed = quint32(m_writes.size() + 1);
    m_simulators.push_back(std::make_unique<Veltrano::Sim::BalanceSimulator>(scenario, nullptr));
    m_writes.push_back(std::move(write));
}

void LineFeeder::start()
{
    m_stop = false;
    m_thread = std::thread([this] { feed(); });
}

void LineFeeder::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void LineFeeder::feed()
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point begin = Clock::now();
    const qint64 count = qint64(m_writes.size());
    std::vector<qint64> sentBy(m_writes.size(), 0);
    for (qint64 tick = 1; !m_stop; ++tick) {
        std::this_thread::sleep_until(begin + std::chrono::milliseconds(tick * kTickMs));
        for (qint64 i = 0; i < count; ++i) {
            const qint64 phaseUs = i * 1000000 / kLinesPerSecond / count;
            const qint64 due = (tick * kTickMs * 1000 + phaseUs) * kLinesPerSecond / 1000000;
            for (; sentBy[size_t(i)] < due; ++sentBy[size_t(i)]) {
                for (const QByteArray &piece : m_simulators[size_t(i)]->nextPieces())
                    m_failed += !m_writes[size_t(i)](piece);
                ++m_sent;
            }
        }
    }
    m_cpu = threadCpuSeconds();
}

double LineFeeder::cpuSeconds() const
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
