// The workbook fuzzer's corpus read back by an independent reader (xlrd):
// every input whose texts are valid Unicode must come back cell for cell.
// The fuzzer cannot call Python at speed, so the round trip runs here, on the
// seeds in the source tree and on any corpus directory named in
// VELTRANO_WORKBOOK_CORPUS (./dev.sh fuzz passes the one the fuzzer grew).
#include "tempworkdir.h"
#include "workbookinput.h"
#include "xlsreader.h"
#include "xlsworkbook.h"

#include <QDir>
#include <QFile>
#include <QtTest>

using Rows = QList<QStringList>;
namespace FuzzInput = Veltrano::FuzzInput;

class TestWorkbookCorpus : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
};

void TestWorkbookCorpus::roundTrip_data()
{
    QTest::addColumn<QString>("path");
    QStringList folders{qEnvironmentVariable("VELTRANO_SOURCE_DIR") + QStringLiteral("/fuzz/corpus/fuzz_workbook")};
    if (qEnvironmentVariableIsSet("VELTRANO_WORKBOOK_CORPUS"))
        folders << qEnvironmentVariable("VELTRANO_WORKBOOK_CORPUS");
    for (const QString &folder : folders) {
        const QDir dir(folder);
        for (const QString &name : dir.entryList(QDir::Files, QDir::Name))
            QTest::newRow(qPrintable(dir.dirName() + QLatin1Char('/') + name)) << dir.filePath(name);
    }
}

void TestWorkbookCorpus::roundTrip()
{
    QFETCH(QString, path);
    QFile input(path);
    QVERIFY(input.open(QIODevice::ReadOnly));
    const Rows rows = FuzzInput::rows(input.readAll());
    for (const QStringList &row : rows) {
        for (const QString &text : row) {
            if (!FuzzInput::isWellFormed(text))
                QSKIP("holds an unpaired surrogate, which no other reader keeps");
        }
    }

    TempWorkDir dir;
    const QStringList columns = rows.first();
    Veltrano::XlsWorkbook book(QStringLiteral("data"), columns);
    Rows expected{columns};
    for (int i = 1; i < rows.size(); ++i) {
        book.appendRow(rows.at(i));
        QStringList cells = rows.at(i).mid(0, columns.size());
        while (cells.size() < columns.size())
            cells << QString();
        expected << cells;
    }
    for (QStringList &row : expected) {
        for (QString &cell : row)
            cell = FuzzInput::keptText(cell, Veltrano::SharedStrings::kMaxLength);
    }
    QFile file(QStringLiteral("book.xls"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY2(book.write(&file), qPrintable(book.errorString()));
    file.close();

    const XlsContent content = readXls(file.fileName());
    QCOMPARE(content.problems, QStringList());
    QCOMPARE(content.sheets.value(0), expected);
}

QTEST_MAIN(TestWorkbookCorpus)
#include "tst_workbookcorpus.moc"
