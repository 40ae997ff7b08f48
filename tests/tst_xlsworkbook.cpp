// Workbooks read back by an independent reader (xlrd and olefile, and a
// strict reading of the string table): at every boundary of the string
// table's records, around the container's DIFAT thresholds, and for the
// workbook fuzzer's seed inputs (and the corpus named in
// VELTRANO_WORKBOOK_CORPUS, which ./dev.sh fuzz grows).
#include "tempworkdir.h"
#include "workbookinput.h"
#include "xlsreader.h"
#include "export/xlsworkbook.h"

#include <QDir>
#include <QtEndian>
#include <QtTest>

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

// The header, then `count` distinct texts of the longest length a cell keeps.
Rows longest(int count)
{
    Rows rows{{"c"}};
    for (int i = 0; i < count; ++i)
        rows << QStringList{QString::number(i).leftJustified(Veltrano::SharedStrings::kMaxLength, 'z')};
    return rows;
}

} // namespace

class TestXlsWorkbook : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip_data()
    {
        QTest::addColumn<Rows>("rows");          // the header row first
        QTest::addColumn<QString>("sectors");  // the container's FAT and DIFAT sectors; empty: not checked
        const QString full = QString(32766, 'a') + "b";
        QTest::newRow("8-bit and UTF-16, longer texts cut, pairs kept whole")
            << Rows{{"c", "d"}, {QString::fromUtf8("Mérleg µ ÿ"), QString::fromUtf8("Весы ő 😀")}, {"", " "},
                    {full + "def", QString(40000, QChar(0xE9))}, {QString::fromUtf8("😀").repeated(20000), "x"}} << "";
        // A string's header and first character never part; the rest goes on in
        // a CONTINUE record that repeats the option byte.
        for (int left = 0; left <= 5; ++left) {
            QTest::addRow("8-bit, %d bytes left", left) << filled(left, {"abcdefghij", "k"}) << "";
            QTest::addRow("UTF-16, %d bytes left", left) << filled(left, {QString::fromUtf8("ŐőŰűĀā"), "k"}) << "";
        }
        QTest::newRow("empty at the boundary") << filled(3, {"", "k"}) << "";
        QTest::newRow("8-bit fills the record") << filled(20, {QString(17, 'x'), "next"}) << "";
        QTest::newRow("UTF-16 fills the record") << filled(21, {QString(9, QChar(0x3A9)), "next"}) << "";
        QTest::newRow("UTF-16, one byte to spare") << filled(22, {QString(12, QChar(0x3A9)), "next"}) << "";
        QTest::newRow("UTF-16 over three records") << filled(100, {QString::fromUtf8("Жж").repeated(4500), "x"}) << "";
        QTest::newRow("8-bit then UTF-16 across") << filled(5, {"ab", QString::fromUtf8("Ωx").repeated(4), "c"}) << "";
        for (int left : {5, 7, 9, 10})
            QTest::addRow("pairs, %d bytes left", left) << filled(left, {QString::fromUtf8(left == 10 ? "a😀😀" : "😀😀😀"), "k"}) << "";
        // 109 FAT sectors fit in the header: the 110th needs a DIFAT sector, the 237th a second one.
        QTest::newRow("110 FAT sectors, one DIFAT sector") << longest(216) << "110/1";
        QTest::newRow("237 FAT sectors, two DIFAT sectors") << longest(468) << "237/2";

        QStringList folders{qEnvironmentVariable("VELTRANO_SOURCE_DIR") + "/fuzz/corpus/fuzz_workbook"};
        if (qEnvironmentVariableIsSet("VELTRANO_WORKBOOK_CORPUS"))
            folders << qEnvironmentVariable("VELTRANO_WORKBOOK_CORPUS");
        for (const QDir folder : folders) {
            for (const QString &name : folder.entryList(QDir::Files, QDir::Name)) {
                QFile input(folder.filePath(name));
                QVERIFY(input.open(QIODevice::ReadOnly));
                QTest::addRow("%s", qPrintable(folder.dirName() + '/' + name)) << FuzzInput::rows(input.readAll()) << "";
            }
        }
    }

    void roundTrip()
    {
        QFETCH(Rows, rows);
        QFETCH(QString, sectors);
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
        TempWorkDir dir;
        QFile file("book.xls");
        QVERIFY(file.open(QIODevice::ReadWrite) && book.write(&file) && file.seek(0));
        const QByteArray header = file.read(76);
        if (!sectors.isEmpty())
            QCOMPARE(QString("%1/%2").arg(qFromLittleEndian<quint32>(header.constData() + 44)).arg(qFromLittleEndian<quint32>(header.constData() + 72)), sectors);
        file.close();
        const XlsContent content = readXls("book.xls");
        QCOMPARE(content.problems, QStringList());
        QCOMPARE(content.sheetNames, QStringList{"data"});
        QCOMPARE(content.sheets.value(0), expected);
    }
};

QTEST_GUILESS_MAIN(TestXlsWorkbook)
#include "tst_xlsworkbook.moc"
