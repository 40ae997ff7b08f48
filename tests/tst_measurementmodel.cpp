// The table of recorded rows at any depth: pages read in order, the user's
// place kept while rows arrive, and changes made by other programs.
#include "measurementmodel.h"
#include "viewpositionkeeper.h"
#include "windowtestcase.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QSqlQuery>
#include <QTableView>
#include <QTime>

using Veltrano::MeasurementModel;

namespace {

// Rows numbered from `first` on (the number is the result), `perSecond` of
// them in each second, so that many share their date and time.
void addRows(int first, int count, int perSecond = 1)
{
    QList<QStringList> rows;
    for (int i = first; i < first + count; ++i)
        rows << QStringList{"2026-03-01", QTime(8, 0).addSecs(i / perSecond).toString(Qt::ISODate), "B", "",
                            QString::number(i), "g"};
    QVERIFY(insertTestRows(rows));
}

// The results in the order the table is shown, from the table itself.
QStringList expectedOrder()
{
    QStringList results;
    QSqlQuery query("SELECT result FROM data ORDER BY sampling_date DESC, sampling_time DESC, rowid DESC");
    while (query.next())
        results << query.value(0).toString();
    return results;
}

// The results as the model shows them, read in `order` (row numbers).
QStringList shown(const MeasurementModel &model, QVector<int> order = {})
{
    if (order.isEmpty())
        for (int row = 0; row < model.rowCount(); ++row)
            order << row;
    QVector<QString> results(model.rowCount());
    for (int row : order)
        results[row] = model.index(row, MeasurementModel::Result).data().toString();
    return results.toList();
}

struct Table
{
    MeasurementModel model;
    QTableView view;

    explicit Table(bool perPixel = false)
    {
        model.reload();
        view.resize(400, 300);
        view.setVerticalScrollMode(perPixel ? QAbstractItemView::ScrollPerPixel : QAbstractItemView::ScrollPerItem);
        view.setModel(&model);
        new Veltrano::ViewPositionKeeper(&view);
        view.show();
    }
    QString at(int row) const { return model.index(row, MeasurementModel::Result).data().toString(); }
};

} // namespace

class TestMeasurementModel : public WindowTestCase
{
    Q_OBJECT
private slots:
    void pagesInOrder_data();
    void pagesInOrder();
    void keepsThePlace_data();
    void keepsThePlace();
    void followsOtherPrograms_data();
    void followsOtherPrograms();
    void endKeyShowsTheOldestRow();
};

void TestMeasurementModel::pagesInOrder_data()
{
    QTest::addColumn<int>("stride");  // rows between two rows read first
    QTest::addColumn<bool>("upwards");
    QTest::newRow("top down") << 1 << false;
    QTest::newRow("bottom up") << 1 << true;
    QTest::newRow("jumps, then the rows between") << 997 << false;
    QTest::newRow("jumps from the bottom") << 3001 << true;
}

void TestMeasurementModel::pagesInOrder()
{
    QFETCH(int, stride);
    QFETCH(bool, upwards);
    addRows(0, 12000, 50);
    MeasurementModel model;
    model.reload();
    QVector<int> order;
    for (int start = 0; start < stride; ++start)
        for (int row = start; row < model.rowCount(); row += stride)
            order << (upwards ? model.rowCount() - 1 - row : row);
    QCOMPARE(shown(model, order), expectedOrder());
}

void TestMeasurementModel::keepsThePlace_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("depth");  // row brought to the top; 0: the view stays at the top
    QTest::addColumn<bool>("perPixel");
    QTest::addColumn<int>("added");
    QTest::newRow("at the top") << 100 << 0 << false << 2;
    QTest::newRow("10,000 rows down") << 20000 << 10000 << false << 3;
    QTest::newRow("10,000 rows down, by pixels") << 20000 << 10000 << true << 1;
}

void TestMeasurementModel::keepsThePlace()
{
    QFETCH(int, rows);
    QFETCH(int, depth);
    QFETCH(bool, perPixel);
    QFETCH(int, added);
    addRows(0, rows);
    Table table(perPixel);
    QTableView &view = table.view;
    view.scrollTo(table.model.index(depth, 0), QAbstractItemView::PositionAtTop);
    view.selectionModel()->setCurrentIndex(table.model.index(depth + 3, MeasurementModel::Result),
                                           QItemSelectionModel::NoUpdate);
    view.selectionModel()->select(table.model.index(depth + 2, 0),
                                  QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    const QString top = table.at(view.rowAt(0));
    QSignalSpy resets(&table.model, &QAbstractItemModel::modelReset);

    addRows(rows, added);
    table.model.refresh();
    QCOMPARE(table.model.rowCount(), rows + added);
    QCOMPARE(resets.count(), 0);
    // At the top the newest row comes into sight; else the same row stays on top.
    QCOMPARE(table.at(view.rowAt(0)), depth == 0 ? QString::number(rows + added - 1) : top);
    const QModelIndexList selected = view.selectionModel()->selectedRows();
    QCOMPARE(selected.size(), 1);
    QCOMPARE(table.at(selected.first().row()), QString::number(rows - 1 - depth - 2));
    QCOMPARE(view.currentIndex().data().toString(), QString::number(rows - 1 - depth - 3));
}

void TestMeasurementModel::followsOtherPrograms_data()
{
    QTest::addColumn<QStringList>("statements");
    QTest::addColumn<bool>("reset");
    QTest::newRow("table emptied") << QStringList{"DELETE FROM data"} << true;
    QTest::newRow("oldest rows deleted") << QStringList{"DELETE FROM data WHERE rowid <= 100"} << true;
    QTest::newRow("rows in the middle deleted") << QStringList{"DELETE FROM data WHERE rowid BETWEEN 5000 AND 5100"}
                                                << true;
    QTest::newRow("rows written late")
        << QStringList{"INSERT INTO data VALUES('2026-03-01', '08:00:05', 'B', '', 'late 1', 'g')",
                       "INSERT INTO data VALUES('2026-03-01', '08:30:00', 'B', '', 'late 2', 'g')",
                       "INSERT INTO data VALUES('2026-03-02', '00:00:00', 'B', '', 'new', 'g')"}
        << false;
}

void TestMeasurementModel::followsOtherPrograms()
{
    QFETCH(QStringList, statements);
    QFETCH(bool, reset);
    addRows(0, 12000, 4);
    MeasurementModel model;
    model.reload();
    shown(model);
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QVERIFY(prepareDatabaseFile(statements));

    model.refresh();
    // Rows missing in the middle show when their pages are read.
    shown(model);
    QTRY_COMPARE(resets.count(), reset ? 1 : 0);
    QCOMPARE(shown(model), expectedOrder());
}

void TestMeasurementModel::endKeyShowsTheOldestRow()
{
    addRows(0, 20000);
    Table table;
    QVERIFY(QTest::qWaitForWindowExposed(&table.view));
    QTest::keyClick(table.view.viewport(), Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(table.view.currentIndex().row(), 19999);
    QCOMPARE(table.at(table.view.currentIndex().row()), QStringLiteral("0"));
    QVERIFY(table.view.viewport()->rect().contains(table.view.visualRect(table.view.currentIndex())));
}

QTEST_MAIN(TestMeasurementModel)
#include "tst_measurementmodel.moc"
