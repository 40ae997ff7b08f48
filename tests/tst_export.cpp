#include "collectionprobe.h"
#include "exportdialog.h"
#include "windowtestcase.h"
#include "xlsreader.h"
#include "xlsxbook.h"

#include <QAction>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QSqlQuery>
#include <QTableView>
#include <QtTest>

using Rows = QList<QStringList>;
using namespace Veltrano::MeasurementExport;

namespace {

const QStringList kColumns{"sampling_date", "sampling_time", "instrument_id", "result", "unit"};
const QStringList kRow{"2026-01-01", "10:00:00", "B1", "", "+1", "g  "};
// Stored rows (date, time, name, header, result, unit) and the value each exports.
const Rows kHostile{
    {"2026-12-06", "08:00:00", QString::fromUtf8("Mérleg \"ő\", 1; x"), "N     ", "+   12.3456", "g  "},
    {"2026-12-05", "23:00:00", "O'Brien's\r\nline", "", "-  0,5", "g"},
    {"2026-12-06", "08:00:00", QString::fromUtf8("ctl\x01\t_x0041_ 😀"), "hidden", "no result yet", "no unit yet"},
    {"2025-12-31", "23:59:59", "=1+2", "", "1.2.3", "<g>&"},
};
const QStringList kHostileValues{"12.3456", "-0.5", "", ""};

QStringList exported(const QStringList &stored, const QString &value = QString())
{
    QStringList cells{stored.at(0), stored.at(1), stored.at(2), stored.at(4), stored.at(5)};
    return value.isNull() ? cells : cells << value;
}

QStringList entries()
{
    return QDir::current().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// Runs veltrano-export (through `shell` when given); its exit code, output and error output.
int runProgram(const QStringList &arguments, QByteArray *out, QByteArray *err, const QString &shell = {})
{
    QProcess process;
    if (shell.isEmpty())
        process.start(VELTRANO_EXPORT, arguments);
    else
        process.start("/bin/sh", QStringList{"-c", shell, VELTRANO_EXPORT} + arguments);
    process.waitForFinished(60000);
    *out = process.readAllStandardOutput();
    *err = process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace

class TestExport : public WindowTestCase
{
    Q_OBJECT
private slots:
    void formats_data();
    void formats();
    void program_data();
    void program();
    void ranges_data();
    void ranges();
    void cancelled_data();
    void cancelled();
    void xlsxSheets();
    void dialog();
    void exportButton();
    void manyRows();
    void failures_data();
    void failures();
    void clear_data();
    void clear();

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

void TestExport::formats_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("sheet");  // empty: CSV
    QTest::addColumn<bool>("withValue");
    QTest::newRow("csv") << QStringList{"out.csv"} << "" << true;
    QTest::newRow("csv, semicolons") << QStringList{"--separator", ";", "out.csv"} << "" << true;
    QTest::newRow("xlsx") << QStringList{"out.xlsx"} << "data" << true;
    QTest::newRow("xls, the Export button's workbook") << QStringList{"--format", "XLS", "out.xls"} << "data" << false;
}

void TestExport::formats()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, sheet);
    QFETCH(bool, withValue);
    QVERIFY(insertTestRows(kHostile));
    closeTestDatabase();  // the program reads the file on its own

    QByteArray out, err;
    QCOMPARE(runProgram(arguments, &out, &err), 0);
    QCOMPARE(err, QByteArray());
    Rows expected{withValue ? kColumns + QStringList{"value"} : kColumns};
    for (int i : {3, 1, 0, 2})
        expected << exported(kHostile.at(i), withValue ? kHostileValues.at(i) : QString());
    const XlsContent content = readXls(arguments.last());
    QCOMPARE(content.problems, QStringList());
    QCOMPARE(content.sheetNames, QStringList{sheet});
    QCOMPARE(content.sheets.value(0), expected);
}

void TestExport::program_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");  // start of the error output
    QTest::addColumn<int>("rows");          // data rows written; -1: the old file stays

    const QString usage = "veltrano-export: ";
    QTest::newRow("written") << QStringList{"out.csv"} << "" << 0 << "" << 1;
    QTest::newRow("no rows in the range") << QStringList{"--from", "2030-01-01", "out.xlsx"} << "" << 0 << "" << 0;
    QTest::newRow("unknown option") << QStringList{"--bogus", "out.csv"} << "" << 2
                                    << usage + "Unknown option 'bogus'.\nUsage: " << -1;
    QTest::newRow("unknown format") << QStringList{"--format", "ods", "out.csv"} << "" << 2
                                    << usage + "unknown format: ods\nUsage: " << -1;
    QTest::newRow("no format") << QStringList{"out.txt"} << "" << 2
                               << usage + "cannot tell the format from the name out.txt: give --format\n" << -1;
    QTest::newRow("malformed date") << QStringList{"--to", "2026-02-30", "out.csv"} << "" << 2
                                    << usage + "--to: not a date or date and time: 2026-02-30\n" << -1;
    QTest::newRow("reversed dates") << QStringList{"--from", "2026-02-02", "--to", "2026-02-01T10:00:00", "out.csv"}
                                    << "" << 2 << usage + "--from is after --to\n" << -1;
    QTest::newRow("no table") << QStringList{"out.csv"} << "DROP TABLE data" << 1
                              << usage + "cannot read the recorded rows: no such table: data\n" << -1;
    QTest::newRow("not a database") << QStringList{"--database", "out.xlsx", "out.csv"} << "" << 1
                                    << usage + "cannot read the recorded rows: file is not a database\n" << -1;
    QTest::newRow("missing folder") << QStringList{"missing/out.csv"} << "" << 1
                                    << usage + "cannot create missing/out.csv: No such file or directory\n" << -1;
    QTest::newRow("disk full, csv") << QStringList{"out.csv"} << "full" << 1 << usage + "cannot write out.csv: "
                                    << -1;
    QTest::newRow("disk full, xlsx") << QStringList{"out.xlsx"} << "full" << 1 << usage + "cannot write out.xlsx: "
                                     << -1;
}

void TestExport::program()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, setup);
    QFETCH(int, status);
    QFETCH(QString, message);
    QFETCH(int, rows);
    QVERIFY(insertTestRows(setup == "full" ? QVector<QStringList>(2000, kRow).toList() : Rows{kRow}));
    if (setup.startsWith("DROP"))
        QVERIFY(QSqlQuery().exec(setup));
    closeTestDatabase();
    QVERIFY(writeFile("out.csv", "an old file") && writeFile("out.xlsx", "an old file"));

    QByteArray out, err;
    // Ignoring SIGXFSZ, writes past the limit fail as on a full disk.
    const QString shell = setup == "full" ? "trap '' XFSZ; ulimit -f 64; exec \"$0\" \"$@\"" : "";
    QCOMPARE(runProgram(arguments, &out, &err, shell), status);
    QCOMPARE(QString::fromUtf8(err).left(message.size()), message);
    QCOMPARE(entries(), QStringList({"out.csv", "out.xlsx", "sqlite.db"}));  // nothing half-written
    if (rows < 0) {
        QCOMPARE(readFile("out.csv") + readFile("out.xlsx"), QByteArray("an old filean old file"));
    } else {
        const XlsContent content = readXls(arguments.last());
        QCOMPARE(content.problems, QStringList());
        QCOMPARE(content.sheets.value(0).size(), 1 + rows);
    }
}

void TestExport::ranges_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("units");  // of the rows written, in order

    QTest::newRow("everything") << QStringList{} << "1 2 3 4 5";
    QTest::newRow("a day, both ends") << QStringList{"--from", "2026-01-02", "--to", "2026-01-02"} << "2 3 4";
    QTest::newRow("to the second") << QStringList{"--from", "2026-01-01 23:59:59", "--to", "2026-01-02T00:00:00"}
                                   << "1 2";
    QTest::newRow("open start") << QStringList{"--to", "2026-01-01"} << "1";
    QTest::newRow("open end") << QStringList{"--from", "2026-01-02T23:59:59"} << "4 5";
    QTest::newRow("one instrument") << QStringList{"--instrument", "B"} << "2 4";
    QTest::newRow("names and a range") << QStringList{"--instrument", "A", "--instrument", "B", "--from", "2026-01-03"}
                                       << "5";
    QTest::newRow("names match exactly") << QStringList{"--instrument", "a"} << "";
}

void TestExport::ranges()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, units);
    QVERIFY(insertTestRows({{"2026-01-02", "12:00:00", "A", "", "+1", "3"},
                            {"2026-01-01", "23:59:59", "A", "", "+1", "1"},
                            {"2026-01-02", "23:59:59", "B", "", "+1", "4"},
                            {"2026-01-02", "00:00:00", "B", "", "+1", "2"},
                            {"2026-01-03", "00:00:00", "A", "", "+1", "5"}}));
    QByteArray out, err;
    QCOMPARE(runProgram(arguments << "--quiet" << "-", &out, &err), 0);
    QStringList written;
    for (const QByteArray &line : out.split('\n').mid(1, out.count('\n') - 1))
        written << line.split(',').value(4);
    QCOMPARE(written.join(' '), units);
}

void TestExport::cancelled_data()
{
    QTest::addColumn<int>("format");
    QTest::newRow("csv") << int(Format::Csv);
    QTest::newRow("xlsx") << int(Format::Xlsx);
    QTest::newRow("xls") << int(Format::Xls);
}

void TestExport::cancelled()
{
    QFETCH(int, format);
    QVERIFY(insertTestRows(QVector<QStringList>(3000, kRow).toList()));
    QVERIFY(writeFile("out", "an old file"));
    Request request;
    request.format = Format(format);
    request.fileName = "out";
    qint64 calls = 0;
    const Result result = exportRows(QSqlDatabase::database(), request, [&calls](qint64, qint64) { return ++calls < 2; });
    QCOMPARE(int(result.step), int(Result::Cancelled));
    QCOMPARE(readFile("out"), QByteArray("an old file"));
    QCOMPARE(entries(), QStringList({"out", "sqlite.db"}));
}

void TestExport::xlsxSheets()
{
    Veltrano::XlsxBook book("out.xlsx", "data", {{"n", Veltrano::XlsxBook::Text}}, 2);
    for (const QString &text : QStringList{"1", "2", "3", "4", "5"})
        QVERIFY(book.appendRow(&text, 1));
    QVERIFY(book.close());
    const XlsContent content = readXls("out.xlsx");
    QCOMPARE(content.sheetNames, QStringList({"data", "data_2", "data_3"}));
    QCOMPARE(content.sheets, QList<Rows>({{{"n"}, {"1"}, {"2"}}, {{"n"}, {"3"}, {"4"}}, {{"n"}, {"5"}}}));
}

void TestExport::dialog()
{
    QVERIFY(insertTestRows({{"2026-01-01", "10:00:00", "A", "", "+1", "g"},
                            {"2026-01-03", "11:00:00", "B", "", "+2", "g"},
                            {"2026-01-02", "12:00:00", "A", "", "+3", "g"}}));
    MainWindow window;
    m_boxes->setDialogHandler([](QDialog *dialog) {
        QCOMPARE(child<QDateTimeEdit>(dialog, "uFrom")->dateTime(), QDateTime({2026, 1, 1}, {10, 0}));
        QCOMPARE(child<QDateTimeEdit>(dialog, "uTo")->dateTime(), QDateTime({2026, 1, 3}, {11, 0}));
        auto *names = child<QListWidget>(dialog, "uInstruments");
        QCOMPARE(names->count(), 2);
        QCOMPARE(names->item(1)->text(), QString("B"));
        QCOMPARE(names->item(1)->checkState(), Qt::Checked);
        names->item(1)->setCheckState(Qt::Unchecked);
        child<QLineEdit>(dialog, "uFile")->setText("out.csv");
        child<QComboBox>(dialog, "uFormat")->setCurrentIndex(1);  // the file name follows
        dialog->accept();
    });
    window.findChild<QAction *>("actionExportData")->trigger();
    QCOMPARE(m_boxes->titles(), QStringList{"Export data"});
    const XlsContent content = readXls("out.xlsx");
    QCOMPARE(content.problems, QStringList());
    QCOMPARE(content.sheets.value(0).mid(1), Rows({{"2026-01-01", "10:00:00", "A", "+1", "g", "1"},
                                                   {"2026-01-02", "12:00:00", "A", "+3", "g", "3"}}));
}

void TestExport::exportButton()
{
    QVERIFY(insertTestRows(kHostile));
    MainWindow window;
    QVERIFY(insertTestRow({"2027-01-01", "00:00:00", "late", "", "+9", "g  "}));

    exportTo(window, "out.xls");
    QCOMPARE(m_dialogs, QStringList{"Exporting data...|Excel files (*.xls)"});
    QCOMPARE(m_boxes->count(), 1);  // no message box
    QCOMPARE(child<QTableView>(&window, "uTableView")->model()->rowCount(), 4);  // not reloaded
    // Rows added after the window opened go out too.
    const XlsContent content = readXls("out.xls");
    QCOMPARE(content.problems, QStringList());
    QCOMPARE(content.sheets.value(0).last(), QStringList({"2027-01-01", "00:00:00", "late", "+9", "g  "}));
    QCOMPARE(entries(), QStringList({"out.xls", "sqlite.db"}));
}

void TestExport::manyRows()
{
    // Two rows a second, times falling within each date: the pages of the
    // source cut through rows of equal stamps, the workbook goes on a second sheet.
    Rows stored;
    for (int i = 0; i < 65540; ++i) {
        stored << QStringList{QString("2026-%1-01").arg(1 + i / 10000, 2, 10, QLatin1Char('0')),
                              QTime(0, 0).addSecs(5000 - i % 10000 / 2).toString(Qt::ISODate), "B", "H",
                              QString::number(i), "g"};
    }
    QVERIFY(insertTestRows(stored));
    MainWindow window;
    exportTo(window, "many.xls");
    QCOMPARE(m_boxes->count(), 1);

    std::stable_sort(stored.begin(), stored.end(), [](const QStringList &a, const QStringList &b) {
        return a.mid(0, 2) < b.mid(0, 2);
    });
    Rows first{kColumns}, second{kColumns};
    for (int i = 0; i < stored.size(); ++i)
        (i < 65535 ? first : second) << exported(stored.at(i));
    const XlsContent content = readXls("many.xls");
    QCOMPARE(content.sheetNames, QStringList({"data", "data_2"}));
    QCOMPARE(content.sheets, QList<Rows>({first, second}));
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
    QTest::newRow("text too long for a cell")
        << "long" << "out.xls"
        << "Critical|) void MainWindow::exportData() \"texts cut to 32767 characters in the workbook: 1\"" << QByteArray("*");
}

void TestExport::failures()
{
    QFETCH(QString, setup);
    QFETCH(QString, target);
    QFETCH(QString, box);
    QFETCH(QByteArray, left);

    const QStringList row = setup == "long" ? QStringList{"2026-01-01", "10:00:00", QString(40000, 'n'), "", "+1", "g"} : kRow;
    QVERIFY(insertTestRow(row));
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
    QCOMPARE(entries(), QStringList(target.startsWith("missing") ? QStringList{"sqlite.db"} : QStringList{"out.xls", "sqlite.db"}));
    if (left == "*")
        QCOMPARE(readXls("out.xls").sheets.value(0), Rows({kColumns, exported(row).replaceInStrings(QString(40000, 'n'), QString(32767, 'n'))}));
    else
        QCOMPARE(readFile("out.xls"), left);  // a failed export leaves the old file as it was
}

void TestExport::clear_data()
{
    QTest::addColumn<int>("answer");  // NoButton: the box's default
    QTest::addColumn<bool>("locked"); // a trigger refuses the delete
    QTest::addColumn<int>("remaining");
    QTest::newRow("yes") << int(QMessageBox::Yes) << false << 0;
    QTest::newRow("default is no") << int(QMessageBox::NoButton) << false << 2;
    QTest::newRow("delete refused") << int(QMessageBox::Yes) << true << 2;
}

void TestExport::clear()
{
    QFETCH(int, answer);
    QFETCH(bool, locked);
    QFETCH(int, remaining);
    QVERIFY(insertTestRow(kRow));
    if (locked)
        QVERIFY(QSqlQuery().exec("CREATE TRIGGER keep BEFORE DELETE ON data BEGIN SELECT RAISE(ABORT, 'rows are locked'); END"));
    MainWindow window;
    QVERIFY(insertTestRow(kRow));
    if (answer != QMessageBox::NoButton)
        m_boxes->queueAnswer(QMessageBox::StandardButton(answer));

    child<QPushButton>(&window, "uClear")->click();
    const RecordedBox box = m_boxes->boxes().first();
    QCOMPARE(box.title + '|' + box.text, QStringLiteral("Confirm|Do you really want to delete all the previously recorded data?"));
    QCOMPARE(box.buttons, QStringList({"Yes", "No"}));
    QCOMPARE(box.answer, QString(answer == QMessageBox::Yes ? "Yes" : "No"));
    QCOMPARE(m_boxes->count(), locked ? 2 : 1);
    if (locked)
        QVERIFY(m_boxes->texts().at(1).endsWith(") void MainWindow::clearData() \"cannot delete the recorded data: rows are locked\""));
    QCOMPARE(allTestRows().size(), remaining);
    // Reloaded after a delete was tried only.
    QCOMPARE(child<QTableView>(&window, "uTableView")->model()->rowCount(), answer == QMessageBox::Yes ? remaining : 1);
}

QTEST_MAIN(TestExport)
#include "tst_export.moc"
