// The table of recorded rows at any depth: pages read in order, the user's
// place kept while rows arrive, and changes made by other programs.
#include "store/measurementdb.h"
#include "store/measurementmodel.h"
#include "viewpositionkeeper.h"
#include "windowtestcase.h"

#include <QSqlQuery>
#include <QTableView>
#include <QTime>

// Rows numbered from `first` on (the number is the result), `perSecond` of
// them in each second, so that many share their date and time.
static void addRows(int first, int count, int perSecond = 1)
{
    QList<QStringList> rows;
    for (int i = first; i < first + count; ++i)
        rows << QStringList{"2026-03-01", QTime(8, 0).addSecs(i / perSecond).toString(Qt::ISODate), "B", "",
                            QString::number(i), "g"};
    QVERIFY(insertTestRows(rows));
}

static QString result(const QAbstractItemModel &model, int row)
{
    return model.index(row, Veltrano::MeasurementModel::Result).data().toString();
}

class TestMeasurementModel : public WindowTestCase
{
    Q_OBJECT
private slots:
    void showsTheTable_data()
    {
        QTest::addColumn<int>("stride");  // rows between two rows read first; below 0: from the bottom up
        QTest::addColumn<QString>("statements");  // run by another program after a first look, split at ';'
        const QString late("INSERT INTO data VALUES('2026-03-0%1', '%2', 'B', '', 'late %1', 'g');");
        QTest::newRow("top down") << 1 << "";
        QTest::newRow("bottom up") << -1 << "";
        QTest::newRow("jumps, then the rows between") << 997 << "";
        QTest::newRow("jumps from the bottom") << -3001 << "";
        QTest::newRow("rows written late")
            << 1 << late.arg(1).arg("08:00:05") + late.arg(1).arg("08:02:00") + late.arg(2).arg("00:00:00");
        QTest::newRow("table emptied") << 1 << "DELETE FROM data";
        QTest::newRow("oldest rows deleted") << 1 << "DELETE FROM data WHERE rowid <= 100";
        QTest::newRow("rows in the middle deleted") << -1 << "DELETE FROM data WHERE rowid BETWEEN 5000 AND 5100";
    }

    void showsTheTable()
    {
        QFETCH(int, stride);
        QFETCH(QString, statements);
        addRows(0, 12000, 50);
        Veltrano::MeasurementModel model;
        model.reload();
        const auto walk = [&] {
            QVector<QString> shown(model.rowCount());
            for (int start = 0; start < qAbs(stride); ++start)
                for (int i = start; i < model.rowCount(); i += qAbs(stride)) {
                    const int row = stride < 0 ? model.rowCount() - 1 - i : i;
                    shown[row] = result(model, row);
                }
            return shown.toList();
        };
        walk();
        QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
        QVERIFY(prepareDatabaseFile(statements.split(';', Qt::SkipEmptyParts)));
        model.refresh();
        walk();  // rows missing in the middle show when their pages are read
        QTRY_COMPARE(resets.count(), statements.startsWith("DELETE") ? 1 : 0);

        QStringList expected;
        QSqlQuery query("SELECT result FROM data ORDER BY sampling_date DESC, sampling_time DESC, rowid DESC");
        while (query.next())
            expected << query.value(0).toString();
        QCOMPARE(walk(), expected);
    }

    void keepsThePlace_data()
    {
        QTest::addColumn<int>("depth");  // row brought to the top; 0: the view stays at the top
        QTest::addColumn<bool>("perPixel");
        QTest::addColumn<int>("added");
        QTest::newRow("at the top") << 0 << false << 2;
        QTest::newRow("10,000 rows down") << 10000 << false << 3;
        QTest::newRow("10,000 rows down, by pixels") << 10000 << true << 1;
    }

    void keepsThePlace()
    {
        QFETCH(int, depth);
        QFETCH(bool, perPixel);
        QFETCH(int, added);
        const int rows = 2 * depth + 100;
        addRows(0, rows);
        Veltrano::MeasurementModel model;
        model.reload();
        QTableView view;
        view.setVerticalScrollMode(perPixel ? QAbstractItemView::ScrollPerPixel : QAbstractItemView::ScrollPerItem);
        view.setModel(&model);
        new Veltrano::ViewPositionKeeper(&view);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.scrollTo(model.index(depth, 0), QAbstractItemView::PositionAtTop);
        view.selectionModel()->setCurrentIndex(model.index(depth + 3, 0), QItemSelectionModel::NoUpdate);
        view.selectionModel()->select(model.index(depth + 2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        const QString top = result(model, view.rowAt(0));
        QSignalSpy resets(&model, &QAbstractItemModel::modelReset);

        addRows(rows, added);
        model.refresh();
        QVERIFY(model.rowCount() == rows + added && resets.isEmpty());
        // At the top the newest row comes into sight; else the same row stays on top.
        QCOMPARE(result(model, view.rowAt(0)), depth == 0 ? QString::number(rows + added - 1) : top);
        const QModelIndexList selected = view.selectionModel()->selectedRows();
        QCOMPARE(selected.size(), 1);
        QCOMPARE(result(model, selected.first().row()), QString::number(rows - 1 - depth - 2));
        QCOMPARE(result(model, view.currentIndex().row()), QString::number(rows - 1 - depth - 3));

        // The oldest row is one key press away.
        QTest::keyClick(view.viewport(), Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(result(model, view.currentIndex().row()), QStringLiteral("0"));
        QVERIFY(view.viewport()->rect().contains(view.visualRect(view.currentIndex())));
    }

    // Rows whose balance was silent or away are drawn greyed; rows from
    // before provenance (none known) and live rows are not.
    void staleRowsGreyed()
    {
        addRows(0, 1);  // written by another program, without provenance
        QVector<Veltrano::Row> rows;
        for (const char *state : {"live", "repeated", "away", "live", "no reading yet", "immediate read"}) {
            Veltrano::Row row{"2026-03-01", QTime(9, 0).addSecs(rows.size()).toString(Qt::ISODate), "B", "", state, "g"};
            row.provenance.state = QLatin1String(state);
            row.provenance.ageMs = 60000;
            rows << row;
        }
        // An immediate read of a reading that just came is not stale.
        Veltrano::Row fresh{"2026-03-01", "09:01:00", "B", "", "fresh immediate", "g"};
        fresh.provenance.state = QLatin1String(Veltrano::Provenance::kImmediate);
        fresh.provenance.receivedUtc = QStringLiteral("2026-03-01T08:00:59.700Z");
        fresh.provenance.ageMs = 300;
        rows << fresh;
        QString error;
        int failedAt = 0;
        Veltrano::MeasurementModel model;
        model.reload();
        QVERIFY2(Veltrano::MeasurementDb::insertRows(rows, &error, &failedAt), qPrintable(error));
        model.refresh();  // the provenance table came with the first rows
        QStringList shown;
        for (int row = 0; row < model.rowCount(); ++row)
            shown << result(model, row) + (model.index(row, 0).data(Veltrano::MeasurementModel::StaleRole).toBool() ? " grey" : "");
        QCOMPARE(shown, QStringList({"fresh immediate", "immediate read grey", "no reading yet grey", "live", "away grey", "repeated grey",
                                     "live", "0"}));
    }
};

QTEST_MAIN(TestMeasurementModel)
#include "tst_measurementmodel.moc"
