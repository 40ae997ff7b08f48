#pragma once

#include "checks/checkentries.h"

#include <QDateTime>
#include <QString>
#include <QVector>

// Whether a balance's routine tests are current, from its register entry,
// its check records and the moment asked about. Pure: no database.
//
// A test with an interval in whole days is due on the day its last pass
// plus the interval falls on, and overdue from the day after (a daily test
// done at 09:00 holds through the next day); one in hours holds until that
// moment, then is overdue. The last record of a test decides: a failed one
// leaves the test failed until a pass follows. Refused records decide
// nothing, nor do records after the moment asked about. A test that never
// passed is overdue. Tests without an interval have no status, nor has a
// balance without any or not registered.
namespace Veltrano::Checks {

enum class CheckState {
    NotRegistered,  // no register entry
    NoInterval,     // no interval set: no status
    Qualified,      // until `until`
    DueToday,       // until the end of today
    Overdue,        // since `since` (invalid: never passed)
    Failed,         // since `since`, the failed test's moment
};

QString stateText(CheckState state);  // "qualified", "due today", "overdue", ...

struct TestStatus
{
    Check test = Check::Repeatability;
    CheckState state = CheckState::NoInterval;
    QDateTime until;  // Qualified, DueToday: the last moment the test holds
    QDateTime since;  // Overdue, Failed
    QDateTime last;   // the last pass; invalid when none
};

struct BalanceStatus
{
    QString instrumentId;
    // The worst of its tests': Failed, then Overdue, then DueToday, then
    // Qualified; `until` the earliest of theirs, `since` the earliest of the
    // worst.
    CheckState state = CheckState::NotRegistered;
    QDateTime until;
    QDateTime since;
    QVector<TestStatus> tests;  // those with an interval, in the order of the tests

    // What the rows recorded now carry in their provenance: "" when the
    // balance is qualified or due today (or has no status), "overdue", "failed".
    QString provenanceCheck() const;
    // Whether the status is one a script must act on (overdue or failed).
    bool needsAction() const { return state == CheckState::Overdue || state == CheckState::Failed; }
};

// The local moment of a record's date and time (invalid when malformed).
QDateTime recordMoment(const CheckRecord &record);

// The status of `balance` at `now`, from `records` (any order; other
// balances' are left out). `balance` null: NotRegistered.
BalanceStatus balanceStatus(const BalanceEntry *balance, const QVector<CheckRecord> &records, const QDateTime &now);

// "qualified until 2026-12-17 09:00", "qualified until 2026-12-16" (through
// that day), "due today", "overdue since 2026-12-09", "overdue, never
// passed", "failed since 2026-12-10 09:12"; empty without a status.
QString describe(CheckState state, const QDateTime &until, const QDateTime &since);

} // namespace Veltrano::Checks
