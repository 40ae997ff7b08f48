#include "store/sqlbackend.h"

#include <QSqlDriver>
#include <QSqlQuery>
#include <QVariant>

#include <sqlite3.h>

namespace Veltrano::SqlBackend {

bool isServer(const QSqlDriver *driver)
{
    return driver && driver->dbmsType() == QSqlDriver::PostgreSQL;
}

bool isServer(const QSqlDatabase &db)
{
    return db.driverName() == QLatin1String(kServerDriver);
}

QString keyColumn(const QSqlDatabase &db)
{
    return isServer(db) ? QStringLiteral("id") : QStringLiteral("rowid");
}

sqlite3 *sqliteHandle(const QSqlDatabase &db)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (db.driverName() != QLatin1String(kFileDriver) || !handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.data());
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

bool tableExists(QSqlQuery &query, const QString &name, bool *ok)
{
    *ok = query.prepare(QLatin1String(isServer(query.driver()) ? "SELECT to_regclass(?)::text AS name;"
                                                               : "SELECT name FROM sqlite_master WHERE type='table' AND name=?;"));
    query.addBindValue(name);
    *ok = *ok && query.exec();
    return *ok && query.next() && !query.value(0).toString().isEmpty();
}

bool tableExists(const QSqlDatabase &db, const QString &name)
{
    QSqlQuery query(db);
    bool ok = false;
    return tableExists(query, name, &ok);
}

bool columnExists(const QSqlDatabase &db, const QString &table, const QString &column)
{
    QSqlQuery query(db);
    if (isServer(db)) {
        query.prepare(QStringLiteral("SELECT 1 FROM information_schema.columns WHERE table_schema = current_schema() "
                                     "AND table_name = ? AND column_name = ?;"));
        query.addBindValue(table);
        query.addBindValue(column);
        return query.exec() && query.next();
    }
    query.prepare(QStringLiteral("SELECT 1 FROM pragma_table_info(?) WHERE name = ?;"));
    query.addBindValue(table);
    query.addBindValue(column);
    return query.exec() && query.next();
}

namespace {
thread_local ConnectionWatch *t_watch = nullptr;
} // namespace

void watchStatements(ConnectionWatch *watch)
{
    t_watch = watch;
}

ConnectionWatch *currentWatch()
{
    return t_watch;
}

} // namespace Veltrano::SqlBackend
