#include "store/archive.h"

#include "store/chainhash.h"
#include "store/provenance.h"
#include "store/sqlbackend.h"
#include "store/weighingtable.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace Veltrano::Archive {

namespace {

QString databaseText(const QSqlQuery &query)
{
    const QSqlError error = query.lastError();
    return (error.databaseText().isEmpty() ? error.text() : error.databaseText()).trimmed();
}

// Runs `statement` with `values` bound in turn; on failure `error` gets the
// database's text.
bool run(QSqlQuery &query, const QString &statement, const QVariantList &values, QString *error)
{
    // A server prepares no LOCK: a statement without values runs as it is.
    bool ok = values.isEmpty() || query.prepare(statement);
    for (const QVariant &value : values)
        query.addBindValue(value);
    ok = ok && (values.isEmpty() ? query.exec(statement) : query.exec());
    if (!ok)
        *error = databaseText(query);
    return ok;
}

// The first value of a query that gives one row.
bool single(QSqlQuery &query, const QString &statement, const QVariantList &values, QVariant *value, QString *error)
{
    if (!run(query, statement, values, error))
        return false;
    if (!query.next()) {
        *error = QStringLiteral("no answer to: ") + statement;
        return false;
    }
    *value = query.value(0);
    return true;
}

} // namespace

bool exists(const QSqlDatabase &db)
{
    for (const char *table : {kClears, kData, kProvenance, kWeighing}) {
        if (!SqlBackend::tableExists(db, QLatin1String(table)))
            return false;
    }
    return true;
}

bool ensureTables(const QSqlDatabase &db, QString *error)
{
    if (exists(db))
        return true;
    QSqlQuery query(db);
    for (const char *statement : SqlBackend::isServer(db) ? kServerTables : kSqliteTables) {
        if (!query.exec(QString::fromLatin1(statement))) {
            *error = databaseText(query);
            // Another collector may have made them a moment ago.
            return exists(db);
        }
    }
    return true;
}

QString refusal(const QSqlDatabase &db)
{
    if (!SqlBackend::isServer(db))
        return QString();
    QSqlQuery query(db);
    QVariant may;
    QString error;
    const QString function = QString::fromLatin1(kServerFunction);
    if (!single(query,
                QStringLiteral("SELECT CASE WHEN to_regprocedure(?) IS NULL THEN has_table_privilege('data', 'DELETE') "
                               "ELSE has_function_privilege(to_regprocedure(?)::oid, 'EXECUTE') END;"),
                {function, function}, &may, &error))
        return error;
    return may.toBool() ? QString() : QString::fromLatin1(kSupervisorNeeded);
}

QString clearedBy()
{
    return QStringLiteral("%1 on %2").arg(Chain::userName(), Chain::hostName());
}

bool moveAll(const QSqlDatabase &db, Moved *moved, QString *error)
{
    error->clear();
    QSqlQuery query(db);
    const bool server = SqlBackend::isServer(db);
    const QString by = clearedBy();
    QVariant value;
    // The roles' function moves them with its owner's rights.
    if (server && single(query, QStringLiteral("SELECT to_regprocedure(?) IS NOT NULL;"),
                         {QString::fromLatin1(kServerFunction)}, &value, error)
        && value.toBool()) {
        if (!run(query, QStringLiteral("SELECT clear_id, moved_rows, without_provenance FROM veltrano_clear(?);"), {by},
                 error))
            return false;
        if (!query.next()) {
            *error = QStringLiteral("the server's clear gave no answer");
            return false;
        }
        *moved = {query.value(0).toLongLong(), query.value(1).toLongLong(), query.value(2).toLongLong()};
        return true;
    }
    if (!error->isEmpty())
        return false;

    const bool weighings = SqlBackend::tableExists(db, QLatin1String(WeighingTable::kTable));
    if (server) {
        // Held until the transaction ends: a collector's rows wait meanwhile.
        if (!run(query, QStringLiteral("LOCK TABLE data, provenance%1 IN SHARE ROW EXCLUSIVE MODE;")
                            .arg(QLatin1String(weighings ? ", weighing" : "")),
                 {}, error))
            return false;
        if (!single(query, QStringLiteral("SELECT session_user;"), {}, &value, error))
            return false;
    }
    const QString clearedBy = server ? by + QStringLiteral(", login ") + value.toString() : by;
    if (server ? !single(query, QStringLiteral("INSERT INTO clears(cleared_at, cleared_by) VALUES(?, ?) RETURNING id;"),
                         {Chain::utcNow(), clearedBy}, &value, error)
               : !run(query, QStringLiteral("INSERT INTO clears(cleared_at, cleared_by) VALUES(?, ?);"),
                      {Chain::utcNow(), clearedBy}, error))
        return false;
    moved->clearId = server ? value.toLongLong() : query.lastInsertId().toLongLong();
    const QVariant id(moved->clearId);
    const bool check = SqlBackend::columnExists(db, QLatin1String(Chain::kProvenanceTable), QStringLiteral("check"));
    const QString provenanceColumns = QStringLiteral("row_key, collector, seq, instrument, tick_utc, local_offset, "
                                                     "received_utc, age_ms, raw, state, host, os_user, prev_hash, hash");
    const QString weighingColumns = QStringLiteral("row_key, ") + QLatin1String(WeighingTable::kColumns);
    QStringList moves{
        QStringLiteral("INSERT INTO cleared_data(clear_id, row_key, sampling_date, sampling_time, instrument_id, header, "
                       "result, unit, cleared_at, cleared_by) SELECT c.id, d.%1, d.sampling_date, d.sampling_time, "
                       "d.instrument_id, d.header, d.result, d.unit, c.cleared_at, c.cleared_by FROM data d, clears c "
                       "WHERE c.id = ?;")
            .arg(SqlBackend::keyColumn(db)),
        QStringLiteral("INSERT INTO cleared_provenance(clear_id, %1, \"check\") SELECT ?, %1, %2 FROM provenance;")
            .arg(provenanceColumns, QLatin1String(check ? "\"check\"" : "NULL")),
    };
    if (weighings)
        moves << QStringLiteral("INSERT INTO cleared_weighing(clear_id, %1) SELECT ?, %1 FROM weighing;").arg(weighingColumns);
    for (const QString &statement : qAsConst(moves)) {
        if (!run(query, statement, {id}, error))
            return false;
    }
    if (!single(query, QStringLiteral("SELECT count(*) FROM cleared_data WHERE clear_id = ?;"), {id}, &value, error))
        return false;
    moved->rows = value.toLongLong();
    if (!single(query,
                QStringLiteral("SELECT count(*) FROM cleared_data d WHERE d.clear_id = ? AND NOT EXISTS (SELECT 1 FROM "
                               "cleared_provenance p WHERE p.clear_id = d.clear_id AND p.row_key = d.row_key);"),
                {id}, &value, error))
        return false;
    moved->withoutProvenance = value.toLongLong();
    QStringList deletes{QStringLiteral("DELETE FROM provenance;"), QStringLiteral("DELETE FROM data;")};
    if (weighings)
        deletes.prepend(QStringLiteral("DELETE FROM weighing;"));
    for (const QString &statement : qAsConst(deletes)) {
        if (!run(query, statement, {}, error))
            return false;
    }
    return true;
}

} // namespace Veltrano::Archive
