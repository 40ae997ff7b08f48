// The demo script with the real balance simulators. The program it starts is
// replaced by `cat`, which runs until the test closes its input: the test
// then plays the program itself, in-process, in the demo folder.
#include "mainwindow.h"
#include "modalrecorder.h"
#include "stderrcapture.h"
#include "tempworkdir.h"
#include "testdatabase.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// The demo has set everything up and started the program.
bool waitUntilReady(QProcess &demo)
{
    QByteArray output;
    while (!output.contains("press Start") && demo.waitForReadyRead(15000))
        output += demo.readAllStandardOutput();
    return output.contains("press Start") && demo.state() == QProcess::Running;
}

// Ends the program the demo started, and with it the demo: its exit code.
int end(QProcess &demo)
{
    demo.closeWriteChannel();
    return demo.waitForFinished(15000) && demo.exitStatus() == QProcess::NormalExit ? demo.exitCode() : -1;
}

QStringList rows(const QString &instrumentName)
{
    return allTestRows().filter(QLatin1Char('|') + instrumentName + QLatin1Char('|'));
}

} // namespace

class TestDemo : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void collectsFromBothBalancesOncePerFolder();

private:
    // Runs the demo script from the user's folder with the demo in m_demoDir.
    void startDemo(QProcess &demo)
    {
        demo.setWorkingDirectory(m_user->path());
        demo.start(QStringLiteral("bash"), {m_script, m_build.path(), m_demoDir});
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
    if (cat.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("flock")).isEmpty())
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
    for (const char *name : {"settings.ini", "sqlite.db"})
        QVERIFY(writeFile(m_user->filePath(QLatin1String(name)), QByteArray("the user's own ") + name));
    m_demoDir = m_user->filePath(QStringLiteral("demo folder"));
}

void TestDemo::cleanup()
{
    QDir::setCurrent(QDir::tempPath());
    const QStringList entries = QDir(m_user->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries, QDir::Name);
    QCOMPARE(entries, QStringList({"demo folder", "settings.ini", "sqlite.db"}));
    for (const char *name : {"settings.ini", "sqlite.db"})
        QCOMPARE(readFile(m_user->filePath(QLatin1String(name))), QByteArray("the user's own ") + name);
    m_user.reset();
}

void TestDemo::collectsFromBothBalancesOncePerFolder()
{
    QProcess demo;
    const auto endDemo = qScopeGuard([&demo] { end(demo); });  // on every way out
    startDemo(demo);
    QVERIFY2(waitUntilReady(demo), demo.readAllStandardError().constData());
    for (const char *file : {"balance-16", "balance-22", "ico/scale-32.ico"})
        QVERIFY(QFile::exists(m_demoDir + QLatin1Char('/') + QLatin1String(file)));

    // A second demo in the same folder is refused and leaves the first alone.
    QProcess second;
    startDemo(second);
    QCOMPARE(end(second), 1);
    QVERIFY(second.readAllStandardError().contains("already running"));
    QCOMPARE(demo.state(), QProcess::Running);

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

    // Ending the program ends the simulated balances, which take their links
    // along, and the folder is free for the next demo.
    QCOMPARE(end(demo), 0);
    QTRY_VERIFY(!QFile::exists(m_demoDir + QStringLiteral("/balance-16")));
    QTRY_VERIFY(!QFile::exists(m_demoDir + QStringLiteral("/balance-22")));
    QProcess again;
    const auto endAgain = qScopeGuard([&again] { end(again); });
    startDemo(again);
    QVERIFY2(waitUntilReady(again), again.readAllStandardError().constData());
    QCOMPARE(end(again), 0);
}

QTEST_MAIN(TestDemo)
#include "tst_demo.moc"
