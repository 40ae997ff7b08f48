// The balance simulator: its print lines, its scenarios and the program.
#include "balancesimulator.h"
#include "printline.h"

#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace Veltrano::Sim;
using Veltrano::PrintLine::Kind;

Q_DECLARE_METATYPE(Veltrano::PrintLine::Kind)

class TestBalanceSim : public QObject
{
    Q_OBJECT
private slots:
    void valueField_data();
    void valueField();
    void linesAsTheParserReadsThem_data();
    void linesAsTheParserReadsThem();
    void program_data();
    void program();
};

void TestBalanceSim::valueField_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QByteArray>("field");

    QTest::newRow("positive") << 12.34 << 2 << QByteArray("+    12.34");
    QTest::newRow("negative") << -0.5 << 3 << QByteArray("-    0.500");
    QTest::newRow("rounds to zero") << -0.001 << 2 << QByteArray("+     0.00");
    QTest::newRow("too large") << 1e12 << 2 << QByteArray("+999999.99");
}

void TestBalanceSim::valueField()
{
    QFETCH(double, value);
    QFETCH(int, decimals);
    QFETCH(QByteArray, field);
    QCOMPARE(Veltrano::Sim::valueField(value, decimals), field);
}

void TestBalanceSim::linesAsTheParserReadsThem_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("reading");  // header|result|unit

    QTest::newRow("16") << printLine(16, "N", 12.34, 2, "g") << Kind::Reading << "|+12.34|g  ";
    QTest::newRow("16, long unit cut") << printLine(16, "", -3.5, 1, "ozt2") << Kind::Reading << "|-3.5|ozt";
    QTest::newRow("22") << printLine(22, "N", 12.34, 2, "kg") << Kind::Reading << "N     |+12.34|kg ";
    QTest::newRow("22, long header cut") << printLine(22, "Netto12", 1, 0, "g") << Kind::Reading << "Netto1|+1|g  ";
    QTest::newRow("error 16") << errorLine(16, 54) << Kind::ErrorCode << "";
    QTest::newRow("error 22 is a reading") << errorLine(22, 7) << Kind::Reading << "      |Err07|   ";
    QTest::newRow("status") << statusLine() << Kind::Status << "";
}

void TestBalanceSim::linesAsTheParserReadsThem()
{
    QFETCH(QByteArray, line);
    QFETCH(Kind, kind);
    QFETCH(QString, reading);

    QVERIFY(line.endsWith("\r\n"));
    const auto parsed = Veltrano::PrintLine::parse(line);
    QCOMPARE(parsed.kind, kind);
    if (kind == Kind::Reading)
        QCOMPARE(parsed.header + '|' + parsed.result + '|' + parsed.unit, reading);
}

void TestBalanceSim::program_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestBalanceSim::program()
{
    QFETCH(int, signal);

    QTemporaryDir dir;
    const QString link = dir.filePath("balance");
    QProcess sim;
    sim.start(QStringLiteral(VELTRANO_BALANCE_SIM),
              {"--link", link, "--interval", "50", "--layout", "22", "--unit", "mg", "--value", "-1.5", "--drift", "0"});
    QVERIFY(sim.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(sim.canReadLine(), 15000);
    const QString device = QString::fromLocal8Bit(sim.readLine()).trimmed();
    QVERIFY(device.startsWith("/dev/"));
    QCOMPARE(QFileInfo(link).symLinkTarget(), device);

    // What arrives on the device is the balance's print lines.
    QSerialPort port(link);
    QVERIFY(port.open(QIODevice::ReadOnly));
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += port.readAll()).count('\n') >= 3, 15000);
    QByteArray line;
    while (!(line = Veltrano::PrintLine::takeLine(received)).isEmpty()) {
        if (line.size() == 22)
            QCOMPARE(line, QByteArray("N     -     1.50 mg \r\n"));
    }
    port.close();

    ::kill(pid_t(sim.processId()), signal);
    QVERIFY(sim.waitForFinished(15000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink());
}

QTEST_GUILESS_MAIN(TestBalanceSim)
#include "tst_balancesim.moc"
