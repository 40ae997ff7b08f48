#include "measurementmodel.h"
#include "modalrecorder.h"
#include "startup.h"
#include "stderrcapture.h"
#include "tempworkdir.h"
#include "testdatabase.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

namespace {

const QString kSchema = QStringLiteral("CREATE TABLE data(sampling_date date, sampling_time time, instrument_id "
                                       "varchar, header varchar, result varchar, unit varchar)");
const QString kRow = QStringLiteral("2014-06-30|14:05:09|B1||+1.0|g  ");

// Runs statements on a private connection to the file, as another program would.
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

// The CREATE statements in the file, then its rows.
QStringList contents()
{
    return tableSql() + allTestRows();
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void database_data();
    void database();
    void sortIndex_data();
    void sortIndex();
};

void TestStartup::database_data()
{
    QTest::addColumn<QStringList>("statements");  // run on the file first; "garbage" / "directory" put those in its place
    QTest::addColumn<int>("status");              // -1: start-up goes on
    QTest::addColumn<QString>("box");             // "title|text"; empty: none
    QTest::addColumn<QStringList>("contents");    // afterwards

    const QString info = QStringLiteral("Information|Database initialization: OK");
    const QString error = QStringLiteral("Error|Cannot open the database! (SQLITE error) Exiting...");
    const QString other = QStringLiteral("CREATE TABLE other(x)");
    QTest::newRow("first start") << QStringList() << -1 << info << QStringList{kSchema};
    QTest::newRow("rows kept") << QStringList{kSchema, "INSERT INTO data VALUES('" + QString(kRow).replace('|', "','") + "')"}
                               << -1 << QString() << QStringList{kSchema, kRow};
    QTest::newRow("other tables only") << QStringList{other} << -1 << info << QStringList{kSchema, other};
    QTest::newRow("not a database") << QStringList{"garbage"} << 1 << error << QStringList();
    QTest::newRow("unopenable path") << QStringList{"directory"} << 1 << error << QStringList();
}

void TestStartup::database()
{
    QFETCH(QStringList, statements);
    QFETCH(int, status);
    QFETCH(QString, box);
    QFETCH(QStringList, contents);

    TempWorkDir dir;
    const QByteArray garbage(4096, 'x');
    if (statements == QStringList{"garbage"})
        QVERIFY(writeFile("sqlite.db", garbage));
    else if (statements == QStringList{"directory"})
        QVERIFY(QDir().mkdir(QStringLiteral("sqlite.db")));
    else
        prepareFile(statements);

    ModalRecorder recorder;
    StderrCapture capture;
    {
        QSqlQuery schemaQuery;
        QCOMPARE(Startup::openDatabase(schemaQuery), status);
        const QString shown = recorder.count() ? recorder.titles().first() + '|' + recorder.texts().first() : QString();
        QCOMPARE(shown, box);
        QCOMPARE(recorder.count(), int(!box.isEmpty()));
        if (status < 0)
            QCOMPARE(::contents(), contents);
    }
    // On failure the driver's reason reaches standard error, and a foreign file is left alone.
    QCOMPARE(capture.take().trimmed().isEmpty(), status < 0);
    if (statements == QStringList{"garbage"})
        QCOMPARE(readFile("sqlite.db"), garbage);
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
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

    TempWorkDir dir;
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
    QCOMPARE(tableSql().first(), kSchema);

    {
        // How SQLite plans the main window's first page (its size put in
        // place of the bound one). EXPLAIN QUERY PLAN yields (id, parent,
        // notused, detail).
        const QString page = Veltrano::MeasurementModel::newestRowsStatement(QSqlDatabase::database());
        const QStringList plan = column(QStringLiteral("EXPLAIN QUERY PLAN ") + QString(page).replace('?', '9'), 3);
        QCOMPARE(plan.join(';'), indexed ? QStringLiteral("SCAN data USING INDEX data_sampling_order")
                                         : QStringLiteral("SCAN data;USE TEMP B-TREE FOR ORDER BY"));
    }
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
