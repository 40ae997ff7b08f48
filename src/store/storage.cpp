#include "store/storage.h"

#include "store/audit.h"
#include "store/chainhash.h"
#include "store/provenance.h"
#include "store/measurementdb.h"
#include "store/sqlbackend.h"
#include "store/databaseconfig.h"
#include "store/measurementstore.h"
#include "support/logformat.h"
#include "support/trace.h"

#include <QAtomicInteger>
#include <QSemaphore>
#include <QSqlError>
#include <QSqlQuery>

#include <memory>

namespace Veltrano {

// Lives on the storage thread: everything it does happens there.
class Storage::Worker : public QObject
{
public:
    Worker(Storage *storage, const QString &source, ConnectionWatch *watch)
        : m_storage(storage)
        , m_source(source)
        , m_watch(watch)
    {
        static QAtomicInteger<int> serial;
        m_connection = QStringLiteral("storage-%1").arg(serial.fetchAndAddRelaxed(1));
    }

    void open(bool serverAway, bool tellStored)
    {
        m_recording = std::make_unique<Log::RecordingScope>();
        SqlBackend::watchStatements(m_watch);
        QSqlDatabase db = QSqlDatabase::cloneDatabase(m_source, m_connection);
        if (!db.open())
            VTRACE << "the database does not open yet:" << db.lastError().text();
        m_store = std::make_unique<MeasurementStore>(DatabaseConfig::pendingFileName(db), m_connection);
        connect(m_store.get(), &MeasurementStore::rowsWritten, m_storage, &Storage::rowsWritten);
        // Told on this thread, not queued to the owner's: the rows written
        // while the storage ends are told too.
        connect(m_store.get(), &MeasurementStore::rowsStored, m_storage, &Storage::rowsStored, Qt::DirectConnection);
        m_store->setTellStored(tellStored);
        connect(m_store.get(), &MeasurementStore::problem, m_storage, &Storage::problem);
        connect(m_store.get(), &MeasurementStore::outageBegan, m_storage, &Storage::outageBegan);
        connect(m_store.get(), &MeasurementStore::outageEnded, m_storage, &Storage::outageEnded);
        connect(m_store.get(), &MeasurementStore::outageBegan, this, [this] { m_outageFrom = Chain::utcNow(); });
        connect(m_store.get(), &MeasurementStore::outageEnded, this, [this](int kept) {
            audit(QLatin1String(Audit::kOutage), {{QStringLiteral("from"), m_outageFrom},
                                                 {QStringLiteral("to"), Chain::utcNow()},
                                                 {QStringLiteral("rowsKeptThenWritten"), kept}});
        });
        connect(m_store.get(), &MeasurementStore::rowsWritten, this, [this] { writeAudits(); });
        if (serverAway)
            m_store->outageTold();
        m_store->recover();
    }

    void enqueue(const Row &row)
    {
        m_queue.append(row);
        // Who recorded it, also when it waits in the pending file for a later run.
        Provenance &provenance = m_queue.last().provenance;
        if (provenance.host.isEmpty())
            provenance.host = m_host;
        if (provenance.user.isEmpty())
            provenance.user = m_user;
        if (m_writeQueued)
            return;
        // Written once the rows handed over meanwhile (the other
        // instruments of the same tick) have joined the queue.
        m_writeQueued = true;
        QMetaObject::invokeMethod(this, [this] { writeQueue(); }, Qt::QueuedConnection);
    }

    void writeQueue()
    {
        m_writeQueued = false;
        if (m_queue.isEmpty() || !m_store)
            return;
        const QVector<Row> rows = std::exchange(m_queue, {});
        m_store->store(rows);
    }

    // The rows go with their provenance into the archive; the audit trail
    // keeps the clear, with the chain's head before, in the same
    // transaction. Rows the database still refuses stay kept, written after.
    void clear()
    {
        writeQueue();
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        QString error;
        const bool deleted = MeasurementDb::ensureSideTables(db, &error) && MeasurementDb::clearRows(db, &error);
        emit m_storage->cleared(deleted, error);
    }

    // Audit entries wait, in order, while the database refuses them; each
    // keeps the moment it happened.
    void audit(const QString &kind, QJsonObject details)
    {
        writeQueue();
        if (!details.contains(QStringLiteral("at")))
            details.insert(QStringLiteral("at"), Chain::utcNow());
        if (kind == QLatin1String(Audit::kStopped)) {
            const Chain::Head head = Chain::rowHead(QSqlDatabase::database(m_connection, false));
            details.insert(QStringLiteral("headSeq"), head.seq);
            details.insert(QStringLiteral("headHash"), head.hash);
        }
        m_audits.append({kind, details});
        writeAudits();
    }

    void writeAudits()
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        while (!m_audits.isEmpty() && db.isOpen()) {
            QString error;
            if (!MeasurementDb::ensureSideTables(db, &error)
                || !Audit::append(db, m_audits.first().first, m_audits.first().second, &error)) {
                VTRACE << "audit entry waits for the database:" << error;
                return;
            }
            m_audits.removeFirst();
        }
    }

    void finish()
    {
        // With the database away, each try would wait for it again: the
        // last rows go to the pending file at once.
        const bool away = m_store && m_store->inOutage();
        if (away) {
            m_store->keepOnly(std::exchange(m_queue, {}));
        }
        writeQueue();
        if (!away)
            writeAudits();
        if (!m_audits.isEmpty()) {
            const QString text = QStringLiteral("audit entries the database did not take, lost at quit: %1").arg(m_audits.size());
            emit m_storage->problem(OperatorMessage::general(OperatorMessage::Kind::Storage, (VLINE << text).text(), text));
        }
        if (m_store)
            m_store->leave();
        m_store.reset();
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
        SqlBackend::watchStatements(nullptr);
        m_recording.reset();
    }

private:
    Storage *m_storage;
    QString m_source;
    ConnectionWatch *m_watch;
    QString m_connection;
    std::unique_ptr<MeasurementStore> m_store;
    std::unique_ptr<Log::RecordingScope> m_recording;
    QVector<Row> m_queue;
    bool m_writeQueued = false;
    QVector<QPair<QString, QJsonObject>> m_audits;
    const QString m_host = Chain::hostName();
    const QString m_user = Chain::userName();
    QString m_outageFrom;
};

Storage::Storage(const QString &source, QObject *parent)
    : QObject(parent)
    , m_source(source)
{
    m_thread.setObjectName(QStringLiteral("storage"));
    m_watchTimer.setInterval(1000);
    connect(&m_watchTimer, &QTimer::timeout, this, [this] { m_watch.cutIfStuck(); });
}

Storage::~Storage()
{
    if (!m_worker)
        return;
    // At quit a hanging server is waited for a moment only: what it has not
    // taken by then stays in the pending-rows file for the next start.
    auto done = std::make_shared<QSemaphore>();
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, done] {
        worker->finish();
        done->release();
    }, Qt::QueuedConnection);
    while (!done->tryAcquire(1, 100))
        m_watch.cutIfStuck(kQuitPatienceMs);
    m_thread.quit();
    m_thread.wait();
    delete m_worker;
}

void Storage::start(bool serverAway)
{
    if (m_worker)
        return;
    m_worker = new Worker(this, m_source, &m_watch);
    m_worker->moveToThread(&m_thread);
    m_thread.start();
    m_watchTimer.start();
    qRegisterMetaType<QVector<Veltrano::MeasurementDb::StoredRow>>();
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, serverAway, tell = m_tellStored] { worker->open(serverAway, tell); },
                              Qt::QueuedConnection);
}

void Storage::store(const Row &row)
{
    Q_ASSERT(m_worker);
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, row] { worker->enqueue(row); }, Qt::QueuedConnection);
}

void Storage::clear()
{
    QMetaObject::invokeMethod(m_worker, [worker = m_worker] { worker->clear(); }, Qt::QueuedConnection);
}

void Storage::audit(const QString &kind, const QJsonObject &details)
{
    QJsonObject stamped = details;
    stamped.insert(QStringLiteral("at"), Chain::utcNow());
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, kind, stamped] { worker->audit(kind, stamped); },
                              Qt::QueuedConnection);
}

bool Storage::drain(int timeoutMs)
{
    auto done = std::make_shared<QSemaphore>();
    afterWritten([done] { done->release(); });
    return done->tryAcquire(1, timeoutMs);
}

void Storage::afterWritten(std::function<void()> job)
{
    if (!m_worker) {
        job();
        return;
    }
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, job = std::move(job)] {
        worker->writeQueue();
        job();
    }, Qt::QueuedConnection);
}

} // namespace Veltrano
