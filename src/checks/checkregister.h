#pragma once

#include "checks/checkentries.h"

#include <QSqlDatabase>
#include <QString>
#include <QVector>

// The registers of the balance checks in the measurement database, beside
// `data`: the balances (`balance`), the reference weights
// (`reference_weight`) and the tests made (`check_record`). The tables are
// made at the first write; a database without them has empty registers.
// Every save and record is in the audit trail with its values, in the same
// transaction. Each function returns an error text, empty when it worked.
namespace Veltrano::Checks {

// The kinds of their audit entries.
namespace AuditKind {
inline constexpr char balance[] = "balance";
inline constexpr char weight[] = "reference weight";
inline constexpr char check[] = "check";
} // namespace AuditKind

inline constexpr char kBalanceTable[] = "balance";
inline constexpr char kWeightTable[] = "reference_weight";
inline constexpr char kRecordTable[] = "check_record";

inline constexpr const char *kSqliteTables[] = {
    "CREATE TABLE IF NOT EXISTS balance(instrument_id TEXT PRIMARY KEY, maker TEXT, model TEXT, serial TEXT, "
    "capacity REAL, readability REAL, location TEXT, intervals TEXT, eccentricity_limit REAL, changed_at TEXT, "
    "changed_by TEXT);",
    "CREATE TABLE IF NOT EXISTS reference_weight(id TEXT PRIMARY KEY, nominal REAL, unit TEXT, class TEXT, "
    "certificate TEXT, due TEXT, changed_at TEXT, changed_by TEXT);",
    "CREATE TABLE IF NOT EXISTS check_record(id INTEGER PRIMARY KEY AUTOINCREMENT, instrument_id TEXT, test TEXT, "
    "date TEXT, time TEXT, operator TEXT, weight_id TEXT, nominal REAL, n INTEGER, mean REAL, sd REAL, "
    "deviation REAL, criterion TEXT, verdict TEXT, reason TEXT, row_keys TEXT, minimum_weight REAL);",
    "CREATE INDEX IF NOT EXISTS check_record_instrument ON check_record(instrument_id, date, time);",
};
inline constexpr const char *kServerTables[] = {
    "CREATE TABLE IF NOT EXISTS balance(instrument_id text PRIMARY KEY, maker text, model text, serial text, "
    "capacity double precision, readability double precision, location text, intervals text, "
    "eccentricity_limit double precision, changed_at text, changed_by text);",
    "CREATE TABLE IF NOT EXISTS reference_weight(id text PRIMARY KEY, nominal double precision, unit text, "
    "class text, certificate text, due text, changed_at text, changed_by text);",
    "CREATE TABLE IF NOT EXISTS check_record(id bigserial PRIMARY KEY, instrument_id text, test text, "
    "date text COLLATE \"C\", time text COLLATE \"C\", operator text, weight_id text, nominal double precision, "
    "n integer, mean double precision, sd double precision, deviation double precision, criterion text, "
    "verdict text, reason text, row_keys text, minimum_weight double precision);",
    "CREATE INDEX IF NOT EXISTS check_record_instrument ON check_record(instrument_id, date, time);",
};

// Makes the three tables (and the audit trail) when missing.
QString ensureTables(const QSqlDatabase &db);

// Creates or replaces the balance of entry.instrumentId, and its changed_at
// and changed_by (now, this user on this host).
QString saveBalance(const QSqlDatabase &db, const BalanceEntry &entry);
// Every balance, by instrument id.
QString balances(const QSqlDatabase &db, QVector<BalanceEntry> *entries);
// The balance of `instrumentId`: false in *found when there is none.
QString balance(const QSqlDatabase &db, const QString &instrumentId, BalanceEntry *entry, bool *found);

// Creates or replaces the reference weight of entry.id.
QString saveWeight(const QSqlDatabase &db, const WeightEntry &entry);
QString weights(const QSqlDatabase &db, QVector<WeightEntry> *entries);
QString weight(const QSqlDatabase &db, const QString &id, WeightEntry *entry, bool *found);

// Appends `record`; its id, when given, receives the key it got.
QString addRecord(const QSqlDatabase &db, const CheckRecord &record, qint64 *id = nullptr);
// The records of `instrumentId` (empty: every balance's), oldest first.
QString records(const QSqlDatabase &db, QVector<CheckRecord> *entries, const QString &instrumentId = QString());

} // namespace Veltrano::Checks

namespace Veltrano::Checks {

// A weighing of `data` (a row with its `weighing`) as a test takes it.
struct TakenWeighing
{
    qint64 key = 0;
    QString date;
    QString time;
    ScaleReading reading;
};

// The newest key of `data` (0 when empty), the place a test starts waiting from.
QString newestRowKey(const QSqlDatabase &db, qint64 *key);
// Up to `count` weighings of `instrumentId` stored after the row `afterKey`,
// oldest first; tares are no weighing of a test weight and are left out.
// Read only.
QString weighingsAfter(const QSqlDatabase &db, const QString &instrumentId, qint64 afterKey, int count,
                       QVector<TakenWeighing> *weighings);

} // namespace Veltrano::Checks
