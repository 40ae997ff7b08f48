#include "export/xlsxbook.h"

#include "export/xlsworkbook.h"

#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTime>

#include <xlsxwriter.h>

#include <cerrno>
#include <cstdio>

namespace Veltrano {

XlsxBook::XlsxBook(const QString &fileName, const QString &sheetName, const QVector<Column> &columns,
                   qint64 dataRowsPerSheet)
    : m_sheetName(sheetName)
    , m_columns(columns)
    , m_rowsPerSheet(dataRowsPerSheet)
    , m_tmpDir(QFile::encodeName(QFileInfo(fileName).absolutePath()))
{
    // The rows wait in the workbook's own folder rather than in a temporary
    // folder that may live in memory.
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    options.tmpdir = m_tmpDir.data();
    m_book = workbook_new_opt(QFile::encodeName(fileName).constData(), &options);
    if (!m_book) {
        m_error = QStringLiteral("cannot create the workbook");
        return;
    }
    m_dateFormat = workbook_add_format(m_book);
    format_set_num_format(m_dateFormat, "yyyy-mm-dd");
    m_timeFormat = workbook_add_format(m_book);
    format_set_num_format(m_timeFormat, "hh:mm:ss");
    m_headerFormat = workbook_add_format(m_book);
    format_set_bold(m_headerFormat);
    addSheet();
}

XlsxBook::~XlsxBook()
{
    if (m_book)
        lxw_workbook_free(m_book);
}

bool XlsxBook::check(int error)
{
    if (error == LXW_NO_ERROR)
        return true;
    if (m_error.isEmpty())
        m_error = QString::fromUtf8(lxw_strerror(lxw_error(error)));
    return false;
}

bool XlsxBook::addSheet()
{
    const int number = m_sheets.size() + 1;
    const QString name = number == 1 ? m_sheetName : m_sheetName + QLatin1Char('_') + QString::number(number);
    m_sheet = workbook_add_worksheet(m_book, name.toUtf8().constData());
    if (!m_sheet || !m_sheet->optimize_tmpfile) {
        m_error = QStringLiteral("cannot add the sheet %1").arg(name);
        return false;
    }
    m_sheets << m_sheet;
    m_row = 0;
    worksheet_freeze_panes(m_sheet, 1, 0);
    for (int c = 0; c < m_columns.size(); ++c) {
        // In characters of the default font: a bold name and a little room,
        // yyyy-mm-dd and hh:mm:ss whole (Excel shows ##### for a date that
        // does not fit), and room for a balance's reading.
        static const double kWidths[] = {12, 11.5, 10, 12};  // by Kind
        const Column &column = m_columns.at(c);
        const double width = qMax(kWidths[column.kind], column.name.size() * 1.15 + 2);
        if (!check(worksheet_set_column(m_sheet, lxw_col_t(c), lxw_col_t(c), width, nullptr))
            || !writeText(c, column.name, m_headerFormat))
            return false;
    }
    m_row = 1;
    return true;
}

bool XlsxBook::writeText(int column, const QString &text, lxw_format *format)
{
    QStringView cell(text);
    if (cell.size() > SharedStrings::kMaxLength) {
        ++m_cut;
        cell = cell.left(SharedStrings::kMaxLength - int(cell.at(SharedStrings::kMaxLength - 1).isHighSurrogate()));
    }
    // Readers turn _xHHHH_ into the character it names (the writer spells
    // control characters that way), so such a text of our own is kept by
    // escaping its underscore.
    QByteArray utf8;
    if (cell.contains(QLatin1String("_x"))) {
        static const QRegularExpression escapeLike(QStringLiteral("_(x[0-9A-Fa-f]{4}_)"));
        utf8 = cell.toString().replace(escapeLike, QStringLiteral("_x005F_\\1")).toUtf8();
    } else {
        utf8 = cell.toUtf8();
    }
    return check(worksheet_write_string(m_sheet, lxw_row_t(m_row), lxw_col_t(column), utf8.constData(), format));
}

// 0, 0.0, 0.00, ...: as many decimals as the text has, so that a balance's
// 12.5130 is shown so and not as 12.513. An exponent keeps the General format.
lxw_format *XlsxBook::numberFormat(const QString &text)
{
    constexpr int kMostDecimals = 15;  // what a double holds
    if (text.contains(QLatin1Char('e'), Qt::CaseInsensitive))
        return nullptr;
    const int point = text.indexOf(QLatin1Char('.'));
    const int decimals = qMin(point < 0 ? 0 : text.size() - point - 1, kMostDecimals);
    if (m_numberFormats.isEmpty())
        m_numberFormats.fill(nullptr, kMostDecimals + 1);
    lxw_format *&format = m_numberFormats[decimals];
    if (!format) {
        format = workbook_add_format(m_book);
        const QByteArray pattern = decimals ? "0." + QByteArray(decimals, '0') : QByteArray("0");
        format_set_num_format(format, pattern.constData());
    }
    return format;
}

bool XlsxBook::appendRow(const QString *cells, int count)
{
    if (!m_sheet || !m_error.isEmpty())
        return false;
    if (m_row > m_rowsPerSheet && !addSheet())
        return false;
    // Excel counts days from 1899-12-30 (it takes 1900 for a leap year, so
    // earlier dates would be shown a day off: they stay text).
    static const QDate excelEpoch(1899, 12, 30);
    static const QDate firstExact(1900, 3, 1);
    const lxw_row_t row = lxw_row_t(m_row);
    for (int c = 0; c < count && c < m_columns.size(); ++c) {
        const QString &text = cells[c];
        const lxw_col_t col = lxw_col_t(c);
        int error = LXW_NO_ERROR;
        switch (m_columns.at(c).kind) {
        case Date:
            if (text.size() == 10) {
                const QDate date = QDate::fromString(text, Qt::ISODate);
                if (date.isValid() && date >= firstExact) {
                    error = worksheet_write_number(m_sheet, row, col, double(excelEpoch.daysTo(date)), m_dateFormat);
                    break;
                }
            }
            error = writeText(c, text) ? LXW_NO_ERROR : -1;
            break;
        case Time:
            if (text.size() == 8) {
                const QTime time = QTime::fromString(text, Qt::ISODate);
                if (time.isValid()) {
                    error = worksheet_write_number(m_sheet, row, col, time.msecsSinceStartOfDay() / 86400000.0,
                                                   m_timeFormat);
                    break;
                }
            }
            error = writeText(c, text) ? LXW_NO_ERROR : -1;
            break;
        case Number: {
            bool ok = false;
            const double value = text.toDouble(&ok);
            if (ok && qIsFinite(value))
                error = worksheet_write_number(m_sheet, row, col, value, numberFormat(text));
            else if (!text.isEmpty())
                error = writeText(c, text) ? LXW_NO_ERROR : -1;
            break;
        }
        case Text:
            error = writeText(c, text) ? LXW_NO_ERROR : -1;
            break;
        }
        if (error != LXW_NO_ERROR)
            return error == -1 ? false : check(error);
    }
    ++m_row;
    return true;
}

bool XlsxBook::close()
{
    if (!m_book)
        return false;
    // The library does not look at how its writes of the rows to the
    // temporary files went (a full disk would leave rows out of the sheet
    // without a word); the streams remember a failure.
    for (lxw_worksheet *sheet : qAsConst(m_sheets)) {
        if (std::fflush(sheet->optimize_tmpfile) != 0 || std::ferror(sheet->optimize_tmpfile)) {
            m_error = QStringLiteral("cannot write the rows to a temporary file: %1").arg(qt_error_string(errno));
            return false;
        }
    }
    const lxw_error error = workbook_close(m_book);  // frees the workbook in any case
    m_book = nullptr;
    m_sheet = nullptr;
    return check(error) && m_error.isEmpty();
}

} // namespace Veltrano
