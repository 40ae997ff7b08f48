#include "collector.h"

#include "collect/instrumentconfig.h"
#include "collect/statusfile.h"
#include "publish/publishconfig.h"
#include "store/database.h"
#include "store/databaseconfig.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cstdio>

Collector::Collector(QObject *parent)
    : QObject(parent)
{
    m_statusTimer.setInterval(Veltrano::StatusFile::kIntervalMs);
    connect(&m_statusTimer, &QTimer::timeout, this, &Collector::writeStatus);
}

Collector::~Collector() = default;

void Collector::log(const QString &text)
{
    const QByteArray line = QDateTime::currentDateTime().toString(Qt::ISODate).toUtf8() + ' ' + text.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

int Collector::start(const QString &uri)
{
    // Refused before the database is touched: the folder is another's.
    const QString holder = Veltrano::CollectorLock::holder();
    if (!holder.isEmpty()) {
        log(QStringLiteral("another collector records in this folder: %1").arg(holder));
        return kFolderTaken;
    }
    using Veltrano::Database::Opened;
    const Opened opened = Veltrano::Database::open(uri, Veltrano::Database::Mode::Record);
    const QString &where = opened.where;
    if (opened.outcome == Opened::ServerAway) {
        log(QStringLiteral("the database server does not answer (%1): %2; rows are kept on this PC until it answers")
                .arg(where, opened.error));
    } else if (!opened.usable()) {
        log(QStringLiteral("cannot use the database %1: %2").arg(where, opened.error));
        return kDatabaseFailure;
    }

    m_session = std::make_unique<Veltrano::RecordingSession>();
    using Veltrano::RecordingSession;
    connect(m_session.get(), &RecordingSession::problem, this, [](const Veltrano::OperatorMessage &message) {
        // The first refused row is told by outageBegan.
        if (message.kind != Veltrano::OperatorMessage::Kind::RowRefused)
            log(message.logText());
    });
    connect(m_session.get(), &RecordingSession::outageBegan, this, [](const QString &reason) {
        log(QStringLiteral("the database refuses rows: %1; they are kept on this PC").arg(reason.trimmed()));
    });
    connect(m_session.get(), &RecordingSession::outageEnded, this, [](int written) {
        log(QStringLiteral("the database takes rows again: %1 kept rows written").arg(written));
    });
    const auto instrument = [this](const QString &id, const QString &port) {
        const QString name = m_session->states().state(id).name();
        QString who = QStringLiteral("instrument ") + id;
        if (!name.isEmpty())
            who += QStringLiteral(" (%1)").arg(name);
        return who + QStringLiteral(" on ") + port;
    };
    connect(m_session.get(), &RecordingSession::opened, this,
            [instrument](const QString &id, const QString &port) { log(instrument(id, port) + QStringLiteral(": opened")); });
    connect(m_session.get(), &RecordingSession::closedAfterError, this, [instrument](const QString &id, const QString &port) {
        log(instrument(id, port)
            + QStringLiteral(": closed after an error; reconnecting every %1 s").arg(Veltrano::CollectionEngine::kReconnectMs / 1000));
    });
    connect(m_session.get(), &RecordingSession::reconnected, this, [instrument](const QString &id, const QString &port) {
        log(instrument(id, port) + QStringLiteral(": reconnected"));
    });
    const QString publishing = m_session->setPublishing(QDir::currentPath());
    if (!publishing.isEmpty())
        log(QStringLiteral("%1: %2; nothing is published").arg(QLatin1String(Veltrano::PublishConfig::kFileName), publishing));
    m_session->openStorage(opened.outcome == Opened::ServerAway);
    m_session->setGatherMs(kGatherMs);
    m_session->setWorklistFolder(QDir::currentPath());

    m_since = QDateTime::currentMSecsSinceEpoch();
    QString taken;
    if (!m_session->start(QString::fromLatin1(Veltrano::Config::kFileName), &taken)) {
        log(QStringLiteral("another collector records in this folder: %1").arg(taken));
        return kFolderTaken;
    }
    log(QStringLiteral("started with %1 instruments, recording into %2")
            .arg(m_session->instruments().size())
            .arg(where));
    writeStatus();
    m_statusTimer.start();
    return -1;
}

void Collector::stop()
{
    m_statusTimer.stop();
    // Written, or kept in the pending-rows file for the next start.
    if (m_session)
        m_session->stop();
    m_session.reset();
    QFile::remove(QString::fromLatin1(Veltrano::StatusFile::kFileName));
    log(QStringLiteral("stopped"));
    QCoreApplication::exit(0);
}

void Collector::reload()
{
    const Veltrano::CollectionEngine::Reload changes = m_session->reload();
    const auto list = [](const QStringList &ids) { return ids.isEmpty() ? QStringLiteral("none") : ids.join(QLatin1String(", ")); };
    log(QStringLiteral("settings.ini read again: added %1; removed %2; changed %3")
            .arg(list(changes.added), list(changes.removed), list(changes.changed)));
    writeStatus();
}

void Collector::writeStatus()
{
    QString error;
    QJsonObject status = Veltrano::StatusFile::describe(m_session->states(), QStringLiteral("veltrano-collect"), m_since,
                                                        QDateTime::currentMSecsSinceEpoch());
    const auto weighing = m_session->weighingInstruments();
    for (auto it = weighing.cbegin(); it != weighing.cend(); ++it)
        Veltrano::StatusFile::addWeighing(status, it.key(), it->next.sampleId, it->next.series, it->series.weighings,
                                          it->series.stats, it->series.unit);
    const bool written = Veltrano::StatusFile::write(QString::fromLatin1(Veltrano::StatusFile::kFileName), status, &error);
    if (!written && !m_statusFailing)
        log(QStringLiteral("cannot write the status file %1: %2").arg(QLatin1String(Veltrano::StatusFile::kFileName), error));
    m_statusFailing = !written;
}
