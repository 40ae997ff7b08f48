// Collection through real serial lines: pseudo-terminals played in-process.
#include "balancesimulator.h"
#include "collectionprobe.h"
#include "mainwindow.h"
#include "modalrecorder.h"
#include "printline.h"
#include "pseudoterminal.h"
#include "stderrcapture.h"
#include "tempworkdir.h"
#include "testdatabase.h"

#include <QPointer>
#include <QtTest>

#include <memory>

using Veltrano::Sim::PseudoTerminal;

namespace {

constexpr int kPatience = 15000;  // ms; generous for a loaded machine

const QString kUnsupported = QStringLiteral(
    "error: The requested device operation is not supported or prohibited by the running operating system.");
const QString kDataBits = QStringLiteral("startToCollect: cannot set data bits");
const QString kReadError = QStringLiteral("error: An I/O error occurred while reading the data.");

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

class TestSerialCollection : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void lineSettings_data();
    void lineSettings();
    void openOutcomes();
    void linesIn_data();
    void linesIn();
    void simulatedBalanceIsStoredByteForByte();
    void stopReleasesThePort();
    void quitReleasesThePort();
    void hangUpIsReportedOnce();

private:
    std::unique_ptr<TempWorkDir> m_dir;
    std::unique_ptr<ModalRecorder> m_boxes;
    std::unique_ptr<PseudoTerminal> m_line;
};

void TestSerialCollection::initTestCase()
{
    installTestMessageHandler();
}

void TestSerialCollection::init()
{
    m_dir = std::make_unique<TempWorkDir>();
    QVERIFY(openTestDatabase());
    m_boxes = std::make_unique<ModalRecorder>();
    m_line = std::make_unique<PseudoTerminal>();
    QString error;
    QVERIFY2(m_line->open(&error), qPrintable(error));
}

void TestSerialCollection::cleanup()
{
    m_line.reset();
    m_boxes.reset();
    closeTestDatabase();
    m_dir.reset();
}

void TestSerialCollection::lineSettings_data()
{
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<int>("baudRate");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stopBits");

    // Pseudo-terminals refuse 7 data bits: that is reported at every start.
    const QStringList refused{kUnsupported, kDataBits};
    QTest::newRow("good") << QStringList() << refused << 9600 << int(QSerialPort::OddParity) << 1;
    QTest::newRow("mark, two stop bits") << QStringList({"parity=mark", "stopBits=2", "transmissionRate=1200"})
                                         << refused << 1200 << int(QSerialPort::MarkParity) << 2;
    // Linux pseudo-terminals refuse even parity too (measured), though not odd, mark or space.
    QTest::newRow("even") << QStringList({"parity=even"}) << refused + QStringList{"startToCollect: cannot set parity"}
                          << 9600 << -1 << 1;
    QTest::newRow("baud absent") << QStringList({"transmissionRate="})
                                 << QStringList({kUnsupported, "startToCollect: cannot set baud rate", kDataBits}) << -1
                                 << int(QSerialPort::OddParity) << 1;
    QTest::newRow("parity Mark") << QStringList({"parity=Mark"}) << refused + QStringList{"startToCollect: unknown parity"}
                                 << 9600 << -1 << 1;
    QTest::newRow("parity empty") << QStringList({"parity="}) << refused + QStringList{"startToCollect: unknown parity"}
                                  << 9600 << -1 << 1;
    QTest::newRow("stop bits 1.5") << QStringList({"stopBits=1.5"})
                                   << refused + QStringList{"startToCollect: invalid stopbits"} << 9600
                                   << int(QSerialPort::OddParity) << -1;
}

void TestSerialCollection::lineSettings()
{
    QFETCH(QStringList, extra);
    QFETCH(QStringList, boxes);
    QFETCH(int, baudRate);
    QFETCH(int, parity);
    QFETCH(int, stopBits);

    writeSettings(lineOn("P", m_line->devicePath(), extra));
    MainWindow window;
    MainWindowProbe probe{window};
    window.startToCollect();
    QCOMPARE(withoutPrefixes(m_boxes->texts()), boxes);

    QSerialPort *port = probe.port("P");
    QVERIFY(port->isOpen());
    QCOMPARE(port->openMode(), QIODevice::ReadWrite);
    if (baudRate > 0)
        QCOMPARE(port->baudRate(), baudRate);
    if (parity >= 0)
        QCOMPARE(int(port->parity()), parity);
    if (stopBits > 0)
        QCOMPARE(int(port->stopBits()), stopBits);
    QCOMPARE(port->flowControl(), QSerialPort::HardwareControl);
    QVERIFY(probe.timer("P")->isActive());
}

void TestSerialCollection::openOutcomes()
{
    // A and C open, B missing, D on A's device which Qt keeps locked.
    PseudoTerminal third;
    QVERIFY(third.open());
    writeSettings(lineOn("A", m_line->devicePath()) + lineOn("B", "/nonexistent/ttyS99")
                  + lineOn("C", third.devicePath()) + lineOn("D", m_line->devicePath()));
    MainWindow window;
    MainWindowProbe probe{window};
    window.startToCollect();
    QString open;
    for (const char *id : {"A", "B", "C", "D"}) {
        open += probe.port(id)->isOpen() ? "1" : "0";
        QVERIFY(probe.timer(id)->isActive());
    }
    QCOMPARE(open, QStringLiteral("1010"));
    // The message names the port as configured, full path and all.
    QCOMPARE(withoutPrefixes(m_boxes->texts()).filter("cannot open"),
             QStringList({"startToCollect: cannot open serial port:  \"/nonexistent/ttyS99\" instrument:  \"B\"",
                          "startToCollect: cannot open serial port:  \"" + m_line->devicePath() + "\" instrument:  \"D\""}));
}

void TestSerialCollection::linesIn_data()
{
    // Each chunk is written once the state after the previous one was reached.
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QStringList>("latest");    // "header|result|unit" after each chunk, "" for none yet
    QTest::addColumn<QByteArrayList>("buffer");  // what waits in the receive buffer after each chunk

    const QByteArray line = "+    12.34 g  \r\n";
    QTest::newRow("split 10 + 6") << QByteArrayList({line.left(10), line.mid(10)})
                                  << QStringList({"", "|+12.34|g  "}) << QByteArrayList({line.left(10), ""});
    QTest::newRow("two 22-byte lines at once")
        << QByteArrayList({"N     +     1.00 g  \r\nG     -     2.50 kg \r\n"}) << QStringList({"G     |-2.50|kg "})
        << QByteArrayList({""});
    QTest::newRow("start mid-line") << QByteArrayList({"34 g  \r\n" + line}) << QStringList({"|+12.34|g  "})
                                    << QByteArrayList({""});
    QTest::newRow("lone line feed and CR LF first") << QByteArrayList({"\n\r\n" + line}) << QStringList({"|+12.34|g  "})
                                                    << QByteArrayList({""});
    QTest::newRow("15 bytes wait") << QByteArrayList({"+   12.34 g  \r\n", line})
                                   << QStringList({"", "|+12.34|g  "})
                                   << QByteArrayList({"+   12.34 g  \r\n", ""});
    QTest::newRow("error and status keep the reading")
        << QByteArrayList({line + "   Err 54      \r\nStat      Busy      \r\n+   12"})
        << QStringList({"|+12.34|g  "}) << QByteArrayList({"+   12"});
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

void TestSerialCollection::simulatedBalanceIsStoredByteForByte()
{
    Veltrano::Sim::Scenario scenario;
    scenario.intervalMs = 100;
    scenario.layout = 22;
    scenario.header = "N";
    scenario.unit = "kg";
    scenario.value = -0.2;
    scenario.drift = 0.5;
    // (No error lines: in this layout the program takes them for readings.)
    scenario.statusEvery = 4;
    scenario.splitEvery = 2;
    scenario.loneLineFeedEvery = 5;
    scenario.garbageEvery = 7;
    // What the balance sent as readings, as the parser reads them.
    QStringList sent;
    QByteArray played;
    Veltrano::Sim::BalanceSimulator balance(scenario, [&](const QByteArray &bytes) {
        m_line->write(bytes);
        played += bytes;
        for (QByteArray line = Veltrano::PrintLine::takeLine(played); !line.isEmpty();
             line = Veltrano::PrintLine::takeLine(played)) {
            const auto parsed = Veltrano::PrintLine::parse(line);
            if (parsed.kind == Veltrano::PrintLine::Kind::Reading)
                sent << parsed.header + '|' + parsed.result + '|' + parsed.unit;
        }
    });

    writeSettings(lineOn("P", m_line->devicePath()));
    MainWindow window;
    window.startToCollect();
    balance.start();
    QTRY_VERIFY_WITH_TIMEOUT(allTestRows().size() >= 3, kPatience);
    window.stopToCollect();
    balance.stop();

    // Every row, one per second from the timer, holds a reading the balance
    // sent, byte for byte, or the placeholders before the first one.
    const QStringList rows = allTestRows();
    for (const QString &row : rows) {
        QCOMPARE(row.split('|').at(2), QStringLiteral("Balance P"));
        const QString stored = QStringList(row.split('|').mid(3)).join('|');
        if (stored != QLatin1String("no header yet|no result yet|no unit yet"))
            QVERIFY2(sent.contains(stored), qPrintable(stored));
    }
    QCOMPARE(rows.last().split('|').at(3), QStringLiteral("N     "));
}

void TestSerialCollection::stopReleasesThePort()
{
    writeSettings(lineOn("P", m_line->devicePath()));
    MainWindow window;
    window.startToCollect();
    QVERIFY(!canOpen(m_line->devicePath()));
    window.stopToCollect();
    QVERIFY(canOpen(m_line->devicePath()));
}

void TestSerialCollection::quitReleasesThePort()
{
    writeSettings(lineOn("P", m_line->devicePath()));
    {
        MainWindow window;
        window.startToCollect();
        QVERIFY(!canOpen(m_line->devicePath()));
    }
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
    QVERIFY(port->isOpen());
    QVERIFY(m_line->write("+    12.34 g  \r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(probe.latest("P"), QStringLiteral("|+12.34|g  "), kPatience);
    m_boxes->clear();

    // The balance goes away: the port raises read errors until it is closed.
    m_line->hangUp();
    QTRY_VERIFY_WITH_TIMEOUT(!port->isOpen(), kPatience);
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes->count(), 1, kPatience);
    QCOMPARE(withoutPrefixes(m_boxes->texts()), QStringList({kReadError}));

    // The instrument stays registered and is still recorded with its last reading.
    QCOMPARE(probe.ports(), QStringList({"P"}));
    window.storeImmediately();
    QCOMPARE(allTestRows().last().split('|').mid(2), QStringList({"Balance P", "", "+12.34", "g  "}));
    QCOMPARE(m_boxes->count(), 1);

    // The balance comes back on the same path: Stop and Start recover.
    PseudoTerminal again;
    QVERIFY(again.open());
    QVERIFY(again.makeLink(link));
    window.stopToCollect();
    m_boxes->clear();
    window.startToCollect();
    QCOMPARE(withoutPrefixes(m_boxes->texts()), QStringList({kUnsupported, kDataBits}));
    QVERIFY(probe.port("P")->isOpen());
    QVERIFY(again.write("+    56.78 g  \r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(probe.latest("P"), QStringLiteral("|+56.78|g  "), kPatience);
}

QTEST_MAIN(TestSerialCollection)
#include "tst_serialcollection.moc"
