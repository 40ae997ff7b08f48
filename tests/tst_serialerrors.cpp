#include "serialerrors.h"

#include <QSerialPort>
#include <QtTest>

using namespace Veltrano::SerialErrors;

class TestSerialErrors : public QObject
{
    Q_OBJECT
private slots:
    void describe_data();
    void describe();
    void repeats_data();
    void repeats();
};

void TestSerialErrors::describe_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("critical");
    QTest::addColumn<QString>("text");

    QTest::newRow("NoError") << 0 << false << "no error";
    QTest::newRow("DeviceNotFoundError") << 1 << true
                                         << "An error occurred while attempting to open an non-existing device.";
    QTest::newRow("PermissionError") << 2 << true
                                     << "An error occurred while attempting to open an already opened device by another "
                                        "process or a user not having enough permission and credentials to open.";
    QTest::newRow("OpenError") << 3 << true
                               << "An error occurred while attempting to open an already opened device in this object";
    QTest::newRow("ParityError") << 4 << false << "Parity error detected by the hardware while reading data.";
    QTest::newRow("FramingError") << 5 << false << "Framing error detected by the hardware while reading data.";
    QTest::newRow("BreakConditionError") << 6 << true << "Break condition detected by the hardware on the input line.";
    QTest::newRow("WriteError") << 7 << true << "An I/O error occurred while writing the data.";
    QTest::newRow("ReadError") << 8 << true << "An I/O error occurred while reading the data.";
    QTest::newRow("ResourceError") << 9 << true
                                   << "An I/O error occurred when a resource becomes unavailable, e.g. when the device "
                                      "is unexpectedly removed from the system.";
    QTest::newRow("UnsupportedOperationError")
        << 10 << true << "The requested device operation is not supported or prohibited by the running operating system.";
    QTest::newRow("UnknownError") << 11 << false << "An unidentified error occurred.";
    QTest::newRow("TimeoutError (12)") << 12 << true << "internal unknown error";
    QTest::newRow("NotOpenError (13)") << 13 << true << "internal unknown error";
    QTest::newRow("negative") << -1 << true << "internal unknown error";
}

void TestSerialErrors::describe()
{
    QFETCH(int, code);
    QFETCH(bool, critical);
    QFETCH(QString, text);
    const Description description = Veltrano::SerialErrors::describe(code);
    QCOMPARE(description.critical, critical);
    QCOMPARE(QString::fromLatin1(description.text), text);
}

void TestSerialErrors::repeats_data()
{
    // Each event "instrument:code"; each verdict "r" (report) or "q" (quiet),
    // followed by "+close" when the port is to be closed.
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("verdicts");
    QTest::addColumn<bool>("clearBetween");  // a new run after the first half

    const QString read = QString::number(QSerialPort::ReadError);
    const QString resource = QString::number(QSerialPort::ResourceError);
    const QString unsupported = QString::number(QSerialPort::UnsupportedOperationError);

    QTest::newRow("hang-up storm") << QStringList({"A:" + read, "A:" + read, "A:" + read, "A:" + read})
                                   << QStringList({"r", "q+close", "q", "q"}) << false;
    QTest::newRow("one read error stays open") << QStringList({"A:" + read}) << QStringList({"r"}) << false;
    QTest::newRow("resource error closes at once") << QStringList({"A:" + resource, "A:" + resource})
                                                   << QStringList({"r+close", "q"}) << false;
    QTest::newRow("ports apart") << QStringList({"A:" + read, "B:" + read, "B:" + read, "A:" + read})
                                 << QStringList({"r", "r", "q+close", "q+close"}) << false;
    QTest::newRow("ids differ in case") << QStringList({"a:" + unsupported, "A:" + unsupported})
                                        << QStringList({"r", "r"}) << false;
    QTest::newRow("other code is told") << QStringList({"A:" + unsupported, "A:" + read, "A:" + unsupported})
                                        << QStringList({"r", "r", "q"}) << false;
    QTest::newRow("close asked once") << QStringList({"A:" + resource, "A:" + read, "A:" + read})
                                      << QStringList({"r+close", "r", "q"}) << false;
    QTest::newRow("new run tells again") << QStringList({"A:" + read, "A:" + read, "A:" + read, "A:" + read})
                                         << QStringList({"r", "q+close", "r", "q+close"}) << true;
}

void TestSerialErrors::repeats()
{
    QFETCH(QStringList, events);
    QFETCH(QStringList, verdicts);
    QFETCH(bool, clearBetween);

    RepeatFilter filter;
    QStringList seen;
    for (int i = 0; i < events.size(); ++i) {
        if (clearBetween && i == events.size() / 2)
            filter.clear();
        const QStringList parts = events.at(i).split(':');
        const RepeatFilter::Verdict verdict = filter.record(parts.at(0), parts.at(1).toInt());
        seen << QString(verdict.firstTime ? "r" : "q") + (verdict.closePort ? "+close" : "");
    }
    QCOMPARE(seen, verdicts);
}

QTEST_APPLESS_MAIN(TestSerialErrors)
#include "tst_serialerrors.moc"
