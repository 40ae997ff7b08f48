#pragma once

#include "checks/checkentries.h"
#include "checks/checkstatus.h"

#include <QDateTime>
#include <QMap>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QThread;

namespace Veltrano {

class Mailbox;

// Whether an instrument's routine checks are current, as a recording uses
// it: what its rows and weighings carry in their provenance (`check`: empty,
// "overdue" or "failed"), what its live state shows, and the minimum weight
// its last passed repeatability test gave.
struct Qualification
{
    QString check;
    QString status;  // "qualified until 2026-12-17", "overdue since ...", empty: not registered
    std::optional<double> checkedMinimumWeight;

    bool operator==(const Qualification &other) const
    {
        return check == other.check && status == other.status && checkedMinimumWeight == other.checkedMinimumWeight;
    }
    bool operator!=(const Qualification &other) const { return !(*this == other); }

    // What the registers say of `instrumentId` at `now`.
    static Qualification of(const QString &instrumentId, const QVector<Checks::BalanceEntry> &balances,
                            const QVector<Checks::CheckRecord> &records, const QDateTime &now);
};

// Reads the registers of the balance checks for the instruments of a
// recording, on a thread and a database connection of its own, at the start
// and every kPollMs (a due date passes while the recording runs; another
// program stores a test), and tells each instrument's qualification when it
// changed. Nobody waits for it: a server that is slow to answer delays only
// the next reading of the registers. A register that cannot be read keeps
// what was last read, and is told once until it can be read again (a
// database that cannot be reached at all is the storage's to tell).
class QualificationWatch : public QObject
{
    Q_OBJECT
public:
    static constexpr int kPollMs = 60000;

    // `source`: the connection (registered, open or not) whose database holds the registers.
    explicit QualificationWatch(const QString &source, QObject *parent = nullptr);
    ~QualificationWatch() override;

    // Before start(): for the tests.
    void setPollInterval(int ms) { m_pollMs = ms; }

    // Watches `instruments` from now on; each is told at the first reading.
    void start(const QStringList &instruments);
    void stop();
    // Reads the registers again now (a test was just stored).
    void refresh();
    // From now on each test of the watched instruments stored with an id
    // above `id` is told once (recorded()), in the order stored, by this
    // program or another on the same database.
    void tellRecordsAfter(qint64 id);

signals:
    void qualified(const QString &instrumentId, const Veltrano::Qualification &qualification);
    // The registers cannot be read (why), or can again (empty).
    void unreadable(const QString &error);
    void recorded(const Veltrano::Checks::CheckRecord &record);

private:
    class Worker;
    std::shared_ptr<Mailbox> m_mailbox;
    QThread *m_thread;
    Worker *m_worker;
    int m_pollMs = kPollMs;
};

} // namespace Veltrano

Q_DECLARE_METATYPE(Veltrano::Qualification)
Q_DECLARE_METATYPE(Veltrano::Checks::CheckRecord)
