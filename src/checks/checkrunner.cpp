#include "checks/checkrunner.h"

#include "checks/checkrun.h"

#include <QDate>
#include <QSqlDatabase>

namespace Veltrano::Checks {

CheckRunner::CheckRunner(const QString &connection, QObject *parent)
    : QObject(parent)
    , m_connection(connection)
{
    m_poll.setInterval(kPollMs);
    connect(&m_poll, &QTimer::timeout, this, &CheckRunner::poll);
}

QString CheckRunner::start(Check test, const BalanceEntry &balance, const WeightEntry &weight, int replicates,
                           int timeoutSeconds)
{
    cancel();
    QString refused = refusal(test, balance, weight, QDate::currentDate());
    if (!refused.isEmpty())
        return refused;
    qint64 after = 0;
    const QString error = newestRowKey(QSqlDatabase::database(m_connection, false), &after);
    if (!error.isEmpty())
        return QStringLiteral("The recorded rows cannot be read: ") + error;
    m_test = test;
    m_balance = balance;
    m_weight = weight;
    m_needed = weighingsNeeded(test, replicates);
    m_timeoutSeconds = timeoutSeconds;
    m_after = after;
    m_lastError.clear();
    m_poll.start();
    next();
    return QString();
}

void CheckRunner::cancel()
{
    m_poll.stop();
    m_taken.clear();
}

QVector<qint64> CheckRunner::keys() const
{
    QVector<qint64> keys;
    for (const TakenWeighing &weighing : m_taken)
        keys << weighing.key;
    return keys;
}

void CheckRunner::next()
{
    m_waited.start();
    emit place(placing(m_test, m_weight, int(m_taken.size()), m_needed));
}

void CheckRunner::poll()
{
    QVector<TakenWeighing> arrived;
    const qint64 last = m_taken.isEmpty() ? m_after : m_taken.last().key;
    const QString error = weighingsAfter(QSqlDatabase::database(m_connection, false), m_balance.instrumentId, last,
                                         m_needed - int(m_taken.size()), &arrived);
    if (!error.isEmpty() && error != m_lastError)
        emit readFailed(error);
    m_lastError = error;
    for (const TakenWeighing &weighing : qAsConst(arrived)) {
        m_taken.append(weighing);
        emit weighed(weighing, int(m_taken.size()) - 1, m_needed);
        if (m_taken.size() < m_needed)
            next();
    }
    if (m_taken.size() >= m_needed) {
        m_poll.stop();
        QVector<ScaleReading> readings;
        for (const TakenWeighing &weighing : qAsConst(m_taken))
            readings << weighing.reading;
        emit finished(judge(m_test, readings, m_balance, m_weight, QDate::currentDate()));
    } else if (m_timeoutSeconds > 0 && m_waited.elapsed() >= qint64(m_timeoutSeconds) * 1000) {
        cancel();
        emit timedOut();
    }
}

QString CheckRunner::figures(const CheckResult &result, const QString &unit)
{
    return figuresText({result.check, result.n, result.mean, result.sd, result.deviation, result.minimumWeight}, unit,
                       result.decimals + 1);
}

} // namespace Veltrano::Checks
