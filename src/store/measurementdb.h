#pragma once

#include "support/row.h"

#include <QMetaType>
#include <QSqlDatabase>
#include <QString>
#include <QVector>

class QSqlQuery;

namespace Veltrano::MeasurementDb {

// The measurement database: one file, one table, six text columns.
inline constexpr char kFileName[] = "sqlite.db";
// How long a statement waits for another program's lock before it fails.
inline constexpr int kBusyTimeoutMs = 100;
// Rows the database refused, kept until it takes them (see MeasurementStore).
inline constexpr char kPendingFileName[] = "sqlite.db.pending";
inline constexpr char kTableCheck[] = "SELECT name FROM sqlite_master WHERE type='table' AND name='data';";
inline constexpr char kCreateTable[] =
    "CREATE TABLE data(sampling_date date, sampling_time time, instrument_id varchar, "
    "header varchar, result varchar, unit varchar);";
// Serves the view's newest-first order (date, then time) without sorting the
// whole table at every reload. Existing files gain it at the next start; the
// table and its rows stay as they are.
inline constexpr char kCreateSortIndex[] =
    "CREATE INDEX IF NOT EXISTS data_sampling_order ON data(sampling_date, sampling_time);";

// The same table on a PostgreSQL server shared by several collectors. The six
// columns come first and hold text, so every reader gets exactly the texts
// SQLite gives (2026-12-07, 14:05:09); date and time compare byte by byte
// whatever the server's locale. The key column orders rows of the same second
// and pages the view. Several collectors may start at once: IF NOT EXISTS.
inline constexpr char kServerTableCheck[] = "SELECT to_regclass('data')::text AS name;";
inline constexpr char kServerCreateTable[] =
    "CREATE TABLE IF NOT EXISTS data(sampling_date text COLLATE \"C\", sampling_time text COLLATE \"C\", "
    "instrument_id text, header text, result text, unit text, id bigserial PRIMARY KEY);";
inline constexpr char kServerCreateSortIndex[] =
    "CREATE INDEX IF NOT EXISTS data_sampling_order ON data(sampling_date, sampling_time, id);";

enum class TableState {
    Present,  // the table was there already
    Created,  // the table was missing and has been created
    Failed,   // the file cannot hold our table (not a database, read-only, ...)
};

// One row of `data` (see Veltrano::Row).
using Row = Veltrano::Row;

// The insert of one row. Every value is bound, so any text is stored exactly
// as given, quotes included.
inline constexpr char kInsert[] =
    "INSERT INTO data(sampling_date, sampling_time, instrument_id, header, result, unit) "
    "VALUES(?, ?, ?, ?, ?, ?);";
inline constexpr char kServerInsert[] =
    "INSERT INTO data(sampling_date, sampling_time, instrument_id, header, result, unit) "
    "VALUES(?, ?, ?, ?, ?, ?) RETURNING id;";

// Writes `row` on `db` (the default connection unless given). A null text is
// written as an empty one. A lost server connection is opened again once.
// On failure `error` receives the driver's text.
bool insertRow(const Row &row, QString *error, const QSqlDatabase &db = QSqlDatabase::database());

// A server connection that no longer answers (the server restarted, the
// network was down) is closed and opened again: true when that was needed and
// worked. A file database, or a server that answers, is left alone. After an
// attempt that waited kSlowConnectMs or more for an answer, the next comes
// kReconnectGapMs later at the earliest.
inline constexpr int kSlowConnectMs = 1000;
inline constexpr int kReconnectGapMs = 10000;
bool reconnectIfLost(const QSqlDatabase &db = QSqlDatabase::database());

// A row as the database took it: its key and its hash in the chain.
struct StoredRow
{
    Row row;
    qint64 key = 0;
    QString hash;
};

// Writes `rows` in their order, in one transaction: all or none, each with
// its provenance, linked into this collector's chain (see provenance.h).
// On failure `error` receives the driver's text and `failedAt` the index of
// the row whose insert failed (that of the last row when the commit did).
// `stored`, when given, receives each row with its key and hash once the
// transaction is committed.
bool insertRows(const QVector<Row> &rows, QString *error, int *failedAt,
                const QSqlDatabase &db = QSqlDatabase::database(), QVector<StoredRow> *stored = nullptr);

// The insert as an operator reads it in an error report: the statement with
// each value written between single quotes. Never executed.
QString describeInsert(const Row &row);

// Makes sure the table `data` exists, using `query` (bound to the default
// connection) for the check and the creation, with the statements of the
// query's backend. A table another collector created meanwhile is Present.
// On failure `error` receives the driver's text. The sort index is added too; the program works without it
// (only slower), so a failure to create it is traced and not reported.
TableState ensureTable(QSqlQuery &query, QString *error);

// Adds the sort index when it is missing. On failure `error` receives the
// driver's text.
bool ensureSortIndex(QSqlQuery &query, QString *error);

// Whether the side tables of the rows' provenance and the audit trail exist.
bool sideTablesExist(const QSqlDatabase &db);

// Creates the side tables when missing, with the statements of `db`'s
// backend. When the table `provenance` is new, the audit trail gets its
// "provenance began" entry with the rows `data` held then. On failure
// `error` receives the driver's text.
bool ensureSideTables(const QSqlDatabase &db, QString *error);

// Moves every row of `data` with its provenance and weighing into the
// archive (see Archive), and appends the audit entry "clear" (how many rows,
// the archive's number of the clear, the chain's head before), all in one
// transaction. On failure `error` receives the database's text.
bool clearRows(const QSqlDatabase &db, QString *error);

} // namespace Veltrano::MeasurementDb

Q_DECLARE_METATYPE(Veltrano::MeasurementDb::StoredRow)
