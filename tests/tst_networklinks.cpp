// Balances on the network, served over loopback by a test server, and
// serial ports stored by a stable name that is moved to another line while
// collecting.
#include "collectionprobe.h"
#include "collect/collectionengine.h"
#include "collect/networklink.h"
#include "collect/stableports.h"
#include "pseudoterminal.h"
#include "tempworkdir.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using Veltrano::CollectionEngine;
using Veltrano::EngineProbe;

namespace {

constexpr int kPatience = 15000;  // ms; a reconnect comes within 2 s, a loaded machine is slow

// A device server: every client gets what is sent, and, while feeding, a
// line every 100 ms.
class TestServer : public QObject
{
public:
    TestServer()
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *client = m_server.nextPendingConnection()) {
                ++m_connections;
                if (m_drop)
                    client->deleteLater();
                else
                    m_clients.append(client);
            }
        });
        connect(&m_feed, &QTimer::timeout, this, [this] { send(m_line); });
        m_feed.setInterval(100);
    }
    bool listen(quint16 port = 0) { return m_server.listen(QHostAddress::LocalHost, port); }
    quint16 port() const { return m_server.serverPort(); }
    int connections() const { return m_connections; }
    // Takes every connection and closes it at once, as a busy device server.
    void dropAll(bool drop) { m_drop = drop; }
    void send(const QByteArray &bytes)
    {
        for (QTcpSocket *client : qAsConst(m_clients))
            client->write(bytes);
    }
    void feed(const QByteArray &line)
    {
        m_line = line;
        m_feed.start();
    }
    // Closes every connection and stops listening, as a device server that restarts.
    void shutDown()
    {
        m_feed.stop();
        m_server.close();
        qDeleteAll(m_clients);
        m_clients.clear();
    }

private:
    QTcpServer m_server;
    QList<QTcpSocket *> m_clients;
    QTimer m_feed;
    QByteArray m_line;
    int m_connections = 0;
    bool m_drop = false;
};

} // namespace

class TestNetworkLinks : public QObject
{
    Q_OBJECT
private slots:
    void init() { m_dir = std::make_unique<TempWorkDir>(); }
    void cleanup() { m_dir.reset(); }

    void addresses_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("parsed");  // "host port idle-ms", or the error
        QTest::newRow("IPv4") << "tcp://192.168.1.40:4001" << "192.168.1.40 4001 0";
        QTest::newRow("IPv6, idle") << "TCP://[fe80::1]:4001?idle=5" << "fe80::1 4001 5000";
        QTest::newRow("host name") << "tcp://scales-7.lab:23/" << "scales-7.lab 23 0";
        const QString badPort = "expected tcp://HOST:PORT with a port from 1 to 65535";
        QTest::newRow("no port") << "tcp://scales-7.lab" << badPort;
        QTest::newRow("port 0") << "tcp://10.0.0.1:0" << badPort;
        QTest::newRow("path") << "tcp://10.0.0.1:80/x" << "nothing but a host, a port and ?idle=SECONDS may follow tcp://";
        QTest::newRow("other option") << "tcp://10.0.0.1:80?baud=9600" << "the only option is idle=SECONDS, from 1 to 86400";
    }

    void addresses()
    {
        QFETCH(QString, text);
        QFETCH(QString, parsed);
        QString error;
        const auto address = Veltrano::NetworkAddress::parse(text, &error);
        QCOMPARE(address ? QString("%1 %2 %3").arg(address->host).arg(address->port).arg(address->idleMs) : error, parsed);
    }

    void link_data()
    {
        QTest::addColumn<bool>("listening");  // at Start
        QTest::addColumn<QString>("fault");   // "close": the server restarts; "silent": it never sends;
                                              // "drop": it closes three connections at once
        QTest::addColumn<QString>("told");    // the one problem reported
        QTest::newRow("server restarts") << true << "close" << "network link lost: %1 - closed by the other side";
        QTest::newRow("silent past the keep-alive limit") << true << "silent" << "network link lost: %1 - silent for 1 s";
        QTest::newRow("dropped again and again: told once")
            << true << "drop" << "network link lost: %1 - closed by the other side";
        QTest::newRow("refused at start") << false << "" << "cannot open network link: %1 - Connection refused";
    }

    // Recorded like a serial balance; a fault is told once, and the link comes
    // back by itself with the rows going on.
    void link()
    {
        QFETCH(bool, listening);
        QFETCH(QString, fault);
        QFETCH(QString, told);  // %1: the address and the instrument
        TestServer server;
        QVERIFY(server.listen());
        const quint16 port = server.port();
        if (!listening)
            server.shutDown();
        const QString address = QString("tcp://127.0.0.1:%1%2").arg(port).arg(fault == "silent" ? "?idle=1" : "");
        writeSettings({"N/comPort=" + address, "N/name=Net", "N/samplingInterval=3600"});

        CollectionEngine engine;
        EngineProbe probe{engine};
        QSignalSpy problems(&engine, &CollectionEngine::problem);
        QStringList rows;
        connect(&engine, &CollectionEngine::sampled, this,
                [&rows](const QString &, const Veltrano::Row &row) {
                    rows << row.name + '|' + row.result + '|' + row.provenance.state;
                });
        QSignalSpy closed(&engine, &CollectionEngine::closedAfterError), back(&engine, &CollectionEngine::reconnected);
        engine.start("settings.ini");
        QCOMPARE(engine.instruments(), QStringList{"N"});
        if (listening) {
            QTRY_COMPARE_WITH_TIMEOUT(server.connections(), 1, kPatience);
            if (fault != "silent") {
                server.feed("+     1.00 g  \r\n");
                QTRY_COMPARE_WITH_TIMEOUT(probe.latest("N"), QString("|+1.00|g  "), kPatience);
            }
            if (fault != "silent")
                server.shutDown();
            server.dropAll(fault == "drop");
            QVERIFY(fault != "drop" || server.listen(port));
        }
        QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, kPatience);
        if (fault == "drop") {
            QTRY_VERIFY_WITH_TIMEOUT(server.connections() >= 4, 4 * kPatience);
            server.dropAll(false);
        } else if (fault != "silent") {
            QVERIFY(server.listen(port));
        }
        QTRY_VERIFY_WITH_TIMEOUT(back.count() >= 1, kPatience);
        server.feed("+     2.00 g  \r\n");
        QTRY_COMPARE_WITH_TIMEOUT(probe.latest("N"), QString("|+2.00|g  "), kPatience);
        engine.storeImmediately();
        QCOMPARE(rows, QStringList{"Net|+2.00|immediate read"});  // not away: the link is open
        QCOMPARE(engine.states().states().value("N").linkText(QDateTime::currentMSecsSinceEpoch()), QString("reconnected"));
        QCOMPARE(problems.count(), 1);
        const auto message = qvariant_cast<Veltrano::OperatorMessage>(problems.at(0).at(0));
        QCOMPARE(withoutPrefixes({message.line}), QStringList{told.arg(" \"" + address + "\" instrument:  \"N\"")});
        QVERIFY2(message.logText().startsWith("instrument N (Net) on " + address + ": "), qPrintable(message.logText()));
        engine.stop();
        QCOMPARE(engine.instruments(), QStringList());
    }

    // A symbolic link standing in for /dev/serial/by-id/...: the instrument
    // follows it to another line when the first one goes away.
    void stableName()
    {
        Veltrano::Sim::PseudoTerminal first, second;
        QVERIFY(first.open() && second.open());
        const QString link = m_dir->filePath("usb-Maker_Scale_SN42-if00-port0");
        QVERIFY(first.makeLink(link));
        writeSettings({"S/comPort=" + link, "S/transmissionRate=9600", "S/parity=odd", "S/stopBits=1",
                       "S/samplingInterval=3600"});
        CollectionEngine engine;
        EngineProbe probe{engine};
        QSignalSpy back(&engine, &CollectionEngine::reconnected);
        engine.start("settings.ini");
        QVERIFY(probe.linkOpen("S"));
        QVERIFY(first.write("+     1.00 g  \r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(probe.latest("S"), QString("|+1.00|g  "), kPatience);
        first.hangUp();  // unplugged; plugged in again elsewhere
        QVERIFY(second.makeLink(link));
        QTRY_COMPARE_WITH_TIMEOUT(back.count(), 1, kPatience);
        QVERIFY(second.write("+     2.00 g  \r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(probe.latest("S"), QString("|+2.00|g  "), kPatience);

        // Listed by the stable name, with the adapter's maker and serial number.
        const auto names = Veltrano::StablePorts::names(m_dir->path(), {{second.devicePath(), "Maker", "SN42", "USB serial"},
                                                                        {first.devicePath(), "Other", "SN1", ""}});
        QCOMPARE(names.size(), 1);
        QCOMPARE(names.at(0).path + ' ' + names.at(0).description, link + " Maker SN42");
    }

private:
    std::unique_ptr<TempWorkDir> m_dir;
};

QTEST_MAIN(TestNetworkLinks)
#include "tst_networklinks.moc"
