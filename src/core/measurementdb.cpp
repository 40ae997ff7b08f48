#include "measurementdb.h"

#include "trace.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace Veltrano::MeasurementDb {

TableState ensureTable(QSqlQuery &query, QString *error)
{
    auto fail = [&]() {
        if (error)
            *error = query.lastError().text();
        return TableState::Failed;
    };

    if (!query.exec(QString::fromLatin1(kTableCheck)))
        return fail();
    TableState state = TableState::Present;
    if (!query.next() || query.value(QStringLiteral("name")).toString().isEmpty()) {
        if (!query.exec(QString::fromLatin1(kCreateTable)))
            return fail();
        state = TableState::Created;
    }

    QString indexError;
    if (!ensureSortIndex(query, &indexError))
        VTRACE << "sort index not created, the view will be slower:" << indexError;
    return state;
}

bool ensureSortIndex(QSqlQuery &query, QString *error)
{
    if (query.exec(QString::fromLatin1(kCreateSortIndex)))
        return true;
    if (error)
        *error = query.lastError().text();
    return false;
}

QString keyColumn(const QSqlDatabase &db)
{
    return db.driverName() == QLatin1String("QPSQL") ? QStringLiteral("id") : QStringLiteral("rowid");
}

bool insertRow(const Row &row, QString *error, const QSqlDatabase &db)
{
    QSqlQuery query(db);
    if (query.prepare(QString::fromLatin1(kInsert))) {
        for (const QString *value : {&row.date, &row.time, &row.name, &row.header, &row.result, &row.unit})
            query.addBindValue(value->isNull() ? QLatin1String("") : *value);
        if (query.exec())
            return true;
    }
    if (error)
        *error = query.lastError().text();
    return false;
}

bool insertRows(const QVector<Row> &rows, QString *error, int *failedAt, const QSqlDatabase &db)
{
    if (rows.size() == 1) {
        *failedAt = 0;
        return insertRow(rows.first(), error, db);
    }
    QSqlDatabase connection = db;
    *failedAt = 0;
    if (!connection.transaction()) {
        *error = connection.lastError().text();
        return false;
    }
    for (const Row &row : rows) {
        if (!insertRow(row, error, db)) {
            connection.rollback();
            return false;
        }
        ++*failedAt;
    }
    *failedAt = rows.size() - 1;
    if (connection.commit())
        return true;
    *error = connection.lastError().text();
    connection.rollback();
    return false;
}

QString describeInsert(const Row &row)
{
    const QLatin1String separator("','");
    return QLatin1String("INSERT INTO data(sampling_date, sampling_time, instrument_id, header, result, unit) VALUES('")
           + row.date + separator + row.time + separator + row.name + separator + row.header + separator + row.result
           + separator + row.unit + QLatin1String("');");
}

} // namespace Veltrano::MeasurementDb
