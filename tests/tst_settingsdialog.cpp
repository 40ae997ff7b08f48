// The dialog driven as an operator would: keys and clicks, the id prompt and
// the boxes answered by the modal recorder. Every save is on disk at once,
// so the file is read back while the dialog is still open.
#include "collectionprobe.h"
#include "gettext.h"
#include "settings.h"
#include "windowtestcase.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QSqlQuery>

namespace {

QByteArray twoInstruments(const QByteArray &name = "Left")
{
    return "[B1]\nactive=false\ncomPort=\ndataOutputFormat=22\nname=" + name
           + "\nparity=odd\nsamplingInterval=5\nstopBits=2\ntransmissionRate=9600\ntype=sartoriusSignum\n\n[B2]\nname=Right\n";
}

// Works the editors as an operator would, each choice in turn: "editor:keys"
// types the keys into it; "editor=value" sets a list item by its stored
// value, a number, a tick ("true"/"false").
void choose(QWidget *dialog, const QStringList &choices)
{
    for (const QString &choice : choices) {
        const int at = choice.indexOf(QRegularExpression("[=:]"));
        const QString value = choice.mid(at + 1);
        QWidget *widget = child(dialog, choice.left(at).toLatin1());
        QVERIFY2(widget && widget->isEnabled(), qPrintable(choice));
        if (choice.at(at) == ':') {
            QTest::keyClicks(widget, value);
        } else if (auto *list = qobject_cast<QComboBox *>(widget)) {
            const int index = list->findData(value);
            QVERIFY2(index >= 0, qPrintable(choice));
            list->setCurrentIndex(index);
        } else if (auto *number = qobject_cast<QSpinBox *>(widget)) {
            number->setValue(value.toInt());
        } else if (auto *tick = qobject_cast<QCheckBox *>(widget)) {
            tick->setChecked(value == "true");
        } else {
            QFAIL(qPrintable(choice));
        }
    }
}

// The dialog on a settings.ini of these contents, shown; none when the file
// cannot be written.
std::unique_ptr<Settings> opened(const QByteArray &file)
{
    if (!writeFile("settings.ini", file))
        return nullptr;
    auto dialog = std::make_unique<Settings>();
    dialog->show();
    return dialog;
}

const QByteArray kNine = "active=true\ncomPort=\ndataOutputFormat=\nname=x\nparity=\nsamplingInterval=1\nstopBits=\n"
                         "transmissionRate=\ntype=sartoriusBasic\n";

} // namespace

class TestSettingsDialog : public WindowTestCase
{
    Q_OBJECT
private slots:
    void edit_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("chosen");    // as choose() takes them, in this order
        QTest::addColumn<QByteArray>("expected");
        const auto row = [](const char *name, const QByteArray &file, const QStringList &chosen, const QByteArray &expected) {
            QTest::newRow(name) << file << chosen << expected;
        };
        const QByteArray two = twoInstruments();
        const auto with = [two](const QByteArray &from, const QByteArray &to) { return QByteArray(two).replace(from, to); };
        // As Add leaves a new instrument; a save writes its empty lists empty.
        const QByteArray blank = "[B1]\nactive=true\ncomPort=\ndataOutputFormat=\nname=\nparity=\nsamplingInterval=\n"
                                 "stopBits=\ntransmissionRate=\ntype=\n";
        const auto line = [](const char *bits, const char *parity, const char *stop, const char *rate, const char *type) {
            return "[B1]\nactive=true\ncomPort=\ndataBits=" + QByteArray(bits)
                   + "\ndataOutputFormat=\nname=\nparity=" + parity + "\nsamplingInterval=\nstopBits=" + stop
                   + "\ntransmissionRate=" + rate + "\ntype=" + type + "\n";
        };
        // Any edit writes all nine keys of the instrument; a key the file lacks is written empty.
        const QByteArray lacking = with("comPort=\n", "");
        row("tick active", lacking, {"uActive: "}, with("active=false", "active=true"));
        row("name", lacking, {"uName:!"}, with("name=Left", "name=Left!"));
        row("parity", lacking, {"uParity:e"}, with("parity=odd", "parity=even"));
        row("network address typed as the port", lacking, {"uComPort:tcp://[::1]:4001"},
            with("comPort=\n", "comPort=tcp://[::1]:4001\n"));
        const QByteArray longName = twoInstruments(QByteArray(200000, 'n'));
        row("a 200000-character name is kept", QByteArray(longName).replace("comPort=\n", ""), {"uSamplingInterval:0"},
            QByteArray(longName).replace("samplingInterval=5", "samplingInterval=50"));
        row("8 bits on Sartorius: a tenth key", two, {"uDataBits=8"}, with("comPort=\n", "comPort=\ndataBits=8\n"));
        row("back to 7: nine keys again", with("comPort=\n", "comPort=\ndataBits=8\n"), {"uDataBits=7"}, two);
        row("no parity", two, {"uParity=none"}, with("parity=odd", "parity=none"));
        row("another maker on 7 bits, line already chosen", two, {"uType=ohaus"},
            with("comPort=\n", "comPort=\ndataBits=7\n").replace("type=sartoriusSignum", "type=ohaus"));
        row("new: Mettler-Toledo's factory line", blank, {"uType=mettlerToledoSics"},
            line("8", "none", "1", "9600", "mettlerToledoSics"));
        row("new: a second type replaces the first one's suggestion", blank, {"uType=ohaus", "uType=andStandard"},
            line("7", "even", "1", "2400", "andStandard"));
        row("new: Sartorius' factory line keeps nine keys", blank, {"uType=shimadzu", "uType=sartoriusBasic"},
            line("7", "odd", "1", "1200", "sartoriusBasic").replace("dataBits=7\n", ""));
        row("new: a chosen baud rate is not overridden", blank, {"uTransmissionRate=19200", "uType=shimadzu"},
            line("7", "", "", "19200", "shimadzu"));
        row("new: automatic suggests nothing", blank, {"uType=automatic"}, line("7", "", "", "", "automatic"));
        row("values Qt once wrote for unset ones are written clean",
            "[B1]\ncomPort=@Invalid()\ndataOutputFormat=@Invalid()\nparity=@Invalid()\n", {"uName:x"},
            QByteArray(blank).replace("name=\n", "name=x\n"));
    }

    // What each edit writes: data bits only where needed; a new instrument's
    // type suggests its maker's factory line; values Qt once wrote for unset
    // ones are read as empty.
    void edit()
    {
        QFETCH(QByteArray, file);
        QFETCH(QStringList, chosen);
        const auto dialog = opened(file);
        QVERIFY(dialog);
        choose(dialog.get(), chosen);
        QTEST(readFile("settings.ini"), "expected");
    }

    // A stored port that is not present is listed, selected and written back
    // as it was (a network address as it stands); other lists that match no item are written empty.
    void keptPort()
    {
        const auto dialog = opened("[B1]\ncomPort=ttyVELTRANO9\nparity=Odd\n\n[B2]\ncomPort=tcp://10.0.0.5:4001\n");
        QVERIFY(dialog);
        auto *ports = child<QComboBox>(dialog.get(), "uComPort");
        QCOMPARE(ports->currentText(), QStringLiteral("ttyVELTRANO9 (not present)"));
        QTest::keyClicks(child(dialog.get(), "uName"), "x");
        QVERIFY(readFile("settings.ini").contains("\ncomPort=ttyVELTRANO9\n") && readFile("settings.ini").contains("\nparity=\n"));
        QTest::keyClick(child(dialog.get(), "uInstrument"), Qt::Key_Down);
        QCOMPARE(ports->currentText(), QStringLiteral("tcp://10.0.0.5:4001"));
        QCOMPARE(ports->findText(QStringLiteral("ttyVELTRANO9 (not present)")), -1);
    }

    void record_data()
    {
        QTest::addColumn<QByteArray>("keys");      // of [B1] beside the nine, as stored
        QTest::addColumn<QStringList>("chosen");
        QTest::addColumn<QByteArray>("expected");  // of [B1] beside the nine, afterwards
        const auto row = [](const char *name, const char *keys, const QStringList &chosen, const char *expected) {
            QTest::newRow(name) << QByteArray(keys) << chosen << QByteArray(expected);
        };
        row("at each interval, no key: none written", "", {"uName:y"}, "");
        row("each printed result", "", {"uRecord=print"}, "record=print\n");
        row("each stable weighing, defaults not written", "", {"uRecord=stable"}, "record=stable\n");
        row("stable: 5 in a row, after zero", "", {"uRecord=stable", "uStableCount=5", "uAfterZero=true"},
            "afterZero=true\nrecord=stable\nstableCount=5\n");
        row("after zero unticked again", "afterZero=true\nrecord=stable\n", {"uAfterZero=false"},
            "afterZero=false\nrecord=stable\n");
        row("back to each interval: the options stay", "record=stable\nstableCount=4\n", {"uRecord=interval"},
            "record=interval\nstableCount=4\n");
        row("a refused count is kept until changed", "record=stable\nstableCount=one\n", {"uName:y"},
            "record=stable\nstableCount=one\n");
    }

    // How an instrument records: a key is written only where the operator
    // chose something other than what the section means now.
    void record()
    {
        QFETCH(QByteArray, keys);
        QFETCH(QStringList, chosen);
        QFETCH(QByteArray, expected);
        const auto section = [](const QByteArray &more) {
            QList<QByteArray> lines = (kNine + more).split('\n');
            lines.removeAll(QByteArray());
            std::sort(lines.begin(), lines.end());
            return "[B1]\n" + lines.join('\n') + "\n";
        };
        const auto dialog = opened(section(keys));
        QVERIFY(dialog);
        choose(dialog.get(), chosen);
        // A name typed on is only there to make a save.
        QCOMPARE(readFile("settings.ini").replace("name=xy\n", "name=x\n"), section(expected));
    }

    void applicable_data()
    {
        QTest::addColumn<QByteArray>("keys");    // of [B1]
        QTest::addColumn<QString>("shown");      // the editors shown, enabled ones in capitals
        QTest::addColumn<QString>("note");
        const QString held = "The device server holds baud rate, parity, stop bits and data bits: set them there.";
        QTest::newRow("at each interval") << QByteArray("type=ohaus\n") << "RECORD count zero INTERVAL LINE" << "";
        QTest::newRow("absent type") << QByteArray("name=x\n") << "RECORD count zero INTERVAL LINE" << "";
        QTest::newRow("each printed result") << QByteArray("record=print\n") << "RECORD count zero interval LINE" << "";
        QTest::newRow("each stable weighing") << QByteArray("record=stable\n") << "RECORD COUNT ZERO interval LINE" << "";
        QTest::newRow("barcode scanner") << QByteArray("type=barcode\nrecord=stable\n") << "LABELS LINE" << "";
        QTest::newRow("network") << QByteArray("comPort=tcp://127.0.0.1:4001\n") << "RECORD count zero INTERVAL line"
                                 << held;
    }

    // The editors that apply to the type, the way of recording and the port.
    void applicable()
    {
        QFETCH(QByteArray, keys);
        QFETCH(QString, note);
        const auto dialog = opened("[B1]\n" + keys + "\n[B2]\nname=y\n");
        QVERIFY(dialog);
        const auto state = [&dialog](const char *word, std::initializer_list<const char *> editors) {
            QStringList states;
            for (const char *name : editors) {
                QWidget *editor = child(dialog.get(), name);
                states << (!editor->isVisible() ? QString() : editor->isEnabled() ? QString(word).toUpper() : word);
            }
            states.removeDuplicates();
            return states.size() == 1 ? states.first() : states.join('/');
        };
        QStringList seen{state("record", {"uRecord", "uLabelRecord"}), state("count", {"uStableCount"}),
                         state("zero", {"uAfterZero"}), state("labels", {"uScannerFor", "uLabelScannerFor"}),
                         state("interval", {"uSamplingInterval"}),
                         state("line", {"uTransmissionRate", "uParity", "uStopBits", "uDataBits"})};
        seen.removeAll(QString());
        QTEST(seen.join(' '), "shown");
        auto *lineNote = child<QLabel>(dialog.get(), "uLineNote");
        QCOMPARE(lineNote->isVisible() ? lineNote->text() : QString(), note);
        QCOMPARE(child(dialog.get(), "uParity")->toolTip(), note);
        if (keys.contains("barcode")) {
            choose(dialog.get(), {"uScannerFor=B2"});
            const QByteArray file = readFile("settings.ini");
            QVERIFY(file.startsWith("[B1]\nactive=true\ncomPort=\n"));
            QVERIFY(file.contains("\nscannerFor=B2\n"));
            QVERIFY(!file.contains("record=interval"));
            QCOMPARE(child<QComboBox>(dialog.get(), "uScannerFor")->count(), 2);  // none, or the other instrument
        }
    }

    void portsShown_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::newRow("relative link to a device") << "./balance-16" << "./balance-16";
        QTest::newRow("full path of a link") << "%1/balance-16" << "%1/balance-16";
        QTest::newRow("dangling link") << "./gone" << "./gone (not present)";
    }

    // A stored port that leads to a device is shown as it stands, and
    // written back so (one that leads nowhere: keptPort).
    void portsShown()
    {
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        QVERIFY(QFile::link("/dev/null", "balance-16"));
        QVERIFY(QFile::link(m_dir->filePath("nothing-here"), "gone"));
        stored = stored.arg(m_dir->path());
        const auto dialog = opened("[B1]\ncomPort=" + stored.toUtf8() + "\n");
        QVERIFY(dialog);
        QCOMPARE(child<QComboBox>(dialog.get(), "uComPort")->currentText(), shown.arg(m_dir->path()));
        QTest::keyClicks(child(dialog.get(), "uName"), "x");
        QVERIFY(readFile("settings.ini").contains("\ncomPort=" + stored.toUtf8() + "\n"));
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
        const auto dialog = opened(file);
        QVERIFY(dialog);
        m_boxes->queueAnswer(QMessageBox::StandardButton(answer));
        const bool some = child(dialog.get(), "uRemove")->isEnabled();
        dialog->removeInstrument();
        QCOMPARE(m_boxes->texts(), some ? QStringList{"Do you really want to delete this instrument? B1"} : QStringList());
        QTEST(readFile("settings.ini"), "left");
        QCOMPARE(child<QComboBox>(dialog.get(), "uInstrument")->currentText(), shownAfter);
        QCOMPARE(child(dialog.get(), "uRemove")->isEnabled(), !shownAfter.isEmpty());
    }
};

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
