#pragma once

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

// The worksheet and the exported columns (the stored `header` is not
// exported). CSV and .xlsx add kValueColumn after them.
inline constexpr char kSheetName[] = "data";
inline constexpr char kValueColumn[] = "value";
QStringList columnNames();
enum Column { DateColumn, TimeColumn, NameColumn, ResultColumn, UnitColumn, ColumnCount };
// What CSV and .xlsx can add after the value: each row's provenance state,
// when its reading was received (UTC), its age at the tick in seconds, and
// its hash in the chain. Empty for rows without provenance.
inline constexpr int kProvenanceColumnCount = 4;
QStringList provenanceColumnNames();

// Which rows go out: both ends inclusive to the second, an invalid end is
// open; no names means every instrument, otherwise exact stored names.
struct Selection
{
    QDateTime from;
    QDateTime to;
    QStringList instruments;
};

// The selected rows of `data`, oldest first by date, time and row key, read
// forward only through the sort index. The rows are fetched in pages, each a
// short statement of its own, so that a long export never keeps a writer out
// of the database for longer than one page takes.
class PageReader;

class RowSource
{
public:
    // `provenance`: each row also gives kProvenanceColumnCount texts.
    RowSource(const QSqlDatabase &db, const Selection &selection, bool provenance = false);
    ~RowSource();
    RowSource(const RowSource &) = delete;
    RowSource &operator=(const RowSource &) = delete;

    // How many rows are selected; -1 on failure (see error()).
    qint64 count();
    // Steps to the next row and puts its ColumnCount texts (and the
    // provenance's) into `values`;
    // false at the end or on failure (see error()).
    bool next(QString *values);
    // The database's text of the last failure, empty when there was none.
    QString error() const { return m_error; }

private:
    QString conditions(bool afterKey) const;
    QVariantList bindings(bool afterKey) const;
    bool fail(const QString &error);

    QSqlDatabase m_db;
    Selection m_selection;
    QString m_key;
    bool m_provenance = false;
    bool m_provenanceTable = false;
    std::unique_ptr<PageReader> m_page;
    bool m_pageOpen = false;
    bool m_atEnd = false;
    int m_pageRows = 0;
    QVariant m_lastKey;
    QString m_lastDate;
    QString m_lastTime;
    QString m_error;
};

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

// What the audit trail keeps of a finished export (see Chain::kExported):
// file, format, range, instruments, rows and the file's SHA-256.
QJsonObject auditDetails(const Request &request, const Result &result);

// The reason of a failed or cancelled export, one line for the user.
QString describeFailure(const Result &result, const QString &fileName);

// What the table holds, to preset a choice of rows: the first and the last
// recorded date-time (invalid without rows) and the names, sorted.
struct Recorded
{
    QDateTime first;
    QDateTime last;
    QStringList instruments;
    QString error;  // the database's text when it could not be read
};
Recorded recorded(const QSqlDatabase &db);

// Of the exact names given, those that no recorded row carries, each with the
// recorded names that differ from it only in case.
struct Unmatched
{
    QString name;
    QStringList otherCase;
};
QList<Unmatched> unmatchedInstruments(const QSqlDatabase &db, const QStringList &names, QString *error);

// Called now and then with the rows written and the rows selected (counted
// only when a progress function is given), the last time with both equal
// just before the file is finished (closing a large workbook takes a while);
// returning false cancels.
using Progress = std::function<bool(qint64 written, qint64 total)>;

// Writes the selected rows of `db` as asked. Whatever ends it short leaves no
// file and an older file at the same name as it was.
Result exportRows(const QSqlDatabase &db, const Request &request, const Progress &progress = {});

} // namespace Veltrano::MeasurementExport
