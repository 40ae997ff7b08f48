#include "store/rowreader.h"

#include "support/logformat.h"

#include <QAtomicInteger>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <condition_variable>
#include <mutex>

namespace Veltrano {

struct RowReader::Job
{
    QString statement;
    QVariantList values;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool ok = false;
    Rows rows;
    QString error;
};

class RowReader::Worker : public QObject
{
public:
    Worker(const QString &source, const QString &connection, ConnectionWatch *watch)
        : m_source(source)
        , m_connection(connection)
        , m_watch(watch)
    {
    }

    void run(const std::shared_ptr<Job> &job)
    {
        const Log::RecordingScope quiet;  // no box from a driver's warning on this thread
        // Made on this thread, the only one that uses it.
        if (!QSqlDatabase::contains(m_connection))
            QSqlDatabase::cloneDatabase(m_source, m_connection);
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (!db.isOpen())
            db.open();
        QSqlQuery query(db);
        query.setForwardOnly(true);
        bool ok = query.prepare(job->statement);
        for (const QVariant &value : qAsConst(job->values))
            query.addBindValue(value);
        m_watch->arm(db);
        ok = ok && query.exec();
        m_watch->disarm();
        Rows rows;
        while (ok && query.next()) {
            QVariantList row;
            const int columns = query.record().count();
            row.reserve(columns);
            for (int column = 0; column < columns; ++column)
                row.append(query.value(column));
            rows.append(row);
        }
        const std::lock_guard<std::mutex> lock(job->mutex);
        job->ok = ok;
        job->rows = std::move(rows);
        job->error = ok ? QString() : query.lastError().text();
        job->done = true;
        job->finished.notify_all();
    }

    void close()
    {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }

private:
    QString m_source;
    QString m_connection;
    ConnectionWatch *m_watch;
};

RowReader::RowReader(const QSqlDatabase &source, QObject *parent)
    : QObject(parent)
    , m_driverName(source.driverName())
{
    static QAtomicInteger<int> serial;
    const QString connection = QStringLiteral("reader-%1").arg(serial.fetchAndAddRelaxed(1));
    m_worker = new Worker(source.connectionName(), connection, &m_watch);
    m_worker->moveToThread(&m_thread);
    m_thread.setObjectName(QStringLiteral("row reader"));
    m_thread.start();
}

RowReader::~RowReader()
{
    m_watch.cutIfStuck(0);
    QMetaObject::invokeMethod(m_worker, [worker = m_worker] { worker->close(); }, Qt::QueuedConnection);
    m_thread.quit();
    m_thread.wait();
    delete m_worker;
}

bool RowReader::select(const QString &statement, const QVariantList &values, Rows *rows, QString *error)
{
    const auto answer = [&](Job &job) {
        if (job.ok)
            *rows = job.rows;
        else if (error)
            *error = job.error;
        return job.ok;
    };
    if (m_kept && m_kept->statement == statement && m_kept->values == values) {
        const std::shared_ptr<Job> kept = std::exchange(m_kept, nullptr);
        return answer(*kept);
    }
    if (m_late) {
        const std::lock_guard<std::mutex> lock(m_late->mutex);
        if (!m_late->done) {
            m_watch.cutIfStuck();
            if (error)
                *error = QStringLiteral("the database has not answered yet");
            return false;
        }
    }
    m_late.reset();

    auto job = std::make_shared<Job>();
    job->statement = statement;
    job->values = values;
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, job] { worker->run(job); }, Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(job->mutex);
    if (job->finished.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return job->done; }))
        return answer(*job);
    lock.unlock();
    // Told when it is done, from the reader's thread.
    m_late = job;
    QMetaObject::invokeMethod(m_worker, [this, job] {
        QMetaObject::invokeMethod(this, [this, job] {
            m_kept = job;
            emit caughtUp();
        }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
    if (error)
        *error = QStringLiteral("the database has not answered yet");
    return false;
}

} // namespace Veltrano
