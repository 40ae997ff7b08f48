// The database under faults: locked by another program, on a full disk, damaged,
// and the process killed in the middle of writing. Whatever happens, a stored
// row stays stored, the file stays sound, and a failure is reported.
#include "collectionprobe.h"
#include "measurementdb.h"
#include "modalrecorder.h"
#include "startup.h"
#include "stderrcapture.h"
#include "tempworkdir.h"
#include "testdatabase.h"

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <memory>

namespace {

const QString kSchema = QString::fromLatin1(Veltrano::MeasurementDb::kCreateTable);
const QString kErrorBox = QStringLiteral("Error|Cannot open the database! (SQLITE error) Exiting...");

// The number of the last complete "stored N" line the child printed.
int lastStored(const QByteArray &output)
{
    const QList<QByteArray> lines = output.left(qMax(0, output.lastIndexOf('\n'))).split('\n');
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        if (line->startsWith("stored "))
            return line->mid(7).toInt();
    }
    return 0;
}

// Another program (Debian's Python with its sqlite3 module) takes an
// exclusive lock on the file and holds it until unlockFile().
QProcess *lockHolder = nullptr;

bool lockFile()
{
    lockHolder = new QProcess;
    lockHolder->start(QStringLiteral("/usr/bin/python3"),
                      {QStringLiteral("-c"), QStringLiteral("import sqlite3, sys\n"
                                                            "c = sqlite3.connect('sqlite.db', isolation_level=None)\n"
                                                            "c.execute('BEGIN EXCLUSIVE')\n"
                                                            "print('locked', flush=True)\n"
                                                            "sys.stdin.read()\n")});
    return lockHolder->waitForReadyRead(30000) && lockHolder->readAllStandardOutput().startsWith("locked");
}

void unlockFile()
{
    if (!lockHolder)
        return;
    lockHolder->closeWriteChannel();
    lockHolder->waitForFinished(30000);
    delete lockHolder;
    lockHolder = nullptr;
}

// What integrity_check says, then the rows' result column in storage order.
QStringList inspectFile()
{
    QStringList state;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("inspect"));
        db.setDatabaseName(QStringLiteral("sqlite.db"));
        QSqlQuery query(db);
        if (db.open() && query.exec(QStringLiteral("PRAGMA integrity_check")) && query.next())
            state << query.value(0).toString();
        else
            state << query.lastError().text();
        query.exec(QStringLiteral("SELECT result FROM data ORDER BY rowid"));
        while (query.next())
            state << query.value(0).toString();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("inspect"));
    return state;
}

// "ok" and the results of rows 1 to n.
QStringList soundWithRows(int n)
{
    QStringList state{QStringLiteral("ok")};
    for (int i = 1; i <= n; ++i)
        state << QString::number(i);
    return state;
}

// The program's database start-up in this process: its status and the boxes shown.
int startUp(QStringList *shown)
{
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    ModalRecorder recorder;
    int status;
    {
        QSqlQuery schemaQuery;
        status = Startup::openDatabase(schemaQuery);
    }
    shown->clear();
    for (const RecordedBox &box : recorder.boxes())
        *shown << box.title + QLatin1Char('|') + box.text;
    return status;
}

} // namespace

class TestDbFaults : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_dir = std::make_unique<TempWorkDir>();
        QVERIFY(m_dir->isValid());
    }
    void cleanup()
    {
        unlockFile();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
        m_dir.reset();
    }
    void startUpOnFaultyFile_data();
    void startUpOnFaultyFile();
    void childStoppedWhileStoring_data();
    void childStoppedWhileStoring();
    void storeUnderFault_data();
    void storeUnderFault();

private:
    std::unique_ptr<TempWorkDir> m_dir;
};

void TestDbFaults::startUpOnFaultyFile_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<int>("rows");  // rows found afterwards, -1: file left as it was

    const QStringList refused{kErrorBox};
    QTest::newRow("locked by another program") << "lock" << 1 << refused << -1;
    QTest::newRow("empty file") << "empty" << -1 << QStringList{"Information|Database initialization: OK"} << 0;
    QTest::newRow("cut in half") << "half" << 1 << refused << -1;
    QTest::newRow("garbage journal") << "journal" << -1 << QStringList() << 2000;
}

void TestDbFaults::startUpOnFaultyFile()
{
    QFETCH(QString, fault);
    QFETCH(int, status);
    QFETCH(QStringList, shown);
    QFETCH(int, rows);

    if (fault == QLatin1String("empty")) {
        QVERIFY(writeFile(QStringLiteral("sqlite.db"), QByteArray()));
    } else {
        QVERIFY(prepareDatabaseFile(
            {kSchema, QStringLiteral("WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 2000) "
                                     "INSERT INTO data(instrument_id, result) SELECT printf('%0100d', x), x FROM n")}));
    }
    if (fault == QLatin1String("lock")) {
        QVERIFY(lockFile());
    } else if (fault == QLatin1String("half")) {
        QVERIFY(QFile::resize(QStringLiteral("sqlite.db"), QFileInfo(QStringLiteral("sqlite.db")).size() / 2));
    } else if (fault == QLatin1String("journal")) {
        QVERIFY(writeFile(QStringLiteral("sqlite.db-journal"), QByteArray(4096, '\x5a')));
    }
    const QByteArray before = readFile(QStringLiteral("sqlite.db"));

    QStringList seen;
    StderrCapture capture;
    QCOMPARE(startUp(&seen), status);
    QCOMPARE(seen, shown);
    if (rows < 0) {
        // Refused, with the driver's reason in the log, and not touched.
        const QByteArray log = capture.take();
        QVERIFY2(!log.trimmed().isEmpty() && (fault != QLatin1String("lock") || log.contains("database is locked")),
                 log.constData());
        QCOMPARE(readFile(QStringLiteral("sqlite.db")), before);
    } else {
        const QStringList state = inspectFile();
        QCOMPARE(state.first(), QStringLiteral("ok"));
        QCOMPARE(state.size() - 1, rows);
    }
}

void TestDbFaults::childStoppedWhileStoring_data()
{
    QTest::addColumn<int>("room");  // bytes the file may grow by; 0: killed after 50 rows
    QTest::newRow("killed") << 0;
    QTest::newRow("disk full") << 8192;
}

// veltrano-faultchild (faults/child_main.cpp) stores row after row. Each row
// it reported survives, with no half row; only the one being written when it
// was killed may or may not.
void TestDbFaults::childStoppedWhileStoring()
{
    QFETCH(int, room);
    QVERIFY(prepareDatabaseFile({kSchema}));
    QProcess child;
    child.setStandardErrorFile(QStringLiteral("faultchild.stderr"));  // may be more than a pipe holds
    child.start(QStringLiteral(VELTRANO_FAULTCHILD),
                room ? QStringList{QString::number(QFileInfo(QStringLiteral("sqlite.db")).size() + room)} : QStringList());
    QByteArray output;
    while (!(room == 0 && output.contains("\nstored 50\n")) && child.waitForReadyRead(120000))
        output += child.readAllStandardOutput();
    if (room == 0)
        child.kill();
    child.waitForFinished();
    QCOMPARE(child.state(), QProcess::NotRunning);
    output += child.readAllStandardOutput();
    QCOMPARE(child.exitStatus(), room ? QProcess::NormalExit : QProcess::CrashExit);
    const QByteArray failure = output.mid(output.indexOf("\nfailed "));
    QVERIFY2(room == 0 || failure.contains("disk") || failure.contains("full"), output.right(300).constData());

    const int stored = lastStored(output);
    QVERIFY2(stored >= (room ? 1 : 50), readFile(QStringLiteral("faultchild.stderr")).right(2000).constData());
    const QStringList state = inspectFile();
    QVERIFY2(state == soundWithRows(stored) || (room == 0 && state == soundWithRows(stored + 1)),
             qPrintable(QStringLiteral("%1 after %2 rows reported").arg(state.join(' ').right(40)).arg(stored)));

    // The next start finds the table and says nothing.
    QStringList shown;
    QCOMPARE(startUp(&shown), -1);
    QCOMPARE(shown, QStringList());
}

void TestDbFaults::storeUnderFault_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("reason");  // in the box, from the driver

    QTest::newRow("locked by another program") << "lock" << "database is locked";
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
    const QByteArray sound = readFile(QStringLiteral("sqlite.db"));
    int before = 2;

    QSqlQuery pragma;
    if (fault == QLatin1String("lock")) {
        QVERIFY(lockFile());
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
        QVERIFY(writeFile(QStringLiteral("sqlite.db"), QByteArray(sound.size(), '\x5a')));
    }

    StderrCapture capture;
    probe.store(QStringLiteral("B1"));
    probe.store(QStringLiteral("B1"));
    QCOMPARE(recorder.titles(), QStringList({"Critical", "Critical"}));
    QVERIFY2(recorder.texts().first().contains(reason), qPrintable(recorder.texts().first()));
    QVERIFY(recorder.texts().first().contains(QStringLiteral("error occured during:\n")));
    QCOMPARE(capture.take().count("Critical: "), 2);

    if (fault == QLatin1String("lock"))
        unlockFile();
    else if (fault == QLatin1String("read-only"))
        QVERIFY(pragma.exec(QStringLiteral("PRAGMA query_only = OFF")));
    else if (fault == QLatin1String("full"))
        QVERIFY(pragma.exec(QStringLiteral("PRAGMA max_page_count = 1073741823")));
    else
        QVERIFY(writeFile(QStringLiteral("sqlite.db"), sound));
    QCOMPARE(allTestRows().size(), before);
    probe.store(QStringLiteral("B1"));
    QCOMPARE(recorder.count(), 2);
    QCOMPARE(allTestRows().size(), before + 1);
    QCOMPARE(inspectFile().first(), QStringLiteral("ok"));
    closeTestDatabase();
}

QTEST_MAIN(TestDbFaults)
#include "tst_dbfaults.moc"
