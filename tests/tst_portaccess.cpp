// Where a port's device lives, what likely keeps it from opening, and the
// trace Start leaves when it is refused.
#include "collectionprobe.h"
#include "portaccess.h"
#include "pseudoterminal.h"
#include "windowtestcase.h"

#include <QPushButton>

using namespace Veltrano;

class TestPortAccess : public WindowTestCase
{
    Q_OBJECT
private slots:
    void deviceLocation_data();
    void deviceLocation();
    void likelyCause_data();
    void likelyCause();
    void startTracesARefusedPort();
};

void TestPortAccess::deviceLocation_data()
{
    QTest::addColumn<QString>("portName");
    QTest::addColumn<QString>("location");
#ifdef Q_OS_WIN
    QTest::newRow("COM") << "COM3" << "\\\\.\\COM3";
    QTest::newRow("namespace") << "\\\\.\\COM12" << "\\\\.\\COM12";
#else
    QTest::newRow("bare name") << "ttyUSB0" << "/dev/ttyUSB0";
    QTest::newRow("pseudo terminal") << "/dev/pts/4" << "/dev/pts/4";
    QTest::newRow("relative") << "./balance-16" << "./balance-16";
    QTest::newRow("name with a folder") << "serial/port1" << "/dev/serial/port1";
#endif
}

void TestPortAccess::deviceLocation()
{
    QFETCH(QString, portName);
    QFETCH(QString, location);
    QCOMPARE(PortAccess::deviceLocation(portName), location);
}

void TestPortAccess::likelyCause_data()
{
    QTest::addColumn<bool>("readable");
    QTest::addColumn<bool>("writable");
    QTest::addColumn<QString>("group");
    QTest::addColumn<QStringList>("mentions");
    QTest::addColumn<QString>("notMentioned");

    const QString busy = QStringLiteral("another program");
    const QString join = QStringLiteral("adduser $USER dialout");
    QTest::newRow("no access") << false << false << "dialout" << QStringList{"/dev/ttyUSB0", "dialout", join} << busy;
    QTest::newRow("no group") << false << false << "" << QStringList{"/dev/ttyUSB0", "may not"} << "adduser";
    QTest::newRow("accessible") << true << true << "dialout" << QStringList{"/dev/ttyUSB0", busy} << "adduser";
}

void TestPortAccess::likelyCause()
{
    QFETCH(bool, readable);
    QFETCH(bool, writable);
    QFETCH(QString, group);
    QFETCH(QStringList, mentions);
    QFETCH(QString, notMentioned);

    const PortAccess::DeviceFacts facts{true, readable, writable, group};
    const QString cause = PortAccess::likelyCause(QStringLiteral("/dev/ttyUSB0"), facts);
    for (const QString &text : mentions)
        QVERIFY2(cause.contains(text), qPrintable(cause));
    QVERIFY2(!cause.contains(notMentioned), qPrintable(cause));
}

// A port that another holder has open is refused with a permission error:
// the log names the device and the likely cause, the boxes stay as they are.
void TestPortAccess::startTracesARefusedPort()
{
    Sim::PseudoTerminal line;
    QString error;
    QVERIFY2(line.open(&error), qPrintable(error));
    QSerialPort holder(line.devicePath());
    QVERIFY(holder.open(QIODevice::ReadOnly));

    writeSettings({"bench/comPort=" + line.devicePath(), "bench/samplingInterval=1"});
    StderrCapture stderrCapture;
    {
        MainWindow window;
        window.findChild<QPushButton *>(QStringLiteral("uStart"))->click();
        window.findChild<QPushButton *>(QStringLiteral("uStop"))->click();
        QCOMPARE(withoutPrefixes(m_boxes->texts()),
                 QStringList({"error: An error occurred while attempting to open an already opened device by another "
                              "process or a user not having enough permission and credentials to open.",
                              "startToCollect: cannot open serial port:  \"" + line.devicePath()
                                  + "\" instrument:  \"bench\""}));
    }
    const QStringList traces = messages(stderrCapture.takeLines(), "Debug: ").filter("permission denied:");
    QCOMPARE(traces.size(), 1);
    QVERIFY2(traces.first().contains("\"" + line.devicePath() + "\""), qPrintable(traces.first()));
    QVERIFY2(traces.first().contains("another program probably holds it open"), qPrintable(traces.first()));
}

QTEST_MAIN(TestPortAccess)
#include "tst_portaccess.moc"
