#include "measurementdb.h"

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
    if (query.next() && !query.value(QStringLiteral("name")).toString().isEmpty())
        return TableState::Present;

    if (!query.exec(QString::fromLatin1(kCreateTable)))
        return fail();
    return TableState::Created;
}

} // namespace Veltrano::MeasurementDb
