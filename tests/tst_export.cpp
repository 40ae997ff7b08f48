#include "collectionprobe.h"
#include "exportdialog.h"
#include "windowtestcase.h"
#include "xlsreader.h"
#include "export/xlsxbook.h"
#include "store/measurementdb.h"

#include <QSqlQuery>
#include <QtTest>
#include <QtWidgets>

#include <sys/stat.h>
#include <sys/sysmacros.h>

using Rows = QList<QStringList>;
using namespace Veltrano::MeasurementExport;

const QStringList kColumns{"sampling_date", "sampling_time", "instrument_id", "result", "unit"};
const QStringList kRow{"2026-01-01", "10:00:00", "B1", "", "+1", "g  "};
// Stored rows (date, time, name, header, result, unit) in export order, and the value each exports.
const Rows kHostile{
    {"2026-01-01", "23:59:59", "=1+2", "", "1.2.3", "<g>&", ""},
    {"2026-01-02", "00:00:00", "O'Brien's\r\nline", "", "-  0,5", "g", "-0.5"},
    {"2026-01-02", "12:00:00", QString::fromUtf8("Mérleg \"ő\", 1; x"), "N     ", "+   12.3450", "g  ", "12.3450"},
    {"2026-01-02", "23:59:59", "O'Brien's\r\nline", "hidden", "no result yet", "no unit yet", ""},
    {"2026-01-03", "00:00:00", QString::fromUtf8("ctl\x01\t_x0041_ 😀"), "", "+1", "g", "1"},
};

static QStringList exported(const QStringList &stored, bool withValue = false)
{
    return QStringList{stored.at(0), stored.at(1), stored.at(2).left(32767), stored.at(4), stored.at(5)} + stored.mid(6, withValue);
}

// Stores `rows`, then runs the program: what it wrote to its outputs, or
// "failed: " and that when it does not end with `status`.
static QByteArray runExport(const QVector<Veltrano::Row> &rows, const QStringList &arguments, int status = 0)
{
    QString error;
    int failedAt = 0;
    if (!Veltrano::MeasurementDb::insertRows(rows, &error, &failedAt))
        return "failed: " + error.toUtf8();
    QProcess process;
    process.start(VELTRANO_EXPORT, arguments);
    const bool ok = process.waitForFinished(30000) && process.exitCode() == status;
    const QByteArray output = process.readAllStandardOutput() + process.readAllStandardError();
    return ok ? output : "failed: " + output;
}

static QStringList entries() { return QDir().entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name); }

class TestExport : public WindowTestCase
{
    Q_OBJECT
private slots:
    void program_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");  // the error output, or its start on a failure
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
        row("to the minute", "--from|2026-01-01T23:59|--to|2026-01-02 00:00|out.csv", "", 0, "", "1 2");
        row("decimal comma, semicolons", "--decimal-comma|out.csv", "", 0, "", "1 2 3 4 5");
        row("no rows: the header only, the name told", "--instrument|o'brien's\r\nline|out.xlsx", "", 0,
            "no row of the instrument \"o'brien's\r\nline\" is recorded; names are case-sensitive, recorded: \"O'Brien's\r\nline\"\n", "");
        row("unknown option", "--bogus|out.csv", "", 2, "Unknown option 'bogus'.\nTry 'veltrano-export --help' for more information.\n", "-");
        row("unknown format", "--format|ods|out.csv", "", 2, "unknown format: ods\nTry 'veltrano-export --help' for more information.\n", "-");
        row("decimal comma in a workbook", "--decimal-comma|out.xlsx", "", 2, "--decimal-comma is for CSV only\n", "-");
        row("weighings in a workbook of five columns", "--weighings|out.xls", "", 2, "--weighings is for CSV and xlsx only", "-");
        row("weighings have no value for a comma", "--weighings|--decimal-comma|out.csv", "", 2,
            "--decimal-comma is for the value column, which --weighings has not\n", "-");
        row("weighings not from the archive", "--weighings|--cleared|out.csv", "", 2, "--cleared exports the whole archive", "-");
        row("the archive in a workbook", "--cleared|out.xlsx", "", 2, "--cleared is for CSV only\n", "-");
        row("the archive has no range", "--cleared|--from|2026-01-02|-", "", 2, "--cleared exports the whole archive", "-");
        row("a FIFO, read by a child", "--format|xlsx|pipe", "fifo", 0, "", "1 2 3 4 5");
        row("a device: csv", "--format|csv|full", "device", 1, "cannot write full: No space left on device\n", "-");
        row("a device: xlsx", "--format|xlsx|full", "device", 1, "cannot write full: No space left on device\n", "-");
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
        QStringList files{"out.csv", "out.xls", "out.xlsx", "sqlite.db"};
        QProcess reader;
        if (setup == "fifo") {
            QVERIFY(mkfifo("pipe", 0600) == 0);
            reader.start("/bin/sh", {"-c", "exec cat pipe > read.xlsx"});
            QVERIFY(reader.waitForStarted());
            files << "pipe" << "read.xlsx";
        }
        QVERIFY(setup != "device" || mknod("full", S_IFCHR | 0600, makedev(1, 7)) == 0);  // as /dev/full
        files << (setup == "device" ? QStringList{"full"} : QStringList());
        std::sort(files.begin(), files.end());

        QProcess process;  // ignoring SIGXFSZ, writes past the limit fail as on a full disk
        process.start("/bin/sh", QStringList{"-c", (setup == "full" ? "trap '' XFSZ; ulimit -f 64; " : "")
                                             + QString("exec \"$0\" \"$@\""), VELTRANO_EXPORT} + arguments);
        QVERIFY(process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit);
        QCOMPARE(process.exitCode(), status);
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(status ? err.startsWith(message) : err == message, qPrintable(err));
        QCOMPARE(entries(), files);  // nothing half-written, nothing in place of the FIFO or device
        struct stat device;
        QVERIFY(setup != "device" || (stat("full", &device) == 0 && S_ISCHR(device.st_mode)));
        if (arguments.last() == "-")
            QVERIFY(writeFile(arguments.last() = "stdout.csv", process.readAllStandardOutput()));
        if (setup == "fifo") {
            QVERIFY(reader.waitForFinished() && reader.exitCode() == 0);
            arguments.last() = "read.xlsx";
        }
        QCOMPARE(readFile("out.csv") + readFile("out.xls") + readFile("out.xlsx") == old + old + old,
                 rows == "-" || !arguments.last().startsWith("out."));
        if (rows == "-")
            return;
        const bool xls = arguments.last().endsWith(".xls");
        Rows expected{xls ? kColumns : kColumns + QStringList{"value"}};
        for (const QString &i : rows.split(' ', Qt::SkipEmptyParts))
            expected << exported(kHostile.at(i.toInt() - 1), !xls);
        for (QStringList &line : expected)
            line.last().replace('.', arguments.contains("--decimal-comma") ? ',' : '.');
        const XlsContent content = readXls(arguments.last());
        QCOMPARE(content.problems + content.sheetNames, QStringList{arguments.last().endsWith(".csv") ? "" : "data"});
        QCOMPARE(content.sheets.value(0), expected);
    }

    // The provenance columns after the value, for CSV and .xlsx; every export
    // of a file goes to the audit trail with the file's SHA-256.
    void provenance_data()
    {
        QTest::addColumn<QString>("output");
        QTest::newRow("csv") << "out.csv";
        QTest::newRow("xlsx") << "out.xlsx";
        QTest::newRow("xls keeps its five columns: refused") << "out.xls";
    }

    void provenance()
    {
        QFETCH(QString, output);
        const int status = output.endsWith(".xls") ? 2 : 0;
        QVERIFY(insertTestRow(kRow));  // from before provenance
        QVector<Veltrano::Row> rows(2, Veltrano::Row{"2026-01-01", "10:00:01", "B1", "", "+2", "g"});
        rows[0].provenance.state = "live";
        rows[0].provenance.receivedUtc = "2026-01-01T09:00:00.750Z";
        rows[0].provenance.ageMs = 250;
        rows[1].provenance.state = "away";
        rows[1].provenance.check = "overdue";
        const QByteArray told = runExport(rows, {"--provenance", output}, status);
        QVERIFY2(!told.startsWith("failed"), told.constData());
        QSqlQuery audit("SELECT details FROM audit WHERE kind = 'export'");
        QCOMPARE(audit.next(), status == 0);
        if (status)
            return;
        QCOMPARE(readXls(output).sheets.value(0).value(0).mid(5),
                 QStringList({"value", "state", "received (UTC)", "age (s)", "hash", "check"}));
        QStringList shown;
        for (const QStringList &row : readXls(output).sheets.value(0).mid(1))
            shown << row.mid(6, 3).join('|') + '|' + QString::number(row.value(9).size()) + '|' + row.value(10);
        QCOMPARE(shown, QStringList({"|||0|", "live|2026-01-01T09:00:00.750Z|0.250|64|", "away|||64|overdue"}));
        QCryptographicHash sha(QCryptographicHash::Sha256);
        sha.addData(readFile(output));
        QVERIFY2(audit.value(0).toString().contains("\"rows\":3,\"sha256\":\"" + sha.result().toHex() + '"'),
                 qPrintable(audit.value(0).toString()));
    }

    // Only the rows that are weighings, one per line, with the header before
    // the result and the weighing's columns after the unit.
    void weighings_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("csv") << QStringList{"--weighings", "out.csv"};
        QTest::newRow("xlsx, one instrument") << QStringList{"--weighings", "--instrument", "B2", "out.xlsx"};
        QTest::newRow("with provenance after") << QStringList{"--weighings", "--provenance", "out.csv"};
    }

    void weighings()
    {
        QFETCH(QStringList, arguments);
        const int columns = arguments.contains("--provenance") ? 17 : 12;
        QVector<Veltrano::Row> rows{{"2026-01-01", "10:00:00", "B1", "", "+1", "g"},
                                    {"2026-01-01", "10:00:05", "B1", "N", "+2.50", "g"},
                                    {"2026-01-01", "10:00:07", "B2", "", "+3", "g"},
                                    {"2026-01-01", "10:00:09", "B2", "T", "-0.5", "g"}};
        rows[1].weighing = Veltrano::Weighing{"S-0001, \"vial\"", "B1 2026-01-01 09:00", "print", "net", "anna", "outside", "10"};
        rows[3].weighing = Veltrano::Weighing{"", "B2 2026-01-01 09:00", "immediate", "tare", "bob", "", ""};
        for (Veltrano::Row &row : rows)
            row.provenance.state = "live";
        const QByteArray told = runExport(rows, arguments);
        QVERIFY2(told.isEmpty(), told.constData());
        const Rows sheet = readXls(arguments.last()).sheets.value(0);
        Rows expected{{"sampling_date", "sampling_time", "instrument_id", "header", "result", "unit", "sample", "series",
                       "trigger", "kind", "operator", "class"},
                      {"2026-01-01", "10:00:05", "B1", "N", "+2.50", "g", "S-0001, \"vial\"", "B1 2026-01-01 09:00",
                       "print", "net", "anna", "outside"},
                      {"2026-01-01", "10:00:09", "B2", "T", "-0.5", "g", "", "B2 2026-01-01 09:00", "immediate", "tare",
                       "bob", ""}};
        if (arguments.contains("B2"))
            expected.removeAt(1);
        QCOMPARE(sheet.size(), expected.size());
        for (int i = 0; i < sheet.size(); ++i) {
            QCOMPARE(sheet.at(i).size(), columns);
            QCOMPARE(sheet.at(i).mid(0, 12), expected.at(i));
        }
        if (columns > 12)
            QCOMPARE(sheet.value(1).value(12), QString("live"));
    }

    // One line per series with its figures, in the order the series began.
    void series_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("csv") << QStringList{"--series", "out.csv"};
        QTest::newRow("xlsx") << QStringList{"--series", "out.xlsx"};
        QTest::newRow("decimal comma") << QStringList{"--series", "--decimal-comma", "out.csv"};
    }

    void series()
    {
        QFETCH(QStringList, arguments);
        QVector<Veltrano::Row> rows{{"2026-01-01", "10:00:00", "B1", "", "+10.01", "g"},
                                    {"2026-01-01", "10:00:01", "B2", "", "+5.5", "g"},
                                    {"2026-01-01", "10:00:02", "B1", "", "+10.03", "g"},
                                    {"2026-01-01", "10:00:03", "B1", "", "+1", "g"},
                                    {"2026-01-01", "10:00:04", "B1", "", "+9.98", "g"}};
        const char *classes[] = {"within", "", "warning", "", "outside"};
        for (int i : {0, 1, 2, 4})
            rows[i].weighing = Veltrano::Weighing{"", i == 1 ? "S2" : "S1", "print", "net", "anna", classes[i], i == 1 ? "" : "10"};
        const QByteArray told = runExport(rows, arguments);
        QVERIFY2(told.isEmpty(), told.constData());
        // The reader tells a cell not of its column's kind (numbers as numbers) among the problems.
        const XlsContent content = readXls(arguments.last());
        QCOMPARE(content.problems + content.sheetNames, QStringList{arguments.last().endsWith(".xlsx") ? "series" : ""});
        Rows expected{{"series", "instrument_id", "first", "last", "n", "mean", "sd", "rsd", "min", "max", "range", "unit",
                       "nominal", "within", "warning", "outside", "below_minimum"},
                      {"S1", "B1", "2026-01-01 10:00:00", "2026-01-01 10:00:04", "3", "10.007", "0.025", "0.25", "9.980",
                       "10.030", "0.050", "g", "10", "1", "1", "1", "0"},
                      {"S2", "B2", "2026-01-01 10:00:01", "2026-01-01 10:00:01", "1", "5.50", "", "", "5.50", "5.50",
                       "0.00", "g", "", "0", "0", "0", "0"}};
        for (QStringList &line : expected)
            for (int c : {5, 6, 7, 8, 9, 10})
                line[c].replace('.', arguments.contains("--decimal-comma") ? ',' : '.');
        QCOMPARE(content.sheets.value(0), expected);
    }

    void cancelled()
    {
        QVERIFY(insertTestRows(QVector<QStringList>(3000, kRow).toList()));
        QVERIFY(writeFile("out", "an old file"));
        for (Format format : {Format::Csv, Format::Xlsx, Format::Xls}) {
            int calls = 0;
            const Result result = exportRows(QSqlDatabase::database(), {format, "out", nullptr, QChar(), false, {}, {}},
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
        int opened = 0;
        m_boxes->setDialogHandler([&opened](QDialog *dialog) {
            if (opened++) {  // the choices of the first export are kept
                QCOMPARE(child<QComboBox>(dialog, "uFormat")->currentIndex(), 1);
                QCOMPARE(child<QLineEdit>(dialog, "uFile")->text(), QDir::currentPath() + '/');
                QCOMPARE(child<QListWidget>(dialog, "uInstruments")->item(1)->checkState(), Qt::Unchecked);
                // The provenance columns are for CSV and .xlsx only.
                QVERIFY(child<QCheckBox>(dialog, "uProvenance")->isEnabled());
                child<QComboBox>(dialog, "uFormat")->setCurrentIndex(2);
                QVERIFY(!child<QCheckBox>(dialog, "uProvenance")->isEnabled());
                return dialog->reject();
            }
            QCOMPARE(child<QDateTimeEdit>(dialog, "uFrom")->dateTime(), QDateTime({2026, 1, 1}, {10, 0}));
            QCOMPARE(child<QDateTimeEdit>(dialog, "uTo")->dateTime(), QDateTime({2026, 1, 3}, {11, 0}));
            QListWidgetItem *b = child<QListWidget>(dialog, "uInstruments")->item(1);
            QCOMPARE(b->text() + QString::number(b->checkState()), QString("B%1").arg(Qt::Checked));
            b->setCheckState(Qt::Unchecked);
            child<QLineEdit>(dialog, "uFile")->setText("out.csv");
            child<QComboBox>(dialog, "uFormat")->setCurrentIndex(1);  // the file name follows
            QVERIFY(insertTestRow({"2026-01-04", "09:00:00", "A", "", "+4", "g"}));  // "To" is open
            QTimer::singleShot(0, dialog, &QDialog::accept);  // out of the recorder: a box follows
        });
        window.findChild<QAction *>("actionExportData")->trigger();
        QCOMPARE(m_boxes->titles(), QStringList({"Export data", "Export"}));
        QCOMPARE(m_boxes->boxes().last().text + '|' + m_boxes->boxes().last().buttons.join(' '),
                 "3 rows written to " + QDir::current().filePath("out.xlsx") + ".|OK Open Folder");
        QCOMPARE(readXls("out.xlsx").sheets.value(0).mid(1), Rows({{"2026-01-01", "10:00:00", "A", "+1", "g", "1"},
                                                                   {"2026-01-02", "12:00:00", "A", "+3", "g", "3"},
                                                                   {"2026-01-04", "09:00:00", "A", "+4", "g", "4"}}));
        window.findChild<QAction *>("actionExportData")->trigger();
        QCOMPARE(opened, 2);
        // The export is in the audit trail.
        QTRY_VERIFY(QSqlQuery("SELECT 1 FROM audit WHERE kind = 'export' AND details LIKE '%out.xlsx%\"rows\":3%'").next());
    }

    // The format follows a typed extension, a name without a known one gets the format's.
    void dialogFileNames_data()
    {
        QTest::addColumn<int>("format");  // chosen before the name is typed
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("written");
        QTest::addColumn<int>("formatAfter");
        QTest::addColumn<QByteArray>("magic");  // the file's first bytes
        QTest::newRow("xlsx typed, CSV chosen") << 0 << "gui.xlsx" << "gui.xlsx" << 1 << QByteArray("PK");
        QTest::newRow("upper case") << 2 << "GUI.CSV" << "GUI.CSV" << 0 << QByteArray("\xEF\xBB\xBF");
        QTest::newRow("no extension") << 1 << "gui" << "gui.xlsx" << 1 << QByteArray("PK");
        QTest::newRow("another extension") << 0 << "gui.txt" << "gui.txt.csv" << 0 << QByteArray("\xEF\xBB\xBF");
        QTest::newRow("xls") << 2 << "gui" << "gui.xls" << 2 << QByteArray("\xD0\xCF\x11\xE0");
    }

    void dialogFileNames()
    {
        QFETCH(int, format);
        QFETCH(QString, typed);
        QFETCH(QString, written);
        QFETCH(int, formatAfter);
        QFETCH(QByteArray, magic);
        QVERIFY(insertTestRow(kRow));
        ExportDialog dialog;
        child<QComboBox>(&dialog, "uFormat")->setCurrentIndex(format);
        QTest::keyClicks(child<QLineEdit>(&dialog, "uFile"), typed);
        QCOMPARE(child<QComboBox>(&dialog, "uFormat")->currentIndex(), formatAfter);
        dialog.accept();
        QCOMPARE(child<QLineEdit>(&dialog, "uFile")->text(), written);
        QCOMPARE(m_boxes->texts(), QStringList("1 row written to " + QDir::current().filePath(written) + "."));
        QCOMPARE(entries(), QStringList({written, "sqlite.db", "veltrano-ui.ini"}));
        QVERIFY(readFile(written).startsWith(magic));
        // No instrument ticked is all of them: no key, never "@Invalid()".
        QVERIFY2(!readFile("veltrano-ui.ini").contains("instruments"), readFile("veltrano-ui.ini").constData());
    }

    void failures_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("target");  // empty: the dialog is cancelled
        QTest::addColumn<QString>("box");     // end of the box's text after the dialog; empty: none

        const QString critical = ") void MainWindow::exportData() ";
        QTest::newRow("cancelled") << "old file" << "" << "";
        QTest::newRow("old file replaced, many rows") << "old file, many rows" << "out.xls" << "";
        QTest::newRow("no extension typed") << "" << "out" << "";
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
        // The export does not reload the view; the window's look for rows
        // written by others (every 2 s) may have taken in the late one.
        const int rows = child<QTableView>(&window, "uTableView")->model()->rowCount();
        QVERIFY(rows == shown || (rows == shown + 1 && !setup.endsWith("no table")));
        QVERIFY(MainWindowProbe(window).drain());  // the export's audit entry written
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

    // The archive of a clear given back: the exported columns and the value
    // as before the clear, then when and by whom.
    void cleared_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("clears");
        QTest::newRow("one clear") << QStringList{"--cleared", "-"} << 1;
        QTest::newRow("two clears, in their order") << QStringList{"--cleared", "-"} << 2;
        QTest::newRow("decimal comma, to a file") << QStringList{"--cleared", "--decimal-comma", "out.csv"} << 1;
        QTest::newRow("never cleared: the header") << QStringList{"--cleared", "-"} << 0;
    }
    void cleared()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, clears);
        QByteArray expected;  // the rows as exported before each clear
        int rows = 0;
        for (int clear = 0; clear < qMax(1, clears); ++clear) {
            for (const QStringList &row : kHostile.mid(clear, 3))
                QVERIFY(insertTestRow(row.mid(0, 6)));
            rows += clear < clears ? 3 : 0;
            const QByteArray before = runExport({}, arguments.mid(1, arguments.size() - 2) << "-");
            QVERIFY2(!before.startsWith("failed"), before.constData());
            expected += clear < clears ? before.mid(before.indexOf("\r\n") + 2) : QByteArray();
            QString error;
            QVERIFY2(clear >= clears || Veltrano::MeasurementDb::clearRows(QSqlDatabase::database(), &error), qPrintable(error));
        }
        const QByteArray output = runExport({}, arguments);
        QVERIFY2(!output.startsWith("failed"), output.constData());
        QString csv = QString::fromUtf8(arguments.last() == "-" ? output : readFile(arguments.last()));
        const QString separator = arguments.contains("--decimal-comma") ? ";" : ",";
        const int header = csv.indexOf("\r\n") + 2;
        QVERIFY(csv.left(header).endsWith(separator + "value" + separator + "cleared_at" + separator + "cleared_by\r\n"));
        // Each row ends in the moment of its clear and who cleared.
        const QRegularExpression tail(separator + "20\\d\\d-\\d\\d-\\d\\dT[^" + separator + "]*Z" + separator + "[^\r\n]* on "
                                      + QRegularExpression::escape(QSysInfo::machineHostName()) + "\r\n");
        QCOMPARE(csv.count(tail), rows);
        QCOMPARE(csv.mid(header).replace(tail, "\r\n").toUtf8(), expected);
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
