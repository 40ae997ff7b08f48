// settings.ini between the Qt 5 and the Qt 6 build. Both builds run these
// tables against the same bytes: what one is shown to write is what the other
// is shown to read, and files typed by hand read the same in both.
#include "collect/instrumentconfig.h"
#include "support/inifile.h"
#include "tempworkdir.h"

#include <QSettings>
#include <QtTest>

namespace Config = Veltrano::Config;

class TestSettingsFile : public QObject
{
    Q_OBJECT
    std::unique_ptr<TempWorkDir> m_dir;

private slots:
    void init() { m_dir = std::make_unique<TempWorkDir>(); }
    void cleanup() { m_dir.reset(); }

    void written_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("accented") << "B1" << QString::fromUtf8("Waage Süd") << QByteArray("[B1]\nname=Waage S\xc3\xbc" "d\n");
        QTest::newRow("beyond 16 bits") << "B1" << QString::fromUtf8("Wägung \xf0\x9f\x98\x80")
                                        << QByteArray("[B1]\nname=W\xc3\xa4gung \xf0\x9f\x98\x80\n");
        QTest::newRow("controls") << "B1" << QString::fromUtf8("a\tb\x7f;") << QByteArray("[B1]\nname=\"a\\tb\x7f;\"\n");
        QTest::newRow("accented id") << QString::fromUtf8("Süd") << "x" << QByteArray("[S%FCd]\nname=x\n");
    }

    // What the program writes, byte for byte, and what it reads back.
    void written()
    {
        QFETCH(QString, id);
        QFETCH(QString, name);
        {
            const std::unique_ptr<QSettings> settings = Veltrano::IniFile::open(QStringLiteral("settings.ini"));
            settings->setValue(Config::keyPath(id, Config::Key::name), name);
            QVERIFY(Config::flush(*settings));
        }
        QTEST(readFile("settings.ini"), "bytes");
        const std::unique_ptr<QSettings> settings = Veltrano::IniFile::open(QStringLiteral("settings.ini"));
        QCOMPARE(Config::readText(*settings, id, Config::Key::name), name);
    }

    void typed_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("stored");  // the file once it was opened; empty: unchanged
        const QString sued = QString::fromUtf8("Süd");
        QTest::newRow("UTF-8") << QByteArray("[B1]\nname=S\xc3\xbc" "d\n") << "B1" << sued << QByteArray();
        QTest::newRow("escapes of older writers") << QByteArray("[B1]\nname=S\\xfc\\x64\n") << "B1" << sued << QByteArray();
        QTest::newRow("Latin-1") << QByteArray("; f\xfcr Labor 2\r\n[S\xfc" "d]\r\nname=S\xfc" "d\r\n") << sued << sued
                                 << QByteArray("; f\xc3\xbcr Labor 2\r\n[S%FCd]\r\nname=S\xc3\xbc" "d\r\n");
        QTest::newRow("UTF-8 id and key") << QByteArray("[S\xc3\xbc" "d]\nname=x\nn\xc3\xa4me=y\n") << sued << "x"
                                          << QByteArray("[S%FCd]\nname=x\nn%E4me=y\n");
        QTest::newRow("byte-order mark") << QByteArray("\xef\xbb\xbf[B1]\nname=S\xc3\xbc" "d\n") << "B1" << sued
                                         << QByteArray("[B1]\nname=S\xc3\xbc" "d\n");
        QTest::newRow("not text: left alone") << QByteArray("[B1]\nname=S\xfc" "d\x01\n") << "B1" << QString::fromUtf8("S\xef\xbf\xbd" "d\x01")
                                              << QByteArray();
        QTest::newRow("value going on") << QByteArray("[B1]\nname=\"a\n\xc3\xa4=\"\n") << "B1"
                                        << QString::fromUtf8("a\nä=") << QByteArray();
    }

    // Files as an editor leaves them, read through the program's one way in.
    void typed()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, id);
        QFETCH(QByteArray, stored);
        QVERIFY(writeFile("settings.ini", bytes));
        const std::unique_ptr<QSettings> settings = Veltrano::IniFile::open(QStringLiteral("settings.ini"));
        QCOMPARE(settings->childGroups(), QStringList{id});
        QTEST(Config::readText(*settings, id, Config::Key::name), "name");
        QCOMPARE(readFile("settings.ini"), stored.isEmpty() ? bytes : stored);
    }
};

QTEST_GUILESS_MAIN(TestSettingsFile)
#include "tst_settingsfile.moc"
