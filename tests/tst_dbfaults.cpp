// The database under faults: held by another process, on a full disk, damaged,
// and the process killed in the middle of writing. Whatever happens, a stored
// row stays stored, the file stays sound, and a failure is reported.
#include "collectionprobe.h"
#include "faultchild.h"
#include "measurementdb.h"
#include "modalrecorder.h"
#include "startup.h"
#include "stderrcapture.h"
#include "tempworkdir.h"
#include "testdatabase.h"
#include "testdatabase.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <memory>

namespace {

const QString kSchema = QString::fromLatin1(Veltrano::MeasurementDb::kCreateTable);
const QString kErrorBox = QStringLiteral("Error|Cannot open the database! (SQLITE error) Exiting...");
const QString kInfoBox = QStringLiteral("Information|Database initialization: OK");

// The rows' result column in storage order, and what integrity_check says.
struct FileState
{
    QStringList results;
    QString integrity;
};

FileState inspectFile()
{
    FileState state;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("inspect"));
        db.setDatabaseName(QStringLiteral("sqlite.db"));
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("PRAGMA integrity_check")) && query.next())
                state.integrity = query.value(0).toString();
            else
                state.integrity = query.lastError().text();
            query.exec(QStringLiteral("SELECT result FROM data ORDER BY rowid"));
            while (query.next())
                state.results << query.value(0).toString();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("inspect"));
    return state;
}

QStringList numbersUpTo(int n)
{
    QStringList numbers;
    for (int i = 1; i <= n; ++i)
        numbers << QString::number(i);
    return numbers;
}

QStringList boxes(const ModalRecorder &recorder)
{
    QStringList seen;
    for (const RecordedBox &box : recorder.boxes())
        seen << box.title + QLatin1Char('|') + box.text;
    return seen;
}

QByteArray fileBytes()
{
    QFile file(QStringLiteral("sqlite.db"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestDbFaults : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void lockedAtStartup();
    void damagedAtStartup_data();
    void damagedAtStartup();
    void fullDiskAtStartup_data();
    void fullDiskAtStartup();
    void fullDiskWhileStoring();
    void killedWhileStoring_data();
    void killedWhileStoring();
    void storeUnderFault_data();
    void storeUnderFault();

private:
    // The program's start-up in this process: its status and the boxes shown.
    int startUp(QStringList *shown);

    std::unique_ptr<TempWorkDir> m_dir;
};

void TestDbFaults::init()
{
    m_dir = std::make_unique<TempWorkDir>();
    QVERIFY(m_dir->isValid());
}

void TestDbFaults::cleanup()
{
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    m_dir.reset();
}

int TestDbFaults::startUp(QStringList *shown)
{
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    ModalRecorder recorder;
    int status;
    {
        QSqlQuery schemaQuery;
        status = Startup::openDatabase(schemaQuery);
    }
    *shown = boxes(recorder);
    return status;
}

void TestDbFaults::lockedAtStartup()
{
    QVERIFY(prepareDatabaseFile({kSchema, QStringLiteral("INSERT INTO data(result) VALUES('1')")}));
    FaultChild holder;
    QVERIFY(holder.start({QStringLiteral("lock")}));
    QVERIFY2(holder.waitForLine("locked"), holder.standardError().constData());

    // While the other process holds the file the operator is told and the
    // program does not start; nothing in the file changes.
    QStringList shown;
    StderrCapture capture;
    QCOMPARE(startUp(&shown), 1);
    QCOMPARE(shown, QStringList{kErrorBox});
    QVERIFY2(capture.take().contains("database is locked"), "the driver's reason reaches the log");

    // Once the lock is gone the same file starts normally, row intact.
    QVERIFY(holder.finish());
    QCOMPARE(startUp(&shown), -1);
    QCOMPARE(shown, QStringList());
    QCOMPARE(inspectFile().results, QStringList{"1"});
}

void TestDbFaults::damagedAtStartup_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<int>("rows");  // rows found afterwards, -1: file left as it was

    QTest::newRow("empty file") << "empty" << -1 << QStringList{kInfoBox} << 0;
    QTest::newRow("cut in half") << "half" << 1 << QStringList{kErrorBox} << -1;
    QTest::newRow("cut inside the header") << "header" << 1 << QStringList{kErrorBox} << -1;
    QTest::newRow("garbage journal") << "journal" << -1 << QStringList() << 2000;
    QTest::newRow("journal cannot be created") << "journal-directory" << 1 << QStringList{kErrorBox} << -1;
}

void TestDbFaults::damagedAtStartup()
{
    QFETCH(QString, damage);
    QFETCH(int, status);
    QFETCH(QStringList, shown);
    QFETCH(int, rows);

    if (damage == QLatin1String("empty")) {
        QFile file(QStringLiteral("sqlite.db"));
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else {
        QVERIFY(prepareDatabaseFile(
            {kSchema, QStringLiteral("WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 2000) "
                                     "INSERT INTO data(instrument_id, result) SELECT printf('%0100d', x), x FROM n")}));
        if (damage == QLatin1String("half") || damage == QLatin1String("header"))
            QVERIFY(QFile::resize(QStringLiteral("sqlite.db"), damage == QLatin1String("half") ? fileBytes().size() / 2 : 50));
        else if (damage == QLatin1String("journal")) {
            QFile journal(QStringLiteral("sqlite.db-journal"));
            QVERIFY(journal.open(QIODevice::WriteOnly));
            for (int i = 0; i < 4096; ++i)
                journal.putChar(char(i * 7919 % 251));
        } else if (damage == QLatin1String("journal-directory"))
            QVERIFY(QDir().mkdir(QStringLiteral("sqlite.db-journal")));
    }
    const QByteArray before = fileBytes();

    QStringList seen;
    StderrCapture capture;
    QCOMPARE(startUp(&seen), status);
    QCOMPARE(seen, shown);
    if (rows < 0) {
        // Refused, with the reason in the log, and not touched.
        QVERIFY(!capture.take().trimmed().isEmpty());
        QCOMPARE(fileBytes(), before);
    } else {
        const FileState state = inspectFile();
        QCOMPARE(state.integrity, QStringLiteral("ok"));
        QCOMPARE(state.results.size(), rows);
    }
}

void TestDbFaults::fullDiskAtStartup_data()
{
    QTest::addColumn<QStringList>("statements");  // prepared before the limit applies
    QTest::addColumn<QStringList>("results");

    QTest::newRow("no file, no room") << QStringList() << QStringList();
    QTest::newRow("foreign tables, no room")
        << QStringList{QStringLiteral("CREATE TABLE other(result)"), QStringLiteral("INSERT INTO other VALUES('7')")}
        << QStringList();
}

void TestDbFaults::fullDiskAtStartup()
{
    QFETCH(QStringList, statements);
    QFETCH(QStringList, results);
    if (!statements.isEmpty())
        QVERIFY(prepareDatabaseFile(statements));
    const QByteArray before = fileBytes();

    FaultChild child;
    QVERIFY(child.start({QStringLiteral("startup"), QString::number(before.size())}));
    QVERIFY(child.finish());
    QCOMPARE(child.linesStartingWith("box "), QList<QByteArray>{kErrorBox.toUtf8()});
    QCOMPARE(child.linesStartingWith("status "), QList<QByteArray>{"1"});
    QCOMPARE(fileBytes(), before);

    // With room again, the next start creates the table beside what was there.
    QStringList shown;
    QCOMPARE(startUp(&shown), -1);
    QCOMPARE(shown, QStringList{kInfoBox});
    QCOMPARE(inspectFile().integrity, QStringLiteral("ok"));
}

void TestDbFaults::fullDiskWhileStoring()
{
    QVERIFY(prepareDatabaseFile({kSchema}));
    const qint64 room = fileBytes().size() + 8 * 1024;

    FaultChild child;
    QVERIFY(child.start({QStringLiteral("store"), QString::number(room)}));
    QVERIFY2(child.finish(), child.standardError().constData());
    const QList<QByteArray> failures = child.linesStartingWith("failed ");
    QCOMPARE(failures.size(), 1);
    QVERIFY2(failures.first().contains("disk") || failures.first().contains("full"), failures.first().constData());

    // Every row the child was told is stored is there, and no half row.
    const int stored = child.lastStored();
    QVERIFY(stored > 0);
    const FileState state = inspectFile();
    QCOMPARE(state.integrity, QStringLiteral("ok"));
    QCOMPARE(state.results, numbersUpTo(stored));
}

void TestDbFaults::killedWhileStoring_data()
{
    QTest::addColumn<int>("killAfter");
    QTest::newRow("first row") << 1;
    QTest::newRow("fifty rows") << 50;
    QTest::newRow("three hundred rows") << 300;
}

void TestDbFaults::killedWhileStoring()
{
    QFETCH(int, killAfter);
    QVERIFY(prepareDatabaseFile({kSchema}));

    FaultChild child;
    QVERIFY(child.start({QStringLiteral("store")}));
    QVERIFY2(child.waitForLine("stored " + QByteArray::number(killAfter)), child.standardError().constData());
    child.kill();
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);

    // Each reported row survives; the one being written may or may not.
    const int stored = child.lastStored();
    QVERIFY(stored >= killAfter);
    const FileState state = inspectFile();
    QCOMPARE(state.integrity, QStringLiteral("ok"));
    QVERIFY2(state.results == numbersUpTo(stored) || state.results == numbersUpTo(stored + 1),
             qPrintable(QStringLiteral("%1 rows after %2 reported").arg(state.results.size()).arg(stored)));

    // The next start finds the table and says nothing.
    QStringList shown;
    QCOMPARE(startUp(&shown), -1);
    QCOMPARE(shown, QStringList());
}

void TestDbFaults::storeUnderFault_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("reason");  // in the box, from the driver

    QTest::newRow("locked by another process") << "lock" << "database is locked";
    QTest::newRow("read-only connection") << "read-only" << "readonly database";
    QTest::newRow("database full") << "full" << "database or disk is full";
    QTest::newRow("file overwritten with garbage") << "garbage" << "file is not a database";
}

// Stores go on failing, each one reported, while the fault lasts; the rows
// stored before are kept, and storing works again once the fault is gone.
void TestDbFaults::storeUnderFault()
{
    QFETCH(QString, fault);
    QFETCH(QString, reason);
    installTestMessageHandler();
    QVERIFY(openTestDatabase());
    writeSettings({QStringLiteral("B1/name=Balance 1")});
    ModalRecorder recorder;
    MainWindow window;
    MainWindowProbe probe{window};
    probe.setLatest(QStringLiteral("B1"), QString(), QStringLiteral("+1.0"), QStringLiteral("g  "));
    probe.store(QStringLiteral("B1"));
    probe.store(QStringLiteral("B1"));
    const QByteArray sound = fileBytes();
    int before = allTestRows().size();

    FaultChild holder;
    QSqlQuery pragma;
    if (fault == QLatin1String("lock")) {
        QVERIFY(holder.start({QStringLiteral("lock")}));
        QVERIFY(holder.waitForLine("locked"));
    } else if (fault == QLatin1String("read-only")) {
        QVERIFY(pragma.exec(QStringLiteral("PRAGMA query_only = ON")));
    } else if (fault == QLatin1String("full")) {
        QVERIFY(pragma.exec(QStringLiteral("PRAGMA max_page_count = 2")));
        // Fill the last free room of the page first.
        for (int i = 0; i < 200; ++i)
            probe.store(QStringLiteral("B1"));
        recorder.clear();
        before = allTestRows().size();
    } else {
        QFile file(QStringLiteral("sqlite.db"));
        QVERIFY(file.open(QIODevice::ReadWrite));
        file.write(QByteArray(int(file.size()), '\x5a'));
    }

    StderrCapture capture;
    probe.store(QStringLiteral("B1"));
    probe.store(QStringLiteral("B1"));
    QCOMPARE(recorder.titles(), QStringList({"Critical", "Critical"}));
    QVERIFY2(recorder.texts().first().contains(reason), qPrintable(recorder.texts().first()));
    QVERIFY(recorder.texts().first().contains(QStringLiteral("error occured during:\n")));
    QCOMPARE(capture.take().count("Critical: "), 2);

    if (fault == QLatin1String("lock")) {
        QVERIFY(holder.finish());
    } else if (fault == QLatin1String("read-only")) {
        QVERIFY(pragma.exec(QStringLiteral("PRAGMA query_only = OFF")));
    } else if (fault == QLatin1String("full")) {
        QVERIFY(pragma.exec(QStringLiteral("PRAGMA max_page_count = 1073741823")));
    } else {
        QFile file(QStringLiteral("sqlite.db"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(sound);
    }
    QCOMPARE(allTestRows().size(), fault == QLatin1String("garbage") ? 2 : before);
    probe.store(QStringLiteral("B1"));
    QCOMPARE(recorder.count(), 2);
    QCOMPARE(allTestRows().size(), (fault == QLatin1String("garbage") ? 2 : before) + 1);
    QCOMPARE(inspectFile().integrity, QStringLiteral("ok"));
    closeTestDatabase();
}

QTEST_MAIN(TestDbFaults)
#include "tst_dbfaults.moc"
