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

// Runs veltrano-export after `shell` commands; its exit code, output and error output.
int runProgram(const QStringList &arguments, QByteArray *out, QByteArray *err, const QString &shell = {})
{
    QProcess process;
    process.start("/bin/sh", QStringList{"-c", shell + "exec \"$0\" \"$@\"", VELTRANO_EXPORT} + arguments);
    process.waitForFinished(60000);
    *out = process.readAllStandardOutput();
    *err = process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// Presses Export and answers its save dialog with `target` (empty: cancel).
void exportTo(ModalRecorder &boxes, MainWindow &window, const QString &target)
{
    boxes.setDialogHandler([target](QDialog *dialog) {
        auto *files = qobject_cast<QFileDialog *>(dialog);
        QVERIFY(files && files->acceptMode() == QFileDialog::AcceptSave);
        QCOMPARE(files->windowTitle() + '|' + files->nameFilters().join(';'), "Exporting data...|Excel files (*.xls)");
        if (!target.isEmpty())
            files->selectFile(QDir::current().absoluteFilePath(target));
        dialog->done(target.isEmpty() ? QDialog::Rejected : QDialog::Accepted);
    });
    child<QPushButton>(&window, "uExport")->click();
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
    void cancelled();
    void xlsxSheets();
    void dialog();
    void manyRows();
    void failures_data();
    void failures();
    void clear_data();
    void clear();
};

void TestExport::formats_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("sheet");  // empty: CSV
    QTest::addColumn<bool>("withValue");
    QTest::newRow("csv") << QStringList{"out.csv"} << "" << true;
    QTest::newRow("csv on standard output") << QStringList{"-"} << "" << true;
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
    if (arguments.last() == "-")
        QVERIFY(writeFile(arguments.last() = "stdout.csv", out));
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
    QTest::addColumn<QString>("units");    // of the rows written, in order; "-": the old file stays
    auto row = [](const char *name, const QString &arguments, const char *setup, int status, const char *message,
                  const char *units) {
        QTest::newRow(name) << arguments.split('|') << setup << status
                            << (*message ? "veltrano-export: " + QString(message) : "") << units;
    };
    row("everything", "--quiet|out.csv", "", 0, "", "1 2 3 4 5");
    row("a day, both ends", "--from|2026-01-02|--to|2026-01-02|out.xlsx", "", 0, "", "2 3 4");
    row("to the second", "--from|2026-01-01 23:59:59|--to|2026-01-02T00:00:00|out.csv", "", 0, "", "1 2");
    row("open start", "--to|2026-01-01|out.csv", "", 0, "", "1");
    row("open end", "--from|2026-01-02T23:59:59|out.csv", "", 0, "", "4 5");
    row("one instrument", "--instrument|B|out.csv", "", 0, "", "2 4");
    row("names and a range", "--instrument|A|--instrument|B|--from|2026-01-03|out.csv", "", 0, "", "5");
    row("no rows: the header only", "--instrument|a|out.xlsx", "", 0, "", "");
    row("unknown option", "--bogus|out.csv", "", 2, "Unknown option 'bogus'.\nUsage: ", "-");
    row("unknown format", "--format|ods|out.csv", "", 2, "unknown format: ods\nUsage: ", "-");
    row("no format", "out.txt", "", 2, "cannot tell the format from the name out.txt: give --format\n", "-");
    row("malformed date", "--to|2026-02-30|out.csv", "", 2, "--to: not a date or date and time: 2026-02-30\n", "-");
    row("reversed dates", "--from|2026-02-02|--to|2026-02-01T10:00:00|out.csv", "", 2, "--from is after --to\n", "-");
    row("no table", "out.csv", "DROP TABLE data", 1, "cannot read the recorded rows: no such table: data\n", "-");
    row("not a database", "--database|out.xlsx|out.csv", "", 1,
        "cannot read the recorded rows: file is not a database\n", "-");
    row("missing folder", "missing/out.csv", "", 1, "cannot create missing/out.csv: No such file or directory\n", "-");
    row("disk full, csv", "out.csv", "full", 1, "cannot write out.csv: ", "-");
    row("disk full, xlsx", "out.xlsx", "full", 1, "cannot write out.xlsx: ", "-");
}

void TestExport::program()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, setup);
    QFETCH(int, status);
    QFETCH(QString, message);
    QFETCH(QString, units);
    QVERIFY(insertTestRows({{"2026-01-02", "12:00:00", "A", "", "+1", "3"},
                            {"2026-01-01", "23:59:59", "A", "", "+1", "1"},
                            {"2026-01-02", "23:59:59", "B", "", "+1", "4"},
                            {"2026-01-02", "00:00:00", "B", "", "+1", "2"},
                            {"2026-01-03", "00:00:00", "A", "", "+1", "5"}}));
    QVERIFY(insertTestRows(QVector<QStringList>(setup == "full" ? 2000 : 0, kRow).toList()));
    if (setup.startsWith("DROP"))
        QVERIFY(QSqlQuery().exec(setup));
    closeTestDatabase();
    QVERIFY(writeFile("out.csv", "an old file") && writeFile("out.xlsx", "an old file"));

    QByteArray out, err;
    // Ignoring SIGXFSZ, writes past the limit fail as on a full disk.
    QCOMPARE(runProgram(arguments, &out, &err, setup == "full" ? "trap '' XFSZ; ulimit -f 64; " : ""), status);
    QCOMPARE(QString::fromUtf8(err).left(message.size()), message);
    QCOMPARE(entries(), QStringList({"out.csv", "out.xlsx", "sqlite.db"}));  // nothing half-written
    if (units == "-") {
        QCOMPARE(readFile("out.csv") + readFile("out.xlsx"), QByteArray("an old filean old file"));
        return;
    }
    const XlsContent content = readXls(arguments.last());
    QCOMPARE(content.problems, QStringList());
    QStringList written;
    for (const QStringList &cells : content.sheets.value(0).mid(1))
        written << cells.value(4);
    QCOMPARE(written.join(' '), units);
}

void TestExport::cancelled()
{
    QVERIFY(insertTestRows(QVector<QStringList>(3000, kRow).toList()));
    QVERIFY(writeFile("out", "an old file"));
    for (Format format : {Format::Csv, Format::Xlsx, Format::Xls}) {
        int calls = 0;
        const Result result = exportRows(QSqlDatabase::database(), {format, "out", nullptr, QChar(), {}}, [&](qint64, qint64) { return ++calls < 2; });
        QCOMPARE(int(result.step), int(Result::Cancelled));
        QCOMPARE(readFile("out"), QByteArray("an old file"));
        QCOMPARE(entries(), QStringList({"out", "sqlite.db"}));
    }
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
        QListWidgetItem *b = child<QListWidget>(dialog, "uInstruments")->item(1);
        QCOMPARE(b->text(), QString("B"));
        QCOMPARE(b->checkState(), Qt::Checked);
        b->setCheckState(Qt::Unchecked);
        child<QLineEdit>(dialog, "uFile")->setText("out.csv");
        child<QComboBox>(dialog, "uFormat")->setCurrentIndex(1);  // the file name follows
        dialog->accept();
    });
    window.findChild<QAction *>("actionExportData")->trigger();
    QCOMPARE(m_boxes->titles(), QStringList{"Export data"});
    QCOMPARE(readXls("out.xlsx").sheets.value(0).mid(1), Rows({{"2026-01-01", "10:00:00", "A", "+1", "g", "1"},
                                                               {"2026-01-02", "12:00:00", "A", "+3", "g", "3"}}));
}

void TestExport::manyRows()
{
    // Two rows a second, times falling within each date: the pages of the
    // source cut through rows of equal stamps, the workbook goes on a second sheet.
    Rows stored;
    for (int i = 0; i < 65540; ++i)
        stored << QStringList{QString("2026-0%1-01").arg(1 + i / 10000),
                              QTime(0, 0).addSecs(5000 - i % 10000 / 2).toString(), "B", "H", QString::number(i), "g"};
    QVERIFY(insertTestRows(stored));
    MainWindow window;
    exportTo(*m_boxes, window, "many.xls");
    QCOMPARE(m_boxes->count(), 1);

    std::stable_sort(stored.begin(), stored.end(), [](auto &a, auto &b) { return a.mid(0, 2) < b.mid(0, 2); });
    Rows first{kColumns}, second{kColumns};
    for (int i = 0; i < stored.size(); ++i)
        (i < 65535 ? first : second) << exported(stored.at(i));
    QCOMPARE(readXls("many.xls").sheets, QList<Rows>({first, second}));
}

void TestExport::failures_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("target");  // empty: the dialog is cancelled
    QTest::addColumn<QString>("box");     // end of the box's text after the dialog; empty: none
    QTest::addColumn<QByteArray>("left"); // out.xls afterwards; "*": a new workbook

    const QByteArray old("an old workbook");
    const QString critical = ") void MainWindow::exportData() ";
    QTest::newRow("cancelled") << "old file" << "" << "" << old;
    QTest::newRow("old file replaced") << "old file" << "out.xls" << "" << QByteArray("*");
    QTest::newRow("a folder in the file's place") << "folder" << "out.xls" << critical + "cannot remove the file"
                                                  << QByteArray();
    QTest::newRow("missing folder") << "" << "missing/out.xls" << "Cannot open the destination file!" << QByteArray();
    QTest::newRow("table missing, old file kept")
        << "old file, no table" << "out.xls"
        << critical + "\"sqlLiteQuery failed during XLS export: no such table: data\"" << old;
    QTest::newRow("text too long for a cell") << "long" << "out.xls"
                                              << critical + "\"texts cut to 32767 characters in the workbook: 1\""
                                              << QByteArray("*");
}

void TestExport::failures()
{
    QFETCH(QString, setup);
    QFETCH(QString, target);
    QFETCH(QString, box);
    QFETCH(QByteArray, left);

    const QString name = setup == "long" ? QString(40000, 'n') : "B1";
    QVERIFY(insertTestRow({"2026-01-01", "10:00:00", name, "", "+1", "g"}));
    if (setup.startsWith("old file"))
        QVERIFY(writeFile("out.xls", "an old workbook"));
    if (setup == "folder")
        QVERIFY(QDir().mkdir("out.xls"));
    if (setup.endsWith("no table"))
        QVERIFY(QSqlQuery().exec("DROP TABLE data"));
    MainWindow window;
    if (!setup.endsWith("no table"))  // stored after the window opened: exported, not shown
        QVERIFY(insertTestRow({"2026-01-01", "09:00:00", "late", "", "+2", "g"}));

    exportTo(*m_boxes, window, target);
    QCOMPARE(m_boxes->count(), 1 + int(!box.isEmpty()));
    if (!box.isEmpty())
        QVERIFY2(m_boxes->texts().last().endsWith(box), qPrintable(m_boxes->texts().last()));
    QCOMPARE(child<QTableView>(&window, "uTableView")->model()->rowCount(), int(!setup.endsWith("no table")));
    QCOMPARE(entries(), QStringList(target.startsWith("missing") ? QStringList{"sqlite.db"} : QStringList{"out.xls", "sqlite.db"}));
    if (left == "*")
        QCOMPARE(readXls("out.xls").sheets.value(0), Rows({kColumns, {"2026-01-01", "09:00:00", "late", "+2", "g"},
                                                          {"2026-01-01", "10:00:00", name.left(32767), "+1", "g"}}));
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
        QVERIFY(QSqlQuery().exec("CREATE TRIGGER keep BEFORE DELETE ON data BEGIN SELECT RAISE(ABORT, 'locked'); END"));
    MainWindow window;
    QVERIFY(insertTestRow(kRow));
    if (answer != QMessageBox::NoButton)
        m_boxes->queueAnswer(QMessageBox::StandardButton(answer));

    child<QPushButton>(&window, "uClear")->click();
    const RecordedBox box = m_boxes->boxes().first();
    QCOMPARE(box.text, QStringLiteral("Do you really want to delete all the previously recorded data?"));
    QCOMPARE(box.title + box.buttons.join(' ') + box.answer, QString("ConfirmYes No") + (answer ? "Yes" : "No"));
    QCOMPARE(m_boxes->count(), 1 + int(locked));
    QVERIFY(m_boxes->texts().last().endsWith(locked ? "clearData() \"cannot delete the recorded data: locked\"" : "data?"));
    QCOMPARE(allTestRows().size(), remaining);
    // Reloaded after a delete was tried only.
    QCOMPARE(child<QTableView>(&window, "uTableView")->model()->rowCount(), answer ? remaining : 1);
}

QTEST_MAIN(TestExport)
#include "tst_export.moc"
