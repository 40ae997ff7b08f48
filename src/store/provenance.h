#pragma once

#include "store/chainhash.h"
#include "support/row.h"

#include <QSqlDatabase>
#include <QString>
#include <QVariant>

#include <memory>

class QSqlQuery;
struct sqlite3_stmt;

// The provenance of the recorded rows: one row per row of `data` in the
// table `provenance`, keyed by its key (SQLite's rowid, a server's id),
// written in the same transaction, linked into its collector's chain (see
// chainhash.h). Rows written before the table existed have none; the audit
// entry "provenance began" says up to which key they go.
namespace Veltrano::Chain {

inline constexpr char kProvenanceTable[] = "provenance";
inline constexpr const char *kSqliteProvenanceTable[] = {
    "CREATE TABLE IF NOT EXISTS provenance(row_key INTEGER PRIMARY KEY, collector TEXT NOT NULL, seq INTEGER NOT NULL, "
    "instrument TEXT, tick_utc TEXT, local_offset INTEGER, received_utc TEXT, age_ms INTEGER, raw BLOB, state TEXT, "
    "host TEXT, os_user TEXT, prev_hash TEXT NOT NULL, hash TEXT NOT NULL, \"check\" TEXT);",
    "CREATE UNIQUE INDEX IF NOT EXISTS provenance_chain ON provenance(collector, seq);",
};
inline constexpr const char *kServerProvenanceTable[] = {
    "CREATE TABLE IF NOT EXISTS provenance(row_key bigint PRIMARY KEY, collector text NOT NULL, seq bigint NOT NULL, "
    "instrument text, tick_utc text, local_offset integer, received_utc text, age_ms bigint, raw bytea, state text, "
    "host text, os_user text, prev_hash text NOT NULL, hash text NOT NULL, \"check\" text);",
    "CREATE UNIQUE INDEX IF NOT EXISTS provenance_chain ON provenance(collector, seq);",
};

// Tables from before the check state gain its column.
inline constexpr char kAddCheckColumn[] = "ALTER TABLE provenance ADD COLUMN \"check\" text;";

// The provenance rows of one transaction: reads the collector's chain head,
// then links each row written after it. Used by MeasurementDb::insertRows
// inside its transaction.

class RowLinker
{
public:
    explicit RowLinker(const QSqlDatabase &db);
    ~RowLinker();
    // False (with the driver's text) when the head cannot be read.
    bool readHead(QString *error);
    // Writes the provenance of `row` (its six values as stored), which `data`
    // holds under `key`.
    bool link(const Row &row, const QVariant &key, QString *error);
    QString head() const { return m_head; }
    qint64 seq() const { return m_seq; }

private:
    // The values of the provenance insert, bound in turn.
    bool write(const QVariant *values, int count, QString *error);

    QSqlDatabase m_db;
    // Prepared at the first row, without and with a check state.
    std::unique_ptr<QSqlQuery> m_insert[2];
    // On a SQLite file, the insert goes through the driver's handle: the Qt
    // driver's cost per bound value is most of a row's.
    sqlite3_stmt *m_sqliteInsert[2] = {nullptr, nullptr};
    QString m_collector;
    QString m_head;
    qint64 m_seq = 0;
    QString m_host;
    QString m_user;
};

// The head of this collector's row chain: its seq and hash (0 and empty
// when the chain is empty or the table missing).
struct Head
{
    qint64 seq = 0;
    QString hash;
};
Head rowHead(const QSqlDatabase &db);

} // namespace Veltrano::Chain
