// Publishing over MQTT while 16 balances record: a row a second and ten
// live readings a second from each, handed to a real mosquitto broker on
// loopback, for the publisher as the program runs it (rows through the
// outbox, readings coalesced to one a second) against the straightforward
// client (each message published as it comes, readings too, no outbox) and
// against not publishing at all (the same inputs built, handed to nobody),
// one after the other in each iteration. What is compared is the processor
// time of the whole process (the broker is another process), and the
// caller's own time per call.

#include "harness.h"
#include "linefeeder.h"
#include "mosquittobroker.h"
#include "publish/messages.h"
#include "publish/mqttpublisher.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTime>
#include <QTimer>

#include <mosquitto.h>

#include <atomic>
#include <memory>
#include <mutex>

namespace Bench {
namespace {

constexpr int kBalances = 16;
constexpr int kTickMs = 100;         // a reading of every balance
constexpr int kTicksPerRow = 10;     // and a row of every balance each second
const QString kPrefix = QStringLiteral("lab/pc1/");

Veltrano::PublishedRow benchRow(int balance, int n)
{
    Veltrano::PublishedRow row;
    row.instrument = QStringLiteral("b%1").arg(balance);
    row.row = Veltrano::Row(QStringLiteral("2026-12-07"), QTime(8, 0).addSecs(n).toString(Qt::ISODate),
                            QStringLiteral("Balance %1").arg(balance), QStringLiteral("N"),
                            QString::number(100 + n * 0.0001, 'f', 4), QStringLiteral("g"));
    row.row.provenance.state = QLatin1String(Veltrano::Provenance::kLive);
    row.key = qint64(n) * kBalances + balance;
    row.hash = QStringLiteral("%1").arg(row.key, 64, 16, QLatin1Char('0'));
    return row;
}

Veltrano::LiveReading benchReading(int balance, int n)
{
    return {QStringLiteral("b%1").arg(balance), QStringLiteral("Balance %1").arg(balance),
            QString::number(100 + n * 0.0001, 'f', 4), QStringLiteral("g"), Veltrano::Stability::Stable,
            QStringLiteral("2026-12-07T08:00:00.000Z")};
}

// The straightforward client: libmosquitto's own thread, every message
// published when it is handed over.
class PlainClient
{
public:
    explicit PlainClient(quint16 port)
    {
        m_client = mosquitto_new(nullptr, true, this);
        mosquitto_int_option(m_client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        mosquitto_publish_callback_set(m_client, [](mosquitto *, void *self, int) {
            ++static_cast<PlainClient *>(self)->m_done;
        });
        m_connected = mosquitto_connect(m_client, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS
                      && mosquitto_loop_start(m_client) == MOSQ_ERR_SUCCESS;
    }
    ~PlainClient()
    {
        mosquitto_disconnect(m_client);
        mosquitto_loop_stop(m_client, false);
        mosquitto_destroy(m_client);
    }
    bool connected() const { return m_connected; }
    void publish(const Veltrano::Message &message, int qos, bool retain)
    {
        ++m_published;
        mosquitto_publish(m_client, nullptr, message.topic.constData(), int(message.payload.size()),
                          message.payload.constData(), qos, retain);
    }
    bool idle() const { return m_done.load() >= m_published; }

private:
    mosquitto *m_client = nullptr;
    bool m_connected = false;
    int m_published = 0;
    std::atomic<int> m_done{0};
};

struct Phase
{
    double processCpuPercent = 0;
    double callMicroseconds = 0;  // the caller's processor time per call
    double messages = 0;          // that reached the broker
};

enum class Way { Off, Plain, Ours };

// `seconds` of the 16 balances, paced in real time, then the wait until the
// broker has everything.
Phase run(Way way, int seconds, quint16 port, const QString &outbox, benchmark::State &state)
{
    std::unique_ptr<Veltrano::MqttPublisher> ours;
    std::unique_ptr<PlainClient> plain;
    Veltrano::MqttConfig config;
    config.enabled = true;
    config.host = QStringLiteral("127.0.0.1");
    config.port = port;
    config.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(port);
    config.topicPrefix = kPrefix;
    if (way == Way::Ours) {
        ours = std::make_unique<Veltrano::MqttPublisher>(config, outbox);
        bool connected = false;
        QObject::connect(ours.get(), &Veltrano::MqttPublisher::connectedChanged, [&connected](bool up) { connected = up; });
        ours->start();
        runEventLoop(10000, [&connected] { return connected; });
        if (!connected)
            state.SkipWithError("the publisher does not connect");
    } else if (way == Way::Plain) {
        plain = std::make_unique<PlainClient>(port);
        if (!plain->connected())
            state.SkipWithError("the plain client does not connect");
    }

    const int ticks = seconds * 1000 / kTickMs;
    int tick = 0, calls = 0;
    double callCpu = 0;
    qint64 built = 0;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const double before = threadCpuSeconds();
        for (int balance = 0; balance < kBalances; ++balance) {
            const Veltrano::LiveReading reading = benchReading(balance, tick);
            ++calls;
            if (ours)
                ours->publishReading(reading);
            else if (plain)
                plain->publish(Veltrano::Messages::reading(kPrefix, reading), 0, true);
            else
                built += reading.result.size();
            if (tick % kTicksPerRow != 0)
                continue;
            const Veltrano::PublishedRow row = benchRow(balance, tick / kTicksPerRow);
            ++calls;
            if (ours)
                ours->publishRow(row);
            else if (plain)
                plain->publish(Veltrano::Messages::row(kPrefix, row), 1, false);
            else
                built += row.hash.size();
        }
        callCpu += threadCpuSeconds() - before;
        if (++tick == ticks)
            timer.stop();
    });
    const double cpuBefore = processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    timer.start(kTickMs);
    runEventLoop(seconds * 1000 + 30000, [&] {
        return tick == ticks && (!ours || ours->waiting() == 0) && (!plain || plain->idle());
    });
    Phase phase;
    const double elapsed = wall.nsecsElapsed() / 1e9;
    phase.processCpuPercent = 100.0 * (processCpuSeconds() - cpuBefore) / elapsed;
    phase.callMicroseconds = 1e6 * callCpu / qMax(1, calls);
    phase.messages = ours || plain ? double(ticks / kTicksPerRow * kBalances) : double(built > 0);
    if (tick != ticks || (ours && ours->waiting() != 0) || (plain && !plain->idle()))
        state.SkipWithError("the broker did not get every message in time");
    return phase;
}

void publish(benchmark::State &state, Variant, qint64 seconds)
{
    for (auto _ : state) {
        QTemporaryDir dir;
        MosquittoBroker broker(dir.path());
        if (!MosquittoBroker::available() || !broker.start())
            return state.SkipWithError("no mosquitto broker (apt-get install mosquitto)");
        const QString outbox = dir.filePath(QStringLiteral("publish-outbox"));
        const Phase off = run(Way::Off, int(seconds), broker.port(), outbox, state);
        const Phase plain = run(Way::Plain, int(seconds), broker.port(), outbox, state);
        QElapsedTimer wall;
        wall.start();
        const Phase ours = run(Way::Ours, int(seconds), broker.port(), outbox, state);
        state.SetIterationTime(wall.nsecsElapsed() / 1e9);
        state.counters["off_cpu_percent"] = off.processCpuPercent;
        state.counters["plain_cpu_percent"] = plain.processCpuPercent;
        state.counters["ours_cpu_percent"] = ours.processCpuPercent;
        state.counters["ours_over_plain"] = ours.processCpuPercent / plain.processCpuPercent;
        state.counters["ours_call_us"] = ours.callMicroseconds;
        state.counters["plain_call_us"] = plain.callMicroseconds;
        state.counters["off_call_us"] = off.callMicroseconds;
        // The publisher's whole processor time per row that reached the broker.
        state.counters["ours_cpu_us_per_row"] = ours.processCpuPercent / 100.0 * 1e6 * double(seconds) / ours.messages;
    }
}

const int kRegistered = [] {
    registerOurs("publish", {10}, 3, publish);
    return 0;
}();

const std::string kPublish = name("publish", Variant::Ours, 10);
CheckRegistrar p1(80, figure("publish: processor, not publishing (16 balances)", kPublish, "off_cpu_percent", "% of a core"));
CheckRegistrar p2(81, figure("publish: processor, plain client", kPublish, "plain_cpu_percent", "% of a core"));
CheckRegistrar p3(82, figure("publish: processor, ours (outbox, coalesced)", kPublish, "ours_cpu_percent", "% of a core"));
CheckRegistrar p4(83, atMost("publish: ours / plain client", kPublish, "ours_over_plain", 2.0, "x"));
CheckRegistrar p5(84, atMost("publish: caller's time per call, ours", kPublish, "ours_call_us", 50, "us"));
CheckRegistrar p6(85, figure("publish: caller's time per call, plain client", kPublish, "plain_call_us", "us"));
CheckRegistrar p7(86, figure("publish: whole processor time per row, ours", kPublish, "ours_cpu_us_per_row", "us"));

} // namespace
} // namespace Bench
