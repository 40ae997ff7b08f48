#include "collect/networklink.h"

#include <QUrl>
#include <QUrlQuery>

#include <algorithm>

namespace Veltrano {

namespace {

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

} // namespace

bool NetworkAddress::isNetwork(const QString &portText)
{
    return portText.startsWith(QLatin1String("tcp://"), Qt::CaseInsensitive);
}

std::optional<NetworkAddress> NetworkAddress::parse(const QString &text, QString *error)
{
    if (!isNetwork(text)) {
        setError(error, QStringLiteral("not a tcp:// address"));
        return std::nullopt;
    }
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    const int port = url.port(-1);
    if (!url.isValid() || url.host().isEmpty() || port < 1 || port > 65535) {
        setError(error, QStringLiteral("expected tcp://HOST:PORT with a port from 1 to 65535"));
        return std::nullopt;
    }
    if (!url.userInfo().isEmpty() || (!url.path().isEmpty() && url.path() != QLatin1String("/")) || url.hasFragment()) {
        setError(error, QStringLiteral("nothing but a host, a port and ?idle=SECONDS may follow tcp://"));
        return std::nullopt;
    }
    NetworkAddress address;
    address.text = text;
    address.host = url.host();
    address.port = quint16(port);
    const QList<QPair<QString, QString>> items = QUrlQuery(url).queryItems();
    for (const auto &item : items) {
        bool ok = false;
        const int seconds = item.second.toInt(&ok);
        if (item.first != QLatin1String("idle") || !ok || seconds < 1 || seconds > 24 * 3600) {
            setError(error, QStringLiteral("the only option is idle=SECONDS, from 1 to 86400"));
            return std::nullopt;
        }
        address.idleMs = seconds * 1000;
    }
    return address;
}

int idleLimitMs(const NetworkAddress &address, int samplingIntervalMs)
{
    if (address.idleMs > 0)
        return address.idleMs;
    // An interval of many hours must not make a lost link go unnoticed for days.
    const qint64 intervals = std::min<qint64>(3 * qint64(samplingIntervalMs), 24 * 3600 * 1000);
    return int(std::max<qint64>(kMinIdleMs, intervals));
}

NetworkLink::NetworkLink(const NetworkAddress &address, int idleMs, QObject *parent)
    : Link(parent)
    , m_address(address)
    , m_idleMs(idleMs)
{
    m_connectTimeout.setSingleShot(true);
    m_connectTimeout.setInterval(kConnectTimeoutMs);
    m_idleCheck.setInterval(std::max(250, idleMs / 4));

    connect(&m_socket, &QTcpSocket::connected, this, [this] {
        m_connectTimeout.stop();
        m_phase = Phase::Open;
        m_heard.start();
        m_idleCheck.start();
        emit connected();
    });
    connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
        m_heard.start();
        emit readyRead();
    });
    connect(&m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        fail(error == QAbstractSocket::RemoteHostClosedError ? QStringLiteral("closed by the other side")
                                                             : m_socket.errorString());
    });
    connect(&m_socket, &QTcpSocket::disconnected, this, [this] { fail(QStringLiteral("closed by the other side")); });
    connect(&m_connectTimeout, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("no connection within %1 s").arg(kConnectTimeoutMs / 1000));
    });
    connect(&m_idleCheck, &QTimer::timeout, this, [this] {
        if (m_heard.elapsed() >= m_idleMs)
            fail(QStringLiteral("silent for %1 s").arg(m_heard.elapsed() / 1000));
    });
}

NetworkLink::~NetworkLink()
{
    // The socket goes down after this object's own part: nothing of it may
    // come back here.
    disconnect(&m_socket, nullptr, this, nullptr);
    m_socket.abort();
}

void NetworkLink::open()
{
    if (m_phase != Phase::Closed)
        return;
    m_phase = Phase::Opening;
    m_connectTimeout.start();
    m_socket.connectToHost(m_address.host, m_address.port, QIODevice::ReadWrite);
}

void NetworkLink::fail(const QString &reason)
{
    if (m_phase == Phase::Closed)
        return;
    const bool wasOpen = m_phase == Phase::Open;
    m_phase = Phase::Closed;
    m_connectTimeout.stop();
    m_idleCheck.stop();
    {
        const QSignalBlocker quiet(&m_socket);
        m_socket.abort();
    }
    emit failed(reason, wasOpen);
}

} // namespace Veltrano
