#include "store/measurementdb.h"

#include "store/archive.h"
#include "store/audit.h"
#include "store/provenance.h"
#include "store/sqlbackend.h"
#include "store/weighingtable.h"
#include "support/trace.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace Veltrano::MeasurementDb {

using SqlBackend::watched;

namespace {

// Whether the table is there; false with `*ok` false when the check failed.
bool tableExists(QSqlQuery &query, bool *ok)
{
    *ok = query.exec(QString::fromLatin1(SqlBackend::isServer(query.driver()) ? kServerTableCheck : kTableCheck));
    return *ok && query.next() && !query.value(QStringLiteral("name")).toString().isEmpty();
}

} // namespace

TableState ensureTable(QSqlQuery &query, QString *error)
{
    auto fail = [&]() {
        if (error)
            *error = query.lastError().text();
        return TableState::Failed;
    };

    bool ok = false;
    TableState state = TableState::Present;
    if (!tableExists(query, &ok)) {
        if (!ok)
            return fail();
        if (query.exec(QString::fromLatin1(SqlBackend::isServer(query.driver()) ? kServerCreateTable : kCreateTable))) {
            state = TableState::Created;
        } else {
            // Another collector may have created it a moment ago.
            const QString createError = query.lastError().text();
            if (!tableExists(query, &ok)) {
                if (error)
                    *error = createError;
                return TableState::Failed;
            }
        }
    }

    QString indexError;
    if (!ensureSortIndex(query, &indexError))
        VTRACE << "sort index not created, the view will be slower:" << indexError;
    return state;
}

bool ensureSortIndex(QSqlQuery &query, QString *error)
{
    // A login that may not make it (the roles of a shared server) finds it made.
    const bool server = SqlBackend::isServer(query.driver());
    if (server && query.exec(QStringLiteral("SELECT to_regclass('data_sampling_order') IS NOT NULL;")) && query.next()
        && query.value(0).toBool())
        return true;
    if (query.exec(QString::fromLatin1(server ? kServerCreateSortIndex : kCreateSortIndex)))
        return true;
    if (error)
        *error = query.lastError().text();
    return false;
}

namespace {

// Inserts `row` and gives the key `data` holds it under.
// `query` is prepared once for the rows of a transaction.
bool execInsert(const Row &row, QSqlQuery &query, const QSqlDatabase &db, QVariant *key)
{
    // A server's text cannot hold the zero character: it would refuse the
    // row for good. It is stored as U+FFFD, the mark of a character that
    // could not be kept, as undecodable bytes already are.
    const bool server = SqlBackend::isServer(query.driver());
    if (query.lastQuery().isEmpty() && !query.prepare(QString::fromLatin1(server ? kServerInsert : kInsert)))
        return false;
    int index = 0;
    for (const QString *value : {&row.date, &row.time, &row.name, &row.header, &row.result, &row.unit}) {
        if (server && value->contains(QChar()))
            VTRACE << "zero character stored as U+FFFD on the server";
        query.bindValue(index++, SqlBackend::storedText(*value, server));
    }
    if (!watched(db, [&query] { return query.exec(); }))
        return false;
    *key = server ? (query.next() ? query.value(0) : QVariant()) : query.lastInsertId();
    return true;
}

} // namespace

bool reconnectIfLost(const QSqlDatabase &db)
{
    // The driver closes a connection it finds broken; a statement on a closed
    // connection only earns a warning.
    if (!SqlBackend::isServer(db.driver()) || (db.isOpen() && QSqlQuery(db).exec(QStringLiteral("SELECT 1"))))
        return false;
    // An unreachable host costs a whole connection time-out: after such an
    // attempt the next waits, so that the window is not held up at every
    // store. A refused connection costs nothing and is tried every time.
    static QHash<QString, QElapsedTimer> lastSlowTry;
    QElapsedTimer &slow = lastSlowTry[db.connectionName()];
    if (slow.isValid() && !slow.hasExpired(kReconnectGapMs))
        return false;
    // Tried on a connection of its own first, so that a server still away
    // leaves the shared handle as it was.
    const QString probeName = db.connectionName() + QLatin1String("-probe");
    QElapsedTimer took;
    took.start();
    bool reachable = false;
    {
        QSqlDatabase probe = QSqlDatabase::cloneDatabase(db, probeName);
        reachable = probe.open();
    }
    QSqlDatabase::removeDatabase(probeName);
    VTRACE << "connection to the server lost; server reachable again:" << reachable;
    slow.invalidate();
    if (!reachable && took.hasExpired(kSlowConnectMs))
        slow.start();
    if (!reachable)
        return false;
    QSqlDatabase handle = db;
    handle.close();
    return handle.open();
}

namespace {

const char kLost[] = "the connection to the server is lost";

// One insert, with its provenance, on the connection as it is.
bool insertOne(const Row &row, QSqlQuery &query, Chain::RowLinker &linker, WeighingTable::Writer &weighings,
               QString *error, const QSqlDatabase &db, QVariant &key)
{
    if (!db.isOpen()) {
        *error = QString::fromLatin1(kLost);
        return false;
    }
    if (!execInsert(row, query, db, &key)) {
        *error = query.lastError().text();
        return false;
    }
    if (!watched(db, [&] { return linker.link(row, key, error); }))
        return false;
    return !row.weighing || weighings.write(*row.weighing, key, error);
}

} // namespace

bool insertRow(const Row &row, QString *error, const QSqlDatabase &db)
{
    int failedAt = 0;
    QString ignored;
    return insertRows({row}, error ? error : &ignored, &failedAt, db);
}

bool insertRows(const QVector<Row> &rows, QString *error, int *failedAt, const QSqlDatabase &db,
                QVector<StoredRow> *stored)
{
    QSqlDatabase connection = db;
    *failedAt = 0;
    const auto fail = [&](const QString &text) {
        *error = connection.isOpen() ? text : QString::fromLatin1(kLost);
        if (connection.isOpen())
            connection.rollback();
        return false;
    };
    // A lost connection is opened again before the transaction, never within
    // it: the rows written before would go with the old transaction.
    const auto begin = [&connection] { return watched(connection, [&connection] { return connection.transaction(); }); };
    if ((!connection.isOpen() || !begin()) && (!reconnectIfLost(db) || !begin()))
        return fail(connection.lastError().text());
    // The rows and their provenance go in together: the side tables are made
    // sure of when the chain's head cannot be read.
    Chain::RowLinker linker(db);
    if (!watched(db, [&] { return linker.readHead(error); })) {
        connection.rollback();
        if (!ensureSideTables(db, error) || !begin())
            return fail(*error);
        if (!watched(db, [&] { return linker.readHead(error); }))
            return fail(*error);
    }
    QSqlQuery query(db);
    WeighingTable::Writer weighings(db);
    QVector<StoredRow> taken;
    for (const Row &row : rows) {
        QVariant key;
        if (!insertOne(row, query, linker, weighings, error, db, key))
            return fail(*error);
        if (stored)
            taken.append(StoredRow{row, key.toLongLong(), linker.head()});
        ++*failedAt;
    }
    *failedAt = rows.size() - 1;
    if (watched(connection, [&connection] { return connection.commit(); })) {
        if (stored)
            *stored += taken;
        return true;
    }
    return fail(connection.lastError().text());
}

QString describeInsert(const Row &row)
{
    const QLatin1String separator("','");
    return QLatin1String("INSERT INTO data(sampling_date, sampling_time, instrument_id, header, result, unit) VALUES('")
           + row.date + separator + row.time + separator + row.name + separator + row.header + separator + row.result
           + separator + row.unit + QLatin1String("');");
}

bool sideTablesExist(const QSqlDatabase &db)
{
    return SqlBackend::tableExists(db, QLatin1String(Chain::kProvenanceTable))
           && SqlBackend::tableExists(db, QLatin1String(Audit::kTable));
}

namespace {

// The tables and the column that came after provenance and audit: each made
// on its own, when missing. A database that may not be altered (read-only,
// or a login without the right) goes on without them: the rows of the time
// series need none of them, and the store says so when a weighing is refused.
void ensureLaterSideTables(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    bool ok = false;
    if (!SqlBackend::tableExists(query, QLatin1String(WeighingTable::kTable), &ok) && ok) {
        for (const char *statement : SqlBackend::isServer(db) ? WeighingTable::kServerTable : WeighingTable::kSqliteTable) {
            if (!query.exec(QString::fromLatin1(statement)))
                VTRACE << "weighing table not made:" << query.lastError().text();
        }
    }
    if (!SqlBackend::columnExists(db, QLatin1String(Chain::kProvenanceTable), QStringLiteral("check"))
        && !query.exec(QString::fromLatin1(Chain::kAddCheckColumn)))
        VTRACE << "check column not added:" << query.lastError().text();
}

} // namespace

bool ensureSideTables(const QSqlDatabase &db, QString *error)
{
    QSqlQuery query(db);
    bool ok = false;
    const bool existed = SqlBackend::tableExists(query, QStringLiteral("provenance"), &ok);
    if (ok && existed && SqlBackend::tableExists(query, QStringLiteral("audit"), &ok)) {
        ensureLaterSideTables(db);
        return true;
    }
    QSqlDatabase connection = db;
    auto fail = [&](const QString &text) {
        if (error)
            *error = text;
        connection.rollback();
        return false;
    };
    if (!connection.transaction())
        return fail(connection.lastError().text());
    const bool server = SqlBackend::isServer(db);
    QList<const char *> statements;
    for (const char *statement : server ? Chain::kServerProvenanceTable : Chain::kSqliteProvenanceTable)
        statements << statement;
    for (const char *statement : server ? Audit::kServerTable : Audit::kSqliteTable)
        statements << statement;
    for (const char *statement : qAsConst(statements)) {
        if (!query.exec(QString::fromLatin1(statement))) {
            // Another collector may have created them a moment ago.
            const QString text = query.lastError().text();
            connection.rollback();
            return sideTablesExist(db) || fail(text);
        }
    }
    if (!existed) {
        // The rows already there were recorded before: they go up to this key.
        QJsonObject details{{QStringLiteral("rowsBefore"), 0}, {QStringLiteral("lastKeyBefore"), 0}};
        if (SqlBackend::tableExists(query, QStringLiteral("data"), &ok)) {
            if (!query.exec(QStringLiteral("SELECT count(*), max(%1) FROM data;").arg(SqlBackend::keyColumn(db)))
                || !query.next())
                return fail(query.lastError().text());
            details = {{QStringLiteral("rowsBefore"), query.value(0).toLongLong()},
                       {QStringLiteral("lastKeyBefore"), query.value(1).toLongLong()}};
        }
        QString auditError;
        if (!Audit::append(db, QLatin1String(Audit::kBegan), details, &auditError, true))
            return fail(auditError);
    }
    if (!connection.commit())
        return fail(connection.lastError().text());
    ensureLaterSideTables(db);
    return true;
}

// The rows go with their provenance into the archive; the audit trail keeps
// the clear, with the chain's head before, in the same transaction.
bool clearRows(const QSqlDatabase &database, QString *error)
{
    QSqlDatabase db = database;
    const auto fail = [&](const QString &text) {
        *error = text;
        db.rollback();
        return false;
    };
    if (!Archive::ensureTables(db, error))
        return false;
    if (!db.transaction())
        return fail(db.lastError().databaseText());
    const Chain::Head head = Chain::rowHead(db);
    Archive::Moved moved;
    QString moveError;
    if (!Archive::moveAll(db, &moved, &moveError))
        return fail(moveError);
    QString auditError;
    if (!Audit::append(db, QLatin1String(Audit::kCleared),
                       {{QStringLiteral("rows"), moved.rows},
                        {QStringLiteral("withoutProvenance"), moved.withoutProvenance},
                        {QStringLiteral("archive"), moved.clearId},
                        {QStringLiteral("headSeq"), head.seq},
                        {QStringLiteral("headHash"), head.hash}},
                       &auditError, true))
        return fail(auditError);
    return db.commit() || fail(db.lastError().databaseText());
}

} // namespace Veltrano::MeasurementDb
