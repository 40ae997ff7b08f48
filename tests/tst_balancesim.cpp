// The balance simulator program: its device link, its print lines, its exit.
#include "printline.h"

#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class TestBalanceSim : public QObject
{
    Q_OBJECT
private slots:
    void program_data();
    void program();
};

void TestBalanceSim::program_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
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

    QSerialPort port(link);
    QVERIFY(port.open(QIODevice::ReadOnly));
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += port.readAll()).count('\n') >= 3, 15000);
    for (QByteArray line; !(line = Veltrano::PrintLine::takeLine(received)).isEmpty();) {
        if (line.size() == 22)
            QCOMPARE(line, QByteArray("N     -     1.50 mg \r\n"));
    }
    port.close();

    ::kill(pid_t(sim.processId()), signal);
    QVERIFY(sim.waitForFinished(15000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

QTEST_GUILESS_MAIN(TestBalanceSim)
#include "tst_balancesim.moc"
