// Publishing: publish.ini, the messages and their topics, the readings'
// interval, the outbox file, the MQTT publisher against a real mosquitto
// broker (in order, outages, refused logins, restarts, TLS) and the drop
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

#include <QJsonArray>
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

namespace {

// Every diagnostic line, so that a test can wait for the publisher's own
// account of what it did (its reconnection attempts).
class TraceLog
{
public:
    static TraceLog &instance()
    {
        static TraceLog log;
        return log;
    }
    static void handler(QtMsgType, const QMessageLogContext &, const QString &line)
    {
        const std::lock_guard<std::mutex> lock(instance().m_mutex);
        instance().m_lines.append(line);
        if (qEnvironmentVariableIsSet("VELTRANO_TEST_TRACE"))  // to see them
            std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    }
    int count(const QString &text) const
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        int n = 0;
        for (const QString &line : m_lines)
            n += line.contains(text);
        return n;
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_lines;
};

// A client that receives what the broker forwards, on libmosquitto's own
// thread. With an id its session is persistent: the broker keeps its
// subscription and queues its messages while it is away.
class Subscriber
{
public:
    struct Received
    {
        QByteArray topic;
        QByteArray payload;
        bool retained = false;
    };

    explicit Subscriber(quint16 port, const QString &filter = QStringLiteral("#"), const QString &id = QString())
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
        mosquitto_subscribe_callback_set(m_client, [](mosquitto *, void *self, int, int, const int *) {
            static_cast<Subscriber *>(self)->m_subscribed = true;
            ++static_cast<Subscriber *>(self)->m_subacks;
        });
        mosquitto_message_callback_set(m_client, [](mosquitto *, void *self, const mosquitto_message *message) {
            auto *subscriber = static_cast<Subscriber *>(self);
            const std::lock_guard<std::mutex> lock(subscriber->m_mutex);
            subscriber->m_received.append({QByteArray(message->topic),
                                           QByteArray(static_cast<const char *>(message->payload), message->payloadlen),
                                           message->retain});
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
               && mosquitto_loop_start(m_client) == MOSQ_ERR_SUCCESS && QTest::qWaitFor([this] { return m_subscribed.load(); });
    }

    // A request whose answer (subacks() grows) says that the broker has
    // taken the acknowledgements of every message received before it: it
    // handles a client's packets in order. Twice, since an acknowledgement
    // may leave after the delivery it answers was seen.
    bool requestConfirmation() { return mosquitto_subscribe(m_client, nullptr, "confirm/nothing", 1) == MOSQ_ERR_SUCCESS; }
    int subacks() const { return m_subacks; }

    QList<Received> received() const
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }
    int count() const { return received().size(); }
    // "row:KEY" and "weighing:HASH" for each row and weighing, in arrival order.
    QStringList arrivals() const
    {
        QStringList list;
        for (const Received &message : received()) {
            const QJsonObject object = QJsonDocument::fromJson(message.payload).object();
            if (message.topic.endsWith("/row"))
                list << QStringLiteral("row:%1").arg(object.value("key").toInt());
            else if (message.topic.endsWith("/weighing"))
                list << QStringLiteral("weighing:") + object.value("hash").toString();
        }
        return list;
    }

private:
    quint16 m_port;
    std::string m_filter;
    mosquitto *m_client = nullptr;
    std::atomic<bool> m_subscribed{false};
    std::atomic<int> m_subacks{0};
    mutable std::mutex m_mutex;
    QList<Received> m_received;
};

PublishedRow row(int key, bool weighing = false)
{
    PublishedRow published;
    published.instrument = QStringLiteral("b1");
    published.row = Row(QStringLiteral("2026-12-07"), QTime(8, 0).addSecs(key).toString(Qt::ISODate),
                        QStringLiteral("Balance 1"), QStringLiteral("N"), QString::number(10 + key * 0.001, 'f', 4),
                        QStringLiteral("g"));
    published.row.provenance.state = QLatin1String(Provenance::kLive);
    published.key = key;
    published.hash = QStringLiteral("h%1").arg(key);
    if (weighing)
        published.weighing = PublishedWeighing{QStringLiteral("A%1").arg(key), QStringLiteral("S1"), QStringLiteral("key"),
                                               QStringLiteral("net"), QStringLiteral("anna"), QStringLiteral("E2")};
    return published;
}

// What the subscriber should see of rows `from`..`to` (every third a weighing).
QStringList expectedArrivals(int from, int to)
{
    QStringList list;
    for (int key = from; key <= to; ++key) {
        list << QStringLiteral("row:%1").arg(key);
        if (key % 3 == 0)
            list << QStringLiteral("weighing:h%1").arg(key);
    }
    return list;
}

void publishRows(MqttPublisher &publisher, int from, int to)
{
    for (int key = from; key <= to; ++key)
        publisher.publishRow(row(key, key % 3 == 0));
}

MqttConfig mqttConfig(const MosquittoBroker &broker)
{
    MqttConfig config;
    config.enabled = true;
    config.url = broker.url();
    config.host = QStringLiteral("127.0.0.1");
    config.port = broker.port();
    config.topicPrefix = QStringLiteral("lab/pc1/");
    return config;
}

// The lines of an outbox file that are messages.
int messageLines(const QString &path)
{
    int count = 0;
    for (const QByteArray &line : readFile(path).split('\n'))
        count += line.startsWith("m,");
    return count;
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
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &m_saved); }

private:
    rlimit m_saved{};
};

SeriesFile series(const QString &name, int weighings)
{
    SeriesFile file{QStringLiteral("b/1"), QStringLiteral("Balance 1"), name, QStringLiteral("2026-12-07 08:00:00"),
                    QStringLiteral("2026-12-07 08:05:00"), QStringLiteral("g"), {}, {}};
    for (int i = 0; i < weighings; ++i)
        file.weighings.append({QStringLiteral("A%1").arg(i), QStringLiteral("2026-12-07"), QStringLiteral("08:00:%1").arg(i % 60, 2, 10, QLatin1Char('0')),
                               QStringLiteral("10.00%1").arg(i % 10), QStringLiteral("g"), QStringLiteral("net"),
                               QStringLiteral("E2"), QStringLiteral("h%1").arg(i)});
    file.summary = {QString::number(weighings), "10.0045", "0.0029", "0.029 %", "10.0000", "10.0090", "0.0090", "10.0000",
                    {{"E2", QString::number(weighings)}, {"out", "0"}}};
    return file;
}

// settings.ini of one balance W1 that prints on its key, on `balance`.
bool writeSettings(const Sim::PseudoTerminal &balance)
{
    return writeFile("settings.ini", "[W1]\nname=Waage\ntype=automatic\nrecord=print\ndataBits=8\nparity=none\n"
                                     "stopBits=1\ntransmissionRate=9600\ncomPort=" + balance.devicePath().toUtf8() + "\n");
}

// The files a reader of the drop folder would take (not the temporary ones).
QStringList visibleFiles(const QString &dir)
{
    QStringList files;
    for (const QString &name : QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name)) {
        if (!(name.startsWith('.') && name.endsWith(".part")))
            files << name;
    }
    return files;
}

} // namespace

class TestPublish : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qInstallMessageHandler(TraceLog::handler); }

    void init()
    {
        m_dir = std::make_unique<TempWorkDir>();
        QVERIFY(m_dir->isValid());
        const bool needsBroker = QByteArray(QTest::currentTestFunction()).startsWith("mqtt");
        if (needsBroker && !MosquittoBroker::available())
            QSKIP("mosquitto is not installed (apt-get install mosquitto)");
        if (needsBroker)
            m_broker = std::make_unique<MosquittoBroker>(m_dir->path());
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
        row("drop json", "[drop]\ndir=out\nformat=JSON\n", {"mqtt=0", "drop=1", "dir=out", "json=1"});
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
            {"dir", config.drop.dir.startsWith('/') && config.drop.dir.startsWith(m_dir->path())
                        ? QDir(m_dir->path()).relativeFilePath(config.drop.dir) : config.drop.dir},
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
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("row") << "row"
                             << QByteArray(R"({"sampling_date":"2026-12-07","sampling_time":"08:00:03","instrument_id":"Balance 1",)"
                                           R"("header":"N","result":"10.0030","unit":"g","state":"live","key":3,"hash":"h3"})");
        QTest::newRow("weighing") << "weighing"
                                  << QByteArray(R"({"sampling_date":"2026-12-07","sampling_time":"08:00:03","instrument_id":"Balance 1",)"
                                                R"("header":"N","result":"10.0030","unit":"g","sample":"A3","series":"S1",)"
                                                R"("trigger":"key","kind":"net","operator":"anna","class":"E2","hash":"h3"})");
        QTest::newRow("weighing without parts")
            << "bare weighing"
            << QByteArray(R"({"sampling_date":"2026-12-07","sampling_time":"08:00:03","instrument_id":"Balance 1",)"
                          R"("header":"N","result":"10.0030","unit":"g","sample":"A3","hash":"h3"})");
        QTest::newRow("stable") << "stable" << QByteArray(R"({"instrument":"b1","name":"Balance 1","result":"+1.5",)"
                                                          R"("unit":"g","stable":true,"at":"2026-12-07T08:00:00.100Z"})");
        QTest::newRow("stability unknown") << "unknown" << QByteArray(R"({"instrument":"b1","name":"Balance 1","result":"+1.5",)"
                                                                      R"("unit":"g","stable":null,"at":"2026-12-07T08:00:00.100Z"})");
    }

    void messages()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, json);
        PublishedRow published = row(3, true);
        if (kind == "bare weighing")
            published.weighing = PublishedWeighing{QStringLiteral("A3"), {}, {}, {}, {}, {}};
        const LiveReading reading{"b1", "Balance 1", "+1.5", "g",
                                  kind == "stable" ? Stability::Stable : Stability::Unknown,
                                  "2026-12-07T08:00:00.100Z"};
        const Message message = kind == "row"                 ? Messages::row("p/", published)
                                : kind.endsWith("weighing") ? Messages::weighing("p/", published)
                                                              : Messages::reading("p/", reading);
        const QString suffix = kind == "row" ? "row" : kind.endsWith("weighing") ? "weighing" : "reading";
        QCOMPARE(message.topic, ("p/b1/" + suffix).toUtf8());
        QVERIFY2(!message.payload.contains('\n') && !message.payload.contains(' ') == !json.contains(' '), message.payload);
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
        QTest::addColumn<int>("waiting");
        QTest::addColumn<int>("unreadable");
        QTest::addColumn<bool>("torn");
        // Messages 1..10 written, 1..4 acknowledged.
        QTest::newRow("as left") << 512 << QByteArray() << 6 << 0 << false;
        QTest::newRow("read in pieces") << 2 << QByteArray() << 6 << 0 << false;
        QTest::newRow("torn last line") << 512 << QByteArray("m,11,dC8x,cGF5") << 6 << 0 << true;
        QTest::newRow("garbage lines") << 3 << QByteArray("\x00\xff,,\nm,x,y,z\nPK\x03\x04\n", 18) << 6 << 3 << false;
        QTest::newRow("acknowledgement torn") << 512 << QByteArray("a,1") << 6 << 0 << true;
    }

    void outboxReopened()
    {
        QFETCH(int, loadedBound);
        QFETCH(QByteArray, tail);
        QFETCH(int, waiting);
        QFETCH(bool, torn);
        const QString path = m_dir->filePath("outbox");
        {
            Outbox outbox(path, loadedBound);
            QCOMPARE(outbox.open().waiting, 0);
            QString error;
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
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append) && file.write(tail) == tail.size());
        file.close();

        Outbox outbox(path, loadedBound);
        const Outbox::Opened opened = outbox.open();
        QCOMPARE(opened.waiting, waiting);
        QTEST(opened.unreadable, "unreadable");
        QCOMPARE(opened.torn, torn);
        QVERIFY(opened.error.isEmpty());
        QVERIFY(!readFile(path).endsWith(tail.isEmpty() ? QByteArray("-") : tail) || !torn);
        // New messages go after the old ones, and nothing is handed out twice.
        QString error;
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

    // The broker stopped for longer than the longest reconnection wait:
    // told once, the rows handed over meanwhile wait in the outbox and
    // arrive after the others, in order, none twice; the end is told with
    // how many went then.
    void mqttOutage()
    {
        const MosquittoBroker::Options persistent{{}, true, {}, {}, {}};
        QVERIFY2(m_broker->start(persistent), qPrintable(m_broker->error()));
        auto subscriber = std::make_unique<Subscriber>(m_broker->port(), "lab/pc1/#", "lims");
        QVERIFY(subscriber->connect());
        MqttPublisher publisher(mqttConfig(*m_broker), m_dir->filePath("publish-outbox"));
        publisher.setRetryDelays(20, 160);
        QSignalSpy began(&publisher, &MqttPublisher::outageBegan);
        QSignalSpy ended(&publisher, &MqttPublisher::outageEnded);
        QSignalSpy problems(&publisher, &MqttPublisher::problem);
        publisher.start();
        publishRows(publisher, 1, 10);
        QTRY_COMPARE(subscriber->arrivals(), expectedArrivals(1, 10));
        QCOMPARE(subscriber->received().first().topic, QByteArray("lab/pc1/b1/row"));
        QTRY_COMPARE(publisher.waiting(), 0);
        QCOMPARE(QFileInfo(m_dir->filePath("publish-outbox")).size(), 0);
        // Lest the broker, stopped now, deliver those again to the subscriber.
        for (int round = 0; round < 2; ++round) {
            const int subacks = subscriber->subacks();
            QVERIFY(subscriber->requestConfirmation());
            QTRY_VERIFY(subscriber->subacks() > subacks);
        }

        const int waitsBefore = TraceLog::instance().count("next connection attempt in ms: 160");
        m_broker->stop();
        QTRY_VERIFY_WITH_TIMEOUT(began.count() > 0, 10000);
        QVERIFY2(began.first().first().toString().contains(m_broker->url()), qPrintable(began.first().first().toString()));
        // Rows of the outage, handed over while the attempts back off to their longest wait, and past it.
        for (int key = 11; key <= 40; ++key) {
            publisher.publishRow(row(key, key % 3 == 0));
            if (key % 10 == 0)
                QTRY_VERIFY(TraceLog::instance().count("next connection attempt in ms: 160") >= waitsBefore + key / 10);
        }
        QTRY_COMPARE(publisher.waiting(), expectedArrivals(11, 40).size());
        QCOMPARE(messageLines(m_dir->filePath("publish-outbox")), expectedArrivals(11, 40).size());
        QCOMPARE(began.count(), 1);
        QCOMPARE(ended.count(), 0);

        QVERIFY2(m_broker->start(persistent), qPrintable(m_broker->error()));
        QTRY_VERIFY_WITH_TIMEOUT(ended.count() > 0, 10000);
        QCOMPARE(ended.first().first().toInt(), expectedArrivals(11, 40).size());
        QTRY_COMPARE(subscriber->arrivals().size(), expectedArrivals(1, 40).size());
        QCOMPARE(subscriber->arrivals(), expectedArrivals(1, 40));
        QCOMPARE(began.count(), 1);
        QCOMPARE(problems.count(), 0);
        QTRY_COMPARE(QFileInfo(m_dir->filePath("publish-outbox")).size(), 0);
    }

    // A broker that refuses the login: told once, however often it is
    // tried; the rows wait, and arrive once the broker takes the password.
    void mqttLoginRefused()
    {
        const QString passwords = m_dir->filePath("passwords");
        QVERIFY(MosquittoBroker::writePasswordFile(passwords, "collector", "other"));
        QVERIFY2(m_broker->start({passwords, true, {}, {}, {}}), qPrintable(m_broker->error()));
        MqttConfig config = mqttConfig(*m_broker);
        config.user = QStringLiteral("collector");
        config.password = QStringLiteral("pa55word");
        MqttPublisher publisher(config, m_dir->filePath("publish-outbox"));
        publisher.setRetryDelays(20, 80);
        QSignalSpy problems(&publisher, &MqttPublisher::problem);
        QSignalSpy began(&publisher, &MqttPublisher::outageBegan);
        QSignalSpy ended(&publisher, &MqttPublisher::outageEnded);
        const int waitsBefore = TraceLog::instance().count("next connection attempt in ms: 80");
        publisher.start();
        publishRows(publisher, 1, 5);
        QTRY_VERIFY_WITH_TIMEOUT(problems.count() > 0, 10000);
        QTRY_VERIFY(TraceLog::instance().count("next connection attempt in ms: 80") >= waitsBefore + 3);
        QCOMPARE(problems.count(), 1);
        const QString line = problems.first().first().toString();
        QVERIFY2(line.contains("refuses the login of user collector"), qPrintable(line));
        QVERIFY2(!line.contains("pa55word"), "the password is never told");
        QCOMPARE(began.count(), 0);
        QCOMPARE(publisher.waiting(), expectedArrivals(1, 5).size());

        // The broker is given the collector's password: the rows go, on the next try.
        QVERIFY(MosquittoBroker::writePasswordFile(passwords, "collector", "pa55word"));
        QVERIFY2(m_broker->start({passwords, true, {}, {}, {}}), qPrintable(m_broker->error()));
        QTRY_VERIFY_WITH_TIMEOUT(ended.count() > 0, 10000);
        QCOMPARE(ended.first().first().toInt(), expectedArrivals(1, 5).size());
        QCOMPARE(publisher.waiting(), 0);
        QCOMPARE(problems.count(), 1);
        QCOMPARE(began.count(), 0);
    }

    // What a stopped program left in the outbox goes first, before the
    // rows of the new run; a stop with the broker away waits for nothing.
    void mqttRestart()
    {
        const QString outbox = m_dir->filePath("publish-outbox");
        {
            MqttPublisher first(mqttConfig(*m_broker), outbox);  // the broker is not running
            QSignalSpy began(&first, &MqttPublisher::outageBegan);
            first.start();
            publishRows(first, 1, 9);
            QTRY_VERIFY_WITH_TIMEOUT(began.count() > 0, 10000);
            QTRY_COMPARE(first.waiting(), expectedArrivals(1, 9).size());
            QElapsedTimer stopping;
            stopping.start();
            first.stop();
            QVERIFY(stopping.elapsed() < MqttPublisher::kQuitPatienceMs);
        }
        QCOMPARE(messageLines(outbox), expectedArrivals(1, 9).size());
        QVERIFY2(m_broker->start(), qPrintable(m_broker->error()));
        Subscriber subscriber(m_broker->port(), "lab/pc1/#");
        QVERIFY(subscriber.connect());
        MqttPublisher second(mqttConfig(*m_broker), outbox);
        second.start();
        publishRows(second, 10, 15);
        QTRY_COMPARE(subscriber.arrivals().size(), expectedArrivals(1, 15).size());
        QCOMPARE(subscriber.arrivals(), expectedArrivals(1, 15));
        QTRY_COMPARE(second.waiting(), 0);
    }

    // Ten readings a second: at most one a second goes, retained, the
    // newest of its second; measured on the publisher's clock, not waited for.
    void mqttReadings()
    {
        QVERIFY2(m_broker->start(), qPrintable(m_broker->error()));
        Subscriber subscriber(m_broker->port(), "lab/pc1/+/reading");
        QVERIFY(subscriber.connect());
        auto now = std::make_shared<std::atomic<qint64>>(0);
        MqttPublisher publisher(mqttConfig(*m_broker), m_dir->filePath("publish-outbox"));
        publisher.setClock([now] { return now->load(); });
        QSignalSpy connected(&publisher, &MqttPublisher::connectedChanged);
        publisher.start();
        QTRY_VERIFY_WITH_TIMEOUT(connected.count() > 0, 10000);
        const auto reading = [](const QString &instrument, int i) {
            return LiveReading{instrument, "Balance", QString::number(i), "g", Stability::Stable,
                               QStringLiteral("2026-12-07T08:00:00.%1Z").arg(i, 3, 10, QLatin1Char('0'))};
        };
        now->store(0);
        publisher.publishReading(reading("b/1", 0));
        QTRY_COMPARE(subscriber.count(), 1);
        // Three readings in the second half of the second; the newest goes when the second is over.
        now->store(500);
        for (int i = 1; i <= 3; ++i)
            publisher.publishReading(reading("b/1", 10 + i));
        now->store(1000);
        QTRY_COMPARE(subscriber.count(), 2);
        // One of another instrument goes at once, and after the others.
        publisher.publishReading(reading("b2", 99));
        QTRY_COMPARE(subscriber.count(), 3);
        QStringList results;
        for (const Subscriber::Received &message : subscriber.received())
            results << QString::fromUtf8(message.topic) + '=' + QJsonDocument::fromJson(message.payload).object().value("result").toString();
        QCOMPARE(results, QStringList({"lab/pc1/b%2F1/reading=0", "lab/pc1/b%2F1/reading=13", "lab/pc1/b2/reading=99"}));
        // Retained: a subscriber that comes later gets the newest at once.
        Subscriber later(m_broker->port(), "lab/pc1/b%2F1/reading");
        QVERIFY(later.connect());
        QTRY_COMPARE(later.count(), 1);
        QVERIFY(later.received().first().retained);
        QCOMPARE(QJsonDocument::fromJson(later.received().first().payload).object().value("result").toString(), QString("13"));
    }

    // veltrano-collect as publish.ini asks: each weighing of a balance that
    // prints on its key goes out as its row and its weighing, with the row's
    // key and hash, and the balance's reading as it comes.
    void mqttFromTheCollector()
    {
        QVERIFY2(m_broker->start(), qPrintable(m_broker->error()));
        Subscriber subscriber(m_broker->port(), "lab/pc1/#");
        QVERIFY(subscriber.connect());
        Sim::PseudoTerminal balance;
        QVERIFY(balance.open());
        QVERIFY(writeSettings(balance));
        QVERIFY(writeFile("publish.ini", "[mqtt]\nurl=" + m_broker->url().toUtf8() + "\ntopic=lab/pc1/\n"));
        QProcess collector;
        collector.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        collector.start(QStringLiteral(VELTRANO_COLLECT), QStringList());
        QVERIFY(collector.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists("veltrano-status.json"), 30000);
        QVERIFY(balance.write("+1.25 g\r\n+2.50 g\r\n"));
        const auto topics = [&subscriber] {
            QStringList found;
            for (const Subscriber::Received &message : subscriber.received())
                found << QString::fromUtf8(message.topic).section('/', 3) + '='
                             + QJsonDocument::fromJson(message.payload).object().value("result").toString();
            return found;
        };
        QTRY_VERIFY2_WITH_TIMEOUT(topics().filter(QRegularExpression("^(row|weighing)=")).size() == 4,
                                  qPrintable(topics().join(' ')), 30000);
        QCOMPARE(topics().filter(QRegularExpression("^(row|weighing)=")),
                 QStringList({"row=+1.25", "weighing=+1.25", "row=+2.50", "weighing=+2.50"}));
        QTRY_VERIFY_WITH_TIMEOUT(topics().contains("reading=+2.50"), 30000);
        ::kill(pid_t(collector.processId()), SIGTERM);
        QVERIFY(collector.waitForFinished(30000));
        QCOMPARE(collector.exitCode(), 0);
        for (const Subscriber::Received &message : subscriber.received()) {
            const QJsonObject object = QJsonDocument::fromJson(message.payload).object();
            if (message.topic.endsWith("/row"))
                QVERIFY2(object.value("hash").toString().size() == 64 && object.value("key").toInt() > 0,
                         message.payload.constData());
        }
    }

    // An outbox on a full disk: told once; the rows still go, from memory,
    // in order, and into the file again once it takes them.
    void mqttOutboxFull()
    {
        QVERIFY2(m_broker->start(), qPrintable(m_broker->error()));
        Subscriber subscriber(m_broker->port(), "lab/pc1/#");
        QVERIFY(subscriber.connect());
        MqttPublisher publisher(mqttConfig(*m_broker), m_dir->filePath("publish-outbox"));
        QSignalSpy problems(&publisher, &MqttPublisher::problem);
        QSignalSpy connected(&publisher, &MqttPublisher::connectedChanged);
        publisher.start();
        QTRY_VERIFY_WITH_TIMEOUT(connected.count() > 0, 10000);
        {
            const FileSizeLimit full(0);
            publishRows(publisher, 1, 12);
            QTRY_COMPARE(subscriber.arrivals().size(), expectedArrivals(1, 12).size());
        }
        QCOMPARE(problems.count(), 1);
        QVERIFY2(problems.first().first().toString().contains("takes no more messages"),
                 qPrintable(problems.first().first().toString()));
        publishRows(publisher, 13, 20);
        QTRY_COMPARE(subscriber.arrivals().size(), expectedArrivals(1, 20).size());
        QCOMPARE(subscriber.arrivals(), expectedArrivals(1, 20));
        QCOMPARE(problems.count(), 1);
    }

    // mqtts: the broker's certificate must come from the given authority
    // and name the host connected to.
    void mqttTls_data()
    {
        QTest::addColumn<bool>("rightAuthority");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("failure");  // empty: the rows arrive
        QTest::newRow("verified") << true << "localhost" << "";
        QTest::newRow("unknown authority") << false << "localhost" << "certificate verify failed";
        QTest::newRow("another host name") << true << "127.0.0.1" << "certificate verify failed";
    }

    void mqttTls()
    {
        QFETCH(bool, rightAuthority);
        QFETCH(QString, host);
        QFETCH(QString, failure);
        const auto openssl = [](const QStringList &arguments) {
            QProcess process;
            process.setProcessChannelMode(QProcess::MergedChannels);
            process.start("openssl", arguments);
            return process.waitForFinished(60000) && process.exitCode() == 0;
        };
        const QStringList ec{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
        for (const QString ca : {"ca", "other"})
            QVERIFY(openssl(QStringList{"req", "-x509"} + ec + QStringList{"-keyout", ca + ".key", "-out", ca + ".pem", "-days", "1", "-subj", "/CN=Test " + ca}));
        QVERIFY(openssl(QStringList{"req"} + ec + QStringList{"-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost"}));
        QVERIFY(writeFile("san.ext", "subjectAltName=DNS:localhost\n"));
        QVERIFY(openssl({"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                         "-out", "server.pem", "-days", "1", "-extfile", "san.ext"}));
        QVERIFY2(m_broker->start({{}, false, m_dir->filePath("ca.pem"), m_dir->filePath("server.pem"), m_dir->filePath("server.key")}),
                 qPrintable(m_broker->error()));

        MqttConfig config = mqttConfig(*m_broker);
        config.tls = true;
        config.host = host;
        config.url = m_broker->url("mqtts", host);
        config.caFile = m_dir->filePath(rightAuthority ? "ca.pem" : "other.pem");
        MqttPublisher publisher(config, m_dir->filePath("publish-outbox"));
        QSignalSpy began(&publisher, &MqttPublisher::outageBegan);
        QSignalSpy connected(&publisher, &MqttPublisher::connectedChanged);
        publisher.start();
        publishRows(publisher, 1, 3);
        if (failure.isEmpty()) {
            QTRY_COMPARE(publisher.waiting(), 0);
            QCOMPARE(began.count(), 0);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(began.count() > 0, 10000);
            QVERIFY2(began.first().first().toString().contains(failure), qPrintable(began.first().first().toString()));
            QCOMPARE(connected.count(), 0);
            QCOMPARE(publisher.waiting(), expectedArrivals(1, 3).size());
        }
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
        SeriesFile file = series(QStringLiteral("S-1,x"), 2);
        file.summary.n = file.summary.classCounts.first().second = QStringLiteral("2");
        const CheckFile checked{"b/1", "daily", "2026-12-07", "08:05:00", "Anna \"A\"", "F1 200 g", "200.0000 g", "3",
                                "200.0002", "0.0001", "0.0002", "0.0010", "passed"};
        QCOMPARE(check ? DropFiles::name(checked, at, format) : DropFiles::name(file, at, format), name);
        const QString first = DropFiles::name(checked, at, format);
        QCOMPARE(DropFiles::name(checked, at, format, 3), QString(first).insert(first.lastIndexOf('.'), "-3"));
        const QByteArray written = check ? DropFiles::content(checked, format) : DropFiles::content(file, format);
        if (json)
            QCOMPARE(QJsonDocument::fromJson(written).object(), QJsonDocument::fromJson(content).object());
        else
            QCOMPARE(written, content);
    }

    // A reader of the folder never sees half a file; every file arrives, in
    // the order handed over, and the spool is empty afterwards.
    void dropWhole()
    {
        QVERIFY(QDir().mkdir("drop"));
        DropFolder drop({true, m_dir->filePath("drop"), DropConfig::Format::Csv}, m_dir->filePath("publish-spool"));
        QSignalSpy written(&drop, &DropFolder::fileWritten);
        drop.start();
        constexpr int kFiles = 12;
        for (int i = 0; i < kFiles; ++i)
            drop.write(series(QStringLiteral("S%1").arg(i), 20000));
        int looks = 0;
        while (written.count() < kFiles) {
            for (const QString &name : visibleFiles("drop")) {
                const QByteArray content = readFile("drop/" + name);
                QVERIFY2(content.endsWith("class out,0\r\n"), qPrintable(name + " seen in part"));
            }
            ++looks;
            written.wait(50);  // or less: the files are written on other threads
        }
        QVERIFY(looks > 1);
        QStringList order;
        for (const QList<QVariant> &signal : written)
            order << signal.first().toString().section('_', 2, 2);
        QStringList expected;
        for (int i = 0; i < kFiles; ++i)
            expected << QStringLiteral("S%1").arg(i);
        QCOMPARE(order, expected);
        QCOMPARE(visibleFiles("drop").size(), kFiles);
        QCOMPARE(QDir("drop").entryList(QDir::Files | QDir::Hidden).size(), kFiles);
        QCOMPARE(QDir("publish-spool").entryList(QDir::Files | QDir::Hidden).size(), 0);
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
            QVERIFY2(began.first().first().toString().contains(m_dir->filePath("drop") + ": the folder is not there"),
                     qPrintable(began.first().first().toString()));
            const int tries = TraceLog::instance().count("the drop folder does not take files");
            drop.write(CheckFile{"b1", "daily", "2026-12-07", "08:05:00", "anna", "F1 200 g", "200 g", "3", "200.0001",
                                 "0.0001", "0.0001", "0.001", "passed"});
            drop.write(series("S3", 3));
            QTRY_VERIFY(TraceLog::instance().count("the drop folder does not take files") > tries + 3);
            QCOMPARE(began.count(), 1);
            QCOMPARE(QDir("publish-spool").entryList(QDir::Files).size(), 3);
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
        QCOMPARE(QDir("publish-spool").entryList(QDir::Files | QDir::Hidden).size(), 0);
    }

    // veltrano-collect as publish.ini's [drop] asks: a series is one file,
    // written once the next series begins and at the stop, with every
    // weighing of it; a folder missing at first loses nothing, is told of
    // once, and takes the files once it is there.
    void dropFromTheCollector_data()
    {
        QTest::addColumn<bool>("missingAtFirst");
        QTest::newRow("folder there") << false;
        QTest::newRow("folder missing at first") << true;
    }

    void dropFromTheCollector()
    {
        QFETCH(bool, missingAtFirst);
        Sim::PseudoTerminal balance;
        QVERIFY(balance.open());
        QVERIFY(writeSettings(balance));
        QVERIFY(writeFile("publish.ini", "[drop]\ndir=drop\nformat=csv\n"));
        QVERIFY(missingAtFirst || QDir().mkdir("drop"));
        QProcess collector;
        collector.setReadChannel(QProcess::StandardError);
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
        if (missingAtFirst) {
            QTRY_VERIFY2_WITH_TIMEOUT(log.contains(away), log.constData(), 30000);
            QVERIFY(QDir().mkdir("drop"));
            QTRY_VERIFY2_WITH_TIMEOUT(log.contains("takes the results again: 1 waiting files written"), log.constData(), 30000);
        }
        QTRY_COMPARE_WITH_TIMEOUT(QDir("drop").entryList(QDir::Files).size(), 1, 30000);
        QVERIFY(balance.write("+5.00 g\r\n"));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists("worklists/W1.csv.done"), 30000);
        ::kill(pid_t(collector.processId()), SIGTERM);
        QVERIFY(collector.waitForFinished(30000));
        QCOMPARE(collector.exitCode(), 0);
        QCOMPARE(log.count(away), missingAtFirst ? 1 : 0);

        // Each file: its weighings' samples and results, each with its row's hash.
        QStringList series;
        for (const QString &name : QDir("drop").entryList(QDir::Files, QDir::Name)) {
            QString seriesName;
            QStringList weighings;
            for (const QByteArray &line : readFile("drop/" + name).split('\n')) {
                const QStringList fields = QString::fromUtf8(line.trimmed()).split(',');
                if (fields.first() != "W1")
                    continue;
                QCOMPARE(fields.size(), 11);
                QVERIFY2(fields[10].size() == 64, qPrintable(fields[10]));
                seriesName = fields[2].section(' ', 0, 0);
                weighings << fields[3] + '=' + fields[6];
            }
            series << seriesName + ' ' + weighings.join(' ');
        }
        series.sort();
        QCOMPARE(series, QStringList({"W1 =+1.25 =+2.50", "W1.csv S-1=+3.75 S-2=+5.00"}));
        QCOMPARE(QDir("publish-spool").entryList(QDir::Files | QDir::Hidden).size(), 0);
    }

    // A file of the same name in the folder is never replaced: the same
    // content counts as written (before a crash), another gets a new name.
    void dropNeverReplaces_data()
    {
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<QStringList>("files");
        QTest::newRow("written before a crash") << QByteArray("spooled\n") << QStringList{"b1_S1_20261207-080000.csv"};
        QTest::newRow("another file") << QByteArray("other\n")
                                      << QStringList{"b1_S1_20261207-080000-2.csv", "b1_S1_20261207-080000.csv"};
    }

    void dropNeverReplaces()
    {
        QFETCH(QByteArray, existing);
        QVERIFY(QDir().mkdir("drop") && QDir().mkdir("publish-spool"));
        QVERIFY(writeFile("publish-spool/000000000007-b1_S1_20261207-080000.csv", "spooled\n"));
        QVERIFY(writeFile("publish-spool/.000000000008-b1_S2_20261207-080000.csv.part", "cut"));
        QVERIFY(writeFile("drop/b1_S1_20261207-080000.csv", existing));
        DropFolder drop({true, m_dir->filePath("drop"), DropConfig::Format::Csv}, m_dir->filePath("publish-spool"));
        QSignalSpy written(&drop, &DropFolder::fileWritten);
        drop.start();
        QTRY_VERIFY_WITH_TIMEOUT(written.count() > 0, 10000);
        QTEST(QDir("drop").entryList(QDir::Files | QDir::Hidden, QDir::Name), "files");
        QCOMPARE(readFile("drop/" + written.first().first().toString()), QByteArray("spooled\n"));
        QCOMPARE(readFile("drop/b1_S1_20261207-080000.csv"), existing);
        QCOMPARE(QDir("publish-spool").entryList(QDir::Files | QDir::Hidden).size(), 0);
    }

private:
    std::unique_ptr<TempWorkDir> m_dir;
    std::unique_ptr<MosquittoBroker> m_broker;
};

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
