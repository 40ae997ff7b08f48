#include "recording/qualificationwatch.h"

#include "checks/checkregister.h"
#include "publish/workerthread.h"
#include "support/trace.h"

#include <QAtomicInteger>
#include <QSqlDatabase>
#include <QSqlError>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace Veltrano {

Qualification Qualification::of(const QString &instrumentId, const QVector<Checks::BalanceEntry> &balances,
                                const QVector<Checks::CheckRecord> &records, const QDateTime &now)
{
    const Checks::BalanceEntry *balance = nullptr;
    for (const Checks::BalanceEntry &entry : balances) {
        if (entry.instrumentId == instrumentId)
            balance = &entry;
    }
    Qualification qualification;
    if (!balance)
        return qualification;
    const Checks::BalanceStatus status = Checks::balanceStatus(balance, records, now);
    qualification.check = status.provenanceCheck();
    qualification.status = Checks::describe(status.state, status.until, status.since);
    // The latest judged repeatability test of this balance sets its minimum
    // weight (a failed one gives the larger, the safe side).
    for (const Checks::CheckRecord &record : records) {
        if (record.instrumentId == instrumentId && record.test == Checks::Check::Repeatability
            && record.verdict != Checks::Verdict::Refused && record.minimumWeight
            && Checks::recordMoment(record) <= now)
            qualification.checkedMinimumWeight = record.minimumWeight;
    }
    return qualification;
}

class QualificationWatch::Worker : public QObject
{
public:
    Worker(std::shared_ptr<Mailbox> mailbox, const QString &source)
        : m_mailbox(std::move(mailbox))
        , m_source(source)
    {
        m_timer.setParent(this);
        connect(&m_timer, &QTimer::timeout, this, &Worker::read);
    }

    void start(const QStringList &instruments, int pollMs)
    {
        m_instruments = instruments;
        m_told.clear();
        m_timer.start(pollMs);
        read();
    }

    void tellRecordsAfter(qint64 id) { m_recordsAfter = id; }

    void stop()
    {
        m_timer.stop();
        m_instruments.clear();
    }

    void read()
    {
        if (m_instruments.isEmpty())
            return;
        QVector<Checks::BalanceEntry> balances;
        QVector<Checks::CheckRecord> records;
        bool reached = true;
        const QString error = readRegisters(&balances, &records, &reached);
        // A server that does not answer is the storage's to tell: its rows
        // wait, and what was last read holds meanwhile.
        if (!reached) {
            VTRACE << "the check registers are not reachable:" << error;
            return;
        }
        if (!error.isEmpty()) {
            if (error != m_error)
                tell([error](QualificationWatch *watch) { emit watch->unreadable(error); });
            m_error = error;
            return;
        }
        if (!m_error.isEmpty())
            tell([](QualificationWatch *watch) { emit watch->unreadable(QString()); });
        m_error.clear();
        tellNewRecords(records);
        const QDateTime now = QDateTime::currentDateTime();
        for (const QString &id : qAsConst(m_instruments)) {
            const Qualification qualification = Qualification::of(id, balances, records, now);
            const auto told = m_told.constFind(id);
            if (told != m_told.constEnd() && *told == qualification)
                continue;
            m_told.insert(id, qualification);
            tell([id, qualification](QualificationWatch *watch) { emit watch->qualified(id, qualification); });
        }
    }

private:
    void tellNewRecords(QVector<Checks::CheckRecord> records)
    {
        if (m_recordsAfter < 0)
            return;
        std::sort(records.begin(), records.end(),
                  [](const Checks::CheckRecord &a, const Checks::CheckRecord &b) { return a.id < b.id; });
        for (const Checks::CheckRecord &record : qAsConst(records)) {
            if (record.id <= m_recordsAfter || !m_instruments.contains(record.instrumentId))
                continue;
            m_recordsAfter = record.id;
            tell([record](QualificationWatch *watch) { emit watch->recorded(record); });
        }
    }

    void tell(std::function<void(QualificationWatch *)> event)
    {
        m_mailbox->post([event = std::move(event)](QObject *receiver) {
            event(static_cast<QualificationWatch *>(receiver));
        });
    }

    QString readRegisters(QVector<Checks::BalanceEntry> *balances, QVector<Checks::CheckRecord> *records, bool *reached)
    {
        static QAtomicInteger<int> serial;
        const QString name = QStringLiteral("qualification-%1").arg(serial.fetchAndAddRelaxed(1));
        QString error;
        {
            QSqlDatabase db = QSqlDatabase::cloneDatabase(m_source, name);
            if (!db.open()) {
                error = db.lastError().text().trimmed();
                *reached = false;
            }
            if (error.isEmpty())
                error = Checks::balances(db, balances);
            if (error.isEmpty() && !balances->isEmpty())
                error = Checks::records(db, records);
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
        return error;
    }

    std::shared_ptr<Mailbox> m_mailbox;
    QString m_source;
    QTimer m_timer;
    QStringList m_instruments;
    QMap<QString, Qualification> m_told;
    QString m_error;
    qint64 m_recordsAfter = -1;  // none told
};

QualificationWatch::QualificationWatch(const QString &source, QObject *parent)
    : QObject(parent)
    , m_mailbox(std::make_shared<Mailbox>(this))
    , m_thread(new QThread)
    , m_worker(new Worker(m_mailbox, source))
{
    qRegisterMetaType<Veltrano::Qualification>();
    qRegisterMetaType<Veltrano::Checks::CheckRecord>();
    m_thread->setObjectName(QStringLiteral("qualification"));
    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread->start();
}

QualificationWatch::~QualificationWatch()
{
    m_mailbox->close();
    stop();
    m_thread->quit();
    // A server that hangs holds only this thread: it is left to end by itself.
    if (m_thread->wait(2000)) {
        delete m_thread;
    } else {
        VTRACE << "the balance checks' registers are still being read; left to end by itself";
        connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
    }
}

void QualificationWatch::start(const QStringList &instruments)
{
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker, instruments, ms = m_pollMs] { worker->start(instruments, ms); },
        Qt::QueuedConnection);
}

void QualificationWatch::stop()
{
    QMetaObject::invokeMethod(m_worker, [worker = m_worker] { worker->stop(); }, Qt::QueuedConnection);
}

void QualificationWatch::tellRecordsAfter(qint64 id)
{
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, id] { worker->tellRecordsAfter(id); }, Qt::QueuedConnection);
}

void QualificationWatch::refresh()
{
    QMetaObject::invokeMethod(m_worker, [worker = m_worker] { worker->read(); }, Qt::QueuedConnection);
}

} // namespace Veltrano
