#include "pgserver.h"

#include "freeport.h"

#include <QProcess>

#include <csignal>
#include <pwd.h>
#include <unistd.h>

PgServer::PgServer(bool durable)
    : m_durable(durable)
{
    if (const passwd *nobody = ::getpwnam("nobody");
        nobody && ::geteuid() == 0 && ::chown(QFile::encodeName(m_dir.path()), nobody->pw_uid, nobody->pw_gid) != 0)
        m_error = QStringLiteral("cannot hand the cluster folder to nobody");
    else if (available() && run(bin("initdb"), {"-D", m_dir.filePath("data"), "-A", "trust", "-U", "veltrano", "-E", "UTF8", "--no-sync"}))
        start();
}

quint16 PgServer::freePort() { return freeLoopbackPort(); }

bool PgServer::start()
{
    const QString options = QStringLiteral("-p %1 -c listen_addresses=127.0.0.1 -c fsync=%2 -k ")
                                .arg(m_port).arg(m_durable ? "on" : "off") + m_dir.path() + m_tlsOptions;
    return run(bin("pg_ctl"), {"-D", m_dir.filePath("data"), "-l", m_dir.filePath("log"), "-o", options, "-w", "start"});
}

bool PgServer::run(const QString &program, const QStringList &arguments) const
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(m_dir.path());  // one the server's user may enter
    QStringList command = QStringList{"runuser", "-u", "nobody", "--", program}.mid(::geteuid() == 0 ? 0 : 4) + arguments;
    process.start(command.takeFirst(), command);
    const bool ok = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!ok && m_error.isEmpty())
        m_error = QFileInfo(program).fileName() + QStringLiteral(": ") + QString::fromLocal8Bit(process.readAll());
    return ok;
}

bool PgServer::pause(bool paused) const
{
    QFile pidFile(m_dir.filePath("data/postmaster.pid"));
    const qint64 pid = pidFile.open(QIODevice::ReadOnly) ? pidFile.readLine().trimmed().toLongLong() : 0;
    const char *signal = paused ? "STOP" : "CONT";
    // The children (the backends serving each connection) first.
    return pid > 0 && run(QStringLiteral("pkill"), {QStringLiteral("-%1").arg(signal), "-P", QString::number(pid)})
           && ::kill(pid_t(pid), paused ? SIGSTOP : SIGCONT) == 0;
}

bool PgServer::enableTls(const QByteArray &certificate, const QByteArray &key)
{
    const passwd *nobody = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
    for (const auto &[name, content] : {std::pair("server.crt", certificate), std::pair("server.key", key)}) {
        QFile file(m_dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()
            || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner))
            return false;
        file.close();
        // The server refuses a key others may read, or one it does not own.
        if (nobody && ::chown(QFile::encodeName(file.fileName()), nobody->pw_uid, nobody->pw_gid) != 0)
            return false;
    }
    m_tlsOptions = QStringLiteral(" -c ssl=on -c ssl_cert_file=%1 -c ssl_key_file=%2")
                       .arg(m_dir.filePath("server.crt"), m_dir.filePath("server.key"));
    return stop() && start();
}
