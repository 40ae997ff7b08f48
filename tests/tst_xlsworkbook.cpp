#include "compoundfile.h"
#include "tempworkdir.h"
#include "xlsreader.h"
#include "xlsworkbook.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QtEndian>
#include <QtTest>

using Veltrano::CompoundFileWriter;
using Veltrano::XlsWorkbook;
using Rows = QList<QStringList>;

namespace {

// An 8-bit text that leaves `left` bytes in the first SST record after the
// two counts, the header "c" and its own 3-byte header.
QString filler(int left)
{
    return QString(8224 - 8 - 4 - 3 - left, QLatin1Char('f'));
}

// A device that takes only so many bytes.
class FullDevice : public QBuffer
{
public:
    explicit FullDevice(qint64 room) : m_room(room) {}

protected:
    qint64 writeData(const char *data, qint64 size) override
    {
        if (pos() + size <= m_room)
            return QBuffer::writeData(data, size);
        setErrorString(QStringLiteral("No space left on device"));
        return -1;
    }

private:
    qint64 m_room;
};

} // namespace

class TestXlsWorkbook : public QObject
{
    Q_OBJECT
private slots:
    void strings_data();
    void strings();
    void writeFailure();
    void container_data();
    void container();
};

void TestXlsWorkbook::strings_data()
{
    QTest::addColumn<QStringList>("strings");   // one per row, in one column
    QTest::addColumn<QStringList>("expected");  // empty: as written

    QTest::newRow("8-bit and UTF-16 texts") << QStringList{QString::fromUtf8("Mérleg µ ÿ"), QString::fromUtf8("Весы ő 😀"),
                                                           "it's \"a\"; b", "a\r\nb", "", " "} << QStringList();
    const QString longest = QString(32766, 'a') + "b";
    QTest::newRow("longer texts are cut, pairs kept whole")
        << QStringList{longest, longest + "def", QString(40000, QChar(0xE9)), QString::fromUtf8("😀").repeated(20000)}
        << QStringList{longest, longest, QString(32767, QChar(0xE9)), QString::fromUtf8("😀").repeated(16383)};

    // A string's 3-byte header and first character never part; the rest goes
    // on in a CONTINUE record that repeats the option byte.
    for (int left = 0; left <= 5; ++left) {
        QTest::addRow("8-bit, %d bytes left", left) << QStringList{filler(left), "abcdefghij", "k"} << QStringList();
        QTest::addRow("UTF-16, %d bytes left", left) << QStringList{filler(left), QString::fromUtf8("ŐőŰűĀā"), "k"}
                                                     << QStringList();
    }
    QTest::newRow("empty at the boundary") << QStringList{filler(3), "", "k"} << QStringList();
    QTest::newRow("8-bit fills the record") << QStringList{filler(20), QString(17, 'x'), "next"} << QStringList();
    QTest::newRow("UTF-16 fills the record") << QStringList{filler(21), QString(9, QChar(0x3A9)), "next"} << QStringList();
    QTest::newRow("UTF-16, one byte to spare") << QStringList{filler(22), QString(12, QChar(0x3A9)), "next"}
                                               << QStringList();
    QTest::newRow("UTF-16 over three records") << QStringList{filler(100), QString::fromUtf8("Жж").repeated(4500), "x"}
                                               << QStringList();
    QTest::newRow("8-bit then UTF-16 across") << QStringList{filler(5), "ab", QString::fromUtf8("Ωx").repeated(4), "c"}
                                              << QStringList();
    QTest::newRow("8-bit split, UTF-16 next") << QStringList{filler(6), "abcdef", QString(3, QChar(0x3A9))}
                                              << QStringList();
    for (int left : {5, 7, 9, 10}) {
        QTest::addRow("pairs, %d bytes left", left) << QStringList{filler(left), QString::fromUtf8(left == 10 ? "a😀😀" : "😀😀😀"), "k"}
                                                    << QStringList();
    }
}

void TestXlsWorkbook::strings()
{
    QFETCH(QStringList, strings);
    QFETCH(QStringList, expected);
    TempWorkDir dir;
    XlsWorkbook book(QStringLiteral("data"), {"c"});
    Rows rows{{"c"}};
    for (int i = 0; i < strings.size(); ++i) {
        book.appendRow({strings.at(i)});
        rows << QStringList{expected.isEmpty() ? strings.at(i) : expected.at(i)};
    }
    QFile file("book.xls");
    QVERIFY(file.open(QIODevice::WriteOnly) && book.write(&file));
    file.close();

    const XlsContent content = readXls("book.xls");
    QCOMPARE(content.problems, QStringList());
    QCOMPARE(content.sheetNames, QStringList{"data"});
    QCOMPARE(content.sheets.value(0), rows);
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
    // Below 4096 bytes the stream is padded rather than put in the mini
    // stream. 109 FAT sectors fit in the header; the 110th needs a DIFAT
    // sector, the 237th a second one, chained to the first.
    for (qint64 size : {0, 4097})
        QTest::addRow("%lld bytes", size) << size << 0;
    QTest::newRow("first size with DIFAT") << qint64(13842) * 512 + 1 << 1;
    QTest::newRow("first size with two DIFAT sectors") << qint64(29970) * 512 + 1 << 2;
}

void TestXlsWorkbook::container()
{
    QFETCH(qint64, size);
    QFETCH(int, difatSectors);
    TempWorkDir dir;
    QByteArray stream(int(size), '\0');
    for (int i = 0; i < stream.size(); ++i)
        stream[i] = char(quint32(i) * 2654435761u >> 24);

    QFile file("stream.cfb");
    QVERIFY(file.open(QIODevice::WriteOnly));
    CompoundFileWriter writer(&file, QStringLiteral("Workbook"));
    QVERIFY(writer.begin());
    for (qint64 pos = 0, piece; pos < size; pos += piece) {  // in uneven pieces, as records come
        piece = qMin<qint64>(size - pos, 1 + pos % 9000);
        QVERIFY(writer.write(stream.constData() + pos, piece));
    }
    QVERIFY(writer.finish());
    file.close();

    stream.append(QByteArray(int(qMax<qint64>(0, CompoundFileWriter::kMinStreamSize - size)), '\0'));
    const XlsStream read = readXlsStream("stream.cfb");
    QCOMPARE(read.problems, QStringList());
    QCOMPARE(read.size, qint64(stream.size()));
    QCOMPARE(read.sha256, QCryptographicHash::hash(stream, QCryptographicHash::Sha256).toHex());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(int(qFromLittleEndian<quint32>(file.read(76).constData() + 72)), difatSectors);  // the case named
}

QTEST_GUILESS_MAIN(TestXlsWorkbook)
#include "tst_xlsworkbook.moc"
