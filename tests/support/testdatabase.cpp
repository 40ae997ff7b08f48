#include "testdatabase.h"

#include "store/measurementdb.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

using Veltrano::MeasurementDb::kFileName;

bool openTestDatabase()
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(QString::fromLatin1(kFileName));
    if (!db.open())
        return false;
    QSqlQuery query(db);
    return Veltrano::MeasurementDb::ensureTable(query, nullptr) != Veltrano::MeasurementDb::TableState::Failed;
}

void closeTestDatabase()
{
    QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
}

bool insertTestRow(const QStringList &values) { return insertTestRows({values}); }

bool insertTestRows(const QList<QStringList> &rows)
{
    QSqlDatabase db = QSqlDatabase::database();
    QSqlQuery query(db);
    if (!db.transaction() || !query.prepare(QStringLiteral("INSERT INTO data VALUES(?, ?, ?, ?, ?, ?)")))
        return false;
    for (const QStringList &row : rows) {
        for (int i = 0; i < 6; ++i)
            query.bindValue(i, row.value(i));
        if (row.size() != 6 || !query.exec()) {
            db.rollback();
            return false;
        }
    }
    return db.commit();
}

QStringList allTestRows()
{
    QStringList rows;
    for (QSqlQuery query(QStringLiteral("SELECT * FROM data ORDER BY rowid")); query.next();) {
        QStringList fields;
        for (int i = 0; i < 6; ++i)
            fields << query.value(i).toString();
        rows << fields.join(QLatin1Char('|'));
    }
    return rows;
}

bool prepareDatabaseFile(const QStringList &statements)
{
    bool ok;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("prepare"));
        db.setDatabaseName(QString::fromLatin1(kFileName));
        ok = db.open();
        for (int i = 0; ok && i < statements.size(); ++i)
            ok = QSqlQuery(db).exec(statements.at(i));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("prepare"));
    return ok;
}
