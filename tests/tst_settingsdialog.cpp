#include "collectionprobe.h"
#include "windowtestcase.h"
#include "gettext.h"
#include "settings.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QtTest>


// The dialog driven as an operator would: clicks and keys, the id prompt and
// the boxes answered by the modal recorder. Every save is on disk at once,
// so the file is read back while the dialog is still open.
class TestSettingsDialog : public WindowTestCase
{
    Q_OBJECT
private slots:
    void loading();
    void switchingWritesNothing();
    void editWritesAllKeys_data();
    void editWritesAllKeys();
    void keptPort_data();
    void keptPort();
    void add_data();
    void add();
    void remove_data();
    void remove();
    void removeWithoutCurrentItem();
    void unwritableFile_data();
    void unwritableFile();
    void mainWindowCommand();

};

static const char kTwo[] = "[B1]\nactive=false\ncomPort=@Invalid()\ndataOutputFormat=22\nname=Left\nparity=odd\n"
                           "samplingInterval=5\nstopBits=2\ntransmissionRate=9600\ntype=sartoriusSignum\n\n"
                           "[B2]\nname=Right\n";

static void click(QWidget *dialog, const char *button)
{
    QTest::mouseClick(child<QPushButton>(dialog, button), Qt::LeftButton);
}

// Answers the next prompt: types the text, then Ok (Cancel when it is null).
static void answerPrompt(ModalRecorder &recorder, const QString &text)
{
    recorder.setDialogHandler([text](QDialog *dialog) {
        QVERIFY(qobject_cast<GetText *>(dialog));
        QCOMPARE(child<QLabel>(dialog, "uLabel")->text(), QStringLiteral("Id"));
        QTest::keyClicks(child(dialog, "uText"), text);
        click(dialog, text.isNull() ? "uCancel" : "uAccept");
    });
}

void TestSettingsDialog::loading()
{
    QVERIFY(writeFile("settings.ini", kTwo));
    Settings dialog;
    dialog.show();
    QStringList values = {child<QCheckBox>(&dialog, "uActive")->isChecked() ? "1" : "0"};
    for (const char *name : {"uType", "uComPort", "uTransmissionRate", "uParity", "uStopBits", "uDataOutputFormat"})
        values << child<QComboBox>(&dialog, name)->currentText();
    for (const char *name : {"uName", "uSamplingInterval"})
        values << child<QLineEdit>(&dialog, name)->text();
    QCOMPARE(values, QStringList({"0", "Sartorius Signum", "", "9600", "Odd", "2", "22 with header", "Left", "5"}));
    QVERIFY(child(&dialog, "uDataOutputFormat")->isHidden() && child(&dialog, "uLabelDataOutputFormat")->isHidden());
}

void TestSettingsDialog::switchingWritesNothing()
{
    // Not in the form QSettings writes, so any rewrite would show.
    const QByteArray file = "; hand-written\n[B1]\ntype = SartoriusBasic\nparity=odd\n\n[B2]\nname=Right\n";
    QVERIFY(writeFile("settings.ini", file));
    {
        Settings dialog;
        dialog.show();
        QTest::keyClick(child(&dialog, "uInstrument"), Qt::Key_Down);
        QCOMPARE(child<QComboBox>(&dialog, "uInstrument")->currentText(), QStringLiteral("B2"));
        click(&dialog, "uClose");
        QVERIFY(!dialog.isVisible());
    }
    QCOMPARE(readFile("settings.ini"), file);
}

void TestSettingsDialog::editWritesAllKeys_data()
{
    QTest::addColumn<QByteArray>("editor");
    QTest::addColumn<int>("key");  // pressed on the editor; 0: the text is typed
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("changed");  // the one line that differs from what was loaded
    QTest::newRow("tick active") << QByteArray("uActive") << int(Qt::Key_Space) << "" << QByteArray("active=true");
    QTest::newRow("type") << QByteArray("uType") << int(Qt::Key_Up) << "" << QByteArray("type=sartoriusBasic");
    QTest::newRow("name, a key") << QByteArray("uName") << 0 << "!" << QByteArray("name=Left!");
    QTest::newRow("baud rate") << QByteArray("uTransmissionRate") << int(Qt::Key_Down) << ""
                               << QByteArray("transmissionRate=19200");
    QTest::newRow("parity") << QByteArray("uParity") << int(Qt::Key_Down) << "" << QByteArray("parity=even");
}

void TestSettingsDialog::editWritesAllKeys()
{
    QFETCH(QByteArray, editor);
    QFETCH(int, key);
    QFETCH(QString, text);
    QFETCH(QByteArray, changed);
    // Every key but comPort; the hidden output format is written back as loaded.
    QVERIFY(writeFile("settings.ini", QByteArray(kTwo).replace("comPort=@Invalid()\n", "")));
    Settings dialog;
    dialog.show();
    if (key)
        QTest::keyClick(child(&dialog, editor), Qt::Key(key));
    else
        QTest::keyClicks(child(&dialog, editor), text);

    QList<QByteArray> expected = QByteArray(kTwo).split('\n');
    for (int i = 1; i < 10; ++i) {
        if (expected[i].startsWith(changed.left(changed.indexOf('=') + 1)))
            expected[i] = changed;
    }
    QCOMPARE(readFile("settings.ini"), expected.join('\n'));
}

// A stored port that is not present is kept; other lists that match no item
// (letter case, surrounding spaces) are saved as null values.
void TestSettingsDialog::keptPort_data()
{
    QTest::addColumn<QString>("stored");
    QTest::newRow("unplugged") << "ttyVELTRANO9";
    QTest::newRow("empty") << "";
}

void TestSettingsDialog::keptPort()
{
    QFETCH(QString, stored);
    QVERIFY(writeFile("settings.ini", "[B1]\ncomPort=" + stored.toUtf8()
                                          + "\nparity=Odd\nstopBits=\" 1\"\n\n[B2]\ncomPort=ttyVELTRANO8\n"));
    Settings dialog;
    dialog.show();
    auto *ports = child<QComboBox>(&dialog, "uComPort");
    const int present = QSerialPortInfo::availablePorts().size();
    QCOMPARE(ports->count(), present + (stored.isEmpty() ? 0 : 1));
    QCOMPARE(ports->currentText(), stored.isEmpty() ? QString() : stored + " (not present)");

    QTest::keyClicks(child(&dialog, "uName"), "x");
    const QByteArray written = stored.isEmpty() ? "@Invalid()" : stored.toUtf8();
    const QByteArray file = readFile("settings.ini");
    QVERIFY2(file.contains("\ncomPort=" + written + "\n"), file);
    QVERIFY2(file.contains("\nparity=@Invalid()\nsamplingInterval=\nstopBits=@Invalid()\n"), file);

    // The next instrument shows its own missing port, not this one's.
    QTest::keyClick(child(&dialog, "uInstrument"), Qt::Key_Down);
    QCOMPARE(ports->count(), present + 1);
    QCOMPARE(ports->currentText(), QStringLiteral("ttyVELTRANO8 (not present)"));
}

void TestSettingsDialog::add_data()
{
    QTest::addColumn<QByteArray>("file");    // "-": no file
    QTest::addColumn<QString>("typed");      // null: the prompt is cancelled
    QTest::addColumn<QStringList>("boxes");  // texts of the message boxes shown
    QTest::addColumn<QStringList>("ids");    // listed afterwards; empty: nothing changed
    const QByteArray two = "[B1]\nname=a\n\n[B3]\nname=c\n";
    const QString malformed = "An instrument id must not be empty and must not contain \"/\" or \"\\\".";
    QTest::newRow("sorted position") << two << "B2" << QStringList() << QStringList({"B1", "B2", "B3"});
    QTest::newRow("into a missing file") << QByteArray("-") << "B1" << QStringList({"settings ini cannot be found."})
                                         << QStringList({"B1"});
    QTest::newRow("cancelled") << two << QString() << QStringList() << QStringList();
    QTest::newRow("duplicate") << two << "B3" << QStringList({"Instrument already exists with this id"})
                               << QStringList();
    QTest::newRow("empty") << two << "" << QStringList({malformed}) << QStringList();
    QTest::newRow("slash") << two << "lab/B2" << QStringList({malformed}) << QStringList();
    QTest::newRow("backslash") << two << "lab\\B2" << QStringList({malformed}) << QStringList();
}

void TestSettingsDialog::add()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, typed);
    QFETCH(QStringList, boxes);
    QFETCH(QStringList, ids);
    if (file != "-")
        QVERIFY(writeFile("settings.ini", file));
    Settings dialog;
    dialog.show();
    auto *instrument = child<QComboBox>(&dialog, "uInstrument");
    answerPrompt(*m_boxes, typed);
    click(&dialog, "uAdd");
    QVERIFY(m_boxes->titles().contains("New instrument"));
    QStringList boxTexts = m_boxes->texts();
    boxTexts.removeAll(QString());  // the prompt's
    QCOMPARE(boxTexts, boxes);

    if (ids.isEmpty()) {
        QCOMPARE(readFile("settings.ini"), file);
        QCOMPARE(instrument->currentText(), QStringLiteral("B1"));
        return;
    }
    QStringList listed;
    for (int i = 0; i < instrument->count(); ++i)
        listed << instrument->itemText(i);
    QCOMPARE(listed, ids);
    QCOMPARE(instrument->currentText(), typed);
    QVERIFY(child(&dialog, "uRemove")->isEnabled() && child(&dialog, "uName")->isEnabled());
    QVERIFY(readFile("settings.ini").contains("[" + typed.toUtf8() + "]\nactive=true\ncomPort=\ndataOutputFormat=\n"
                                              "name=\nparity=\nsamplingInterval=\nstopBits=\ntransmissionRate=\ntype=\n"));
}

void TestSettingsDialog::remove_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("answer");  // NoButton: the box's default
    QTest::addColumn<QString>("shownAfter");
    QTest::addColumn<QByteArray>("left");
    QTest::newRow("yes") << QByteArray(kTwo) << int(QMessageBox::Yes) << "B2" << QByteArray("[B2]\nname=Right\n");
    QTest::newRow("default answer") << QByteArray(kTwo) << int(QMessageBox::NoButton) << "B1" << QByteArray(kTwo);
    QTest::newRow("last one") << QByteArray("[B1]\nname=x\n") << int(QMessageBox::Yes) << "" << QByteArray("");
}

void TestSettingsDialog::remove()
{
    QFETCH(QByteArray, file);
    QFETCH(int, answer);
    QFETCH(QString, shownAfter);
    QFETCH(QByteArray, left);
    QVERIFY(writeFile("settings.ini", file));
    Settings dialog;
    dialog.show();
    if (answer != QMessageBox::NoButton)
        m_boxes->queueAnswer(QMessageBox::StandardButton(answer));
    click(&dialog, "uRemove");
    VERIFY_BOX_TITLES(*m_boxes, "Confirm");
    QCOMPARE(m_boxes->texts(), QStringList({"Do you really want to delete this instrument? B1"}));
    QCOMPARE(readFile("settings.ini"), left);
    QCOMPARE(child<QComboBox>(&dialog, "uInstrument")->currentText(), shownAfter);
    QCOMPARE(child(&dialog, "uRemove")->isEnabled(), !shownAfter.isEmpty());
    QCOMPARE(child(&dialog, "uName")->isEnabled(), !shownAfter.isEmpty());
}

void TestSettingsDialog::removeWithoutCurrentItem()
{
    // Top-level keys but no section: an empty id would address the whole file.
    QVERIFY(writeFile("settings.ini", "[General]\nname=top\n"));
    {
        Settings dialog;
        dialog.removeInstrument();
        QCOMPARE(m_boxes->count(), 0);
    }
    QCOMPARE(readFile("settings.ini"), QByteArray("[General]\nname=top\n"));
}

void TestSettingsDialog::unwritableFile_data()
{
    QTest::addColumn<bool>("folder");  // a folder in the file's place; otherwise a malformed file
    QTest::newRow("unwritable") << true;
    QTest::newRow("malformed but writable") << false;
}

void TestSettingsDialog::unwritableFile()
{
    QFETCH(bool, folder);
    QVERIFY(folder ? QDir().mkdir("settings.ini") : writeFile("settings.ini", "[B0\nname=x\n"));
    StderrCapture capture;
    Settings dialog;
    dialog.show();
    m_boxes->clear();
    answerPrompt(*m_boxes, "B1");
    click(&dialog, "uAdd");
    QTest::keyClicks(child(&dialog, "uName"), "ab");
    const QString warning = QStringLiteral("settings ini cannot be written.");
    QCOMPARE(m_boxes->texts(), folder ? QStringList({"", warning}) : QStringList({""}));
    QCOMPARE(capture.take().count("void Settings::flushStore() " + warning.toUtf8() + "\n"), folder ? 2 : 0);
    if (!folder)
        QVERIFY2(readFile("settings.ini").contains("\nname=ab\n"), readFile("settings.ini"));
}

void TestSettingsDialog::mainWindowCommand()
{
    MainWindow window;
    child<QAction>(&window, "actionSettings")->trigger();  // the recorder rejects the dialog
    QCOMPARE(m_boxes->boxes().value(1).className, QStringLiteral("Settings"));
    VERIFY_BOX_TITLES(*m_boxes, "Warning", QString::fromUtf8("Beállítások"));
}

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
