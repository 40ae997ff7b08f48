// Collection through real serial lines: a pseudo-terminal played in-process
// stands in for the balance.
#include "collectionprobe.h"
#include "collect/instrumentconfig.h"
#include "collect/printline.h"
#include "pseudoterminal.h"
#include "windowtestcase.h"

#include <QRegularExpression>
#include <QSqlQuery>

#include <memory>

using Veltrano::Sim::PseudoTerminal;

namespace {

constexpr int kPatience = 15000;  // ms; generous for a loaded machine

// Pseudo-terminals refuse 7 data bits: that is reported at every start.
const QStringList kRefused{
    "The requested device operation is not supported or prohibited by the running operating system.",
    "cannot set data bits"};
const QString kGood = QStringLiteral("9600 3 1 1 3600000");  // baud, parity, stop bits, flow control, interval

} // namespace

class TestCollection : public WindowTestCase
{
    Q_OBJECT
private slots:
    void init()
    {
        WindowTestCase::init();
        m_line = std::make_unique<PseudoTerminal>();
        QVERIFY(m_line->open());
        writeSettings({"P/comPort=" + m_line->devicePath(), "P/transmissionRate=9600", "P/parity=odd", "P/stopBits=1",
                       "P/samplingInterval=3600"});
    }
    void cleanup()
    {
        m_line.reset();
        WindowTestCase::cleanup();
    }
    void scenario_data()
    {
        // Each chunk ("HUP": the line hangs up) is sent once the reading after the previous one was reached.
        QTest::addColumn<QStringList>("extra");  // settings over the good line configuration of instrument P
        QTest::addColumn<QByteArrayList>("chunks");
        QTest::addColumn<QStringList>("latest");  // "header|result|unit" after each chunk, "" for none yet
        QTest::addColumn<QByteArray>("buffer");   // what waits in the receive buffer at the end
        QTest::addColumn<QStringList>("boxes");   // every box, without file and line
        QTest::addColumn<QString>("port");        // as Start left it: kGood's fields, "closed" or "none"; empty: not checked
        QTest::addColumn<QString>("stored");      // name, header, result, unit stored by an immediate read

        const QByteArray line = "+    12.34 g  \r\n";
        const QString reading = QStringLiteral("|+12.34|g  "), none = QStringLiteral("|no header yet|no result yet|no unit yet");
        const QStringList noExtra, noLatest;
        const QByteArrayList noChunks;
        QTest::newRow("16, split 10 + 6, mid-line start") << noExtra << QByteArrayList({"4 g  \r\n" + line.left(10), line.mid(10)})
            << QStringList({"", reading}) << QByteArray() << kRefused << kGood << "|" + reading;
        QTest::newRow("22, two at once") << QStringList({"P/parity=mark", "P/stopBits=2", "P/transmissionRate=1200"})
            << QByteArrayList({"N     +     1.00 g  \r\nG     -     2.50 kg \r\n"}) << QStringList({"G     |-2.50|kg "})
            << QByteArray() << kRefused << "1200 5 2 1 3600000" << "|G     |-2.50|kg ";
        QTest::newRow("error and status lines keep the reading") << noExtra
            << QByteArrayList({line + "   Err 54  g  \r\nStat      Busy      \r\n+   12"}) << QStringList({reading})
            << QByteArray("+   12") << kRefused << kGood << "|" + reading;
        QTest::newRow("endless lines are bounded") << noExtra
            << QByteArrayList({QByteArray(1500, 'x') + "\n" + line + QByteArray(1500, 'y')}) << QStringList({reading})
            << QByteArray(Veltrano::PrintLine::kMaxPending, 'y') << kRefused << kGood << "|" + reading;
        QTest::newRow("hang-up: one box, the reading kept") << noExtra << QByteArrayList({line, "HUP"})
            << QStringList({reading, reading}) << QByteArray()
            << kRefused + QStringList{"An I/O error occurred while reading the data."} << kGood << "|" + reading;
        QTest::newRow("quotes and SQL in name and reading") << QStringList({QString::fromUtf8("P/name=Anna's Mérleg")})
            << QByteArrayList({"  x');--   'g'\r\n"}) << QStringList({"|x');--|'g'"}) << QByteArray() << kRefused << kGood
            << QString::fromUtf8("Anna's Mérleg||x');--|'g'");
        QTest::newRow("baud rate absent") << QStringList({"P/transmissionRate="}) << noChunks << noLatest << QByteArray()
            << QStringList({kRefused.at(0), "cannot set baud rate", kRefused.at(1)}) << "" << none;
        QTest::newRow("parity in other case") << QStringList({"P/parity=Mark"}) << noChunks << noLatest << QByteArray()
            << kRefused + QStringList{"unknown parity"} << "" << none;
        QTest::newRow("stop bits 1.5") << QStringList({"P/stopBits=1.5"}) << noChunks << noLatest << QByteArray()
            << kRefused + QStringList{"invalid stopbits"} << "" << none;
        QTest::newRow("missing port, 2 s") << QStringList({"P/comPort=/nonexistent/ttyS99", "P/samplingInterval=2", "P/name=B"})
            << noChunks << noLatest << QByteArray()
            << QStringList({"An error occurred while attempting to open an non-existing device.",
                            "cannot open serial port:  \"/nonexistent/ttyS99\" instrument:  \"P\""})
            << "closed 2000" << "B" + none;
        QTest::newRow("no port set") << QStringList({"P/comPort=", "P/name=B"}) << noChunks << noLatest << QByteArray()
            << QStringList({"cannot open serial port:  \"\" instrument:  \"P\""})
            << "closed 3600000" << "B" + none;
        // The longest interval whose milliseconds fit a timer is 2147483 s.
        QTest::newRow("interval 2147484") << QStringList({"P/samplingInterval=2147484"}) << noChunks << noLatest << QByteArray()
            << kRefused + QStringList{"invalid samping interval. skipping"} << "9600 3 1 1 -" << none;
        QTest::newRow("inactive") << QStringList({"P/active=false"}) << noChunks << noLatest << QByteArray() << noLatest
                                  << "none" << "";
    }

    void scenario()
    {
        QFETCH(QStringList, extra);
        QFETCH(QByteArrayList, chunks);
        QFETCH(QStringList, latest);
        QFETCH(QByteArray, buffer);
        QFETCH(QStringList, boxes);
        QFETCH(QString, port);
        QFETCH(QString, stored);
        writeSettings(extra);
        MainWindow window;
        MainWindowProbe probe{window};
        window.startToCollect();
        QCOMPARE(port.isEmpty() ? QString() : probe.portState("P"), port);
        if (extra.contains("P/comPort="))  // not the device folder's "Is a directory"
            QTRY_VERIFY(probe.session().states().state("P").linkText(QDateTime::currentMSecsSinceEpoch()).contains("no port is set"));
        for (int i = 0; i < chunks.size(); ++i) {
            if (chunks.at(i) == "HUP") {
                m_line->hangUp();
                QTRY_VERIFY_WITH_TIMEOUT(!probe.linkOpen("P"), kPatience);
            } else {
                QVERIFY(m_line->write(chunks.at(i)));
            }
            QTRY_COMPARE_WITH_TIMEOUT(probe.latest("P"), latest.at(i), kPatience);
        }
        QTRY_COMPARE_WITH_TIMEOUT(probe.buffer("P"), buffer, kPatience);
        QTRY_COMPARE_WITH_TIMEOUT(hangUpAsReadError(withoutPrefixes(firstLines(m_boxes->texts()))), boxes, kPatience);
        // Every registered instrument is stored, as a bound row with no NULL in it.
        window.storeImmediately();
        QVERIFY(probe.drain());
        QCOMPARE(allTestRows().value(0).section('|', 2), stored);
        QVERIFY(QRegularExpression("^(\\d{4}-\\d\\d-\\d\\d\\|\\d\\d:\\d\\d:\\d\\d\\|.*)?$").match(allTestRows().value(0)).hasMatch());
        QSqlQuery nulls(QStringLiteral("SELECT count(*) FROM data WHERE instrument_id IS NULL OR header IS NULL"));
        QVERIFY(nulls.next() && nulls.value(0).toInt() == 0);
        QCOMPARE(hangUpAsReadError(withoutPrefixes(firstLines(m_boxes->texts()))), boxes);
        // Every box names the balance it is about, and its port.
        const QString name = allTestRows().value(0).section('|', 2, 2);
        const QString comPort = Veltrano::Config::readText(*Veltrano::IniFile::open("settings.ini"), "P", "comPort");
        const QString instrument =
            (name.isEmpty() ? QString("P") : name + " (P)") + (comPort.isEmpty() ? QString() : " on " + comPort);
        for (const QString &text : m_boxes->texts())
            QCOMPARE(text.section('\n', 1), "Instrument: " + instrument);
    }

    void storeFailureShowsTheStatement()
    {
        writeSettings({"P/name=Anna's"});
        MainWindow window;
        window.startToCollect();
        QVERIFY(QSqlQuery().exec(QStringLiteral("DROP TABLE data")));
        QTRY_VERIFY(m_boxes->count() >= 2);  // 7 data bits refused
        m_boxes->clear();
        window.storeImmediately();
        QTRY_COMPARE(m_boxes->titles(), QStringList{"Critical"});
        const QString text = withoutPrefixes(m_boxes->texts()).first();
        QVERIFY2(QRegularExpression("^\"error occured during:\\nINSERT INTO data\\(sampling_date, sampling_time, "
                                    "instrument_id, header, result, unit\\) VALUES\\('\\d{4}-\\d\\d-\\d\\d','\\d\\d:\\d\\d:\\d\\d',"
                                    "'Anna's','no header yet','no result yet','no unit yet'\\);\\n.*no such table: data.*\"$",
                                    QRegularExpression::DotMatchesEverythingOption)
                     .match(text).hasMatch(),
                 qPrintable(text));
    }

    // The link at each tick goes with the row: a reading, the same again while
    // the balance is silent, the line hung up, a reading behind a new line.
    void linkStatesRecorded()
    {
        const QString link = m_dir->filePath("balance");
        PseudoTerminal first;
        QVERIFY(first.open() && first.makeLink(link));
        writeSettings({"P/comPort=" + link});
        MainWindow window;
        MainWindowProbe probe{window};
        window.startToCollect();
        QVERIFY(first.write("+    12.34 g  \r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(probe.latest("P"), "|+12.34|g  ", kPatience);
        probe.store("P");
        probe.store("P");
        first.hangUp();
        QTRY_VERIFY_WITH_TIMEOUT(!probe.linkOpen("P"), kPatience);
        probe.store("P");
        PseudoTerminal second;
        QVERIFY(second.open() && second.makeLink(link));
        QTRY_VERIFY_WITH_TIMEOUT(probe.linkOpen("P"), kPatience);
        QVERIFY(second.write("-    56.78 g  \r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(probe.latest("P"), "|-56.78|g  ", kPatience);
        probe.store("P");
        QVERIFY(probe.drain());
        QStringList recorded;
        // Each with the line it holds, and whether it is the first reading's.
        for (QSqlQuery query("SELECT state, raw, received_utc = (SELECT received_utc FROM provenance WHERE seq = 1) "
                             "FROM provenance ORDER BY seq");
             query.next();)
            recorded << query.value(0).toString() + '|' + query.value(1).toByteArray().trimmed() + '|' + query.value(2).toString();
        QCOMPARE(recorded, QStringList({"live|+    12.34 g|1", "repeated|+    12.34 g|1", "away|+    12.34 g|1",
                                        "live|-    56.78 g|0"}));
        window.stopToCollect();
        QVERIFY(probe.drain());
        QStringList audit;
        for (QSqlQuery query("SELECT kind, details FROM audit ORDER BY id"); query.next();)
            audit << query.value(0).toString() + ' ' + query.value(1).toString().section(',', 0, 0);
        QSqlQuery head("SELECT hash FROM provenance ORDER BY seq DESC LIMIT 1");
        QVERIFY(head.next());
        QCOMPARE(audit, QStringList({"provenance began {\"lastKeyBefore\":0", "collection started {\"instruments\":[\"P\"]}",
                                     "collection stopped {\"headHash\":\"" + head.value(0).toString() + '"'}));
    }

    // Stop, and closing the window while collecting, release the port.
    void releasesThePort()
    {
        auto window = std::make_unique<MainWindow>();
        QSerialPort port(m_line->devicePath());
        for (bool quit : {false, true}) {
            window->startToCollect();
            QVERIFY(!port.open(QIODevice::ReadOnly));  // Qt locks a port while it is open
            if (quit)
                window.reset();
            else
                window->stopToCollect();
            QVERIFY(port.open(QIODevice::ReadOnly));
            port.close();
        }
    }

private:
    std::unique_ptr<PseudoTerminal> m_line;
};

QTEST_MAIN(TestCollection)
#include "tst_collection.moc"
