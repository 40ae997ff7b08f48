#pragma once

#include <QSqlTableModel>

namespace Veltrano {

// The rows of `data` as the main window shows them: newest first (by date,
// then time; both are fixed-width ISO texts) and read-only. The table has no
// key, so an edit would be written back to every row with the same values.
class MeasurementModel : public QSqlTableModel
{
    Q_OBJECT
public:
    enum Column { Date = 0, Time, InstrumentName, Header, Result, Unit, ColumnCount };

    explicit MeasurementModel(QObject *parent = nullptr, const QSqlDatabase &db = QSqlDatabase());

    // Table name, sort, and the header labels of the six columns.
    void setUp();

    Qt::ItemFlags flags(const QModelIndex &index) const override;

protected:
    QString orderByClause() const override;
};

} // namespace Veltrano
