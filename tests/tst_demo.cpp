// The demo script with the real balance simulators. The program it starts is
// replaced by `cat`, which runs until the test closes its input: the test
// then plays the program itself, in-process, in the demo folder.
#include "mainwindow.h"
#include "modalrecorder.h"
#include "stderrcapture.h"
#include "testdatabase.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// One run of the demo script, started from `userDir` with the demo in `demoDir`.
class DemoRun
{
public:
    DemoRun(const QString &script, const QString &buildDir, const QString &userDir, const QString &demoDir)
    {
        m_process.setWorkingDirectory(userDir);
        m_process.start(QStringLiteral("bash"), {script, buildDir, demoDir});
        m_process.waitForStarted();
    }
    ~DemoRun() { end(); }

    // The demo has set everything up and started the program.
    bool waitUntilReady()
    {
        return QTest::qWaitFor([this] { return takeOutput().contains("press Start") || !isRunning(); }, 15000)
            && isRunning();
    }
    // Ends the program the script started, and with it the script.
    bool end()
    {
        if (m_process.state() == QProcess::NotRunning)
            return true;
        m_process.closeWriteChannel();
        return m_process.waitForFinished(15000);
    }
    bool isRunning() const { return m_process.state() == QProcess::Running; }
    int exitCode() const { return m_process.exitCode(); }
    QByteArray errors() { return m_process.readAllStandardError(); }

private:
    QByteArray takeOutput()
    {
        m_output += m_process.readAllStandardOutput();
        return m_output;
    }

    QProcess m_process;
    QByteArray m_output;
};

QStringList rows(const QString &instrumentName)
{
    QStringList found;
    for (const QString &row : allTestRows()) {
        const QStringList fields = row.split(QLatin1Char('|'));
        if (fields.value(2) == instrumentName)
            found << row;
    }
    return found;
}

} // namespace

class TestDemo : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void collectsFromBothBalances();
    void runsOncePerFolderAndAgainAfterwards();

private:
    std::unique_ptr<DemoRun> startDemo()
    {
        return std::make_unique<DemoRun>(m_script, m_build.path(), m_user->path(), m_demoDir);
    }

    QString m_script;
    QTemporaryDir m_build;
    std::unique_ptr<QTemporaryDir> m_user;
    QString m_demoDir;
};

void TestDemo::initTestCase()
{
    const QString source = qEnvironmentVariable("VELTRANO_SOURCE_DIR");
    const QString build = qEnvironmentVariable("VELTRANO_BUILD_DIR");
    if (source.isEmpty() || build.isEmpty())
        QSKIP("run through CTest, which names the source and build directories");
    const QString cat = QStandardPaths::findExecutable(QStringLiteral("cat"));
    const QString flock = QStandardPaths::findExecutable(QStringLiteral("flock"));
    if (cat.isEmpty() || flock.isEmpty())
        QSKIP("needs cat and flock (util-linux)");
    m_script = source + QStringLiteral("/tools/demo.sh");

    // A build tree with the real simulator and `cat` as the program.
    QVERIFY(QDir().mkpath(m_build.filePath(QStringLiteral("src/sim"))));
    QVERIFY(QDir().mkpath(m_build.filePath(QStringLiteral("src/app"))));
    QVERIFY(QFile::link(build + QStringLiteral("/src/sim/veltrano-balance-sim"),
                        m_build.filePath(QStringLiteral("src/sim/veltrano-balance-sim"))));
    QVERIFY(QFile::link(cat, m_build.filePath(QStringLiteral("src/app/veltrano"))));
    installTestMessageHandler();
}

// The user's own folder holds their own files, which the demo must leave alone.
void TestDemo::init()
{
    m_user = std::make_unique<QTemporaryDir>();
    QVERIFY(m_user->isValid());
    for (const char *name : {"settings.ini", "sqlite.db"}) {
        QFile file(m_user->filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("the user's own ");
        file.write(name);
    }
    m_demoDir = m_user->filePath(QStringLiteral("demo folder"));
}

void TestDemo::cleanup()
{
    QDir::setCurrent(QDir::tempPath());
    const QStringList entries = QDir(m_user->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries, QDir::Name);
    QCOMPARE(entries, QStringList({"demo folder", "settings.ini", "sqlite.db"}));
    for (const char *name : {"settings.ini", "sqlite.db"}) {
        QFile file(m_user->filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("the user's own ") + name);
    }
    m_user.reset();
}

void TestDemo::collectsFromBothBalances()
{
    auto demo = startDemo();
    QVERIFY2(demo->waitUntilReady(), demo->errors().constData());
    for (const char *link : {"balance-16", "balance-22"})
        QVERIFY(QFile::exists(m_demoDir + QLatin1Char('/') + QLatin1String(link)));
    QVERIFY(QFile::exists(m_demoDir + QStringLiteral("/ico/scale-32.ico")));

    QVERIFY(QDir::setCurrent(m_demoDir));
    QVERIFY(openTestDatabase());
    {
        ModalRecorder boxes;
        MainWindow window;
        window.findChild<QPushButton *>(QStringLiteral("uStart"))->click();
        QTRY_VERIFY_WITH_TIMEOUT(rows("Demo Basic").size() >= 2 && rows("Demo Signum").size() >= 2, 15000);
        window.findChild<QPushButton *>(QStringLiteral("uStop"))->click();
        // A pseudo-terminal cannot hold 7 data bits, which Start reports for
        // each balance; nothing else may go wrong.
        QCOMPARE(boxes.count(), 4);
        for (const QString &text : boxes.texts())
            QVERIFY2(text.endsWith(QLatin1String("startToCollect() cannot set data bits"))
                         || text.endsWith(QLatin1String("not supported or prohibited by the running operating system.")),
                     qPrintable(text));
    }
    // Date, time, name, header, result, unit: both layouts deliver real readings.
    const QRegularExpression basic(QStringLiteral(R"(^[-0-9]{10}\|[0-9:]{8}\|Demo Basic\|\|\+?[0-9]+\.[0-9]{4}\|g  $)"));
    const QRegularExpression signum(QStringLiteral(R"(^[-0-9]{10}\|[0-9:]{8}\|Demo Signum\|N     \|\+?[0-9]+\.[0-9]{2}\|g  $)"));
    QVERIFY2(basic.match(rows("Demo Basic").last()).hasMatch(), qPrintable(rows("Demo Basic").last()));
    QVERIFY2(signum.match(rows("Demo Signum").last()).hasMatch(), qPrintable(rows("Demo Signum").last()));
    closeTestDatabase();

    // Ending the program ends the simulated balances, which take their links along.
    QVERIFY(demo->end());
    QCOMPARE(demo->exitCode(), 0);
    QTRY_VERIFY(!QFile::exists(m_demoDir + QStringLiteral("/balance-16")));
    QTRY_VERIFY(!QFile::exists(m_demoDir + QStringLiteral("/balance-22")));
}

void TestDemo::runsOncePerFolderAndAgainAfterwards()
{
    auto first = startDemo();
    QVERIFY2(first->waitUntilReady(), first->errors().constData());

    DemoRun second(m_script, m_build.path(), m_user->path(), m_demoDir);
    QVERIFY(second.end());
    QCOMPARE(second.exitCode(), 1);
    QVERIFY(second.errors().contains("already running"));
    QVERIFY(first->isRunning());
    QVERIFY(QFile::exists(m_demoDir + QStringLiteral("/balance-16")));

    QVERIFY(first->end());
    auto third = startDemo();
    QVERIFY2(third->waitUntilReady(), third->errors().constData());
    QVERIFY(QFile::exists(m_demoDir + QStringLiteral("/balance-22")));
    QVERIFY(third->end());
    QCOMPARE(third->exitCode(), 0);
}

QTEST_MAIN(TestDemo)
#include "tst_demo.moc"
