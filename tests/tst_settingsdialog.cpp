// The dialog driven as an operator would: keys and clicks, the id prompt and
// the boxes answered by the modal recorder. Every save is on disk at once,
// so the file is read back while the dialog is still open.
#include "collectionprobe.h"
#include "gettext.h"
#include "settings.h"
#include "windowtestcase.h"

#include <QComboBox>
#include <QDir>
#include <QPushButton>

namespace {

QByteArray twoInstruments(const QByteArray &name = "Left")
{
    return "[B1]\nactive=false\ncomPort=@Invalid()\ndataOutputFormat=22\nname=" + name
           + "\nparity=odd\nsamplingInterval=5\nstopBits=2\ntransmissionRate=9600\ntype=sartoriusSignum\n\n[B2]\nname=Right\n";
}

} // namespace

class TestSettingsDialog : public WindowTestCase
{
    Q_OBJECT
private slots:
    void edit_data()
    {
        QTest::addColumn<QByteArray>("name");     // as stored
        QTest::addColumn<QByteArray>("editor");   // where the text is typed
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("changed");  // the one line that differs from what was loaded
        QTest::newRow("tick active") << QByteArray("Left") << QByteArray("uActive") << " " << QByteArray("active=true");
        QTest::newRow("name") << QByteArray("Left") << QByteArray("uName") << "!" << QByteArray("name=Left!");
        QTest::newRow("parity") << QByteArray("Left") << QByteArray("uParity") << "e" << QByteArray("parity=even");
        QTest::newRow("a 200000-character name is kept")
            << QByteArray(200000, 'n') << QByteArray("uSamplingInterval") << "0" << QByteArray("samplingInterval=50");
    }

    // Any edit writes all nine keys of the instrument; a key the file lacks is
    // written as a null value.
    void edit()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, editor);
        QFETCH(QString, typed);
        QFETCH(QByteArray, changed);
        QVERIFY(writeFile("settings.ini", twoInstruments(name).replace("comPort=@Invalid()\n", "")));
        Settings dialog;
        dialog.show();
        QTest::keyClicks(child(&dialog, editor), typed);
        QList<QByteArray> expected = twoInstruments(name).split('\n');
        for (int i = 1; i < 10; ++i) {
            if (expected[i].startsWith(changed.left(changed.indexOf('=') + 1)))
                expected[i] = changed;
        }
        QCOMPARE(readFile("settings.ini"), expected.join('\n'));
    }

    // A stored port that is not present is listed, selected and written back
    // as it was; other lists that match no item are written as null values.
    void keptPort()
    {
        QVERIFY(writeFile("settings.ini", "[B1]\ncomPort=ttyVELTRANO9\nparity=Odd\n\n[B2]\ncomPort=ttyVELTRANO8\n"));
        Settings dialog;
        dialog.show();
        auto *ports = child<QComboBox>(&dialog, "uComPort");
        QCOMPARE(ports->currentText(), QStringLiteral("ttyVELTRANO9 (not present)"));
        QTest::keyClicks(child(&dialog, "uName"), "x");
        QVERIFY(readFile("settings.ini").contains("\ncomPort=ttyVELTRANO9\n") && readFile("settings.ini").contains("\nparity=@Invalid()\n"));
        QTest::keyClick(child(&dialog, "uInstrument"), Qt::Key_Down);
        QCOMPARE(ports->currentText(), QStringLiteral("ttyVELTRANO8 (not present)"));
        QCOMPARE(ports->findText(QStringLiteral("ttyVELTRANO9 (not present)")), -1);
    }

    void add_data()
    {
        QTest::addColumn<QByteArray>("file");  // "-": no file; "/": a folder in its place
        QTest::addColumn<QString>("typed");    // null: the prompt is cancelled
        QTest::addColumn<QString>("box");      // the message box shown, if any
        QTest::addColumn<QStringList>("ids");  // listed afterwards; empty: nothing changed
        const QByteArray two = "[B1]\nname=a\n\n[B3]\nname=c\n";
        const QString malformed = "An instrument id must not be empty and must not contain \"/\" or \"\\\".";
        QTest::newRow("sorted position") << two << "B2" << QString() << QStringList({"B1", "B2", "B3"});
        QTest::newRow("into a missing file") << QByteArray("-") << "B1" << "settings ini cannot be found." << QStringList({"B1"});
        QTest::newRow("cancelled") << two << QString() << QString() << QStringList();
        QTest::newRow("duplicate") << two << "B3" << "Instrument already exists with this id" << QStringList();
        QTest::newRow("empty") << two << "" << malformed << QStringList();
        QTest::newRow("slash") << two << "lab/B2" << malformed << QStringList();
        QTest::newRow("backslash") << two << "lab\\B2" << malformed << QStringList();
        // Only the first failed write in a dialog's life shows a box; the others are logged.
        QTest::newRow("unwritable") << QByteArray("/") << "B1" << "settings ini cannot be written." << QStringList({"B1"});
        QTest::newRow("malformed but writable") << QByteArray("[B0\nname=x\n") << "B1" << QString() << QStringList({"B0", "B1"});
    }

    void add()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, typed);
        QFETCH(QString, box);
        QFETCH(QStringList, ids);
        QVERIFY(file == "-" || (file == "/" ? QDir().mkdir("settings.ini") : writeFile("settings.ini", file)));
        Settings dialog;
        dialog.show();
        auto *instrument = child<QComboBox>(&dialog, "uInstrument");
        m_boxes->setDialogHandler([typed](QDialog *prompt) {  // types the id, then Ok (Cancel when it is null)
            QVERIFY(qobject_cast<GetText *>(prompt));
            QTest::keyClicks(child(prompt, "uText"), typed);
            QTest::mouseClick(child<QPushButton>(prompt, typed.isNull() ? "uCancel" : "uAccept"), Qt::LeftButton);
        });
        QTest::mouseClick(child<QPushButton>(&dialog, "uAdd"), Qt::LeftButton);
        QStringList listed;
        for (int i = 0; i < instrument->count(); ++i)
            listed << instrument->itemText(i);
        if (ids.isEmpty()) {
            QCOMPARE(readFile("settings.ini"), file);
        } else {
            QCOMPARE(listed, ids);
            QCOMPARE(instrument->currentText(), typed);
            QCOMPARE(readFile("settings.ini").contains("[" + typed.toUtf8() + "]\nactive=true\ncomPort=\ndataOutputFormat=\n"
                                                       "name=\nparity=\nsamplingInterval=\nstopBits=\ntransmissionRate=\ntype=\n"),
                     file != "/");
            QTest::keyClicks(child(&dialog, "uName"), "ab");
        }
        QStringList boxes = m_boxes->texts();
        boxes.removeAll(QString());  // the prompt's
        QCOMPARE(boxes, box.isEmpty() ? QStringList() : QStringList{box});
    }

    void remove_data()
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

    void remove()
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
};

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
