#include "printline.h"

#include <QtTest>

using namespace Veltrano::PrintLine;

Q_DECLARE_METATYPE(Veltrano::PrintLine::Kind)

class TestPrintLine : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void cut_data();
    void cut();
    void overflow_data();
    void overflow();
};

void TestPrintLine::parse_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("header");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("unit");

    const Kind reading = Kind::Reading;
    QTest::newRow("16: plain") << QByteArray("+    12.34 g  \r\n") << reading << "" << "+12.34" << "g  ";
    QTest::newRow("16: inner spaces") << QByteArray("- 1 2. 3 4 kg \r\n") << reading << "" << "-12.34" << "kg ";
    QTest::newRow("16: unit full") << QByteArray("+  0.00012 ozt\r\n") << reading << "" << "+0.00012" << "ozt";
    QTest::newRow("16: separator and byte 14 not examined")
        << QByteArray("+    12.34Xg  Y\n") << reading << "" << "+12.34" << "g  ";
    QTest::newRow("16: ERR") << QByteArray("   ERR 54      \n") << Kind::ErrorCode << "" << "" << "";
    QTest::newRow("16: Err") << QByteArray("   Err 54  g  \r\n") << Kind::ErrorCode << "" << "" << "";
    QTest::newRow("16: err is a value") << QByteArray("   err 54  g  \r\n") << reading << "" << "err54" << "g  ";
    QTest::newRow("16: Err elsewhere is a value") << QByteArray("  Err 54   g  \r\n") << reading << "" << "Err54" << "g  ";
    QTest::newRow("16: zero byte ends the value") << QByteArray("+   1\0" "2.34 g  \r\n", 16) << reading << "" << "+1"
                                                  << "g  ";
    QTest::newRow("16: zero byte ends the unit") << QByteArray("+    12.34 g\0 \r\n", 16) << reading << "" << "+12.34"
                                                 << "g";
    QTest::newRow("16: UTF-8 unit") << QByteArray("+    12.34 \xc2\xb5g\r\n") << reading << "" << "+12.34"
                                    << QString::fromUtf8("\xc2\xb5g");
    QTest::newRow("16: quote kept") << QByteArray("+   1'2.34 g  \r\n") << reading << "" << "+1'2.34" << "g  ";

    QTest::newRow("22: plain") << QByteArray("N     +    12.34 g  \r\n") << reading << "N     " << "+12.34" << "g  ";
    QTest::newRow("22: Stat") << QByteArray("Stat      Busy      \r\n") << Kind::Status << "Stat  " << "Busy" << "   ";
    QTest::newRow("22: Stat at the start only") << QByteArray(" Stat     Busy      \r\n") << reading << " Stat " << "Busy"
                                                << "   ";
    QTest::newRow("22: stat is a reading") << QByteArray("stat  +    12.34 g  \r\n") << reading << "stat  " << "+12.34"
                                           << "g  ";
    QTest::newRow("22: no error test") << QByteArray("N        Err 54  g  \r\n") << reading << "N     " << "Err54" << "g  ";
    QTest::newRow("22: zero byte in header") << QByteArray("G\0    +    12.34 g  \r\n", 22) << reading << "G" << "+12.34"
                                             << "g  ";

    QTest::newRow("lone LF") << QByteArray("\n") << Kind::WrongLength << "" << "" << "";
    QTest::newRow("CR LF") << QByteArray("\r\n") << Kind::WrongLength << "" << "" << "";
    QTest::newRow("15 bytes") << QByteArray("+   12.34 g  \r\n") << Kind::WrongLength << "" << "" << "";
    QTest::newRow("17 bytes") << QByteArray("+     12.34 g  \r\n") << Kind::WrongLength << "" << "" << "";
    QTest::newRow("21 bytes") << QByteArray("N    +    12.34 g  \r\n") << Kind::WrongLength << "" << "" << "";
    QTest::newRow("23 bytes") << QByteArray("N      +    12.34 g  \r\n") << Kind::WrongLength << "" << "" << "";
}

void TestPrintLine::parse()
{
    QFETCH(QByteArray, line);
    QFETCH(Kind, kind);
    QFETCH(QString, header);
    QFETCH(QString, result);
    QFETCH(QString, unit);

    const Parsed parsed = Veltrano::PrintLine::parse(line);
    QCOMPARE(parsed.kind, kind);
    if (kind == Kind::Reading || kind == Kind::Status) {
        QCOMPARE(parsed.header, header);
        QCOMPARE(parsed.result, result);
        QCOMPARE(parsed.unit, unit);
    }
    if (kind == Kind::Reading)
        QVERIFY(!parsed.header.isNull());  // stored as an empty text, never as NULL
}

void TestPrintLine::cut_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<QByteArray>("rest");

    QTest::newRow("nothing") << QByteArray() << QByteArrayList() << QByteArray();
    QTest::newRow("no line feed yet") << QByteArray("+    12") << QByteArrayList() << QByteArray("+    12");
    QTest::newRow("one line") << QByteArray("+    12.34 g  \r\n") << QByteArrayList({"+    12.34 g  \r\n"})
                              << QByteArray();
    QTest::newRow("two lines and a start") << QByteArray("a\r\nbc\nd") << QByteArrayList({"a\r\n", "bc\n"})
                                           << QByteArray("d");
    QTest::newRow("lone line feeds") << QByteArray("\n\n\r\nx") << QByteArrayList({"\n", "\n", "\r\n"})
                                     << QByteArray("x");
    QTest::newRow("start mid-line") << QByteArray("34 g  \r\n+    12.34 g  \r\n")
                                    << QByteArrayList({"34 g  \r\n", "+    12.34 g  \r\n"}) << QByteArray();
}

void TestPrintLine::cut()
{
    QFETCH(QByteArray, buffer);
    QFETCH(QByteArrayList, lines);
    QFETCH(QByteArray, rest);

    QByteArrayList taken;
    for (QByteArray line = takeLine(buffer); !line.isEmpty(); line = takeLine(buffer))
        taken << line;
    QCOMPARE(taken, lines);
    QCOMPARE(buffer, rest);
}

void TestPrintLine::overflow_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("dropped");

    QTest::newRow("empty") << 0 << 0;
    QTest::newRow("at the bound") << kMaxPending << 0;
    QTest::newRow("one over") << kMaxPending + 1 << 1;
    QTest::newRow("far over") << 100000 << 100000 - kMaxPending;
}

void TestPrintLine::overflow()
{
    QFETCH(int, size);
    QFETCH(int, dropped);

    QByteArray buffer;
    for (int i = 0; i < size; ++i)
        buffer += char('a' + i % 26);
    const QByteArray newest = buffer.right(kMaxPending);
    QCOMPARE(dropOverflow(buffer), dropped);
    QCOMPARE(buffer, newest);  // the oldest bytes went
}

QTEST_APPLESS_MAIN(TestPrintLine)
#include "tst_printline.moc"
