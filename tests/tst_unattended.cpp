// A collection left alone overnight: nobody answers a box until the end,
// while the database is locked, the server restarts, hangs, or is away when
// the program starts. Every tick of every instrument must have its row, and
// each outage costs at most one box.
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

#include <QSignalSpy>
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
            writeSettings({id + "/name=Balance " + id, id + "/comPort=" + lines.back()->devicePath(), id + "/dataBits=8",
                           id + "/parity=none", id + "/stopBits=1", id + "/transmissionRate=9600", id + "/samplingInterval=1"});
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
};

QTEST_MAIN(TestUnattended)
#include "tst_unattended.moc"
