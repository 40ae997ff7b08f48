// Start-up on the database file, the main window's view, and the message
// handler with the trace lines it writes to standard error.
#include "collectionprobe.h"
#include "startup.h"
#include "support/trace.h"
#include "windowtestcase.h"

#include <QDir>
#include <QMenuBar>
#include <QSqlQuery>
#include <QTableView>

using Veltrano::Trace;

class TestMainWindow : public WindowTestCase
{
    Q_OBJECT
private slots:
    void startUp_data()
    {
        QTest::addColumn<QStringList>("statements");  // run on the file first; "garbage" / "directory" put those in its place
        QTest::addColumn<int>("status");              // -1: start-up goes on
        QTest::addColumn<QString>("box");             // "title|text"; empty: none
        QTest::addColumn<QStringList>("contents");    // the tables' statements, then the rows
        QTest::addColumn<QByteArray>("reason");       // on standard error; empty: nothing written
        const QString table = QStringLiteral("CREATE TABLE data(sampling_date date, sampling_time time, instrument_id "
                                             "varchar, header varchar, result varchar, unit varchar)");
        const QString info = QStringLiteral("Information|Database initialization: OK");
        const QString error = QStringLiteral("Error|Cannot open the database! (SQLITE error) Exiting...");
        const QString other = QStringLiteral("CREATE TABLE other(x)");
        QTest::newRow("first start") << QStringList() << -1 << info << QStringList{table} << QByteArray();
        QTest::newRow("rows kept") << QStringList{table, "INSERT INTO data VALUES('2014-06-30','14:05:09','B1','','+1','g')"}
                                   << -1 << QString() << QStringList{table, "2014-06-30|14:05:09|B1||+1|g"} << QByteArray();
        QTest::newRow("other tables only") << QStringList{other} << -1 << info << QStringList{table, other} << QByteArray();
        // The sort index only makes the view faster: without it start-up goes on.
        QTest::newRow("index name taken") << QStringList{table, "CREATE TABLE data_sampling_order(x)"} << -1 << QString()
                                          << QStringList{table, "CREATE TABLE data_sampling_order(x)"}
                                          << QByteArray("sort index not created, the view will be slower: ");
        QTest::newRow("not a database") << QStringList{"garbage"} << 1 << error << QStringList()
                                        << QByteArray("file is not a database");
        QTest::newRow("unopenable path") << QStringList{"directory"} << 1 << error << QStringList()
                                         << QByteArray("unable to open database file");
    }

    void startUp()
    {
        QFETCH(QStringList, statements);
        QFETCH(int, status);
        QFETCH(QString, box);
        QFETCH(QStringList, contents);
        QFETCH(QByteArray, reason);
        closeTestDatabase();
        TempWorkDir dir;
        const QByteArray garbage(4096, 'x');
        if (statements == QStringList{"garbage"})
            QVERIFY(writeFile("sqlite.db", garbage));
        else
            QVERIFY(statements == QStringList{"directory"} ? QDir().mkdir("sqlite.db") : prepareDatabaseFile(statements));
        StderrCapture capture;
        {
            QCOMPARE(Startup::openDatabase(), status);
            QStringList found;
            // The side tables of the rows' provenance come too (see Chain).
            for (QSqlQuery query(status < 0 ? "SELECT sql FROM sqlite_master WHERE type='table' AND name NOT IN "
                                              "('provenance', 'audit', 'weighing', 'sqlite_sequence') ORDER BY name" : "");
                 query.next();)
                found << query.value(0).toString();
            QCOMPARE(found + (status < 0 ? allTestRows() : QStringList()), contents);
        }
        QCOMPARE(m_boxes->count() ? m_boxes->titles().first() + '|' + m_boxes->texts().first() : QString(), box);
        QCOMPARE(m_boxes->count(), int(!box.isEmpty()));
        // The driver's reason reaches standard error, and a foreign file is left alone.
        const QByteArray written = capture.take();
        QVERIFY2(reason.isEmpty() ? written.isEmpty() : written.contains(reason), written.constData());
        if (statements == QStringList{"garbage"})
            QCOMPARE(readFile("sqlite.db"), garbage);
        closeTestDatabase();
    }

    // The columns, and the newest rows first by date, then time.
    void view()
    {
        QVERIFY(insertTestRows({{"2026-12-05", "23:00:00", "B1", "", "+1", "g"}, {"2026-12-06", "08:00:00", "B1", "", "+2", "g"},
                                {"2026-12-06", "07:59:59", "B1", "", "+3", "g"}, {"2025-12-31", "23:59:59", "B1", "", "+4", "g"}}));
        MainWindow window;
        QAbstractItemModel *model = child<QTableView>(&window, "uTableView")->model();
        QStringList shown;
        for (int column = 0; column < model->columnCount(); ++column)
            shown << model->headerData(column, Qt::Horizontal).toString();
        for (int row = 0; row < model->rowCount(); ++row)
            shown << model->index(row, 4).data().toString();
        QCOMPARE(shown, QStringList({"Date", "Time", "Instrument id", "Header id.", "Result", "Unit", "+2", "+3", "+1", "+4"}));
        // The menus: the defined entries in their order, this program's own beside them.
        QStringList menus;
        for (QAction *menu : window.menuBar()->actions())
            for (QAction *action : QList<QAction *>{menu} + menu->menu()->actions())
                menus << action->text();
        QCOMPARE(menus, QStringList({"&File", "&Settings", "&Quit", "&Data", "&Export...", "&Live readings", "&Weighing", "&Help",
                                     "&About", "About Qt"}));
    }

    // The view offers no edit, and an edit tried anyway reaches neither of two identical rows.
    void readOnly()
    {
        QVERIFY(insertTestRows({{"2026-12-06", "08:00:00", "B1", "", "+2", "g"}, {"2026-12-06", "08:00:00", "B1", "", "+2", "g"}}));
        MainWindow window;
        auto *view = child<QTableView>(&window, "uTableView");
        const QModelIndex cell = view->model()->index(0, 4);
        QVERIFY(!(view->model()->flags(cell) & Qt::ItemIsEditable) && view->editTriggers() == QAbstractItemView::NoEditTriggers);
        QVERIFY(!view->model()->setData(cell, QStringLiteral("+9")));
        QCOMPARE(allTestRows(), QStringList({"2026-12-06|08:00:00|B1||+2|g", "2026-12-06|08:00:00|B1||+2|g"}));
    }

    // Warnings are shown in a box and written as they are, but for three that are demoted to debug traces.
    void handler_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("shown");
        QTest::newRow("warning") << QString::fromUtf8("disk full: Mérleg") << true;
        QTest::newRow("parity") << "x QSerialPortPrivate::detectDefaultSettings(): Unexpected parity settings y" << false;
        QTest::newRow("flow control") << "QSerialPortPrivate::detectDefaultSettings(): Unexpected flow control settings" << false;
        QTest::newRow("export connection")
            << "QSqlDatabasePrivate::removeDatabase: connection 'export' is still in use, all queries will cease to work." << false;
        QTest::newRow("other letter case") << "qserialportprivate::detectdefaultsettings(): unexpected parity settings" << true;
    }

    void handler()
    {
        QFETCH(QString, message);
        QFETCH(bool, shown);
        StderrCapture capture;
        msgHandler(QtWarningMsg, QMessageLogContext(), message);
        const QByteArray written = capture.take(), text = message.toUtf8();
        QVERIFY2(shown ? written == "Warning: " + text + '\n' : written.startsWith("Debug: ") && written.endsWith(" \"" + text + "\"\n"),
                 written.constData());
        QTRY_COMPARE(m_boxes->texts(), shown ? QStringList{message} : QStringList());
    }

    // Texts go out unescaped in UTF-8, bytes whole (a zero byte too) unless clipped.
    void trace()
    {
        StderrCapture capture;
        Trace() << "a" << QString::fromUtf8("x\ny\\z'\xc3\xa9") << 42 << QByteArray("+ 1\r\n\0b", 7);
        Trace() << Trace::clipped("abc", 3) << Trace::clipped("abcdef", 3);
        VTRACE << "label";
        QCOMPARE(capture.take(), QByteArray("Debug: a \"x\ny\\z'\xc3\xa9\" 42 \"+ 1\r\n\0b\"\n", 33)
                                     + "Debug: \"abc\" \"abc...(6 bytes)\"\nDebug: tests/tst_mainwindow.cpp ( "
                                     + QByteArray::number(__LINE__ - 3) + " ) void TestMainWindow::trace() label\n");
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
