#include "store/weighingtable.h"

#include "store/sqlbackend.h"

#include <QSqlError>
#include <QSqlQuery>

namespace Veltrano::WeighingTable {

Writer::Writer(const QSqlDatabase &db)
    : m_db(db)
{
}

Writer::~Writer() = default;

bool Writer::write(const Weighing &weighing, const QVariant &key, QString *error)
{
    const bool server = SqlBackend::isServer(m_db);
    if (!m_insert) {
        m_insert = std::make_unique<QSqlQuery>(m_db);
        if (!m_insert->prepare(QStringLiteral("INSERT INTO weighing(row_key, %1) VALUES(?, ?, ?, ?, ?, ?, ?, ?);")
                                   .arg(QLatin1String(kColumns)))) {
            *error = m_insert->lastError().text();
            m_insert.reset();
            return false;
        }
    }
    QSqlQuery &query = *m_insert;
    query.bindValue(0, key);
    int index = 1;
    for (const QString *value : {&weighing.sample, &weighing.series, &weighing.trigger, &weighing.kind,
                                 &weighing.operatorName, &weighing.weighingClass, &weighing.nominal})
        query.bindValue(index++, SqlBackend::storedText(*value, server));
    if (SqlBackend::watched(m_db, [&query] { return query.exec(); }))
        return true;
    *error = query.lastError().text();
    return false;
}

} // namespace Veltrano::WeighingTable
