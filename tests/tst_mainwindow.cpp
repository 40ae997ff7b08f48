#include "collectionprobe.h"
#include "modalrecorder.h"
#include "tempworkdir.h"
#include "testdatabase.h"

#include <QHeaderView>
#include <QMenuBar>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_dir = std::make_unique<TempWorkDir>();
        QVERIFY(openTestDatabase());
    }
    void cleanup()
    {
        closeTestDatabase();
        m_dir.reset();
    }
    void form();
    void view();
    void readOnly();

private:
    std::unique_ptr<TempWorkDir> m_dir;
};

// The controls as the user meets them: the button column, the menus, which
// commands are available before a collection, and the About box.
void TestMainWindow::form()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Veltrano"));
    QStringList items;
    auto *column = child<QVBoxLayout>(&window, "verticalLayout");
    for (int i = 0; i < column->count(); ++i) {
        auto *button = qobject_cast<QPushButton *>(column->itemAt(i)->widget());
        items << (button ? button->text() + (button->isEnabled() ? "" : " (off)") : QStringLiteral("|"));
    }
    QCOMPARE(items, QStringList({"&Start", "&Immediate read (off)", "S&top (off)", "|", "&Export", "&Clear"}));
    QStringList menus;
    for (QAction *menu : window.menuBar()->actions()) {
        QStringList entries;
        for (QAction *action : menu->menu()->actions())
            entries << action->text() + (action->isEnabled() ? "" : " (off)");
        menus << menu->text() + ": " + entries.join(", ");
    }
    QCOMPARE(menus, QStringList({"&File: &Settings, &Quit", "&Data: &Export..., &Live readings",
                                     "&Help: &About, About Qt"}));

    ModalRecorder recorder;
    child<QAction>(&window, "actionAbout")->trigger();
    QCOMPARE(recorder.titles(), QStringList{"Information"});
    const QStringList lines = recorder.texts().first().split('\n');
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines[1].isEmpty() && lines[2].startsWith("E-mail: ") && lines[3].startsWith("Web: "));
}

void TestMainWindow::view()
{
    QVERIFY(insertTestRows({{"2026-12-05", "23:00:00", "B1", "", "+1", "g  "},
                            {"2026-12-06", "08:00:00", "B1", "", "+2", "g  "},
                            {"2026-12-06", "07:59:59", "B1", "", "+3", "g  "},
                            {"2025-12-31", "23:59:59", "B1", "", "+4", "g  "}}));
    MainWindow window;
    auto *view = child<QTableView>(&window, "uTableView");
    QVERIFY(view->verticalHeader()->isHidden());
    QStringList shown;
    for (int column = 0; column < view->model()->columnCount(); ++column) {
        const QString label = view->model()->headerData(column, Qt::Horizontal).toString();
        shown << (view->isColumnHidden(column) ? '(' + label + ')' : label);
    }
    QCOMPARE(shown, QStringList({"Date", "Time", "Instrument id", "(Header id.)", "Result", "Unit"}));
    // Newest first by date, then time.
    QStringList order;
    for (int row = 0; row < view->model()->rowCount(); ++row)
        order << view->model()->index(row, 4).data().toString();
    QCOMPARE(order, QStringList({"+2", "+3", "+1", "+4"}));
}

void TestMainWindow::readOnly()
{
    QVERIFY(insertTestRows({{"2026-12-06", "08:00:00", "B1", "", "+2", "g  "},
                            {"2026-12-06", "08:00:00", "B1", "", "+2", "g  "}}));
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

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
