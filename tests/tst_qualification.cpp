// Rows and weighings say whether their balance was qualified when they were
// recorded: a balance whose last test failed, then passed again, recorded
// through a real serial line while its register is read beside the recording.
#include "checks/checkregister.h"
#include "checkswindow.h"
#include "collect/statusfile.h"
#include "weighingwindow.h"
#include "collectionprobe.h"
#include "pseudoterminal.h"
#include "tempworkdir.h"
#include "recording/qualificationwatch.h"
#include "windowtestcase.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSqlQuery>
#include <QTableWidget>

using Veltrano::Sim::PseudoTerminal;
namespace Checks = Veltrano::Checks;

namespace {

constexpr int kPatience = 15000;  // ms; generous for a loaded machine

Checks::CheckRecord repeatability(Checks::Verdict verdict, double minimumWeight, const QDateTime &at)
{
    return {0, "B1", Checks::Check::Repeatability, at.date().toString(Qt::ISODate), at.time().toString("HH:mm:ss"),
            "anna", "W-100", 100, 10, {}, {}, {}, {}, verdict, {}, {}, minimumWeight};
}

// Each weighing stored: "result|check|class", in order.
QStringList recorded()
{
    QStringList found;
    for (QSqlQuery query("SELECT d.result, COALESCE(p.\"check\", ''), w.class FROM data d JOIN provenance p ON "
                         "p.row_key = d.rowid JOIN weighing w ON w.row_key = d.rowid ORDER BY d.rowid");
         query.next();)
        found << QStringList{query.value(0).toString(), query.value(1).toString(), query.value(2).toString()}.join('|');
    return found;
}

// B1, a balance that prints a weighing per line on `line`.
void writeBalanceSettings(const PseudoTerminal &line)
{
    writeSettings(balanceOn("B1", line.devicePath(), {"name=Balance", "type=automatic", "record=print"}));
}

} // namespace

class TestQualification : public WindowTestCase
{
    Q_OBJECT
private slots:
    // What the registers give an instrument, moment by moment.
    void of_data()
    {
        QTest::addColumn<QStringList>("verdicts");  // of repeatability tests, a day apart, the last one today
        QTest::addColumn<QString>("check");
        QTest::addColumn<QString>("status");  // its start
        QTest::addColumn<double>("minimum");  // 0: none
        QTest::newRow("not registered") << QStringList{"unregistered"} << "" << "" << 0.0;
        QTest::newRow("never tested") << QStringList() << "overdue" << "overdue" << 0.0;
        QTest::newRow("passed today") << QStringList{"pass"} << "" << "qualified until" << 1.0;
        QTest::newRow("failed after a pass") << QStringList{"pass", "fail"} << "failed" << "failed since" << 2.0;
        QTest::newRow("passed again") << QStringList{"fail", "pass"} << "" << "qualified until" << 2.0;
        QTest::newRow("refused decides nothing") << QStringList{"pass", "refused"} << "" << "qualified until" << 1.0;
    }
    void of()
    {
        QFETCH(QStringList, verdicts);
        QVector<Checks::BalanceEntry> balances(1);
        balances[0].instrumentId = verdicts.value(0) == "unregistered" ? "B9" : "B1";
        Checks::parseIntervals("repeatability=7d", &balances[0].intervals);
        const QDateTime now = QDateTime::currentDateTime();
        QVector<Checks::CheckRecord> records;
        for (int i = 0; i < verdicts.size() && balances[0].instrumentId == "B1"; ++i) {
            const Checks::Verdict verdict = verdicts[i] == "pass" ? Checks::Verdict::Pass
                                            : verdicts[i] == "fail" ? Checks::Verdict::Fail
                                                                    : Checks::Verdict::Refused;
            // Each test's minimum weight is its number: the latest judged one counts.
            records << repeatability(verdict, i + 1.0, now.addSecs(-60).addDays(i + 1 - verdicts.size()));
        }
        const Veltrano::Qualification q = Veltrano::Qualification::of("B1", balances, records, now);
        QTEST(q.check, "check");
        QFETCH(QString, status);
        QVERIFY2(status.isEmpty() ? q.status.isEmpty() : q.status.startsWith(status), qPrintable(q.status));
        QFETCH(double, minimum);
        QCOMPARE(q.checkedMinimumWeight.value_or(0), minimum);
    }

    // A failed test marks every weighing after it, and its minimum weight
    // classes a light one; a pass stored by another program meanwhile
    // clears the mark from the next weighing on.
    void weighingsCarryTheStatus()
    {
        PseudoTerminal balance;
        QVERIFY(balance.open());
        writeBalanceSettings(balance);
        Checks::BalanceEntry entry;
        entry.instrumentId = "B1";
        entry.readability = 0.01;
        QCOMPARE(Checks::parseIntervals("repeatability=7d", &entry.intervals), QString());
        const QSqlDatabase db = QSqlDatabase::database();
        QCOMPARE(Checks::saveBalance(db, entry), QString());
        const QDateTime before = QDateTime::currentDateTime().addSecs(-120);
        QCOMPARE(Checks::addRecord(db, repeatability(Checks::Verdict::Fail, 1.0, before)), QString());

        MainWindow window;
        MainWindowProbe probe(window);
        Veltrano::RecordingSession &session = probe.session();
        QSignalSpy sampled(&session, &Veltrano::RecordingSession::sampled);
        window.startToCollect();
        WeighingWindow weighing(&session);
        auto *shown = child<QLabel>(&weighing, "uChecks");
        QTRY_VERIFY_WITH_TIMEOUT(session.states().state("B1").checks().startsWith("failed since"), kPatience);
        QVERIFY2(shown->text().startsWith("failed since"), qPrintable(shown->text()));
        // veltrano-collect --status says it too.
        const QString status = Veltrano::StatusFile::table(
            Veltrano::StatusFile::describe(session.states(), "veltrano", 0, QDateTime::currentMSecsSinceEpoch()));
        QVERIFY2(status.contains("B1: balance checks failed since"), qPrintable(status));
        QVERIFY(balance.write("+1.50 g\r\n"));  // below 2 x 1.00 g
        QTRY_COMPARE_WITH_TIMEOUT(sampled.count(), 1, kPatience);

        QCOMPARE(Checks::addRecord(db, repeatability(Checks::Verdict::Pass, 0.5, before.addSecs(60))), QString());
        session.refreshQualifications();
        QTRY_VERIFY_WITH_TIMEOUT(session.states().state("B1").checks().startsWith("qualified until"), kPatience);
        QVERIFY2(shown->text().startsWith("qualified until"), qPrintable(shown->text()));
        QVERIFY(balance.write("+1.50 g\r\n"));  // above 2 x 0.50 g
        QTRY_COMPARE_WITH_TIMEOUT(sampled.count(), 2, kPatience);
        QVERIFY(probe.drain());
        window.stopToCollect();
        QCOMPARE(recorded(), QStringList({"+1.50|failed|below minimum", "+1.50||"}));
        QCOMPARE(m_boxes->count(), 0);
    }

    // Each test stored goes into the drop folder once, whoever stored it,
    // across restarts too.
    void checksGoToTheDropFolder()
    {
        PseudoTerminal balance;
        QVERIFY(balance.open());
        writeBalanceSettings(balance);
        QVERIFY(QDir().mkdir("drop"));
        QFile ini("publish.ini");
        QVERIFY(ini.open(QIODevice::WriteOnly) && ini.write("[drop]\ndir=drop\nformat=csv\n") > 0);
        ini.close();
        Checks::BalanceEntry entry;
        entry.instrumentId = "B1";
        QCOMPARE(Checks::parseIntervals("repeatability=7d", &entry.intervals), QString());
        const QSqlDatabase db = QSqlDatabase::database();
        QCOMPARE(Checks::saveBalance(db, entry), QString());
        const QDateTime at = QDateTime::currentDateTime().addSecs(-120);
        QCOMPARE(Checks::addRecord(db, repeatability(Checks::Verdict::Fail, 1.0, at)), QString());
        QCOMPARE(Checks::addRecord(db, repeatability(Checks::Verdict::Pass, 1.0, at.addSecs(60))), QString());
        const auto dropped = [] { return QDir("drop").entryList(QDir::Files, QDir::Name); };
        for (int run = 0; run < 2; ++run) {
            MainWindow window;
            MainWindowProbe probe(window);
            window.startToCollect();
            QTRY_COMPARE_WITH_TIMEOUT(dropped().size(), 2 + run, kPatience);
            if (run == 0) {
                // Stored by another program while this one records.
                QCOMPARE(Checks::addRecord(db, repeatability(Checks::Verdict::Pass, 1.0, at.addSecs(90))), QString());
                probe.session().refreshQualifications();
                QTRY_COMPARE_WITH_TIMEOUT(dropped().size(), 3, kPatience);
            }
            window.stopToCollect();
        }
        QStringList verdicts;
        for (const QString &name : dropped())
            verdicts << readFile("drop/" + name).split('\n').value(1).split(',').last().trimmed();
        verdicts.sort();  // names of the same second sort by their -2, -3 before the first
        QCOMPARE(verdicts, QStringList({"fail", "pass", "pass"}));
        QCOMPARE(m_boxes->count(), 0);
    }

    // The window registers a balance and a weight, and a repeatability test
    // made on the weighings its own collection records is kept: the
    // balance is qualified, and told so to the recording at once.
    void windowMakesATest_data()
    {
        QTest::addColumn<QString>("spread");  // the readings' last digits, one per weighing
        QTest::addColumn<QString>("verdict");
        QTest::addColumn<QString>("status");
        QTest::newRow("steady: passes") << "1,2,1,2,1,2,1,2,1,2" << "pass" << "qualified until";
        QTest::newRow("scattered: fails") << "0,2000,0,2000,0,2000,0,2000,0,2000" << "fail" << "failed since";
    }
    void windowMakesATest()
    {
        PseudoTerminal balance;
        QVERIFY(balance.open());
        writeBalanceSettings(balance);
        MainWindow window;
        MainWindowProbe probe(window);
        ChecksWindow checks(&probe.session());
        child<QComboBox>(&checks, "uBalanceId")->setCurrentText("B1");
        child<QLineEdit>(&checks, "uCapacity")->setText("220");
        child<QLineEdit>(&checks, "uReadability")->setText("0.0001");
        child<QLineEdit>(&checks, "uIntervals")->setText("repeatability=7d");
        child<QPushButton>(&checks, "uSaveBalance")->click();
        child<QLineEdit>(&checks, "uWeightId")->setText("W-100");
        child<QLineEdit>(&checks, "uNominal")->setText("100");
        child<QLineEdit>(&checks, "uUnit")->setText("g");
        child<QPushButton>(&checks, "uSaveWeight")->click();
        QCOMPARE(m_boxes->count(), 0);
        auto *balances = child<QTableWidget>(&checks, "uBalances");
        QCOMPARE(balances->rowCount(), 1);
        QCOMPARE(balances->item(0, 8)->text(), QString("overdue, never passed"));

        window.startToCollect();
        QTRY_VERIFY_WITH_TIMEOUT(probe.session().states().state("B1").checks().startsWith("overdue"), kPatience);
        child<QPushButton>(&checks, "uStartTest")->click();
        QCOMPARE(m_boxes->count(), 0);
        auto *instruction = child<QLabel>(&checks, "uInstruction");
        QVERIFY2(instruction->text().startsWith("Put W-100 (100 g) on the centre"), qPrintable(instruction->text()));
        QFETCH(QString, spread);
        const QStringList digits = spread.split(',');
        auto *taken = child<QListWidget>(&checks, "uTaken");
        for (int i = 0; i < digits.size(); ++i) {
            QVERIFY(balance.write(QStringLiteral("+%1 g\r\n").arg(100 + digits[i].toInt() * 0.0001, 0, 'f', 4).toLatin1()));
            QTRY_COMPARE_WITH_TIMEOUT(taken->count(), i + 1, kPatience);
        }
        auto *verdictLabel = child<QLabel>(&checks, "uVerdict");
        QFETCH(QString, verdict);
        QTRY_VERIFY_WITH_TIMEOUT(verdictLabel->text().startsWith(verdict.toUpper() + ":"), kPatience);
        QVector<Checks::CheckRecord> kept;
        QCOMPARE(Checks::records(QSqlDatabase::database(), &kept), QString());
        QCOMPARE(kept.size(), 1);
        QCOMPARE(Checks::verdictText(kept[0].verdict), verdict);
        QCOMPARE(kept[0].rowKeys.size(), digits.size());
        QFETCH(QString, status);
        QVERIFY2(balances->item(0, 8)->text().startsWith(status), qPrintable(balances->item(0, 8)->text()));
        QTRY_VERIFY_WITH_TIMEOUT(probe.session().states().state("B1").checks().startsWith(status), kPatience);
        window.stopToCollect();
        QCOMPARE(m_boxes->count(), 0);
    }
};

QTEST_MAIN(TestQualification)
#include "tst_qualification.moc"
