#include "mainwindow.h"
#include "modalrecorder.h"
#include "stderrcapture.h"
#include "tempworkdir.h"
#include "testdatabase.h"
#include "xlsreader.h"

#include <QDir>
#include <QFileDialog>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableView>
#include <QtTest>

#include <memory>

namespace {

using Rows = QList<QStringList>;

const QStringList kColumns{"sampling_date", "sampling_time", "instrument_id", "result", "unit"};

// The five exported cells of a stored row (date, time, name, header, result, unit).
QStringList exported(const QStringList &stored)
{
    return {stored.at(0), stored.at(1), stored.at(2), stored.at(4), stored.at(5)};
}

bool insertRows(const Rows &rows)
{
    QSqlDatabase db = QSqlDatabase::database();
    if (!db.transaction())
        return false;
    QSqlQuery query;
    query.prepare(QStringLiteral("INSERT INTO data VALUES(?, ?, ?, ?, ?, ?)"));
    for (const QStringList &row : rows) {
        for (int i = 0; i < 6; ++i)
            query.bindValue(i, row.at(i));
        if (!query.exec())
            return false;
    }
    return db.commit();
}

int shownRows(MainWindow &window)
{
    return window.findChild<QTableView *>(QStringLiteral("uTableView"))->model()->rowCount();
}

QStringList entries()
{
    return QDir::current().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

QByteArray contentOf(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestExport : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void exportsRows();
    void emptyTable();
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

    std::unique_ptr<TempWorkDir> m_dir;
    std::unique_ptr<ModalRecorder> m_recorder;
    QStringList m_dialogs;  // "title|filters|mode" of each save dialog
};

void TestExport::initTestCase()
{
    installTestMessageHandler();
}

void TestExport::cleanupTestCase()
{
    qInstallMessageHandler(nullptr);
}

void TestExport::init()
{
    m_dir = std::make_unique<TempWorkDir>();
    QVERIFY(openTestDatabase());
    m_recorder = std::make_unique<ModalRecorder>();
    m_dialogs.clear();
}

void TestExport::cleanup()
{
    m_recorder.reset();
    closeTestDatabase();
    m_dir.reset();
}

void TestExport::exportTo(MainWindow &window, const QString &target)
{
    m_recorder->setDialogHandler([this, target](QDialog *dialog) {
        auto *files = qobject_cast<QFileDialog *>(dialog);
        if (!files) {
            dialog->reject();
            return;
        }
        m_dialogs << files->windowTitle() + '|' + files->nameFilters().join(';') + '|'
                         + (files->acceptMode() == QFileDialog::AcceptSave ? "save" : "open");
        if (target.isEmpty()) {
            files->reject();
        } else {
            files->selectFile(QDir::current().absoluteFilePath(target));
            dialog->done(QDialog::Accepted);
        }
    });
    window.findChild<QPushButton *>(QStringLiteral("uExport"))->click();
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
    QVERIFY(insertRows(stored));
    MainWindow window;
    const int shown = shownRows(window);
    QVERIFY(insertTestRow({"2027-01-01", "00:00:00", "late", "", "+9", "g  "}));

    exportTo(window, "out.xls");
    QCOMPARE(m_dialogs, QStringList{"Exporting data...|Excel files (*.xls)|save"});
    QCOMPARE(m_recorder->titles(), QStringList{"Exporting data..."});  // no message box
    QCOMPARE(shownRows(window), shown);                                   // the view is not reloaded

    // Oldest first by date, then time; equal stamps in the order stored.
    const Rows expected{kColumns,
                        exported(stored.at(3)),
                        exported(stored.at(1)),
                        exported(stored.at(4)),
                        exported(stored.at(0)),
                        exported(stored.at(2)),
                        {"2027-01-01", "00:00:00", "late", "+9", "g  "}};
    const XlsContent content = readXls("out.xls");
    QCOMPARE(content.problems, QStringList());
    QCOMPARE(content.sheetNames, QStringList{"data"});
    QCOMPARE(content.sheets.value(0), expected);
    QCOMPARE(entries(), QStringList({"out.xls", "sqlite.db"}));
}

void TestExport::emptyTable()
{
    MainWindow window;
    exportTo(window, "empty.xls");
    QCOMPARE(m_recorder->titles(), QStringList{"Exporting data..."});
    const XlsContent content = readXls("empty.xls");
    QCOMPARE(content.problems, QStringList());
    QCOMPARE(content.sheets, QList<Rows>{Rows{kColumns}});
}

void TestExport::manyRows()
{
    Rows stored;
    for (int i = 0; i < 65540; ++i) {
        stored << QStringList{QString("2026-%1-01").arg(1 + i / 10000, 2, 10, QLatin1Char('0')),
                              QTime(0, 0).addSecs(i % 10000).toString(Qt::ISODate),
                              i % 2 ? QString::fromUtf8("Mérleg ő") : QString("it's B%1").arg(i % 7),
                              "H",
                              QString::number(i),
                              "g  "};
    }
    QVERIFY(insertRows(stored));
    MainWindow window;
    exportTo(window, "many.xls");
    QCOMPARE(m_recorder->titles(), QStringList{"Exporting data..."});

    Rows first{kColumns}, second{kColumns};
    for (int i = 0; i < stored.size(); ++i)
        (i < 65535 ? first : second) << exported(stored.at(i));
    for (XlsReader reader : {XlsReader::Xlrd, XlsReader::LibreOffice, XlsReader::Ssconvert}) {
        const XlsContent content = readXls("many.xls", reader);
        if (content.readerAbsent)
            continue;
        QCOMPARE(content.problems, QStringList());
        QCOMPARE(content.sheetNames, QStringList({"data", "data_2"}));
        QCOMPARE(content.sheets.value(0), first);
        QCOMPARE(content.sheets.value(1), second);
    }
}

void TestExport::tooLongForACell()
{
    const QString name = QString(40000, QLatin1Char('n'));
    QVERIFY(insertRows({{"2026-12-06", "08:00:00", name, "", "+1", "g  "},
                        {"2026-12-06", "08:00:01", name, "", "+2", "g  "}}));
    MainWindow window;
    exportTo(window, "long.xls");
    // The workbook is complete, and the user is told that two cells were cut.
    QCOMPARE(m_recorder->titles(), QStringList({"Exporting data...", "Critical"}));
    QVERIFY2(m_recorder->texts().last().endsWith("\"texts cut to 32767 characters in the workbook: 2\""),
             qPrintable(m_recorder->texts().last()));
    const XlsContent content = readXls("long.xls");
    QCOMPARE(content.problems, QStringList());
    QCOMPARE(content.sheets.value(0).value(1).value(2), name.left(32767));
}

void TestExport::failures_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QStringList>("boxes");  // "title|end of text" after the dialog
    QTest::addColumn<QStringList>("after");  // directory entries besides sqlite.db

    QTest::newRow("cancelled") << "old file" << QString() << QStringList() << QStringList{"out.xls"};
    QTest::newRow("a folder in the file's place")
        << "folder" << "out.xls" << QStringList{"Critical|) void MainWindow::exportData() cannot remove the file"}
        << QStringList{"out.xls"};
    QTest::newRow("missing folder") << "" << "missing/out.xls"
                                    << QStringList{"Warning|Cannot open the destination file!"} << QStringList();
    QTest::newRow("table missing")
        << "old file, no table" << "out.xls"
        << QStringList{"Critical|) void MainWindow::exportData() \"sqlLiteQuery failed during XLS export: no such table: data\""}
        << QStringList{"out.xls"};
    QTest::newRow("old file replaced") << "old file" << "out.xls" << QStringList() << QStringList{"out.xls"};
}

void TestExport::failures()
{
    QFETCH(QString, setup);
    QFETCH(QString, target);
    QFETCH(QStringList, boxes);
    QFETCH(QStringList, after);

    const QByteArray old("an old workbook");
    if (setup.startsWith("old file")) {
        QFile file("out.xls");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(old);
    }
    if (setup == "folder")
        QVERIFY(QDir().mkdir("out.xls"));
    if (setup.endsWith("no table"))
        QVERIFY(QSqlQuery().exec("DROP TABLE data"));
    QVERIFY(insertTestRow({"2026-01-01", "10:00:00", "B1", "", "+1", "g  "}) || setup.endsWith("no table"));

    MainWindow window;
    StderrCapture capture;
    exportTo(window, target);

    const QString prefix = QStringLiteral("src/app/mainwindow_export.cpp ( ");
    QStringList seen;
    for (const RecordedBox &box : m_recorder->boxes().mid(1))
        seen << box.title + '|' + box.text;
    QCOMPARE(seen.size(), boxes.size());
    for (int i = 0; i < boxes.size(); ++i) {
        const QString title = boxes.at(i).section('|', 0, 0);
        const QString end = boxes.at(i).section('|', 1);
        QVERIFY2(seen.at(i).startsWith(title + '|') && seen.at(i).endsWith(end), qPrintable(seen.at(i)));
        if (title == "Critical")
            QVERIFY2(seen.at(i).startsWith(title + '|' + prefix), qPrintable(seen.at(i)));
    }
    QCOMPARE(entries(), QStringList(after + QStringList{"sqlite.db"}));

    if (setup == "folder")
        QVERIFY(QFileInfo("out.xls").isDir());
    else if (QTest::currentDataTag() == QLatin1String("old file replaced"))
        QCOMPARE(readXls("out.xls").sheets.value(0).value(0), kColumns);
    else if (setup.startsWith("old file"))
        QCOMPARE(contentOf("out.xls"), old);  // a failed export leaves the old file as it was
}

void TestExport::clear_data()
{
    QTest::addColumn<int>("answer");  // 0: the box's default
    QTest::addColumn<QString>("pressed");
    QTest::addColumn<int>("remaining");

    QTest::newRow("yes") << int(QMessageBox::Yes) << "Yes" << 0;
    QTest::newRow("no") << int(QMessageBox::No) << "No" << 2;
    QTest::newRow("default is no") << 0 << "No" << 2;
}

void TestExport::clear()
{
    QFETCH(int, answer);
    QFETCH(QString, pressed);
    QFETCH(int, remaining);
    QVERIFY(insertTestRow({"2026-01-01", "10:00:00", "B1", "", "+1", "g  "}));
    MainWindow window;
    QVERIFY(insertTestRow({"2026-01-01", "10:00:01", "B1", "", "+1", "g  "}));
    if (answer)
        m_recorder->queueAnswer(QMessageBox::StandardButton(answer));

    window.findChild<QPushButton *>(QStringLiteral("uClear"))->click();
    QCOMPARE(m_recorder->count(), 1);
    const RecordedBox box = m_recorder->boxes().first();
    QCOMPARE(box.title, QStringLiteral("Confirm"));
    QCOMPARE(box.text, QStringLiteral("Do you really want to delete all the previously recorded data?"));
    QCOMPARE(box.buttons, QStringList({"Yes", "No"}));
    QCOMPARE(box.answer, pressed);
    QCOMPARE(allTestRows().size(), remaining);
    if (remaining == 0)
        QCOMPARE(shownRows(window), 0);
}

void TestExport::clearFailure()
{
    QVERIFY(insertTestRow({"2026-01-01", "10:00:00", "B1", "", "+1", "g  "}));
    QVERIFY(QSqlQuery().exec("CREATE TRIGGER keep BEFORE DELETE ON data BEGIN SELECT RAISE(ABORT, 'rows are locked'); END"));
    MainWindow window;
    QVERIFY(insertTestRow({"2026-01-01", "10:00:01", "B1", "", "+1", "g  "}));
    m_recorder->queueAnswer(QMessageBox::Yes);
    StderrCapture capture;

    window.findChild<QPushButton *>(QStringLiteral("uClear"))->click();
    QCOMPARE(m_recorder->titles(), QStringList({"Confirm", "Critical"}));
    const QString text = m_recorder->texts().at(1);
    QVERIFY2(text.startsWith("src/app/mainwindow_export.cpp ( ")
                 && text.endsWith(") void MainWindow::clearData() \"cannot delete the recorded data: rows are locked\""),
             qPrintable(text));
    QCOMPARE(allTestRows().size(), 2);
    QCOMPARE(shownRows(window), 2);  // reloaded all the same
}

QTEST_MAIN(TestExport)
#include "tst_export.moc"
