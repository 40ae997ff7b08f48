#include "printline.h"

#include <QtTest>

using namespace Veltrano::PrintLine;

class TestPrintLine : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void overflow_data();
    void overflow();
};

void TestPrintLine::parse_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("parsed");  // "header|result|unit" of a reading, else the kind

    QTest::newRow("16: plain") << QByteArray("+    12.34 g  \r\n") << "|+12.34|g  ";
    QTest::newRow("16: inner spaces") << QByteArray("- 1 2. 3 4 kg \r\n") << "|-12.34|kg ";
    QTest::newRow("16: separator and byte 14 not examined") << QByteArray("+    12.34Xg  Y\n") << "|+12.34|g  ";
    QTest::newRow("16: ERR") << QByteArray("   ERR 54      \n") << "error";
    QTest::newRow("16: Err") << QByteArray("   Err 54  g  \r\n") << "error";
    QTest::newRow("16: err is a value") << QByteArray("   err 54  g  \r\n") << "|err54|g  ";
    QTest::newRow("16: zero byte ends a field") << QByteArray("+   1\0" "2.34 g\0 \r\n", 16) << "|+1|g";
    QTest::newRow("16: UTF-8 unit, quote kept") << QByteArray("+   1'2.34 \xc2\xb5g\r\n")
                                                << QString::fromUtf8("|+1'2.34|\xc2\xb5g");
    QTest::newRow("22: plain") << QByteArray("N     +    12.34 g  \r\n") << "N     |+12.34|g  ";
    QTest::newRow("22: Stat") << QByteArray("Stat      Busy      \r\n") << "status";
    QTest::newRow("22: Stat at the start only") << QByteArray(" Stat     Busy      \r\n") << " Stat |Busy|   ";
    QTest::newRow("22: no error test") << QByteArray("N        Err 54  g  \r\n") << "N     |Err54|g  ";
    for (int length : {1, 2, 15, 17, 21, 23})
        QTest::addRow("%d bytes", length) << QByteArray(length - 1, '1') + '\n' << "wrong length";
}

void TestPrintLine::parse()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, parsed);
    const Parsed read = Veltrano::PrintLine::parse(line);
    const char *kinds[] = {"", "error", "status", "wrong length"};
    QCOMPARE(read.kind == Kind::Reading ? read.header + '|' + read.result + '|' + read.unit : kinds[int(read.kind)],
             parsed);
    QVERIFY(read.kind != Kind::Reading || !read.header.isNull());  // stored as an empty text, never as NULL
}

void TestPrintLine::overflow_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("at the bound") << kMaxPending;
    QTest::newRow("one over") << kMaxPending + 1;
    QTest::newRow("far over") << 100000;
}

void TestPrintLine::overflow()
{
    QFETCH(int, size);
    QByteArray buffer;
    for (int i = 0; i < size; ++i)
        buffer += char('a' + i % 26);
    const QByteArray newest = buffer.right(kMaxPending);
    QCOMPARE(dropOverflow(buffer), size - kMaxPending);
    QCOMPARE(buffer, newest);  // the oldest bytes went
}

QTEST_APPLESS_MAIN(TestPrintLine)
#include "tst_printline.moc"
