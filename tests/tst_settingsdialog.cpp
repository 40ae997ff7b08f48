#include "gettext.h"
#include "mainwindow.h"
#include "modalrecorder.h"
#include "settings.h"
#include "stderrcapture.h"
#include "tempworkdir.h"
#include "testdatabase.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QtTest>

#include <memory>

class TestSettingsDialog : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void form();
    void lists_data();
    void lists();
    void enabledStates_data();
    void enabledStates();
    void loadingWritesNothing();
    void editWritesAllKeys_data();
    void editWritesAllKeys();
    void typingSavesEachCharacter();
    void keptPort_data();
    void keptPort();
    void add_data();
    void add();
    void remove_data();
    void remove();
    void unwritableFile();
    void prompt_data();
    void prompt();
    void mainWindowCommand();

private:
    std::unique_ptr<TempWorkDir> m_dir;
    std::unique_ptr<ModalRecorder> m_recorder;
};

static const char kTwo[] = "[B1]\nactive=false\ncomPort=@Invalid()\ndataOutputFormat=22\nname=Left\nparity=odd\n"
                           "samplingInterval=5\nstopBits=2\ntransmissionRate=9600\ntype=sartoriusSignum\n\n"
                           "[B2]\nname=Right\n";

static void writeFile(const QByteArray &content)
{
    QFile file("settings.ini");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

static QByteArray fileContent()
{
    QFile file("settings.ini");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

template<typename T = QWidget>
static T *child(QObject *parent, const QString &name)
{
    T *found = parent->findChild<T *>(name);
    if (!found)
        qWarning("missing child %s", qPrintable(name));
    return found;
}

static QStringList items(QComboBox *list)
{
    QStringList result;
    for (int i = 0; i < list->count(); ++i)
        result << list->itemText(i) + '=' + list->itemData(i).toString();
    return result;
}

static void click(QWidget *dialog, const char *button)
{
    QTest::mouseClick(child<QPushButton>(dialog, button), Qt::LeftButton);
}

// Answers the next prompt as the operator would: types the text, then Ok
// (or Cancel when the text is null).
static void answerPrompt(ModalRecorder &recorder, const QString &text)
{
    recorder.setDialogHandler([text](QDialog *dialog) {
        QVERIFY(qobject_cast<GetText *>(dialog));
        QCOMPARE(child<QLabel>(dialog, "uLabel")->text(), QStringLiteral("Id"));
        QTest::keyClicks(child(dialog, "uText"), text);
        click(dialog, text.isNull() ? "uCancel" : "uAccept");
    });
}

void TestSettingsDialog::initTestCase()
{
    installTestMessageHandler();
}

void TestSettingsDialog::init()
{
    m_dir = std::make_unique<TempWorkDir>();
    m_recorder = std::make_unique<ModalRecorder>();
}

void TestSettingsDialog::cleanup()
{
    m_recorder.reset();
    m_dir.reset();
}

void TestSettingsDialog::form()
{
    writeFile("");
    Settings dialog;
    dialog.show();
    QCOMPARE(dialog.objectName(), QStringLiteral("Settings"));
    QCOMPARE(dialog.windowTitle(), QString::fromUtf8("Beállítások"));
    QStringList labels;
    for (const char *name : {"label", "label_5", "label_2", "label_3", "label_4", "uLabelInterval", "label_6",
                             "label_7", "label_8", "uLabelDataOutputFormat"})
        labels << child<QLabel>(&dialog, name)->text();
    QCOMPARE(labels, QStringList({"Instrument", "Active", "Type", "Name", "COM port", "Sampling interval [s]",
                                  "Baud rate", "Parity", "Stop bits", "Output format"}));
    QVERIFY(child(&dialog, "uDataOutputFormat")->isHidden());
    QVERIFY(child(&dialog, "uLabelDataOutputFormat")->isHidden());
    QVERIFY(child(&dialog, "uSamplingInterval")->isVisible());

    const QStringList tabOrder = {"uInstrument", "uAdd", "uRemove", "uType", "uName", "uComPort", "uSamplingInterval",
                                  "uTransmissionRate", "uParity", "uStopBits", "uDataOutputFormat", "uClose"};
    QStringList chain;
    QWidget *widget = child(&dialog, "uInstrument");
    do {
        if (tabOrder.contains(widget->objectName()))
            chain << widget->objectName();
        widget = widget->nextInFocusChain();
    } while (widget != child(&dialog, "uInstrument"));
    QCOMPARE(chain, tabOrder);
}

void TestSettingsDialog::lists_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("type") << "uType" << QStringList({"Sartorius Basic=sartoriusBasic", "Sartorius Signum=sartoriusSignum"});
    QTest::newRow("baud rate") << "uTransmissionRate"
                               << QStringList({"150=150", "300=300", "600=600", "1200=1200", "2400=2400", "4800=4800",
                                               "9600=9600", "19200=19200"});
    QTest::newRow("parity") << "uParity" << QStringList({"Mark=mark", "Space=space", "Odd=odd", "Even=even"});
    QTest::newRow("stop bits") << "uStopBits" << QStringList({"1=1", "2=2"});
    QTest::newRow("output format") << "uDataOutputFormat" << QStringList({"16 without header=16", "22 with header=22"});
    QStringList ports;
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
        ports << port.portName() + ':' + port.description() + '=' + port.portName();
    QTest::newRow("ports present") << "uComPort" << ports;
    QTest::newRow("instruments") << "uInstrument" << QStringList({"B1=B1", "B2=B2"});
}

void TestSettingsDialog::lists()
{
    QFETCH(QString, list);
    QFETCH(QStringList, expected);
    writeFile(kTwo);
    Settings dialog;
    QCOMPARE(items(child<QComboBox>(&dialog, list)), expected);
}

void TestSettingsDialog::enabledStates_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("shown");  // Active, type, name, port, interval, rate, parity, stop bits, format
    QTest::addColumn<bool>("editable");
    QTest::newRow("no file") << QByteArray("-") << QStringList({"1", "", "", "", "", "", "", "", ""}) << false;
    QTest::newRow("no instruments") << QByteArray("") << QStringList({"1", "", "", "", "", "", "", "", ""}) << false;
    QTest::newRow("one, active missing") << QByteArray("[B2]\nname=Right\ntype=sartoriusBasic\n")
                                         << QStringList({"1", "Sartorius Basic", "Right", "", "", "", "", "", ""}) << true;
    QTest::newRow("several: the first is shown")
        << QByteArray(kTwo) << QStringList({"0", "Sartorius Signum", "Left", "", "5", "9600", "Odd", "2", "22 with header"})
        << true;
}

void TestSettingsDialog::enabledStates()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, shown);
    QFETCH(bool, editable);
    if (file != "-")
        writeFile(file);
    Settings dialog;
    VERIFY_BOX_TITLES(*m_recorder, file == "-" ? QStringList({"Warning"}) : QStringList());
    QStringList values = {child<QCheckBox>(&dialog, "uActive")->isChecked() ? "1" : "0"};
    for (const char *name : {"uType", "uName", "uComPort", "uSamplingInterval", "uTransmissionRate", "uParity",
                             "uStopBits", "uDataOutputFormat"}) {
        QWidget *editor = child(&dialog, name);
        auto *list = qobject_cast<QComboBox *>(editor);
        values << (list ? list->currentText() : static_cast<QLineEdit *>(editor)->text());
        QCOMPARE(editor->isEnabled(), editable);
    }
    QCOMPARE(values, shown);
    QCOMPARE(child(&dialog, "uRemove")->isEnabled(), editable);
    QVERIFY(child(&dialog, "uAdd")->isEnabled());
    QVERIFY(child(&dialog, "uClose")->isEnabled());
}

void TestSettingsDialog::loadingWritesNothing()
{
    // Not in the form QSettings writes, so any rewrite would show.
    const QByteArray file = "; hand-written\n[B1]\ntype = SartoriusBasic\nparity=odd\n\n[B2]\nname=Right\n";
    writeFile(file);
    StderrCapture capture;
    {
        Settings dialog;
        dialog.show();
        QVERIFY(capture.take().contains("void Settings::loadConfig(QString) index= -1\n"));
        auto *instrument = child<QComboBox>(&dialog, "uInstrument");
        QTest::keyClick(instrument, Qt::Key_Down);
        QCOMPARE(instrument->currentText(), QStringLiteral("B2"));
        const QList<QByteArray> lines = capture.takeLines();
        QVERIFY(!lines.isEmpty());
        QVERIFY(lines.last().endsWith("void Settings::inputFieldModified() auto-save disabled"));
        QVERIFY(!lines.join('\n').contains("saveCurrentConfig"));
        click(&dialog, "uClose");
        QVERIFY(!dialog.isVisible());
    }
    QCOMPARE(fileContent(), file);
}

// One user edit on B1 of kTwo and the section it leaves behind.
void TestSettingsDialog::editWritesAllKeys_data()
{
    QTest::addColumn<QString>("editor");
    QTest::addColumn<int>("key");        // typed into a line edit, or pressed on the widget
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("changed");  // the line that differs from the loaded values
    QTest::newRow("tick active") << "uActive" << int(Qt::Key_Space) << "" << QByteArray("active=true");
    QTest::newRow("type") << "uType" << int(Qt::Key_Up) << "" << QByteArray("type=sartoriusBasic");
    QTest::newRow("name") << "uName" << 0 << "!" << QByteArray("name=Left!");
    QTest::newRow("interval") << "uSamplingInterval" << 0 << "0" << QByteArray("samplingInterval=50");
    QTest::newRow("baud rate") << "uTransmissionRate" << int(Qt::Key_Down) << "" << QByteArray("transmissionRate=19200");
    QTest::newRow("parity") << "uParity" << int(Qt::Key_Down) << "" << QByteArray("parity=even");
    QTest::newRow("stop bits") << "uStopBits" << int(Qt::Key_Up) << "" << QByteArray("stopBits=1");
}

void TestSettingsDialog::editWritesAllKeys()
{
    QFETCH(QString, editor);
    QFETCH(int, key);
    QFETCH(QString, text);
    QFETCH(QByteArray, changed);
    // B1 holds every key; an unknown parity case and the missing port show no selection.
    writeFile("[B1]\nactive=false\ndataOutputFormat=22\nname=Left\nparity=odd\nsamplingInterval=5\nstopBits=2\n"
              "transmissionRate=9600\ntype=sartoriusSignum\n\n[B2]\nname=Right\n");
    Settings dialog;
    dialog.show();
    QWidget *widget = child(&dialog, editor);
    if (key)
        QTest::keyClick(widget, Qt::Key(key));
    else
        QTest::keyClicks(widget, text);

    QList<QByteArray> expected = {"[B1]", "active=false", "comPort=@Invalid()", "dataOutputFormat=22", "name=Left",
                                  "parity=odd", "samplingInterval=5", "stopBits=2", "transmissionRate=9600",
                                  "type=sartoriusSignum", "", "[B2]", "name=Right", ""};
    for (int i = 1; i < 10; ++i) {
        if (expected[i].left(expected[i].indexOf('=')) == changed.left(changed.indexOf('=')))
            expected[i] = changed;
    }
    QCOMPARE(fileContent(), expected.join('\n'));
}

void TestSettingsDialog::typingSavesEachCharacter()
{
    writeFile("[B1]\nname=\n");
    Settings dialog;
    dialog.show();
    auto *name = child<QLineEdit>(&dialog, "uName");
    QTest::keyClick(name, 'a');
    QVERIFY2(fileContent().contains("\nname=a\n"), fileContent());
    QTest::keyClick(name, 'b');
    QVERIFY2(fileContent().contains("\nname=ab\n"), fileContent());
}

// The stored port is kept when it is not present now; other lists that match
// no item are saved as null values.
void TestSettingsDialog::keptPort_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QByteArray>("written");
    QTest::newRow("unplugged") << "ttyVELTRANO9" << QByteArray("comPort=ttyVELTRANO9");
    QTest::newRow("path by id") << "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"
                                << QByteArray("comPort=/dev/serial/by-id/usb-FTDI_FT232R-if00-port0");
    QTest::newRow("empty") << "" << QByteArray("comPort=@Invalid()");
}

void TestSettingsDialog::keptPort()
{
    QFETCH(QString, stored);
    QFETCH(QByteArray, written);
    writeFile("[B1]\ncomPort=" + stored.toUtf8() + "\nparity=Odd\nstopBits=\" 1\"\n\n[B2]\ncomPort=ttyVELTRANO8\n");
    Settings dialog;
    dialog.show();
    auto *ports = child<QComboBox>(&dialog, "uComPort");
    const int present = QSerialPortInfo::availablePorts().size();
    QCOMPARE(ports->count(), present + (stored.isEmpty() ? 0 : 1));
    QCOMPARE(ports->currentIndex(), stored.isEmpty() ? -1 : present);
    QCOMPARE(ports->currentText(), stored.isEmpty() ? QString() : stored + " (not present)");

    QTest::keyClicks(child(&dialog, "uName"), "x");
    const QByteArray file = fileContent();
    QVERIFY2(file.contains('\n' + written + '\n'), file);
    QVERIFY2(file.contains("\nparity=@Invalid()\nsamplingInterval=\nstopBits=@Invalid()\n"), file);

    // Another instrument gets its own missing port, not this one's.
    QTest::keyClick(child(&dialog, "uInstrument"), Qt::Key_Down);
    QCOMPARE(ports->count(), present + 1);
    QCOMPARE(ports->currentText(), QStringLiteral("ttyVELTRANO8 (not present)"));
}

void TestSettingsDialog::add_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("typed");      // null: the prompt is cancelled
    QTest::addColumn<QStringList>("boxes");  // texts of the boxes shown
    QTest::addColumn<QStringList>("ids");    // afterwards; empty: file unchanged
    const QByteArray two = "[B1]\nname=a\n\n[B3]\nname=c\n";
    const QString malformed = "The id must not be empty and must not contain / or \\";
    QTest::newRow("sorted position") << two << "B2" << QStringList() << QStringList({"B1", "B2", "B3"});
    QTest::newRow("differs in case") << two << "b1" << QStringList() << QStringList({"B1", "B3", "b1"});
    QTest::newRow("into a missing file") << QByteArray("-") << "B1" << QStringList({"settings ini cannot be found."})
                                         << QStringList({"B1"});
    QTest::newRow("cancelled") << two << QString() << QStringList() << QStringList();
    QTest::newRow("duplicate") << two << "B3" << QStringList({"Instrument already exists with this id"}) << QStringList();
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
        writeFile(file);
    Settings dialog;
    dialog.show();
    auto *instrument = child<QComboBox>(&dialog, "uInstrument");
    const QStringList before = items(instrument);
    answerPrompt(*m_recorder, typed);
    click(&dialog, "uAdd");
    QCOMPARE(m_recorder->boxes().at(file == "-" ? 1 : 0).title, QStringLiteral("New instrument"));
    QStringList shownTexts = m_recorder->texts();
    shownTexts.removeAll(QString());
    QCOMPARE(shownTexts, boxes);

    if (ids.isEmpty()) {
        QCOMPARE(items(instrument), before);
        QCOMPARE(fileContent(), file);
        return;
    }
    QStringList listed;
    for (int i = 0; i < instrument->count(); ++i)
        listed << instrument->itemText(i);
    QCOMPARE(listed, ids);
    QCOMPARE(instrument->currentText(), typed);
    QVERIFY(child(&dialog, "uRemove")->isEnabled());
    QVERIFY(child(&dialog, "uName")->isEnabled());
    QVERIFY(fileContent().contains("[" + typed.toUtf8() + "]\nactive=true\ncomPort=\ndataOutputFormat=\nname=\n"
                                   "parity=\nsamplingInterval=\nstopBits=\ntransmissionRate=\ntype=\n"));
}

void TestSettingsDialog::remove_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("shownAfter");  // current id afterwards
    QTest::addColumn<QByteArray>("left");     // file afterwards
    QTest::newRow("yes") << QByteArray(kTwo) << int(QMessageBox::Yes) << "B2" << QByteArray("[B2]\nname=Right\n");
    QTest::newRow("no") << QByteArray(kTwo) << int(QMessageBox::No) << "B1" << QByteArray(kTwo);
    QTest::newRow("last one") << QByteArray("[B1]\nname=x\n") << int(QMessageBox::Yes) << "" << QByteArray("");
}

void TestSettingsDialog::remove()
{
    QFETCH(QByteArray, file);
    QFETCH(int, answer);
    QFETCH(QString, shownAfter);
    QFETCH(QByteArray, left);
    writeFile(file);
    Settings dialog;
    dialog.show();
    m_recorder->queueAnswer(QMessageBox::StandardButton(answer));
    click(&dialog, "uRemove");
    VERIFY_BOX_TITLES(*m_recorder, "Confirm");
    QCOMPARE(m_recorder->texts(), QStringList({"Do you really want to delete this instrument? B1"}));
    QCOMPARE(m_recorder->boxes().first().buttons, QStringList({"Yes", "No"}));
    QCOMPARE(fileContent(), left);
    QCOMPARE(child<QComboBox>(&dialog, "uInstrument")->currentText(), shownAfter);
    QCOMPARE(child(&dialog, "uRemove")->isEnabled(), !shownAfter.isEmpty());
    QCOMPARE(child(&dialog, "uName")->isEnabled(), !shownAfter.isEmpty());
}

void TestSettingsDialog::unwritableFile()
{
    QVERIFY(QDir().mkdir("settings.ini"));
    StderrCapture capture;
    Settings dialog;
    dialog.show();
    answerPrompt(*m_recorder, "B1");
    click(&dialog, "uAdd");
    QTest::keyClicks(child(&dialog, "uName"), "ab");
    QCOMPARE(m_recorder->texts(), QStringList({"", "settings ini cannot be written."}));
    QCOMPARE(m_recorder->titles().last(), QStringLiteral("Warning"));
    QCOMPARE(capture.take().count("void Settings::flushStore() settings ini cannot be written.\n"), 2);
}

void TestSettingsDialog::prompt_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("result");
    QTest::newRow("ok, empty") << "" << "uAccept" << int(QDialog::Accepted);
    QTest::newRow("ok, text") << " B 1 " << "uAccept" << int(QDialog::Accepted);
    QTest::newRow("cancel") << "B1" << "uCancel" << int(QDialog::Rejected);
    QTest::newRow("escape") << "B1" << "escape" << int(QDialog::Rejected);
    QTest::newRow("close button") << "B1" << "close" << int(QDialog::Rejected);
}

void TestSettingsDialog::prompt()
{
    QFETCH(QString, typed);
    QFETCH(QString, how);
    QFETCH(int, result);
    GetText prompt(nullptr);
    QCOMPARE(prompt.windowTitle(), QString::fromUtf8("Beállítások"));
    QCOMPARE(child<QLabel>(&prompt, "uLabel")->text(), QStringLiteral("TextLabel"));
    QCOMPARE(child<QPushButton>(&prompt, "uAccept")->text(), QStringLiteral("&Ok"));
    QCOMPARE(child<QPushButton>(&prompt, "uCancel")->text(), QStringLiteral("&Cancel"));
    auto *text = child<QLineEdit>(&prompt, "uText");
    m_recorder->setDialogHandler([&](QDialog *dialog) {
        QTest::keyClicks(text, typed);
        if (how == "escape")
            QTest::keyClick(text, Qt::Key_Escape);
        else if (how == "close")
            dialog->close();
        else
            click(dialog, qPrintable(how));
    });
    QCOMPARE(prompt.exec(), result);
    QCOMPARE(text->text(), typed);
}

void TestSettingsDialog::mainWindowCommand()
{
    QVERIFY(openTestDatabase());
    writeFile(kTwo);
    {
        MainWindow window;
        m_recorder->setDialogHandler([](QDialog *dialog) {
            QVERIFY(qobject_cast<Settings *>(dialog));
            QVERIFY(dialog->isModal());
            click(dialog, "uClose");
        });
        child<QAction>(&window, "actionSettings")->trigger();
        VERIFY_BOX_TITLES(*m_recorder, QString::fromUtf8("Beállítások"));
        QVERIFY(window.findChildren<Settings *>().isEmpty());
        const QWidgetList topLevels = QApplication::topLevelWidgets();
        QVERIFY(std::none_of(topLevels.begin(), topLevels.end(),
                             [](QWidget *w) { return qobject_cast<Settings *>(w) != nullptr; }));
    }
    closeTestDatabase();
    QCOMPARE(fileContent(), QByteArray(kTwo));
}

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
