#include "serialerrors.h"

#include <QSerialPort>
#include <QtTest>

using namespace Veltrano::SerialErrors;

class TestSerialErrors : public QObject
{
    Q_OBJECT
private slots:
    void repeats_data();
    void repeats();
};

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
