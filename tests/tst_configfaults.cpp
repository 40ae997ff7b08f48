// settings.ini as a hostile file: garbage, cut short, huge values, odd
// encodings. The Settings dialog must open on it without harm, and an edit of
// one instrument must not lose what could be read of the others.
#include "collectionprobe.h"
#include "instrumentconfig.h"
#include "settings.h"
#include "windowtestcase.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QSettings>

namespace Config = Veltrano::Config;

namespace {

// Every instrument as the program reads it, one text per instrument.
QStringList readAll()
{
    const QSettings settings(QString::fromLatin1(Config::kFileName), QSettings::IniFormat);
    QStringList all;
    for (const QString &id : settings.childGroups()) {
        const Config::Instrument i = Config::readInstrument(settings, id);
        all << QStringList{id, i.active ? "1" : "0", i.type, i.name, i.comPort.toString(), i.samplingInterval,
                           i.transmissionRate.toString(), i.parity.toString(), i.stopBits.toString(),
                           i.dataOutputFormat.toString()}
                   .join(QLatin1Char('|'));
    }
    return all;
}

// The same random bytes on every run; `size` is a multiple of 4.
QByteArray garbage(int size)
{
    QByteArray bytes(size, '\0');
    QRandomGenerator(2463534242u).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

// The instrument the tests edit, with its name left open.
QByteArray goodInstrument(const QByteArray &name)
{
    return "[Good]\nactive=true\ntype=sartoriusBasic\nname=" + name
           + "\ncomPort=ttyS0\nsamplingInterval=5\ntransmissionRate=9600\nparity=odd\nstopBits=1\n"
             "dataOutputFormat=16\n";
}

} // namespace

class TestConfigFaults : public WindowTestCase
{
    Q_OBJECT
private slots:
    void hostileFile_data();
    void hostileFile();
    void collectionOnHostileFile_data();
    void collectionOnHostileFile();
};

void TestConfigFaults::hostileFile_data()
{
    QTest::addColumn<QByteArray>("before");  // bytes ahead of the edited instrument
    QTest::addColumn<QByteArray>("name");    // its name as the file holds it
    QTest::addColumn<QByteArray>("after");   // bytes behind it
    QTest::addColumn<QString>("shown");      // the name the dialog shows

    const QByteArray huge(200000, 'n');
    const QByteArray none;
    QTest::newRow("binary garbage") << garbage(8192) + "\n" << QByteArray("Left") << garbage(8192) << "Left";
    QTest::newRow("cut inside a quoted value") << none << QByteArray("Left") << QByteArray("[Cut]\nname=\"Rig")
                                               << "Left";
    QTest::newRow("huge section name") << none << QByteArray("Left") << "[" + huge + "]\nname=x\n" << "Left";
    QTest::newRow("utf-16 text") << QByteArray("\xff\xfe[\0E\0n\0c\0]\0\n\0", 14) + "\n" << QByteArray("Left")
                                 << none << "Left";
    QTest::newRow("crlf line ends") << QByteArray("[Crlf]\r\nname=Right\r\n") << QByteArray("Left") << none
                                    << "Left";
    QTest::newRow("huge name") << none << huge << none << QString(huge);
    QTest::newRow("escaped non-ascii name") << none << QByteArray("M\\xe9rleg \\x2696") << none
                                            << QString::fromUtf8("M\xc3\xa9rleg \xe2\x9a\x96");
}

void TestConfigFaults::hostileFile()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, after);
    QFETCH(QString, shown);
    QVERIFY(writeFile(QString::fromLatin1(Config::kFileName), before + goodInstrument(name) + after));
    const QStringList read = readAll();
    const QString good = QStringLiteral("Good|1|sartoriusBasic|%1|ttyS0|5|9600|odd|1|16").arg(shown);
    QVERIFY(read.contains(good));

    {
        Settings dialog;
        dialog.show();
        QCOMPARE(m_boxes->count(), 0);
        auto *instruments = dialog.findChild<QComboBox *>(QStringLiteral("uInstrument"));
        auto *interval = dialog.findChild<QLineEdit *>(QStringLiteral("uSamplingInterval"));
        QVERIFY(instruments && interval);
        instruments->setCurrentIndex(instruments->findData(QStringLiteral("Good")));
        QCOMPARE(dialog.findChild<QLineEdit *>(QStringLiteral("uName"))->text(), shown);

        // One edit of that instrument rewrites the file.
        interval->setFocus();
        QTest::keyClick(interval, Qt::Key_End);
        QTest::keyClicks(interval, QStringLiteral("0"));
    }
    QCOMPARE(m_boxes->count(), 0);

    // What could be read before can still be read, the edit included.
    QStringList expected = read;
    expected.replaceInStrings(good, QStringLiteral("Good|1|sartoriusBasic|%1|ttyS0|50|9600|odd|1|16").arg(shown));
    QCOMPARE(readAll(), expected);
}

void TestConfigFaults::collectionOnHostileFile_data()
{
    QTest::addColumn<QByteArray>("content");  // "-": a directory in the file's place
    QTest::addColumn<QStringList>("ids");     // registered by Start
    QTest::addColumn<QString>("name");        // stored for the first of them

    // Garbage that opens no section of its own.
    const QByteArray noise = garbage(4096).replace('[', '(').replace('/', '(').replace('\\', '(').replace('%', '(');
    QTest::newRow("unreadable") << QByteArray("-") << QStringList() << QString();
    QTest::newRow("garbage after the sections")
        << "[G]\nactive=false\n[H]\nname=Right\n" + noise << QStringList{"H"} << "Right";
    QTest::newRow("interval past the timer's range") << QByteArray("[H]\nsamplingInterval=2147484\nname=x\n")
                                                     << QStringList{"H"} << "x";
}

// Start and storing read the file too: whatever it holds, nothing breaks, and
// what can be read is used as it stands.
void TestConfigFaults::collectionOnHostileFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, ids);
    QFETCH(QString, name);
    if (content == "-")
        QVERIFY(QDir().mkdir(QString::fromLatin1(Config::kFileName)));
    else
        QVERIFY(writeFile(QString::fromLatin1(Config::kFileName), content));
    MainWindow window;
    MainWindowProbe probe{window};
    window.startToCollect();
    QCOMPARE(probe.timers(), ids);
    QCOMPARE(probe.controls(), QStringLiteral("0 1 1 0"));
    for (const QString &id : ids)
        QVERIFY(!probe.timer(id)->isActive());
    if (!ids.isEmpty()) {
        m_boxes->clear();
        probe.store(ids.first());
        QCOMPARE(m_boxes->count(), 0);
        QCOMPARE(allTestRows().value(0).section(QLatin1Char('|'), 2, 2), name);
    }
    window.stopToCollect();
}

QTEST_MAIN(TestConfigFaults)
#include "tst_configfaults.moc"
