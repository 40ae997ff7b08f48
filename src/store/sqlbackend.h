#pragma once

#include "store/connectionwatch.h"

#include <QSqlDatabase>
#include <QString>

class QSqlDriver;
class QSqlQuery;
struct sqlite3;

// What differs between the two databases the rows go into, a SQLite file
// and a PostgreSQL server shared by several collectors, asked in one place.
namespace Veltrano::SqlBackend {

inline constexpr char kFileDriver[] = "QSQLITE";
inline constexpr char kServerDriver[] = "QPSQL";

// True when the connection (or the driver) is a server's.
bool isServer(const QSqlDatabase &db);
bool isServer(const QSqlDriver *driver);

// The column that orders rows stored within the same second and serves as a
// row key for paging: SQLite's rowid, or the key column a server table has.
QString keyColumn(const QSqlDatabase &db);

// The Qt SQLite driver's handle, when `db` is on it (null while closed).
sqlite3 *sqliteHandle(const QSqlDatabase &db);

// The text a value is stored as: a null text as an empty one and, on a
// server, the zero character as U+FFFD (a server's text cannot hold it).
QString storedText(const QString &text, bool server);

// Whether the table `name` exists; false with `*ok` false when the check failed.
bool tableExists(QSqlQuery &query, const QString &name, bool *ok);
bool tableExists(const QSqlDatabase &db, const QString &name);
// Whether `table` has the column `column` (false also when the table is missing).
bool columnExists(const QSqlDatabase &db, const QString &table, const QString &column);

// Statements of the inserts on this thread arm `watch` while they run, so
// that another thread can cut a connection that stopped answering (see
// ConnectionWatch). Null: none.
void watchStatements(ConnectionWatch *watch);
ConnectionWatch *currentWatch();

// Runs `statement` (a callable returning bool) with this thread's watch armed.
template<typename Statement>
bool watched(const QSqlDatabase &db, Statement statement);

} // namespace Veltrano::SqlBackend

template<typename Statement>
bool Veltrano::SqlBackend::watched(const QSqlDatabase &db, Statement statement)
{
    ConnectionWatch *watch = currentWatch();
    if (watch)
        watch->arm(db);
    const bool ok = statement();
    if (watch)
        watch->disarm();
    return ok;
}
