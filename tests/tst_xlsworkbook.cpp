#include "compoundfile.h"
#include "tempworkdir.h"
#include "xlsreader.h"
#include "xlsworkbook.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QtEndian>
#include <QtTest>

Q_DECLARE_METATYPE(XlsReader)

using Veltrano::CompoundFileWriter;
using Veltrano::XlsWorkbook;

namespace {

using Rows = QList<QStringList>;

// Bytes left for strings in the first SST record after the two counts and
// the one-column header "c".
constexpr int kFirstRecordRoom = 8224 - 8 - (3 + 1);

// An 8-bit text that leaves `left` bytes in the first SST record.
QString filler(int left)
{
    return QString(kFirstRecordRoom - 3 - left, QLatin1Char('f'));
}

QString repeated(const QString &unit, int count)
{
    QString text;
    for (int i = 0; i < count; ++i)
        text += unit;
    return text;
}

bool writeBook(const QString &path, const QStringList &columns, const Rows &rows, QString *error = nullptr)
{
    XlsWorkbook book(QStringLiteral("data"), columns);
    for (const QStringList &row : rows)
        book.appendRow(row);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const bool ok = book.write(&file);
    if (error)
        *error = book.errorString();
    return ok;
}

// A device that takes only so many bytes.
class FullDevice : public QBuffer
{
public:
    explicit FullDevice(qint64 room)
        : m_room(room)
    {
    }

protected:
    qint64 writeData(const char *data, qint64 size) override
    {
        if (pos() + size > m_room) {
            setErrorString(QStringLiteral("No space left on device"));
            return -1;
        }
        return QBuffer::writeData(data, size);
    }

private:
    qint64 m_room;
};

} // namespace

class TestXlsWorkbook : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void texts_data();
    void texts();
    void sharedStringBoundaries_data();
    void sharedStringBoundaries();
    void sheets_data();
    void sheets();
    void otherReaders_data();
    void otherReaders();
    void writeFailure();
    void container_data();
    void container();

private:
    std::unique_ptr<TempWorkDir> m_dir;
};

void TestXlsWorkbook::init()
{
    m_dir = std::make_unique<TempWorkDir>();
    QVERIFY(m_dir->isValid());
}

void TestXlsWorkbook::cleanup()
{
    m_dir.reset();
}

void TestXlsWorkbook::texts_data()
{
    QTest::addColumn<Rows>("rows");
    QTest::addColumn<Rows>("expected");  // empty: as written

    QTest::newRow("plain") << Rows{{"2026-01-02", "08:00:00", "Balance 1", "+0.1234", "g  "}} << Rows();
    QTest::newRow("latin-1 in 8-bit form") << Rows{{QString::fromUtf8("Mérleg µ"), "é", "ÿ", "\u00A0", "×"}} << Rows();
    QTest::newRow("beyond latin-1 in UTF-16") << Rows{{QString::fromUtf8("Mérleg ő"), QString::fromUtf8("Весы"),
                                                       QString::fromUtf8("天平"), QString::fromUtf8("😀 g"), "ſ"}}
                                              << Rows();
    QTest::newRow("quotes and separators") << Rows{{"it's", "'", "\"a\", b", "semi;colon", "tab\there"}} << Rows();
    QTest::newRow("line breaks") << Rows{{"a\nb", "a\r\nb", "\n", "x", "y"}} << Rows();
    QTest::newRow("empty and blank") << Rows{{"", " ", "", "  ", ""}} << Rows();
    QTest::newRow("missing and extra values") << Rows{{"a", "b"}, {"1", "2", "3", "4", "5", "6"}}
                                              << Rows{{"a", "b", "", "", ""}, {"1", "2", "3", "4", "5"}};
    QTest::newRow("repeated values share entries") << Rows{{"x", "x", "y", "x", "y"}, {"y", "x", "x", "y", "x"}} << Rows();

    const QString longest = repeated("ab", 16383) + "c";
    QTest::newRow("32767 characters") << Rows{{longest, "", "", "", ""}} << Rows();
    QTest::newRow("longer texts are cut") << Rows{{longest + "def", repeated("é", 40000), "", "", ""}}
                                          << Rows{{longest, repeated("é", 32767), "", "", ""}};
    QTest::newRow("cut keeps surrogate pairs whole") << Rows{{repeated("😀", 20000), "", "", "", ""}}
                                                     << Rows{{repeated("😀", 16383), "", "", "", ""}};
}

void TestXlsWorkbook::texts()
{
    QFETCH(Rows, rows);
    QFETCH(Rows, expected);
    if (expected.isEmpty())
        expected = rows;
    const QStringList columns{"sampling_date", "sampling_time", "instrument_id", "result", "unit"};
    QVERIFY(writeBook("book.xls", columns, rows));

    const XlsContent content = readXls("book.xls");
    QCOMPARE(content.problems, QStringList());
    QCOMPARE(content.sheetNames, QStringList{"data"});
    QCOMPARE(content.sheets.value(0), Rows{columns} + expected);
}

void TestXlsWorkbook::sharedStringBoundaries_data()
{
    QTest::addColumn<QStringList>("strings");

    // A string's header (3 bytes) and first character never part; what does
    // not fit goes on in a CONTINUE record that repeats the option byte.
    for (int left = 0; left <= 8; ++left) {
        QTest::addRow("8-bit, %d bytes left", left) << QStringList{filler(left), "abcdefghij", "k"};
        QTest::addRow("UTF-16, %d bytes left", left) << QStringList{filler(left), QString::fromUtf8("ŐőŰűĀāĒē"), "k"};
        QTest::addRow("empty, %d bytes left", left) << QStringList{filler(left), "", "k"};
    }
    QTest::newRow("8-bit fills the record exactly") << QStringList{filler(20), QString(17, 'x'), "next"};
    QTest::newRow("UTF-16 fills the record exactly") << QStringList{filler(21), repeated("Ω", 9), "next"};
    QTest::newRow("UTF-16 with one byte to spare") << QStringList{filler(22), repeated("Ω", 12), "next"};
    QTest::newRow("8-bit over three records") << QStringList{filler(100), QString(17000, 'z'), "next"};
    QTest::newRow("UTF-16 over three records") << QStringList{filler(100), repeated("Жж", 4500), "next"};
    QTest::newRow("8-bit then UTF-16 across the boundary") << QStringList{filler(5), "ab", repeated("Ωx", 4), "c"};
    QTest::newRow("UTF-16 then 8-bit across the boundary") << QStringList{filler(9), repeated("Ω", 3), "abc"};
    QTest::newRow("8-bit string split, UTF-16 next") << QStringList{filler(6), "abcdef", repeated("Ω", 3)};
    QTest::newRow("pair does not fit after the header") << QStringList{filler(5), "😀😀😀", "k"};
    QTest::newRow("pair fits exactly after the header") << QStringList{filler(7), "😀😀😀", "k"};
    QTest::newRow("pair split avoided mid-string") << QStringList{filler(9), "😀😀😀", "k"};
    QTest::newRow("odd byte before a pair") << QStringList{filler(10), "a😀😀", "k"};
}

void TestXlsWorkbook::sharedStringBoundaries()
{
    QFETCH(QStringList, strings);
    Rows rows;
    for (const QString &text : strings)
        rows << QStringList{text};
    QVERIFY(writeBook("book.xls", {"c"}, rows));

    const XlsContent content = readXls("book.xls");
    QCOMPARE(content.problems, QStringList());
    QCOMPARE(content.sheets.value(0), Rows{{"c"}} + rows);
}

void TestXlsWorkbook::sheets_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("no rows") << 0 << QStringList{"data"};
    QTest::newRow("one row") << 1 << QStringList{"data"};
    QTest::newRow("a full sheet") << 65535 << QStringList{"data"};
    QTest::newRow("one row more") << 65536 << QStringList{"data", "data_2"};
    QTest::newRow("three sheets") << 2 * 65535 + 1 << QStringList{"data", "data_2", "data_3"};
}

void TestXlsWorkbook::sheets()
{
    QFETCH(int, rows);
    QFETCH(QStringList, names);
    const QStringList columns{"n", "text"};
    XlsWorkbook book(QStringLiteral("data"), columns);
    for (int i = 0; i < rows; ++i)
        book.appendRow({QString::number(i), i % 3 ? QStringLiteral("same") : QString::fromUtf8("ő%1").arg(i % 1000)});
    QCOMPARE(book.sheetNames(), names);
    QFile file("book.xls");
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(book.write(&file));
    file.close();

    const XlsContent content = readXls("book.xls");
    QCOMPARE(content.problems, QStringList());
    QCOMPARE(content.sheetNames, names);
    int next = 0;
    for (const QList<QStringList> &sheet : content.sheets) {
        QCOMPARE(sheet.value(0), columns);
        QVERIFY(sheet.size() <= 65536);
        for (int r = 1; r < sheet.size(); ++r, ++next) {
            const QStringList expected{QString::number(next),
                                       next % 3 ? QStringLiteral("same") : QString::fromUtf8("ő%1").arg(next % 1000)};
            if (sheet.at(r) != expected)
                QFAIL(qPrintable(QString("row %1: %2").arg(next).arg(sheet.at(r).join('|'))));
        }
    }
    QCOMPARE(next, rows);
}

void TestXlsWorkbook::otherReaders_data()
{
    QTest::addColumn<XlsReader>("reader");
    QTest::newRow("LibreOffice") << XlsReader::LibreOffice;
    QTest::newRow("ssconvert") << XlsReader::Ssconvert;
}

void TestXlsWorkbook::otherReaders()
{
    QFETCH(XlsReader, reader);
    const QStringList columns{"date", "name"};
    Rows rows;
    for (int i = 0; i < 65536; ++i)
        rows << QStringList{QString::number(i), i % 2 ? QString::fromUtf8("Mérleg ő 'x'") : QString("it's \"%1\"").arg(i)};
    rows << QStringList{"", " g  "} << QStringList{"a\nb", QString::fromUtf8("😀")};
    QVERIFY(writeBook("book.xls", columns, rows));

    const XlsContent content = readXls("book.xls", reader);
    if (content.readerAbsent)
        QSKIP("not installed here");
    QCOMPARE(content.problems, QStringList());
    QCOMPARE(content.sheetNames, QStringList({"data", "data_2"}));
    QCOMPARE(content.sheets.value(0), Rows{columns} + rows.mid(0, 65535));
    QCOMPARE(content.sheets.value(1), Rows{columns} + rows.mid(65535));
}

void TestXlsWorkbook::writeFailure()
{
    XlsWorkbook book(QStringLiteral("data"), {"a"});
    for (int i = 0; i < 20000; ++i)
        book.appendRow({QString::number(i)});
    for (qint64 room : {0, 600, 100000}) {
        FullDevice device(room);
        QVERIFY(device.open(QIODevice::WriteOnly));
        QVERIFY(!book.write(&device));
        QCOMPARE(book.errorString(), QStringLiteral("No space left on device"));
    }
}

void TestXlsWorkbook::container_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("difatSectors");

    // Below 4096 bytes the stream is padded rather than put in the mini stream.
    for (qint64 size : {0, 1, 511, 512, 4095, 4096, 4097, 65536 + 3})
        QTest::addRow("%lld bytes", size) << size << 0;
    // 109 FAT sectors fit in the header; the 110th needs a DIFAT sector,
    // the 237th a second one, chained to the first.
    QTest::newRow("last size without DIFAT") << qint64(13842) * 512 << 0;
    QTest::newRow("first size with DIFAT") << qint64(13842) * 512 + 1 << 1;
    QTest::newRow("last size with one DIFAT sector") << qint64(29970) * 512 << 1;
    QTest::newRow("first size with two DIFAT sectors") << qint64(29970) * 512 + 1 << 2;
}

void TestXlsWorkbook::container()
{
    QFETCH(qint64, size);
    QFETCH(int, difatSectors);
    QByteArray stream(int(size), '\0');
    QRandomGenerator random{quint32(size)};
    for (char &byte : stream)
        byte = char(random.bounded(256));

    QFile file("stream.cfb");
    QVERIFY(file.open(QIODevice::WriteOnly));
    CompoundFileWriter writer(&file, QStringLiteral("Workbook"));
    QVERIFY(writer.begin());
    // Written in uneven pieces, as records come.
    for (qint64 pos = 0; pos < size;) {
        const qint64 piece = qMin<qint64>(size - pos, 1 + pos % 9000);
        QVERIFY(writer.write(stream.constData() + pos, piece));
        pos += piece;
    }
    QVERIFY(writer.finish());
    file.close();

    if (size < CompoundFileWriter::kMinStreamSize)
        stream.append(QByteArray(int(CompoundFileWriter::kMinStreamSize - size), '\0'));
    const XlsStream read = readXlsStream("stream.cfb");
    QCOMPARE(read.problems, QStringList());
    QCOMPARE(read.size, qint64(stream.size()));
    QCOMPARE(read.sha256, QCryptographicHash::hash(stream, QCryptographicHash::Sha256).toHex());

    // Make sure the case is the one named: the header's DIFAT sector count.
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray header = file.read(512);
    QCOMPARE(int(qFromLittleEndian<quint32>(header.constData() + 72)), difatSectors);
    QCOMPARE(file.size() % 512, qint64(0));
}

QTEST_GUILESS_MAIN(TestXlsWorkbook)
#include "tst_xlsworkbook.moc"
