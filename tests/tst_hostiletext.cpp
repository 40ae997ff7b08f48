// Hostile texts wherever a text enters: the instrument's name and id from
// settings.ini, and the fields of a balance's print line. Each is stored and
// exported exactly as it came, and none is ever executed as SQL.
#include "collectionprobe.h"
#include "mainwindow.h"
#include "modalrecorder.h"
#include "printline.h"
#include "stderrcapture.h"
#include "tempworkdir.h"
#include "testdatabase.h"
#include "xlsreader.h"

#include <QPushButton>
#include <QDir>
#include <QFileDialog>
#include <QSqlQuery>
#include <QtTest>

#include <memory>

namespace {

QStringList hostileTexts()
{
    return {
        QStringLiteral("'"),
        QStringLiteral("\"quoted\""),
        QStringLiteral("a;b;"),
        QStringLiteral("'); DROP TABLE data;--"),
        QStringLiteral("x' OR '1'='1"),
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

class TestHostileText : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installTestMessageHandler(); }
    void init();
    void cleanup();
    void storedAndExportedVerbatim_data();
    void storedAndExportedVerbatim();
    void printLineFieldsVerbatim();

private:
    void exportTo(MainWindow &window, const QString &target);

    std::unique_ptr<TempWorkDir> m_dir;
    std::unique_ptr<ModalRecorder> m_recorder;
};

void TestHostileText::init()
{
    m_dir = std::make_unique<TempWorkDir>();
    QVERIFY(openTestDatabase());
    m_recorder = std::make_unique<ModalRecorder>();
}

void TestHostileText::cleanup()
{
    m_recorder.reset();
    closeTestDatabase();
    m_dir.reset();
}

void TestHostileText::exportTo(MainWindow &window, const QString &target)
{
    m_recorder->setDialogHandler([target](QDialog *dialog) {
        auto *files = qobject_cast<QFileDialog *>(dialog);
        QVERIFY(files);
        files->selectFile(QDir::current().absoluteFilePath(target));
        dialog->done(QDialog::Accepted);
    });
    window.findChild<QPushButton *>(QStringLiteral("uExport"))->click();
}

void TestHostileText::storedAndExportedVerbatim_data()
{
    QTest::addColumn<QString>("where");  // id, name, header, result or unit
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
    {
        QSettings settings(QStringLiteral("settings.ini"), QSettings::IniFormat);
        settings.setValue(id + QStringLiteral("/name"), name);
    }
    const bool reading = where == QLatin1String("reading");

    MainWindow window;
    MainWindowProbe probe{window};
    probe.setLatest(id, reading ? text : QString(), reading ? text : QStringLiteral("+1.0"),
                    reading ? text : QStringLiteral("g  "));
    probe.store(id);
    probe.store(id);
    QCOMPARE(m_recorder->count(), 0);

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
    exportTo(window, QStringLiteral("out.xls"));
    QStringList shown{QStringLiteral("Exporting data...")};
    if (text.size() > 32767 && where != QLatin1String("id"))
        shown << QStringLiteral("Critical");  // the cut is reported
    QCOMPARE(m_recorder->titles(), shown);
    const XlsContent book = readXls(QStringLiteral("out.xls"));
    QCOMPARE(book.problems, QStringList());
    const QList<QStringList> sheet = book.sheets.value(0);
    QCOMPARE(sheet.size(), 3);
    const QString cell = text.left(32767);
    QCOMPARE(sheet.at(1).at(2), where == QLatin1String("name") ? cell : name);
    QCOMPARE(sheet.at(1).mid(3), reading ? QStringList({cell, cell}) : QStringList({"+1.0", "g  "}));
}

// What a balance sends reaches the reading as bytes, quotes and all.
void TestHostileText::printLineFieldsVerbatim()
{
    const QByteArray line = QByteArray("';--\"") + '\0' + QByteArray("'OR 1;    ") + " %1\\\r\n";
    QCOMPARE(line.size(), Veltrano::PrintLine::kLongLength);
    const Veltrano::PrintLine::Parsed parsed = Veltrano::PrintLine::parse(line);
    QCOMPARE(parsed.kind, Veltrano::PrintLine::Kind::Reading);
    QCOMPARE(parsed.header, QStringLiteral("';--\""));
    QCOMPARE(parsed.result, QStringLiteral("'OR1;"));
    QCOMPARE(parsed.unit, QStringLiteral("%1\\"));

    writeSettings({QStringLiteral("B1/name=Balance")});
    MainWindow window;
    MainWindowProbe probe{window};
    probe.setLatest(QStringLiteral("B1"), parsed.header, parsed.result, parsed.unit);
    probe.store(QStringLiteral("B1"));
    QCOMPARE(m_recorder->count(), 0);
    QVERIFY(allTestRows().value(0).endsWith(QStringLiteral("|Balance|';--\"|'OR1;|%1\\")));
}

QTEST_MAIN(TestHostileText)
#include "tst_hostiletext.moc"
