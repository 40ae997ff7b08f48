#pragma once

#include <QString>
#include <QStringList>

namespace Veltrano {

class XlsWorkbook;

namespace MeasurementExport {

// The worksheet, its columns (the stored `header` is not exported), and the
// rows in the order they were recorded: by date, then time, then insertion.
inline constexpr char kSheetName[] = "data";
inline constexpr char kSourceQuery[] =
    "SELECT sampling_date, sampling_time, instrument_id, header, result, unit FROM data "
    "ORDER BY sampling_date, sampling_time, rowid;";
QStringList columnNames();

// Appends every stored row of the default connection's table `data` to
// `workbook`, values as they are. On failure `error` receives the database's
// text and the workbook may hold some of the rows.
bool readRows(XlsWorkbook &workbook, QString *error);

} // namespace MeasurementExport
} // namespace Veltrano
