// Start-up on the database file, and the main window as the operator meets it:
// its menus, the view's columns and order, and a view that cannot edit.
#include "collectionprobe.h"
#include "modalrecorder.h"
#include "startup.h"
#include "stderrcapture.h"
#include "tempworkdir.h"
#include "testdatabase.h"

#include <QDir>
#include <QMenuBar>
#include <QSqlQuery>
#include <QTableView>
#include <QtTest>

#include <memory>

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void init() { m_dir = std::make_unique<TempWorkDir>(); }
    void cleanup()
    {
        closeTestDatabase();
        m_dir.reset();
    }
    void startUp_data();
    void startUp();
    void menus();
    void view();
    void readOnly();

private:
    std::unique_ptr<TempWorkDir> m_dir;
};

void TestMainWindow::startUp_data()
{
    QTest::addColumn<QStringList>("statements");  // run on the file first; "garbage" / "directory" put those in its place
    QTest::addColumn<int>("status");              // -1: start-up goes on
    QTest::addColumn<QString>("box");             // "title|text"; empty: none
    QTest::addColumn<QStringList>("contents");    // the tables' statements, then the rows

    const QString table = QStringLiteral("CREATE TABLE data(sampling_date date, sampling_time time, instrument_id "
                                         "varchar, header varchar, result varchar, unit varchar)");
    const QString info = QStringLiteral("Information|Database initialization: OK");
    const QString error = QStringLiteral("Error|Cannot open the database! (SQLITE error) Exiting...");
    const QString other = QStringLiteral("CREATE TABLE other(x)");
    QTest::newRow("first start") << QStringList() << -1 << info << QStringList{table};
    QTest::newRow("rows kept") << QStringList{table, "INSERT INTO data VALUES('2014-06-30','14:05:09','B1','','+1','g')"}
                               << -1 << QString() << QStringList{table, "2014-06-30|14:05:09|B1||+1|g"};
    QTest::newRow("other tables only") << QStringList{other} << -1 << info << QStringList{table, other};
    // The sort index only makes the view faster: without it start-up goes on.
    QTest::newRow("index name taken") << QStringList{table, "CREATE TABLE data_sampling_order(x)"} << -1 << QString()
                                      << QStringList{table, "CREATE TABLE data_sampling_order(x)"};
    QTest::newRow("not a database") << QStringList{"garbage"} << 1 << error << QStringList();
    QTest::newRow("unopenable path") << QStringList{"directory"} << 1 << error << QStringList();
}

void TestMainWindow::startUp()
{
    QFETCH(QStringList, statements);
    QFETCH(int, status);
    QFETCH(QString, box);
    QFETCH(QStringList, contents);
    const QByteArray garbage(4096, 'x');
    if (statements == QStringList{"garbage"})
        QVERIFY(writeFile("sqlite.db", garbage));
    else if (statements == QStringList{"directory"})
        QVERIFY(QDir().mkdir(QStringLiteral("sqlite.db")));
    else
        QVERIFY(prepareDatabaseFile(statements));

    ModalRecorder recorder;
    StderrCapture capture;
    {
        QSqlQuery schemaQuery;
        QCOMPARE(Startup::openDatabase(schemaQuery), status);
        QCOMPARE(recorder.count() ? recorder.titles().first() + '|' + recorder.texts().first() : QString(), box);
        QCOMPARE(recorder.count(), int(!box.isEmpty()));
        QStringList found;
        for (QSqlQuery query("SELECT sql FROM sqlite_master WHERE type='table' ORDER BY name"); query.next();)
            found << query.value(0).toString();
        QCOMPARE(found + (status < 0 ? allTestRows() : QStringList()), contents);
    }
    // On failure the driver's reason reaches standard error, and a foreign file is left alone.
    QCOMPARE(capture.take().trimmed().isEmpty(), status < 0);
    if (statements == QStringList{"garbage"})
        QCOMPARE(readFile("sqlite.db"), garbage);
}

void TestMainWindow::menus()
{
    QVERIFY(openTestDatabase());
    MainWindow window;
    QStringList menus;
    for (QAction *menu : window.menuBar()->actions()) {
        QStringList entries;
        for (QAction *action : menu->menu()->actions())
            entries << action->text();
        menus << menu->text() + ": " + entries.join(", ");
    }
    QCOMPARE(menus, QStringList({"&File: &Settings, &Quit", "&Data: &Export..., &Live readings", "&Help: &About, About Qt"}));
}

void TestMainWindow::view()
{
    QVERIFY(openTestDatabase());
    QVERIFY(insertTestRows({{"2026-12-05", "23:00:00", "B1", "", "+1", "g"}, {"2026-12-06", "08:00:00", "B1", "", "+2", "g"},
                            {"2026-12-06", "07:59:59", "B1", "", "+3", "g"}, {"2025-12-31", "23:59:59", "B1", "", "+4", "g"}}));
    MainWindow window;
    QAbstractItemModel *model = child<QTableView>(&window, "uTableView")->model();
    QStringList shown;
    for (int column = 0; column < model->columnCount(); ++column)
        shown << model->headerData(column, Qt::Horizontal).toString();
    for (int row = 0; row < model->rowCount(); ++row)
        shown << model->index(row, 4).data().toString();
    // Newest first by date, then time.
    QCOMPARE(shown, QStringList({"Date", "Time", "Instrument id", "Header id.", "Result", "Unit", "+2", "+3", "+1", "+4"}));
}

void TestMainWindow::readOnly()
{
    QVERIFY(openTestDatabase());
    QVERIFY(insertTestRows({{"2026-12-06", "08:00:00", "B1", "", "+2", "g"}, {"2026-12-06", "08:00:00", "B1", "", "+2", "g"}}));
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *view = child<QTableView>(&window, "uTableView");
    const QModelIndex cell = view->model()->index(0, 4);
    view->setCurrentIndex(cell);
    view->edit(cell);
    QTest::keyClicks(view->viewport(), "999");
    QTest::keyClick(view->viewport(), Qt::Key_Return);
    view->setCurrentIndex(view->model()->index(1, 4));
    QVERIFY(!view->model()->setData(cell, QStringLiteral("+9")));
    QCOMPARE(allTestRows(), QStringList({"2026-12-06|08:00:00|B1||+2|g", "2026-12-06|08:00:00|B1||+2|g"}));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
