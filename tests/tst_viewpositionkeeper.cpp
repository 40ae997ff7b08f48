// A reload after storing keeps what the user sees in the table: the row at the
// top, the current cell and the selection.
#include "measurementmodel.h"
#include "viewpositionkeeper.h"
#include "windowtestcase.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QSqlQuery>
#include <QTableView>
#include <QTime>

using Veltrano::MeasurementModel;
using Veltrano::ViewPositionKeeper;

namespace {

// One stored row per second from 08:00:00 on, so the view shows them newest first.
void addRows(int first, int count)
{
    QList<QStringList> rows;
    for (int i = first; i < first + count; ++i)
        rows << QStringList{"2024-05-06", QTime(8, 0).addSecs(i).toString(Qt::ISODate),
                            i % 2 ? "Balance B" : "Balance A", "", QString::number(i), "g  "};
    QVERIFY(insertTestRows(rows));
}

// The table as the window shows it, every stored row fetched.
struct Table
{
    MeasurementModel model;
    QTableView view;

    explicit Table(bool perPixel = false)
    {
        model.setUp();
        view.resize(400, 300);
        view.verticalHeader()->hide();
        view.setVerticalScrollMode(perPixel ? QAbstractItemView::ScrollPerPixel : QAbstractItemView::ScrollPerItem);
        view.setModel(&model);
        view.show();
        while (model.canFetchMore())
            model.fetchMore();
        view.doItemsLayout();
    }
    // Reloads as the window does after storing.
    void reload()
    {
        ViewPositionKeeper keep(&view);
        QVERIFY(model.select());
    }
    QString rowText(int row) const
    {
        QStringList fields;
        for (int column = 0; column < model.columnCount(); ++column)
            fields << model.index(row, column).data().toString();
        return fields.join(QLatin1Char('|'));
    }
    // What the user sees apart from the top row: the current cell, the
    // selected cells, and whether the view is scrolled to the top.
    QStringList seen() const
    {
        QStringList cells;
        for (const QModelIndex &index : view.selectionModel()->selectedIndexes())
            cells << rowText(index.row()) + QLatin1Char('@') + QString::number(index.column());
        cells.sort();
        const QModelIndex current = view.currentIndex();
        cells << (current.isValid() ? rowText(current.row()) + '@' + QString::number(current.column()) : "no current")
              << (view.verticalScrollBar()->value() == view.verticalScrollBar()->minimum() ? "at top" : "scrolled");
        return cells;
    }
};

} // namespace

class TestViewPositionKeeper : public WindowTestCase
{
    Q_OBJECT
private slots:
    void keepsWhatTheUserSees_data();
    void keepsWhatTheUserSees();
    void emptiedTableShowsTheTop();
};

void TestViewPositionKeeper::keepsWhatTheUserSees_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("scrollTo");  // row to bring to the top, -1: leave the view at the top
    QTest::addColumn<bool>("perPixel");
    QTest::addColumn<int>("selectFrom"); // -1: nothing selected
    QTest::addColumn<int>("selectTo");
    QTest::addColumn<int>("added");

    QTest::newRow("at the top, row selected") << 50 << -1 << false << 3 << 3 << 1;
    QTest::newRow("at the top, nothing selected") << 50 << -1 << false << -1 << -1 << 2;
    QTest::newRow("scrolled, rows selected") << 100 << 40 << false << 42 << 45 << 3;
    QTest::newRow("scrolled by pixels") << 100 << 40 << true << 41 << 41 << 2;
    QTest::newRow("scrolled past the first batch") << 1000 << 700 << false << 705 << 705 << 1;
    QTest::newRow("selection out of sight") << 300 << 100 << false << 5 << 5 << 1;
    QTest::newRow("far down a long table") << 20000 << 10000 << false << -1 << -1 << 1;
}

void TestViewPositionKeeper::keepsWhatTheUserSees()
{
    QFETCH(int, rows);
    QFETCH(int, scrollTo);
    QFETCH(bool, perPixel);
    QFETCH(int, selectFrom);
    QFETCH(int, selectTo);
    QFETCH(int, added);

    addRows(0, rows);
    Table table(perPixel);
    QTableView &view = table.view;
    if (selectFrom >= 0) {
        view.setCurrentIndex(table.model.index(selectFrom, MeasurementModel::Result));
        view.selectionModel()->select(
            QItemSelection(table.model.index(selectFrom, 0), table.model.index(selectTo, MeasurementModel::Unit)),
            QItemSelectionModel::ClearAndSelect);
    }
    if (scrollTo >= 0) {
        view.scrollTo(table.model.index(scrollTo, 0), QAbstractItemView::PositionAtTop);
        if (perPixel) // stop part-way through a row
            view.verticalScrollBar()->setValue(view.verticalScrollBar()->value() + 5);
    }
    const QStringList before = table.seen();
    const QString top = table.rowText(view.rowAt(0));
    QCOMPARE(before.last(), QLatin1String(scrollTo < 0 ? "at top" : "scrolled"));

    addRows(rows, added);
    table.reload();
    QCOMPARE(table.seen(), before);
    // At the top the newest row comes into sight; else the same row stays on top.
    QCOMPARE(table.rowText(view.rowAt(0)), scrollTo < 0 ? table.rowText(0) : top);
    if (perPixel)
        QCOMPARE(view.rowViewportPosition(view.rowAt(0)), -5);
}

void TestViewPositionKeeper::emptiedTableShowsTheTop()
{
    addRows(0, 100);
    Table table;
    table.view.setCurrentIndex(table.model.index(60, 0));
    table.view.scrollTo(table.model.index(50, 0), QAbstractItemView::PositionAtTop);

    QVERIFY(QSqlQuery().exec(QStringLiteral("DELETE FROM data")));
    addRows(500, 2); // the rows seen before are gone, two others came
    table.reload();
    QCOMPARE(table.seen(), QStringList({"no current", "at top"}));
}

QTEST_MAIN(TestViewPositionKeeper)
#include "tst_viewpositionkeeper.moc"
