#pragma once

#include <QSqlDatabase>
#include <QString>

// The archive of cleared rows: a Clear never destroys a recorded row, it
// moves every row of `data` with its provenance and its weighing, in the
// clear's transaction, into `cleared_data`, `cleared_provenance` and
// `cleared_weighing`, under the number of the clear (the table `clears`:
// when and by whom). The clear's audit entry names that number. Nothing in
// Veltrano updates or deletes an archived row, and the rows' chains go on
// across the archive: the next row of a collector follows its last archived
// one.
//
// On a server whose administrator installed the roles (see
// dist/postgresql-roles.sql) the move is the server function veltrano_clear,
// which only a supervisor may call; without it the login itself needs the
// rights on the tables.
namespace Veltrano::Archive {

inline constexpr char kClears[] = "clears";
inline constexpr char kData[] = "cleared_data";
inline constexpr char kProvenance[] = "cleared_provenance";
inline constexpr char kWeighing[] = "cleared_weighing";
// The server function of the roles, and its call.
inline constexpr char kServerFunction[] = "veltrano_clear(text)";

inline constexpr const char *kSqliteTables[] = {
    "CREATE TABLE IF NOT EXISTS clears(id INTEGER PRIMARY KEY AUTOINCREMENT, cleared_at TEXT NOT NULL, "
    "cleared_by TEXT NOT NULL);",
    "CREATE TABLE IF NOT EXISTS cleared_data(clear_id INTEGER NOT NULL, row_key INTEGER NOT NULL, sampling_date date, "
    "sampling_time time, instrument_id varchar, header varchar, result varchar, unit varchar, cleared_at TEXT NOT NULL, "
    "cleared_by TEXT NOT NULL, PRIMARY KEY(clear_id, row_key));",
    "CREATE TABLE IF NOT EXISTS cleared_provenance(clear_id INTEGER NOT NULL, row_key INTEGER NOT NULL, collector TEXT "
    "NOT NULL, seq INTEGER NOT NULL, instrument TEXT, tick_utc TEXT, local_offset INTEGER, received_utc TEXT, age_ms "
    "INTEGER, raw BLOB, state TEXT, host TEXT, os_user TEXT, prev_hash TEXT NOT NULL, hash TEXT NOT NULL, \"check\" "
    "TEXT, PRIMARY KEY(clear_id, row_key));",
    "CREATE INDEX IF NOT EXISTS cleared_provenance_chain ON cleared_provenance(collector, seq);",
    "CREATE TABLE IF NOT EXISTS cleared_weighing(clear_id INTEGER NOT NULL, row_key INTEGER NOT NULL, sample TEXT, "
    "series TEXT, trigger TEXT, kind TEXT, operator TEXT, class TEXT, nominal TEXT, PRIMARY KEY(clear_id, row_key));",
};
inline constexpr const char *kServerTables[] = {
    "CREATE TABLE IF NOT EXISTS clears(id bigserial PRIMARY KEY, cleared_at text NOT NULL, cleared_by text NOT NULL);",
    "CREATE TABLE IF NOT EXISTS cleared_data(clear_id bigint NOT NULL, row_key bigint NOT NULL, sampling_date text "
    "COLLATE \"C\", sampling_time text COLLATE \"C\", instrument_id text, header text, result text, unit text, "
    "cleared_at text NOT NULL, cleared_by text NOT NULL, PRIMARY KEY(clear_id, row_key));",
    "CREATE TABLE IF NOT EXISTS cleared_provenance(clear_id bigint NOT NULL, row_key bigint NOT NULL, collector text NOT "
    "NULL, seq bigint NOT NULL, instrument text, tick_utc text, local_offset integer, received_utc text, age_ms bigint, "
    "raw bytea, state text, host text, os_user text, prev_hash text NOT NULL, hash text NOT NULL, \"check\" text, "
    "PRIMARY KEY(clear_id, row_key));",
    "CREATE INDEX IF NOT EXISTS cleared_provenance_chain ON cleared_provenance(collector, seq);",
    "CREATE TABLE IF NOT EXISTS cleared_weighing(clear_id bigint NOT NULL, row_key bigint NOT NULL, sample text, "
    "series text, trigger text, kind text, operator text, class text, nominal text, PRIMARY KEY(clear_id, row_key));",
};

// Whether the archive's tables are there.
bool exists(const QSqlDatabase &db);
// Makes the archive's tables when missing; false with the driver's text.
bool ensureTables(const QSqlDatabase &db, QString *error);

// Why this login may not clear (empty when it may): on a server with the
// roles, a login that may not call the function; without them, one that may
// not delete from `data`. Read only.
QString refusal(const QSqlDatabase &db);
// What the window tells a login that may not clear.
inline constexpr char kSupervisorNeeded[] =
    "Clear needs a supervisor's login to the database server: with this login the recorded rows cannot be "
    "archived. Nothing was cleared.";

// What one clear moved.
struct Moved
{
    qint64 clearId = 0;
    qint64 rows = 0;
    qint64 withoutProvenance = 0;  // rows recorded before the chains began
};

// Moves every row of `data`, its provenance and its weighing into the
// archive as clear number `moved->clearId`, within the caller's transaction
// (on a server the tables are locked until it ends, so that no row committed
// meanwhile is left behind or half moved). False with the database's text.
bool moveAll(const QSqlDatabase &db, Moved *moved, QString *error);

// Who clears, as the archive keeps it: the operating-system user and host.
QString clearedBy();

} // namespace Veltrano::Archive
