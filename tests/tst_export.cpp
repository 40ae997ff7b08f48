#include "collectionprobe.h"
#include "windowtestcase.h"
#include "xlsreader.h"

#include <QDir>
#include <QFileDialog>
#include <QPushButton>
#include <QSqlQuery>
#include <QTableView>
#include <QtTest>


using Rows = QList<QStringList>;

namespace {

const QStringList kColumns{"sampling_date", "sampling_time", "instrument_id", "result", "unit"};
const QStringList kRow{"2026-01-01", "10:00:00", "B1", "", "+1", "g  "};

// The five exported cells of a stored row (date, time, name, header, result, unit).
QStringList exported(const QStringList &stored)
{
    return {stored.at(0), stored.at(1), stored.at(2), stored.at(4), stored.at(5)};
}

int shownRows(MainWindow &window)
{
    return child<QTableView>(&window, "uTableView")->model()->rowCount();
}

QStringList entries()
{
    return QDir::current().entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class TestExport : public WindowTestCase
{
    Q_OBJECT
private slots:
    void exportsRows();
    void manyRows();
    void tooLongForACell();
    void failures_data();
    void failures();
    void clear_data();
    void clear();
    void clearFailure();

private:
    // Presses Export and answers the save dialog with `target` (empty: cancel).
    void exportTo(MainWindow &window, const QString &target);

    QStringList m_dialogs;  // "title|filters" of each save dialog
};

void TestExport::exportTo(MainWindow &window, const QString &target)
{
    m_dialogs.clear();
    m_boxes->setDialogHandler([this, target](QDialog *dialog) {
        auto *files = qobject_cast<QFileDialog *>(dialog);
        QVERIFY(files && files->acceptMode() == QFileDialog::AcceptSave);
        m_dialogs << files->windowTitle() + '|' + files->nameFilters().join(';');
        if (target.isEmpty())
            return files->reject();
        files->selectFile(QDir::current().absoluteFilePath(target));
        dialog->done(QDialog::Accepted);
    });
    child<QPushButton>(&window, "uExport")->click();
}

void TestExport::exportsRows()
{
    const Rows stored{
        {"2026-12-06", "08:00:00", QString::fromUtf8("Mérleg ő"), "N     ", "+2", "g  "},
        {"2026-12-05", "23:00:00", "O'Brien's balance", "", "+1", "g  "},
        {"2026-12-06", "08:00:00", "B2", "hidden", "it's", "mg "},
        {"2025-12-31", "23:59:59", QString::fromUtf8("Весы 😀"), "", "-0.5", "kg "},
        {"2026-12-06", "07:59:59", "", "", "no result yet", "no unit yet"},
    };
    QVERIFY(insertTestRows(stored));
    MainWindow window;
    QVERIFY(insertTestRow({"2027-01-01", "00:00:00", "late", "", "+9", "g  "}));

    exportTo(window, "out.xls");
    QCOMPARE(m_dialogs, QStringList{"Exporting data...|Excel files (*.xls)"});
    QCOMPARE(m_boxes->count(), 1);  // no message box
    QCOMPARE(shownRows(window), 5);    // the view is not reloaded

    // Oldest first by date, then time; equal stamps in the order stored; rows
    // added after the window opened go out too.
    const XlsContent content = readXls("out.xls");
    QCOMPARE(content.problems, QStringList());
    QCOMPARE(content.sheetNames, QStringList{"data"});
    QCOMPARE(content.sheets.value(0), Rows({kColumns, exported(stored.at(3)), exported(stored.at(1)),
                                            exported(stored.at(4)), exported(stored.at(0)), exported(stored.at(2)),
                                            {"2027-01-01", "00:00:00", "late", "+9", "g  "}}));
    QCOMPARE(entries(), QStringList({"out.xls", "sqlite.db"}));
}

void TestExport::manyRows()
{
    Rows stored;
    for (int i = 0; i < 65540; ++i) {
        stored << QStringList{QString("2026-%1-01").arg(1 + i / 10000, 2, 10, QLatin1Char('0')),
                              QTime(0, 0).addSecs(i % 10000).toString(Qt::ISODate),
                              i % 2 ? QString::fromUtf8("Mérleg ő") : QString("it's B%1").arg(i % 7), "H",
                              QString::number(i), "g  "};
    }
    QVERIFY(insertTestRows(stored));
    MainWindow window;
    exportTo(window, "many.xls");
    QCOMPARE(m_boxes->count(), 1);

    Rows first{kColumns}, second{kColumns};
    for (int i = 0; i < stored.size(); ++i)
        (i < 65535 ? first : second) << exported(stored.at(i));
    const XlsContent content = readXls("many.xls");
    QCOMPARE(content.problems, QStringList());
    QCOMPARE(content.sheetNames, QStringList({"data", "data_2"}));
    QCOMPARE(content.sheets.value(0), first);
    QCOMPARE(content.sheets.value(1), second);
}

void TestExport::tooLongForACell()
{
    const QString name(40000, QLatin1Char('n'));
    QVERIFY(insertTestRows({{"2026-12-06", "08:00:00", name, "", "+1", "g  "},
                            {"2026-12-06", "08:00:01", name, "", "+2", "g  "}}));
    MainWindow window;
    exportTo(window, "long.xls");
    // The workbook is complete, and the user is told that two cells were cut.
    QCOMPARE(m_boxes->titles(), QStringList({"Exporting data...", "Critical"}));
    QVERIFY2(m_boxes->texts().last().endsWith("\"texts cut to 32767 characters in the workbook: 2\""),
             qPrintable(m_boxes->texts().last()));
    const XlsContent content = readXls("long.xls");
    QCOMPARE(content.problems, QStringList());
    QCOMPARE(content.sheets.value(0).value(1).value(2), name.left(32767));
}

void TestExport::failures_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("target");  // empty: the dialog is cancelled
    QTest::addColumn<QString>("box");     // "title|end of text" after the dialog; empty: none
    QTest::addColumn<QByteArray>("left"); // out.xls afterwards; "*": a new workbook

    const QByteArray old("an old workbook");
    QTest::newRow("cancelled") << "old file" << "" << "" << old;
    QTest::newRow("old file replaced") << "old file" << "out.xls" << "" << QByteArray("*");
    QTest::newRow("a folder in the file's place") << "folder" << "out.xls"
                                                  << "Critical|) void MainWindow::exportData() cannot remove the file"
                                                  << QByteArray();
    QTest::newRow("missing folder") << "" << "missing/out.xls" << "Warning|Cannot open the destination file!"
                                    << QByteArray();
    QTest::newRow("table missing, old file kept")
        << "old file, no table" << "out.xls"
        << "Critical|) void MainWindow::exportData() \"sqlLiteQuery failed during XLS export: no such table: data\""
        << old;
}

void TestExport::failures()
{
    QFETCH(QString, setup);
    QFETCH(QString, target);
    QFETCH(QString, box);
    QFETCH(QByteArray, left);

    QVERIFY(insertTestRow(kRow));
    if (setup.startsWith("old file"))
        QVERIFY(writeFile("out.xls", "an old workbook"));
    if (setup == "folder")
        QVERIFY(QDir().mkdir("out.xls"));
    if (setup.endsWith("no table"))
        QVERIFY(QSqlQuery().exec("DROP TABLE data"));

    MainWindow window;
    exportTo(window, target);
    QStringList seen;
    for (const RecordedBox &shown : m_boxes->boxes().mid(1))
        seen << shown.title + '|' + shown.text;
    QCOMPARE(seen.size(), int(!box.isEmpty()));
    if (!box.isEmpty()) {
        const QString title = box.section('|', 0, 0);
        const QString prefix = title == "Critical" ? "Critical|src/app/mainwindow_export.cpp ( " : title + '|';
        QVERIFY2(seen.first().startsWith(prefix) && seen.first().endsWith(box.section('|', 1)), qPrintable(seen.first()));
    }
    QCOMPARE(entries(), QStringList(setup.isEmpty() ? QStringList{"sqlite.db"} : QStringList{"out.xls", "sqlite.db"}));
    if (left == "*")
        QCOMPARE(readXls("out.xls").sheets.value(0), Rows({kColumns, exported(kRow)}));
    else
        QCOMPARE(readFile("out.xls"), left);  // a failed export leaves the old file as it was
}

void TestExport::clear_data()
{
    QTest::addColumn<int>("answer");  // NoButton: the box's default
    QTest::addColumn<QString>("pressed");
    QTest::addColumn<int>("remaining");
    QTest::newRow("yes") << int(QMessageBox::Yes) << "Yes" << 0;
    QTest::newRow("default is no") << int(QMessageBox::NoButton) << "No" << 2;
}

void TestExport::clear()
{
    QFETCH(int, answer);
    QFETCH(QString, pressed);
    QFETCH(int, remaining);
    QVERIFY(insertTestRow(kRow));
    MainWindow window;
    QVERIFY(insertTestRow(kRow));
    if (answer != QMessageBox::NoButton)
        m_boxes->queueAnswer(QMessageBox::StandardButton(answer));

    child<QPushButton>(&window, "uClear")->click();
    QCOMPARE(m_boxes->count(), 1);
    const RecordedBox box = m_boxes->boxes().first();
    QCOMPARE(box.title + '|' + box.text, QStringLiteral("Confirm|Do you really want to delete all the previously recorded data?"));
    QCOMPARE(box.buttons, QStringList({"Yes", "No"}));
    QCOMPARE(box.answer, pressed);
    QCOMPARE(allTestRows().size(), remaining);
    QCOMPARE(shownRows(window), remaining ? 1 : 0);  // reloaded after a delete only
}

void TestExport::clearFailure()
{
    QVERIFY(insertTestRow(kRow));
    QVERIFY(QSqlQuery().exec("CREATE TRIGGER keep BEFORE DELETE ON data BEGIN SELECT RAISE(ABORT, 'rows are locked'); END"));
    MainWindow window;
    QVERIFY(insertTestRow(kRow));
    m_boxes->queueAnswer(QMessageBox::Yes);

    child<QPushButton>(&window, "uClear")->click();
    QCOMPARE(m_boxes->titles(), QStringList({"Confirm", "Critical"}));
    const QString text = m_boxes->texts().at(1);
    QVERIFY2(text.startsWith("src/app/mainwindow_export.cpp ( ")
                 && text.endsWith(") void MainWindow::clearData() \"cannot delete the recorded data: rows are locked\""),
             qPrintable(text));
    QCOMPARE(allTestRows().size(), 2);
    QCOMPARE(shownRows(window), 2);  // reloaded all the same
}

QTEST_MAIN(TestExport)
#include "tst_export.moc"
