#pragma once

#include <QString>

class QSqlQuery;

namespace Veltrano::MeasurementDb {

// The measurement database: one file, one table, six text columns.
inline constexpr char kFileName[] = "sqlite.db";
inline constexpr char kTableCheck[] = "SELECT name FROM sqlite_master WHERE type='table' AND name='data';";
inline constexpr char kCreateTable[] =
    "CREATE TABLE data(sampling_date date, sampling_time time, instrument_id varchar, "
    "header varchar, result varchar, unit varchar);";
// Serves the view's newest-first order (date, then time) without sorting the
// whole table at every reload. Existing files gain it at the next start; the
// table and its rows stay as they are.
inline constexpr char kCreateSortIndex[] =
    "CREATE INDEX IF NOT EXISTS data_sampling_order ON data(sampling_date, sampling_time);";

enum class TableState {
    Present,  // the table was there already
    Created,  // the table was missing and has been created
    Failed,   // the file cannot hold our table (not a database, read-only, ...)
};

// Makes sure the table `data` exists, using `query` (bound to the default
// connection) for the check and the creation. On failure `error` receives the
// driver's text. The sort index is added too; the program works without it
// (only slower), so a failure to create it is traced and not reported.
TableState ensureTable(QSqlQuery &query, QString *error);

// Adds the sort index when it is missing. On failure `error` receives the
// driver's text.
bool ensureSortIndex(QSqlQuery &query, QString *error);

} // namespace Veltrano::MeasurementDb
