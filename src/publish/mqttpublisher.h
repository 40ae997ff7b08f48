#pragma once

#include "publish/messages.h"
#include "publish/publishconfig.h"

#include <QAtomicInteger>
#include <QObject>
#include <QString>
#include <QThread>

#include <functional>

namespace Veltrano {

// Hands the recorded rows, the weighings and the live readings to an MQTT
// broker (MQTT 3.1.1), on a thread of its own; whoever publishes never waits
// for the broker, the network or the disk: publishRow() and publishReading()
// only queue and return.
//
// Rows and weighings go with QoS 1. Each is first appended to the outbox
// file (see Outbox) and flushed to the disk, and leaves it only when the
// broker acknowledged it (PUBACK): while the broker is away, refuses the
// login or the program is not running, they wait there, and go out in the
// order they were handed over, the oldest (those of an earlier run) first.
// Up to kWindow of them are in flight at a time. A connection carries them
// in order and the broker handles them in order, so that subscribers see
// them in order; when a connection breaks, the unacknowledged ones are sent
// again from the first on, over a new connection. So none is lost, and none
// arrives twice unless a connection broke after the broker took a message
// but before its acknowledgement came back (then the messages of that
// window come once more, in their order; the row key and hash tell them).
//
// Live readings go with QoS 0, retained, at most once a second per
// instrument (the newest of that second); they are not kept: a broker that
// comes back gets each instrument's newest reading.
//
// Reconnection waits 1 s after a failure, doubling up to 30 s, quietly.
// What the operator must know comes out once: the broker away (outageBegan)
// and back, with how many waiting messages it then took (outageEnded); a
// refused login (problem, once until a login succeeds); an outbox that takes
// no more and messages lost for it (problem). The password is in none of them.
class MqttPublisher : public QObject
{
    Q_OBJECT

public:
    static constexpr int kWindow = 20;
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kLastRetryMs = 30000;
    static constexpr int kQuitPatienceMs = 2000;
    // Messages handed over that the publishing thread has not yet taken;
    // past it they are counted as lost (a disk that hangs must not fill the
    // memory).
    static constexpr int kHandOverBound = 50000;

    // `outboxPath`: see PublishConfig::outboxPath().
    MqttPublisher(const MqttConfig &config, const QString &outboxPath, QObject *parent = nullptr);
    // stop() if it was not called.
    ~MqttPublisher() override;

    // Opens the outbox (what an earlier run left goes first) and connects.
    void start();
    // Queue and return.
    void publishRow(const Veltrano::PublishedRow &row);
    void publishReading(const Veltrano::LiveReading &reading);
    // Sends what it can of the waiting messages within `patienceMs` (while
    // connected), leaves the rest in the outbox for the next start,
    // disconnects and ends the thread. Waits at most about `patienceMs`.
    void stop(int patienceMs = kQuitPatienceMs);

    // Before start(): the reconnection's waits, and the clock (steady
    // milliseconds) the readings' interval is measured on.
    void setRetryDelays(int firstMs, int lastMs);
    void setClock(std::function<qint64()> clock);

    // Messages in the outbox not yet acknowledged (as of the last change).
    int waiting() const { return m_waiting.loadAcquire(); }

signals:
    // One line the operator must be told.
    void problem(const QString &line);
    // The broker cannot be reached (a line saying which and why), and can
    // again: `sent` messages that waited meanwhile have gone.
    void outageBegan(const QString &reason);
    void outageEnded(int sent);
    // A login was accepted, or a connection ended.
    void connectedChanged(bool connected);

private:
    void handOver(std::function<void()> job);

    class Worker;
    QThread m_thread;
    Worker *m_worker = nullptr;
    MqttConfig m_config;
    QString m_outboxPath;
    int m_firstRetryMs = kFirstRetryMs;
    int m_lastRetryMs = kLastRetryMs;
    std::function<qint64()> m_clock;
    QAtomicInteger<int> m_waiting = 0;
    QAtomicInteger<int> m_handedOver = 0;  // not yet taken by the thread
    QAtomicInteger<int> m_droppedAtHandOver = 0;
    bool m_stopped = false;
};

} // namespace Veltrano
