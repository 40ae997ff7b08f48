#include "store/chain.h"

#include "store/measurementdb.h"
#include "support/sha256.h"


#include <QAtomicInteger>
#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QVariant>
#include <QtEndian>

#include <iterator>

#include <sqlite3.h>

namespace Veltrano::Chain {

namespace {

bool onServer(const QSqlDatabase &db)
{
    return db.driver() && db.driver()->dbmsType() == QSqlDriver::PostgreSQL;
}

const char *const kSqliteTables[] = {
    "CREATE TABLE IF NOT EXISTS provenance(row_key INTEGER PRIMARY KEY, collector TEXT NOT NULL, seq INTEGER NOT NULL, "
    "instrument TEXT, tick_utc TEXT, local_offset INTEGER, received_utc TEXT, age_ms INTEGER, raw BLOB, state TEXT, "
    "host TEXT, os_user TEXT, prev_hash TEXT NOT NULL, hash TEXT NOT NULL);",
    "CREATE UNIQUE INDEX IF NOT EXISTS provenance_chain ON provenance(collector, seq);",
    "CREATE TABLE IF NOT EXISTS audit(id INTEGER PRIMARY KEY AUTOINCREMENT, collector TEXT NOT NULL, "
    "seq INTEGER NOT NULL, at_utc TEXT, host TEXT, os_user TEXT, kind TEXT, details TEXT, prev_hash TEXT NOT NULL, "
    "hash TEXT NOT NULL);",
    "CREATE UNIQUE INDEX IF NOT EXISTS audit_chain ON audit(collector, seq);",
};
const char *const kServerTables[] = {
    "CREATE TABLE IF NOT EXISTS provenance(row_key bigint PRIMARY KEY, collector text NOT NULL, seq bigint NOT NULL, "
    "instrument text, tick_utc text, local_offset integer, received_utc text, age_ms bigint, raw bytea, state text, "
    "host text, os_user text, prev_hash text NOT NULL, hash text NOT NULL);",
    "CREATE UNIQUE INDEX IF NOT EXISTS provenance_chain ON provenance(collector, seq);",
    "CREATE TABLE IF NOT EXISTS audit(id bigserial PRIMARY KEY, collector text NOT NULL, seq bigint NOT NULL, "
    "at_utc text, host text, os_user text, kind text, details text, prev_hash text NOT NULL, hash text NOT NULL);",
    "CREATE UNIQUE INDEX IF NOT EXISTS audit_chain ON audit(collector, seq);",
};

const char kProvenanceColumns[] = "(row_key, collector, seq, instrument, tick_utc, local_offset, received_utc, age_ms, "
                                  "raw, state, host, os_user, prev_hash, hash) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);";

// A key is taken again once its row is gone (SQLite's last rowid, a server
// table made anew): the provenance another program left without its row gives
// way (its chain shows the gap).
QString provenanceInsert(const QSqlDatabase &db)
{
    if (!onServer(db))
        return QLatin1String("INSERT OR REPLACE INTO provenance") + QLatin1String(kProvenanceColumns);
    QString statement = QLatin1String("INSERT INTO provenance") + QLatin1String(kProvenanceColumns);
    statement.chop(1);
    return statement + QLatin1String(" ON CONFLICT (row_key) DO UPDATE SET collector = EXCLUDED.collector, "
                                     "seq = EXCLUDED.seq, instrument = EXCLUDED.instrument, tick_utc = EXCLUDED.tick_utc, "
                                     "local_offset = EXCLUDED.local_offset, received_utc = EXCLUDED.received_utc, "
                                     "age_ms = EXCLUDED.age_ms, raw = EXCLUDED.raw, state = EXCLUDED.state, "
                                     "host = EXCLUDED.host, os_user = EXCLUDED.os_user, prev_hash = EXCLUDED.prev_hash, "
                                     "hash = EXCLUDED.hash;");
}

bool tableExists(QSqlQuery &query, const QString &name, bool *ok)
{
    const bool server = query.driver() && query.driver()->dbmsType() == QSqlDriver::PostgreSQL;
    *ok = query.prepare(QLatin1String(server ? "SELECT to_regclass(?)::text;"
                                             : "SELECT name FROM sqlite_master WHERE type='table' AND name=?;"));
    query.addBindValue(name);
    *ok = *ok && query.exec();
    return *ok && query.next() && !query.value(0).toString().isEmpty();
}

class Encoder
{
public:
    void add(const QByteArray &bytes)
    {
        char length[4];
        qToBigEndian<quint32>(quint32(bytes.size()), length);
        m_hash.addData(QByteArray::fromRawData(length, 4));
        m_hash.addData(bytes);
    }
    void add(const QString &text) { add(text.toUtf8()); }
    void add(qint64 number) { add(QByteArray::number(number)); }
    QString hex() { return QString::fromLatin1(m_hash.result().toHex()); }

private:
    Sha256 m_hash;
};

// Within a transaction. On a server, the collector's chain is locked until
// the transaction ends, so that two writers never link to the same head.
QString chainHead(const QSqlDatabase &db, const char *table, qint64 *seq, bool *ok)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (onServer(db)) {
        query.prepare(QStringLiteral("SELECT pg_advisory_xact_lock(hashtext(?));"));
        query.addBindValue(QLatin1String(table) + QLatin1Char(' ') + collectorId());
        *ok = query.exec();
        if (!*ok)
            return QString();
    }
    *ok = query.prepare(QStringLiteral("SELECT seq, hash FROM %1 WHERE collector = ? ORDER BY seq DESC LIMIT 1;")
                            .arg(QLatin1String(table)));
    query.addBindValue(collectorId());
    *ok = *ok && query.exec();
    *seq = 0;
    // The first entry follows an empty hash (never a null one).
    if (!*ok || !query.next())
        return QStringLiteral("");
    *seq = query.value(0).toLongLong();
    return query.value(1).toString();
}

} // namespace

QString collectorId()
{
    return hostName() + QLatin1Char(':') + QDir::currentPath();
}

QString hostName()
{
    return QSysInfo::machineHostName();
}

QString userName()
{
    for (const char *name : {"USER", "USERNAME", "LOGNAME"}) {
        const QString user = qEnvironmentVariable(name);
        if (!user.isEmpty())
            return user;
    }
    return QString();
}

QString utcNow()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QString storedText(const QString &text, bool server)
{
    if (text.isNull())
        return QStringLiteral("");
    if (!server || !text.contains(QChar()))
        return text;
    QString kept = text;
    return kept.replace(QChar(), QChar::ReplacementCharacter);
}

QString rowHash(const QString &previous, const QString &collector, qint64 seq, const Row &row)
{
    Encoder encoder;
    encoder.add(QByteArray("veltrano row 1"));
    encoder.add(previous);
    encoder.add(collector);
    encoder.add(seq);
    for (const QString *value : {&row.date, &row.time, &row.name, &row.header, &row.result, &row.unit})
        encoder.add(*value);
    const Provenance &p = row.provenance;
    encoder.add(p.instrument);
    encoder.add(p.tickUtc);
    encoder.add(qint64(p.offsetSeconds));
    encoder.add(p.receivedUtc);
    encoder.add(p.ageMs);
    encoder.add(p.raw);
    encoder.add(p.state);
    encoder.add(p.host);
    encoder.add(p.user);
    return encoder.hex();
}

QString auditHash(const AuditEntry &entry)
{
    Encoder encoder;
    encoder.add(QByteArray("veltrano audit 1"));
    for (const QString *value : {&entry.previous, &entry.collector})
        encoder.add(*value);
    encoder.add(entry.seq);
    for (const QString *value : {&entry.atUtc, &entry.host, &entry.user, &entry.kind, &entry.details})
        encoder.add(*value);
    return encoder.hex();
}

bool tablesExist(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    bool ok = false;
    return tableExists(query, QStringLiteral("provenance"), &ok) && tableExists(query, QStringLiteral("audit"), &ok);
}

bool ensureTables(const QSqlDatabase &db, QString *error)
{
    QSqlQuery query(db);
    bool ok = false;
    const bool existed = tableExists(query, QStringLiteral("provenance"), &ok);
    if (ok && existed && tableExists(query, QStringLiteral("audit"), &ok))
        return true;
    QSqlDatabase connection = db;
    auto fail = [&](const QString &text) {
        if (error)
            *error = text;
        connection.rollback();
        return false;
    };
    if (!connection.transaction())
        return fail(connection.lastError().text());
    for (const char *statement : onServer(db) ? kServerTables : kSqliteTables) {
        if (!query.exec(QString::fromLatin1(statement))) {
            // Another collector may have created them a moment ago.
            const QString text = query.lastError().text();
            connection.rollback();
            return tablesExist(db) || fail(text);
        }
    }
    if (!existed) {
        // The rows already there were recorded before: they go up to this key.
        QJsonObject details{{QStringLiteral("rowsBefore"), 0}, {QStringLiteral("lastKeyBefore"), 0}};
        if (tableExists(query, QStringLiteral("data"), &ok)) {
            if (!query.exec(QStringLiteral("SELECT count(*), max(%1) FROM data;").arg(MeasurementDb::keyColumn(db)))
                || !query.next())
                return fail(query.lastError().text());
            details = {{QStringLiteral("rowsBefore"), query.value(0).toLongLong()},
                       {QStringLiteral("lastKeyBefore"), query.value(1).toLongLong()}};
        }
        QString auditError;
        if (!appendAudit(db, QLatin1String(kBegan), details, &auditError, true))
            return fail(auditError);
    }
    if (!connection.commit())
        return fail(connection.lastError().text());
    return true;
}

RowLinker::RowLinker(const QSqlDatabase &db)
    : m_db(db)
    , m_insert(std::make_unique<QSqlQuery>(db))
    , m_collector(collectorId())
    , m_host(hostName())
    , m_user(userName())
{
}

RowLinker::~RowLinker()
{
    sqlite3_finalize(m_sqliteInsert);
}

bool RowLinker::write(const QVariant *values, int count, QString *error)
{
    sqlite3 *handle = MeasurementDb::sqliteHandle(m_db);
    if (!handle) {
        QSqlQuery &query = *m_insert;
        if (query.lastQuery().isEmpty() && !query.prepare(provenanceInsert(m_db))) {
            *error = query.lastError().text();
            return false;
        }
        for (int i = 0; i < count; ++i)
            query.bindValue(i, values[i]);
        if (query.exec())
            return true;
        *error = query.lastError().text();
        return false;
    }
    const auto fail = [&] {
        *error = QString::fromUtf8(sqlite3_errmsg(handle));
        if (m_sqliteInsert)
            sqlite3_reset(m_sqliteInsert);
        return false;
    };
    if (!m_sqliteInsert
        && sqlite3_prepare_v2(handle, provenanceInsert(m_db).toUtf8().constData(), -1, &m_sqliteInsert, nullptr) != SQLITE_OK)
        return fail();
    // As the Qt driver binds them: a null value as NULL, bytes as a blob.
    for (int i = 0; i < count; ++i) {
        const QVariant &value = values[i];
        int rc = SQLITE_OK;
        const bool bytes = value.userType() == QMetaType::QByteArray;
        if (value.isNull() || (bytes && value.toByteArray().isNull())) {
            rc = sqlite3_bind_null(m_sqliteInsert, i + 1);
        } else if (bytes) {
            const QByteArray blob = value.toByteArray();
            rc = sqlite3_bind_blob(m_sqliteInsert, i + 1, blob.constData(), blob.size(), SQLITE_TRANSIENT);
        } else if (value.userType() == QMetaType::QString) {
            const QByteArray text = value.toString().toUtf8();
            rc = sqlite3_bind_text(m_sqliteInsert, i + 1, text.constData(), text.size(), SQLITE_TRANSIENT);
        } else {
            rc = sqlite3_bind_int64(m_sqliteInsert, i + 1, value.toLongLong());
        }
        if (rc != SQLITE_OK)
            return fail();
    }
    if (sqlite3_step(m_sqliteInsert) != SQLITE_DONE)
        return fail();
    sqlite3_reset(m_sqliteInsert);
    return true;
}

bool RowLinker::readHead(QString *error)
{
    bool ok = false;
    m_head = chainHead(m_db, "provenance", &m_seq, &ok);
    if (!ok && error)
        *error = m_db.lastError().text();
    return ok;
}

bool RowLinker::link(const Row &row, const QVariant &key, QString *error)
{
    const bool server = onServer(m_db);
    Row stored = row;
    for (QString *value : {&stored.date, &stored.time, &stored.name, &stored.header, &stored.result, &stored.unit})
        *value = storedText(*value, server);
    Provenance &p = stored.provenance;
    if (p.tickUtc.isEmpty())
        p.tickUtc = utcNow();
    if (p.host.isEmpty())
        p.host = m_host;
    if (p.user.isEmpty())
        p.user = m_user;
    for (QString *value : {&p.instrument, &p.tickUtc, &p.receivedUtc, &p.state, &p.host, &p.user})
        *value = storedText(*value, server);
    if (p.receivedUtc.isEmpty())
        p.ageMs = -1;

    const qint64 seq = m_seq + 1;
    const QString hash = rowHash(m_head, m_collector, seq, stored);
    const QVariant values[] = {
        key, QVariant(m_collector), QVariant(seq), QVariant(p.instrument), QVariant(p.tickUtc), QVariant(p.offsetSeconds),
        p.receivedUtc.isEmpty() ? QVariant() : QVariant(p.receivedUtc), p.ageMs < 0 ? QVariant() : QVariant(p.ageMs),
        QVariant(p.raw), QVariant(p.state), QVariant(p.host), QVariant(p.user), QVariant(m_head), QVariant(hash)};
    if (!write(values, int(std::size(values)), error))
        return false;
    m_seq = seq;
    m_head = hash;
    return true;
}

Head rowHead(const QSqlDatabase &db)
{
    Head head;
    bool ok = false;
    head.hash = chainHead(db, "provenance", &head.seq, &ok);
    return head;
}

bool appendAudit(const QSqlDatabase &db, const QString &kind, const QJsonObject &details, QString *error,
                 bool inTransaction)
{
    QSqlDatabase connection = db;
    auto fail = [&](const QString &text) {
        if (error)
            *error = text;
        if (!inTransaction)
            connection.rollback();
        return false;
    };
    if (!inTransaction && !connection.transaction())
        return fail(connection.lastError().text());
    AuditEntry entry;
    bool ok = false;
    entry.previous = chainHead(db, "audit", &entry.seq, &ok);
    if (!ok)
        return fail(connection.lastError().text());
    entry.collector = collectorId();
    ++entry.seq;
    entry.atUtc = details.value(QStringLiteral("at")).toString(utcNow());
    entry.host = hostName();
    entry.user = userName();
    entry.kind = kind;
    QJsonObject body = details;
    body.remove(QStringLiteral("at"));
    entry.details = QString::fromUtf8(QJsonDocument(body).toJson(QJsonDocument::Compact));
    entry.hash = auditHash(entry);
    QSqlQuery query(db);
    ok = query.prepare(QStringLiteral("INSERT INTO audit(collector, seq, at_utc, host, os_user, kind, details, prev_hash, "
                                      "hash) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?);"));
    for (const QVariant &value : {QVariant(entry.collector), QVariant(entry.seq), QVariant(entry.atUtc),
                                  QVariant(entry.host), QVariant(entry.user), QVariant(entry.kind),
                                  QVariant(entry.details), QVariant(entry.previous), QVariant(entry.hash)})
        query.addBindValue(value);
    if (!ok || !query.exec())
        return fail(query.lastError().text());
    if (!inTransaction && !connection.commit())
        return fail(connection.lastError().text());
    return true;
}

// The rows go with their provenance; the audit trail keeps the clear, with
// the chain's head before, in the same transaction.
bool clearRows(const QSqlDatabase &database, QString *error)
{
    QSqlDatabase db = database;
    QSqlQuery query(db);
    const auto fail = [&](const QString &text) {
        *error = text;
        db.rollback();
        return false;
    };
    if (!db.transaction())
        return fail(db.lastError().databaseText());
    const Head head = rowHead(db);
    if (!query.exec(QStringLiteral("SELECT count(*) FROM data;")) || !query.next())
        return fail(query.lastError().databaseText());
    const qint64 rows = query.value(0).toLongLong();
    if (!query.exec(QStringLiteral("DELETE FROM data;")) || !query.exec(QStringLiteral("DELETE FROM provenance;")))
        return fail(query.lastError().databaseText());
    QString auditError;
    if (!appendAudit(db, QLatin1String(kCleared),
                     {{QStringLiteral("rows"), rows}, {QStringLiteral("headSeq"), head.seq},
                      {QStringLiteral("headHash"), head.hash}},
                     &auditError, true))
        return fail(auditError);
    return db.commit() || fail(db.lastError().databaseText());
}

QString recordAudit(const QString &source, const QString &kind, const QJsonObject &details)
{
    static QAtomicInteger<int> serial;
    const QString name = QStringLiteral("audit-%1").arg(serial.fetchAndAddRelaxed(1));
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::cloneDatabase(source, name);
        // The source may be opened for reading only; this short write is not.
        if (db.driverName() == QLatin1String("QSQLITE"))
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000"));
        if (!db.open())
            error = db.lastError().text();
        else if (ensureTables(db, &error))
            appendAudit(db, kind, details, &error);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return error.trimmed();
}

} // namespace Veltrano::Chain
