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

} // namespace Veltrano::MeasurementDb
