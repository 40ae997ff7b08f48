#pragma once

#include "support/limits.h"

#include <QString>
#include <QStringList>
#include <QStringView>
#include <QVector>
#include <QtGlobal>

#include <memory>
#include <vector>

class QIODevice;

namespace Veltrano {

// A list that grows in fixed chunks: no reallocation and copying of
// everything when it grows, and little unused room at its end.
template<typename T>
class ChunkedArray
{
public:
    void append(T value)
    {
        if ((m_size >> kShift) == m_chunks.size())
            m_chunks.emplace_back(new T[kChunk]);
        m_chunks[m_size >> kShift][m_size & (kChunk - 1)] = value;
        ++m_size;
    }
    T at(size_t i) const { return m_chunks[i >> kShift][i & (kChunk - 1)]; }
    size_t size() const { return m_size; }

private:
    static constexpr int kShift = 16;
    static constexpr size_t kChunk = size_t(1) << kShift;
    std::vector<std::unique_ptr<T[]>> m_chunks;
    size_t m_size = 0;
};

// The distinct texts of a workbook in order of first use, stored back to
// back in chunks, with an open-addressing hash table of their indices.
class SharedStrings
{
public:
    // Longest text a cell can hold; longer ones are cut to this.
    static constexpr int kMaxLength = Limits::kCellText;

    // The index of `text` (cut to kMaxLength), added when new.
    quint32 add(QStringView text);
    quint32 count() const { return quint32(m_lengths.size()); }
    QStringView at(quint32 index) const;
    // How many texts given to add() were longer than a cell holds.
    quint64 cutCount() const { return m_cut; }

private:
    void grow();

    static constexpr int kPoolShift = 18;
    std::vector<std::unique_ptr<char16_t[]>> m_pool;
    quint32 m_used = 0;  // code units, counted over all chunks
    quint64 m_cut = 0;
    ChunkedArray<quint32> m_starts;
    ChunkedArray<quint16> m_lengths;
    std::vector<quint32> m_slots;  // index + 1, or 0 for empty
};

// An Excel 97-2003 workbook (BIFF8 in a Compound File) of text cells.
//
// Every sheet starts with the same row of column names; the data rows follow,
// at most 65,535 on a sheet, so that a long table goes on over sheets named
// after the first one: "data", "data_2", "data_3", ...
//
// Rows are kept as indices into the table of distinct texts, which is all a
// workbook file needs before its sheets: write() then streams the records
// into the device (seekable, e.g. a QSaveFile) without building the file in
// memory.
class XlsWorkbook
{
public:
    // A sheet holds 65,536 rows: the column names and this many data rows.
    static constexpr int kDataRowsPerSheet = 65535;

    XlsWorkbook(const QString &sheetName, const QStringList &columnNames);
    ~XlsWorkbook();
    XlsWorkbook(const XlsWorkbook &) = delete;
    XlsWorkbook &operator=(const XlsWorkbook &) = delete;

    // One row of text cells; missing values are empty, extra ones ignored.
    void appendRow(const QStringList &values);

    qint64 rowCount() const;
    // Cells whose text was longer than Excel allows and had to be cut.
    quint64 cutCellCount() const { return m_strings.cutCount(); }
    QStringList sheetNames() const;

    // Writes the complete file; on failure errorString() says why.
    bool write(QIODevice *device);
    QString errorString() const { return m_error; }

private:
    QString m_sheetName;
    SharedStrings m_strings;
    QVector<quint32> m_header;      // the column names' string indices
    ChunkedArray<quint32> m_cells;  // string indices, row by row
    QString m_error;
};

} // namespace Veltrano
