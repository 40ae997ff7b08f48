#pragma once

#include "support/row.h"

#include <QSqlDatabase>
#include <QString>
#include <QVariant>

#include <memory>

class QSqlQuery;

// The weighings: one row of the table `weighing` per row of `data` that is a
// weighing, keyed by the row's key and written in the same transaction. Its
// values are covered by the row's hash (see chainhash.h).
namespace Veltrano::WeighingTable {

inline constexpr char kTable[] = "weighing";
inline constexpr const char *kSqliteTable[] = {
    "CREATE TABLE IF NOT EXISTS weighing(row_key INTEGER PRIMARY KEY, sample TEXT, series TEXT, trigger TEXT, "
    "kind TEXT, operator TEXT, class TEXT, nominal TEXT);",
    "CREATE INDEX IF NOT EXISTS weighing_series ON weighing(series);",
};
inline constexpr const char *kServerTable[] = {
    "CREATE TABLE IF NOT EXISTS weighing(row_key bigint PRIMARY KEY, sample text, series text, trigger text, "
    "kind text, operator text, class text, nominal text);",
    "CREATE INDEX IF NOT EXISTS weighing_series ON weighing(series);",
};
// The columns, as the readers select them after the row key.
inline constexpr char kColumns[] = "sample, series, trigger, kind, operator, class, nominal";

// Writes the weighing of rows within one transaction; prepared once.
class Writer
{
public:
    explicit Writer(const QSqlDatabase &db);
    ~Writer();
    // Writes `weighing` of the row `data` holds under `key`.
    bool write(const Weighing &weighing, const QVariant &key, QString *error);

private:
    QSqlDatabase m_db;
    std::unique_ptr<QSqlQuery> m_insert;
};

} // namespace Veltrano::WeighingTable
