// The database refusing rows for a while: locked by another program,
// read-only, full, with the pending-rows file refused too, and the process
// killed in the middle of an outage. Every sampled row reaches the database
// once it takes rows again, the operator is told once, and the file stays sound.
#include "collectionprobe.h"
#include "store/measurementstore.h"
#include "modalrecorder.h"
#include "startup.h"
#include "stderrcapture.h"
#include "tempworkdir.h"
#include "testdatabase.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>


namespace {

const QString kPending = QString::fromLatin1(Veltrano::MeasurementDb::kPendingFileName);

// A connection of its own holds an exclusive lock on the file, as another
// program would, until unlockFile().
bool lockFile()
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker"));
    db.setDatabaseName(QStringLiteral("sqlite.db"));
    return db.open() && QSqlQuery(db).exec(QStringLiteral("BEGIN EXCLUSIVE"));
}

void unlockFile()
{
    QSqlDatabase::database(QStringLiteral("locker"), false).close();
    QSqlDatabase::removeDatabase(QStringLiteral("locker"));
}

// What integrity_check says, then the rows' result column in storage order.
QStringList inspectFile()
{
    QSqlQuery query(QStringLiteral("PRAGMA integrity_check"));
    QStringList state{query.next() ? query.value(0).toString() : query.lastError().text()};
    query.exec(QStringLiteral("SELECT result FROM data ORDER BY rowid"));
    while (query.next())
        state << query.value(0).toString();
    return state;
}

// "ok" and the results first to last.
QStringList soundWithRows(int first, int last)
{
    QStringList state{QStringLiteral("ok")};
    for (int i = first; i <= last; ++i)
        state << QString::number(i);
    return state;
}

// The row of tick n, of one of three instruments.
Veltrano::MeasurementDb::Row sampled(int n)
{
    return {QStringLiteral("2026-12-07"), QStringLiteral("08:00:%1").arg(n, 2, 10, QLatin1Char('0')),
            QStringLiteral("B%1").arg(n % 3), QString(), QString::number(n), QStringLiteral("g  ")};
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
        installTestMessageHandler();
        QVERIFY(prepareDatabaseFile({QString::fromLatin1(Veltrano::MeasurementDb::kCreateTable)}));
        QCOMPARE(Startup::openDatabase(), -1);
    }

    void cleanup()
    {
        unlockFile();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
        m_dir.reset();
    }

    void storeDuringOutage_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("bound");  // rows kept in memory alone
        QTest::addColumn<int>("last");   // the last row found afterwards
        QTest::addColumn<QStringList>("boxes");  // what each box says; the first, the driver's reason too

        const int bound = Veltrano::MeasurementStore::kMemoryBound;
        const QStringList locked{QStringLiteral("database is locked")};
        QTest::newRow("locked by another program") << "lock" << bound << 12 << locked;
        QTest::newRow("read-only connection") << "read-only" << bound << 12 << QStringList{"readonly database"};
        QTest::newRow("pending file refused too") << "lock+file" << bound << 12 << locked;
        QTest::newRow("memory bound passed")
            << "lock+file" << 5 << 5
            << QStringList{"database is locked", "rows are being lost (kept in memory: 5)", "refused them: 7"};
        QTest::newRow("cleared during the outage") << "lock+clear" << bound << 0 << locked;
    }

    // Rows of three instruments, stored for several sampling ticks while the
    // fault lasts, are written once it is gone, in sampling order.
    void storeDuringOutage()
    {
        QFETCH(QString, fault);
        QFETCH(int, bound);
        QFETCH(int, last);
        QFETCH(QStringList, boxes);
        Veltrano::MeasurementStore store(kPending);
        QSignalSpy told(&store, &Veltrano::MeasurementStore::problem);
        store.setMemoryBound(bound);
        store.store(sampled(0));

        QSqlQuery pragma;
        if (fault.startsWith(QLatin1String("lock")))
            QVERIFY(lockFile());
        else
            QVERIFY(pragma.exec(QStringLiteral("PRAGMA query_only = ON")));
        if (fault.endsWith(QLatin1String("+file")))
            QVERIFY(QDir().mkdir(kPending));
        for (int n = 1; n <= 12; ++n) {
            QElapsedTimer stall;
            stall.start();
            store.store(sampled(n));
            QVERIFY2(stall.elapsed() < 2000, qPrintable(QString::number(stall.elapsed())));
        }
        if (fault.endsWith(QLatin1String("+clear")))
            store.clear();

        QSignalSpy written(&store, &Veltrano::MeasurementStore::rowsWritten);
        unlockFile();
        QVERIFY(pragma.exec(QStringLiteral("PRAGMA query_only = OFF")));
        QVERIFY(QDir().rmdir(kPending) || !fault.endsWith(QLatin1String("+file")));
        if (last)
            QVERIFY(written.wait(2 * Veltrano::MeasurementStore::kRetryMs));
        QCOMPARE(inspectFile(), soundWithRows(0, last));
        QVERIFY(!QFile::exists(kPending));

        QCOMPARE(told.count(), boxes.size());
        for (int i = 0; i < boxes.size(); ++i)
            QVERIFY2(qvariant_cast<Veltrano::OperatorMessage>(told.at(i).first()).line.contains(boxes.at(i)), qPrintable(qvariant_cast<Veltrano::OperatorMessage>(told.at(i).first()).line));
        QVERIFY(qvariant_cast<Veltrano::OperatorMessage>(told.first().first()).line.contains(QStringLiteral("error occured during:\nINSERT INTO data(")));
    }

    void childStoppedDuringOutage_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("killed") << "kill";
        QTest::newRow("disk full") << "full";
    }

    // veltrano-faultchild (faults/child_main.cpp) samples row after row. Killed
    // while another program locks the file, its rows are written at the next
    // start; on a full disk, once there is room again.
    void childStoppedDuringOutage()
    {
        QFETCH(QString, mode);
        QProcess child;
        child.setStandardErrorFile(QStringLiteral("faultchild.stderr"));
        child.start(QStringLiteral(VELTRANO_FAULTCHILD), {mode});
        QVERIFY(child.waitForReadyRead(30000));
        QCOMPARE(child.readLine(), QByteArray("ready\n"));
        if (mode == QLatin1String("kill"))
            QVERIFY(lockFile());
        child.write("go\n");
        QByteArray output;
        while (!output.contains("\ntick 30\n") && !output.contains("boxes") && child.waitForReadyRead(60000))
            output += child.readAllStandardOutput();
        if (mode == QLatin1String("kill")) {
            child.kill();
            unlockFile();
        }
        QVERIFY(child.waitForFinished(60000));
        output += child.readAllStandardOutput();

        output.truncate(output.lastIndexOf('\n') + 1);  // a line cut by the kill
        const int ticks = output.mid(output.lastIndexOf("tick ") + 5).split('\n').first().toInt();
        QVERIFY2(mode == "kill" ? ticks >= 30 : output.endsWith("boxes 1\n"), output.right(300).constData());
        if (mode == QLatin1String("kill")) {
            // The next start writes what the killed one kept, and says nothing.
            ModalRecorder recorder;
            MainWindow window;
            QVERIFY(MainWindowProbe(window).drain());
            QCoreApplication::processEvents();
            QVERIFY(!QApplication::activeModalWidget() && recorder.count() == 0);
        }
        const QStringList state = inspectFile();
        QVERIFY2(state == soundWithRows(1, ticks) || (mode == "kill" && state == soundWithRows(1, ticks + 1)),
                 qPrintable(QStringLiteral("%1 after %2 ticks").arg(state.join(' ').right(40)).arg(ticks)));
        QVERIFY(!QFile::exists(kPending));
    }

private:
    std::unique_ptr<TempWorkDir> m_dir;
};

QTEST_MAIN(TestDbFaults)
#include "tst_dbfaults.moc"
