#include "mosquittobroker.h"

#include "freeport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

MosquittoBroker::MosquittoBroker(const QString &folder)
    : m_folder(folder)
    , m_port(freeLoopbackPort())
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

bool MosquittoBroker::available() { return QFileInfo(program()).isExecutable(); }

QString MosquittoBroker::url(const QString &scheme, const QString &host) const
{
    return QStringLiteral("%1://%2:%3").arg(scheme, host).arg(m_port);
}

bool MosquittoBroker::start(const Options &options)
{
    stop();
    QStringList lines{QStringLiteral("listener %1 127.0.0.1").arg(m_port),
                      QStringLiteral("allow_anonymous %1").arg(options.passwordFile.isEmpty() ? "true" : "false"),
                      QStringLiteral("persistence %1").arg(options.persistence ? "true" : "false"),
                      QStringLiteral("persistence_location %1/").arg(m_folder),
                      QStringLiteral("log_dest stderr"),
                      QStringLiteral("log_type error"), QStringLiteral("log_type warning"),
                      QStringLiteral("log_type notice"), QStringLiteral("log_type information")};
    // As root it would change to the user "mosquitto", who may not enter the test's folder.
    if (::geteuid() == 0)
        lines << QStringLiteral("user root");
    if (!options.passwordFile.isEmpty())
        lines << QStringLiteral("password_file ") + options.passwordFile;
    if (!options.certFile.isEmpty())
        lines << QStringLiteral("cafile ") + options.caFile << QStringLiteral("certfile ") + options.certFile
              << QStringLiteral("keyfile ") + options.keyFile;
    const QString config = QDir(m_folder).filePath(QStringLiteral("mosquitto-%1.conf").arg(++m_starts));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly) || file.write((lines.join('\n') + '\n').toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write ") + config;
        return false;
    }
    file.close();
    m_process.start(program(), {QStringLiteral("-c"), config});
    // It says so once it listens.
    QByteArray output;
    const QDeadlineTimer deadline(10000);
    while (!output.contains(" running") && m_process.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        output += m_process.readAll();
    }
    if (!output.contains(" running")) {
        m_error = QStringLiteral("mosquitto did not start: ") + QString::fromLocal8Bit(output + m_process.readAll());
        stop();
        return false;
    }
    return true;
}

void MosquittoBroker::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

bool MosquittoBroker::writePasswordFile(const QString &path, const QString &user, const QString &password)
{
    QProcess process;
    process.start(QStringLiteral("mosquitto_passwd"), {QStringLiteral("-b"), QStringLiteral("-c"), path, user, password});
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}
