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
    void read_data();
    void read();
    void write_data();
    void write();
    void checkNewId_data();
    void checkNewId();
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

// The nine values as read, in key order, with `active` as true/false.
static QStringList values(const Instrument &i)
{
    return {i.active ? "true" : "false", i.type, i.name, i.comPort.toString(), i.samplingInterval,
            i.transmissionRate.toString(), i.parity.toString(), i.stopBits.toString(), i.dataOutputFormat.toString()};
}

void TestInstrumentConfig::read_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("expected");
    const QStringList blank = {"true", "", "", "", "", "", "", "", ""};
    QTest::newRow("no file") << QByteArray() << blank;
    QTest::newRow("other section only") << QByteArray("[B2]\nname=x\n") << blank;
    QTest::newRow("fresh") << QByteArray("[B1]\nactive=true\ncomPort=\ndataOutputFormat=\nname=\nparity=\n"
                                         "samplingInterval=\nstopBits=\ntransmissionRate=\ntype=\n")
                           << blank;
    QTest::newRow("full") << QByteArray("[B1]\nactive=false\ncomPort=/dev/serial/by-id/usb-FTDI-if00\n"
                                        "dataOutputFormat=22\nname=\"Balance 1, left\"\nparity=odd\n"
                                        "samplingInterval=5\nstopBits=2\ntransmissionRate=9600\ntype=sartoriusSignum\n")
                          << QStringList({"false", "sartoriusSignum", "Balance 1, left", "/dev/serial/by-id/usb-FTDI-if00",
                                          "5", "9600", "odd", "2", "22"});
    QTest::newRow("active missing, null values") << QByteArray("[B1]\ncomPort=@Invalid()\nparity=@Invalid()\nname=n\n")
                                                 << QStringList({"true", "", "n", "", "", "", "", "", ""});
    QTest::newRow("case and spaces kept") << QByteArray("[B1]\nparity=\" Odd \"\ntype=SartoriusBasic\n")
                                          << QStringList({"true", "SartoriusBasic", "", "", "", "", " Odd ", "", ""});
}

void TestInstrumentConfig::read()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, expected);
    TempWorkDir dir;
    if (!file.isEmpty())
        writeFile(file);
    const QSettings settings(QString::fromLatin1(kFileName), QSettings::IniFormat);
    QCOMPARE(values(readInstrument(settings, "B1")), expected);
    QCOMPARE(readActive(settings, "B1"), expected.first() == "true");
}

void TestInstrumentConfig::write_data()
{
    QTest::addColumn<bool>("blank");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("section");

    QTest::newRow("new instrument") << true << QString()
                                    << QByteArray("active=true\ncomPort=\ndataOutputFormat=\nname=\nparity=\n"
                                                  "samplingInterval=\nstopBits=\ntransmissionRate=\ntype=\n");
    // Lists without a selection: null values, but `type` is empty text.
    QTest::newRow("no selections") << false << "Balance 1"
                                   << QByteArray("active=false\ncomPort=@Invalid()\ndataOutputFormat=@Invalid()\n"
                                                 "name=Balance 1\nparity=@Invalid()\nsamplingInterval=10\n"
                                                 "stopBits=@Invalid()\ntransmissionRate=@Invalid()\ntype=\n");
    QTest::newRow("free text that INI must quote")
        << false << QString::fromUtf8("@a, \"b\"; Mérleg = 1 ")
        << QByteArray("active=false\ncomPort=@Invalid()\ndataOutputFormat=@Invalid()\n"
                      "name=\"@@a, \\\"b\\\"; M\\xe9rleg = 1 \"\nparity=@Invalid()\nsamplingInterval=10\n"
                      "stopBits=@Invalid()\ntransmissionRate=@Invalid()\ntype=\n");
}

void TestInstrumentConfig::write()
{
    QFETCH(bool, blank);
    QFETCH(QString, name);
    QFETCH(QByteArray, section);
    TempWorkDir dir;
    Instrument instrument = blankInstrument();
    if (!blank) {
        instrument = Instrument();
        instrument.active = false;
        instrument.name = name;
        instrument.samplingInterval = "10";
    }
    {
        QSettings settings(QString::fromLatin1(kFileName), QSettings::IniFormat);
        writeInstrument(settings, "B1", instrument);
    }
    QCOMPARE(fileContent(), "[B1]\n" + section);
    const QSettings settings(QString::fromLatin1(kFileName), QSettings::IniFormat);
    QCOMPARE(readInstrument(settings, "B1").name, instrument.name);
}

void TestInstrumentConfig::checkNewId_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("expected");
    QTest::newRow("new") << "B3" << int(IdCheck::Accepted);
    QTest::newRow("same id") << "B1" << int(IdCheck::Duplicate);
    QTest::newRow("differs in case") << "b1" << int(IdCheck::Accepted);
    QTest::newRow("surrounding space") << " B1" << int(IdCheck::Accepted);
    QTest::newRow("empty") << "" << int(IdCheck::Malformed);
    QTest::newRow("slash") << "lab/B1" << int(IdCheck::Malformed);
    QTest::newRow("backslash") << "lab\\B1" << int(IdCheck::Malformed);
}

void TestInstrumentConfig::checkNewId()
{
    QFETCH(QString, id);
    QFETCH(int, expected);
    QCOMPARE(int(Veltrano::Config::checkNewId(id, {"B1", "B2"})), expected);
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
