// Workbooks and their container read back by an independent reader (xlrd,
// olefile, and a strict reading of the string table): at every boundary of
// the string table's records, for the workbook fuzzer's seed inputs (and the
// corpus named in VELTRANO_WORKBOOK_CORPUS, which ./dev.sh fuzz grows), and
// around the container's size thresholds.
#include "compoundfile.h"
#include "tempworkdir.h"
#include "workbookinput.h"
#include "xlsreader.h"
#include "xlsworkbook.h"

#include <QCryptographicHash>
#include <QDir>
#include <QtEndian>
#include <QtTest>

using Veltrano::CompoundFileWriter;
using Rows = QList<QStringList>;
namespace FuzzInput = Veltrano::FuzzInput;
Q_DECLARE_METATYPE(Rows)

namespace {

// The header "c", then an 8-bit text that leaves `left` bytes in the first
// string table record after the two counts, the header and its own header.
Rows filled(int left, const QStringList &then)
{
    Rows rows{{"c"}, {QString(8224 - 8 - 4 - 3 - left, 'f')}};
    for (const QString &text : then)
        rows << QStringList{text};
    return rows;
}

} // namespace

class TestXlsWorkbook : public QObject
{
    Q_OBJECT
private slots:
    void init() { m_dir = std::make_unique<TempWorkDir>(); }
    void cleanup() { m_dir.reset(); }
    void roundTrip_data()
    {
        QTest::addColumn<Rows>("rows");  // the header row first
        const QString longest = QString(32766, 'a') + "b";
        QTest::newRow("8-bit and UTF-16, longer texts cut, pairs kept whole")
            << Rows{{"c", "d"}, {QString::fromUtf8("Mérleg µ ÿ"), QString::fromUtf8("Весы ő 😀")}, {"", " "},
                    {longest + "def", QString(40000, QChar(0xE9))}, {QString::fromUtf8("😀").repeated(20000), "x"}};
        // A string's header and first character never part; the rest goes on in
        // a CONTINUE record that repeats the option byte.
        for (int left = 0; left <= 5; ++left) {
            QTest::addRow("8-bit, %d bytes left", left) << filled(left, {"abcdefghij", "k"});
            QTest::addRow("UTF-16, %d bytes left", left) << filled(left, {QString::fromUtf8("ŐőŰűĀā"), "k"});
        }
        QTest::newRow("empty at the boundary") << filled(3, {"", "k"});
        QTest::newRow("8-bit fills the record") << filled(20, {QString(17, 'x'), "next"});
        QTest::newRow("UTF-16 fills the record") << filled(21, {QString(9, QChar(0x3A9)), "next"});
        QTest::newRow("UTF-16, one byte to spare") << filled(22, {QString(12, QChar(0x3A9)), "next"});
        QTest::newRow("UTF-16 over three records") << filled(100, {QString::fromUtf8("Жж").repeated(4500), "x"});
        QTest::newRow("8-bit then UTF-16 across") << filled(5, {"ab", QString::fromUtf8("Ωx").repeated(4), "c"});
        for (int left : {5, 7, 9, 10})
            QTest::addRow("pairs, %d bytes left", left) << filled(left, {QString::fromUtf8(left == 10 ? "a😀😀" : "😀😀😀"), "k"});

        QStringList folders{qEnvironmentVariable("VELTRANO_SOURCE_DIR") + "/fuzz/corpus/fuzz_workbook"};
        if (qEnvironmentVariableIsSet("VELTRANO_WORKBOOK_CORPUS"))
            folders << qEnvironmentVariable("VELTRANO_WORKBOOK_CORPUS");
        for (const QDir folder : folders) {
            for (const QString &name : folder.entryList(QDir::Files, QDir::Name)) {
                QFile input(folder.filePath(name));
                QVERIFY(input.open(QIODevice::ReadOnly));
                QTest::addRow("%s", qPrintable(folder.dirName() + '/' + name)) << FuzzInput::rows(input.readAll());
            }
        }
    }

    void roundTrip()
    {
        QFETCH(Rows, rows);
        const QStringList columns = rows.first();
        Veltrano::XlsWorkbook book(QStringLiteral("data"), columns);
        Rows expected;
        for (int i = 0; i < rows.size(); ++i) {
            if (i > 0)
                book.appendRow(rows.at(i));
            QStringList cells;
            for (int column = 0; column < columns.size(); ++column) {
                if (!FuzzInput::isWellFormed(rows.at(i).value(column)))
                    QSKIP("holds an unpaired surrogate, which no other reader keeps");
                cells << FuzzInput::keptText(rows.at(i).value(column), Veltrano::SharedStrings::kMaxLength);
            }
            expected << cells;
        }
        QFile file("book.xls");
        QVERIFY(file.open(QIODevice::WriteOnly) && book.write(&file));
        file.close();
        const XlsContent content = readXls("book.xls");
        QCOMPARE(content.problems, QStringList());
        QCOMPARE(content.sheetNames, QStringList{"data"});
        QCOMPARE(content.sheets.value(0), expected);
    }

    void container_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("difatSectors");
        // Below 4096 bytes the stream is padded rather than put in the mini
        // stream. 109 FAT sectors fit in the header; the 110th needs a DIFAT
        // sector, the 237th a second one, chained to the first.
        QTest::newRow("0 bytes") << qint64(0) << 0;
        QTest::newRow("4097 bytes") << qint64(4097) << 0;
        QTest::newRow("first size with DIFAT") << qint64(13842) * 512 + 1 << 1;
        QTest::newRow("first size with two DIFAT sectors") << qint64(29970) * 512 + 1 << 2;
    }

    void container()
    {
        QFETCH(qint64, size);
        QFETCH(int, difatSectors);
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


private:
    std::unique_ptr<TempWorkDir> m_dir;
};

QTEST_GUILESS_MAIN(TestXlsWorkbook)
#include "tst_xlsworkbook.moc"
