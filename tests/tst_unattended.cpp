// A collection left alone overnight: nobody answers a box until the end,
// while the database is locked, the server restarts, hangs, or is away when
// the program starts. Every tick of every instrument must have its row, and
// each outage costs at most one box; a pulled port costs exactly one.
#include "collect/serialerrors.h"
#include "collectionprobe.h"
#include "modalrecorder.h"
#include "pgserver.h"
#include "pseudoterminal.h"
#include "startup.h"
#include "store/chainverifier.h"
#include "stderrcapture.h"
#include "store/measurementdb.h"
#include "tempworkdir.h"
#include "testdatabase.h"

#include <QThread>
#include <QSqlQuery>
#include <QtTest>

#include <memory>
#include <optional>

using Veltrano::Sim::PseudoTerminal;

namespace {

constexpr int kInstruments = 3;
constexpr int kPatience = 60000;  // ms; a hung server is given up on after its timeouts

// Date, time and instrument of every row, sorted.
QStringList rowsOf(const QSqlDatabase &db)
{
    QStringList rows;
    for (QSqlQuery query(QStringLiteral("SELECT sampling_date, sampling_time, instrument_id FROM data"), db); query.next();)
        rows << query.value(0).toString() + ' ' + query.value(1).toString() + ' ' + query.value(2).toString();
    rows.sort();
    return rows;
}

} // namespace

class TestUnattended : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { installTestMessageHandler(); }
    void cleanup()
    {
        for (const QString &name : QSqlDatabase::connectionNames())
            QSqlDatabase::removeDatabase(name);
    }

    void overnight_data()
    {
        // Steps: "lock"/"unlock" sqlite.db, "stop"/"start" or "pause"/"resume"
        // the server, or a number: wait for that many more rows.
        QTest::addColumn<bool>("server");
        QTest::addColumn<bool>("downAtStart");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<int>("boxes");  // at most
        QTest::addColumn<int>("told");   // at least
        QTest::newRow("sqlite.db locked across many ticks") << false << false
                                                           << QStringList{"6", "lock", "12", "unlock", "6"} << 1 << 1;
        QTest::newRow("server restarted three times")
            << true << false << QStringList{"3", "stop", "6", "start", "6", "stop", "6", "start", "6", "stop", "6", "start", "6"} << 3 << 1;
        QTest::newRow("server hangs past its timeouts") << true << false
                                                        << QStringList{"3", "pause", "60", "resume", "6"} << 1 << 0;
        QTest::newRow("server away at start") << true << true << QStringList{"9", "start", "6"} << 1 << 1;
    }

    void overnight()
    {
        QFETCH(bool, server);
        QFETCH(bool, downAtStart);
        QFETCH(QStringList, steps);
        QFETCH(int, boxes);
        QFETCH(int, told);
        TempWorkDir dir;
        std::optional<PgServer> pg;
        if (server) {
            if (!PgServer::available())
                QSKIP("the PostgreSQL server binaries are not installed");
            pg.emplace();
            QVERIFY2(pg->psql("SELECT 1"), qPrintable(pg->error()));
            QVERIFY(!downAtStart || pg->stop());
        }
        // Balances that print nothing: their rows hold the placeholders.
        // 8 data bits and no parity, which a pseudo-terminal takes: no box at start.
        std::vector<std::unique_ptr<PseudoTerminal>> lines;
        for (int i = 0; i < kInstruments; ++i) {
            lines.push_back(std::make_unique<PseudoTerminal>());
            QVERIFY(lines.back()->open());
            const QString id = QStringLiteral("B%1").arg(i);
            writeSettings(balanceOn(id, lines.back()->devicePath(), {"name=Balance " + id}));
        }
        // The table is there: start-up shows no box.
        QVERIFY(server ? downAtStart || pg->psql(Veltrano::MeasurementDb::kServerCreateTable)
                       : prepareDatabaseFile({Veltrano::MeasurementDb::kCreateTable}));
        QCOMPARE(Startup::openDatabase(server ? pg->uri() : QString()), -1);

        QStringList sampled;
        {
            auto window = std::make_unique<MainWindow>();
            MainWindowProbe probe(*window);
            QObject::connect(&probe.session(), &Veltrano::RecordingSession::sampled, [&](const QString &, const Veltrano::Row &row) {
                sampled << row.date + ' ' + row.time + ' ' + row.name;
            });
            window->startToCollect();
            QSqlDatabase locker;
            for (const QString &step : steps) {
                bool count = false;
                const int more = step.toInt(&count);
                if (count) {
                    const int until = sampled.size() + more;
                    QTRY_VERIFY_WITH_TIMEOUT(sampled.size() >= until, kPatience);
                } else if (step == "lock") {
                    locker = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker"));
                    locker.setDatabaseName(QStringLiteral("sqlite.db"));
                    QVERIFY(locker.open() && QSqlQuery(locker).exec(QStringLiteral("BEGIN EXCLUSIVE")));
                } else if (step == "unlock") {
                    locker.close();
                } else {
                    QVERIFY(step == "stop" ? pg->stop() : step == "start" ? pg->start() : pg->pause(step == "pause"));
                }
            }
            window->stopToCollect();
            QVERIFY(probe.drain());
            // The rows kept meanwhile reach the database without anyone's help.
            QSqlDatabase check = QSqlDatabase::cloneDatabase(QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false), "check");
            sampled.sort();
            QTRY_COMPARE_WITH_TIMEOUT((check.isOpen() || check.open(), rowsOf(check)), sampled, kPatience);
            // Kept and written later, each row still has its place in the
            // chain; the outages are in the audit trail.
            QStringList findings;
            const auto report = Veltrano::ChainVerifier::verify(check, [&findings](const QString &line) { findings << line; });
            QVERIFY2(!report.broken() && report.intact == sampled.size(), qPrintable(findings.join('\n') + report.summary()));
            QSqlQuery outages(check);
            QVERIFY(outages.exec("SELECT count(*) FROM audit WHERE kind = 'database outage'") && outages.next());
            QVERIFY(outages.value(0).toInt() >= told);
            check.close();
            QCOMPARE(QDir().entryList({"*.pending"}, QDir::Files), QStringList());

            // Now somebody comes and answers what was told meanwhile.
            ModalRecorder recorder;
            QTRY_COMPARE(Startup::boxesWaiting(), 0);
            QVERIFY2(recorder.count() <= boxes, qPrintable(recorder.texts().join("\n")));
            QVERIFY(recorder.count() >= told);
        }
    }

    // A port pulled during a collection is one box, whichever of its two
    // outage errors Qt raises first, however many follow, and however the
    // port fails again before the balance says anything.
    void oneUnplugOneBox_data()
    {
        // Steps: "read"/"resource" raise that error on the open port now (or
        // on the closed one), "hangup" drops the pseudo-terminal; "closed",
        // "open" and "tried" wait for the port to be closed, open again, or
        // tried once in vain.
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("told");  // the box's text; empty: either outage's
        const QString read = QString::fromLatin1(Veltrano::SerialErrors::describe(QSerialPort::ReadError).text);
        const QString resource = QString::fromLatin1(Veltrano::SerialErrors::describe(QSerialPort::ResourceError).text);
        QTest::newRow("read, then resource") << QStringList{"read", "resource", "closed", "open"} << read;
        QTest::newRow("resource, then read") << QStringList{"resource", "read", "closed", "open"} << resource;
        QTest::newRow("read, closed, then resource") << QStringList{"read", "closed", "resource", "read", "open"} << read;
        QTest::newRow("failing again before a line")
            << QStringList{"resource", "closed", "open", "read", "resource", "closed", "open"} << resource;
        QTest::newRow("hang-up") << QStringList{"hangup", "closed", "tried"} << QString();
        QTest::newRow("hang-up, errors after the close") << QStringList{"hangup", "closed", "resource", "read", "tried"}
                                                         << QString();
    }

    void oneUnplugOneBox()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, told);
        TempWorkDir dir;
        PseudoTerminal line;
        QVERIFY(line.open());
        writeSettings(balanceOn("P", line.devicePath(), {"name=Balance P"}));
        QVERIFY(prepareDatabaseFile({Veltrano::MeasurementDb::kCreateTable}));
        QCOMPARE(Startup::openDatabase(), -1);
        QStringList problems;
        {
            MainWindow window;
            MainWindowProbe probe(window);
            QObject::connect(&probe.session(), &Veltrano::RecordingSession::problem,
                             [&problems](const Veltrano::OperatorMessage &message) { problems << message.text; });
            window.startToCollect();
            QTRY_VERIFY(probe.linkOpen("P"));
            const auto raise = [&probe](QSerialPort::SerialPortError error) {
                probe.run([error](Veltrano::CollectionEngine &engine) {
                    auto *serial = qobject_cast<const Veltrano::SerialLink *>(engine.channel("P")->link());
                    QVERIFY(serial);
                    emit const_cast<QSerialPort &>(serial->port()).errorOccurred(error);
                });
            };
            const auto linkText = [&probe] {
                return probe.session().states().state("P").linkText(QDateTime::currentMSecsSinceEpoch());
            };
            for (const QString &step : steps) {
                if (step == "read" || step == "resource")
                    raise(step == "read" ? QSerialPort::ReadError : QSerialPort::ResourceError);
                else if (step == "hangup")
                    line.hangUp();
                else if (step == "closed")
                    QTRY_VERIFY_WITH_TIMEOUT(!probe.linkOpen("P"), kPatience);
                else if (step == "open")
                    QTRY_VERIFY_WITH_TIMEOUT(probe.linkOpen("P"), kPatience);
                else
                    QTRY_VERIFY_WITH_TIMEOUT(linkText().startsWith("reconnecting (1 try"), kPatience);
            }
            window.stopToCollect();
            QVERIFY(probe.drain());
        }
        const QStringList outages{QString::fromLatin1(Veltrano::SerialErrors::describe(QSerialPort::ReadError).text),
                                  QString::fromLatin1(Veltrano::SerialErrors::describe(QSerialPort::ResourceError).text)};
        QCOMPARE(problems.size(), 1);
        QVERIFY2(told.isEmpty() ? outages.contains(problems.first()) : problems.first() == told, qPrintable(problems.first()));
        ModalRecorder recorder;
        QTRY_COMPARE(Startup::boxesWaiting(), 0);
        QCOMPARE(recorder.count(), 1);
    }

    // The window's thread busy for 3 s (a long repaint, a slow disk): the
    // collection runs on threads of its own, so every tick comes on time and
    // every weighing printed meanwhile is recorded.
    void busyWindowThread()
    {
        TempWorkDir dir;
        PseudoTerminal sampled, printing;
        QVERIFY(sampled.open() && printing.open());
        const QStringList line{"/dataBits=8", "/parity=none", "/stopBits=1", "/transmissionRate=9600"};
        QStringList settings{"A/name=A", "A/comPort=" + sampled.devicePath(), "A/samplingInterval=1", "A/type=automatic", "W/name=W",
                             "W/comPort=" + printing.devicePath(), "W/type=automatic", "W/record=print"};
        for (const QString &key : line)
            settings << "A" + key << "W" + key;
        writeSettings(settings);
        QVERIFY(prepareDatabaseFile({Veltrano::MeasurementDb::kCreateTable}));
        QCOMPARE(Startup::openDatabase(), -1);
        MainWindow window;
        MainWindowProbe probe(window);
        window.startToCollect();
        QTRY_VERIFY(probe.linkOpen("A") && probe.linkOpen("W"));
        QVERIFY(sampled.write("+1.00 g\r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(probe.latest("A"), QString("|+1.00|g"), kPatience);
        const QString blockedFrom = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
        for (int i = 1; i <= 3; ++i) {  // the window's thread does not return to its events meanwhile
            QVERIFY(printing.write(QByteArray("+") + QByteArray::number(i) + ".50 g\r\n"));
            QThread::msleep(1000);
        }
        const QString blockedTo = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
        QVERIFY(probe.drain());
        window.stopToCollect();
        QVERIFY(probe.drain());
        QStringList ticks, weighed;
        QSqlQuery query;
        query.prepare("SELECT p.tick_utc FROM provenance p WHERE p.instrument = 'A' AND p.tick_utc BETWEEN ? AND ? "
                      "ORDER BY p.tick_utc");
        query.addBindValue(blockedFrom);
        query.addBindValue(blockedTo);
        QVERIFY(query.exec());
        while (query.next())
            ticks << query.value(0).toString();
        QVERIFY2(ticks.size() >= 2, qPrintable(ticks.join(' ')));
        for (int i = 1; i < ticks.size(); ++i) {
            const qint64 gap = QDateTime::fromString(ticks.at(i - 1), Qt::ISODateWithMs)
                                   .msecsTo(QDateTime::fromString(ticks.at(i), Qt::ISODateWithMs));
            QVERIFY2(gap > 500 && gap < 1500, qPrintable(ticks.join(' ')));
        }
        for (QSqlQuery rows("SELECT result FROM data WHERE instrument_id = 'W' ORDER BY rowid"); rows.next();)
            weighed << rows.value(0).toString();
        QCOMPARE(weighed, QStringList({"+1.50", "+2.50", "+3.50"}));
    }
};

QTEST_MAIN(TestUnattended)
#include "tst_unattended.moc"
