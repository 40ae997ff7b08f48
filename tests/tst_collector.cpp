// veltrano-collect as a service would run it: over pseudo-terminals, stopped
// by SIGTERM while the database is locked, told by SIGHUP to read its
// settings again, alone in its folder, watched by a window.
#include "collectionprobe.h"
#include "pseudoterminal.h"
#include "windowtestcase.h"

#include "livereadingswindow.h"

#include <QAction>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QSqlQuery>
#include <QTableView>
#include <QTableWidget>

#include <csignal>
#include <memory>

using Veltrano::Sim::PseudoTerminal;

namespace {

constexpr int kPatience = 30000;

// One running veltrano-collect in the working folder, its log read as it comes.
class CollectorProcess
{
public:
    explicit CollectorProcess(const QStringList &arguments = {"--trace"})
    {
        m_process.start(QStringLiteral(VELTRANO_COLLECT), arguments);
    }
    ~CollectorProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    QProcess &process() { return m_process; }
    // Everything it logged so far.
    QByteArray log()
    {
        m_log += m_process.readAllStandardError();
        return m_log;
    }
    // Rows taken, one trace line each.
    int ticks() { return log().count("InstrumentChannel::sample("); }
    bool waitFor(const std::function<bool()> &condition)
    {
        // Its log is read all along: a full pipe would stop it.
        return QTest::qWaitFor([&] { return (log(), condition()) || (m_process.waitForReadyRead(50), false); }, kPatience);
    }
    int stop(int signal = SIGTERM)
    {
        ::kill(pid_t(m_process.processId()), signal);
        return m_process.waitForFinished(kPatience) && m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

private:
    QProcess m_process;
    QByteArray m_log;
};

// Rows of `instrument`, or of all when it is empty.
int rowCount(const QString &instrument = QStringLiteral(""))
{
    QSqlQuery query;
    query.prepare(QStringLiteral("SELECT count(*) FROM data WHERE ? = '' OR instrument_id = ?"));
    query.addBindValue(instrument);
    query.addBindValue(instrument);
    return query.exec() && query.next() ? query.value(0).toInt() : -1;
}

// What `veltrano-collect --status` prints for the working folder; empty when it fails.
QByteArray statusText()
{
    QProcess status;
    status.start(QStringLiteral(VELTRANO_COLLECT), {"--status"});
    return status.waitForFinished(kPatience) && status.exitCode() == 0 ? status.readAllStandardOutput() : QByteArray();
}

} // namespace

class TestCollector : public WindowTestCase
{
    Q_OBJECT

    std::vector<std::unique_ptr<PseudoTerminal>> m_lines;

    void addBalance(const QString &id)
    {
        m_lines.push_back(std::make_unique<PseudoTerminal>());
        QVERIFY(m_lines.back()->open());
        writeSettings(balanceOn(id, m_lines.back()->devicePath()));
    }

private slots:
    void init()
    {
        WindowTestCase::init();
        m_lines.clear();
        addBalance("B1");
        addBalance("B2");
    }

    void stoppedDuringLock()
    {
        int ticks = 0;
        {
            CollectorProcess collector;
            QVERIFY(collector.waitFor([&] { return collector.ticks() >= 4; }));
            QVERIFY(collector.log().contains("started with 2 instruments"));
            QSqlDatabase locker = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker"));
            locker.setDatabaseName(QStringLiteral("sqlite.db"));
            QVERIFY(locker.open() && QSqlQuery(locker).exec(QStringLiteral("BEGIN EXCLUSIVE")));
            QVERIFY(collector.waitFor([&] { return collector.ticks() >= 8; }));
            QCOMPARE(collector.stop(), 0);
            ticks = collector.ticks();
            QVERIFY2(collector.log().contains("the database refuses rows: database is locked"), collector.log().right(2000));
            locker.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("locker"));
        // The next start writes what the stopped one kept.
        CollectorProcess again;
        QVERIFY(again.waitFor([&] { return rowCount() >= ticks + again.ticks(); }));
        QCOMPARE(again.stop(), 0);
        QCOMPARE(rowCount(), ticks + again.ticks());
        QSqlQuery check(QStringLiteral("PRAGMA integrity_check"));
        QVERIFY(check.next() && check.value(0).toString() == "ok");
        QVERIFY(!QFile::exists("sqlite.db.pending") && !QFile::exists("veltrano-status.json"));
    }

    void reloadsItsSettings()
    {
        CollectorProcess collector;
        QVERIFY(collector.waitFor([&] { return rowCount("B1") >= 2; }));
        QSettings(QStringLiteral("settings.ini"), QSettings::IniFormat).remove("B1");
        addBalance("B3");
        ::kill(pid_t(collector.process().processId()), SIGHUP);
        QVERIFY(collector.waitFor([&] { return collector.log().contains("added B3; removed B1; changed none"); }));
        const int b1 = rowCount("B1"), b2 = rowCount("B2");
        QVERIFY(collector.waitFor([&] { return rowCount("B3") >= 3; }));
        QCOMPARE(collector.stop(), 0);
        // B2 went on unchanged, and B1 took no row after the reload but one in flight.
        QVERIFY(rowCount("B2") >= b2 + 2);
        QVERIFY(rowCount("B1") <= b1 + 1);
    }

    // A worklist dropped in its folder labels the weighings of a balance
    // that prints on its key, one sample each; the weighings taken while the
    // database is locked wait with their side rows and go in after it.
    void weighsAWorklistThroughAnOutage()
    {
        addBalance("W1");
        // A balance whose port is gone is named, with its port, in the log.
        writeSettings({"W1/record=print", "W1/type=automatic", "W1/nominal=2.5", "W1/warning=1", "W1/tolerance=1.3",
                       "G/name=Gone", "G/comPort=/nonexistent/ttyS9"});
        QVERIFY(QDir().mkpath("worklists") && writeFile("worklists/W1.csv", "S-1\nS-2\nS-3\n"));
        CollectorProcess collector;
        const auto statusSays = [](const QString &next) {
            for (const QJsonValue &instrument :
                 QJsonDocument::fromJson(readFile("veltrano-status.json")).object().value("instruments").toArray()) {
                if (instrument["id"] == "W1")
                    return instrument["weighing"]["nextSample"] == next;
            }
            return false;
        };
        QVERIFY(collector.waitFor([&] { return statusSays("S-1"); }));
        QSqlDatabase locker = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker"));
        locker.setDatabaseName(QStringLiteral("sqlite.db"));
        QVERIFY(locker.open() && QSqlQuery(locker).exec(QStringLiteral("BEGIN EXCLUSIVE")));
        QVERIFY(m_lines.back()->write("+1.25 g\r\n"));
        QVERIFY(collector.waitFor([&] { return statusSays("S-2"); }));
        QVERIFY(m_lines.back()->write("+2.50 g\r\n"));
        QVERIFY(collector.waitFor([&] { return statusSays("S-3"); }));
        // The figures of the series so far, while the database is away.
        const QByteArray status = statusText();
        QVERIFY2(status.contains("W1: next sample S-3; series W1.csv")
                     && status.contains("\n  n 2, mean 1.875 g, SD 0.884 g, RSD 47.14 %; within 1, warning 1, outside 0, "
                                        "below minimum 0\n"),
                 status.constData());
        QVERIFY(m_lines.back()->write("+3.75 g\r\n"));
        QVERIFY(collector.waitFor([] { return QFile::exists("worklists/W1.csv.done"); }));
        locker.close();
        locker = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("locker"));
        QVERIFY(collector.waitFor([&] { return rowCount("W1") == 3; }));
        QCOMPARE(collector.stop(), 0);
        QVERIFY2(collector.log().contains("instrument G (Gone) on /nonexistent/ttyS9: "), collector.log().right(2000));
        QStringList weighed;
        for (QSqlQuery query("SELECT d.result, w.sample, w.series FROM data d JOIN weighing w ON w.row_key = d.rowid "
                             "ORDER BY d.rowid");
             query.next();)
            weighed << query.value(0).toString() + '|' + query.value(1).toString() + '|' + query.value(2).toString().left(6);
        QCOMPARE(weighed, QStringList({"+1.25|S-1|W1.csv", "+2.50|S-2|W1.csv", "+3.75|S-3|W1.csv"}));
        QVERIFY(readFile("worklists/W1.csv.done").startsWith("S-1\nS-2\nS-3\n"));
    }

    void aloneInItsFolder()
    {
        CollectorProcess collector;
        QVERIFY(collector.waitFor([&] { return rowCount() >= 2; }));
        const QByteArray pid = QByteArray::number(collector.process().processId());

        CollectorProcess second(QStringList{});
        QVERIFY(second.process().waitForFinished(kPatience));
        QCOMPARE(second.process().exitCode(), 3);
        QVERIFY(second.log().contains("another collector records in this folder: veltrano-collect (process " + pid + ")"));

        QVERIFY(statusText().contains("process " + pid));

        // A window on the folder shows the collector's rows as they come, and refuses Start.
        MainWindow window;
        auto *view = child<QTableView>(&window, "uTableView");
        const int shown = view->model()->rowCount();
        QTRY_VERIFY_WITH_TIMEOUT(view->model()->rowCount() > shown, kPatience);
        child<QPushButton>(&window, "uStart")->click();
        QTRY_COMPARE(m_boxes->count(), 1);
        QVERIFY(m_boxes->texts().first().startsWith("Another collector records in this folder: veltrano-collect (process " + pid));
        QVERIFY(child<QPushButton>(&window, "uStart")->isEnabled());
        // Its Live readings show the collector's instruments.
        child<QAction>(&window, "actionLiveReadings")->trigger();
        auto *live = window.findChild<LiveReadingsWindow *>();
        QVERIFY(child<QLabel>(live, "label")->text().startsWith("Collection by veltrano-collect (process " + pid + ")"));
        auto *table = child<QTableWidget>(live, "uTable");
        QCOMPARE(table->rowCount(), 2);
        QCOMPARE(table->item(1, 0)->text() + table->item(1, 1)->text(), "B2" + m_lines.at(1)->devicePath());
        QCOMPARE(collector.stop(SIGINT), 0);
    }
};

QTEST_MAIN(TestCollector)
#include "tst_collector.moc"
