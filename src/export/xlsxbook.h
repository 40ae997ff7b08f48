#pragma once

#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

struct lxw_workbook;
struct lxw_worksheet;
struct lxw_format;

namespace Veltrano {

// An Excel 2007+ workbook written row by row through libxlsxwriter in its
// constant-memory mode: each finished row goes to a temporary file in the
// workbook's folder, so memory stays flat however many rows there are.
//
// Every sheet starts with the row of column names, bold and frozen, and its
// columns are wide enough for their names and for the dates and times; past
// the rows a sheet holds the table goes on over sheets named after the first
// one: "data", "data_2", "data_3", ...
class XlsxBook
{
public:
    // How a column's texts become cells. Texts that are not what the column
    // expects (an empty value, a malformed date) are written as text.
    enum Kind {
        Text,
        Date,    // 2026-12-06, a date cell shown as yyyy-mm-dd
        Time,    // 14:05:09, a time cell shown as hh:mm:ss
        Number,  // 12.50, a number cell shown with the text's decimals; empty text: no cell
    };
    struct Column
    {
        QString name;
        Kind kind;
    };

    // A sheet holds 1,048,576 rows: the column names and this many data rows.
    static constexpr qint64 kDataRowsPerSheet = 1048575;

    XlsxBook(const QString &fileName, const QString &sheetName, const QVector<Column> &columns,
             qint64 dataRowsPerSheet = kDataRowsPerSheet);
    ~XlsxBook();  // abandons an unfinished workbook
    XlsxBook(const XlsxBook &) = delete;
    XlsxBook &operator=(const XlsxBook &) = delete;

    bool appendRow(const QString *cells, int count);
    // Writes the file; on failure errorString() says why.
    bool close();
    QString errorString() const { return m_error; }
    // Texts longer than a cell takes (32,767 characters), cut to that.
    quint64 cutCellCount() const { return m_cut; }

private:
    bool addSheet();
    bool writeText(int column, const QString &text, lxw_format *format = nullptr);
    lxw_format *numberFormat(const QString &text);
    bool check(int error);

    QString m_sheetName;
    QVector<Column> m_columns;
    qint64 m_rowsPerSheet;
    QByteArray m_tmpDir;
    lxw_workbook *m_book = nullptr;
    lxw_worksheet *m_sheet = nullptr;
    lxw_format *m_dateFormat = nullptr;
    lxw_format *m_timeFormat = nullptr;
    lxw_format *m_headerFormat = nullptr;
    QVector<lxw_format *> m_numberFormats;  // by decimals
    QVector<lxw_worksheet *> m_sheets;
    qint64 m_row = 0;  // next row on the current sheet
    quint64 m_cut = 0;
    QString m_error;
};

} // namespace Veltrano
