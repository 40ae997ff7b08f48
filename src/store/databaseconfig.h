#pragma once

#include <QCommandLineOption>
#include <QMap>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

namespace Veltrano::DatabaseConfig {

// Where the rows go. By default the file sqlite.db in the working folder;
// another SQLite file, or a PostgreSQL server shared by several collectors,
// when the command line says `--database FILE|URI` or the optional file
// database.ini holds
//   [database]
//   uri=postgresql://collector@db.lab.example/balances
// (the command line wins). A libpq connection URI or key=value string names a
// server (isServerUri); anything else is a file path, relative to the working
// folder. Passwords belong in libpq's own places (~/.pgpass, PGPASSWORD, a
// service file), never in our files.
inline constexpr char kFileName[] = "database.ini";
inline constexpr char kUriKey[] = "database/uri";
inline constexpr char kOption[] = "--database";

// Limits that keep a lost or busy server from freezing the window: how long a
// connection attempt, an unanswered network write and a wait for a table lock
// (an administrator's TRUNCATE, say) may take. Reads of any length are fine:
// an export of millions of rows runs as long as it needs.
inline constexpr int kConnectTimeoutSeconds = 3;
inline constexpr int kNetworkTimeoutMs = 5000;
inline constexpr int kLockTimeoutMs = 5000;

// The command line's `--database FILE|URI`: "The database to `use`: a file
// (default: `defaultPlace`), or a PostgreSQL server's connection URI ...".
QCommandLineOption commandLineOption(const QString &use, const QString &defaultPlace);

// The database chosen by `arguments` (the program's, the program name first)
// or database.ini; empty for sqlite.db. `--database=URI` works too.
QString chosenUri(const QStringList &arguments);

// Registers a connection for `uri` (empty: sqlite.db; a server, or a file
// path) under `connectionName` and sets it up, without opening it. A server
// connection gets the limits above unless the URI sets its own.
QSqlDatabase addDatabase(const QString &uri,
                         const QString &connectionName = QLatin1String(QSqlDatabase::defaultConnection));

// True when `text` is a libpq URI or key=value string rather than a file name.
bool isServerUri(const QString &text);

// The connection parameters a libpq URI or key=value string holds, by
// libpq's keyword (host, port, dbname, user, password, sslmode, ...).
QMap<QString, QString> parameters(const QString &uri);

// The file that keeps rows `db` refused until it takes them: beside a
// database file, its name with .pending added (sqlite.db.pending); for a
// server one file per server and database (server-1a2b3c4d.pending), beside
// the program, so that rows kept for one server are never written into
// another one named later.
QString pendingFileName(const QSqlDatabase &db = QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false));

// What puts a password where others can read it, one warning each (empty
// when nothing does): a password in a `uri` that the process's arguments
// hold (every user of the computer sees them), and a password in a
// database.ini that users other than its owner may read.
QStringList secretWarnings(const QString &uri, const QStringList &arguments);

// The server and database that `uri` names, for messages: "server
// db.lab.example, database balances". Never the password or the user.
QString serverName(const QString &uri);

// How messages name the database `uri` (empty: sqlite.db): a server by
// serverName, a file by its path.
QString displayName(const QString &uri);

} // namespace Veltrano::DatabaseConfig
