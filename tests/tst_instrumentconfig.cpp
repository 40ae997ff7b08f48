#include "instrumentconfig.h"
#include "tempworkdir.h"

#include <QDir>
#include <QSettings>
#include <QtTest>

using namespace Veltrano::Config;

class TestInstrumentConfig : public QObject
{
    Q_OBJECT
private slots:
    void write_data();
    void write();
    void flushReportsAccessErrorsOnly();
};

static void writeFile(const QByteArray &content)
{
    QFile file(QString::fromLatin1(kFileName));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

static QByteArray fileContent()
{
    QFile file(QString::fromLatin1(kFileName));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

void TestInstrumentConfig::write_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("section");

    // Lists without a selection are null values, but `type` is empty text.
    QTest::newRow("plain name") << "Balance 1"
                                << QByteArray("active=false\ncomPort=@Invalid()\ndataOutputFormat=@Invalid()\n"
                                              "name=Balance 1\nparity=@Invalid()\nsamplingInterval=10\n"
                                              "stopBits=@Invalid()\ntransmissionRate=@Invalid()\ntype=\n");
    QTest::newRow("free text that INI must quote")
        << QString::fromUtf8("@a, \"b\"; Mérleg = 1 ")
        << QByteArray("active=false\ncomPort=@Invalid()\ndataOutputFormat=@Invalid()\n"
                      "name=\"@@a, \\\"b\\\"; M\\xe9rleg = 1 \"\nparity=@Invalid()\nsamplingInterval=10\n"
                      "stopBits=@Invalid()\ntransmissionRate=@Invalid()\ntype=\n");
}

void TestInstrumentConfig::write()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, section);
    TempWorkDir dir;
    Instrument instrument;  // lists without a selection
    instrument.active = false;
    instrument.name = name;
    instrument.samplingInterval = "10";
    {
        QSettings settings(QString::fromLatin1(kFileName), QSettings::IniFormat);
        writeInstrument(settings, "B1", instrument);
    }
    QCOMPARE(fileContent(), "[B1]\n" + section);
    const QSettings settings(QString::fromLatin1(kFileName), QSettings::IniFormat);
    QCOMPARE(readInstrument(settings, "B1").name, instrument.name);
}

void TestInstrumentConfig::flushReportsAccessErrorsOnly()
{
    TempWorkDir dir;
    writeFile("[B1\nname=x\n");  // malformed, but writable
    {
        QSettings settings(QString::fromLatin1(kFileName), QSettings::IniFormat);
        settings.setValue(keyPath("B2", Key::name), "y");
        QVERIFY(flush(settings));
        QVERIFY(fileContent().contains("[B2]\nname=y\n"));
    }
    QVERIFY(QFile::remove(QString::fromLatin1(kFileName)));
    QVERIFY(QDir().mkdir(QString::fromLatin1(kFileName)));
    QSettings settings(QString::fromLatin1(kFileName), QSettings::IniFormat);
    settings.setValue(keyPath("B2", Key::name), "y");
    QVERIFY(!flush(settings));
}

QTEST_GUILESS_MAIN(TestInstrumentConfig)
#include "tst_instrumentconfig.moc"
