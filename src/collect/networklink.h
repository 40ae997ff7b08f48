#pragma once

#include "collect/link.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <optional>

// A balance reached over the network: a serial device server in raw TCP mode,
// or a balance with an Ethernet interface of its own, streaming the same print
// lines as on its serial line. The instrument's port then holds an address
// such as tcp://192.168.1.40:4001, tcp://[fe80::1]:4001 or
// tcp://scales-7.lab:4001, optionally with ?idle=SECONDS.
namespace Veltrano {

struct NetworkAddress
{
    QString text;  // as the instrument's port holds it
    QString host;
    quint16 port = 0;
    int idleMs = 0;  // 0: the default keep-alive limit (idleLimitMs)

    // Whether a port text names a network link rather than a serial port:
    // it starts with "tcp://" (in any letter case).
    static bool isNetwork(const QString &portText);
    // The address in `text`; nothing, and why in `error`, when it is not a
    // whole tcp://HOST:PORT[?idle=SECONDS] address.
    static std::optional<NetworkAddress> parse(const QString &text, QString *error = nullptr);
};

// A link that stays silent this long is taken for lost: the longer of a
// minute and three sampling intervals, unless the address says otherwise.
constexpr int kMinIdleMs = 60 * 1000;
int idleLimitMs(const NetworkAddress &address, int samplingIntervalMs);

// One TCP connection to a balance, read like a serial port. Opening never
// blocks: open() starts connecting and connected() or failed() follows.
// Each open() ends in at most one failed(): the connection could not be made
// (refused, no such host, no answer within kConnectTimeoutMs), the other side
// closed it, or it stayed silent past the keep-alive limit. After failed() the
// link is closed and may be opened again.
class NetworkLink : public Link
{
    Q_OBJECT
public:
    static constexpr int kConnectTimeoutMs = 5000;

    NetworkLink(const NetworkAddress &address, int idleMs, QObject *parent = nullptr);
    ~NetworkLink() override;

    void open() override;
    bool isOpen() const override { return m_phase == Phase::Open; }
    bool isOpening() const override { return m_phase == Phase::Opening; }
    QByteArray readAll() override { return m_socket.readAll(); }
    QString name() const override { return m_address.text; }
    int idleMs() const { return m_idleMs; }

private:
    enum class Phase { Closed, Opening, Open };
    void fail(const QString &reason);

    NetworkAddress m_address;
    int m_idleMs;
    Phase m_phase = Phase::Closed;
    QTcpSocket m_socket;
    QTimer m_connectTimeout;
    // Checks the silence a few times per keep-alive limit; every byte only
    // restarts the clock, which costs far less than restarting a timer.
    QTimer m_idleCheck;
    QElapsedTimer m_heard;
};

} // namespace Veltrano
