// Publishing: publish.ini, the messages and their topics, the readings'
// interval, the outbox file, the MQTT publisher against a real mosquitto
// broker (in order, outages, restarts, refused logins, TLS) and the drop
// folder (whole files only, a folder that is away).
#include "publish/dropfiles.h"
#include "publish/dropfolder.h"
#include "publish/messages.h"
#include "publish/mqttpublisher.h"
#include "publish/outbox.h"
#include "publish/publishconfig.h"
#include "publish/readingthrottle.h"
#include "mosquittobroker.h"
#include "pseudoterminal.h"
#include "tempworkdir.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <mosquitto.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sys/resource.h>

using namespace Veltrano;

Q_DECLARE_METATYPE(Message)

namespace {

// Every diagnostic line, so that a test can wait for the publisher's own
// account of what it did (its reconnection attempts).
std::mutex traceMutex;
QStringList traceLines;

void traceHandler(QtMsgType, const QMessageLogContext &, const QString &line)
{
    const std::lock_guard<std::mutex> lock(traceMutex);
    traceLines.append(line);
    if (qEnvironmentVariableIsSet("VELTRANO_TEST_TRACE"))  // to see them
        std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
}

// How many of those lines hold `text`.
int traced(const QString &text)
{
    const std::lock_guard<std::mutex> lock(traceMutex);
    return int(traceLines.filter(text).size());
}

// A client that receives what the broker forwards, on libmosquitto's own
// thread. With an id its session is persistent: the broker keeps its
// subscription and queues its messages while it is away.
class Subscriber
{
public:
    struct Received
    {
        QByteArray topic, payload;
        bool retained;
    };

    Subscriber(quint16 port, const QString &filter, const QString &id = QString())
        : m_port(port)
        , m_filter(filter.toStdString())
    {
        static std::once_flag initialised;
        std::call_once(initialised, [] { mosquitto_lib_init(); });
        m_client = mosquitto_new(id.isEmpty() ? nullptr : id.toUtf8().constData(), id.isEmpty(), this);
        mosquitto_int_option(m_client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        mosquitto_reconnect_delay_set(m_client, 1, 1, false);
        mosquitto_connect_callback_set(m_client, [](mosquitto *client, void *self, int rc) {
            if (rc == 0)
                mosquitto_subscribe(client, nullptr, static_cast<Subscriber *>(self)->m_filter.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(m_client, [](mosquitto *, void *self, int, int, const int *) { ++static_cast<Subscriber *>(self)->m_subacks; });
        mosquitto_message_callback_set(m_client, [](mosquitto *, void *self, const mosquitto_message *message) {
            auto *subscriber = static_cast<Subscriber *>(self);
            const std::lock_guard<std::mutex> lock(subscriber->m_mutex);
            subscriber->m_received.append(
                {message->topic, QByteArray(static_cast<const char *>(message->payload), message->payloadlen), message->retain});
        });
    }
    ~Subscriber()
    {
        mosquitto_disconnect(m_client);
        mosquitto_loop_stop(m_client, false);
        mosquitto_destroy(m_client);
    }

    // Connects, starts receiving and waits until the broker took the subscription.
    bool connect()
    {
        return mosquitto_connect(m_client, "127.0.0.1", m_port, 30) == MOSQ_ERR_SUCCESS
               && mosquitto_loop_start(m_client) == MOSQ_ERR_SUCCESS && QTest::qWaitFor([this] { return m_subacks > 0; });
    }

    // Waits until the broker has taken the acknowledgements of every message
    // received so far: it handles a client's packets in order, so it answers
    // a subscription made now after them. Twice, since an acknowledgement
    // may leave after the delivery it answers was seen.
    bool confirmReceived() { return answered("confirm/nothing") && answered("confirm/nothing"); }

    QList<Received> received() const
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }
    int count() const { return received().size(); }
    // "LEVEL=VALUE" for each message in arrival order: its topic's last
    // level, and `field` of its payload.
    QStringList values(const char *field) const
    {
        QStringList list;
        for (const Received &message : received())
            list << QString::fromUtf8(message.topic).section('/', -1) + '='
                        + QJsonDocument::fromJson(message.payload).object().value(field).toVariant().toString();
        return list;
    }

private:
    bool answered(const char *filter)
    {
        const int subacks = m_subacks;
        return mosquitto_subscribe(m_client, nullptr, filter, 1) == MOSQ_ERR_SUCCESS
               && QTest::qWaitFor([&] { return m_subacks > subacks; });
    }

    quint16 m_port;
    std::string m_filter;
    mosquitto *m_client = nullptr;
    std::atomic<int> m_subacks{0};
    mutable std::mutex m_mutex;
    QList<Received> m_received;
};

// A publisher, and what it tells.
struct Publisher : MqttPublisher
{
    using MqttPublisher::MqttPublisher;
    QSignalSpy began{this, &MqttPublisher::outageBegan};
    QSignalSpy ended{this, &MqttPublisher::outageEnded};
    QSignalSpy problems{this, &MqttPublisher::problem};
    QSignalSpy connected{this, &MqttPublisher::connectedChanged};
};

// The first argument of the first signal a spy caught, as text.
QString firstTold(const QSignalSpy &spy) { return spy.isEmpty() ? QString() : spy.first().first().toString(); }

// Files in the spool, temporary ones too.
int spooled() { return QDir("publish-spool").entryList(QDir::Files | QDir::Hidden).size(); }

// Row `key` of balance b1, its hash "hKEY"; with a weighing of sample "AKEY".
PublishedRow row(int key, bool weighing = false)
{
    PublishedRow published{"b1", Row("2026-12-07", QTime(8, 0).addSecs(key).toString(Qt::ISODate), "Balance 1", "N",
                                     QString::number(10 + key * 0.001, 'f', 4), "g"),
                           key, QStringLiteral("h%1").arg(key), {}};
    published.row.provenance.state = QLatin1String(Provenance::kLive);
    if (weighing)
        published.weighing = PublishedWeighing{QStringLiteral("A%1").arg(key), "S1", "key", "net", "anna", "E2"};
    return published;
}

// The hashes the subscriber should see of rows `from`..`to` (every third a weighing).
QStringList expectedArrivals(int from, int to)
{
    QStringList list;
    for (int key = from; key <= to; ++key) {
        list << QStringLiteral("row=h%1").arg(key);
        if (key % 3 == 0)
            list << QStringLiteral("weighing=h%1").arg(key);
    }
    return list;
}

void publishRows(MqttPublisher &publisher, int from, int to)
{
    for (int key = from; key <= to; ++key)
        publisher.publishRow(row(key, key % 3 == 0));
}

// Plain MQTT to `broker`, topics under lab/pc1/.
MqttConfig mqttConfig(const MosquittoBroker &broker)
{
    return {true, broker.url(), QStringLiteral("127.0.0.1"), broker.port(), false, {}, QStringLiteral("lab/pc1/"), {}, {}};
}

// The lines of an outbox file that are messages.
int messageLines(const QString &path)
{
    return int(QString::fromLatin1(readFile(path)).split('\n').filter(QRegularExpression("^m,")).size());
}

Message message(int i) { return {"t/" + QByteArray::number(i), "payload " + QByteArray::number(i)}; }

// The payloads next() hands out until it has none.
QList<QByteArray> drain(Outbox &outbox, bool acknowledge)
{
    QList<QByteArray> payloads;
    while (const Outbox::Entry *entry = outbox.next()) {
        payloads << entry->message.payload;
        if (acknowledge)
            outbox.acknowledge(entry->seq);
    }
    return payloads;
}

QList<QByteArray> payloads(int from, int to)
{
    QList<QByteArray> list;
    for (int i = from; i <= to; ++i)
        list << message(i).payload;
    return list;
}

// Files grow no larger than `bytes` while it lives (the disk is "full");
// writes past it fail with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        const rlimit limit{bytes, m_saved.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &m_saved); }

private:
    rlimit m_saved{};
};

SeriesFile series(const QString &name, int weighings)
{
    SeriesFile file{"b/1", "Balance 1", name, "2026-12-07 08:00:00", "2026-12-07 08:05:00", "g", {}, {}};
    for (int i = 0; i < weighings; ++i)
        file.weighings.append({QStringLiteral("A%1").arg(i), "2026-12-07", QStringLiteral("08:00:%1").arg(i % 60, 2, 10, QLatin1Char('0')),
                               QStringLiteral("10.00%1").arg(i % 10), "g", "net", "E2", QStringLiteral("h%1").arg(i)});
    file.summary = {QString::number(weighings), "10.0045", "0.0029", "0.029 %", "10.0000", "10.0090", "0.0090", "10.0000",
                    {{"E2", QString::number(weighings)}, {"out", "0"}}};
    return file;
}

} // namespace

class TestPublish : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qInstallMessageHandler(traceHandler); }

    void init()
    {
        m_dir = std::make_unique<TempWorkDir>();
        QVERIFY(m_dir->isValid());
        if (QByteArray(QTest::currentTestFunction()).startsWith("mqtt")) {
            if (!MosquittoBroker::available())
                QSKIP("mosquitto is not installed (apt-get install mosquitto)");
            m_broker = std::make_unique<MosquittoBroker>(m_dir->path());
        }
    }

    void cleanup()
    {
        m_broker.reset();
        m_dir.reset();
    }

    void config_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("error");     // a part of the error; empty: none
        QTest::addColumn<QStringList>("fields");  // what was read, as name=value

        const QStringList nothing{"mqtt=0", "drop=0"};
        const auto row = [](const char *name, const QByteArray &ini, const QStringList &fields) {
            QTest::newRow(name) << ini << QString() << fields;
        };
        // Nothing is used of a file with an error.
        const auto refused = [&nothing](const char *name, const QByteArray &ini, const char *error) {
            QTest::newRow(name) << ini << QString(error) << nothing;
        };
        row("no file", "", nothing);
        row("plain", "[mqtt]\nurl=mqtt://broker.lab:1884   ; the lab's\ntopic=lims/scales\n",
            {"mqtt=1", "host=broker.lab", "port=1884", "tls=0", "topic=lims/scales/", "drop=0"});
        row("default port and topic", "[mqtt]\nurl=mqtt://broker.lab\n",
            {"port=1883", "topic=" + defaultTopicPrefix()});
        row("tls", "[mqtt]\nurl=mqtts://broker.lab\ncafile=ca.pem\n", {"tls=1", "port=8883", "cafile=ca.pem"});
        row("password from its file", "[mqtt]\nurl=mqtt://b\nuser=collector\npasswordFile=secret\n",
            {"user=collector", "password=s3cr3t,;x"});
        row("drop json", "[drop]\ndir=out\nformat=JSON\n", {"mqtt=0", "drop=1", "dir=out", "absolute=1", "json=1"});
        refused("scheme", "[mqtt]\nurl=http://b:80\n", "not mqtt://host:port");
        refused("no url", "[mqtt]\ntopic=x/\n", "url= is missing");
        refused("mqtts without cafile", "[mqtt]\nurl=mqtts://b\n", "mqtts needs cafile=");
        refused("cafile unreadable", "[mqtt]\nurl=mqtts://b\ncafile=none.pem\n", "/none.pem cannot be read");
        refused("cafile for plain mqtt", "[mqtt]\nurl=mqtt://b\ncafile=ca.pem\n", "unencrypted");
        refused("password in publish.ini", "[mqtt]\nurl=mqtt://b\nuser=u\npassword=s3cr3t,;x\n",
            "must not be written here");
        refused("password in the url", "[mqtt]\nurl=mqtt://u:s3cr3t@b\n", "must not carry a password");
        refused("password file empty", "[mqtt]\nurl=mqtt://b\nuser=u\npasswordFile=ca.pem\n", "holds no password");
        refused("password file without user", "[mqtt]\nurl=mqtt://b\npasswordFile=secret\n", "needs user=");
        refused("wildcard in topic", "[mqtt]\nurl=mqtt://b\ntopic=lab/+/\n", "must not hold + or #");
        refused("typo", "[mqtt]\nurl=mqtt://b\npasswrodFile=secret\n", "unknown key passwrodFile");
        refused("drop format", "[drop]\ndir=out\nformat=xml\n", "neither csv nor json");
        refused("drop without dir", "[drop]\nformat=csv\n", "dir= is missing");
        refused("bad drop, good mqtt", "[mqtt]\nurl=mqtt://b\nuser=u\npasswordFile=secret\n[drop]\nformat=json\n",
            "dir= is missing");
    }

    void config()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, error);
        QFETCH(QStringList, fields);
        QVERIFY(writeFile("secret", "s3cr3t,;x\nsecond line\n"));
        QVERIFY(writeFile("ca.pem", ""));
        if (!ini.isEmpty())
            QVERIFY(writeFile("publish.ini", ini));
        PublishConfig config;
        const QString told = readPublishConfig(m_dir->filePath("publish.ini"), &config);
        QVERIFY2(error.isEmpty() ? told.isEmpty() : told.contains(error), qPrintable(told));
        QVERIFY2(!told.contains("s3cr3t"), "the password is never told");
        QCOMPARE(config.folder, m_dir->path());
        const MqttConfig &m = config.mqtt;
        const QMap<QString, QString> read{
            {"mqtt", QString::number(m.enabled)}, {"host", m.host}, {"port", QString::number(m.port)},
            {"tls", QString::number(m.tls)}, {"cafile", QFileInfo(m.caFile).fileName()}, {"topic", m.topicPrefix},
            {"user", m.user}, {"password", m.password}, {"drop", QString::number(config.drop.enabled)},
            {"dir", QDir(m_dir->path()).relativeFilePath(config.drop.dir)}, {"absolute", QString::number(QDir::isAbsolutePath(config.drop.dir))},
            {"json", QString::number(config.drop.format == DropConfig::Format::Json)}};
        for (const QString &field : fields)
            QCOMPARE(field.section('=', 0, 0) + '=' + read.value(field.section('=', 0, 0)), field);
    }

    void topicLevels_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("level");
        QTest::newRow("plain") << "b1" << "b1";
        QTest::newRow("levels") << "lab/b1" << "lab%2Fb1";
        QTest::newRow("wildcards") << "b+#" << "b%2B%23";
        QTest::newRow("percent") << "100%" << "100%25";
        QTest::newRow("broker's own") << "$SYS" << "%24SYS";
        QTest::newRow("dollar inside") << "a$" << "a$";
        QTest::newRow("letters") << QString::fromUtf8("Waage-Süd 重") << QString::fromUtf8("Waage-Süd 重");
        QTest::newRow("zero") << QString::fromUtf16(u"a\0b", 3) << "a%00b";
    }

    void topicLevels()
    {
        QFETCH(QString, id);
        QFETCH(QString, level);
        QCOMPARE(topicLevel(id), level);
        LiveReading reading;
        reading.instrument = id;
        QCOMPARE(Messages::reading("p/", reading).topic, ("p/" + level + "/reading").toUtf8());
    }

    void messages_data()
    {
        QTest::addColumn<Message>("message");
        QTest::addColumn<QByteArray>("topic");
        QTest::addColumn<QByteArray>("json");
        const QByteArray rowJson = R"({"sampling_date":"2026-12-07","sampling_time":"08:00:03","instrument_id":"Balance 1",)"
                                   R"("header":"N","result":"10.0030","unit":"g",)";
        const QByteArray readingJson = R"({"instrument":"b1","name":"Balance 1","result":"+1.5","unit":"g",)";
        PublishedRow bare = row(3, true);
        bare.weighing = PublishedWeighing{QStringLiteral("A3"), {}, {}, {}, {}, {}};
        LiveReading reading{"b1", "Balance 1", "+1.5", "g", Stability::Stable, "2026-12-07T08:00:00.100Z"};
        QTest::newRow("row") << Messages::row("p/", row(3, true)) << QByteArray("p/b1/row")
                             << rowJson + R"("state":"live","key":3,"hash":"h3"})";
        QTest::newRow("weighing") << Messages::weighing("p/", row(3, true)) << QByteArray("p/b1/weighing")
                                  << rowJson + R"("sample":"A3","series":"S1","trigger":"key","kind":"net",)"
                                               R"("operator":"anna","class":"E2","hash":"h3"})";
        QTest::newRow("weighing without parts") << Messages::weighing("p/", bare) << QByteArray("p/b1/weighing")
                                                << rowJson + R"("sample":"A3","hash":"h3"})";
        QTest::newRow("stable") << Messages::reading("p/", reading) << QByteArray("p/b1/reading")
                                << readingJson + R"("stable":true,"at":"2026-12-07T08:00:00.100Z"})";
        reading.stability = Stability::Unknown;
        QTest::newRow("stability unknown") << Messages::reading("p/", reading) << QByteArray("p/b1/reading")
                                           << readingJson + R"("stable":null,"at":"2026-12-07T08:00:00.100Z"})";
    }

    void messages()
    {
        QFETCH(Message, message);
        QFETCH(QByteArray, json);
        QTEST(message.topic, "topic");
        QVERIFY2(!message.payload.contains('\n'), message.payload);  // one line
        QCOMPARE(QJsonDocument::fromJson(message.payload).object(), QJsonDocument::fromJson(json).object());
    }

    // Readings offered at these moments (ms) for instruments "a" and "b";
    // what goes out and when, with due() polled every 10 ms.
    void throttle_data()
    {
        QTest::addColumn<QStringList>("offered");  // "instrument@ms"
        QTest::addColumn<QStringList>("sent");     // "instrument@offered ms->sent ms"
        QStringList tenPerSecond;
        for (int ms = 0; ms < 2500; ms += 100)
            tenPerSecond << QStringLiteral("a@%1").arg(ms);
        QTest::newRow("10 a second") << tenPerSecond
                                     << QStringList{"a@0->0", "a@900->1000", "a@1900->2000", "a@2400->3000"};
        QTest::newRow("burst, then silence") << QStringList{"a@0", "a@10", "a@20", "a@30"}
                                             << QStringList{"a@0->0", "a@30->1000"};
        QTest::newRow("each instrument its own")
            << QStringList{"a@0", "b@50", "a@100", "b@150", "a@1200"}
            << QStringList{"a@0->0", "b@50->50", "a@100->1000", "b@150->1050", "a@1200->2000"};
    }

    void throttle()
    {
        QFETCH(QStringList, offered);
        ReadingThrottle throttle;
        QStringList out;
        const auto record = [&out](const LiveReading &reading, qint64 now) {
            out << QStringLiteral("%1@%2->%3").arg(reading.instrument, reading.result).arg(now);
        };
        for (qint64 now = 0; now <= 5000; now += 10) {
            for (const LiveReading &reading : throttle.due(now))
                record(reading, now);
            for (const QString &offer : offered) {
                if (offer.section('@', 1).toLongLong() != now)
                    continue;
                if (const auto reading = throttle.offer({offer.section('@', 0, 0), {}, offer.section('@', 1), {}, {}, {}}, now))
                    record(*reading, now);
            }
            if (const auto next = throttle.nextDueMs())
                QVERIFY(*next > now);
        }
        QTEST(out, "sent");
        QVERIFY(!throttle.nextDueMs());
    }

    // What an outbox left by an earlier run gives back: torn, garbage,
    // acknowledged (out of order too), bounded in memory. Acknowledgements
    // that never reached the disk send those messages again; others, never.
    void outboxReopened_data()
    {
        QTest::addColumn<int>("loadedBound");
        QTest::addColumn<QByteArray>("tail");   // appended to the file before it is opened again
        QTest::addColumn<int>("unreadable");
        QTest::addColumn<bool>("torn");
        // Messages 1..10 written, 1..4 acknowledged.
        QTest::newRow("as left") << 512 << QByteArray() << 0 << false;
        QTest::newRow("read in pieces") << 2 << QByteArray() << 0 << false;
        QTest::newRow("torn last line") << 512 << QByteArray("m,11,dC8x,cGF5") << 0 << true;
        QTest::newRow("garbage lines") << 3 << QByteArray("\x00\xff,,\nm,x,y,z\nPK\x03\x04\n", 18) << 3 << false;
        QTest::newRow("acknowledgement torn") << 512 << QByteArray("a,1") << 0 << true;
    }

    void outboxReopened()
    {
        QFETCH(int, loadedBound);
        QFETCH(QByteArray, tail);
        QFETCH(bool, torn);
        const QString path = m_dir->filePath("outbox");
        QString error;
        {
            Outbox outbox(path, loadedBound);
            QCOMPARE(outbox.open().waiting, 0);
            for (int i = 1; i <= 10; ++i)
                QVERIFY(outbox.append({message(i)}, &error));
            QCOMPARE(messageLines(path), 10);
            // Out of order: 2 is taken before 1; only the run from the first counts.
            const qint64 first = outbox.next()->seq;
            outbox.acknowledge(outbox.next()->seq);
            QCOMPARE(outbox.waiting(), 10);
            outbox.acknowledge(first);
            QCOMPARE(outbox.waiting(), 8);
            for (int i = 0; i < 2; ++i)
                outbox.acknowledge(outbox.next()->seq);
            QCOMPARE(outbox.firstWaitingSeq(), 5);
            outbox.next();  // handed out, never acknowledged: it goes again
        }
        QVERIFY(writeFile(path, readFile(path) + tail));

        Outbox outbox(path, loadedBound);
        const Outbox::Opened opened = outbox.open();
        QCOMPARE(opened.waiting, 6);
        QTEST(opened.unreadable, "unreadable");
        QCOMPARE(opened.torn, torn);
        QVERIFY(opened.error.isEmpty());
        QVERIFY(!torn || !readFile(path).endsWith(tail));  // a torn line is cut off
        // New messages go after the old ones, and nothing is handed out twice.
        QVERIFY(outbox.append({message(11), message(12)}, &error));
        QCOMPARE(drain(outbox, false), payloads(5, 12));
        QCOMPARE(outbox.waiting(), 8);
        outbox.restartSending();
        QCOMPARE(drain(outbox, true), payloads(5, 12));
        QCOMPARE(outbox.lastSeq(), 12);
        QCOMPARE(outbox.waiting(), 0);
        QCOMPARE(QFileInfo(path).size(), 0);  // all went: emptied
    }

    // A disk that takes no more: messages wait in memory, then go into the
    // file in order, the ones past the bound counted as lost.
    void outboxRefusing()
    {
        const QString path = m_dir->filePath("outbox");
        Outbox outbox(path, 512, 5);
        outbox.open();
        QString error;
        QVERIFY(outbox.append({message(1), message(2)}, &error));
        const qint64 size = QFileInfo(path).size();
        {
            const FileSizeLimit full(rlim_t(size + 10));  // not even one more line
            for (int i = 3; i <= 9; ++i)
                QVERIFY(!outbox.append({message(i)}, &error));
            QVERIFY(!error.isEmpty());
            QCOMPARE(QFileInfo(path).size(), size);  // no line written in part
            QCOMPARE(outbox.unsaved(), 5);
            QCOMPARE(outbox.takeLost(), 2);
            // Those in memory go out too, after the file's.
            QCOMPARE(drain(outbox, false), payloads(1, 7));
        }
        QVERIFY(outbox.append({message(10)}, &error));
        QCOMPARE(outbox.unsaved(), 0);
        QCOMPARE(messageLines(path), 8);
        outbox.restartSending();
        QCOMPARE(drain(outbox, true), payloads(1, 7) << message(10).payload);
        QCOMPARE(outbox.waiting(), 0);
    }

    // Rows go out in order, none twice, whatever comes between. An outbox
    // on a full disk: told once; they go from memory, and into the file
    // again once it takes them. The broker stopped for longer than the
    // longest reconnection wait: told once; they wait in the outbox, arrive
    // after the others, and the end is told with how many went then. A
    // program stopped meanwhile waits for nothing, and what it left goes
    // before the rows of its next run.
    void mqttOutage_data()
    {
        QTest::addColumn<bool>("restart");
        QTest::newRow("broker back") << false;
        QTest::newRow("program restarted meanwhile") << true;
    }

    void mqttOutage()
    {
        QFETCH(bool, restart);
        const MosquittoBroker::Options persistent{{}, true, {}, {}, {}};
        QVERIFY2(m_broker->start(persistent), qPrintable(m_broker->error()));
        Subscriber subscriber(m_broker->port(), "lab/pc1/#", "lims");
        QVERIFY(subscriber.connect());
        auto publisher = std::make_unique<Publisher>(mqttConfig(*m_broker), outbox());
        publisher->setRetryDelays(20, 160);
        publisher->start();
        QTRY_VERIFY_WITH_TIMEOUT(publisher->connected.count() > 0, 10000);
        {
            const FileSizeLimit full(0);
            publishRows(*publisher, 1, 12);
            QTRY_COMPARE(subscriber.values("hash"), expectedArrivals(1, 12));
        }
        QCOMPARE(publisher->problems.count(), 1);
        QVERIFY2(firstTold(publisher->problems).contains("takes no more messages"), qPrintable(firstTold(publisher->problems)));
        publishRows(*publisher, 13, 20);
        QTRY_COMPARE(subscriber.values("hash"), expectedArrivals(1, 20));
        QTRY_COMPARE(publisher->waiting(), 0);
        // Lest the broker, stopped now, deliver those again to the subscriber.
        QVERIFY(subscriber.confirmReceived());

        const int waitsBefore = traced("next connection attempt in ms: 160");
        m_broker->stop();
        QTRY_VERIFY_WITH_TIMEOUT(publisher->began.count() > 0, 10000);
        QVERIFY2(firstTold(publisher->began).contains(m_broker->url()), qPrintable(firstTold(publisher->began)));
        // Rows of the outage, handed over while the attempts back off to their longest wait, and past it.
        for (int key = 21; key <= 50; ++key) {
            publisher->publishRow(row(key, key % 3 == 0));
            if (key % 10 == 0)
                QTRY_VERIFY(traced("next connection attempt in ms: 160") >= waitsBefore + (key - 20) / 10);
        }
        QTRY_COMPARE(publisher->waiting(), expectedArrivals(21, 50).size());
        QCOMPARE(messageLines(outbox()), expectedArrivals(21, 50).size());
        QCOMPARE(publisher->began.count(), 1);
        QCOMPARE(publisher->ended.count(), 0);

        if (restart) {
            QElapsedTimer stopping;
            stopping.start();
            publisher.reset();  // stops it
            QVERIFY(stopping.elapsed() < MqttPublisher::kQuitPatienceMs);
        }
        QVERIFY2(m_broker->start(persistent), qPrintable(m_broker->error()));
        if (restart) {
            publisher = std::make_unique<Publisher>(mqttConfig(*m_broker), outbox());
            publisher->start();
            publishRows(*publisher, 51, 55);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(publisher->ended.count() > 0, 10000);
            QCOMPARE(publisher->ended.first().first().toInt(), expectedArrivals(21, 50).size());
            QCOMPARE(publisher->began.count(), 1);
            QCOMPARE(publisher->problems.count(), 1);
        }
        QTRY_COMPARE(subscriber.values("hash"), expectedArrivals(1, restart ? 55 : 50));
        QTRY_COMPARE(publisher->waiting(), 0);
        QTRY_COMPARE(QFileInfo(outbox()).size(), 0);
    }

    // A broker that refuses the login, or whose certificate (mqtts) does not
    // come from the given authority or does not name the host connected to:
    // told once however often it is tried, never with the password; the rows
    // wait. A login refused ends once the broker takes the password.
    void mqttRefused_data()
    {
        QTest::addColumn<QString>("caFile");   // empty: plain MQTT with a password file
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("failure");  // empty: the rows go
        QTest::newRow("login refused") << "" << "127.0.0.1" << "refuses the login of user collector";
        QTest::newRow("tls verified") << "server.pem" << "localhost" << "";
        QTest::newRow("tls, unknown authority") << "other.pem" << "localhost" << "certificate verify failed";
        QTest::newRow("tls, another host name") << "server.pem" << "127.0.0.1" << "certificate verify failed";
    }

    void mqttRefused()
    {
        QFETCH(QString, caFile);
        QFETCH(QString, host);
        QFETCH(QString, failure);
        const bool tls = !caFile.isEmpty();
        MosquittoBroker::Options options;
        const MqttConfig config{true, m_broker->url(tls ? "mqtts" : "mqtt", host), host, m_broker->port(), tls,
                                tls ? m_dir->filePath(caFile) : QString(), "lab/pc1/", "collector", "pa55word"};
        if (tls) {
            const auto openssl = [](const QString &arguments) {
                QProcess process;
                process.setProcessChannelMode(QProcess::MergedChannels);
                process.start("openssl", arguments.split(' '));
                return process.waitForFinished(60000) && process.exitCode() == 0;
            };
            // The broker's certificate is its own authority; "other" is another one, for the same name.
            for (const QString name : {"server", "other"})
                QVERIFY(openssl("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost "
                                "-addext subjectAltName=DNS:localhost -keyout " + name + ".key -out " + name + ".pem"));
            options = {{}, false, m_dir->filePath("server.pem"), m_dir->filePath("server.pem"), m_dir->filePath("server.key")};
        } else {
            options.passwordFile = m_dir->filePath("passwords");
            QVERIFY(MosquittoBroker::writePasswordFile(options.passwordFile, "collector", "other"));
        }
        QVERIFY2(m_broker->start(options), qPrintable(m_broker->error()));
        Publisher publisher(config, outbox());
        publisher.setRetryDelays(20, 80);
        const int waitsBefore = traced("next connection attempt in ms: 80");
        publisher.start();
        publishRows(publisher, 1, 5);
        if (failure.isEmpty()) {
            QTRY_COMPARE(publisher.waiting(), 0);
            QCOMPARE(publisher.began.count() + publisher.problems.count(), 0);
            return;
        }
        // A refused login is no outage: the broker is there.
        const QSignalSpy &told = tls ? publisher.began : publisher.problems;
        QTRY_VERIFY_WITH_TIMEOUT(told.count() > 0, 10000);
        QTRY_VERIFY(traced("next connection attempt in ms: 80") >= waitsBefore + 3);
        QCOMPARE(publisher.began.count() + publisher.problems.count(), 1);
        QVERIFY2(firstTold(told).contains(failure), qPrintable(firstTold(told)));
        QVERIFY2(!firstTold(told).contains("pa55word"), "the password is never told");
        QCOMPARE(publisher.connected.count(), 0);
        QCOMPARE(publisher.waiting(), expectedArrivals(1, 5).size());
        if (tls)
            return;

        // The broker is given the collector's password: the rows go, on the next try.
        QVERIFY(MosquittoBroker::writePasswordFile(options.passwordFile, "collector", "pa55word"));
        QVERIFY2(m_broker->start(options), qPrintable(m_broker->error()));
        QTRY_VERIFY_WITH_TIMEOUT(publisher.ended.count() > 0, 10000);
        QCOMPARE(publisher.ended.first().first().toInt(), expectedArrivals(1, 5).size());
        QCOMPARE(publisher.waiting(), 0);
        QCOMPARE(publisher.began.count() + publisher.problems.count(), 1);
    }

    // Ten readings a second: at most one a second goes, retained, the
    // newest of its second; measured on the publisher's clock, not waited for.
    void mqttReadings()
    {
        QVERIFY2(m_broker->start(), qPrintable(m_broker->error()));
        Subscriber subscriber(m_broker->port(), "lab/pc1/+/reading");
        QVERIFY(subscriber.connect());
        auto now = std::make_shared<std::atomic<qint64>>(0);
        Publisher publisher(mqttConfig(*m_broker), outbox());
        publisher.setClock([now] { return now->load(); });
        publisher.start();
        QTRY_VERIFY_WITH_TIMEOUT(publisher.connected.count() > 0, 10000);
        const auto reading = [](int i) { return LiveReading{"b/1", "Balance", QString::number(i), "g", Stability::Stable, {}}; };
        publisher.publishReading(reading(0));
        QTRY_COMPARE(subscriber.count(), 1);
        // Three readings in the second half of the second; the newest goes when the second is over.
        now->store(500);
        for (int i = 1; i <= 3; ++i)
            publisher.publishReading(reading(10 + i));
        now->store(1000);
        QTRY_COMPARE(subscriber.count(), 2);
        QCOMPARE(subscriber.values("result"), QStringList({"reading=0", "reading=13"}));
        // Retained, under the instrument's level: a subscriber that comes later gets the newest at once.
        Subscriber later(m_broker->port(), "lab/pc1/b%2F1/reading");
        QVERIFY(later.connect());
        QTRY_COMPARE(later.values("result"), QStringList{"reading=13"});
        QVERIFY(later.received().first().retained);
    }

    // veltrano-collect as publish.ini asks, with a balance that prints on its
    // key: each weighing goes out over MQTT as its row and its weighing, with
    // the row's key and hash, and the balance's reading as it comes. A series
    // is one drop file, written once the next series begins and at the stop,
    // with every weighing of it; a drop folder missing at first loses
    // nothing, is told of once, and takes the files once it is there.
    void mqttAndDropFromTheCollector()
    {
        QVERIFY2(m_broker->start(), qPrintable(m_broker->error()));
        Subscriber subscriber(m_broker->port(), "lab/pc1/#");
        QVERIFY(subscriber.connect());
        Sim::PseudoTerminal balance;
        QVERIFY(balance.open());
        QVERIFY(writeFile("settings.ini", "[W1]\nname=Waage\ntype=automatic\nrecord=print\ndataBits=8\nparity=none\n"
                                          "stopBits=1\ntransmissionRate=9600\ncomPort=" + balance.devicePath().toUtf8() + "\n"));
        QVERIFY(writeFile("publish.ini", "[mqtt]\nurl=" + m_broker->url().toUtf8() + "\ntopic=lab/pc1/\n[drop]\ndir=drop\nformat=csv\n"));
        QProcess collector;
        QByteArray log;
        connect(&collector, &QProcess::readyReadStandardError, [&] { log += collector.readAllStandardError(); });
        collector.start(QStringLiteral(VELTRANO_COLLECT), QStringList());
        QVERIFY(collector.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists("veltrano-status.json"), 30000);
        QVERIFY(balance.write("+1.25 g\r\n+2.50 g\r\n"));
        // A worklist begins the next series once it is taken (at its second poll).
        QVERIFY(QDir().mkdir("worklists") && writeFile("worklists/W1.csv", "S-1\nS-2\n"));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists("worklists/W1.csv.inuse"), 30000);
        QVERIFY(balance.write("+3.75 g\r\n"));
        const char *away = "the drop folder does not take the results";
        QTRY_VERIFY2_WITH_TIMEOUT(log.contains(away), log.constData(), 30000);
        QVERIFY(QDir().mkdir("drop"));
        QTRY_VERIFY2_WITH_TIMEOUT(log.contains("takes the results again: 1 waiting files written"), log.constData(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(QDir("drop").entryList(QDir::Files).size(), 1, 30000);
        QVERIFY(balance.write("+5.00 g\r\n"));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists("worklists/W1.csv.done"), 30000);

        QStringList weighed;
        for (const QString result : {"+1.25", "+2.50", "+3.75", "+5.00"})
            weighed << "row=" + result << "weighing=" + result;
        QTRY_COMPARE_WITH_TIMEOUT(subscriber.values("result").filter(QRegularExpression("^(row|weighing)=")), weighed, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(subscriber.values("result").contains("reading=+5.00"), 30000);
        // Each row with its key and hash.
        QCOMPARE(subscriber.values("key").filter(QRegularExpression("^row=[1-9][0-9]*$")).size(), 4);
        QCOMPARE(subscriber.values("hash").filter(QRegularExpression("^row=[0-9a-f]{64}$")).size(), 4);
        ::kill(pid_t(collector.processId()), SIGTERM);
        QVERIFY(collector.waitForFinished(30000));
        QCOMPARE(collector.exitCode(), 0);
        QCOMPARE(log.count(away), 1);

        // Each file: its weighings' series, samples and results, each with its row's hash.
        QStringList files;
        for (const QString &name : QDir("drop").entryList(QDir::Files, QDir::Name)) {
            QStringList weighings;
            for (const QString &line : QString::fromUtf8(readFile("drop/" + name)).split("\r\n").filter(QRegularExpression("^W1,"))) {
                const QStringList fields = line.split(',');
                QVERIFY2(fields.size() == 11 && fields[10].size() == 64, qPrintable(line));
                weighings << fields[2].section(' ', 0, 0) + ' ' + fields[3] + '=' + fields[6];
            }
            files << weighings.join(", ");
        }
        files.sort();
        QCOMPARE(files, QStringList({"W1 =+1.25, W1 =+2.50", "W1.csv S-1=+3.75, W1.csv S-2=+5.00"}));
        QCOMPARE(spooled(), 0);
    }

    void dropFiles_data()
    {
        QTest::addColumn<bool>("check");
        QTest::addColumn<bool>("json");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("series csv")
            << false << false << "b_1_S-1_x_20261207-080500.csv"
            << QByteArray("instrument,name,series,sample,date,time,result,unit,kind,class,hash\r\n"
                          "b/1,Balance 1,\"S-1,x\",A0,2026-12-07,08:00:00,10.000,g,net,E2,h0\r\n"
                          "b/1,Balance 1,\"S-1,x\",A1,2026-12-07,08:00:01,10.001,g,net,E2,h1\r\n"
                          "\r\nfigure,value\r\nfirst,2026-12-07 08:00:00\r\nlast,2026-12-07 08:05:00\r\nunit,g\r\n"
                          "n,2\r\nmean,10.0045\r\nsd,0.0029\r\nrsd,0.029 %\r\nmin,10.0000\r\nmax,10.0090\r\n"
                          "range,0.0090\r\nnominal,10.0000\r\nclass E2,2\r\nclass out,0\r\n");
        QTest::newRow("check csv")
            << true << false << "b_1_check_daily_20261207-080500.csv"
            << QByteArray("instrument,test,date,time,operator,weight,nominal,n,mean,sd,deviation,criterion,verdict\r\n"
                          "b/1,daily,2026-12-07,08:05:00,\"Anna \"\"A\"\"\",F1 200 g,200.0000 g,3,200.0002,0.0001,0.0002,0.0010,passed\r\n");
        QTest::newRow("check json")
            << true << true << "b_1_check_daily_20261207-080500.json"
            << QByteArray(R"({"type":"check","instrument":"b/1","test":"daily","date":"2026-12-07","time":"08:05:00",)"
                          "\"operator\":\"Anna \\\"A\\\"\","
                          R"("weight":"F1 200 g","nominal":"200.0000 g","n":"3","mean":"200.0002",)"
                          R"("sd":"0.0001","deviation":"0.0002","criterion":"0.0010","verdict":"passed"})");
    }

    void dropFiles()
    {
        QFETCH(bool, check);
        QFETCH(bool, json);
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        const auto format = json ? DropConfig::Format::Json : DropConfig::Format::Csv;
        const QDateTime at(QDate(2026, 12, 7), QTime(8, 5));
        const SeriesFile file = series(QStringLiteral("S-1,x"), 2);
        const CheckFile checked{"b/1", "daily", "2026-12-07", "08:05:00", "Anna \"A\"", "F1 200 g", "200.0000 g", "3",
                                "200.0002", "0.0001", "0.0002", "0.0010", "passed"};
        const auto named = [&](int serial) {
            return check ? DropFiles::name(checked, at, format, serial) : DropFiles::name(file, at, format, serial);
        };
        QCOMPARE(named(1), name);
        QCOMPARE(named(3), QString(name).insert(name.lastIndexOf('.'), "-3"));
        const QByteArray written = check ? DropFiles::content(checked, format) : DropFiles::content(file, format);
        if (json)
            QCOMPARE(QJsonDocument::fromJson(written).object(), QJsonDocument::fromJson(content).object());
        else
            QCOMPARE(written, content);
    }

    // A reader of the folder never sees half a file; every file arrives, in
    // the order handed over, after what an earlier run left in the spool (a
    // file cut short there is dropped), and the spool is empty afterwards.
    // A file of the same name in the folder is never replaced: the same
    // content counts as written (before a crash), another gets a new name.
    void dropWhole_data()
    {
        QTest::addColumn<QByteArray>("existing");  // in the folder under the left file's name
        QTest::addColumn<QString>("left");         // the name that file is written under
        QTest::newRow("written before a crash") << QByteArray("spooled\n") << "b1_S1_20261207-080000.csv";
        QTest::newRow("another file") << QByteArray("other\n") << "b1_S1_20261207-080000-2.csv";
    }

    void dropWhole()
    {
        QFETCH(QByteArray, existing);
        QVERIFY(QDir().mkdir("drop") && QDir().mkdir("publish-spool"));
        QVERIFY(writeFile("publish-spool/000000000007-b1_S1_20261207-080000.csv", "spooled\n"));
        QVERIFY(writeFile("publish-spool/.000000000008-b1_S2_20261207-080000.csv.part", "cut"));
        QVERIFY(writeFile("drop/b1_S1_20261207-080000.csv", existing));
        DropFolder drop({true, m_dir->filePath("drop"), DropConfig::Format::Csv}, m_dir->filePath("publish-spool"));
        QSignalSpy written(&drop, &DropFolder::fileWritten);
        QSignalSpy began(&drop, &DropFolder::outageBegan);
        drop.start();
        constexpr int kFiles = 12;
        QStringList expected{"S1"};
        for (int i = 0; i < kFiles; ++i) {
            expected << QStringLiteral("S%1").arg(i);
            drop.write(series(expected.last(), 20000));
        }
        int looks = 0;
        while (written.count() < expected.size()) {
            for (const QString &name : QDir("drop").entryList({"b_1_*"}, QDir::Files))
                QVERIFY2(readFile("drop/" + name).endsWith("class out,0\r\n"), qPrintable(name + " seen in part"));
            ++looks;
            written.wait(50);  // or less: the files are written on other threads
        }
        QVERIFY(looks > 1);
        QStringList order;
        for (const QList<QVariant> &signal : written)
            order << signal.first().toString().section('_', -2, -2);
        QCOMPARE(order, expected);
        QTEST(firstTold(written), "left");
        QCOMPARE(readFile("drop/" + firstTold(written)), QByteArray("spooled\n"));
        QCOMPARE(readFile("drop/b1_S1_20261207-080000.csv"), existing);
        const int files = kFiles + (existing == "spooled\n" ? 1 : 2);
        QCOMPARE(QDir("drop").entryList(QDir::Files).size(), files);
        QCOMPARE(QDir("drop").entryList(QDir::Files | QDir::Hidden).size(), files);  // no temporary file left
        QCOMPARE(spooled(), 0);
        QCOMPARE(began.count(), 0);
    }

    // A folder that is away: the files wait in the spool, across a restart
    // too; told once however often it is tried; written in order when back.
    void dropAway()
    {
        const DropConfig config{true, m_dir->filePath("drop"), DropConfig::Format::Json};
        {
            DropFolder drop(config, m_dir->filePath("publish-spool"));
            drop.setRetryInterval(20);
            QSignalSpy began(&drop, &DropFolder::outageBegan);
            drop.start();
            drop.write(series("S1", 3));
            QTRY_VERIFY_WITH_TIMEOUT(began.count() > 0, 10000);
            QVERIFY2(firstTold(began).contains(m_dir->filePath("drop") + ": the folder is not there"), qPrintable(firstTold(began)));
            const int tries = traced("the drop folder does not take files");
            drop.write(CheckFile{"b1", "daily", "2026-12-07", "08:05:00", "anna", "F1 200 g", "200 g", "3", "200.0001",
                                 "0.0001", "0.0001", "0.001", "passed"});
            drop.write(series("S3", 3));
            QTRY_VERIFY(traced("the drop folder does not take files") > tries + 3);
            QCOMPARE(began.count(), 1);
            QCOMPARE(spooled(), 3);
        }
        DropFolder drop(config, m_dir->filePath("publish-spool"));
        drop.setRetryInterval(20);
        QSignalSpy began(&drop, &DropFolder::outageBegan);
        QSignalSpy ended(&drop, &DropFolder::outageEnded);
        QSignalSpy written(&drop, &DropFolder::fileWritten);
        drop.start();
        drop.write(series("S4", 3));
        QTRY_VERIFY_WITH_TIMEOUT(began.count() > 0, 10000);
        QVERIFY(QDir().mkdir("drop"));
        QTRY_VERIFY_WITH_TIMEOUT(ended.count() > 0, 10000);
        QCOMPARE(ended.first().first().toInt(), 4);
        QStringList order;
        for (const QList<QVariant> &signal : written)
            order << signal.first().toString().section('_', -3, -2);
        QCOMPARE(order, QStringList({"1_S1", "check_daily", "1_S3", "1_S4"}));
        QCOMPARE(spooled(), 0);
    }

private:
    QString outbox() const { return m_dir->filePath("publish-outbox"); }

    std::unique_ptr<TempWorkDir> m_dir;
    std::unique_ptr<MosquittoBroker> m_broker;
};

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
