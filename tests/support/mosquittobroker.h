#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// How a MosquittoBroker listens and whom it lets in.
struct MosquittoOptions
{
    QString passwordFile;      // empty: anonymous clients are let in
    bool persistence = false;  // sessions and queued messages survive a restart
    // A TLS listener (mqtts) with these PEM files, instead of plain MQTT.
    QString caFile;
    QString certFile;
    QString keyFile;
};

// A mosquitto broker of the tests' own (/usr/sbin/mosquitto, Debian's
// mosquitto package): its configuration, log and persistence in `folder`,
// listening on a free loopback port that it keeps across restarts, stopped
// when the object goes.
class MosquittoBroker
{
public:
    using Options = MosquittoOptions;

    explicit MosquittoBroker(const QString &folder);
    ~MosquittoBroker() { stop(); }
    MosquittoBroker(const MosquittoBroker &) = delete;
    MosquittoBroker &operator=(const MosquittoBroker &) = delete;

    static QString program() { return QStringLiteral("/usr/sbin/mosquitto"); }
    static bool available();

    // Starts it and waits until it listens; false with error() when not.
    bool start(const Options &options = Options());
    // Ends it (SIGTERM: a persistent one saves its state) and waits for it.
    void stop();
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }

    quint16 port() const { return m_port; }
    QString url(const QString &scheme = QStringLiteral("mqtt"), const QString &host = QStringLiteral("127.0.0.1")) const;
    const QString &error() const { return m_error; }

    // A password file of one user, as mosquitto_passwd -b -c writes it.
    static bool writePasswordFile(const QString &path, const QString &user, const QString &password);

private:
    QString m_folder;
    quint16 m_port;
    QProcess m_process;
    QString m_error;
    int m_starts = 0;
};
