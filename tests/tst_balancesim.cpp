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
    void scenario_data();
    void scenario();
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
    QTest::newRow("whole") << 7.0 << 0 << QByteArray("+        7");
    QTest::newRow("rounds to zero") << -0.001 << 2 << QByteArray("+     0.00");
    QTest::newRow("too large") << 1e12 << 2 << QByteArray("+999999.99");
    QTest::newRow("too small") << -1e12 << 0 << QByteArray("-999999999");
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

void TestBalanceSim::scenario_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QStringList>("events");  // per line: kinds of its pieces

    QTest::newRow("plain") << "" << QStringList({"R", "R", "R", "R", "R", "R"});
    QTest::newRow("errors every 3") << "errors=3" << QStringList({"R", "R", "E", "R", "R", "E"});
    QTest::newRow("status every 2") << "status=2" << QStringList({"R", "S", "R", "S", "R", "S"});
    QTest::newRow("split every 2") << "split=2" << QStringList({"R", "r+r", "R", "r+r", "R", "r+r"});
    QTest::newRow("lone line feed every 3") << "lone=3" << QStringList({"R", "R", "R+L", "R", "R", "R+L"});
    QTest::newRow("garbage every 4") << "garbage=4" << QStringList({"R", "R", "R", "G+R", "R", "R"});
}

void TestBalanceSim::scenario()
{
    QFETCH(QString, setting);
    QFETCH(QStringList, events);

    Scenario scenario;
    scenario.drift = 0.25;
    const QStringList parts = setting.split('=');
    const int every = parts.value(1).toInt();
    if (parts.first() == "errors")
        scenario.errorEvery = every;
    else if (parts.first() == "status")
        scenario.statusEvery = every;
    else if (parts.first() == "split")
        scenario.splitEvery = every;
    else if (parts.first() == "lone")
        scenario.loneLineFeedEvery = every;
    else if (parts.first() == "garbage")
        scenario.garbageEvery = every;
    BalanceSimulator balance(scenario, [](const QByteArray &) {});

    QStringList seen;
    double previous = scenario.value;
    for (int i = 0; i < events.size(); ++i) {
        const QList<QByteArray> pieces = balance.nextPieces();
        QStringList kinds;
        QByteArray joined;
        for (const QByteArray &piece : pieces) {
            if (piece == "\n") {
                kinds << "L";
            } else if (!piece.contains('\n') && !piece.startsWith('+') && !piece.startsWith('-')) {
                kinds << "G";
            } else if (!piece.endsWith("\r\n")) {
                kinds << "r";
                joined += piece;
            } else {
                joined += piece;
                const Kind kind = Veltrano::PrintLine::parse(joined).kind;
                kinds << (joined.size() != piece.size() ? "r" : kind == Kind::Reading ? "R" : kind == Kind::ErrorCode ? "E" : "S");
                QCOMPARE(joined.size(), 16 + (kind == Kind::Status ? 6 : 0));
            }
        }
        seen << kinds.join('+');
        QVERIFY(qAbs(balance.currentValue() - previous) <= scenario.drift);
        previous = balance.currentValue();
    }
    QCOMPARE(seen, events);
    QCOMPARE(balance.lines(), events.size());
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
