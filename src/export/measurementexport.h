#pragma once

#include "export/xlsxbook.h"
#include "store/rowsource.h"

#include <QDateTime>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <memory>

class QIODevice;

namespace Veltrano::MeasurementExport {

using DataRows::Column;
using DataRows::ColumnCount;
using DataRows::DateColumn;
using DataRows::kProvenanceColumnCount;
using DataRows::NameColumn;
using DataRows::Recorded;
using DataRows::recorded;
using DataRows::ResultColumn;
using DataRows::RowSource;
using DataRows::Selection;
using DataRows::TimeColumn;
using DataRows::UnitColumn;
using DataRows::Unmatched;
using DataRows::unmatchedInstruments;

// The worksheet and the exported columns (the stored `header` is not
// exported). CSV and .xlsx add kValueColumn after them.
inline constexpr char kSheetName[] = "data";
inline constexpr char kValueColumn[] = "value";
QStringList columnNames();
// What CSV and .xlsx can add after the value: each row's provenance state,
// when its reading was received (UTC), its age at the tick in seconds, and
// its hash in the chain. Empty for rows without provenance.
QStringList provenanceColumnNames();
// What a weighings export (CSV and .xlsx) has besides: the stored header,
// written before the result, and the weighing's sample, series, trigger,
// kind, operator and class after the unit, in place of the value.
QStringList weighingColumnNames();

enum class Format { Csv, Xlsx, Xls };
// The format a file name's extension stands for; false when none does.
bool formatForFileName(const QString &fileName, Format *format);

// The extension of a format's files, without the dot: "csv", "xlsx", "xls".
QString fileSuffix(Format format);
// The name a file of `format` is written to: a name whose extension stands
// for a format keeps it and sets `format` to it; any other name gets the
// extension of `format` added ("week" and "week.txt" as CSV: "week.csv" and
// "week.txt.csv").
QString fileNameForFormat(const QString &fileName, Format *format);

struct Request
{
    Format format = Format::Csv;
    // Written beside and put in place when complete; a device, a FIFO or a
    // socket is written directly instead, never replaced by a file.
    QString fileName;
    QIODevice *device = nullptr;  // CSV only: written here instead (standard output)
    QChar separator = QLatin1Char(',');
    bool decimalComma = false;    // CSV: the value as 12,5 rather than 12.5
    Selection selection;
    // Told the path of the temporary file when it is made, and an empty text
    // when it is gone (renamed into place or removed), so that a program can
    // remove it when it is killed.
    std::function<void(const QString &path)> temporaryFile;
    bool provenance = false;  // CSV and .xlsx: the provenance columns too
    bool weighings = false;   // CSV and .xlsx: only the weighings, with their columns
    // CSV and .xlsx (a sheet "series"): one line per series of weighings
    // instead, with its figures (see SeriesLines); `rows` counts the lines.
    bool series = false;
};

struct Result
{
    // Where it ended: Done, or the step that failed, or Cancelled.
    enum Step { Done, OpenTarget, ReadRows, WriteFile, ReplaceTarget, Cancelled } step = Done;
    QString error;        // the reason of a failure, for the user
    qint64 rows = 0;      // data rows written
    quint64 cutCells = 0; // texts longer than a spreadsheet cell takes, cut
    QString sha256;       // of the file written (none for a device, a FIFO)
};

// The SHA-256 of the file a request wrote, as hex digits; empty when it
// wrote a device or cannot be read back.
QString fileHash(const Request &request);

// What the audit trail keeps of a finished export (see Audit::kExported):
// file, format, range, instruments, rows and the file's SHA-256.
QJsonObject auditDetails(const Request &request, const Result &result);

// The reason of a failed or cancelled export, one line for the user.
QString describeFailure(const Result &result, const QString &fileName);

// Called now and then with the rows written and the rows selected (counted
// only when a progress function is given), the last time with both equal
// just before the file is finished (closing a large workbook takes a while);
// returning false cancels.
using Progress = std::function<bool(qint64 written, qint64 total)>;

// Writes the selected rows of `db` as asked. Whatever ends it short leaves no
// file and an older file at the same name as it was.
Result exportRows(const QSqlDatabase &db, const Request &request, const Progress &progress = {});

// Writes a table of its own (the balance check records, say) as CSV, or as
// .xlsx on the sheet `sheetName`: the names of `columns`, then `rows`, each
// with a cell per column. A number column's cells are written with a
// decimal comma when the request says so. As exportRows(), whatever ends it
// short leaves no file; the .xls workbook keeps its five columns and is refused.
Result exportTable(const Request &request, const QString &sheetName, const QVector<XlsxBook::Column> &columns,
                   const QVector<QStringList> &rows);

} // namespace Veltrano::MeasurementExport
