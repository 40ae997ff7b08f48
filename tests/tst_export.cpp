#include "collectionprobe.h"
#include "exportdialog.h"
#include "windowtestcase.h"
#include "xlsreader.h"
#include "export/xlsxbook.h"

#include <QSqlQuery>
#include <QtTest>
#include <QtWidgets>

using Rows = QList<QStringList>;
using namespace Veltrano::MeasurementExport;

const QStringList kColumns{"sampling_date", "sampling_time", "instrument_id", "result", "unit"};
const QStringList kRow{"2026-01-01", "10:00:00", "B1", "", "+1", "g  "};
// Stored rows (date, time, name, header, result, unit) in export order, and the value each exports.
const Rows kHostile{
    {"2026-01-01", "23:59:59", "=1+2", "", "1.2.3", "<g>&", ""},
    {"2026-01-02", "00:00:00", "O'Brien's\r\nline", "", "-  0,5", "g", "-0.5"},
    {"2026-01-02", "12:00:00", QString::fromUtf8("Mérleg \"ő\", 1; x"), "N     ", "+   12.3456", "g  ", "12.3456"},
    {"2026-01-02", "23:59:59", "O'Brien's\r\nline", "hidden", "no result yet", "no unit yet", ""},
    {"2026-01-03", "00:00:00", QString::fromUtf8("ctl\x01\t_x0041_ 😀"), "", "+1", "g", "1"},
};

static QStringList exported(const QStringList &stored, bool withValue = false)
{
    return QStringList{stored.at(0), stored.at(1), stored.at(2).left(32767), stored.at(4), stored.at(5)} + stored.mid(6, withValue);
}

static QStringList entries() { return QDir().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name); }

class TestExport : public WindowTestCase
{
    Q_OBJECT
private slots:
    void program_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");  // start of the error output
        QTest::addColumn<QString>("rows");     // of kHostile, 1-based, as written; "-": the old files stay
        auto row = [](const char *name, const QString &arguments, const char *setup, int status, const char *message, const char *rows) {
            QTest::newRow(name) << arguments.split('|') << setup << status << (*message ? "veltrano-export: " + QString(message) : "") << rows;
        };
        row("csv", "--quiet|out.csv", "", 0, "", "1 2 3 4 5");
        row("csv on standard output", "-", "", 0, "", "1 2 3 4 5");
        row("csv, semicolons", "--separator|;|out.csv", "", 0, "", "1 2 3 4 5");
        row("xls, the Export button's workbook", "--format|XLS|out.xls", "", 0, "", "1 2 3 4 5");
        row("xlsx, a day, both ends", "--from|2026-01-02|--to|2026-01-02|out.xlsx", "", 0, "", "2 3 4");
        row("to the second", "--from|2026-01-01 23:59:59|--to|2026-01-02T00:00:00|out.csv", "", 0, "", "1 2");
        row("open start", "--to|2026-01-01|out.csv", "", 0, "", "1");
        row("open end", "--from|2026-01-02T23:59:59|out.csv", "", 0, "", "4 5");
        row("one instrument", "--instrument|O'Brien's\r\nline|out.csv", "", 0, "", "2 4");
        row("names and a range", "--instrument|=1+2|--instrument|O'Brien's\r\nline|--to|2026-01-02T00:00:00|out.csv", "", 0, "", "1 2");
        row("no rows: the header only", "--instrument|o'brien's\r\nline|out.xlsx", "", 0, "", "");
        row("unknown option", "--bogus|out.csv", "", 2, "Unknown option 'bogus'.\nUsage: ", "-");
        row("unknown format", "--format|ods|out.csv", "", 2, "unknown format: ods\nUsage: ", "-");
        row("no format", "out.txt", "", 2, "cannot tell the format from the name out.txt: give --format\n", "-");
        row("malformed date", "--to|2026-02-30|out.csv", "", 2, "--to: not a date or date and time: 2026-02-30\n", "-");
        row("reversed dates", "--from|2026-02-02|--to|2026-02-01T10:00:00|out.csv", "", 2, "--from is after --to\n", "-");
        row("no table", "out.csv", "DROP TABLE data", 1, "cannot read the recorded rows: no such table: data\n", "-");
        row("not a database", "--database|out.xlsx|out.csv", "", 1, "cannot read the recorded rows: file is not a database\n", "-");
        row("missing folder", "missing/out.csv", "", 1, "cannot create missing/out.csv: No such file or directory\n", "-");
        row("disk full, csv", "out.csv", "full", 1, "cannot write out.csv: ", "-");
        row("disk full, xlsx", "out.xlsx", "full", 1, "cannot write out.xlsx: ", "-");
    }

    void program()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, setup);
        QFETCH(int, status);
        QFETCH(QString, message);
        QFETCH(QString, rows);
        for (int i : {3, 0, 4, 1, 2})  // stored out of order
            QVERIFY(insertTestRow(kHostile.at(i).mid(0, 6)));
        QVERIFY(insertTestRows(QVector<QStringList>(setup == "full" ? 2000 : 0, kRow).toList()));
        QVERIFY(!setup.startsWith("DROP") || QSqlQuery().exec(setup));
        closeTestDatabase();  // the program reads the file on its own
        const QByteArray old("an old file");
        QVERIFY(writeFile("out.csv", old) && writeFile("out.xls", old) && writeFile("out.xlsx", old));

        QProcess process;  // ignoring SIGXFSZ, writes past the limit fail as on a full disk
        process.start("/bin/sh", QStringList{"-c", (setup == "full" ? "trap '' XFSZ; ulimit -f 64; " : "")
                                             + QString("exec \"$0\" \"$@\""), VELTRANO_EXPORT} + arguments);
        QVERIFY(process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit);
        QCOMPARE(process.exitCode(), status);
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(status ? err.startsWith(message) : err.isEmpty(), qPrintable(err));
        QCOMPARE(entries(), QStringList({"out.csv", "out.xls", "out.xlsx", "sqlite.db"}));  // nothing half-written
        if (arguments.last() == "-")
            QVERIFY(writeFile(arguments.last() = "stdout.csv", process.readAllStandardOutput()));
        QCOMPARE(readFile("out.csv") + readFile("out.xls") + readFile("out.xlsx") == old + old + old,
                 rows == "-" || arguments.last() == "stdout.csv");
        if (rows == "-")
            return;
        const bool xls = arguments.last().endsWith(".xls");
        Rows expected{xls ? kColumns : kColumns + QStringList{"value"}};
        for (const QString &i : rows.split(' ', Qt::SkipEmptyParts))
            expected << exported(kHostile.at(i.toInt() - 1), !xls);
        const XlsContent content = readXls(arguments.last());
        QCOMPARE(content.problems + content.sheetNames, QStringList{arguments.last().endsWith(".csv") ? "" : "data"});
        QCOMPARE(content.sheets.value(0), expected);
    }

    void cancelled()
    {
        QVERIFY(insertTestRows(QVector<QStringList>(3000, kRow).toList()));
        QVERIFY(writeFile("out", "an old file"));
        for (Format format : {Format::Csv, Format::Xlsx, Format::Xls}) {
            int calls = 0;
            const Result result = exportRows(QSqlDatabase::database(), {format, "out", nullptr, QChar(), {}},
                                             [&](qint64, qint64) { return ++calls < 2; });
            QCOMPARE(int(result.step), int(Result::Cancelled));
            QCOMPARE(entries().join(' ') + '|' + readFile("out"), QString("out sqlite.db|an old file"));
        }
    }

    void xlsxSheets()
    {
        Veltrano::XlsxBook book("out.xlsx", "data", {{"n", Veltrano::XlsxBook::Text}}, 2);
        for (const QString &text : QStringList{"1", "2", "3", "4", "5"})
            QVERIFY(book.appendRow(&text, 1));
        QVERIFY(book.close());
        const XlsContent content = readXls("out.xlsx");
        QCOMPARE(content.sheetNames, QStringList({"data", "data_2", "data_3"}));
        QCOMPARE(content.sheets, QList<Rows>({{{"n"}, {"1"}, {"2"}}, {{"n"}, {"3"}, {"4"}}, {{"n"}, {"5"}}}));
    }

    void dialog()
    {
        QVERIFY(insertTestRows({{"2026-01-01", "10:00:00", "A", "", "+1", "g"}, {"2026-01-03", "11:00:00", "B", "", "+2", "g"},
                                {"2026-01-02", "12:00:00", "A", "", "+3", "g"}}));
        MainWindow window;
        m_boxes->setDialogHandler([](QDialog *dialog) {
            QCOMPARE(child<QDateTimeEdit>(dialog, "uFrom")->dateTime(), QDateTime({2026, 1, 1}, {10, 0}));
            QCOMPARE(child<QDateTimeEdit>(dialog, "uTo")->dateTime(), QDateTime({2026, 1, 3}, {11, 0}));
            QListWidgetItem *b = child<QListWidget>(dialog, "uInstruments")->item(1);
            QCOMPARE(b->text() + QString::number(b->checkState()), QString("B%1").arg(Qt::Checked));
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

    void failures_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("target");  // empty: the dialog is cancelled
        QTest::addColumn<QString>("box");     // end of the box's text after the dialog; empty: none

        const QString critical = ") void MainWindow::exportData() ";
        QTest::newRow("cancelled") << "old file" << "" << "";
        QTest::newRow("old file replaced, many rows") << "old file, many rows" << "out.xls" << "";
        QTest::newRow("a folder in the file's place") << "folder" << "out.xls" << critical + "cannot remove the file";
        QTest::newRow("missing folder") << "" << "missing/out.xls" << "Cannot open the destination file!";
        QTest::newRow("table missing, old file kept") << "old file, no table" << "out.xls" << critical + "\"sqlLiteQuery failed during XLS export: no such table: data\"";
        QTest::newRow("text too long for a cell") << "long" << "out.xls" << critical + "\"texts cut to 32767 characters in the workbook: 1\"";
    }

    // Two rows a second, times falling within each date: the pages of the source cut
    // through rows of equal stamps, the workbook goes on a second sheet.
    void failures()
    {
        QFETCH(QString, setup);
        QFETCH(QString, target);
        QFETCH(QString, box);
        Rows stored;
        for (int i = 0; setup.endsWith("many rows") && i < 65540; ++i)
            stored << QStringList{QString("2026-0%1-01").arg(1 + i / 10000),
                                  QTime(0, 0).addSecs(5000 - i % 10000 / 2).toString(), "B", "H", QString::number(i), "g"};
        stored << QStringList{"2026-01-01", "10:00:00", setup == "long" ? QString(40000, 'n') : "B1", "", "+1", "g"};
        QVERIFY(insertTestRows(stored));
        QVERIFY(setup.startsWith("old file") ? writeFile("out.xls", "an old workbook")
                                             : setup != "folder" || QDir().mkdir("out.xls"));
        QVERIFY(!setup.endsWith("no table") || QSqlQuery().exec("DROP TABLE data"));
        MainWindow window;
        const int shown = child<QTableView>(&window, "uTableView")->model()->rowCount();
        stored << QStringList{"2026-01-01", "09:00:00", "late", "", "+2", "g"};
        QVERIFY(setup.endsWith("no table") || insertTestRow(stored.last()));  // exported, not shown

        m_boxes->setDialogHandler([target](QDialog *dialog) {  // the save dialog
            auto *files = qobject_cast<QFileDialog *>(dialog);
            QVERIFY(files && files->acceptMode() == QFileDialog::AcceptSave);
            QCOMPARE(files->windowTitle() + '|' + files->nameFilters().join(';'), "Exporting data...|Excel files (*.xls)");
            files->selectFile(QDir::current().absoluteFilePath(target));
            dialog->done(target.isEmpty() ? QDialog::Rejected : QDialog::Accepted);
        });
        child<QPushButton>(&window, "uExport")->click();
        QTRY_COMPARE(m_boxes->count(), 1 + int(!box.isEmpty()));
        QCOMPARE(m_boxes->texts().join(QChar()).right(box.size()), box);
        QCOMPARE(child<QTableView>(&window, "uTableView")->model()->rowCount(), shown);
        QCOMPARE(entries(), QStringList(target.startsWith("missing") ? QStringList{"sqlite.db"} : QStringList{"out.xls", "sqlite.db"}));
        std::stable_sort(stored.begin(), stored.end(), [](auto &a, auto &b) { return a.mid(0, 2) < b.mid(0, 2); });
        QList<Rows> sheets;
        for (int i = 0; i < stored.size(); ++i)
            (i % 65535 ? sheets.last() : (sheets << Rows{kColumns}).last()) << exported(stored.at(i));
        if (setup == "long" || (box.isEmpty() && !target.isEmpty()))
            QCOMPARE(readXls("out.xls").sheets, sheets);
        else  // a failed export leaves the old file as it was
            QCOMPARE(readFile("out.xls"), QByteArray(setup.startsWith("old file") ? "an old workbook" : ""));
    }

    void clear_data()
    {
        QTest::addColumn<bool>("yes");     // false: the box's default
        QTest::addColumn<bool>("locked");  // a trigger refuses the delete
        QTest::newRow("yes") << true << false;
        QTest::newRow("default is no") << false << false;
        QTest::newRow("delete refused") << true << true;
    }

    void clear()
    {
        QFETCH(bool, yes);
        QFETCH(bool, locked);
        QVERIFY(insertTestRow(kRow));
        QVERIFY(!locked || QSqlQuery().exec("CREATE TRIGGER keep BEFORE DELETE ON data BEGIN SELECT RAISE(ABORT, 'locked'); END"));
        MainWindow window;
        QVERIFY(insertTestRow(kRow));
        if (yes)
            m_boxes->queueAnswer(QMessageBox::Yes);

        child<QPushButton>(&window, "uClear")->click();
        const RecordedBox box = m_boxes->boxes().first();
        QCOMPARE(box.title + '|' + box.text + '|' + box.buttons.join(' ') + '|' + box.answer,
                 QString("Confirm|Do you really want to delete all the previously recorded data?|Yes No|") + (yes ? "Yes" : "No"));
        QTRY_COMPARE(m_boxes->count(), 1 + int(locked));
        QVERIFY(m_boxes->texts().last().endsWith(locked ? "\"cannot delete the recorded data: locked\"" : "data?"));
        QTRY_COMPARE(allTestRows().size(), yes && !locked ? 0 : 2);
        // Reloaded after a delete only.
        QTRY_COMPARE(child<QTableView>(&window, "uTableView")->model()->rowCount(), yes ? allTestRows().size() : 1);
    }
};

QTEST_MAIN(TestExport)
#include "tst_export.moc"
