#include "store/provenance.h"

#include "store/sqlbackend.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <iterator>

#include <sqlite3.h>

namespace Veltrano::Chain {

namespace {

const char kProvenanceColumns[] = "(row_key, collector, seq, instrument, tick_utc, local_offset, received_utc, age_ms, "
                                  "raw, state, host, os_user, prev_hash, hash) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);";

// A key is taken again once its row is gone (SQLite's last rowid, a server
// table made anew): the provenance another program left without its row gives
// way (its chain shows the gap).
QString provenanceInsert(const QSqlDatabase &db)
{
    if (!SqlBackend::isServer(db))
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

} // namespace

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
    sqlite3 *handle = SqlBackend::sqliteHandle(m_db);
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
    for (QString *value : {&p.instrument, &p.tickUtc, &p.receivedUtc, &p.state, &p.host, &p.user})
        *value = SqlBackend::storedText(*value, server);
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
    head.hash = readHead(db, "provenance", &head.seq, &ok);
    return head;
}

} // namespace Veltrano::Chain
