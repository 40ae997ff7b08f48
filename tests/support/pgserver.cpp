#include "pgserver.h"

#include <QFileInfo>
#include <QProcess>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kBin = QStringLiteral("/usr/lib/postgresql/15/bin/");
const QString kUser = QStringLiteral("nobody");

bool asRoot()
{
    return ::geteuid() == 0;
}

} // namespace

PgServer::PgServer(bool durable)
    : m_dir(QStringLiteral("/tmp/veltrano-pg-XXXXXX"))
    , m_durable(durable)
{
    if (!available())
        return;
    m_port = freePort();
    if (asRoot()) {
        const passwd *user = ::getpwnam(kUser.toLatin1().constData());
        if (!user || ::chown(QFile::encodeName(m_dir.path()).constData(), user->pw_uid, user->pw_gid) != 0) {
            m_error = QStringLiteral("cannot hand the cluster folder to ") + kUser;
            return;
        }
    }
    if (!run(kBin + QStringLiteral("initdb"), {QStringLiteral("-D"), m_dir.filePath(QStringLiteral("data")),
                                              QStringLiteral("-A"), QStringLiteral("trust"), QStringLiteral("-U"),
                                              QStringLiteral("veltrano"), QStringLiteral("-E"),
                                              QStringLiteral("UTF8"), QStringLiteral("--no-sync")})
        || !start())
        m_error = m_output;
}

PgServer::~PgServer()
{
    if (m_running)
        stop();
}

quint16 PgServer::freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    quint16 port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), length) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

bool PgServer::available()
{
    return QFileInfo(kBin + QStringLiteral("pg_ctl")).isExecutable();
}

QString PgServer::uri() const
{
    return QStringLiteral("postgresql://veltrano@127.0.0.1:%1/postgres").arg(m_port);
}

bool PgServer::start()
{
    const QString options = QStringLiteral("-p %1 -c listen_addresses=127.0.0.1 -k %2 -c fsync=%3")
                                .arg(m_port)
                                .arg(m_dir.path(), m_durable ? QStringLiteral("on") : QStringLiteral("off"));
    m_running = run(kBin + QStringLiteral("pg_ctl"),
                    {QStringLiteral("-D"), m_dir.filePath(QStringLiteral("data")), QStringLiteral("-l"),
                     m_dir.filePath(QStringLiteral("log")), QStringLiteral("-o"), options, QStringLiteral("-w"),
                     QStringLiteral("start")});
    return m_running;
}

bool PgServer::stop()
{
    m_running = !run(kBin + QStringLiteral("pg_ctl"), {QStringLiteral("-D"), m_dir.filePath(QStringLiteral("data")),
                                                       QStringLiteral("-m"), QStringLiteral("immediate"),
                                                       QStringLiteral("-w"), QStringLiteral("stop")});
    return !m_running;
}

bool PgServer::psql(const QString &sql) const
{
    return run(kBin + QStringLiteral("psql"),
               {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"),
                QStringLiteral("-d"), uri(), QStringLiteral("-c"), sql});
}

bool PgServer::run(const QString &program, const QStringList &arguments, int timeoutMs) const
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    // The cluster folder is the server user's own; run from a folder it can read.
    process.setWorkingDirectory(m_dir.path());
    if (asRoot())
        process.start(QStringLiteral("runuser"), QStringList{QStringLiteral("-u"), kUser, QStringLiteral("--"), program} + arguments);
    else
        process.start(program, arguments);
    if (process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    m_output = QFileInfo(program).fileName() + QStringLiteral(": ") + QString::fromLocal8Bit(process.readAll());
    return false;
}
