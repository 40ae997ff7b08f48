#pragma once

#include "checks/checkentries.h"
#include "checks/checkregister.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

// One test of a balance while it is made: it waits for the balance's next
// weighings as they are stored (whoever records them, this program or
// another on the same database), tells what to put on the pan before each,
// and judges them when enough came. It never opens a port and never writes:
// the caller keeps the record (CheckRecord::of, addRecord).
namespace Veltrano::Checks {

class CheckRunner : public QObject
{
    Q_OBJECT
public:
    static constexpr int kPollMs = 500;

    // `connection`: a registered, open connection to read the weighings with.
    explicit CheckRunner(const QString &connection, QObject *parent = nullptr);

    // Why the test cannot be made (told nothing else then), or empty: it
    // waits from now on for the weighings of `balance` newer than every row
    // stored so far. `timeoutSeconds` (0: none) for each weighing.
    QString start(Check test, const BalanceEntry &balance, const WeightEntry &weight, int replicates,
                  int timeoutSeconds = 0);
    void cancel();
    bool isRunning() const { return m_poll.isActive(); }

    Check test() const { return m_test; }
    const BalanceEntry &balance() const { return m_balance; }
    const WeightEntry &weight() const { return m_weight; }
    int needed() const { return m_needed; }
    const QVector<TakenWeighing> &taken() const { return m_taken; }
    // The keys of the weighings taken, for the record.
    QVector<qint64> keys() const;

    // The figures of `result` as a line, a digit more than the readings show.
    static QString figures(const CheckResult &result, const QString &unit);

signals:
    // What to put on the pan for the next weighing.
    void place(const QString &instruction);
    // Weighing `index` (from 0) of `count` was stored.
    void weighed(const Veltrano::Checks::TakenWeighing &weighing, int index, int count);
    // The weighings cannot be read (a busy database is waited out): told
    // once for the same trouble.
    void readFailed(const QString &error);
    // No weighing came within the timeout: the test is not made.
    void timedOut();
    // Every weighing came: the verdict.
    void finished(const Veltrano::Checks::CheckResult &result);

private:
    void poll();
    void next();

    QString m_connection;
    QTimer m_poll;
    QElapsedTimer m_waited;
    Check m_test = Check::Repeatability;
    BalanceEntry m_balance;
    WeightEntry m_weight;
    int m_needed = 0;
    int m_timeoutSeconds = 0;
    qint64 m_after = 0;
    QVector<TakenWeighing> m_taken;
    QString m_lastError;
};

} // namespace Veltrano::Checks

Q_DECLARE_METATYPE(Veltrano::Checks::TakenWeighing)
Q_DECLARE_METATYPE(Veltrano::Checks::CheckResult)
