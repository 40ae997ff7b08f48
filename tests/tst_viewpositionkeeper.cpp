#include "measurementmodel.h"
#include "tempworkdir.h"
#include "testdatabase.h"
#include "viewpositionkeeper.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableView>
#include <QTime>
#include <QtTest>

#include <memory>

using Veltrano::MeasurementModel;
using Veltrano::ViewPositionKeeper;

namespace {

// One stored row per second from 08:00:00 on, so the view shows them newest first.
void addRows(int first, int count)
{
    QSqlDatabase::database().transaction();
    for (int i = first; i < first + count; ++i) {
        const QString time = QTime(8, 0).addSecs(i).toString(Qt::ISODate);
        QVERIFY(insertTestRow({"2024-05-06", time, i % 2 ? "Balance B" : "Balance A", "", QString::number(i), "g  "}));
    }
    QSqlDatabase::database().commit();
}

QString rowText(const QAbstractItemModel *model, int row)
{
    QStringList fields;
    for (int column = 0; column < model->columnCount(); ++column)
        fields << model->index(row, column).data().toString();
    return fields.join(QLatin1Char('|'));
}

// What the user sees: the row at the top, the current row and the selected rows.
struct Seen {
    QString top;
    QString current;
    int currentColumn = -1;
    QStringList selected;
    bool atTop = false;
};

Seen seen(const QTableView &view)
{
    Seen s;
    const QAbstractItemModel *model = view.model();
    s.top = rowText(model, view.rowAt(0));
    if (view.currentIndex().isValid()) {
        s.current = rowText(model, view.currentIndex().row());
        s.currentColumn = view.currentIndex().column();
    }
    for (const QModelIndex &index : view.selectionModel()->selectedIndexes())
        s.selected << rowText(model, index.row()) + QLatin1Char('@') + QString::number(index.column());
    s.selected.sort();
    s.atTop = view.verticalScrollBar()->value() == view.verticalScrollBar()->minimum();
    return s;
}

} // namespace

class TestViewPositionKeeper : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void keepsWhatTheUserSees_data();
    void keepsWhatTheUserSees();
    void emptiedTableShowsTheTop();
    void withoutKeeperTheReloadLosesIt();

private:
    std::unique_ptr<TempWorkDir> m_dir;
    std::unique_ptr<MeasurementModel> m_model;
    std::unique_ptr<QTableView> m_view;
};

void TestViewPositionKeeper::init()
{
    m_dir = std::make_unique<TempWorkDir>();
    QVERIFY(openTestDatabase());
    m_model = std::make_unique<MeasurementModel>();
    m_view = std::make_unique<QTableView>();
    m_view->resize(400, 300);
    m_view->verticalHeader()->hide();
    m_view->show();
}

void TestViewPositionKeeper::cleanup()
{
    m_view.reset();
    m_model.reset();
    closeTestDatabase();
    m_dir.reset();
}

void TestViewPositionKeeper::keepsWhatTheUserSees_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("scrollTo");  // row to bring to the top, -1: leave the view at the top
    QTest::addColumn<bool>("perPixel");
    QTest::addColumn<int>("selectFrom"); // -1: nothing selected
    QTest::addColumn<int>("selectTo");
    QTest::addColumn<int>("added");

    QTest::newRow("at the top, row selected") << 50 << -1 << false << 3 << 3 << 1;
    QTest::newRow("at the top, nothing new") << 50 << -1 << false << 3 << 3 << 0;
    QTest::newRow("at the top, nothing selected") << 50 << -1 << false << -1 << -1 << 2;
    QTest::newRow("scrolled, nothing selected") << 100 << 40 << false << -1 << -1 << 1;
    QTest::newRow("scrolled, rows selected") << 100 << 40 << false << 42 << 45 << 3;
    QTest::newRow("scrolled by pixels") << 100 << 40 << true << 41 << 41 << 2;
    QTest::newRow("scrolled past the first batch") << 1000 << 700 << false << 705 << 705 << 1;
    QTest::newRow("selection out of sight") << 300 << 100 << false << 5 << 5 << 1;
    QTest::newRow("far down, nothing selected") << 20000 << 10000 << false << -1 << -1 << 1;
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
    m_view->setVerticalScrollMode(perPixel ? QAbstractItemView::ScrollPerPixel : QAbstractItemView::ScrollPerItem);
    m_model->setUp();
    m_view->setModel(m_model.get());
    while (m_model->canFetchMore())
        m_model->fetchMore();
    m_view->doItemsLayout();
    if (selectFrom >= 0) {
        m_view->setCurrentIndex(m_model->index(selectFrom, MeasurementModel::Result));
        m_view->selectionModel()->select(QItemSelection(m_model->index(selectFrom, 0),
                                                        m_model->index(selectTo, MeasurementModel::Unit)),
                                         QItemSelectionModel::ClearAndSelect);
    }
    if (scrollTo >= 0) {
        m_view->scrollTo(m_model->index(scrollTo, 0), QAbstractItemView::PositionAtTop);
        if (perPixel) // stop part-way through a row
            m_view->verticalScrollBar()->setValue(m_view->verticalScrollBar()->value() + 5);
    }
    const Seen before = seen(*m_view);
    QCOMPARE(before.atTop, scrollTo < 0);

    addRows(rows, added);
    {
        ViewPositionKeeper keep(m_view.get());
        QVERIFY(m_model->select());
    }

    const Seen after = seen(*m_view);
    QCOMPARE(after.selected, before.selected);
    QCOMPARE(after.current, before.current);
    QCOMPARE(after.currentColumn, before.currentColumn);
    QCOMPARE(after.atTop, before.atTop);
    if (scrollTo < 0) // the newest row is in sight
        QCOMPARE(after.top, rowText(m_model.get(), 0));
    else
        QCOMPARE(after.top, before.top);
    if (perPixel)
        QCOMPARE(m_view->rowViewportPosition(m_view->rowAt(0)), -5);
}

void TestViewPositionKeeper::emptiedTableShowsTheTop()
{
    addRows(0, 100);
    m_model->setUp();
    m_view->setModel(m_model.get());
    m_view->setCurrentIndex(m_model->index(60, 0));
    m_view->scrollTo(m_model->index(50, 0), QAbstractItemView::PositionAtTop);

    QVERIFY(QSqlQuery().exec(QStringLiteral("DELETE FROM data")));
    addRows(500, 2); // the rows seen before are gone, two others came
    {
        ViewPositionKeeper keep(m_view.get());
        QVERIFY(m_model->select());
    }
    QVERIFY(!m_view->currentIndex().isValid());
    QVERIFY(m_view->selectionModel()->selectedIndexes().isEmpty());
    QCOMPARE(m_view->verticalScrollBar()->value(), 0);
}

// Guards the test itself: a plain reload does lose the selection and the place.
void TestViewPositionKeeper::withoutKeeperTheReloadLosesIt()
{
    addRows(0, 100);
    m_model->setUp();
    m_view->setModel(m_model.get());
    m_view->selectRow(60);
    m_view->scrollTo(m_model->index(50, 0), QAbstractItemView::PositionAtTop);
    const Seen before = seen(*m_view);
    addRows(100, 1);
    QVERIFY(m_model->select());
    m_view->doItemsLayout();
    const Seen after = seen(*m_view);
    QVERIFY(after.selected != before.selected);
    QVERIFY(after.top != before.top);
}

QTEST_MAIN(TestViewPositionKeeper)
#include "tst_viewpositionkeeper.moc"
