#include "collector.h"

#include "collect/instrumentconfig.h"
#include "collect/statusfile.h"
#include "store/audit.h"
#include "store/database.h"
#include "store/databaseconfig.h"
#include "store/measurementdb.h"
#include "support/logformat.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <cstdio>

namespace {

QString named(const QString &id, const QString &text)
{
    return id.isEmpty() ? text : QStringLiteral("instrument %1: %2").arg(id, text);
}

} // namespace

Collector::Collector(QObject *parent)
    : QObject(parent)
{
    m_statusTimer.setInterval(Veltrano::StatusFile::kIntervalMs);
    connect(&m_statusTimer, &QTimer::timeout, this, &Collector::writeStatus);
    connect(&m_engine, &Veltrano::CollectionEngine::problem, this, [](const QString &id, const QString &line) {
        log(named(id, Veltrano::Log::withoutTracePrefix(line)));
    });
    connect(&m_engine, &Veltrano::CollectionEngine::opened, this,
            [](const QString &id, const QString &port) { log(named(id, QStringLiteral("opened %1").arg(port))); });
    connect(&m_engine, &Veltrano::CollectionEngine::closedAfterError, this, [](const QString &id, const QString &port) {
        log(named(id, QStringLiteral("%1 closed after an error; reconnecting every %2 s")
                          .arg(port)
                          .arg(Veltrano::CollectionEngine::kReconnectMs / 1000)));
    });
    connect(&m_engine, &Veltrano::CollectionEngine::reconnected, this,
            [](const QString &id, const QString &port) { log(named(id, QStringLiteral("reconnected %1").arg(port))); });
}

Collector::~Collector()
{
    if (m_engine.isRunning())
        m_engine.stop();
}

void Collector::log(const QString &text)
{
    const QByteArray line = QDateTime::currentDateTime().toString(Qt::ISODate).toUtf8() + ' ' + text.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

int Collector::start(const QString &uri)
{
    QString holder;
    if (!m_lock.acquire(&holder)) {
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

    m_storage = std::make_unique<Veltrano::Storage>();
    connect(m_storage.get(), &Veltrano::Storage::problem, this, [](const QString &line) {
        // The first refused row is told by outageBegan.
        if (!line.contains(QLatin1String("error occured during:")))
            log(Veltrano::Log::withoutTracePrefix(line));
    });
    connect(m_storage.get(), &Veltrano::Storage::outageBegan, this, [](const QString &reason) {
        log(QStringLiteral("the database refuses rows: %1; they are kept on this PC").arg(reason.trimmed()));
    });
    connect(m_storage.get(), &Veltrano::Storage::outageEnded, this, [](int written) {
        log(QStringLiteral("the database takes rows again: %1 kept rows written").arg(written));
    });
    connect(&m_engine, &Veltrano::CollectionEngine::sampled, m_storage.get(),
            [storage = m_storage.get()](const QString &, const Veltrano::Row &row) { storage->store(row); });
    m_storage->start(opened.outcome == Opened::ServerAway);

    m_since = QDateTime::currentMSecsSinceEpoch();
    m_engine.start(QString::fromLatin1(Veltrano::Config::kFileName));
    m_storage->audit(QLatin1String(Veltrano::Audit::kStarted),
                     {{QStringLiteral("instruments"), QJsonArray::fromStringList(m_engine.instruments())}});
    log(QStringLiteral("started with %1 instruments, recording into %2")
            .arg(m_engine.instruments().size())
            .arg(where));
    writeStatus();
    m_statusTimer.start();
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            [] { QThread::msleep(kGatherMs); });
    return -1;
}

void Collector::stop()
{
    m_statusTimer.stop();
    const QStringList instruments = m_engine.instruments();
    m_engine.stop();
    m_storage->audit(QLatin1String(Veltrano::Audit::kStopped),
                     {{QStringLiteral("instruments"), QJsonArray::fromStringList(instruments)}});
    // Written, or kept in the pending-rows file for the next start.
    m_storage.reset();
    QFile::remove(QString::fromLatin1(Veltrano::StatusFile::kFileName));
    m_lock.release();
    log(QStringLiteral("stopped"));
    QCoreApplication::exit(0);
}

void Collector::reload()
{
    const Veltrano::CollectionEngine::Reload changes = m_engine.reload();
    const auto list = [](const QStringList &ids) { return ids.isEmpty() ? QStringLiteral("none") : ids.join(QLatin1String(", ")); };
    log(QStringLiteral("settings.ini read again: added %1; removed %2; changed %3")
            .arg(list(changes.added), list(changes.removed), list(changes.changed)));
    writeStatus();
}

void Collector::writeStatus()
{
    QString error;
    const QJsonObject status = Veltrano::StatusFile::describe(m_engine.states(), QStringLiteral("veltrano-collect"), m_since,
                                                              QDateTime::currentMSecsSinceEpoch());
    const bool written = Veltrano::StatusFile::write(QString::fromLatin1(Veltrano::StatusFile::kFileName), status, &error);
    if (!written && !m_statusFailing)
        log(QStringLiteral("cannot write the status file %1: %2").arg(QLatin1String(Veltrano::StatusFile::kFileName), error));
    m_statusFailing = !written;
}
