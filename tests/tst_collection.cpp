// Collection start, stop, storage and error reporting, without a serial line
// behind the ports.
#include "collectionprobe.h"
#include "windowtestcase.h"
#include "serialerrors.h"

#include <QHeaderView>
#include <QPointer>
#include <QSqlDatabase>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTableView>
#include <QtTest>


namespace {

const QString kMissing = QStringLiteral("/nonexistent/ttyS99");
const QString kInvalid = QStringLiteral("startToCollect: invalid samping interval. skipping");

QString cannotOpen(const QString &port, const QString &id)
{
    return QStringLiteral("startToCollect: cannot open serial port:  \"%1\" instrument:  \"%2\"").arg(port, id);
}

// Rows of an earlier day with short names, inserted in one transaction.
void fillTable(int rows)
{
    QList<QStringList> all;
    for (int i = 0; i < rows; ++i)
        all << QStringList{"2014-06-30", QTime(0, 0).addSecs(i).toString(Qt::ISODate), "B", "", "+1.0", "g  "};
    QVERIFY(insertTestRows(all));
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

class TestCollection : public WindowTestCase
{
    Q_OBJECT
private slots:
    void start_data();
    void start();
    void stopEmptiesTheRegistry();
    void immediateReadInCodeUnitOrder();
    void store_data();
    void store();
    void storeFailureKeepsTheStatement();
    void storedRowReachesTheFile_data();
    void storedRowReachesTheFile();
    void errorSlot_data();
    void errorSlot();
    void repeatedErrors_data();
    void repeatedErrors();

};

void TestCollection::start_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("boxes");   // without file and line
    QTest::addColumn<QStringList>("timers");  // "id=interval" of each registered id, "id=-" when stopped

    QTest::newRow("no settings file") << QStringList() << QStringList() << QStringList();
    QTest::newRow("new instrument") << QStringList({"B1/active=true", "B1/comPort=", "B1/samplingInterval="})
                                    << QStringList({cannotOpen("", "B1"), kInvalid}) << QStringList({"B1=-"});
    QTest::newRow("missing port, 2 s")
        << QStringList({"B1/comPort=" + kMissing, "B1/samplingInterval=2"})
        << QStringList({"error: An error occurred while attempting to open an non-existing device.",
                        cannotOpen(kMissing, "B1")})
        << QStringList({"B1=2000"});
    QTest::newRow("inactive") << QStringList({"B1/active=false", "B1/comPort=" + kMissing}) << QStringList()
                              << QStringList();
    QTest::newRow("ids differ in case")
        << QStringList({"a/comPort=", "a/samplingInterval=3", "A/comPort=", "A/samplingInterval=1"})
        << QStringList({cannotOpen("", "A"), cannotOpen("", "a")}) << QStringList({"A=1000", "a=3000"});
    // The longest interval whose milliseconds fit a timer, and beyond.
    for (const char *interval : {"2147483", "2147484", "99999999999", "0", "2.5"}) {
        const bool longest = qstrcmp(interval, "2147483") == 0;
        QTest::addRow("interval %s", interval)
            << QStringList({"I/comPort=", QStringLiteral("I/samplingInterval=") + interval})
            << (longest ? QStringList{cannotOpen("", "I")} : QStringList{cannotOpen("", "I"), kInvalid})
            << QStringList({longest ? "I=2147483000" : "I=-"});
    }
}

void TestCollection::start()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, boxes);
    QFETCH(QStringList, timers);

    writeSettings(entries);
    MainWindow window;
    MainWindowProbe probe{window};
    window.startToCollect();

    QCOMPARE(withoutPrefixes(m_boxes->texts()), boxes);
    QCOMPARE(probe.ports(), probe.timers());
    QCOMPARE(probe.buffers(), probe.timers());
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

void TestCollection::stopEmptiesTheRegistry()
{
    writeSettings({"A/comPort=" + kMissing, "A/samplingInterval=1", "B/comPort=", "B/samplingInterval=x"});
    MainWindow window;
    MainWindowProbe probe{window};
    QCOMPARE(probe.controls(), QStringLiteral("1 0 0 1"));
    window.startToCollect();
    QPointer<QTimer> timer = probe.timer("A");
    QPointer<QSerialPort> port = probe.port("A");

    window.stopToCollect();
    QVERIFY(!timer && !port);
    QCOMPARE(probe.ports() + probe.timers() + probe.buffers(), QStringList());
    QCOMPARE(probe.latestCount(), 0);
    QCOMPARE(probe.controls(), QStringLiteral("1 0 0 1"));

    window.startToCollect();  // a second run starts from scratch
    QCOMPARE(probe.ports(), QStringList({"A", "B"}));
    QVERIFY(probe.timer("A")->isActive());
}

void TestCollection::immediateReadInCodeUnitOrder()
{
    writeSettings({"b/name=lower b", "B/name=upper B", "a/name=lower a"});
    MainWindow window;
    window.startToCollect();
    window.storeImmediately();
    QStringList names;
    for (const QString &row : allTestRows())
        names << row.section('|', 2, 2);
    QCOMPARE(names, QStringList({"upper B", "lower a", "lower b"}));
}

void TestCollection::store_data()
{
    QTest::addColumn<QString>("name");        // the name key as written; null: absent
    QTest::addColumn<QStringList>("latest");  // header, result, unit; empty: no reading yet
    QTest::addColumn<QString>("stored");      // name, header, result, unit as stored

    QTest::newRow("no reading yet") << "Balance 1" << QStringList()
                                    << "Balance 1|no header yet|no result yet|no unit yet";
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
    QCOMPARE(rows.first().section('|', 2), stored);
    QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d\\|\\d\\d:\\d\\d:\\d\\d\\|").match(rows.first()).hasMatch(),
             qPrintable(rows.first()));
    QSqlQuery nulls(QStringLiteral("SELECT count(*) FROM data WHERE instrument_id IS NULL OR header IS NULL"));
    QVERIFY(nulls.next());
    QCOMPARE(nulls.value(0).toInt(), 0);
    QCOMPARE(child<QTableView>(&window, "uTableView")->model()->rowCount(), 1);  // the view shows it
}

void TestCollection::storeFailureKeepsTheStatement()
{
    writeSettings({"B1/comPort=", "B1/name=Anna's"});
    MainWindow window;
    window.startToCollect();
    QVERIFY(QSqlQuery().exec(QStringLiteral("DROP TABLE data")));
    m_boxes->clear();
    MainWindowProbe{window}.store("B1");

    QCOMPARE(m_boxes->titles(), QStringList({"Critical"}));
    const QString text = withoutPrefix(m_boxes->texts().first());
    const QRegularExpression form(
        "^.*MeasurementStore::refused.* \"error occured during:\\n"
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
    QTest::newRow("11: logged only") << 11 << false << "";
    QTest::newRow("8") << 8 << true << "An I/O error occurred while reading the data.";
    QTest::newRow("13: no text of its own") << 13 << true << "internal unknown error";
}

void TestCollection::errorSlot()
{
    QFETCH(int, code);
    QFETCH(bool, box);
    QFETCH(QString, text);
    MainWindow window;
    // Called twice: without a port behind the call nothing is held back.
    window.error(QSerialPort::SerialPortError(code));
    window.error(QSerialPort::SerialPortError(code));
    QCOMPARE(withoutPrefixes(m_boxes->texts()), box ? QStringList({"error: " + text, "error: " + text}) : QStringList());
}

void TestCollection::repeatedErrors_data()
{
    // Events "instrument:code" ("new run" clears the filter); verdicts "r"
    // (report) or "q" (quiet), with "+close" when the port is to be closed.
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QString>("verdicts");

    const QString read = ":" + QString::number(QSerialPort::ReadError);
    const QString resource = ":" + QString::number(QSerialPort::ResourceError);
    const QString unsupported = ":" + QString::number(QSerialPort::UnsupportedOperationError);
    QTest::newRow("hang-up storm") << QStringList({"A" + read, "A" + read, "A" + read}) << "r q+close q";
    QTest::newRow("resource error closes at once") << QStringList({"A" + resource, "A" + resource}) << "r+close q";
    QTest::newRow("ports apart") << QStringList({"A" + read, "a" + read, "a" + read, "A" + read})
                                 << "r r q+close q+close";
    QTest::newRow("other code is told, close asked once")
        << QStringList({"A" + resource, "A" + read, "A" + unsupported, "A" + read}) << "r+close r r q";
    QTest::newRow("new run tells again") << QStringList({"A" + read, "A" + read, "new run", "A" + read, "A" + read})
                                         << "r q+close r q+close";
}

void TestCollection::repeatedErrors()
{
    QFETCH(QStringList, events);
    QFETCH(QString, verdicts);
    Veltrano::SerialErrors::RepeatFilter filter;
    QStringList seen;
    for (const QString &event : events) {
        if (event == "new run") {
            filter.clear();
            continue;
        }
        const auto verdict = filter.record(event.section(':', 0, 0), event.section(':', 1).toInt());
        seen << QString(verdict.firstTime ? "r" : "q") + (verdict.closePort ? "+close" : "");
    }
    QCOMPARE(seen.join(' '), verdicts);
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
