#include "checks/checkstatus.h"

#include "support/row.h"

#include <algorithm>

namespace Veltrano::Checks {

namespace {

const QTime kEndOfDay(23, 59, 59);

// Failed is worst.
int severity(CheckState state)
{
    switch (state) {
    case CheckState::Failed: return 4;
    case CheckState::Overdue: return 3;
    case CheckState::DueToday: return 2;
    case CheckState::Qualified: return 1;
    case CheckState::NotRegistered:
    case CheckState::NoInterval: break;
    }
    return 0;
}

// The earlier of two moments, an invalid one (never) being earliest.
QDateTime earlier(const QDateTime &a, const QDateTime &b)
{
    if (!a.isValid() || !b.isValid())
        return QDateTime();
    return std::min(a, b);
}

TestStatus testStatus(Check test, qint64 interval, const QVector<const CheckRecord *> &records, const QDateTime &now)
{
    TestStatus status;
    status.test = test;
    const CheckRecord *decisive = nullptr;
    for (const CheckRecord *record : records) {
        if (record->test != test || record->verdict == Verdict::Refused)
            continue;
        if (record->verdict == Verdict::Pass)
            status.last = recordMoment(*record);
        decisive = record;
    }
    if (decisive && decisive->verdict == Verdict::Fail) {
        status.state = CheckState::Failed;
        status.since = recordMoment(*decisive);
        return status;
    }
    if (!status.last.isValid()) {
        status.state = CheckState::Overdue;
        return status;
    }
    if (interval % kDaySeconds == 0) {
        const QDate due = status.last.date().addDays(interval / kDaySeconds);
        if (now.date() < due) {
            status.state = CheckState::Qualified;
            status.until = QDateTime(due.addDays(-1), kEndOfDay);
        } else if (now.date() == due) {
            status.state = CheckState::DueToday;
            status.until = QDateTime(due, kEndOfDay);
        } else {
            status.state = CheckState::Overdue;
            status.since = QDateTime(due.addDays(1), QTime(0, 0));
        }
        return status;
    }
    const QDateTime due = status.last.addSecs(interval);
    if (now < due) {
        status.state = CheckState::Qualified;
        status.until = due;
    } else {
        status.state = CheckState::Overdue;
        status.since = due;
    }
    return status;
}

QString moment(const QDateTime &when, const QTime &dayOnly)
{
    return when.time() == dayOnly ? when.date().toString(Qt::ISODate)
                                  : when.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

} // namespace

QString stateText(CheckState state)
{
    switch (state) {
    case CheckState::NotRegistered: return QStringLiteral("not registered");
    case CheckState::NoInterval: return QStringLiteral("no interval");
    case CheckState::Qualified: return QStringLiteral("qualified");
    case CheckState::DueToday: return QStringLiteral("due today");
    case CheckState::Overdue: return QLatin1String(Provenance::kCheckOverdue);
    case CheckState::Failed: return QLatin1String(Provenance::kCheckFailed);
    }
    return {};
}

QString BalanceStatus::provenanceCheck() const
{
    return needsAction() ? stateText(state) : QString();
}

QDateTime recordMoment(const CheckRecord &record)
{
    return QDateTime(QDate::fromString(record.date, Qt::ISODate), QTime::fromString(record.time, Qt::ISODate));
}

BalanceStatus balanceStatus(const BalanceEntry *balance, const QVector<CheckRecord> &records, const QDateTime &now)
{
    BalanceStatus status;
    if (!balance)
        return status;
    status.instrumentId = balance->instrumentId;
    status.state = CheckState::NoInterval;
    QVector<const CheckRecord *> ordered;
    for (const CheckRecord &record : records) {
        const QDateTime when = recordMoment(record);
        if (record.instrumentId == balance->instrumentId && when.isValid() && when <= now)
            ordered << &record;
    }
    std::stable_sort(ordered.begin(), ordered.end(), [](const CheckRecord *a, const CheckRecord *b) {
        const QDateTime first = recordMoment(*a), second = recordMoment(*b);
        return first != second ? first < second : a->id < b->id;
    });
    for (auto it = balance->intervals.cbegin(); it != balance->intervals.cend(); ++it) {
        const TestStatus test = testStatus(it.key(), it.value(), ordered, now);
        status.tests << test;
        if (test.state == CheckState::Qualified || test.state == CheckState::DueToday)
            status.until = status.until.isValid() ? std::min(status.until, test.until) : test.until;
        if (severity(test.state) > severity(status.state)) {
            status.state = test.state;
            status.since = test.since;
        } else if (test.state == status.state) {
            status.since = earlier(status.since, test.since);
        }
    }
    if (status.needsAction())
        status.until = QDateTime();
    return status;
}

QString describe(CheckState state, const QDateTime &until, const QDateTime &since)
{
    switch (state) {
    case CheckState::Qualified:
        return QStringLiteral("qualified until %1").arg(moment(until, kEndOfDay));
    case CheckState::DueToday:
        return stateText(state);
    case CheckState::Overdue:
        return since.isValid() ? QStringLiteral("overdue since %1").arg(moment(since, QTime(0, 0)))
                               : QStringLiteral("overdue, never passed");
    case CheckState::Failed:
        return QStringLiteral("failed since %1").arg(moment(since, QTime(0, 0)));
    case CheckState::NotRegistered:
    case CheckState::NoInterval: break;
    }
    return {};
}

} // namespace Veltrano::Checks
