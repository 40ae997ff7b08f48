#pragma once

#include <QString>
#include <QTemporaryDir>

// A PostgreSQL server of the tests' own: a fresh cluster in a temporary
// folder on a free loopback port, run as "nobody" when the tests run as root
// (the server refuses root), stopped when the object goes. Unless `durable`,
// commits are not flushed to disk.
class PgServer
{
public:
    explicit PgServer(bool durable = false);
    ~PgServer() { stop(); }
    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;

    static bool available();  // the server binaries are installed
    static quint16 freePort();  // a loopback port nobody listens on now

    const QString &error() const { return m_error; }  // empty when the cluster runs
    QString uri() const;  // of its database "postgres"
    bool start();
    bool stop();  // immediate, as a crash or a pulled cable looks to clients
    bool psql(const QString &sql) const;  // one transaction; false on any error

private:
    bool run(const QString &program, const QStringList &arguments) const;

    QTemporaryDir m_dir;
    quint16 m_port = freePort();
    bool m_durable;
    QString m_error;
    mutable QString m_output;  // of the last command that failed
};

// Skips the current test when the server binaries are not installed.
#define PGSERVER_OR_SKIP(server)                                                                                       \
    do {                                                                                                               \
        if (!PgServer::available())                                                                                    \
            QSKIP("the PostgreSQL server binaries are not installed");                                                 \
        QVERIFY2((server).error().isEmpty(), qPrintable((server).error()));                                            \
    } while (false)
