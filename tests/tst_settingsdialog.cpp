// The dialog driven as an operator would: clicks and keys, the id prompt and
// the boxes answered by the modal recorder. Every save is on disk at once,
// so the file is read back while the dialog is still open.
#include "collectionprobe.h"
#include "gettext.h"
#include "settings.h"
#include "windowtestcase.h"

#include <QComboBox>
#include <QDir>
#include <QPushButton>

class TestSettingsDialog : public WindowTestCase
{
    Q_OBJECT
private slots:
    void edit_data();
    void edit();
    void keptPort();
    void add_data();
    void add();
    void remove_data();
    void remove();
    void unwritableFile_data();
    void unwritableFile();
};

namespace {

QByteArray twoInstruments(const QByteArray &name = "Left")
{
    return "[B1]\nactive=false\ncomPort=@Invalid()\ndataOutputFormat=22\nname=" + name
           + "\nparity=odd\nsamplingInterval=5\nstopBits=2\ntransmissionRate=9600\ntype=sartoriusSignum\n\n"
             "[B2]\nname=Right\n";
}

void click(QWidget *dialog, const char *button)
{
    QTest::mouseClick(child<QPushButton>(dialog, button), Qt::LeftButton);
}

// Answers the next id prompt: types the text, then Ok (Cancel when it is null).
void answerPrompt(ModalRecorder &recorder, const QString &text)
{
    recorder.setDialogHandler([text](QDialog *dialog) {
        QVERIFY(qobject_cast<GetText *>(dialog));
        QTest::keyClicks(child(dialog, "uText"), text);
        click(dialog, text.isNull() ? "uCancel" : "uAccept");
    });
}

} // namespace

void TestSettingsDialog::edit_data()
{
    QTest::addColumn<QByteArray>("name");  // as stored
    QTest::addColumn<QByteArray>("editor");
    QTest::addColumn<int>("key");  // pressed on the editor; 0: the text is typed at its end
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("changed");  // the one line that differs from what was loaded
    QTest::newRow("tick active") << QByteArray("Left") << QByteArray("uActive") << int(Qt::Key_Space) << ""
                                 << QByteArray("active=true");
    QTest::newRow("type") << QByteArray("Left") << QByteArray("uType") << int(Qt::Key_Up) << ""
                          << QByteArray("type=sartoriusBasic");
    QTest::newRow("name") << QByteArray("Left") << QByteArray("uName") << 0 << "!" << QByteArray("name=Left!");
    QTest::newRow("parity") << QByteArray("Left") << QByteArray("uParity") << int(Qt::Key_Down) << ""
                            << QByteArray("parity=even");
    QTest::newRow("a 200000-character name is kept") << QByteArray(200000, 'n') << QByteArray("uSamplingInterval") << 0
                                                     << "0" << QByteArray("samplingInterval=50");
}

// Any edit writes all nine keys of the instrument; a key the file lacks is
// written as a null value.
void TestSettingsDialog::edit()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, editor);
    QFETCH(int, key);
    QFETCH(QString, text);
    QFETCH(QByteArray, changed);
    QVERIFY(writeFile("settings.ini", twoInstruments(name).replace("comPort=@Invalid()\n", "")));
    Settings dialog;
    dialog.show();
    if (key) {
        QTest::keyClick(child(&dialog, editor), Qt::Key(key));
    } else {
        QTest::keyClick(child(&dialog, editor), Qt::Key_End);
        QTest::keyClicks(child(&dialog, editor), text);
    }
    QList<QByteArray> expected = twoInstruments(name).split('\n');
    for (int i = 1; i < 10; ++i) {
        if (expected[i].startsWith(changed.left(changed.indexOf('=') + 1)))
            expected[i] = changed;
    }
    QCOMPARE(readFile("settings.ini"), expected.join('\n'));
}

// A stored port that is not present is listed, selected and written back as
// it was; other lists that match no item are written as null values.
void TestSettingsDialog::keptPort()
{
    QVERIFY(writeFile("settings.ini", "[B1]\ncomPort=ttyVELTRANO9\nparity=Odd\n\n[B2]\ncomPort=ttyVELTRANO8\n"));
    Settings dialog;
    dialog.show();
    auto *ports = child<QComboBox>(&dialog, "uComPort");
    QCOMPARE(ports->currentText(), QStringLiteral("ttyVELTRANO9 (not present)"));
    QTest::keyClicks(child(&dialog, "uName"), "x");
    QVERIFY(readFile("settings.ini").contains("\ncomPort=ttyVELTRANO9\n"));
    QVERIFY(readFile("settings.ini").contains("\nparity=@Invalid()\n"));
    QTest::keyClick(child(&dialog, "uInstrument"), Qt::Key_Down);
    QCOMPARE(ports->currentText(), QStringLiteral("ttyVELTRANO8 (not present)"));
    QCOMPARE(ports->findText(QStringLiteral("ttyVELTRANO9 (not present)")), -1);
}

void TestSettingsDialog::add_data()
{
    QTest::addColumn<QByteArray>("file");   // "-": no file
    QTest::addColumn<QString>("typed");     // null: the prompt is cancelled
    QTest::addColumn<QString>("box");       // the message box shown, if any
    QTest::addColumn<QStringList>("ids");   // listed afterwards; empty: nothing changed
    const QByteArray two = "[B1]\nname=a\n\n[B3]\nname=c\n";
    const QString malformed = "An instrument id must not be empty and must not contain \"/\" or \"\\\".";
    QTest::newRow("sorted position") << two << "B2" << QString() << QStringList({"B1", "B2", "B3"});
    QTest::newRow("into a missing file") << QByteArray("-") << "B1" << "settings ini cannot be found." << QStringList({"B1"});
    QTest::newRow("cancelled") << two << QString() << QString() << QStringList();
    QTest::newRow("duplicate") << two << "B3" << "Instrument already exists with this id" << QStringList();
    QTest::newRow("empty") << two << "" << malformed << QStringList();
    QTest::newRow("slash") << two << "lab/B2" << malformed << QStringList();
    QTest::newRow("backslash") << two << "lab\\B2" << malformed << QStringList();
}

void TestSettingsDialog::add()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, typed);
    QFETCH(QString, box);
    QFETCH(QStringList, ids);
    if (file != "-")
        QVERIFY(writeFile("settings.ini", file));
    Settings dialog;
    dialog.show();
    auto *instrument = child<QComboBox>(&dialog, "uInstrument");
    answerPrompt(*m_boxes, typed);
    click(&dialog, "uAdd");
    QStringList boxes = m_boxes->texts();
    boxes.removeAll(QString());  // the prompt's
    QCOMPARE(boxes, box.isEmpty() ? QStringList() : QStringList{box});
    if (ids.isEmpty()) {
        QCOMPARE(readFile("settings.ini"), file);
        return;
    }
    QStringList listed;
    for (int i = 0; i < instrument->count(); ++i)
        listed << instrument->itemText(i);
    QCOMPARE(listed, ids);
    QCOMPARE(instrument->currentText(), typed);
    QVERIFY(readFile("settings.ini").contains("[" + typed.toUtf8() + "]\nactive=true\ncomPort=\ndataOutputFormat=\n"
                                              "name=\nparity=\nsamplingInterval=\nstopBits=\ntransmissionRate=\ntype=\n"));
}

void TestSettingsDialog::remove_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("answer");  // NoButton: the box's default
    QTest::addColumn<QString>("shownAfter");
    QTest::addColumn<QByteArray>("left");
    QTest::newRow("yes") << twoInstruments() << int(QMessageBox::Yes) << "B2" << QByteArray("[B2]\nname=Right\n");
    QTest::newRow("default answer") << twoInstruments() << int(QMessageBox::NoButton) << "B1" << twoInstruments();
    QTest::newRow("last one") << QByteArray("[B1]\nname=x\n") << int(QMessageBox::Yes) << "" << QByteArray("");
    // Top-level keys but no instrument: an empty id would address the whole file.
    QTest::newRow("no current item") << QByteArray("[General]\nname=top\n") << int(QMessageBox::Yes) << ""
                                     << QByteArray("[General]\nname=top\n");
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
    m_boxes->queueAnswer(QMessageBox::StandardButton(answer));
    const bool some = child(&dialog, "uRemove")->isEnabled();
    dialog.removeInstrument();
    QCOMPARE(m_boxes->texts(), some ? QStringList{"Do you really want to delete this instrument? B1"} : QStringList());
    QCOMPARE(readFile("settings.ini"), left);
    QCOMPARE(child<QComboBox>(&dialog, "uInstrument")->currentText(), shownAfter);
    QCOMPARE(child(&dialog, "uRemove")->isEnabled(), !shownAfter.isEmpty());
}

void TestSettingsDialog::unwritableFile_data()
{
    QTest::addColumn<bool>("folder");  // a folder in the file's place; otherwise a malformed file
    QTest::newRow("unwritable") << true;
    QTest::newRow("malformed but writable") << false;
}

// Only the first failed write in a dialog's life shows a box; the others are logged.
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
    QCOMPARE(readFile("settings.ini").contains("\nname=ab\n"), !folder);
}

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
