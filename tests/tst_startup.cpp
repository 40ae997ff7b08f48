#include "modalrecorder.h"
#include "startup.h"
#include "stderrcapture.h"
#include "tempworkdir.h"
#include "testdatabase.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <memory>

namespace {

const char kSchema[] = "CREATE TABLE data(sampling_date date, sampling_time time, instrument_id varchar, "
                       "header varchar, result varchar, unit varchar)";

QStringList tableSql()
{
    QStringList result;
    QSqlQuery query(QStringLiteral("SELECT sql FROM sqlite_master WHERE type='table' ORDER BY name"));
    while (query.next())
        result << query.value(0).toString();
    return result;
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void database_data();
    void database();
    void existingRowsSurvive();

private:
    std::unique_ptr<TempWorkDir> m_dir;
};

void TestStartup::init()
{
    m_dir = std::make_unique<TempWorkDir>();
    QVERIFY(m_dir->isValid());
}

void TestStartup::cleanup()
{
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    m_dir.reset();
}

void TestStartup::database_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("status");            // -1: start-up goes on
    QTest::addColumn<QStringList>("boxes");     // "title|text"
    QTest::addColumn<QStringList>("tables");    // CREATE statements afterwards

    const QString info = QStringLiteral("Information|Database initialization: OK");
    const QString error = QStringLiteral("Error|Cannot open the database! (SQLITE error) Exiting...");
    const QString other = QStringLiteral("CREATE TABLE other(x)");

    QTest::newRow("first start") << "empty" << -1 << QStringList{info} << QStringList{kSchema};
    QTest::newRow("table present") << "table" << -1 << QStringList() << QStringList{kSchema};
    QTest::newRow("other tables only") << "other" << -1 << QStringList{info} << QStringList{kSchema, other};
    QTest::newRow("not a database") << "garbage" << 1 << QStringList{error} << QStringList();
    QTest::newRow("unopenable path") << "directory" << 1 << QStringList{error} << QStringList();
}

void TestStartup::database()
{
    QFETCH(QString, setup);
    QFETCH(int, status);
    QFETCH(QStringList, boxes);
    QFETCH(QStringList, tables);

    if (setup == "table")
        QVERIFY(prepareDatabaseFile({kSchema}));
    else if (setup == "other")
        QVERIFY(prepareDatabaseFile({QStringLiteral("CREATE TABLE other(x)")}));
    else if (setup == "garbage") {
        QFile file(QStringLiteral("sqlite.db"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, 'x'));
    } else if (setup == "directory")
        QVERIFY(QDir().mkdir(QStringLiteral("sqlite.db")));
    const QByteArray before = setup == "garbage" ? QByteArray(4096, 'x') : QByteArray();

    ModalRecorder recorder;
    StderrCapture capture;
    {
        QSqlQuery schemaQuery;
        QCOMPARE(Startup::openDatabase(schemaQuery), status);
    }
    const QByteArray err = capture.take();

    QStringList seen;
    for (const RecordedBox &box : recorder.boxes()) {
        seen << box.title + '|' + box.text;
        QCOMPARE(box.buttons, QStringList{"OK"});
    }
    QCOMPARE(seen, boxes);

    if (status < 0) {
        QCOMPARE(tableSql(), tables);
        QVERIFY(err.isEmpty());
    } else {
        // The driver's reason reaches standard error, and a foreign file is left alone.
        QVERIFY2(!err.trimmed().isEmpty(), err.constData());
        if (setup == "garbage") {
            QFile file(QStringLiteral("sqlite.db"));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), before);
        }
    }
}

void TestStartup::existingRowsSurvive()
{
    QVERIFY(prepareDatabaseFile({kSchema, QStringLiteral("INSERT INTO data VALUES('2014-06-30','14:05:09','B1','','+1.0','g  ')")}));
    ModalRecorder recorder;
    QSqlQuery schemaQuery;
    QCOMPARE(Startup::openDatabase(schemaQuery), -1);
    QCOMPARE(recorder.count(), 0);
    QSqlQuery query(QStringLiteral("SELECT unit FROM data"));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toString(), QStringLiteral("g  "));
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
