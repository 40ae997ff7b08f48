#include "checks/checkregister.h"

#include "store/audit.h"
#include "store/chainhash.h"
#include "store/measurementdb.h"
#include "store/sqlbackend.h"
#include "support/row.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <cmath>
#include <functional>

namespace Veltrano::Checks {

namespace {

QString driverText(const QSqlError &error)
{
    return (error.databaseText().isEmpty() ? error.text() : error.databaseText()).trimmed();
}

QVariant number(const std::optional<double> &value)
{
    return value ? QVariant(*value) : QVariant();
}

std::optional<double> optionalNumber(const QVariant &value)
{
    return value.isNull() ? std::nullopt : std::optional<double>(value.toDouble());
}

QJsonValue jsonNumber(const std::optional<double> &value)
{
    return value ? QJsonValue(*value) : QJsonValue();
}

bool finite(const std::optional<double> &value) { return !value || std::isfinite(*value); }

// Runs `statement` with `values` bound and appends the audit entry in one
// transaction; the first failure's text.
QString writeWithAudit(const QSqlDatabase &database, const QString &statement, const QVariantList &values,
                       const QString &kind, const QJsonObject &details, qint64 *key = nullptr)
{
    if (const QString error = ensureTables(database); !error.isEmpty())
        return error;
    QSqlDatabase db = database;
    const auto fail = [&db](const QString &text) {
        db.rollback();
        return text;
    };
    if (!db.transaction())
        return driverText(db.lastError());
    QSqlQuery query(db);
    if (!query.prepare(statement))
        return fail(driverText(query.lastError()));
    const bool server = SqlBackend::isServer(db);
    for (const QVariant &value : values)
        query.addBindValue(value.userType() == QMetaType::QString ? QVariant(SqlBackend::storedText(value.toString(), server))
                                                           : value);
    if (!query.exec())
        return fail(driverText(query.lastError()));
    QJsonObject entry = details;
    if (key) {
        *key = server ? (query.next() ? query.value(0).toLongLong() : 0) : query.lastInsertId().toLongLong();
        entry.insert(QStringLiteral("id"), *key);
    }
    QString error;
    if (!Audit::append(db, kind, entry, &error, true))
        return fail(error.trimmed());
    if (!db.commit())
        return fail(driverText(db.lastError()));
    return {};
}

// Reads `sql` row by row into `read` (an empty register when the table
// `table` is missing).
QString readRows(const QSqlDatabase &db, const char *table, const QString &sql, const QVariantList &values,
                 const std::function<void(const QSqlQuery &)> &read)
{
    QSqlQuery query(db);
    bool ok = false;
    if (!SqlBackend::tableExists(query, QLatin1String(table), &ok))
        return ok ? QString() : driverText(query.lastError());
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        return driverText(query.lastError());
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec())
        return driverText(query.lastError());
    while (query.next())
        read(query);
    return query.lastError().isValid() ? driverText(query.lastError()) : QString();
}

QString changedBy() { return QStringLiteral("%1 on %2").arg(Chain::userName(), Chain::hostName()); }

constexpr char kBalanceColumns[] = "instrument_id, maker, model, serial, capacity, readability, location, intervals, "
                                   "eccentricity_limit, changed_at, changed_by";
constexpr char kWeightColumns[] = "id, nominal, unit, class, certificate, due, changed_at, changed_by";
constexpr char kRecordColumns[] = "instrument_id, test, date, time, operator, weight_id, nominal, n, mean, sd, "
                                  "deviation, criterion, verdict, reason, row_keys, minimum_weight";

BalanceEntry balanceOf(const QSqlQuery &query)
{
    BalanceEntry entry;
    entry.instrumentId = query.value(0).toString();
    entry.maker = query.value(1).toString();
    entry.model = query.value(2).toString();
    entry.serial = query.value(3).toString();
    entry.capacity = optionalNumber(query.value(4));
    entry.readability = optionalNumber(query.value(5));
    entry.location = query.value(6).toString();
    // Written by saveBalance() only; a text changed by hand to something
    // unreadable reads as no interval, which leaves the balance without a status.
    parseIntervals(query.value(7).toString(), &entry.intervals);
    entry.eccentricityLimit = optionalNumber(query.value(8));
    entry.changedAt = query.value(9).toString();
    entry.changedBy = query.value(10).toString();
    return entry;
}

WeightEntry weightOf(const QSqlQuery &query)
{
    WeightEntry entry;
    entry.id = query.value(0).toString();
    entry.nominal = query.value(1).toDouble();
    entry.unit = query.value(2).toString();
    entry.weightClass = query.value(3).toString();
    entry.certificate = query.value(4).toString();
    entry.due = QDate::fromString(query.value(5).toString(), Qt::ISODate);
    entry.changedAt = query.value(6).toString();
    entry.changedBy = query.value(7).toString();
    return entry;
}

// The insert of a register's entry that replaces the one of the same key
// (the first of `columns`).
QString upsert(const char *table, const char *columns)
{
    const QStringList names = QString::fromLatin1(columns).split(QStringLiteral(", "));
    QStringList updates;
    for (const QString &column : names.mid(1))
        updates << column + QStringLiteral(" = excluded.") + column;
    return QStringLiteral("INSERT INTO %1(%2) VALUES(?%3) ON CONFLICT(%4) DO UPDATE SET %5;")
        .arg(QLatin1String(table), QLatin1String(columns), QStringLiteral(", ?").repeated(names.size() - 1), names.first(),
             updates.join(QStringLiteral(", ")));
}

} // namespace

QString ensureTables(const QSqlDatabase &db)
{
    QString error;
    if (!MeasurementDb::ensureSideTables(db, &error))
        return error.trimmed();
    QSqlQuery query(db);
    bool ok = false;
    // One missing: all are made, each IF NOT EXISTS.
    for (const char *table : {kBalanceTable, kWeightTable, kRecordTable}) {
        if (SqlBackend::tableExists(query, QLatin1String(table), &ok))
            continue;
        if (!ok)
            return driverText(query.lastError());
        for (const char *statement : SqlBackend::isServer(db) ? kServerTables : kSqliteTables) {
            // Another program may have made them a moment ago: IF NOT EXISTS.
            if (!query.exec(QString::fromLatin1(statement)))
                return driverText(query.lastError());
        }
        break;
    }
    return {};
}

QString saveBalance(const QSqlDatabase &db, const BalanceEntry &entry)
{
    if (entry.instrumentId.trimmed().isEmpty())
        return QStringLiteral("a balance needs its instrument id");
    for (const auto &[value, name] : {std::pair(entry.capacity, "capacity"), std::pair(entry.readability, "readability"),
                                      std::pair(entry.eccentricityLimit, "eccentricity limit")}) {
        if (!finite(value) || (value && *value <= 0))
            return QStringLiteral("the %1 must be a number above 0").arg(QLatin1String(name));
    }
    const QString at = Chain::utcNow();
    const QString by = changedBy();
    const QString intervals = intervalsText(entry.intervals);
    const QJsonObject details{{QStringLiteral("instrument"), entry.instrumentId},
                              {QStringLiteral("maker"), entry.maker},
                              {QStringLiteral("model"), entry.model},
                              {QStringLiteral("serial"), entry.serial},
                              {QStringLiteral("capacity"), jsonNumber(entry.capacity)},
                              {QStringLiteral("readability"), jsonNumber(entry.readability)},
                              {QStringLiteral("location"), entry.location},
                              {QStringLiteral("intervals"), intervals},
                              {QStringLiteral("eccentricityLimit"), jsonNumber(entry.eccentricityLimit)}};
    return writeWithAudit(db, upsert(kBalanceTable, kBalanceColumns),
                          {entry.instrumentId, entry.maker, entry.model, entry.serial, number(entry.capacity),
                           number(entry.readability), entry.location, intervals, number(entry.eccentricityLimit), at, by},
                          QLatin1String(AuditKind::balance), details);
}

QString balances(const QSqlDatabase &db, QVector<BalanceEntry> *entries)
{
    entries->clear();
    return readRows(db, kBalanceTable,
                    QStringLiteral("SELECT %1 FROM balance ORDER BY instrument_id;").arg(QLatin1String(kBalanceColumns)), {},
                    [entries](const QSqlQuery &query) { entries->append(balanceOf(query)); });
}

QString balance(const QSqlDatabase &db, const QString &instrumentId, BalanceEntry *entry, bool *found)
{
    *found = false;
    return readRows(db, kBalanceTable,
                    QStringLiteral("SELECT %1 FROM balance WHERE instrument_id = ?;").arg(QLatin1String(kBalanceColumns)),
                    {instrumentId}, [entry, found](const QSqlQuery &query) {
                        *entry = balanceOf(query);
                        *found = true;
                    });
}

QString saveWeight(const QSqlDatabase &db, const WeightEntry &entry)
{
    if (entry.id.trimmed().isEmpty())
        return QStringLiteral("a reference weight needs its id");
    if (!(entry.nominal > 0) || !std::isfinite(entry.nominal))
        return QStringLiteral("the nominal of weight %1 must be a number above 0").arg(entry.id);
    if (entry.unit.trimmed().isEmpty())
        return QStringLiteral("weight %1 needs its unit").arg(entry.id);
    if (!isWeightClass(entry.weightClass))
        return QStringLiteral("not an OIML weight class (E1, E2, F1, F2, M1, M2, M3): \"%1\"").arg(entry.weightClass);
    if (!entry.due.isValid())
        return QStringLiteral("weight %1 needs the date its calibration is due").arg(entry.id);
    const QString due = entry.due.toString(Qt::ISODate);
    const QJsonObject details{{QStringLiteral("weight"), entry.id},           {QStringLiteral("nominal"), entry.nominal},
                              {QStringLiteral("unit"), entry.unit},           {QStringLiteral("class"), entry.weightClass},
                              {QStringLiteral("certificate"), entry.certificate}, {QStringLiteral("due"), due}};
    return writeWithAudit(db, upsert(kWeightTable, kWeightColumns),
                          {entry.id, entry.nominal, entry.unit, entry.weightClass, entry.certificate, due, Chain::utcNow(),
                           changedBy()},
                          QLatin1String(AuditKind::weight), details);
}

QString weights(const QSqlDatabase &db, QVector<WeightEntry> *entries)
{
    entries->clear();
    return readRows(db, kWeightTable,
                    QStringLiteral("SELECT %1 FROM reference_weight ORDER BY id;").arg(QLatin1String(kWeightColumns)), {},
                    [entries](const QSqlQuery &query) { entries->append(weightOf(query)); });
}

QString weight(const QSqlDatabase &db, const QString &id, WeightEntry *entry, bool *found)
{
    *found = false;
    return readRows(db, kWeightTable,
                    QStringLiteral("SELECT %1 FROM reference_weight WHERE id = ?;").arg(QLatin1String(kWeightColumns)),
                    {id}, [entry, found](const QSqlQuery &query) {
                        *entry = weightOf(query);
                        *found = true;
                    });
}

QString addRecord(const QSqlDatabase &db, const CheckRecord &record, qint64 *id)
{
    if (record.instrumentId.isEmpty() || record.date.isEmpty() || record.time.isEmpty())
        return QStringLiteral("a check record needs its balance, date and time");
    const QString keys = rowKeysText(record.rowKeys);
    QJsonArray keyArray;
    for (qint64 key : record.rowKeys)
        keyArray.append(key);
    const QJsonObject details{{QStringLiteral("instrument"), record.instrumentId},
                              {QStringLiteral("test"), checkText(record.test)},
                              {QStringLiteral("date"), record.date},
                              {QStringLiteral("time"), record.time},
                              {QStringLiteral("operator"), record.operatorName},
                              {QStringLiteral("weight"), record.weightId},
                              {QStringLiteral("nominal"), record.nominal},
                              {QStringLiteral("n"), record.n},
                              {QStringLiteral("mean"), jsonNumber(record.mean)},
                              {QStringLiteral("sd"), jsonNumber(record.sd)},
                              {QStringLiteral("deviation"), jsonNumber(record.deviation)},
                              {QStringLiteral("criterion"), record.criterion},
                              {QStringLiteral("verdict"), verdictText(record.verdict)},
                              {QStringLiteral("reason"), record.reason},
                              {QStringLiteral("rowKeys"), keyArray},
                              {QStringLiteral("minimumWeight"), jsonNumber(record.minimumWeight)}};
    qint64 key = 0;
    const bool server = SqlBackend::isServer(db);
    const QString error = writeWithAudit(
        db,
        QStringLiteral("INSERT INTO check_record(%1) VALUES(?%2)%3;")
            .arg(QLatin1String(kRecordColumns), QStringLiteral(", ?").repeated(15),
                 QLatin1String(server ? " RETURNING id" : "")),
        {record.instrumentId, checkText(record.test), record.date, record.time, record.operatorName, record.weightId,
         record.nominal, record.n, number(record.mean), number(record.sd), number(record.deviation), record.criterion,
         verdictText(record.verdict), record.reason, keys, number(record.minimumWeight)},
        QLatin1String(AuditKind::check), details, &key);
    if (error.isEmpty() && id)
        *id = key;
    return error;
}

QString records(const QSqlDatabase &db, QVector<CheckRecord> *entries, const QString &instrumentId)
{
    entries->clear();
    const QString where = instrumentId.isEmpty() ? QString() : QStringLiteral(" WHERE instrument_id = ?");
    return readRows(db, kRecordTable,
                    QStringLiteral("SELECT id, %1 FROM check_record%2 ORDER BY date, time, id;")
                        .arg(QLatin1String(kRecordColumns), where),
                    instrumentId.isEmpty() ? QVariantList() : QVariantList{instrumentId},
                    [entries](const QSqlQuery &query) {
                        // A test this program does not know has no place in its statuses.
                        const std::optional<Check> test = checkFromText(query.value(2).toString());
                        if (!test)
                            return;
                        CheckRecord record;
                        record.test = *test;
                        record.id = query.value(0).toLongLong();
                        record.instrumentId = query.value(1).toString();
                        record.date = query.value(3).toString();
                        record.time = query.value(4).toString();
                        record.operatorName = query.value(5).toString();
                        record.weightId = query.value(6).toString();
                        record.nominal = query.value(7).toDouble();
                        record.n = query.value(8).toInt();
                        record.mean = optionalNumber(query.value(9));
                        record.sd = optionalNumber(query.value(10));
                        record.deviation = optionalNumber(query.value(11));
                        record.criterion = query.value(12).toString();
                        const QString verdict = query.value(13).toString();
                        record.verdict = verdict == QLatin1String(VerdictText::pass)   ? Verdict::Pass
                                         : verdict == QLatin1String(VerdictText::fail) ? Verdict::Fail
                                                                                       : Verdict::Refused;
                        record.reason = query.value(14).toString();
                        parseRowKeys(query.value(15).toString(), &record.rowKeys);
                        record.minimumWeight = optionalNumber(query.value(16));
                        entries->append(record);
                    });
}

QString newestRowKey(const QSqlDatabase &db, qint64 *key)
{
    *key = 0;
    return readRows(db, "data", QStringLiteral("SELECT max(%1) FROM data;").arg(SqlBackend::keyColumn(db)), {},
                    [key](const QSqlQuery &query) { *key = query.value(0).toLongLong(); });
}

QString weighingsAfter(const QSqlDatabase &db, const QString &instrumentId, qint64 afterKey, int count,
                       QVector<TakenWeighing> *weighings)
{
    weighings->clear();
    const QString key = SqlBackend::keyColumn(db);
    return readRows(db, "weighing",
                    // `data` names an instrument by its display name; its provenance by its id.
                    QStringLiteral("SELECT d.%1, d.sampling_date, d.sampling_time, d.result, d.unit FROM data d JOIN "
                                   "weighing w ON w.row_key = d.%1 JOIN provenance p ON p.row_key = d.%1 WHERE "
                                   "p.instrument = ? AND d.%1 > ? AND (w.kind IS NULL OR w.kind <> ?) ORDER BY d.%1 "
                                   "LIMIT ?;")
                        .arg(key),
                    {instrumentId, afterKey, QString::fromLatin1(Weighing::kTare), count},
                    [weighings](const QSqlQuery &query) {
                        weighings->append({query.value(0).toLongLong(), query.value(1).toString(),
                                           query.value(2).toString(),
                                           ScaleReading::fromResult(query.value(3).toString(), query.value(4).toString().trimmed())});
                    });
}

} // namespace Veltrano::Checks
