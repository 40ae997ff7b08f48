#include "settings.h"
#include "ui_settings.h"

#include "gettext.h"
#include "ui_gettext.h"
#include "collect/instrumentconfig.h"
#include "collect/networklink.h"
#include "collect/portaccess.h"
#include "collect/stableports.h"
#include "support/makers.h"
#include "support/inifile.h"
#include "support/trace.h"
#include "weighing/weighingsettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QSettings>
#include <QSpinBox>

namespace Config = Veltrano::Config;
namespace WeighingKey = Veltrano::WeighingKey;
using Veltrano::RecordMode;

namespace {

// Marks the port item that stands for a stored port which is not present.
constexpr int kMissingPortRole = Qt::UserRole + 1;

template<size_t N>
void addChoices(QComboBox *list, const Config::Choice (&choices)[N], bool translated)
{
    for (const Config::Choice &choice : choices) {
        const QString text = translated ? Settings::tr(choice.text) : QString::fromUtf8(choice.text);
        list->addItem(text, QString::fromLatin1(choice.value));
    }
}

// The item holding exactly this stored value (case-sensitive), or -1.
int indexOfValue(const QComboBox *list, const QString &value)
{
    return list->findData(value, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive);
}

// Qt 6 tells of a change to no selection even when there was none; the
// index is set only when it changes, so both builds tell the same.
void selectIndex(QComboBox *list, int index)
{
    if (list->currentIndex() != index)
        list->setCurrentIndex(index);
}

void selectValue(QComboBox *list, const QString &value)
{
    selectIndex(list, indexOfValue(list, value));
}

bool isBarcode(const QString &type)
{
    const Veltrano::Makers::Type *known = Veltrano::Makers::typeNamed(type);
    return known && known->format == Veltrano::Makers::Format::Barcode;
}

// The keys of an instrument's section that say how it records, as text.
QMap<QString, QString> weighingTexts(const QSettings &store, const QString &id)
{
    QMap<QString, QString> texts;
    for (const char *key : {WeighingKey::record, WeighingKey::stableCount, WeighingKey::afterZero})
        texts.insert(QLatin1String(key), Config::readText(store, id, key));
    return texts;
}

// A stored port that works as it stands: a device, or a symbolic link that
// leads to one (./balance-16, /dev/serial/by-id/...).
bool portPresent(const QString &storedPort)
{
    return QFileInfo::exists(Veltrano::PortAccess::deviceLocation(storedPort));
}

} // namespace

Settings::Settings(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::Settings)
{
    VTRACE;
    ui->setupUi(this);
    autoSave = false;

    if (!QFile::exists(QString::fromLatin1(Config::kFileName))) {
        QMessageBox::warning(this, tr("Warning"), tr("settings ini cannot be found."));
    }
    store = Veltrano::IniFile::open(QString::fromLatin1(Config::kFileName)).release();

    loadInstruments();

    for (const Veltrano::Makers::Type &type : Veltrano::Makers::kTypes)
        ui->uType->addItem(QString::fromUtf8(type.text), QString::fromLatin1(type.value));
    addComPorts();
    addChoices(ui->uTransmissionRate, Config::kTransmissionRates, false);
    addChoices(ui->uParity, Config::kParities, true);
    addChoices(ui->uStopBits, Config::kStopBits, false);
    addChoices(ui->uDataOutputFormat, Config::kDataOutputFormats, true);
    addChoices(ui->uDataBits, Config::kDataBits, false);
    ui->uRecord->addItem(tr("At each interval"), Veltrano::recordModeText(RecordMode::Interval));
    ui->uRecord->addItem(tr("Each printed result"), Veltrano::recordModeText(RecordMode::Print));
    ui->uRecord->addItem(tr("Each stable weighing"), Veltrano::recordModeText(RecordMode::Stable));
    ui->uStableCount->setRange(2, Veltrano::kMaxStableCount);

    connect(ui->uInstrument, qOverload<int>(&QComboBox::currentIndexChanged), this, &Settings::instrumentChanged);
    connect(ui->uAdd, &QPushButton::clicked, this, &Settings::newInstrument);
    connect(ui->uRemove, &QPushButton::clicked, this, &Settings::removeInstrument);
    connect(ui->uClose, &QPushButton::clicked, this, &QDialog::close);

    instrumentChanged();

    // Before the type is saved: a suggested line is saved with it.
    connect(ui->uType, qOverload<int>(&QComboBox::currentIndexChanged), this, &Settings::suggestFactoryLine);
    connect(ui->uDataBits, qOverload<int>(&QComboBox::currentIndexChanged), this, &Settings::inputFieldModified);
    connect(ui->uActive, &QCheckBox::stateChanged, this, &Settings::inputFieldModified);
    connect(ui->uComPort, qOverload<int>(&QComboBox::currentIndexChanged), this, &Settings::inputFieldModified);
    connect(ui->uComPort->lineEdit(), &QLineEdit::textEdited, this, &Settings::inputFieldModified);
    connect(ui->uDataOutputFormat, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &Settings::inputFieldModified);
    connect(ui->uName, &QLineEdit::textEdited, this, &Settings::inputFieldModified);
    connect(ui->uParity, qOverload<int>(&QComboBox::currentIndexChanged), this, &Settings::inputFieldModified);
    connect(ui->uSamplingInterval, &QLineEdit::textEdited, this, &Settings::inputFieldModified);
    connect(ui->uStopBits, qOverload<int>(&QComboBox::currentIndexChanged), this, &Settings::inputFieldModified);
    connect(ui->uTransmissionRate, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &Settings::inputFieldModified);
    connect(ui->uType, qOverload<int>(&QComboBox::currentIndexChanged), this, &Settings::inputFieldModified);
    connect(ui->uRecord, qOverload<int>(&QComboBox::currentIndexChanged), this, &Settings::inputFieldModified);
    connect(ui->uStableCount, qOverload<int>(&QSpinBox::valueChanged), this, &Settings::inputFieldModified);
    connect(ui->uAfterZero, &QCheckBox::stateChanged, this, &Settings::inputFieldModified);
    connect(ui->uScannerFor, qOverload<int>(&QComboBox::currentIndexChanged), this, &Settings::inputFieldModified);
    // What applies follows the type, the record mode and the port as they change.
    connect(ui->uType, qOverload<int>(&QComboBox::currentIndexChanged), this, &Settings::showApplicable);
    connect(ui->uRecord, qOverload<int>(&QComboBox::currentIndexChanged), this, &Settings::showApplicable);
    connect(ui->uComPort, &QComboBox::currentTextChanged, this, &Settings::showApplicable);

    // The output format follows from the length of the lines the balance
    // prints; the editor stays hidden but keeps the stored value.
    ui->uLabelDataOutputFormat->hide();
    ui->uDataOutputFormat->hide();

    autoSave = true;
}

Settings::~Settings()
{
    VTRACE;
    delete store;
    delete ui;
}

void Settings::loadInstruments()
{
    VTRACE;
    autoSave = false;
    ui->uInstrument->clear();
    const QStringList ids = store->childGroups();
    for (const QString &id : ids)
        ui->uInstrument->addItem(id, id);

    const bool any = ui->uInstrument->count() > 0;
    const QList<QWidget *> editors = {ui->uActive, ui->uComPort, ui->uDataOutputFormat, ui->uName, ui->uParity,
                                      ui->uSamplingInterval, ui->uStopBits, ui->uTransmissionRate, ui->uType,
                                      ui->uRemove, ui->uDataBits, ui->uRecord, ui->uStableCount, ui->uAfterZero,
                                      ui->uScannerFor};
    for (QWidget *editor : editors)
        editor->setEnabled(any);
    autoSave = true;
    if (any)
        showApplicable();
}

void Settings::instrumentChanged()
{
    VTRACE;
    autoSave = false;
    loadConfig(ui->uInstrument->currentData().toString());
    autoSave = true;
}

void Settings::loadConfig(QString id)
{
    VTRACE;
    const Config::Instrument instrument = Config::readInstrument(*store, id);
    ui->uActive->setChecked(instrument.active);

    const int index = indexOfValue(ui->uType, instrument.type);
    VTRACE << "index=" << index;
    selectIndex(ui->uType, index);

    ui->uName->setText(instrument.name);
    selectComPort(instrument.comPort.toString());
    ui->uSamplingInterval->setText(instrument.samplingInterval);
    selectValue(ui->uTransmissionRate, instrument.transmissionRate.toString());
    selectValue(ui->uParity, instrument.parity.toString());
    selectValue(ui->uStopBits, instrument.stopBits.toString());
    selectValue(ui->uDataOutputFormat, instrument.dataOutputFormat.toString());
    selectValue(ui->uDataBits, instrument.dataBits.toString());
    shownType = instrument.type;
    loadWeighing(id);
    showApplicable();
}

void Settings::loadWeighing(const QString &id)
{
    const Veltrano::WeighingSettings weighing = Veltrano::WeighingSettings::fromTexts(weighingTexts(*store, id), nullptr);
    selectValue(ui->uRecord, Veltrano::recordModeText(weighing.record));
    ui->uStableCount->setValue(weighing.stableCount);
    ui->uAfterZero->setChecked(weighing.afterZero);

    // The instruments a scanner may label: every other one, or none.
    QComboBox *labelled = ui->uScannerFor;
    labelled->clear();
    labelled->addItem(QString(), QString());
    for (const QString &other : store->childGroups()) {
        if (other != id)
            labelled->addItem(other, other);
    }
    const QString scannerFor = Config::readText(*store, id, WeighingKey::scannerFor);
    if (!scannerFor.isEmpty() && indexOfValue(labelled, scannerFor) < 0)
        labelled->addItem(Config::missingPortItemText(scannerFor), scannerFor);
    selectValue(labelled, scannerFor);
}

// Writes a key of how the instrument records only where the shown value
// differs from what the file means now: a section that has none of them
// keeps exactly its keys until the operator picks another way.
void Settings::saveWeighing(const QString &id)
{
    const auto write = [this, &id](const char *key, const QString &shown, const QString &meant) {
        if (shown != meant)
            store->setValue(Config::keyPath(id, key), shown);
    };
    if (isBarcode(ui->uType->currentData().toString())) {
        write(WeighingKey::scannerFor, ui->uScannerFor->currentData().toString(),
              Config::readText(*store, id, WeighingKey::scannerFor));
        return;
    }
    const Veltrano::WeighingSettings meant = Veltrano::WeighingSettings::fromTexts(weighingTexts(*store, id), nullptr);
    const QString record = ui->uRecord->currentData().toString();
    write(WeighingKey::record, record, Veltrano::recordModeText(meant.record));
    if (record != QLatin1String(Veltrano::RecordModeText::stable))
        return;
    write(WeighingKey::stableCount, QString::number(ui->uStableCount->value()), QString::number(meant.stableCount));
    const auto boolText = [](bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); };
    write(WeighingKey::afterZero, boolText(ui->uAfterZero->isChecked()), boolText(meant.afterZero));
}

void Settings::showApplicable()
{
    if (ui->uInstrument->currentIndex() < 0)
        return;
    const bool barcode = isBarcode(ui->uType->currentData().toString());
    const QString record = ui->uRecord->currentData().toString();
    for (QWidget *editor : {static_cast<QWidget *>(ui->uLabelRecord), static_cast<QWidget *>(ui->uRecord),
                            static_cast<QWidget *>(ui->uLabelStableCount), static_cast<QWidget *>(ui->uStableCount),
                            static_cast<QWidget *>(ui->uAfterZero), static_cast<QWidget *>(ui->uLabelInterval),
                            static_cast<QWidget *>(ui->uSamplingInterval)})
        editor->setVisible(!barcode);
    ui->uLabelScannerFor->setVisible(barcode);
    ui->uScannerFor->setVisible(barcode);
    ui->uSamplingInterval->setEnabled(record == QLatin1String(Veltrano::RecordModeText::interval));
    const bool stable = record == QLatin1String(Veltrano::RecordModeText::stable);
    ui->uStableCount->setEnabled(stable);
    ui->uAfterZero->setEnabled(stable);

    // A balance on the network: its device server holds the serial line.
    const bool network = Veltrano::NetworkAddress::isNetwork(comPortValue().toString());
    const QString held = network ? tr("The device server holds baud rate, parity, stop bits and data bits: set them "
                                      "there.")
                                 : QString();
    for (QWidget *line : {static_cast<QWidget *>(ui->uTransmissionRate), static_cast<QWidget *>(ui->uParity),
                          static_cast<QWidget *>(ui->uStopBits), static_cast<QWidget *>(ui->uDataBits)}) {
        line->setEnabled(!network);
        line->setToolTip(held);
    }
    ui->uLineNote->setText(held);
    ui->uLineNote->setVisible(network);
}

// A new instrument given a maker's type gets that maker's factory line as a
// first suggestion: while baud rate, parity and stop bits are all unchosen,
// or still what the type before suggested.
void Settings::suggestFactoryLine()
{
    const QString before = shownType;
    shownType = ui->uType->currentData().toString();
    const Config::FactoryLine *line = Config::factoryLine(shownType);
    if (!autoSave || !line)
        return;
    const QStringList shown = {ui->uTransmissionRate->currentData().toString(), ui->uDataBits->currentData().toString(),
                               ui->uParity->currentData().toString(), ui->uStopBits->currentData().toString()};
    const auto lineOf = [](const Config::FactoryLine *line) {
        return QStringList{QLatin1String(line->transmissionRate), QLatin1String(line->dataBits),
                           QLatin1String(line->parity), QLatin1String(line->stopBits)};
    };
    const Config::FactoryLine *previous = Config::factoryLine(before);
    const bool unchosen = shown[0].isEmpty() && shown[2].isEmpty() && shown[3].isEmpty();
    if (!unchosen && !(previous && shown == lineOf(previous)))
        return;
    const QStringList suggested = lineOf(line);
    autoSave = false;
    selectValue(ui->uTransmissionRate, suggested[0]);
    selectValue(ui->uDataBits, suggested[1]);
    selectValue(ui->uParity, suggested[2]);
    selectValue(ui->uStopBits, suggested[3]);
    autoSave = true;
}

// The serial ports present, each USB adapter first by its stable name
// (recommended: it follows the adapter from socket to socket), then every
// port by its system name. The operator may also type a network address.
void Settings::addComPorts()
{
    QComboBox *ports = ui->uComPort;
    // Typed addresses are saved as typed; the list offers no completion.
    ports->setCompleter(nullptr);
    ports->lineEdit()->setPlaceholderText(QStringLiteral("tcp://HOST:PORT"));
    const QList<QSerialPortInfo> present = QSerialPortInfo::availablePorts();
    QList<Veltrano::StablePorts::Adapter> adapters;
    for (const QSerialPortInfo &port : present)
        adapters.append({port.systemLocation(), port.manufacturer(), port.serialNumber(), port.description()});
    const QList<Veltrano::StablePorts::Name> stable =
        Veltrano::StablePorts::names(Veltrano::StablePorts::folder(), adapters);
    for (const Veltrano::StablePorts::Name &name : stable)
        ports->addItem(Config::stablePortItemText(name.path, name.description), name.path);
    for (const QSerialPortInfo &port : present)
        ports->addItem(Config::portItemText(port), port.portName());
}

// Selects the stored port. One the list does not hold is offered as an extra
// last item holding the stored text, so that saving the instrument writes it
// back instead of dropping it: as it stands when it is a network address or a
// path that leads to a device (a symbolic link such as /dev/serial/by-id/...),
// marked "not present" when nothing is there (an unplugged adapter).
void Settings::selectComPort(const QString &storedPort)
{
    QComboBox *ports = ui->uComPort;
    for (int i = ports->count() - 1; i >= 0; --i) {
        if (ports->itemData(i, kMissingPortRole).toBool())
            ports->removeItem(i);
    }
    int index = indexOfValue(ports, storedPort);
    if (index < 0 && !storedPort.isEmpty()) {
        const bool asItStands = Veltrano::NetworkAddress::isNetwork(storedPort) || portPresent(storedPort);
        ports->addItem(asItStands ? storedPort : Config::missingPortItemText(storedPort), storedPort);
        index = ports->count() - 1;
        ports->setItemData(index, true, kMissingPortRole);
    }
    selectIndex(ports, index);
    // What another instrument's port had typed must not stay in the editor.
    ports->setEditText(index >= 0 ? ports->itemText(index) : QString());
}

// The chosen port's stored value; a typed text (a network address) as
// typed; a null value for none.
QVariant Settings::comPortValue() const
{
    const QComboBox *ports = ui->uComPort;
    const int index = ports->currentIndex();
    if (index >= 0 && ports->currentText() == ports->itemText(index))
        return ports->itemData(index);
    const QString typed = ports->currentText().trimmed();
    return typed.isEmpty() ? QVariant() : QVariant(typed);
}

void Settings::inputFieldModified()
{
    VTRACE;
    if (autoSave) {
        saveCurrentConfig();
        return;
    }
    VTRACE << "auto-save disabled";
}

void Settings::saveCurrentConfig()
{
    VTRACE;
    if (ui->uInstrument->currentIndex() == -1)
        return;
    const QString id = ui->uInstrument->currentData().toString();

    Config::Instrument instrument;
    instrument.active = ui->uActive->isChecked();
    instrument.type = ui->uType->currentData().toString();
    instrument.name = ui->uName->text();
    instrument.comPort = comPortValue();
    instrument.samplingInterval = ui->uSamplingInterval->text();
    instrument.transmissionRate = ui->uTransmissionRate->currentData();
    instrument.parity = ui->uParity->currentData();
    instrument.stopBits = ui->uStopBits->currentData();
    instrument.dataOutputFormat = ui->uDataOutputFormat->currentData();
    instrument.dataBits = ui->uDataBits->currentData();
    Config::writeInstrument(*store, id, instrument);
    saveWeighing(id);
    flushStore();
}

void Settings::newInstrument()
{
    VTRACE;
    GetText prompt(nullptr);
    prompt.setWindowTitle(tr("New instrument"));
    prompt.ui->uLabel->setText(tr("Id"));
    if (prompt.exec() != QDialog::Accepted)
        return;

    const QString id = prompt.ui->uText->text();
    switch (Config::checkNewId(id, store->childGroups())) {
    case Config::IdCheck::Duplicate:
        QMessageBox::warning(this, tr("Warning"), tr("Instrument already exists with this id"));
        return;
    case Config::IdCheck::Malformed:
        QMessageBox::warning(this, tr("Warning"),
                             tr("An instrument id must not be empty and must not contain \"/\" or \"\\\"."));
        return;
    case Config::IdCheck::Accepted:
        break;
    }

    Config::writeInstrument(*store, id, Config::blankInstrument());
    flushStore();
    loadInstruments();
    selectValue(ui->uInstrument, id);
}

void Settings::removeInstrument()
{
    // Without a current item there is no instrument to remove: an empty id
    // would address the whole file.
    if (ui->uInstrument->currentIndex() == -1)
        return;
    const QString id = ui->uInstrument->currentData().toString();
    const QMessageBox::StandardButton answer =
        QMessageBox::question(this, tr("Confirm"), tr("Do you really want to delete this instrument? %1").arg(id),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    store->remove(id);
    flushStore();
    loadInstruments();
}

// Writes the pending changes out now, so that a file that cannot be written
// is noticed while the operator is still editing.
void Settings::flushStore()
{
    if (Config::flush(*store))
        return;
    if (!writeFailureShown) {
        writeFailureShown = true;
        QMessageBox::warning(this, tr("Warning"), tr("settings ini cannot be written."));
        return;
    }
    VTRACE << "settings ini cannot be written.";
}
