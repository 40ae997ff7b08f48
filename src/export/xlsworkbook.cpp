#include "export/xlsworkbook.h"

#include "export/compoundfile.h"

#include <QHash>
#include <QIODevice>
#include <QVector>
#include <QtEndian>

#include <cstring>

namespace Veltrano {

// ---------------------------------------------------------------------------
// SharedStrings

namespace {

// Qt 5's string hash leaves the low bits of similar texts (times, numbers)
// close together, which makes long probe runs in a table indexed by them.
size_t hashOf(QStringView text)
{
    return qHashBits(text.data(), sizeof(QChar) * size_t(text.size()));
}

} // namespace

quint32 SharedStrings::add(QStringView text)
{
    if (text.size() > kMaxLength) {
        ++m_cut;
        text = text.left(kMaxLength);
        if (text.back().isHighSurrogate())
            text.chop(1);
    }
    if (4 * (size_t(count()) + 1) > 3 * m_slots.size())
        grow();

    const size_t mask = m_slots.size() - 1;
    size_t slot = hashOf(text) & mask;
    while (m_slots[slot] != 0) {
        if (at(m_slots[slot] - 1) == text)
            return m_slots[slot] - 1;
        slot = (slot + 1) & mask;
    }

    const quint32 chunkSize = quint32(1) << kPoolShift;
    const quint32 length = quint32(text.size());
    if ((m_used & (chunkSize - 1)) + length > chunkSize)
        m_used = (m_used | (chunkSize - 1)) + 1;  // the rest of a chunk stays unused
    while (m_pool.empty() || m_used + length > quint64(m_pool.size()) << kPoolShift)
        m_pool.emplace_back(new char16_t[chunkSize]);
    if (length > 0)
        std::memcpy(m_pool[m_used >> kPoolShift].get() + (m_used & (chunkSize - 1)), text.utf16(),
                    sizeof(char16_t) * length);

    const quint32 index = count();
    m_starts.append(m_used);
    m_lengths.append(quint16(length));
    m_used += length;
    m_slots[slot] = index + 1;
    return index;
}

QStringView SharedStrings::at(quint32 index) const
{
    const quint32 start = m_starts.at(index);
    const int length = m_lengths.at(index);
    if (length == 0)
        return QStringView(u"", 0);
    return QStringView(m_pool[start >> kPoolShift].get() + (start & ((1u << kPoolShift) - 1)), length);
}

void SharedStrings::grow()
{
    std::vector<quint32> table(qMax<size_t>(1024, 2 * m_slots.size()), 0);
    const size_t mask = table.size() - 1;
    for (quint32 i = 0; i < count(); ++i) {
        size_t slot = hashOf(at(i)) & mask;
        while (table[slot] != 0)
            slot = (slot + 1) & mask;
        table[slot] = i + 1;
    }
    m_slots.swap(table);
}

// ---------------------------------------------------------------------------
// Record output

namespace {

// Record sizes and identifiers of BIFF8.
constexpr int kMaxRecordData = 8224;
constexpr int kRowsPerBlock = 32;
constexpr int kRowRecordSize = 20;
constexpr int kCellRecordSize = 14;
constexpr quint16 kCellXf = 15;

enum RecordId : quint16 {
    idEof = 0x000A,
    idCalcCount = 0x000C,
    idCalcMode = 0x000D,
    idPrecision = 0x000E,
    idRefMode = 0x000F,
    idDelta = 0x0010,
    idIteration = 0x0011,
    idProtect = 0x0012,
    idPassword = 0x0013,
    idHeader = 0x0014,
    idFooter = 0x0015,
    idWindowProtect = 0x0019,
    idSelection = 0x001D,
    idDateMode = 0x0022,
    idPrintHeaders = 0x002A,
    idPrintGridlines = 0x002B,
    idFont = 0x0031,
    idContinue = 0x003C,
    idWindow1 = 0x003D,
    idBackup = 0x0040,
    idCodePage = 0x0042,
    idDefColWidth = 0x0055,
    idWriteAccess = 0x005C,
    idSaveRecalc = 0x005F,
    idGuts = 0x0080,
    idWsBool = 0x0081,
    idGridSet = 0x0082,
    idHCenter = 0x0083,
    idVCenter = 0x0084,
    idBoundSheet = 0x0085,
    idCountry = 0x008C,
    idHideObj = 0x008D,
    idFnGroupCount = 0x009C,
    idSetup = 0x00A1,
    idMms = 0x00C1,
    idDbCell = 0x00D7,
    idBookBool = 0x00DA,
    idXf = 0x00E0,
    idInterfaceHdr = 0x00E1,
    idInterfaceEnd = 0x00E2,
    idSst = 0x00FC,
    idLabelSst = 0x00FD,
    idExtSst = 0x00FF,
    idTabId = 0x013D,
    idUsesElfs = 0x0160,
    idDsf = 0x0161,
    idProt4Rev = 0x01AF,
    idRefreshAll = 0x01B7,
    idProt4RevPass = 0x01BC,
    idExcel9File = 0x01C0,
    idDimensions = 0x0200,
    idRow = 0x0208,
    idIndex = 0x020B,
    idDefaultRowHeight = 0x0225,
    idWindow2 = 0x023E,
    idStyle = 0x0293,
    idBof = 0x0809,
    idFormat = 0x041E,
};

// Little-endian record data, built field by field.
class Bytes
{
public:
    Bytes &u8(int v) { m_data.append(char(v)); return *this; }
    Bytes &u16(int v) { return put(quint16(v)); }
    Bytes &u32(quint32 v) { return put(v); }
    Bytes &f64(double v) { return put(v); }
    Bytes &zeros(int n) { m_data.append(QByteArray(n, '\0')); return *this; }
    // The characters of a text: one byte each, or UTF-16LE when `wide`.
    Bytes &chars(QStringView text, bool wide)
    {
        for (QChar c : text) {
            if (wide)
                u16(c.unicode());
            else
                u8(c.unicode());
        }
        return *this;
    }
    // XLUnicodeString (16-bit length) or ShortXLUnicodeString (8-bit length).
    Bytes &text(QStringView text, bool shortLength = false)
    {
        const bool wide = needsWide(text);
        if (shortLength)
            u8(int(text.size()));
        else
            u16(int(text.size()));
        return u8(wide ? 1 : 0).chars(text, wide);
    }
    const QByteArray &data() const { return m_data; }
    int size() const { return m_data.size(); }

    static bool needsWide(QStringView text)
    {
        for (QChar c : text) {
            if (c.unicode() > 0xFF)
                return true;
        }
        return false;
    }

private:
    template<typename T>
    Bytes &put(T value)
    {
        char le[sizeof(T)];
        qToLittleEndian(value, le);
        m_data.append(le, int(sizeof(T)));
        return *this;
    }

    QByteArray m_data;
};

// Where records go: into the container, or nowhere when only the sizes are
// wanted. pos() is the position in the workbook stream either way.
class Output
{
public:
    explicit Output(CompoundFileWriter *file = nullptr)
        : m_file(file)
    {
    }

    void record(quint16 id, const char *data, int size)
    {
        Q_ASSERT(size <= kMaxRecordData);
        char header[4];
        qToLittleEndian(id, header);
        qToLittleEndian(quint16(size), header + 2);
        put(header, 4);
        put(data, size);
    }
    void record(quint16 id, const QByteArray &data) { record(id, data.constData(), data.size()); }
    void record(quint16 id, const Bytes &data) { record(id, data.data()); }
    void record(quint16 id) { record(id, nullptr, 0); }
    // Records built beforehand.
    void raw(const QByteArray &bytes) { put(bytes.constData(), bytes.size()); }

    qint64 pos() const { return m_pos; }
    bool ok() const { return m_ok; }

private:
    void put(const char *data, int size)
    {
        m_pos += size;
        if (m_file && m_ok && size > 0)
            m_ok = m_file->write(data, size);
    }

    CompoundFileWriter *m_file;
    qint64 m_pos = 0;
    bool m_ok = true;
};

QByteArray recordBytes(quint16 id, const QByteArray &data)
{
    return Bytes().u16(id).u16(int(data.size())).data() + data;
}

// BOF of the globals (0x0005) or of a worksheet (0x0010).
Bytes bofRecord(int type)
{
    return Bytes().u16(0x0600).u16(type).u16(0x0DBB).u16(0x07CC).u32(0x41).u32(0x06);
}

// SST and its CONTINUE records. A string's header and its first character
// always share a record; when the characters go on in a CONTINUE record, that
// record starts with the string's option byte again. A surrogate pair is never
// cut in two. Every `bucket`-th string's position goes to `buckets` for EXTSST.
struct IsstInf
{
    quint32 streamPos;
    quint16 recordOffset;
};

void writeSst(Output &out, const SharedStrings &strings, quint32 totalCells, int bucket, QVector<IsstInf> *buckets)
{
    QByteArray rec;
    rec.reserve(kMaxRecordData);
    quint16 id = idSst;
    qint64 recStart = out.pos();
    auto flushRecord = [&]() {
        out.record(id, rec);
        recStart = out.pos();
        rec.resize(0);
        id = idContinue;
    };
    auto append16 = [&rec](quint16 v) {
        char le[2];
        qToLittleEndian(v, le);
        rec.append(le, 2);
    };

    rec.append(Bytes().u32(totalCells).u32(strings.count()).data());
    buckets->clear();
    for (quint32 i = 0; i < strings.count(); ++i) {
        const QStringView text = strings.at(i);
        const int length = int(text.size());
        const bool wide = Bytes::needsWide(text);
        const int unit = wide ? 2 : 1;
        const char flags = wide ? 1 : 0;

        int firstChar = 0;
        if (length > 0)
            firstChar = (length > 1 && text.at(0).isHighSurrogate()) ? 2 * unit : unit;
        if (kMaxRecordData - rec.size() < 3 + firstChar)
            flushRecord();
        if (i % quint32(bucket) == 0)
            buckets->append({quint32(recStart + 4 + rec.size()), quint16(4 + rec.size())});
        append16(quint16(length));
        rec.append(flags);

        for (int pos = 0;;) {
            int n = qMin((kMaxRecordData - rec.size()) / unit, length - pos);
            if (n > 0 && pos + n < length && text.at(pos + n - 1).isHighSurrogate())
                --n;
            for (int k = pos; k < pos + n; ++k) {
                if (wide)
                    append16(text.at(k).unicode());
                else
                    rec.append(char(text.at(k).unicode()));
            }
            pos += n;
            if (pos == length)
                break;
            flushRecord();
            rec.append(flags);
        }
    }
    flushRecord();
}

// The fixed part of the globals that Excel itself writes before the sheet
// list: interface, protection, window, fonts, number formats, cell formats
// and styles.
void writeGlobalsHead(Output &out, int sheetCount)
{
    out.record(idBof, bofRecord(0x0005));
    out.record(idInterfaceHdr, Bytes().u16(1200));
    out.record(idMms, Bytes().u8(0).u8(0));
    out.record(idInterfaceEnd);
    Bytes access;
    access.text(u"Veltrano");
    while (access.size() < 112)
        access.u8(' ');
    out.record(idWriteAccess, access);
    out.record(idCodePage, Bytes().u16(1200));
    out.record(idDsf, Bytes().u16(0));
    out.record(idExcel9File);
    Bytes tabs;
    for (int i = 1; i <= sheetCount; ++i)
        tabs.u16(i);
    out.record(idTabId, tabs);
    out.record(idFnGroupCount, Bytes().u16(14));
    out.record(idWindowProtect, Bytes().u16(0));
    out.record(idProtect, Bytes().u16(0));
    out.record(idPassword, Bytes().u16(0));
    out.record(idProt4Rev, Bytes().u16(0));
    out.record(idProt4RevPass, Bytes().u16(0));
    out.record(idWindow1, Bytes().u16(0x01E0).u16(0x005A).u16(0x3FCF).u16(0x2A4E).u16(0x0038).u16(0).u16(0).u16(1).u16(0x0258));
    out.record(idBackup, Bytes().u16(0));
    out.record(idHideObj, Bytes().u16(0));
    out.record(idDateMode, Bytes().u16(0));
    out.record(idPrecision, Bytes().u16(1));
    out.record(idRefreshAll, Bytes().u16(0));
    out.record(idBookBool, Bytes().u16(0));

    for (int i = 0; i < 4; ++i)
        out.record(idFont, Bytes().u16(200).u16(0).u16(0x7FFF).u16(400).u16(0).u8(0).u8(0).u8(0).u8(0).text(u"Arial", true));

    static const struct { int index; const char16_t *code; } formats[] = {
        {5, u"\"$\"#,##0_);\\(\"$\"#,##0\\)"},
        {6, u"\"$\"#,##0_);[Red]\\(\"$\"#,##0\\)"},
        {7, u"\"$\"#,##0.00_);\\(\"$\"#,##0.00\\)"},
        {8, u"\"$\"#,##0.00_);[Red]\\(\"$\"#,##0.00\\)"},
        {42, u"_(\"$\"* #,##0_);_(\"$\"* \\(#,##0\\);_(\"$\"* \"-\"_);_(@_)"},
        {41, u"_(* #,##0_);_(* \\(#,##0\\);_(* \"-\"_);_(@_)"},
        {44, u"_(\"$\"* #,##0.00_);_(\"$\"* \\(#,##0.00\\);_(\"$\"* \"-\"??_);_(@_)"},
        {43, u"_(* #,##0.00_);_(* \\(#,##0.00\\);_(* \"-\"??_);_(@_)"},
    };
    for (const auto &format : formats)
        out.record(idFormat, Bytes().u16(format.index).text(QStringView(format.code)));

    // Style formats 0-14, the one cell format 15, and the formats of the
    // five built-in number styles 16-20: (font, number format, used-attribute byte).
    auto xf = [&out](int font, int format, bool style, int used) {
        out.record(idXf, Bytes().u16(font).u16(format).u16(style ? 0xFFF5 : 0x0001).u8(0x20).u8(0).u8(0)
                             .u8(used).u32(0).u32(0).u16(0x20C0));
    };
    xf(0, 0, true, 0x00);
    for (int font : {1, 1, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})
        xf(font, 0, true, 0xF4);
    xf(0, 0, false, 0x00);
    for (int format : {43, 41, 44, 42, 9})
        xf(1, format, true, 0xF8);

    // Built-in styles: Comma, Comma [0], Currency, Currency [0], Normal, Percent.
    static const int styles[][2] = {{16, 3}, {17, 6}, {18, 4}, {19, 7}, {0, 0}, {20, 5}};
    for (const auto &style : styles)
        out.record(idStyle, Bytes().u16(0x8000 | style[0]).u8(style[1]).u8(0xFF));
    out.record(idUsesElfs, Bytes().u16(1));
}

// The records of one sheet substream, header row first.
class SheetWriter
{
public:
    SheetWriter(const ChunkedArray<quint32> &cells, const QVector<quint32> &header, size_t firstRow, int dataRows)
        : m_cells(cells)
        , m_header(header)
        , m_columns(int(header.size()))
        , m_firstRow(firstRow)
        , m_rows(dataRows + 1)
    {
    }

    // False only if the stream positions announced in INDEX were not met.
    bool write(Output &out, bool selected) const
    {
        const qint64 bof = out.pos();
        const int blocks = (m_rows + kRowsPerBlock - 1) / kRowsPerBlock;
        const QByteArray settings = settingsRecords();
        const qint64 defColWidth = bof + (4 + 16) + (4 + 16 + 4 * blocks) + settings.size();
        const qint64 firstBlock = defColWidth + (4 + 2) + (4 + 14);

        // INDEX: where DEFCOLWIDTH and each block's DBCELL will be.
        Bytes index;
        index.u32(0).u32(0).u32(quint32(m_rows)).u32(quint32(defColWidth));
        QVector<qint64> dbCells;
        qint64 pos = firstBlock;
        for (int b = 0; b < blocks; ++b) {
            const int n = blockRows(b);
            pos += qint64(n) * (kRowRecordSize + m_columns * kCellRecordSize);
            dbCells.append(pos);
            index.u32(quint32(pos));
            pos += 4 + 4 + 2 * n;
        }

        out.record(idBof, bofRecord(0x0010));
        out.record(idIndex, index);
        out.raw(settings);
        if (out.pos() != defColWidth)
            return false;
        out.record(idDefColWidth, Bytes().u16(8));
        out.record(idDimensions, Bytes().u32(0).u32(quint32(m_rows)).u16(0).u16(m_columns).u16(0));

        QByteArray cells;
        for (int b = 0; b < blocks; ++b) {
            const int first = b * kRowsPerBlock;
            const int n = blockRows(b);
            const qint64 blockStart = out.pos();
            for (int r = first; r < first + n; ++r)
                out.record(idRow, Bytes().u16(r).u16(0).u16(m_columns).u16(0x00FF).u16(0).u16(0).u16(0x0100).u16(kCellXf));
            for (int r = first; r < first + n; ++r) {
                cells.resize(m_columns * kCellRecordSize);
                char *p = cells.data();
                for (int c = 0; c < m_columns; ++c, p += kCellRecordSize) {
                    qToLittleEndian(quint16(idLabelSst), p);
                    qToLittleEndian(quint16(kCellRecordSize - 4), p + 2);
                    qToLittleEndian(quint16(r), p + 4);
                    qToLittleEndian(quint16(c), p + 6);
                    qToLittleEndian(kCellXf, p + 8);
                    qToLittleEndian(cell(r, c), p + 10);
                }
                out.raw(cells);
            }
            if (out.pos() != dbCells.at(b))
                return false;
            Bytes dbCell;
            dbCell.u32(quint32(out.pos() - blockStart)).u16((n - 1) * kRowRecordSize);
            for (int k = 1; k < n; ++k)
                dbCell.u16(m_columns * kCellRecordSize);
            out.record(idDbCell, dbCell);
        }

        out.record(idWindow2, Bytes().u16(selected ? 0x06B6 : 0x00B6).u16(0).u16(0).u16(0x40).u16(0).u16(0).u16(0).u16(0).u16(0));
        out.record(idSelection, Bytes().u8(3).u16(0).u16(0).u16(0).u16(1).u16(0).u16(0).u8(0).u8(0));
        out.record(idEof);
        return true;
    }

private:
    int blockRows(int block) const { return qMin(kRowsPerBlock, m_rows - block * kRowsPerBlock); }

    quint32 cell(int row, int column) const
    {
        return row == 0 ? m_header.at(column) : m_cells.at((m_firstRow + size_t(row) - 1) * size_t(m_columns) + size_t(column));
    }

    // Calculation, print and view settings, as Excel writes them for a new sheet.
    static QByteArray settingsRecords()
    {
        QByteArray bytes;
        auto add = [&bytes](quint16 id, const Bytes &data) { bytes += recordBytes(id, data.data()); };
        add(idCalcMode, Bytes().u16(1));
        add(idCalcCount, Bytes().u16(100));
        add(idRefMode, Bytes().u16(1));
        add(idIteration, Bytes().u16(0));
        add(idDelta, Bytes().f64(0.001));
        add(idSaveRecalc, Bytes().u16(1));
        add(idPrintHeaders, Bytes().u16(0));
        add(idPrintGridlines, Bytes().u16(0));
        add(idGridSet, Bytes().u16(1));
        add(idGuts, Bytes().u16(0).u16(0).u16(0).u16(0));
        add(idDefaultRowHeight, Bytes().u16(0).u16(0x00FF));
        add(idWsBool, Bytes().u16(0x04C1));
        add(idHeader, Bytes());
        add(idFooter, Bytes());
        add(idHCenter, Bytes().u16(0));
        add(idVCenter, Bytes().u16(0));
        add(idSetup, Bytes().u16(0).u16(100).u16(1).u16(1).u16(1).u16(0x0044).u16(0).u16(0).f64(0.5).f64(0.5).u16(1));
        return bytes;
    }

    const ChunkedArray<quint32> &m_cells;
    const QVector<quint32> &m_header;
    int m_columns;
    size_t m_firstRow;
    int m_rows;
};

} // namespace

// ---------------------------------------------------------------------------
// XlsWorkbook

XlsWorkbook::XlsWorkbook(const QString &sheetName, const QStringList &columnNames)
    : m_sheetName(sheetName)
{
    for (const QString &name : columnNames)
        m_header.append(m_strings.add(name));
}

XlsWorkbook::~XlsWorkbook() = default;

void XlsWorkbook::appendRow(const QStringList &values)
{
    for (int c = 0; c < m_header.size(); ++c)
        m_cells.append(m_strings.add(c < values.size() ? QStringView(values.at(c)) : QStringView()));
}

qint64 XlsWorkbook::rowCount() const
{
    return m_header.isEmpty() ? 0 : qint64(m_cells.size() / size_t(m_header.size()));
}

QStringList XlsWorkbook::sheetNames() const
{
    const qint64 sheets = qMax<qint64>(1, (rowCount() + kDataRowsPerSheet - 1) / kDataRowsPerSheet);
    QStringList names{m_sheetName};
    for (qint64 s = 2; s <= sheets; ++s)
        names << m_sheetName + QLatin1Char('_') + QString::number(s);
    return names;
}

namespace {

void writeGlobals(Output &out, const SharedStrings &strings, const QVector<quint32> &header, qint64 rows,
                  const QStringList &sheets, const QVector<qint64> &offsets)
{
    writeGlobalsHead(out, int(sheets.size()));
    for (int s = 0; s < sheets.size(); ++s)
        out.record(idBoundSheet, Bytes().u32(quint32(offsets.at(s))).u8(0).u8(0).text(sheets.at(s), true));
    out.record(idCountry, Bytes().u16(1).u16(1));

    // EXTSST points at every bucket-th string, in at most 128 buckets.
    const int bucket = int(qMax<quint32>(8, (strings.count() + 127) / 128));
    const quint32 cellCount = quint32((rows + sheets.size()) * header.size());
    QVector<IsstInf> buckets;
    writeSst(out, strings, cellCount, bucket, &buckets);
    Bytes extSst;
    extSst.u16(bucket);
    for (const IsstInf &info : qAsConst(buckets))
        extSst.u32(info.streamPos).u16(info.recordOffset).u16(0);
    out.record(idExtSst, extSst);
    out.record(idEof);
}

} // namespace

bool XlsWorkbook::write(QIODevice *device)
{
    m_error.clear();
    const QStringList sheets = sheetNames();
    auto sheet = [&](int s) {
        const qint64 first = qint64(s) * kDataRowsPerSheet;
        return SheetWriter(m_cells, m_header, size_t(first), int(qMin<qint64>(kDataRowsPerSheet, rowCount() - first)));
    };

    // A dry run finds where each sheet will start, for the sheet list.
    QVector<qint64> offsets(sheets.size(), 0);
    {
        Output sizes;
        writeGlobals(sizes, m_strings, m_header, rowCount(), sheets, offsets);
        for (int s = 0; s < sheets.size(); ++s) {
            offsets[s] = sizes.pos();
            sheet(s).write(sizes, s == 0);
        }
        if (sizes.pos() > qint64(0xFFFFFFFF)) {
            m_error = QStringLiteral("too many rows for one workbook");
            return false;
        }
    }

    CompoundFileWriter file(device, QStringLiteral("Workbook"));
    Output out(&file);
    bool laidOut = file.begin();
    if (laidOut)
        writeGlobals(out, m_strings, m_header, rowCount(), sheets, offsets);
    for (int s = 0; laidOut && s < sheets.size(); ++s)
        laidOut = out.pos() == offsets.at(s) && sheet(s).write(out, s == 0);
    if (laidOut && out.ok() && file.finish())
        return true;
    m_error = file.errorString();
    if (m_error.isEmpty())
        m_error = QStringLiteral("inconsistent workbook layout");
    return false;
}

} // namespace Veltrano
