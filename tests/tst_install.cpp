// Installs the build into a temporary prefix and checks what a desktop user
// gets: the files, a valid desktop entry, and a launcher that starts the
// program in the user's data folder with the window icon in place.
#include "tempworkdir.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestInstall : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void installedFiles_data();
    void installedFiles();
    void desktopEntry();
    void launcherStartsInDataFolder_data();
    void launcherStartsInDataFolder();

private:
    QString installed(const QString &relative) const { return m_prefix.filePath(relative); }
    QString desktopFile() const { return installed(QStringLiteral("share/applications/veltrano.desktop")); }

    QTemporaryDir m_prefix{QDir::tempPath() + QStringLiteral("/veltrano prefix-XXXXXX")};
};

void TestInstall::initTestCase()
{
    const QString buildDir = qEnvironmentVariable("VELTRANO_BUILD_DIR");
    const QString cmake = qEnvironmentVariable("VELTRANO_CMAKE_COMMAND");
    if (buildDir.isEmpty() || cmake.isEmpty())
        QSKIP("run through CTest, which names the build directory and cmake");
    QVERIFY(m_prefix.isValid());

    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(cmake, {QStringLiteral("--install"), buildDir, QStringLiteral("--prefix"), m_prefix.path()});
    QVERIFY(install.waitForFinished(120000));
    QVERIFY2(install.exitStatus() == QProcess::NormalExit && install.exitCode() == 0, install.readAll().constData());
}

void TestInstall::installedFiles_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("executable");
    QTest::newRow("program") << "bin/veltrano" << true;
    QTest::newRow("simulator") << "bin/veltrano-balance-sim" << true;
    // The launcher, the window icon and the desktop entry are read by the tests below.
    QTest::newRow("theme icon") << "share/icons/hicolor/32x32/apps/veltrano.png" << false;
}

void TestInstall::installedFiles()
{
    QFETCH(QString, path);
    QFETCH(bool, executable);
    const QFileInfo info(installed(path));
    QVERIFY2(info.isFile(), qPrintable(info.filePath()));
    QCOMPARE(info.isExecutable(), executable);
    QVERIFY(info.size() > 0);
}

void TestInstall::desktopEntry()
{
    QSettings entry(desktopFile(), QSettings::IniFormat);
    entry.beginGroup(QStringLiteral("Desktop Entry"));
    QCOMPARE(entry.value(QStringLiteral("Exec")).toString(), installed(QStringLiteral("bin/veltrano-launcher")));
    QCOMPARE(entry.value(QStringLiteral("TryExec")).toString(), entry.value(QStringLiteral("Exec")).toString());
    // The theme looks the icon up by this name under icons/hicolor/<size>/apps.
    QCOMPARE(entry.value(QStringLiteral("Icon")).toString(), QStringLiteral("veltrano"));

    const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (validator.isEmpty())
        QSKIP("desktop-file-validate is not installed (Debian package desktop-file-utils)");
    QProcess validate;
    validate.setProcessChannelMode(QProcess::MergedChannels);
    validate.start(validator, {desktopFile()});
    QVERIFY(validate.waitForFinished(30000));
    const QByteArray output = validate.readAll();
    // The validator also prints hints that do not fail it; there should be none.
    QVERIFY2(validate.exitCode() == 0 && output.trimmed().isEmpty(), output.constData());
}

void TestInstall::launcherStartsInDataFolder_data()
{
    QTest::addColumn<QString>("xdgDataHome");  // under the home folder; empty: not set
    QTest::addColumn<QString>("dataFolder");   // where the program should run, under the home folder
    QTest::addColumn<QByteArray>("iconAlreadyThere");
    QTest::newRow("XDG_DATA_HOME") << "my data" << "my data/veltrano" << QByteArray();
    QTest::newRow("HOME fallback, own icon kept") << "" << ".local/share/veltrano" << QByteArray("my icon");
}

void TestInstall::launcherStartsInDataFolder()
{
    QFETCH(QString, xdgDataHome);
    QFETCH(QString, dataFolder);
    QFETCH(QByteArray, iconAlreadyThere);

    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/veltrano home-XXXXXX"));
    QVERIFY(home.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.remove(QStringLiteral("XDG_DATA_HOME"));
    if (!xdgDataHome.isEmpty())
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(xdgDataHome));
    const QString dataDir = home.filePath(dataFolder);
    const QString icon = dataDir + QStringLiteral("/ico/scale-32.ico");
    if (!iconAlreadyThere.isEmpty()) {
        QVERIFY(QDir().mkpath(dataDir + QStringLiteral("/ico")));
        QVERIFY(writeFile(icon, iconAlreadyThere));
    }

    QProcess program;
    // The program keeps running (behind its first-run box); end it on every way out.
    const auto stop = qScopeGuard([&program] { program.kill(); program.waitForFinished(); });
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(installed(QStringLiteral("bin/veltrano-launcher")), QStringList());
    QVERIFY(program.waitForStarted());

    // The program creates its database in the folder it runs in.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dataDir + QStringLiteral("/sqlite.db")), 10000);
    QVERIFY(program.state() == QProcess::Running);

    const QByteArray expectedIcon =
        iconAlreadyThere.isEmpty() ? readFile(installed(QStringLiteral("share/veltrano/ico/scale-32.ico")))
                                   : iconAlreadyThere;
    QCOMPARE(readFile(icon), expectedIcon);
}

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
