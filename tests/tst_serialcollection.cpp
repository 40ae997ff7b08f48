// Collection through real serial lines: pseudo-terminals played in-process.
#include "collectionprobe.h"
#include "windowtestcase.h"
#include "printline.h"
#include "pseudoterminal.h"

#include <QPointer>
#include <QtTest>

#include <memory>


using Veltrano::Sim::PseudoTerminal;

namespace {

constexpr int kPatience = 15000;  // ms; generous for a loaded machine

// Pseudo-terminals refuse 7 data bits: that is reported at every start.
const QStringList kRefused{
    "error: The requested device operation is not supported or prohibited by the running operating system.",
    "startToCollect: cannot set data bits"};

// A good line configuration on the given device, then the extra entries.
QStringList lineOn(const QString &id, const QString &device, const QStringList &extra = {})
{
    QStringList entries{id + "/comPort=" + device, id + "/name=Balance " + id, id + "/transmissionRate=9600",
                        id + "/parity=odd", id + "/stopBits=1", id + "/samplingInterval=1"};
    for (const QString &entry : extra)
        entries << id + '/' + entry;
    return entries;
}

// Whether the device can be opened now (Qt locks a port while it is open).
bool canOpen(const QString &device)
{
    QSerialPort port(device);
    return port.open(QIODevice::ReadOnly);
}

} // namespace

class TestSerialCollection : public WindowTestCase
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void lineSettings_data();
    void lineSettings();
    void linesIn_data();
    void linesIn();
    void releasesThePort_data();
    void releasesThePort();
    void hangUpIsReportedOnce();

private:
    std::unique_ptr<PseudoTerminal> m_line;
};

void TestSerialCollection::init()
{
    WindowTestCase::init();
    m_line = std::make_unique<PseudoTerminal>();
    QString error;
    QVERIFY2(m_line->open(&error), qPrintable(error));
}

void TestSerialCollection::cleanup()
{
    m_line.reset();
    WindowTestCase::cleanup();
}

void TestSerialCollection::lineSettings_data()
{
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<QString>("line");  // "baud parity stop bits" of the open port

    QTest::newRow("good") << QStringList() << kRefused << "9600 3 1";
    QTest::newRow("mark, two stop bits") << QStringList({"parity=mark", "stopBits=2", "transmissionRate=1200"})
                                         << kRefused << "1200 5 2";
    QTest::newRow("baud absent") << QStringList({"transmissionRate="})
                                 << QStringList({kRefused.at(0), "startToCollect: cannot set baud rate", kRefused.at(1)})
                                 << "";
    QTest::newRow("parity in other case") << QStringList({"parity=Mark"})
                                          << kRefused + QStringList{"startToCollect: unknown parity"} << "";
    QTest::newRow("stop bits 1.5") << QStringList({"stopBits=1.5"})
                                   << kRefused + QStringList{"startToCollect: invalid stopbits"} << "";
}

void TestSerialCollection::lineSettings()
{
    QFETCH(QStringList, extra);
    QFETCH(QStringList, boxes);
    QFETCH(QString, line);

    writeSettings(lineOn("P", m_line->devicePath(), extra));
    MainWindow window;
    MainWindowProbe probe{window};
    window.startToCollect();
    QCOMPARE(withoutPrefixes(m_boxes->texts()), boxes);

    QSerialPort *port = probe.port("P");
    QCOMPARE(port->openMode(), QIODevice::ReadWrite);
    if (!line.isEmpty())
        QCOMPARE(QString("%1 %2 %3").arg(port->baudRate()).arg(int(port->parity())).arg(int(port->stopBits())), line);
    QCOMPARE(port->flowControl(), QSerialPort::HardwareControl);
    QVERIFY(probe.timer("P")->isActive());
}

void TestSerialCollection::linesIn_data()
{
    // Each chunk is written once the state after the previous one was reached.
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QStringList>("latest");     // "header|result|unit" after each chunk, "" for none yet
    QTest::addColumn<QByteArrayList>("buffer");  // what waits in the receive buffer after each chunk

    const QByteArray line = "+    12.34 g  \r\n";
    QTest::newRow("split 10 + 6") << QByteArrayList({line.left(10), line.mid(10)}) << QStringList({"", "|+12.34|g  "})
                                  << QByteArrayList({line.left(10), ""});
    QTest::newRow("two 22-byte lines at once")
        << QByteArrayList({"N     +     1.00 g  \r\nG     -     2.50 kg \r\n"}) << QStringList({"G     |-2.50|kg "})
        << QByteArrayList({""});
    QTest::newRow("start mid-line") << QByteArrayList({"34 g  \r\n" + line}) << QStringList({"|+12.34|g  "})
                                    << QByteArrayList({""});
    QTest::newRow("15 bytes wait") << QByteArrayList({"+   12.34 g  \r\n", line}) << QStringList({"", "|+12.34|g  "})
                                   << QByteArrayList({"+   12.34 g  \r\n", ""});
    QTest::newRow("error and status keep the reading")
        << QByteArrayList({line + "   Err 54      \r\nStat      Busy      \r\n+   12"}) << QStringList({"|+12.34|g  "})
        << QByteArrayList({"+   12"});
    QTest::newRow("endless line is bounded")
        << QByteArrayList({QByteArray(1500, 'x'), "\n" + line}) << QStringList({"", "|+12.34|g  "})
        << QByteArrayList({QByteArray(Veltrano::PrintLine::kMaxPending, 'x'), ""});
}

void TestSerialCollection::linesIn()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(QStringList, latest);
    QFETCH(QByteArrayList, buffer);

    writeSettings(lineOn("P", m_line->devicePath(), {"samplingInterval="}));
    MainWindow window;
    MainWindowProbe probe{window};
    window.startToCollect();
    for (int i = 0; i < chunks.size(); ++i) {
        QVERIFY(m_line->write(chunks.at(i)));
        QTRY_COMPARE_WITH_TIMEOUT(probe.buffer("P"), buffer.at(i), kPatience);
        QTRY_COMPARE_WITH_TIMEOUT(probe.latest("P"), latest.at(i), kPatience);
    }
}

void TestSerialCollection::releasesThePort_data()
{
    QTest::addColumn<bool>("quit");
    QTest::newRow("stop") << false;
    QTest::newRow("quit while collecting") << true;
}

void TestSerialCollection::releasesThePort()
{
    QFETCH(bool, quit);
    writeSettings(lineOn("P", m_line->devicePath()));
    auto window = std::make_unique<MainWindow>();
    window->startToCollect();
    QVERIFY(!canOpen(m_line->devicePath()));
    if (quit)
        window.reset();
    else
        window->stopToCollect();
    QVERIFY(canOpen(m_line->devicePath()));
}

void TestSerialCollection::hangUpIsReportedOnce()
{
    const QString link = m_dir->filePath("balance");
    QVERIFY(m_line->makeLink(link));
    writeSettings(lineOn("P", link));
    MainWindow window;
    MainWindowProbe probe{window};
    window.startToCollect();
    QPointer<QSerialPort> port = probe.port("P");
    QVERIFY(m_line->write("+    12.34 g  \r\n"));
    // The sampling timer stores the reading.
    QTRY_COMPARE_WITH_TIMEOUT(allTestRows().value(allTestRows().size() - 1).section('|', 2),
                              QStringLiteral("Balance P||+12.34|g  "), kPatience);
    m_boxes->clear();

    // The balance goes away: the port raises read errors until it is closed.
    m_line->hangUp();
    QTRY_VERIFY_WITH_TIMEOUT(!port->isOpen(), kPatience);
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->count(), 1, kPatience);
    QCOMPARE(withoutPrefixes(m_boxes->texts()), QStringList({"error: An I/O error occurred while reading the data."}));

    // The instrument stays registered and is still recorded with its last reading.
    QCOMPARE(probe.ports(), QStringList({"P"}));
    window.storeImmediately();
    QCOMPARE(allTestRows().last().section('|', 2), QStringLiteral("Balance P||+12.34|g  "));
    QCOMPARE(m_boxes->count(), 1);

    // The balance comes back on the same path: Stop and Start recover.
    PseudoTerminal again;
    QVERIFY(again.open() && again.makeLink(link));
    window.stopToCollect();
    m_boxes->clear();
    window.startToCollect();
    QCOMPARE(withoutPrefixes(m_boxes->texts()), kRefused);
    QVERIFY(again.write("+    56.78 g  \r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(probe.latest("P"), QStringLiteral("|+56.78|g  "), kPatience);
}

QTEST_MAIN(TestSerialCollection)
#include "tst_serialcollection.moc"
