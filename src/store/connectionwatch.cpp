#include "store/connectionwatch.h"

#include "store/sqlbackend.h"

#include "support/trace.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QVariant>

#include <libpq-fe.h>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace Veltrano {

namespace {

qintptr serverSocket(const QSqlDatabase &db)
{
    if (!db.isOpen() || !SqlBackend::isServer(db))
        return -1;
    const QVariant handle = db.driver()->handle();
    if (qstrcmp(handle.typeName(), "PGconn*") != 0)
        return -1;
    PGconn *connection = *static_cast<PGconn *const *>(handle.constData());
    return connection ? PQsocket(connection) : -1;
}

} // namespace

void ConnectionWatch::arm(const QSqlDatabase &db)
{
    if (!m_clock.isValid())
        m_clock.start();
    m_socket = serverSocket(db);
    m_armedAt = m_clock.elapsed() + 1;
}

void ConnectionWatch::disarm()
{
    m_armedAt = 0;
    m_socket = -1;
}

bool ConnectionWatch::cutIfStuck(int deadlineMs)
{
    const qint64 armedAt = m_armedAt;
    const qintptr socket = m_socket;
    if (armedAt == 0 || socket < 0 || !m_clock.isValid() || m_clock.elapsed() - armedAt < deadlineMs)
        return false;
    VTRACE << "the server has not answered a statement for" << deadlineMs << "ms: its connection is cut";
    // The socket stays open (the driver closes it); only the traffic ends,
    // so the waiting statement returns with an error.
#ifdef Q_OS_WIN
    ::shutdown(SOCKET(socket), SD_BOTH);
#else
    ::shutdown(int(socket), SHUT_RDWR);
#endif
    m_socket = -1;
    return true;
}

} // namespace Veltrano
