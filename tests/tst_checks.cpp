// The balance checks beyond their rules: the registers in SQLite and on a
// server with its roles, the status through time, and veltrano-check as run.
#include "checks/checkregister.h"
#include "checks/checkstatus.h"
#include "store/database.h"
#include "store/measurementdb.h"

#include "pgserver.h"
#include "pseudoterminal.h"
#include "tempworkdir.h"

#include <QProcess>
#include <QSqlQuery>
#include <QtTest>

#include <csignal>
#include <optional>

using namespace Veltrano;
using namespace Veltrano::Checks;

namespace {

constexpr char kConnection[] = "checks";

BalanceEntry balanceB1()
{
    return {"B1", "Mettler Toledo", "XPR205", "B'12\"34", 220, 0.00001, "Lab 2",
            {{Check::Repeatability, 7 * kDaySeconds}, {Check::Accuracy, kDaySeconds}}, {}, {}, {}};
}

// "test verdict date time" as a record of B1.
CheckRecord recordOf(const QString &text)
{
    const QStringList parts = text.split(' ');
    const Verdict verdict = parts.at(1) == "pass" ? Verdict::Pass
                            : parts.at(1) == "fail" ? Verdict::Fail
                                                    : Verdict::Refused;
    return {0, "B1", *checkFromText(parts.at(0)), parts.at(2), parts.at(3), {}, {}, 0, 0, {}, {}, {}, {},
            verdict, {}, {}, {}};
}

// Runs veltrano-check with `arguments` in the working folder: its exit
// status and what it wrote, both channels.
QPair<int, QString> runCheck(const QStringList &arguments, const char *program = VELTRANO_CHECK)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return {-1, QString()};
    return {process.exitCode(), QString::fromUtf8(process.readAll())};
}

// Reads what a running `process` writes into *shown until it holds `text`.
bool waitFor(QProcess &process, QByteArray *shown, const QByteArray &text, int timeout = 10000)
{
    return QTest::qWaitFor([&] { return (*shown += process.readAll()).contains(text); }, timeout);
}

int count(const QSqlDatabase &db, const char *table)
{
    QSqlQuery query(db);
    return query.exec(QStringLiteral("SELECT count(*) FROM ") + table) && query.next() ? query.value(0).toInt() : -1;
}

QStringList auditKinds(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    QStringList kinds;
    if (query.exec("SELECT kind FROM audit ORDER BY id"))
        while (query.next())
            kinds << query.value(0).toString();
    return kinds;
}

} // namespace

class TestChecks : public QObject
{
    Q_OBJECT

    std::optional<PgServer> m_server;
    std::optional<TempWorkDir> m_dir;

    // The database of `backend` ("sqlite" or "server") under kConnection, a
    // server's emptied.
    bool openDatabase(const QString &backend)
    {
        if (backend == "server") {
            if (!m_server)
                m_server.emplace();
            if (!m_server->psql("DROP TABLE IF EXISTS data, provenance, audit, weighing, balance, reference_weight, "
                                "check_record"))
                return false;
        }
        return Database::open(backend == "server" ? m_server->uri() : "sqlite.db", Database::Mode::Record, kConnection)
            .usable();
    }

    // sqlite.db with the registers of the folder: B1 tested for repeatability
    // weekly, B2 without readability or interval, W1 calibrated, W0 past its
    // calibration.
    bool openRegisters()
    {
        BalanceEntry b1 = balanceB1(), b2;
        b1.intervals.remove(Check::Accuracy);
        b2.instrumentId = "B2";
        const QSqlDatabase db = openDatabase("sqlite") ? QSqlDatabase::database(kConnection) : QSqlDatabase();
        return saveBalance(db, b1).isEmpty() && saveBalance(db, b2).isEmpty()
               && saveWeight(db, {"W1", 100, "g", "E2", "", QDate(2099, 1, 1), {}, {}}).isEmpty()
               && saveWeight(db, {"W0", 100, "g", "E2", "", QDate(2020, 1, 31), {}, {}}).isEmpty();
    }

private slots:
    void init() { m_dir.emplace(); }
    void cleanup()
    {
        QSqlDatabase::removeDatabase(kConnection);
        m_dir.reset();
    }

    void intervals_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("written");  // or the error's start
        QTest::newRow("two tests") << "repeatability=7d,accuracy=1d" << "repeatability=7d,accuracy=1d";
        QTest::newRow("blanks, largest unit") << " accuracy = 24h , eccentricity=14d" << "accuracy=1d,eccentricity=14d";
        QTest::newRow("hours") << "accuracy=36h" << "accuracy=36h";
        QTest::newRow("none") << "" << "";
        QTest::newRow("unknown test") << "linearity=7d" << "unknown test \"linearity\"";
        QTest::newRow("no unit") << "repeatability=7" << "not a test=interval";
        QTest::newRow("twice") << "accuracy=1d,accuracy=2d" << "the test accuracy is given twice";
        QTest::newRow("zero") << "accuracy=0d" << "the interval of accuracy is 0";
    }
    void intervals()
    {
        QFETCH(QString, text);
        QFETCH(QString, written);
        Intervals intervals;
        const QString error = parseIntervals(text, &intervals);
        if (error.isEmpty())
            QCOMPARE(intervalsText(intervals), written);
        else
            QVERIFY2(error.startsWith(written), qPrintable(error));
    }

    // The status of B1 at moments around its records, "test verdict date time".
    void status_data()
    {
        QTest::addColumn<QString>("intervals");
        QTest::addColumn<QStringList>("records");
        QTest::addColumn<QString>("now");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("provenance");
        const auto row = [](const char *name, const char *intervals, const QStringList &records, const char *now,
                            const char *shown, const char *provenance) {
            QTest::newRow(name) << QString(intervals) << records << QString(now) << QString(shown) << QString(provenance);
        };
        const char *weekly = "repeatability=7d";
        const char *twice = "repeatability=7d,accuracy=12h";
        const QStringList passed{"repeatability pass 2026-12-10 09:00:00"};
        const QStringList failed = passed + QStringList{"repeatability fail 2026-12-11 10:00:00"};
        const QStringList both = passed + QStringList{"accuracy pass 2026-12-10 08:00:00"};
        row("just checked", weekly, passed, "2026-12-10T09:05:00", "qualified until 2026-12-16", "");
        row("last day before due", weekly, passed, "2026-12-16T23:59:00", "qualified until 2026-12-16", "");
        row("due today", weekly, passed, "2026-12-17T08:00:00", "due today", "");
        row("overdue", weekly, passed, "2026-12-18T00:01:00", "overdue since 2026-12-18", "overdue");
        row("never passed", weekly, {}, "2026-12-10T09:00:00", "overdue, never passed", "overdue");
        row("failed", weekly, failed, "2026-12-11T10:30:00", "failed since 2026-12-11 10:00", "failed");
        row("failed, before the failure", weekly, failed, "2026-12-11T09:59:00", "qualified until 2026-12-16", "");
        row("failed then passed again", weekly, failed + QStringList{"repeatability pass 2026-12-11 11:00:00"},
            "2026-12-11T12:00:00", "qualified until 2026-12-17", "");
        row("refused decides nothing", weekly, passed + QStringList{"repeatability refused 2026-12-11 10:00:00"},
            "2026-12-11T12:00:00", "qualified until 2026-12-16", "");
        row("test without interval", weekly, passed + QStringList{"accuracy fail 2026-12-11 10:00:00"},
            "2026-12-11T12:00:00", "qualified until 2026-12-16", "");
        row("no interval: no status", "", failed, "2026-12-11T12:00:00", "", "");
        row("hours: the earliest until", twice, both, "2026-12-10T19:59:00", "qualified until 2026-12-10 20:00", "");
        row("hours: overdue at the moment", twice, both, "2026-12-10T20:00:00", "overdue since 2026-12-10 20:00", "overdue");
        row("failed outranks overdue", twice, both + QStringList{"repeatability fail 2026-12-11 07:00:00"},
            "2026-12-11T08:00:00", "failed since 2026-12-11 07:00", "failed");
    }
    void status()
    {
        QFETCH(QString, intervals);
        QFETCH(QStringList, records);
        QFETCH(QString, now);
        BalanceEntry balance = balanceB1();
        QVERIFY(parseIntervals(intervals, &balance.intervals).isEmpty());
        QVector<CheckRecord> entries;
        // Newest first, and one of another balance: order and balance are the status's own.
        for (const QString &record : records)
            entries.prepend(recordOf(record));
        CheckRecord other = recordOf("repeatability pass 2026-12-11 11:00:00");
        other.instrumentId = "B2";
        entries << other;
        const BalanceStatus status = balanceStatus(&balance, entries, QDateTime::fromString(now, Qt::ISODate));
        QTEST(describe(status.state, status.until, status.since), "shown");
        QTEST(status.provenanceCheck(), "provenance");
        QCOMPARE(status.tests.size(), balance.intervals.size());
        QCOMPARE(balanceStatus(nullptr, entries, QDateTime::currentDateTime()).state, CheckState::NotRegistered);
    }

    void registers_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::newRow("SQLite") << "sqlite";
        QTest::newRow("PostgreSQL") << "server";
    }
    // What is saved reads back as saved, an update replaces, and every write
    // is in the audit trail; a database without the tables has empty registers.
    void registers()
    {
        QFETCH(QString, backend);
        if (backend == "server" && !PgServer::available())
            QSKIP("the PostgreSQL server binaries are not installed");
        QVERIFY2(openDatabase(backend), m_server ? qPrintable(m_server->error()) : "");
        const QSqlDatabase db = QSqlDatabase::database(kConnection);
        QVector<BalanceEntry> balanceList{balanceB1()};
        QVector<WeightEntry> weightList{{}};
        QVector<CheckRecord> recordList{{}};
        QCOMPARE(balances(db, &balanceList), QString());
        QCOMPARE(weights(db, &weightList), QString());
        QCOMPARE(records(db, &recordList), QString());
        QVERIFY(balanceList.isEmpty() && weightList.isEmpty() && recordList.isEmpty());

        BalanceEntry b1 = balanceB1();
        QCOMPARE(saveBalance(db, b1), QString());
        b1.location = "Lab 3";
        b1.eccentricityLimit = 0.0003;
        QCOMPARE(saveBalance(db, b1), QString());
        BalanceEntry b0;
        b0.instrumentId = "B0";
        QCOMPARE(saveBalance(db, b0), QString());
        QCOMPARE(balances(db, &balanceList), QString());
        QCOMPARE(balanceList.size(), 2);
        const BalanceEntry &read = balanceList.at(1);
        QCOMPARE(read.serial, b1.serial);
        QCOMPARE(read.location, "Lab 3");
        QCOMPARE(read.readability, b1.readability);
        QCOMPARE(read.eccentricityLimit, b1.eccentricityLimit);
        QCOMPARE(read.intervals, b1.intervals);
        QVERIFY(!read.changedAt.isEmpty() && !read.changedBy.isEmpty());
        QVERIFY(!balanceList.at(0).capacity && balanceList.at(0).intervals.isEmpty());

        const WeightEntry w1{"W-100", 100, "g", "E2", "DKD 4711", QDate(2027, 6, 30), {}, {}};
        QCOMPARE(saveWeight(db, w1), QString());
        QVERIFY(saveWeight(db, {"W-2", 100, "g", "E3", "", QDate(2027, 6, 30), {}, {}}).startsWith("not an OIML weight class"));
        QCOMPARE(weights(db, &weightList), QString());
        QCOMPARE(weightList.size(), 1);
        QCOMPARE(weightList.at(0).due, w1.due);
        QCOMPARE(weightList.at(0).certificate, w1.certificate);

        CheckResult result;
        result.check = Check::Repeatability;
        result.verdict = Verdict::Pass;
        result.n = 10;
        result.mean = 100.00002;
        result.sd = 0.000012;
        result.minimumWeight = 0.024;
        qint64 id = 0;
        QCOMPARE(addRecord(db, CheckRecord::of(result, "B1", w1, "2026-12-10", "09:00:00", "anna", {7, 8, 9}), &id), QString());
        QCOMPARE(addRecord(db, recordOf("accuracy fail 2026-12-09 08:00:00")), QString());
        QCOMPARE(records(db, &recordList, "B1"), QString());
        QCOMPARE(recordList.size(), 2);
        const CheckRecord &stored = recordList.at(1);
        QCOMPARE(stored.id, id);
        QCOMPARE(stored.mean, result.mean);
        QCOMPARE(stored.sd, result.sd);
        QCOMPARE(stored.minimumWeight, result.minimumWeight);
        QVERIFY(!stored.deviation);
        QCOMPARE(stored.rowKeys, QVector<qint64>({7, 8, 9}));
        QCOMPARE(stored.weightId, "W-100");
        QCOMPARE(recordList.at(0).verdict, Verdict::Fail);
        QCOMPARE(records(db, &recordList, "B9"), QString());
        QVERIFY(recordList.isEmpty());
        QCOMPARE(auditKinds(db).mid(1), QStringList({"balance", "balance", "balance", "reference weight", "check", "check"}));
    }

    // On a server with the administrator's roles: a collector records tests
    // and reads the registers, only a supervisor edits them.
    void roles_data()
    {
        QTest::addColumn<QString>("login");
        QTest::newRow("collector") << "anna";
        QTest::newRow("supervisor") << "ben";
    }
    void roles()
    {
        QFETCH(QString, login);
        if (!PgServer::available())
            QSKIP("the PostgreSQL server binaries are not installed");
        QVERIFY2(openDatabase("server"), m_server ? qPrintable(m_server->error()) : "");
        QCOMPARE(saveBalance(QSqlDatabase::database(kConnection), balanceB1()), QString());
        QSqlDatabase::removeDatabase(kConnection);
        const QByteArray roles = readFile(qEnvironmentVariable("VELTRANO_SOURCE_DIR") + "/dist/postgresql-roles.sql");
        QVERIFY2(!roles.isEmpty() && m_server->psql(QString::fromUtf8(roles)), qPrintable(m_server->error()));
        QVERIFY2(m_server->psql("DROP ROLE IF EXISTS anna, ben; CREATE ROLE anna LOGIN IN ROLE veltrano_collector; "
                                "CREATE ROLE ben LOGIN IN ROLE veltrano_supervisor"),
                 qPrintable(m_server->error()));
        const QString uri = m_server->uri().replace("veltrano@", login + '@');
        QVERIFY(Database::open(uri, Database::Mode::Record, kConnection).usable());
        const QSqlDatabase db = QSqlDatabase::database(kConnection);
        QVector<BalanceEntry> balanceList;
        QCOMPARE(balances(db, &balanceList), QString());
        QCOMPARE(balanceList.size(), 1);
        QCOMPARE(addRecord(db, recordOf("repeatability pass 2026-12-10 09:00:00")), QString());
        const QString edited = saveBalance(db, balanceB1());
        QVERIFY2(login == "ben" ? edited.isEmpty() : edited.contains("permission denied"), qPrintable(edited));
        QVERIFY(saveWeight(db, {"W-1", 1, "g", "E2", "", QDate(2027, 1, 1), {}, {}}).isEmpty() == (login == "ben"));
        QSqlQuery query(db);
        QVERIFY(!query.exec("DELETE FROM check_record"));
    }

    // veltrano-check run against the registers of the folder; B1's records
    // as the row gives them, "test verdict days-ago".
    void program_data()
    {
        QTest::addColumn<QStringList>("records");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output");  // its start
        const auto row = [](const char *name, const QStringList &records, const char *arguments, int status,
                            const QString &output) {
            QTest::newRow(name) << records << QProcess::splitCommand(QString(arguments)) << status << output;
        };
        const QString refused = "veltrano-check: refused: ";
        const QDate today = QDate::currentDate();
        row("status: qualified", {"repeatability pass 1"}, "status", 0,
            "B1: qualified until " + today.addDays(5).toString(Qt::ISODate) + " (repeatability: qualified until");
        row("status: overdue", {"repeatability pass 8"}, "status", 1, "B1: overdue since " + today.toString(Qt::ISODate));
        row("status: failed", {"repeatability pass 3", "repeatability fail 2"}, "status", 1, "B1: failed since ");
        row("unknown command", {}, "check", 2, "veltrano-check: unknown command \"check\"");
        row("unknown test", {}, "run B1 linearity --weight W1", 2, "veltrano-check: unknown test \"linearity\"");
        row("unknown balance", {}, "run B9 repeatability --weight W1", 2, refused + "balance B9 is not registered");
        row("unknown weight", {}, "run B1 repeatability --weight W9", 2, refused + "weight W9 is not registered");
        row("weight past due", {}, "run B1 accuracy --weight W0", 2,
            refused + "weight W0 was due for calibration on 2020-01-31");
        row("no readability", {}, "run B2 repeatability --weight W1", 2, refused + "balance B2 has no readability");
        row("another command's option", {}, "status --weight W1", 2,
            "veltrano-check: --weight is not an option of status");
        row("unknown test to repeat", {}, "balance B1 --every linearity=7d", 2,
            "veltrano-check: --every: unknown test \"linearity\"");
        row("no weight class", {}, "weight add W5 --nominal 1 --unit g --class E3 --due 2027-01-01", 2,
            "veltrano-check: weight W5 not saved: not an OIML weight class");
        row("update keeps the rest", {}, "balance B1 --location \"Lab 9\"", 0, "changed balance B1\n");
    }
    void program()
    {
        QFETCH(QStringList, records);
        QFETCH(QStringList, arguments);
        QFETCH(QString, output);
        QVERIFY(openRegisters());
        const QSqlDatabase db = QSqlDatabase::database(kConnection);
        for (const QString &text : records) {
            const QDate day = QDate::currentDate().addDays(-text.section(' ', 2).toInt());
            QCOMPARE(addRecord(db, recordOf(text.section(' ', 0, 1) + day.toString(" yyyy-MM-dd 09:00:00"))), QString());
        }
        const int recorded = count(db, "check_record");
        const QPair<int, QString> result = runCheck(arguments);
        QVERIFY2(result.second.startsWith(output), qPrintable(result.second));
        QTEST(result.first, "status");
        QCOMPARE(count(db, "check_record"), recorded);
        QVector<BalanceEntry> entries;
        QCOMPARE(balances(db, &entries), QString());
        QCOMPARE(entries.at(0).readability, balanceB1().readability);
    }

    // A repeatability test on the weighings stored while it waits: the rows of
    // other balances and those before it started are not taken. Stored here,
    // or by veltrano-collect from a balance on a pseudo-terminal that prints
    // each weighing.
    void run_data()
    {
        QTest::addColumn<QStringList>("results");
        QTest::addColumn<bool>("collected");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("verdict");  // empty: nothing recorded
        QStringList steady;
        QStringList spread;
        for (int i = 0; i < 10; ++i) {
            steady << QStringLiteral("100.0000%1").arg(i % 2);
            spread << QStringLiteral("100.%1").arg(i * 7 % 10);
        }
        QTest::newRow("passes") << steady << false << 0 << "pass";
        QTest::newRow("fails") << spread << false << 1 << "fail";
        QTest::newRow("times out") << QStringList(steady.mid(0, 3)) << false << 2 << "";
        QTest::newRow("on a collector") << steady << true << 0 << "pass";
    }
    void run()
    {
        QFETCH(QStringList, results);
        QFETCH(bool, collected);
        QFETCH(QString, verdict);
        QVERIFY(openRegisters());
        const QSqlDatabase db = QSqlDatabase::database(kConnection);
        const auto weighings = [&db](const QString &instrument, const QStringList &values) {
            QVector<Row> rows;
            for (const QString &value : values) {
                // `data` names the balance by its display name, the provenance by its id.
                Row row("2026-12-10", "09:00:00", "Balance " + instrument, "", "+" + value, "g");
                row.provenance.instrument = instrument;
                row.weighing = Weighing{"", "", "stable", "net", "anna", "", ""};
                rows << row;
            }
            QString error;
            int failedAt = 0;
            return MeasurementDb::insertRows(rows, &error, &failedAt, db) ? QString() : error;
        };
        QCOMPARE(weighings("B1", {"99.0"}), QString());
        QProcess check;
        check.setProcessChannelMode(QProcess::MergedChannels);
        check.start(VELTRANO_CHECK, {"run", "B1", "repeatability", "--weight", "W1", "--timeout", collected ? "20" : "2"});
        QByteArray shown;
        QVERIFY2(waitFor(check, &shown, "Put W1 (100 g) on the centre"), shown.constData());
        QCOMPARE(weighings("B2", {"1.0"}), QString());
        Sim::PseudoTerminal line;
        QProcess collector;
        if (!collected) {
            QCOMPARE(weighings("B1", results), QString());
        } else {
            QVERIFY(line.open());
            QVERIFY(writeFile("settings.ini", "[B1]\nname=B1\ncomPort=" + line.devicePath().toUtf8()
                                                  + "\ndataBits=8\nparity=none\nstopBits=1\ntransmissionRate=9600\n"
                                                    "samplingInterval=1\nrecord=print\ntype=automatic\n"));
            collector.setProcessChannelMode(QProcess::MergedChannels);
            collector.start(VELTRANO_COLLECT, QStringList());
            QByteArray logged;
            QVERIFY2(waitFor(collector, &logged, "started with 1 instrument", 20000), logged.constData());
            for (int i = 0; i < results.size(); ++i) {
                QVERIFY(line.write("+ " + results[i].toLatin1() + " g\r\n"));
                const QByteArray weighed = "weighing " + QByteArray::number(i + 1) + " of 10";
                QVERIFY2(waitFor(check, &shown, weighed), shown.constData());
            }
        }
        // Done already, maybe, while its output was read.
        QVERIFY(check.state() == QProcess::NotRunning || check.waitForFinished(30000));
        shown += check.readAll();
        QVERIFY2(shown.contains("weighing " + QByteArray::number(results.size())), shown.constData());
        QTEST(check.exitCode(), "status");
        QVector<CheckRecord> made;
        QCOMPARE(records(db, &made), QString());
        QCOMPARE(made.size(), verdict.isEmpty() ? 0 : 1);
        if (verdict.isEmpty())
            return;
        QCOMPARE(verdictText(made.at(0).verdict), verdict);
        QCOMPARE(made.at(0).rowKeys, QVector<qint64>({3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
        QVERIFY(shown.contains("verdict: " + verdict.toUtf8()));
        QCOMPARE(auditKinds(db).last(), "check");
        if (collected) {
            ::kill(pid_t(collector.processId()), SIGTERM);
            QVERIFY(collector.waitForFinished(30000));
        }
    }

    // veltrano-export --checks: the records of the balances chosen, in their columns.
    void exportChecks()
    {
        QVERIFY(openDatabase("sqlite"));
        const QSqlDatabase db = QSqlDatabase::database(kConnection);
        CheckRecord record{0, "B1", Check::Eccentricity, "2026-12-10", "09:00:00", "anna", "W-100", 100, 5, 100.00018, {},
                           -0.0003, "largest |position − centre| ≤ the limit", Verdict::Fail, {}, {}, {}};
        QCOMPARE(addRecord(db, record), QString());
        record.instrumentId = "B2";
        QCOMPARE(addRecord(db, record), QString());
        const QPair<int, QString> exported =
            runCheck({"--checks", "--instrument", "B1", "--decimal-comma", "checks.csv"}, VELTRANO_EXPORT);
        QCOMPARE(exported, qMakePair(0, QString()));
        QCOMPARE(readFile("checks.csv"),
                 QByteArray("\xEF\xBB\xBFinstrument_id;test;date;time;operator;weight;nominal;n;mean;sd;deviation;criterion;verdict\r\n"
                            "B1;eccentricity;2026-12-10;09:00:00;anna;W-100;100;5;100,00018;;-0,0003;"
                            "largest |position − centre| ≤ the limit;fail\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestChecks)
#include "tst_checks.moc"
