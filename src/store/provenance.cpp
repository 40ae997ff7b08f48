#include "store/provenance.h"

#include "store/sqlbackend.h"

#include <QHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <iterator>

#include <sqlite3.h>

namespace Veltrano::Chain {

namespace {

// The columns of a row's provenance; the check state only where there is
// one, so that a table from before it takes every other row.
QString provenanceColumns(bool withCheck)
{
    return QStringLiteral("(row_key, collector, seq, instrument, tick_utc, local_offset, received_utc, age_ms, "
                          "raw, state, host, os_user, prev_hash, hash%1) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?%2)")
        .arg(QLatin1String(withCheck ? ", \"check\"" : ""), QLatin1String(withCheck ? ", ?" : ""));
}

// Whether this server login may update the provenance (the roles of a shared
// server let collectors only insert), asked once per connection and login.
bool mayUpdate(const QSqlDatabase &db)
{
    thread_local QHash<QString, bool> known;
    const QString login = QStringLiteral("%1 %2@%3:%4/%5")
                              .arg(db.connectionName(), db.userName(), db.hostName())
                              .arg(db.port())
                              .arg(db.databaseName());
    const auto it = known.constFind(login);
    if (it != known.constEnd())
        return *it;
    QSqlQuery query(db);
    const bool may = query.exec(QStringLiteral("SELECT has_table_privilege('provenance', 'UPDATE');")) && query.next()
                     && query.value(0).toBool();
    known.insert(login, may);
    return may;
}

// A key is taken again once its row is gone (SQLite's last rowid, a server
// table made anew): the provenance another program left without its row gives
// way (its chain shows the gap). A login that may only insert cannot make it
// give way; with the roles no such login can remove a row either.
QString provenanceInsert(const QSqlDatabase &db, bool withCheck)
{
    if (!SqlBackend::isServer(db))
        return QLatin1String("INSERT OR REPLACE INTO provenance") + provenanceColumns(withCheck) + QLatin1Char(';');
    if (!mayUpdate(db))
        return QLatin1String("INSERT INTO provenance") + provenanceColumns(withCheck) + QLatin1Char(';');
    return QLatin1String("INSERT INTO provenance") + provenanceColumns(withCheck)
           + QLatin1String(" ON CONFLICT (row_key) DO UPDATE SET collector = EXCLUDED.collector, "
                           "seq = EXCLUDED.seq, instrument = EXCLUDED.instrument, tick_utc = EXCLUDED.tick_utc, "
                           "local_offset = EXCLUDED.local_offset, received_utc = EXCLUDED.received_utc, "
                           "age_ms = EXCLUDED.age_ms, raw = EXCLUDED.raw, state = EXCLUDED.state, "
                           "host = EXCLUDED.host, os_user = EXCLUDED.os_user, prev_hash = EXCLUDED.prev_hash, "
                           "hash = EXCLUDED.hash")
           + QLatin1String(withCheck ? ", \"check\" = EXCLUDED.\"check\";" : ";");
}

} // namespace

RowLinker::RowLinker(const QSqlDatabase &db)
    : m_db(db)
    , m_collector(collectorId())
    , m_host(hostName())
    , m_user(userName())
{
}

RowLinker::~RowLinker()
{
    for (sqlite3_stmt *statement : m_sqliteInsert)
        sqlite3_finalize(statement);
}

bool RowLinker::write(const QVariant *values, int count, QString *error)
{
    // The last value is the check state when there are fifteen.
    const bool withCheck = count > 14;
    sqlite3 *handle = SqlBackend::sqliteHandle(m_db);
    if (!handle) {
        std::unique_ptr<QSqlQuery> &prepared = m_insert[withCheck];
        if (!prepared)
            prepared = std::make_unique<QSqlQuery>(m_db);
        QSqlQuery &query = *prepared;
        if (query.lastQuery().isEmpty() && !query.prepare(provenanceInsert(m_db, withCheck))) {
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
    sqlite3_stmt *&statement = m_sqliteInsert[withCheck];
    const auto fail = [&] {
        *error = QString::fromUtf8(sqlite3_errmsg(handle));
        if (statement)
            sqlite3_reset(statement);
        return false;
    };
    if (!statement
        && sqlite3_prepare_v2(handle, provenanceInsert(m_db, withCheck).toUtf8().constData(), -1, &statement, nullptr)
               != SQLITE_OK)
        return fail();
    // As the Qt driver binds them: a null value as NULL, bytes as a blob.
    for (int i = 0; i < count; ++i) {
        const QVariant &value = values[i];
        int rc = SQLITE_OK;
        const bool bytes = value.userType() == QMetaType::QByteArray;
        if (value.isNull() || (bytes && value.toByteArray().isNull())) {
            rc = sqlite3_bind_null(statement, i + 1);
        } else if (bytes) {
            const QByteArray blob = value.toByteArray();
            rc = sqlite3_bind_blob(statement, i + 1, blob.constData(), blob.size(), SQLITE_TRANSIENT);
        } else if (value.userType() == QMetaType::QString) {
            const QByteArray text = value.toString().toUtf8();
            rc = sqlite3_bind_text(statement, i + 1, text.constData(), text.size(), SQLITE_TRANSIENT);
        } else {
            rc = sqlite3_bind_int64(statement, i + 1, value.toLongLong());
        }
        if (rc != SQLITE_OK)
            return fail();
    }
    if (sqlite3_step(statement) != SQLITE_DONE)
        return fail();
    sqlite3_reset(statement);
    return true;
}

bool RowLinker::readHead(QString *error)
{
    bool ok = false;
    m_head = Chain::readHead(m_db, "provenance", &m_seq, &ok);
    if (!ok && error)
        *error = m_db.lastError().text();
    return ok;
}

bool RowLinker::link(const Row &row, const QVariant &key, QString *error)
{
    const bool server = SqlBackend::isServer(m_db);
    Row stored = row;
    for (QString *value : {&stored.date, &stored.time, &stored.name, &stored.header, &stored.result, &stored.unit})
        *value = SqlBackend::storedText(*value, server);
    Provenance &p = stored.provenance;
    if (p.tickUtc.isEmpty())
        p.tickUtc = utcNow();
    if (p.host.isEmpty())
        p.host = m_host;
    if (p.user.isEmpty())
        p.user = m_user;
    for (QString *value : {&p.instrument, &p.tickUtc, &p.receivedUtc, &p.state, &p.host, &p.user, &p.check})
        *value = SqlBackend::storedText(*value, server);
    if (Weighing *w = stored.weighing ? &*stored.weighing : nullptr) {
        for (QString *value : {&w->sample, &w->series, &w->trigger, &w->kind, &w->operatorName, &w->weighingClass, &w->nominal})
            *value = SqlBackend::storedText(*value, server);
    }
    if (p.receivedUtc.isEmpty())
        p.ageMs = -1;

    const qint64 seq = m_seq + 1;
    const QString hash = rowHash(m_head, m_collector, seq, stored);
    const QVariant values[] = {
        key, QVariant(m_collector), QVariant(seq), QVariant(p.instrument), QVariant(p.tickUtc), QVariant(p.offsetSeconds),
        p.receivedUtc.isEmpty() ? QVariant() : QVariant(p.receivedUtc), p.ageMs < 0 ? QVariant() : QVariant(p.ageMs),
        QVariant(p.raw), QVariant(p.state), QVariant(p.host), QVariant(p.user), QVariant(m_head), QVariant(hash),
        QVariant(p.check)};
    if (!write(values, int(std::size(values)) - (p.check.isEmpty() ? 1 : 0), error))
        return false;
    m_seq = seq;
    m_head = hash;
    return true;
}

Head rowHead(const QSqlDatabase &db)
{
    Head head;
    bool ok = false;
    head.hash = readHead(db, "provenance", &head.seq, &ok);
    return head;
}

} // namespace Veltrano::Chain
