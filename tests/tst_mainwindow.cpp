#include "mainwindow.h"
#include "modalrecorder.h"
#include "tempworkdir.h"
#include "testdatabase.h"

#include <QAction>
#include <QHeaderView>
#include <QVBoxLayout>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QtTest>

#include <memory>

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void layout();
    void controls_data();
    void controls();
    void columns();
    void newestFirstAcrossDays();
    void readOnly();
    void about();
    void quitClosesTheWindow();

private:
    std::unique_ptr<TempWorkDir> m_dir;
};

template<typename T>
static T *child(QObject *parent, const char *name)
{
    T *found = parent->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qWarning("missing child %s", name);
    return found;
}

void TestMainWindow::init()
{
    m_dir = std::make_unique<TempWorkDir>();
    QVERIFY(openTestDatabase());
}

void TestMainWindow::cleanup()
{
    closeTestDatabase();
    m_dir.reset();
}

void TestMainWindow::layout()
{
    MainWindow window;
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Veltrano"));

    // The button column: three collection buttons, a spacer, export and clear.
    auto *column = child<QVBoxLayout>(&window, "verticalLayout");
    QVERIFY(column);
    QStringList items;
    for (int i = 0; i < column->count(); ++i) {
        QLayoutItem *item = column->itemAt(i);
        items << (item->widget() ? item->widget()->objectName() + '=' + static_cast<QPushButton *>(item->widget())->text()
                                 : QStringLiteral("spacer"));
    }
    QCOMPARE(items, QStringList({"uStart=&Start", "uRead=&Immediate read", "uStop=S&top", "spacer",
                                 "uExport=&Export", "uClear=&Clear"}));

    // Menus and their entries, in order.
    QStringList menus;
    for (QAction *menuAction : window.menuBar()->actions()) {
        QStringList entries;
        for (QAction *action : menuAction->menu()->actions())
            entries << action->objectName() + '=' + action->text();
        menus << menuAction->text() + ": " + entries.join(", ");
    }
    QCOMPARE(menus, QStringList({"&File: actionSettings=&Settings, action_Quit=&Quit",
                                 "&Help: actionAbout=&About, actionAbout_Qt=About Qt"}));
    QVERIFY(window.statusBar()->currentMessage().isEmpty());
}

void TestMainWindow::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("start") << "uStart" << true;
    QTest::newRow("immediate read") << "uRead" << false;
    QTest::newRow("stop") << "uStop" << false;
    QTest::newRow("export") << "uExport" << true;
    QTest::newRow("clear") << "uClear" << true;
    QTest::newRow("settings") << "actionSettings" << true;
    QTest::newRow("quit") << "action_Quit" << true;
    QTest::newRow("about") << "actionAbout" << true;
    QTest::newRow("about qt") << "actionAbout_Qt" << true;
}

void TestMainWindow::controls()
{
    QFETCH(QString, name);
    QFETCH(bool, enabled);
    MainWindow window;
    QObject *control = window.findChild<QObject *>(name);
    QVERIFY(control);
    QCOMPARE(control->property("enabled").toBool(), enabled);
}

void TestMainWindow::columns()
{
    MainWindow window;
    auto *view = child<QTableView>(&window, "uTableView");
    QVERIFY(view);
    QVERIFY(view->verticalHeader()->isHidden());
    QCOMPARE(view->model()->columnCount(), 6);
    QStringList shown;
    for (int column = 0; column < 6; ++column) {
        const QString label = view->model()->headerData(column, Qt::Horizontal).toString();
        shown << (view->isColumnHidden(column) ? '(' + label + ')' : label);
    }
    QCOMPARE(shown, QStringList({"Date", "Time", "Instrument id", "(Header id.)", "Result", "Unit"}));
}

void TestMainWindow::newestFirstAcrossDays()
{
    QVERIFY(insertTestRow({"2026-12-05", "23:00:00", "B1", "", "+1", "g  "}));
    QVERIFY(insertTestRow({"2026-12-06", "08:00:00", "B1", "", "+2", "g  "}));
    QVERIFY(insertTestRow({"2026-12-06", "07:59:59", "B1", "", "+3", "g  "}));
    QVERIFY(insertTestRow({"2025-12-31", "23:59:59", "B1", "", "+4", "g  "}));
    MainWindow window;
    auto *view = child<QTableView>(&window, "uTableView");
    QStringList order;
    for (int row = 0; row < view->model()->rowCount(); ++row)
        order << view->model()->index(row, 4).data().toString();
    QCOMPARE(order, QStringList({"+2", "+3", "+1", "+4"}));
}

void TestMainWindow::readOnly()
{
    QVERIFY(insertTestRow({"2026-12-06", "08:00:00", "B1", "", "+2", "g  "}));
    QVERIFY(insertTestRow({"2026-12-06", "08:00:00", "B1", "", "+2", "g  "}));
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *view = child<QTableView>(&window, "uTableView");
    const QModelIndex cell = view->model()->index(0, 4);
    QVERIFY(!(view->model()->flags(cell) & Qt::ItemIsEditable));
    QVERIFY(!view->model()->setData(cell, QStringLiteral("+9")));
    view->setCurrentIndex(cell);
    view->edit(cell);
    QTest::keyClicks(view->viewport(), "999");
    QTest::keyClick(view->viewport(), Qt::Key_Return);
    view->setCurrentIndex(view->model()->index(1, 4));
    QCOMPARE(allTestRows(), QStringList({"2026-12-06|08:00:00|B1||+2|g  ", "2026-12-06|08:00:00|B1||+2|g  "}));
}

void TestMainWindow::about()
{
    MainWindow window;
    ModalRecorder recorder;
    child<QAction>(&window, "actionAbout")->trigger();
    QCOMPARE(recorder.count(), 1);
    const RecordedBox &box = recorder.boxes().first();
    QCOMPARE(box.title, QStringLiteral("Information"));
    QCOMPARE(box.buttons, QStringList{"OK"});
    const QStringList lines = box.text.split('\n');
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines[0].startsWith("Veltrano "));
    QVERIFY(lines[1].isEmpty());
    QVERIFY(lines[2].startsWith("E-mail: "));
    QVERIFY(lines[3].startsWith("Web: "));
}

void TestMainWindow::quitClosesTheWindow()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    child<QAction>(&window, "action_Quit")->trigger();
    QVERIFY(!window.isVisible());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
