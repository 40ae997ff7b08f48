#include "publish/mqttpublisher.h"

#include "publish/workerthread.h"
#include "publish/outbox.h"
#include "publish/readingthrottle.h"
#include "support/trace.h"

#include <QHash>
#include <QSemaphore>
#include <QTimer>

#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace Veltrano {

namespace {

constexpr int kKeepAliveSeconds = 30;
// A broker that took the connection but does not answer the login.
constexpr int kConnackTimeoutMs = 10000;
// How long a stop waits for a connection to end with its DISCONNECT.
constexpr int kDisconnectPatienceMs = 500;
constexpr int kLoopTimeoutMs = 100;

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One connection to the broker: a fresh client, connected and run on a
// thread of its own (mosquitto_connect waits for the network), so that
// messages from an earlier connection never come back from the library. The
// publishing thread publishes through it; the client goes with the last
// owner, the thread or the publisher.
struct Connection
{
    ~Connection()
    {
        if (client)
            mosquitto_destroy(client);
    }
    int generation = 0;
    mosquitto *client = nullptr;
    std::atomic<bool> stop{false};
    std::thread thread;
    std::shared_ptr<Mailbox> mailbox;
    // The library's last error line (a TLS failure says more there than in
    // its return code). Written and read on the connection's thread only.
    QString lastError;
};

QString describe(int rc, int error, const QString &detail)
{
    QString text = rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(std::strerror(error))
                                        : QString::fromUtf8(mosquitto_strerror(rc));
    if (!detail.isEmpty())
        text += QStringLiteral(" (%1)").arg(detail);
    return text;
}

} // namespace

// Lives on the publishing thread: everything it does happens there.
class MqttPublisher::Worker : public QObject
{
public:
    Worker(MqttPublisher *owner, const MqttConfig &config, const QString &outboxPath, int firstRetryMs, int lastRetryMs,
           std::function<qint64()> clock)
        : m_owner(owner)
        , m_config(config)
        , m_outbox(outboxPath)
        , m_firstRetryMs(firstRetryMs)
        , m_lastRetryMs(lastRetryMs)
        , m_retryMs(firstRetryMs)
        , m_clock(clock ? std::move(clock) : std::function<qint64()>(steadyMs))
        , m_mailbox(std::make_shared<Mailbox>(this))
        , m_retry(this)
        , m_connackTimer(this)
        , m_readingTimer(this)
        , m_patience(this)
    {
        m_retry.setSingleShot(true);
        connect(&m_retry, &QTimer::timeout, this, [this] { connectToBroker(); });
        m_connackTimer.setSingleShot(true);
        connect(&m_connackTimer, &QTimer::timeout, this, [this] {
            m_unanswered = true;
            endConnection();
        });
        m_readingTimer.setSingleShot(true);
        connect(&m_readingTimer, &QTimer::timeout, this, [this] { sendDueReadings(); });
        m_patience.setSingleShot(true);
        connect(&m_patience, &QTimer::timeout, this, [this] { finishConnection(); });
    }

    ~Worker() override { m_mailbox->close(); }

    void open()
    {
        static std::once_flag initialised;
        std::call_once(initialised, [] { mosquitto_lib_init(); });
        const Outbox::Opened opened = m_outbox.open();
        if (!opened.error.isEmpty())
            emit m_owner->problem((VLINE << QStringLiteral("the MQTT outbox %1 cannot be opened: %2; rows and "
                                                           "weighings wait in memory only").arg(path(), opened.error))
                                      .text());
        if (opened.unreadable > 0)
            emit m_owner->problem((VLINE << QStringLiteral("the MQTT outbox %1 holds %2 unreadable lines, skipped")
                                                .arg(path()).arg(opened.unreadable))
                                      .text());
        if (opened.torn)
            VTRACE << "the outbox's last line was cut short by a crash, removed";
        if (opened.waiting > 0)
            VTRACE << "messages from an earlier run wait in the outbox:" << opened.waiting;
        updateWaiting();
        connectToBroker();
    }

    void enqueue(const QVector<Message> &messages)
    {
        m_owner->m_handedOver.fetchAndSubRelaxed(messages.size());
        m_incoming += messages;
        if (m_flushQueued)
            return;
        // Written once the messages handed over meanwhile (the other
        // instruments of the same tick) have joined: one flush for all.
        m_flushQueued = true;
        QMetaObject::invokeMethod(this, [this] { flushIncoming(); }, Qt::QueuedConnection);
    }

    // `atMs`: when it was handed over, on the publisher's clock.
    void offerReading(const LiveReading &reading, qint64 atMs)
    {
        if (const auto now = m_throttle.offer(reading, atMs))
            sendReading(*now);
        armReadingTimer();
    }

    void finish(int patienceMs, std::shared_ptr<QSemaphore> done)
    {
        flushIncoming();
        m_done = std::move(done);
        m_finishing = true;
        m_retry.stop();
        m_readingTimer.stop();
        if (m_connected && m_outbox.waiting() > 0)
            m_patience.start(patienceMs);
        else
            finishConnection();
    }

private:
    QString path() const { return m_outbox.path(); }

    void updateWaiting() { m_owner->m_waiting.storeRelease(m_outbox.waiting()); }

    void flushIncoming()
    {
        m_flushQueued = false;
        if (const int dropped = m_owner->m_droppedAtHandOver.fetchAndStoreRelaxed(0))
            emit m_owner->problem((VLINE << QStringLiteral("rows and weighings not published, handed over faster "
                                                           "than the outbox %1 took them: %2").arg(path()).arg(dropped))
                                      .text());
        if (m_incoming.isEmpty())
            return;
        QString error;
        if (m_outbox.append(std::exchange(m_incoming, {}), &error)) {
            if (m_outboxRefusing) {
                m_outboxRefusing = false;
                reportLost();
                VTRACE << "the outbox takes messages again";
            }
        } else if (!m_outboxRefusing) {
            m_outboxRefusing = true;
            emit m_owner->problem((VLINE << QStringLiteral("the MQTT outbox %1 takes no more messages: %2; rows and "
                                                           "weighings wait in memory (up to %3) until it does")
                                                .arg(path(), error).arg(Outbox::kUnsaved))
                                      .text());
        }
        updateWaiting();
        sendWaiting();
    }

    void reportLost()
    {
        if (const int lost = m_outbox.takeLost())
            emit m_owner->problem((VLINE << QStringLiteral("rows and weighings not published, neither the MQTT outbox "
                                                           "%1 nor the memory took them: %2").arg(path()).arg(lost))
                                      .text());
    }

    void connectToBroker()
    {
        if (m_connection || m_finishing)
            return;
        auto connection = std::make_shared<Connection>();
        connection->generation = ++m_generation;
        connection->mailbox = m_mailbox;
        connection->client = mosquitto_new(nullptr, true, connection.get());
        if (!connection->client) {
            connectionEnded(connection->generation, QStringLiteral("no MQTT client: out of memory"));
            return;
        }
        mosquitto *client = connection->client;
        mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        mosquitto_int_option(client, MOSQ_OPT_SEND_MAXIMUM, kWindow);
        mosquitto_threaded_set(client, true);
        QString error;
        if (!m_config.user.isEmpty()
            && mosquitto_username_pw_set(client, m_config.user.toUtf8().constData(),
                                         m_config.password.isEmpty() ? nullptr : m_config.password.toUtf8().constData())
                   != MOSQ_ERR_SUCCESS)
            error = QStringLiteral("the user name is not valid UTF-8");
        if (error.isEmpty() && m_config.tls
            && (mosquitto_tls_set(client, QFile::encodeName(m_config.caFile).constData(), nullptr, nullptr, nullptr,
                                  nullptr) != MOSQ_ERR_SUCCESS
                || mosquitto_tls_opts_set(client, 1, nullptr, nullptr) != MOSQ_ERR_SUCCESS))
            error = QStringLiteral("the certificate authority %1 cannot be used").arg(m_config.caFile);
        if (!error.isEmpty()) {
            connectionEnded(connection->generation, error);
            return;
        }
        mosquitto_log_callback_set(client, [](mosquitto *, void *self, int level, const char *line) {
            if (level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING))
                static_cast<Connection *>(self)->lastError = QString::fromUtf8(line);
        });
        mosquitto_connect_callback_set(client, [](mosquitto *, void *self, int rc) {
            auto *connection = static_cast<Connection *>(self);
            post(connection, [generation = connection->generation, rc](Worker *w) { w->answered(generation, rc); });
        });
        mosquitto_publish_callback_set(client, [](mosquitto *, void *self, int mid) {
            auto *connection = static_cast<Connection *>(self);
            post(connection, [generation = connection->generation, mid](Worker *w) { w->acknowledged(generation, mid); });
        });
        m_connection = connection;
        m_unanswered = false;
        connection->thread = std::thread(run, connection, m_config.host.toStdString(), m_config.port);
    }

    // Events of a connection reach the worker through its mailbox, which
    // the worker closes before it goes.
    static void post(Connection *connection, std::function<void(Worker *)> event)
    {
        connection->mailbox->post([event = std::move(event)](QObject *worker) { event(static_cast<Worker *>(worker)); });
    }

    // The connection's thread.
    static void run(std::shared_ptr<Connection> connection, std::string host, int port)
    {
        int rc = mosquitto_connect(connection->client, host.c_str(), port, kKeepAliveSeconds);
        int error = errno;
        if (rc == MOSQ_ERR_SUCCESS) {
            post(connection.get(), [generation = connection->generation](Worker *w) { w->tcpConnected(generation); });
            while (!connection->stop.load() && rc == MOSQ_ERR_SUCCESS) {
                rc = mosquitto_loop(connection->client, kLoopTimeoutMs, 1);
                error = errno;
            }
            if (connection->stop.load() && rc == MOSQ_ERR_SUCCESS) {
                mosquitto_disconnect(connection->client);
                mosquitto_loop(connection->client, kLoopTimeoutMs, 1);
            }
        }
        const QString reason = rc == MOSQ_ERR_SUCCESS ? QString() : describe(rc, error, connection->lastError);
        post(connection.get(), [generation = connection->generation, reason](Worker *w) {
            w->connectionEnded(generation, reason);
        });
    }

    void tcpConnected(int generation)
    {
        if (generation == m_generation && !m_connected)
            m_connackTimer.start(kConnackTimeoutMs);
    }

    // The broker's answer to the login.
    void answered(int generation, int rc)
    {
        if (generation != m_generation)
            return;
        m_connackTimer.stop();
        if (rc != 0) {
            m_refused = true;
            const bool login = rc == 4 || rc == 5;  // bad user name or password, not authorised
            const QString reason = QStringLiteral("%1: %2").arg(m_config.url, QString::fromUtf8(mosquitto_connack_string(rc)));
            if (!login) {
                beginOutage(reason);
            } else if (!m_refusalTold) {
                m_refusalTold = true;
                emit m_owner->problem((VLINE << QStringLiteral("the MQTT broker %1 refuses the login of %2; rows and "
                                                               "weighings wait in the outbox, the login is tried again")
                                                    .arg(reason, m_config.user.isEmpty() ? QStringLiteral("an anonymous client")
                                                                                         : QStringLiteral("user ") + m_config.user))
                                          .text());
            }
            return;
        }
        m_connected = true;
        m_retryMs = m_firstRetryMs;
        m_inflight.clear();
        m_outbox.restartSending();
        VTRACE << "connected to" << m_config.url << "messages waiting:" << m_outbox.waiting();
        emit m_owner->connectedChanged(true);
        if (m_outageTold || m_refusalTold) {
            m_catchUpUntil = m_outbox.lastSeq();
            m_catchUpSent = 0;
        }
        for (const LiveReading &reading : m_throttle.latest(m_clock()))
            sendReading(reading);
        m_readingTimer.stop();
        sendWaiting();
        checkOutageOver();
    }

    void sendWaiting()
    {
        while (m_connected && m_inflight.size() < kWindow) {
            const Outbox::Entry *entry = m_outbox.next();
            if (!entry)
                return;
            int mid = 0;
            const int rc = mosquitto_publish(m_connection->client, &mid, entry->message.topic.constData(),
                                             int(entry->message.payload.size()), entry->message.payload.constData(), 1,
                                             false);
            if (rc != MOSQ_ERR_SUCCESS) {
                // Handed out but not sent: it goes again over a new connection.
                VTRACE << "publish refused, reconnecting:" << QString::fromUtf8(mosquitto_strerror(rc));
                endConnection();
                return;
            }
            m_inflight.insert(mid, entry->seq);
        }
    }

    void sendReading(const LiveReading &reading)
    {
        if (!m_connected)
            return;  // the newest goes when the broker is back
        const Message message = Messages::reading(m_config.topicPrefix, reading);
        const int rc = mosquitto_publish(m_connection->client, nullptr, message.topic.constData(),
                                         int(message.payload.size()), message.payload.constData(), 0, true);
        if (rc != MOSQ_ERR_SUCCESS)
            VTRACE << "reading not published:" << QString::fromUtf8(mosquitto_strerror(rc));
    }

    void sendDueReadings()
    {
        for (const LiveReading &reading : m_throttle.due(m_clock()))
            sendReading(reading);
        armReadingTimer();
    }

    void armReadingTimer()
    {
        const auto due = m_throttle.nextDueMs();
        if (!due || m_finishing)
            return;
        // Checked again at least every 100 ms, so that a clock that is not
        // the system's (a test's) is followed too.
        const int wait = int(qBound(qint64(1), *due - m_clock(), qint64(100)));
        if (!m_readingTimer.isActive() || m_readingTimer.remainingTime() > wait)
            m_readingTimer.start(wait);
    }

    void acknowledged(int generation, int mid)
    {
        if (generation != m_generation)
            return;
        const auto it = m_inflight.find(mid);
        if (it == m_inflight.end())
            return;  // a reading (QoS 0 is "acknowledged" once written)
        const qint64 seq = it.value();
        m_inflight.erase(it);
        m_outbox.acknowledge(seq);
        if (seq <= m_catchUpUntil)
            ++m_catchUpSent;
        updateWaiting();
        checkOutageOver();
        if (m_finishing) {
            if (m_outbox.waiting() == 0)
                finishConnection();
            return;
        }
        sendWaiting();
    }

    void checkOutageOver()
    {
        if (!(m_outageTold || m_refusalTold) || !m_connected)
            return;
        const qint64 first = m_outbox.firstWaitingSeq();
        if (first != 0 && first <= m_catchUpUntil)
            return;
        m_outageTold = m_refusalTold = false;
        VTRACE << "the broker took the messages that waited:" << m_catchUpSent;
        emit m_owner->outageEnded(m_catchUpSent);
    }

    void beginOutage(const QString &reason)
    {
        VTRACE << "the broker cannot be reached:" << reason;
        if (m_outageTold || m_refusalTold)
            return;
        m_outageTold = true;
        emit m_owner->outageBegan(reason);
    }

    // Asks the connection's thread to end; connectionEnded() follows.
    void endConnection()
    {
        if (m_connection)
            m_connection->stop.store(true);
    }

    void connectionEnded(int generation, const QString &reason)
    {
        if (generation != m_generation)
            return;
        if (m_connection) {
            if (m_connection->thread.joinable())
                m_connection->thread.join();  // it has posted its last event
            m_connection.reset();
        }
        m_connackTimer.stop();
        const bool wasConnected = std::exchange(m_connected, false);
        m_inflight.clear();
        m_outbox.restartSending();
        if (wasConnected)
            emit m_owner->connectedChanged(false);
        if (m_finishing) {
            complete();
            return;
        }
        if (!std::exchange(m_refused, false)) {
            QString why = reason;
            if (m_unanswered)
                why = QStringLiteral("no answer to the login within %1 s").arg(kConnackTimeoutMs / 1000);
            else if (why.isEmpty())
                why = QStringLiteral("the connection ended");
            beginOutage(QStringLiteral("%1: %2").arg(m_config.url, why));
        }
        m_retry.start(m_retryMs);
        VTRACE << "next connection attempt in ms:" << m_retryMs;
        m_retryMs = qMin(m_retryMs * 2, m_lastRetryMs);
    }

    // The stop's last steps: the connection ends (a thread still waiting
    // for the network is left to end by itself), the outbox is closed.
    void finishConnection()
    {
        m_patience.stop();
        if (!m_connection) {
            complete();
            return;
        }
        endConnection();
        QTimer::singleShot(kDisconnectPatienceMs, this, [this, generation = m_generation] {
            if (generation != m_generation || !m_connection || m_completed)
                return;
            VTRACE << "the connection's thread still waits for the network; left to end by itself";
            m_connection->thread.detach();
            m_connection.reset();
            complete();
        });
    }

    void complete()
    {
        if (std::exchange(m_completed, true))
            return;
        // The worker is deleted from the owner's thread: none of its timers may still run.
        for (QTimer *timer : {&m_retry, &m_connackTimer, &m_readingTimer, &m_patience})
            timer->stop();
        m_mailbox->close();
        if (m_connection) {
            m_connection->stop.store(true);
            m_connection->thread.detach();
            m_connection.reset();
        }
        reportLost();
        const int unsaved = m_outbox.unsaved();
        if (unsaved > 0)
            emit m_owner->problem((VLINE << QStringLiteral("rows and weighings not published and not kept, the MQTT "
                                                           "outbox %1 did not take them: %2").arg(path()).arg(unsaved))
                                      .text());
        if (m_outbox.waiting() > unsaved)
            VTRACE << "messages left in the outbox for the next start:" << m_outbox.waiting() - unsaved;
        m_outbox.close();
        updateWaiting();
        if (m_done)
            m_done->release();
    }

    MqttPublisher *m_owner;
    const MqttConfig m_config;
    Outbox m_outbox;
    ReadingThrottle m_throttle;
    const int m_firstRetryMs;
    const int m_lastRetryMs;
    int m_retryMs;
    std::function<qint64()> m_clock;
    std::shared_ptr<Mailbox> m_mailbox;
    std::shared_ptr<Connection> m_connection;
    int m_generation = 0;
    bool m_connected = false;
    bool m_unanswered = false;   // the connection ended for want of a CONNACK
    bool m_refused = false;      // this connection's login was refused
    bool m_outageTold = false;
    bool m_refusalTold = false;
    qint64 m_catchUpUntil = 0;   // the newest message that waited when the broker came back
    int m_catchUpSent = 0;
    QHash<int, qint64> m_inflight;  // message id -> outbox seq
    QVector<Message> m_incoming;
    bool m_flushQueued = false;
    bool m_outboxRefusing = false;
    bool m_finishing = false;
    bool m_completed = false;
    std::shared_ptr<QSemaphore> m_done;
    QTimer m_retry;
    QTimer m_connackTimer;
    QTimer m_readingTimer;
    QTimer m_patience;
};

MqttPublisher::MqttPublisher(const MqttConfig &config, const QString &outboxPath, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_outboxPath(outboxPath)
{
    m_thread.setObjectName(QStringLiteral("publish"));
}

MqttPublisher::~MqttPublisher() { stop(); }

void MqttPublisher::setRetryDelays(int firstMs, int lastMs)
{
    m_firstRetryMs = qMax(1, firstMs);
    m_lastRetryMs = qMax(m_firstRetryMs, lastMs);
}

void MqttPublisher::setClock(std::function<qint64()> clock) { m_clock = std::move(clock); }

void MqttPublisher::start()
{
    if (m_worker || m_stopped)
        return;
    m_worker = new Worker(this, m_config, m_outboxPath, m_firstRetryMs, m_lastRetryMs, m_clock);
    startWorker(m_thread, m_worker);
}

void MqttPublisher::handOver(std::function<void()> job)
{
    if (!m_worker || m_stopped)
        return;
    QMetaObject::invokeMethod(m_worker, std::move(job), Qt::QueuedConnection);
}

void MqttPublisher::publishRow(const PublishedRow &row)
{
    if (!m_worker || m_stopped)
        return;
    const int count = row.weighing ? 2 : 1;
    if (m_handedOver.fetchAndAddRelaxed(count) >= kHandOverBound) {
        m_handedOver.fetchAndSubRelaxed(count);
        m_droppedAtHandOver.fetchAndAddRelaxed(count);
        return;
    }
    handOver([worker = m_worker, row, prefix = m_config.topicPrefix] {
        QVector<Message> messages{Messages::row(prefix, row)};
        if (row.weighing)
            messages.append(Messages::weighing(prefix, row));
        worker->enqueue(messages);
    });
}

void MqttPublisher::publishReading(const LiveReading &reading)
{
    const qint64 now = m_clock ? m_clock() : steadyMs();
    handOver([worker = m_worker, reading, now] { worker->offerReading(reading, now); });
}

void MqttPublisher::stop(int patienceMs)
{
    if (m_stopped)
        return;
    m_stopped = true;
    if (!m_worker)
        return;
    finishWorker(m_thread, m_worker, patienceMs);
}

} // namespace Veltrano
