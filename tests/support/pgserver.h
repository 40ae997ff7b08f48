#pragma once

#include <QString>
#include <QTemporaryDir>

// A PostgreSQL server of its own for the tests: a fresh cluster in a
// temporary folder, listening on a free loopback port only, run as an
// unprivileged user when the tests run as root (the server refuses root).
// Stopped, and its folder removed, when the object goes. Unless `durable`,
// commits are not flushed to disk (tests need no durability, only speed).
class PgServer
{
public:
    explicit PgServer(bool durable = false);
    ~PgServer();
    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;

    // False when the server binaries are not installed.
    static bool available();

    // A loopback port nobody listens on at the moment.
    static quint16 freePort();

    // Empty when the cluster runs; else what went wrong.
    const QString &error() const { return m_error; }

    // The connection URI of the cluster's database "postgres".
    QString uri() const;

    bool start();
    bool stop();  // an immediate stop, as a crash or a pulled cable looks to clients

    // Runs SQL through psql (one transaction); false on any error.
    bool psql(const QString &sql) const;

private:
    bool run(const QString &program, const QStringList &arguments, int timeoutMs = 60000) const;

    QTemporaryDir m_dir;
    quint16 m_port = 0;
    bool m_durable = false;
    bool m_running = false;
    QString m_error;
    mutable QString m_output;  // of the last command that failed
};

// Skips the current test when there is no server to run against.
#define PGSERVER_OR_SKIP(server)                                                                                       \
    do {                                                                                                               \
        if (!PgServer::available())                                                                                    \
            QSKIP("the PostgreSQL server binaries are not installed");                                                 \
        QVERIFY2((server).error().isEmpty(), qPrintable((server).error()));                                            \
    } while (false)
