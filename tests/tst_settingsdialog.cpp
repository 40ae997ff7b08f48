// The dialog driven as an operator would: keys and clicks, the id prompt and
// the boxes answered by the modal recorder. Every save is on disk at once,
// so the file is read back while the dialog is still open.
#include "collectionprobe.h"
#include "gettext.h"
#include "settings.h"
#include "windowtestcase.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QPushButton>
#include <QSqlQuery>

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
        QTest::newRow("network address typed as the port")
            << QByteArray("Left") << QByteArray("uComPort") << "tcp://[::1]:4001" << QByteArray("comPort=tcp://[::1]:4001");
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

    void lineRules_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("chosen");    // "editor=value", chosen in this order
        QTest::addColumn<QByteArray>("expected");
        const QByteArray two = twoInstruments();
        const auto with = [two](const QByteArray &from, const QByteArray &to) { return QByteArray(two).replace(from, to); };
        // As Add leaves a new instrument; a save writes its empty lists as null values.
        const QByteArray blank = "[B1]\nactive=true\ncomPort=\ndataOutputFormat=\nname=\nparity=\nsamplingInterval=\n"
                                 "stopBits=\ntransmissionRate=\ntype=\n";
        const auto line = [](const char *bits, const char *parity, const char *stop, const char *rate, const char *type) {
            return "[B1]\nactive=true\ncomPort=@Invalid()\ndataBits=" + QByteArray(bits)
                   + "\ndataOutputFormat=@Invalid()\nname=\nparity=" + parity + "\nsamplingInterval=\nstopBits=" + stop
                   + "\ntransmissionRate=" + rate + "\ntype=" + type + "\n";
        };
        QTest::newRow("8 bits on Sartorius: a tenth key")
            << two << QStringList{"uDataBits=8"} << with("comPort=@Invalid()\n", "comPort=@Invalid()\ndataBits=8\n");
        QTest::newRow("back to 7: nine keys again")
            << with("comPort=@Invalid()\n", "comPort=@Invalid()\ndataBits=8\n") << QStringList{"uDataBits=7"} << two;
        QTest::newRow("no parity") << two << QStringList{"uParity=none"} << with("parity=odd", "parity=none");
        QTest::newRow("another maker on 7 bits, line already chosen")
            << two << QStringList{"uType=ohaus"}
            << with("comPort=@Invalid()\n", "comPort=@Invalid()\ndataBits=7\n").replace("type=sartoriusSignum", "type=ohaus");
        QTest::newRow("new: Mettler-Toledo's factory line")
            << blank << QStringList{"uType=mettlerToledoSics"} << line("8", "none", "1", "9600", "mettlerToledoSics");
        QTest::newRow("new: a second type replaces the first one's suggestion")
            << blank << QStringList{"uType=ohaus", "uType=andStandard"} << line("7", "even", "1", "2400", "andStandard");
        QTest::newRow("new: Sartorius' factory line keeps nine keys")
            << blank << QStringList{"uType=shimadzu", "uType=sartoriusBasic"}
            << line("7", "odd", "1", "1200", "sartoriusBasic").replace("dataBits=7\n", "");
        QTest::newRow("new: a chosen baud rate is not overridden")
            << blank << QStringList{"uTransmissionRate=19200", "uType=shimadzu"}
            << line("7", "@Invalid()", "@Invalid()", "19200", "shimadzu");
        QTest::newRow("new: automatic suggests nothing")
            << blank << QStringList{"uType=automatic"} << line("7", "@Invalid()", "@Invalid()", "@Invalid()", "automatic");
    }

    // Data bits are written only where needed; a new instrument's type
    // suggests its maker's factory line.
    void lineRules()
    {
        QFETCH(QByteArray, file);
        QFETCH(QStringList, chosen);
        QFETCH(QByteArray, expected);
        QVERIFY(writeFile("settings.ini", file));
        Settings dialog;
        dialog.show();
        for (const QString &choice : chosen) {
            auto *list = child<QComboBox>(&dialog, choice.section('=', 0, 0).toLatin1());
            const int index = list->findData(choice.section('=', 1));
            QVERIFY2(index >= 0, qPrintable(choice));
            list->setCurrentIndex(index);
        }
        QCOMPARE(readFile("settings.ini"), expected);
    }

    // A stored port that is not present is listed, selected and written back
    // as it was (a network address as it stands); other lists that match no item are written as null values.
    void keptPort()
    {
        QVERIFY(writeFile("settings.ini", "[B1]\ncomPort=ttyVELTRANO9\nparity=Odd\n\n[B2]\ncomPort=tcp://10.0.0.5:4001\n"));
        Settings dialog;
        dialog.show();
        auto *ports = child<QComboBox>(&dialog, "uComPort");
        QCOMPARE(ports->currentText(), QStringLiteral("ttyVELTRANO9 (not present)"));
        QTest::keyClicks(child(&dialog, "uName"), "x");
        QVERIFY(readFile("settings.ini").contains("\ncomPort=ttyVELTRANO9\n") && readFile("settings.ini").contains("\nparity=@Invalid()\n"));
        QTest::keyClick(child(&dialog, "uInstrument"), Qt::Key_Down);
        QCOMPARE(ports->currentText(), QStringLiteral("tcp://10.0.0.5:4001"));
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

    // What the operator changed goes to the audit trail, once the dialog closes.
    void changesAudited()
    {
        QVERIFY(writeFile("settings.ini", "[B1]\nname=Left\n"));
        MainWindow window;
        m_boxes->setDialogHandler([](QDialog *dialog) {
            QTest::keyClicks(child(dialog, "uName"), "x");
            dialog->reject();
        });
        child<QAction>(&window, "actionSettings")->trigger();
        QVERIFY(MainWindowProbe(window).drain());
        QStringList audited;
        for (QSqlQuery query("SELECT details FROM audit WHERE kind = 'setting changed'"); query.next();)
            audited << query.value(0).toString();
        QVERIFY2(audited.contains("{\"key\":\"B1/name\",\"new\":\"Leftx\",\"old\":\"Left\"}"), qPrintable(audited.join('\n')));
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
