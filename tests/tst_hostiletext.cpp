// Hostile texts wherever a text enters: the instrument's name and id from
// settings.ini, and the fields of a reading. Each is stored and
// exported exactly as it came, and none is ever executed as SQL.
#include "collectionprobe.h"
#include "windowtestcase.h"
#include "xlsreader.h"

#include <QDir>
#include <QFileDialog>
#include <QPushButton>
#include <QSqlQuery>

namespace {

QStringList hostileTexts()
{
    return {
        QStringLiteral("'); DROP TABLE data;--"),
        QStringLiteral("x' OR \"1\"='1"),
        QStringLiteral("%1 %2 %n %s"),
        QStringLiteral("back\\slash"),
        QStringLiteral("line\nfeed\ttab\rreturn"),
        QString::fromUtf8("M\xc3\xa9rleg \xe2\x9a\x96 \xf0\x9d\x84\x9e \xe6\x97\xa5"),
        QString::fromUtf8("zero\0byte", 9),
        QString(70000, QLatin1Char('L')),
    };
}

QString label(const QString &text)
{
    return text.size() > 40 ? QStringLiteral("%1 characters").arg(text.size()) : text.toUtf8().toPercentEncoding(" ");
}

} // namespace

class TestHostileText : public WindowTestCase
{
    Q_OBJECT
private slots:
    void storedAndExportedVerbatim_data();
    void storedAndExportedVerbatim();
};

void TestHostileText::storedAndExportedVerbatim_data()
{
    QTest::addColumn<QString>("where");  // id, name or reading (header, result and unit)
    QTest::addColumn<QString>("text");
    for (const QString &text : hostileTexts()) {
        for (const char *where : {"name", "reading"})
            QTest::addRow("%s: %s", where, qPrintable(label(text))) << QString::fromLatin1(where) << text;
        if (!text.contains(QLatin1Char('\\')) && !text.contains(QLatin1Char('\0')))
            QTest::addRow("id: %s", qPrintable(label(text))) << QStringLiteral("id") << text;
    }
}

void TestHostileText::storedAndExportedVerbatim()
{
    QFETCH(QString, where);
    QFETCH(QString, text);
    const QString id = where == QLatin1String("id") ? text : QStringLiteral("B1");
    const QString name = where == QLatin1String("name") ? text : QStringLiteral("Balance");
    QSettings(QStringLiteral("settings.ini"), QSettings::IniFormat).setValue(id + QStringLiteral("/name"), name);
    const bool reading = where == QLatin1String("reading");

    MainWindow window;
    MainWindowProbe probe{window};
    probe.setLatest(id, reading ? text : QString(), reading ? text : QStringLiteral("+1.0"),
                    reading ? text : QStringLiteral("g  "));
    probe.store(id);
    probe.store(id);
    QCOMPARE(m_boxes->count(), 0);

    const QStringList rows = allTestRows();
    QCOMPARE(rows.size(), 2);
    for (const QString &row : rows) {
        const QStringList fields = row.split(QLatin1Char('|'));
        QCOMPARE(fields.size(), 6);
        QCOMPARE(fields.at(2), name);
        QCOMPARE(fields.mid(3), reading ? QStringList({text, text, text}) : QStringList({"", "+1.0", "g  "}));
    }
    QSqlQuery tables(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type='table'"));
    QVERIFY(tables.next());
    QCOMPARE(tables.value(0).toInt(), 1);

    // The workbook holds the same texts (a cell keeps at most 32767 characters,
    // and a cut is reported).
    m_boxes->setDialogHandler([](QDialog *dialog) {
        auto *files = qobject_cast<QFileDialog *>(dialog);
        QVERIFY(files);
        files->selectFile(QDir::current().absoluteFilePath(QStringLiteral("out.xls")));
        dialog->done(QDialog::Accepted);
    });
    window.findChild<QPushButton *>(QStringLiteral("uExport"))->click();
    QStringList shown{QStringLiteral("Exporting data...")};
    if (text.size() > 32767 && where != QLatin1String("id"))
        shown << QStringLiteral("Critical");  // the cut is reported
    QCOMPARE(m_boxes->titles(), shown);
    const XlsContent book = readXls(QStringLiteral("out.xls"));
    QCOMPARE(book.problems, QStringList());
    const QList<QStringList> sheet = book.sheets.value(0);
    QCOMPARE(sheet.size(), 3);
    const QString cell = text.left(32767);
    QCOMPARE(sheet.at(1).at(2), where == QLatin1String("name") ? cell : name);
    QCOMPARE(sheet.at(1).mid(3), reading ? QStringList({cell, cell}) : QStringList({"+1.0", "g  "}));
}

QTEST_MAIN(TestHostileText)
#include "tst_hostiletext.moc"
