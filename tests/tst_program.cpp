// The window program as started: its command line, run as a process, the
// main window's remembered size and place, and the result column's alignment.
#include "collectionprobe.h"
#include "mainwindow.h"
#include "store/measurementmodel.h"
#include "store/pendingrows.h"
#include "windowtestcase.h"

#include <QDir>
#include <QProcess>
#include <QSqlQuery>

namespace {

// The rows of the data table in the SQLite file `name`, as "a|b|...".
QStringList rowsIn(const QString &name)
{
    QStringList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("look"));
        db.setDatabaseName(name);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        for (QSqlQuery query(db.open() ? "SELECT * FROM data ORDER BY rowid" : "", db); query.next();) {
            QStringList fields;
            for (int i = 0; i < 6; ++i)
                fields << query.value(i).toString();
            rows << fields.join('|');
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("look"));
    return rows;
}

} // namespace

class TestProgram : public WindowTestCase
{
    Q_OBJECT
private slots:
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");     // -1: the window is up and records where it was told
        QTest::addColumn<QByteArray>("out");  // the start of standard output
        QTest::addColumn<QByteArray>("err");  // standard error holds it
        QTest::newRow("version") << QStringList{"--version"} << 0 << QByteArray("veltrano 1.0.0\n") << QByteArray();
        QTest::newRow("stray argument") << QStringList{"sub/rows.db"} << 2 << QByteArray()
                                        << QByteArray("veltrano: unexpected argument 'sub/rows.db'\n");
        QTest::newRow("database file") << QStringList{"--database", "sub/rows.db"} << -1 << QByteArray() << QByteArray();
        QTest::newRow("database= file") << QStringList{"--database=sub/rows.db"} << -1 << QByteArray() << QByteArray();
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        closeTestDatabase();
        QVERIFY(QFile::remove("sqlite.db"));
        // A row a previous run kept: it goes into the file named, from beside it.
        const Veltrano::Row row{"2026-05-04", "10:11:12", "B1", "", "+12.5", "g"};
        QVERIFY(QDir().mkdir("sub"));
        const QString table = "CREATE TABLE data(sampling_date date, sampling_time time, instrument_id varchar, "
                              "header varchar, result varchar, unit varchar)";
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "prepare");
            db.setDatabaseName("sub/rows.db");
            QVERIFY(db.open() && QSqlQuery(db).exec(table));
        }
        QSqlDatabase::removeDatabase("prepare");
        QVERIFY(writeFile("sub/rows.db.pending", Veltrano::PendingRows::encode(row)));

        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(environment);
        process.start(VELTRANO, arguments);
        QVERIFY(process.waitForStarted());
        if (status < 0) {
            QTRY_COMPARE_WITH_TIMEOUT(rowsIn("sub/rows.db"), QStringList{"2026-05-04|10:11:12|B1||+12.5|g"}, 20000);
            QTRY_VERIFY(!QFile::exists("sub/rows.db.pending"));
            process.kill();
        }
        QVERIFY(process.waitForFinished(20000));
        if (status >= 0) {
            QCOMPARE(process.exitStatus(), QProcess::NormalExit);
            QCOMPARE(process.exitCode(), status);
            QVERIFY(QFile::exists("sub/rows.db.pending"));  // no database touched
        }
        const QByteArray written = process.readAllStandardOutput();
        const QByteArray errors = process.readAllStandardError();
        QVERIFY2(written.startsWith(out), written.constData());
        QVERIFY2(errors.contains(err), errors.constData());
        QVERIFY(!QFile::exists("sqlite.db"));
        QVERIFY(!QFile::exists("veltrano-ui.ini") || status < 0);
    }

    // Usage errors, help and a folder with nothing to record are answered
    // without a display: the window program reads its line before it needs one.
    void withoutDisplay_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("settings");  // settings.ini; empty: none
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("out");  // the start of standard output
        QTest::addColumn<QByteArray>("err");  // standard error, whole
        const QString window(VELTRANO), exporter(VELTRANO_EXPORT), collector(VELTRANO_COLLECT);
        const QByteArray bogus("veltrano: Unknown option 'bogus'.\nTry 'veltrano --help' for more information.\n");
        QTest::newRow("unknown option") << window << QStringList{"--bogus"} << QStringList() << 2 << QByteArray() << bogus;
        QTest::newRow("after Qt's own options")
            << window << QStringList{"-style", "fusion", "--platform=xcb", "-reverse", "--bogus"} << QStringList() << 2
            << QByteArray() << bogus;
        QTest::newRow("stray argument") << window << QStringList{"rows.db"} << QStringList() << 2 << QByteArray()
                                        << QByteArray("veltrano: unexpected argument 'rows.db'\nTry 'veltrano --help' for more "
                                                      "information.\n");
        QTest::newRow("help names the program") << window << QStringList{"--help"} << QStringList() << 0
                                                << QByteArray("Usage: veltrano [options]\n") << QByteArray();
        QTest::newRow("export's help names the program")
            << exporter << QStringList{"--help"} << QStringList() << 0 << QByteArray("Usage: veltrano-export [options] ")
            << QByteArray();
        QTest::newRow("collector without settings.ini")
            << collector << QStringList() << QStringList() << 2 << QByteArray()
            << QByteArray("veltrano-collect: no settings.ini in %1: nothing to record\n");
        QTest::newRow("collector without an active instrument")
            << collector << QStringList{"--dir", "."} << QStringList{"A/active=false", "A/name=A"} << 2 << QByteArray()
            << QByteArray("veltrano-collect: settings.ini in %1 has no active instrument: nothing to record\n");
    }

    void withoutDisplay()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, settings);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        if (!settings.isEmpty())
            writeSettings(settings);
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            environment.remove(name);
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QTEST(process.exitCode(), "status");
        const QByteArray written = process.readAllStandardOutput();
        QVERIFY2(written.startsWith(out), written.constData());
        QCOMPARE(QString::fromLocal8Bit(process.readAllStandardError()), QString::fromLocal8Bit(err).replace("%1", QDir::currentPath()));
    }

    // Started from the desktop entry, the trace goes to the state folder's
    // file and standard error stays quiet; from a terminal it is there.
    void traceDestination_data()
    {
        QTest::addColumn<bool>("desktop");
        QTest::newRow("terminal") << false;
        QTest::newRow("desktop") << true;
    }

    void traceDestination()
    {
        QFETCH(bool, desktop);
        closeTestDatabase();  // sqlite.db has its table: no box at start
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("XDG_STATE_HOME", QDir::current().absoluteFilePath("state"));
        process.setProcessEnvironment(environment);
        process.start(VELTRANO, desktop ? QStringList{"--desktop"} : QStringList());
        QVERIFY(process.waitForStarted());
        const QString log = QStringLiteral("state/veltrano/veltrano.log");
        const QByteArray windowMade = "MainWindow::MainWindow(";
        QByteArray errors;
        QTRY_VERIFY_WITH_TIMEOUT((errors += process.readAllStandardError(), desktop ? readFile(log) : errors).contains(windowMade),
                                 20000);
        process.kill();
        QVERIFY(process.waitForFinished(20000));
        errors += process.readAllStandardError();
        QCOMPARE(QFile::exists(log), desktop);
        if (desktop) {
            QVERIFY(readFile(log).contains("Debug: "));
            QCOMPARE(errors, QByteArray());
        }
    }

    // Where the operator left the window, at the next start; the form's size
    // at the first. Nothing of it in settings.ini.
    void geometry()
    {
        QRect left;
        {
            MainWindow window;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QCOMPARE(window.size(), QSize(400, 300));
            window.resize(520, 410);
            window.move(30, 40);
            QTRY_COMPARE(window.pos(), QPoint(30, 40));
            left = window.geometry();
            QCOMPARE(left.size(), QSize(520, 410));
        }
        QVERIFY(!QFile::exists("settings.ini"));
        MainWindow again;
        again.show();
        QVERIFY(QTest::qWaitForWindowExposed(&again));
        QCOMPARE(again.geometry(), left);
    }

    void resultRightAligned()
    {
        QVERIFY(insertTestRow({"2026-05-04", "10:11:12", "B1", "", "+12.5", "g"}));
        Veltrano::MeasurementModel model;
        model.reload();
        const int result = Veltrano::MeasurementModel::Result;
        for (int column = 0; column < Veltrano::MeasurementModel::ColumnCount; ++column)
            QCOMPARE(model.index(0, column).data(Qt::TextAlignmentRole),
                     column == result ? QVariant(int(Qt::AlignRight | Qt::AlignVCenter)) : QVariant());
        QCOMPARE(model.index(0, result).data().toString(), QString("+12.5"));
    }
};

QTEST_MAIN(TestProgram)
#include "tst_program.moc"
