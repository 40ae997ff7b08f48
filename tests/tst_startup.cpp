#include "measurementmodel.h"
#include "modalrecorder.h"
#include "startup.h"
#include "stderrcapture.h"
#include "tempworkdir.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <memory>

namespace {

const char kSchema[] = "CREATE TABLE data(sampling_date date, sampling_time time, instrument_id varchar, "
                       "header varchar, result varchar, unit varchar)";

// Runs one statement on a private connection to the file, as another program would.
void prepareFile(const QStringList &statements)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("prepare"));
        db.setDatabaseName(QStringLiteral("sqlite.db"));
        QVERIFY(db.open());
        for (const QString &statement : statements)
            QVERIFY2(QSqlQuery(db).exec(statement), qPrintable(statement));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("prepare"));
}

// One column of every row a statement yields on the default connection.
QStringList column(const QString &statement, int index = 0)
{
    QStringList result;
    QSqlQuery query;
    if (!query.exec(statement))
        return {QStringLiteral("failed: ") + statement};
    while (query.next())
        result << query.value(index).toString();
    return result;
}

QStringList tableSql()
{
    return column(QStringLiteral("SELECT sql FROM sqlite_master WHERE type='table' ORDER BY name"));
}

// The statement the main window's model runs, to ask SQLite how it plans it.
struct PlannedModel : Veltrano::MeasurementModel
{
    using Veltrano::MeasurementModel::selectStatement;
};

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
    void sortIndex_data();
    void sortIndex();

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
        prepareFile({kSchema});
    else if (setup == "other")
        prepareFile({QStringLiteral("CREATE TABLE other(x)")});
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
    prepareFile({kSchema, QStringLiteral("INSERT INTO data VALUES('2014-06-30','14:05:09','B1','','+1.0','g  ')")});
    ModalRecorder recorder;
    QSqlQuery schemaQuery;
    QCOMPARE(Startup::openDatabase(schemaQuery), -1);
    QCOMPARE(recorder.count(), 0);
    QSqlQuery query(QStringLiteral("SELECT unit FROM data"));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toString(), QStringLiteral("g  "));
}

void TestStartup::sortIndex_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<bool>("indexed");     // the view's order is served by our index
    QTest::addColumn<QString>("trace");    // the diagnostic expected, if any

    const QString row = QStringLiteral("INSERT INTO data VALUES('2014-06-30','14:05:09','B1','','+1.0','g  ')");
    QTest::newRow("new file") << QStringList() << true << QString();
    QTest::newRow("older file with rows") << QStringList{kSchema, row} << true << QString();
    QTest::newRow("index present") << QStringList{kSchema, row,
                                                  "CREATE INDEX data_sampling_order ON data(sampling_date, sampling_time)"}
                                   << true << QString();
    // Start-up goes on without the index: the view is only slower.
    QTest::newRow("name taken by a table") << QStringList{kSchema, row, "CREATE TABLE data_sampling_order(x)"}
                                           << false << QStringLiteral("sort index not created");
}

void TestStartup::sortIndex()
{
    QFETCH(QStringList, setup);
    QFETCH(bool, indexed);
    QFETCH(QString, trace);

    if (!setup.isEmpty())
        prepareFile(setup);
    if (!trace.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(trace));
    ModalRecorder recorder;
    {
        QSqlQuery schemaQuery;
        QCOMPARE(Startup::openDatabase(schemaQuery), -1);
    }
    for (const RecordedBox &box : recorder.boxes())
        QCOMPARE(box.title, QStringLiteral("Information"));

    const QStringList indexes =
        column(QStringLiteral("SELECT name FROM sqlite_master WHERE type='index' AND tbl_name='data'"));
    QCOMPARE(indexes.contains(QStringLiteral("data_sampling_order")), indexed);
    QCOMPARE(tableSql().first(), QString::fromLatin1(kSchema));

    PlannedModel model;
    model.setUp();
    // EXPLAIN QUERY PLAN yields (id, parent, notused, detail).
    const QStringList plan = column(QStringLiteral("EXPLAIN QUERY PLAN ") + model.selectStatement(), 3);
    QCOMPARE(plan.join(';'), indexed ? QStringLiteral("SCAN data USING INDEX data_sampling_order")
                                     : QStringLiteral("SCAN data;USE TEMP B-TREE FOR ORDER BY"));
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
