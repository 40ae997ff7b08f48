#include "measurementexport.h"

#include "xlsworkbook.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

namespace Veltrano::MeasurementExport {

QStringList columnNames()
{
    return {QStringLiteral("sampling_date"), QStringLiteral("sampling_time"), QStringLiteral("instrument_id"),
            QStringLiteral("result"), QStringLiteral("unit")};
}

bool readRows(XlsWorkbook &workbook, QString *error)
{
    QSqlQuery query;
    // Stepping forward only keeps the driver from caching every row.
    query.setForwardOnly(true);
    if (!query.exec(QString::fromLatin1(kSourceQuery))) {
        if (error)
            *error = query.lastError().databaseText();
        return false;
    }

    const QStringList names = columnNames();
    QVector<int> fields;
    for (const QString &name : names)
        fields << query.record().indexOf(name);
    QStringList values;
    while (query.next()) {
        values.clear();
        for (int field : qAsConst(fields))
            values << query.value(field).toString();
        workbook.appendRow(values);
    }
    if (query.lastError().isValid()) {
        if (error)
            *error = query.lastError().databaseText();
        return false;
    }
    return true;
}

} // namespace Veltrano::MeasurementExport
