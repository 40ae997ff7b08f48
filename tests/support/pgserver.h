#pragma once

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

// A PostgreSQL server of the tests' own: a fresh cluster in a temporary
// folder on a free loopback port, commits not flushed to disk (unless
// `durable`, as the benchmarks want), run as
// "nobody" when the tests run as root (the server refuses root), stopped
// when the object goes.
class PgServer
{
public:
    explicit PgServer(bool durable = false);
    ~PgServer() { stop(); }

    static QString bin(const char *name) { return QStringLiteral("/usr/lib/postgresql/15/bin/") + name; }
    static bool available() { return QFileInfo(bin("pg_ctl")).isExecutable(); }  // the server is installed
    static quint16 freePort();  // a loopback port nobody listens on now

    const QString &error() const { return m_error; }  // the first command that failed, and its output
    QString uri() const { return QStringLiteral("postgresql://veltrano@127.0.0.1:%1/postgres").arg(m_port); }
    bool start();
    // Immediate, as a crash or a pulled cable looks to clients.
    bool stop() { return run(bin("pg_ctl"), {"-D", m_dir.filePath("data"), "-m", "immediate", "-w", "stop"}); }
    // Every process of the server stopped (SIGSTOP) or continued, as a host
    // that hangs or a network that drops packets looks to clients.
    bool pause(bool paused) const;
    // One transaction; false on any error.
    bool psql(const QString &sql) const { return run(bin("psql"), {"-X", "-q", "-v", "ON_ERROR_STOP=1", "-d", uri(), "-c", sql}); }

    // Restarts the server with TLS on, with this certificate (PEM) and key.
    bool enableTls(const QByteArray &certificate, const QByteArray &key);
    // What the server logged so far (its errors among it).
    QByteArray log() const
    {
        QFile file(m_dir.filePath("log"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    bool run(const QString &program, const QStringList &arguments) const;

    QTemporaryDir m_dir{QStringLiteral("/tmp/veltrano-pg-XXXXXX")};
    quint16 m_port = freePort();
    bool m_durable;
    QString m_tlsOptions;
    mutable QString m_error;
};
