// Collection start, stop, sampling, storage and error reporting, without a
// serial line behind the ports.
#include "collectionprobe.h"
#include "mainwindow.h"
#include "modalrecorder.h"
#include "stderrcapture.h"
#include "tempworkdir.h"
#include "testdatabase.h"

#include <QHeaderView>
#include <QPointer>
#include <QSqlDatabase>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTableView>
#include <QtTest>

#include <memory>

namespace {

const QString kMissing = QStringLiteral("/nonexistent/ttyS99");
const QString kNotFound = QStringLiteral("error: An error occurred while attempting to open an non-existing device.");

QString cannotOpen(const QString &port, const QString &id)
{
    return QStringLiteral("startToCollect: cannot open serial port:  \"%1\" instrument:  \"%2\"").arg(port, id);
}

QStringList newInstrument(const QString &id)
{
    QStringList entries{id + "/active=true"};
    for (const char *key : {"type", "name", "comPort", "samplingInterval", "transmissionRate", "parity", "stopBits",
                            "dataOutputFormat"})
        entries << id + '/' + key + '=';
    return entries;
}

// Rows of an earlier day with short names, inserted in one transaction.
void fillTable(int rows)
{
    QSqlDatabase::database().transaction();
    for (int i = 0; i < rows; ++i) {
        const QString time = QTime(0, 0).addSecs(i).toString(Qt::ISODate);
        QVERIFY(insertTestRow({"2014-06-30", time, "B", "", "+1.0", "g  "}));
    }
    QVERIFY(QSqlDatabase::database().commit());
}

// What another program sees in the file now, through a connection of its own.
int rowsSeenByAnotherProgram()
{
    int rows = -1;
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
        other.setDatabaseName(QStringLiteral("sqlite.db"));
        if (other.open()) {
            QSqlQuery count(QStringLiteral("SELECT count(*) FROM data"), other);
            if (count.next())
                rows = count.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("other"));
    return rows;
}

QString pragma(const char *name)
{
    QSqlQuery query(QStringLiteral("PRAGMA %1").arg(QLatin1String(name)));
    return query.next() ? query.value(0).toString() : QString();
}

} // namespace

class TestCollection : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void start_data();
    void start();
    void inactiveIsLoggedTwice();
    void stopEmptiesTheRegistry();
    void immediateReadInCodeUnitOrder();
    void store_data();
    void store();
    void storeFailureKeepsTheStatement();
    void storedRowReachesTheFile_data();
    void storedRowReachesTheFile();
    void errorSlot_data();
    void errorSlot();
    void slotsWithoutSender();

private:
    std::unique_ptr<TempWorkDir> m_dir;
    std::unique_ptr<ModalRecorder> m_boxes;
};

void TestCollection::initTestCase()
{
    installTestMessageHandler();
}

void TestCollection::init()
{
    m_dir = std::make_unique<TempWorkDir>();
    QVERIFY(openTestDatabase());
    m_boxes = std::make_unique<ModalRecorder>();
}

void TestCollection::cleanup()
{
    m_boxes.reset();
    closeTestDatabase();
    m_dir.reset();
}

void TestCollection::start_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("boxes");       // without file and line
    QTest::addColumn<QStringList>("registered");  // ids in all three maps
    QTest::addColumn<QStringList>("timers");      // "id=interval" for running timers, "id=-" for stopped ones

    QTest::newRow("no settings file") << QStringList() << QStringList() << QStringList() << QStringList();
    QTest::newRow("new instrument")
        << newInstrument("B1") << QStringList({cannotOpen("", "B1"), "startToCollect: invalid samping interval. skipping"})
        << QStringList({"B1"}) << QStringList({"B1=-"});
    QTest::newRow("missing port, 2 s")
        << QStringList({"B1/comPort=" + kMissing, "B1/samplingInterval=2"})
        << QStringList({kNotFound, cannotOpen(kMissing, "B1")}) << QStringList({"B1"}) << QStringList({"B1=2000"});
    QTest::newRow("inactive") << QStringList({"B1/active=false", "B1/comPort=" + kMissing, "B1/samplingInterval=2"})
                              << QStringList() << QStringList() << QStringList();
    QTest::newRow("ids differ in case")
        << QStringList({"a/comPort=", "a/samplingInterval=3", "A/comPort=", "A/samplingInterval=1"})
        << QStringList({cannotOpen("", "A"), cannotOpen("", "a")}) << QStringList({"A", "a"})
        << QStringList({"A=1000", "a=3000"});

    const QString invalid = QStringLiteral("startToCollect: invalid samping interval. skipping");
    const struct
    {
        const char *value;
        const char *timer;
    } intervals[] = {
        {"1", "I=1000"},     {"2", "I=2000"},  {"2147483", "I=2147483000"}, {"2147484", "I=-"}, {"99999999999", "I=-"},
        {"2.5", "I=-"},      {"abc", "I=-"},   {"0", "I=-"},                {"-5", "I=-"},      {"", "I=-"},
    };
    for (const auto &interval : intervals) {
        const bool rejected = QByteArray(interval.timer).endsWith('-');
        QTest::addRow("interval %s", interval.value)
            << QStringList({"I/comPort=", QStringLiteral("I/samplingInterval=") + interval.value})
            << (rejected ? QStringList({cannotOpen("", "I"), invalid}) : QStringList({cannotOpen("", "I")}))
            << QStringList({"I"}) << QStringList({interval.timer});
    }
}

void TestCollection::start()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, boxes);
    QFETCH(QStringList, registered);
    QFETCH(QStringList, timers);

    writeSettings(entries);
    MainWindow window;
    MainWindowProbe probe{window};
    window.startToCollect();

    QCOMPARE(withoutPrefixes(m_boxes->texts()), boxes);
    QCOMPARE(probe.ports(), registered);
    QCOMPARE(probe.buffers(), registered);
    QCOMPARE(probe.timers(), registered);
    QStringList seen;
    for (const QString &id : probe.timers()) {
        QTimer *timer = probe.timer(id);
        QVERIFY(!timer->isSingleShot());
        seen << id + '=' + (timer->isActive() ? QString::number(timer->interval()) : QStringLiteral("-"));
    }
    QCOMPARE(seen, timers);
    QCOMPARE(probe.latestCount(), 0);
    QCOMPARE(probe.controls(), QStringLiteral("0 1 1 0"));
}

void TestCollection::inactiveIsLoggedTwice()
{
    writeSettings({"A/active=false", "B/active=true", "B/comPort=", "B/samplingInterval=5"});
    MainWindow window;
    StderrCapture capture;
    window.startToCollect();
    const QStringList debug = messages(capture.takeLines(), "Debug: ");
    QCOMPARE(debug.filter("marked not active"),
             QStringList({"startToCollect: marked not active. skipping instrument",
                          "startToCollect: marked not active. skipping timer"}));
    QCOMPARE(MainWindowProbe{window}.ports(), QStringList({"B"}));
}

void TestCollection::stopEmptiesTheRegistry()
{
    writeSettings({"A/comPort=" + kMissing, "A/samplingInterval=1", "B/comPort=", "B/samplingInterval=x"});
    MainWindow window;
    MainWindowProbe probe{window};
    window.startToCollect();
    QPointer<QTimer> timer = probe.timer("A");
    QPointer<QSerialPort> port = probe.port("A");

    StderrCapture capture;
    window.stopToCollect();
    QCOMPARE(messages(capture.takeLines(), "Debug: "), QStringList({"stopToCollect"}));
    QVERIFY(!timer);
    QVERIFY(!port);
    QCOMPARE(probe.ports() + probe.timers() + probe.buffers(), QStringList());
    QCOMPARE(probe.latestCount(), 0);
    QCOMPARE(probe.controls(), QStringLiteral("1 0 0 1"));

    // A second run starts from scratch.
    window.startToCollect();
    QCOMPARE(probe.ports(), QStringList({"A", "B"}));
    QVERIFY(probe.timer("A")->isActive());
    QCOMPARE(probe.controls(), QStringLiteral("0 1 1 0"));
}

void TestCollection::immediateReadInCodeUnitOrder()
{
    writeSettings({"b/name=third", "A/name=first", "a/name=second", "c/active=false", "c/name=never"});
    MainWindow window;
    window.startToCollect();
    window.storeImmediately();
    const QStringList rows = allTestRows();
    QCOMPARE(rows.size(), 3);
    QStringList names;
    for (const QString &row : rows) {
        const QStringList fields = row.split('|');
        names << fields.at(2);
        QCOMPARE(fields.mid(3), QStringList({"no header yet", "no result yet", "no unit yet"}));
    }
    QCOMPARE(names, QStringList({"first", "second", "third"}));
}

void TestCollection::store_data()
{
    QTest::addColumn<QString>("name");       // the name key as written; null: absent
    QTest::addColumn<QStringList>("latest");  // header, result, unit; empty: no reading yet
    QTest::addColumn<QString>("stored");      // name, header, result, unit as stored

    QTest::newRow("no reading yet") << "Balance 1" << QStringList()
                                    << "Balance 1|no header yet|no result yet|no unit yet";
    QTest::newRow("16-byte reading") << "Balance 1" << QStringList({"", "+0.1234", "g  "}) << "Balance 1||+0.1234|g  ";
    QTest::newRow("22-byte reading") << "B" << QStringList({"N     ", "-12.5", "kg "}) << "B|N     |-12.5|kg ";
    QTest::newRow("apostrophe in the name") << "Anna's balance" << QStringList({"", "+1", "g  "})
                                            << "Anna's balance||+1|g  ";
    QTest::newRow("non-ASCII name") << QString::fromUtf8("Mérleg ő 天秤") << QStringList({"", "+1", "g  "})
                                    << QString::fromUtf8("Mérleg ő 天秤||+1|g  ");
    QTest::newRow("SQL in the reading") << "B" << QStringList({"', '", "x');--", "'"}) << "B|', '|x');--|'";
    QTest::newRow("name absent") << QString() << QStringList({"", "+1", "g  "}) << "||+1|g  ";
}

void TestCollection::store()
{
    QFETCH(QString, name);
    QFETCH(QStringList, latest);
    QFETCH(QString, stored);

    writeSettings(name.isNull() ? QStringList({"B1/comPort="}) : QStringList({"B1/comPort=", "B1/name=" + name}));
    MainWindow window;
    MainWindowProbe probe{window};
    window.startToCollect();
    if (!latest.isEmpty())
        probe.setLatest("B1", latest.at(0), latest.at(1), latest.at(2));
    m_boxes->clear();
    probe.store("B1");
    QCOMPARE(m_boxes->texts(), QStringList());

    const QStringList rows = allTestRows();
    QCOMPARE(rows.size(), 1);
    const QStringList fields = rows.first().split('|');
    QCOMPARE(QStringList(fields.mid(2)).join('|'), stored);
    QCOMPARE(QDate::fromString(fields.at(0), Qt::ISODate).toString(Qt::ISODate), fields.at(0));
    QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d$").match(fields.at(0)).hasMatch());
    QVERIFY(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d$").match(fields.at(1)).hasMatch());
    // Nothing is stored as NULL, and the view shows the row.
    QSqlQuery nulls(QStringLiteral("SELECT count(*) FROM data WHERE instrument_id IS NULL OR header IS NULL"));
    QVERIFY(nulls.next());
    QCOMPARE(nulls.value(0).toInt(), 0);
    QCOMPARE(window.findChild<QTableView *>("uTableView")->model()->rowCount(), 1);
}

void TestCollection::storeFailureKeepsTheStatement()
{
    writeSettings({"B1/comPort=", "B1/name=Anna's"});
    MainWindow window;
    MainWindowProbe probe{window};
    window.startToCollect();
    QVERIFY(QSqlQuery().exec(QStringLiteral("DROP TABLE data")));
    m_boxes->clear();
    probe.store("B1");

    QCOMPARE(m_boxes->titles(), QStringList({"Critical"}));
    const QString text = withoutPrefix(m_boxes->texts().first());
    const QRegularExpression form(
        "^storeData: \"error occured during:\\n"
        "INSERT INTO data\\(sampling_date, sampling_time, instrument_id, header, result, unit\\) "
        "VALUES\\('\\d{4}-\\d\\d-\\d\\d','\\d\\d:\\d\\d:\\d\\d','Anna's','no header yet','no result yet','no unit yet'\\);\\n"
        ".*no such table: data.*\"$",
        QRegularExpression::DotMatchesEverythingOption);
    QVERIFY2(form.match(text).hasMatch(), qPrintable(text));
}

void TestCollection::errorSlot_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("box");
    QTest::addColumn<QString>("text");

    QTest::newRow("0") << 0 << false << "no error";
    QTest::newRow("11") << 11 << false << "An unidentified error occurred.";
    QTest::newRow("8") << 8 << true << "An I/O error occurred while reading the data.";
    QTest::newRow("13") << 13 << true << "internal unknown error";
}

void TestCollection::errorSlot()
{
    QFETCH(int, code);
    QFETCH(bool, box);
    QFETCH(QString, text);

    MainWindow window;
    StderrCapture capture;
    // Called twice: without a port behind the call nothing is held back.
    window.error(QSerialPort::SerialPortError(code));
    window.error(QSerialPort::SerialPortError(code));
    const QList<QByteArray> lines = capture.takeLines();
    const QString message = "error: " + text;
    if (box) {
        QCOMPARE(withoutPrefixes(m_boxes->texts()), QStringList({message, message}));
        QCOMPARE(m_boxes->titles(), QStringList({"Critical", "Critical"}));
        QCOMPARE(messages(lines, "Critical: "), QStringList({message, message}));
    } else {
        QCOMPARE(m_boxes->count(), 0);
        QCOMPARE(messages(lines, "Debug: "), QStringList({"error", message, "error", message}));
    }
}

void TestCollection::slotsWithoutSender()
{
    writeSettings({"B1/comPort=", "B1/samplingInterval=1"});
    MainWindow window;
    window.startToCollect();
    m_boxes->clear();
    window.timerFired();
    window.readyRead();
    QCOMPARE(withoutPrefixes(m_boxes->texts()), QStringList({"timerFired: cast failed", "readyRead: cast failed"}));

    // A timer that is not registered.
    QTimer stranger;
    stranger.setSingleShot(true);
    connect(&stranger, &QTimer::timeout, &window, &MainWindow::timerFired);
    m_boxes->clear();
    stranger.start(0);
    QTRY_COMPARE(m_boxes->count(), 1);
    QCOMPARE(withoutPrefixes(m_boxes->texts()), QStringList({"timerFired: cannot find corresponding instrument"}));
    QCOMPARE(allTestRows(), QStringList());
}

void TestCollection::storedRowReachesTheFile_data()
{
    QTest::addColumn<int>("rows");
    QTest::newRow("empty table") << 0;
    QTest::newRow("fewer rows than the view loads at once") << 20;
    // The view keeps its query open to load more rows on demand.
    QTest::newRow("more rows than the view loads at once") << 600;
}

void TestCollection::storedRowReachesTheFile()
{
    QFETCH(int, rows);
    fillTable(rows);
    const QString name = QStringLiteral("A balance with a much longer name than the others");
    writeSettings({"B1/comPort=", "B1/name=" + name});

    MainWindow window;
    MainWindowProbe probe{window};
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.startToCollect();
    probe.setLatest("B1", "", "+2.5", "g  ");
    m_boxes->clear();
    probe.store("B1");
    QCOMPARE(m_boxes->texts(), QStringList());

    // Committed, not left in an open transaction behind the view's query.
    QCOMPARE(rowsSeenByAnotherProgram(), rows + 1);
    // Stored rows are as durable as SQLite makes them by default.
    QCOMPARE(pragma("synchronous"), QStringLiteral("2"));
    QCOMPARE(pragma("journal_mode"), QStringLiteral("delete"));

    // The newest row is on top, and its name fits its column.
    auto *view = window.findChild<QTableView *>("uTableView");
    QCOMPARE(view->model()->index(0, 2).data().toString(), name);
    QVERIFY(view->rowViewportPosition(0) >= 0);
    QVERIFY2(view->columnWidth(2) > view->fontMetrics().horizontalAdvance(name),
             qPrintable(QString::number(view->columnWidth(2))));
}

QTEST_MAIN(TestCollection)
#include "tst_collection.moc"
