#include "measurementmodel.h"

namespace Veltrano {

MeasurementModel::MeasurementModel(QObject *parent, const QSqlDatabase &db)
    : QSqlTableModel(parent, db)
{
    setEditStrategy(QSqlTableModel::OnManualSubmit);
}

void MeasurementModel::setUp()
{
    setTable(QStringLiteral("data"));
    setSort(Time, Qt::DescendingOrder);
    select();
    setHeaderData(Date, Qt::Horizontal, tr("Date"));
    setHeaderData(Time, Qt::Horizontal, tr("Time"));
    setHeaderData(InstrumentName, Qt::Horizontal, tr("Instrument id"));
    setHeaderData(Header, Qt::Horizontal, tr("Header id."));
    setHeaderData(Result, Qt::Horizontal, tr("Result"));
    setHeaderData(Unit, Qt::Horizontal, tr("Unit"));
}

Qt::ItemFlags MeasurementModel::flags(const QModelIndex &index) const
{
    return QSqlTableModel::flags(index) & ~Qt::ItemIsEditable;
}

QString MeasurementModel::orderByClause() const
{
    return QStringLiteral("ORDER BY sampling_date DESC, sampling_time DESC");
}

} // namespace Veltrano
