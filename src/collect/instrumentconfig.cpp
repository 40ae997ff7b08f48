#include "collect/instrumentconfig.h"

#include <QCoreApplication>
#include <QSerialPortInfo>
#include <QSettings>

#include <limits>

namespace Veltrano::Config {

QString portItemText(const QSerialPortInfo &port)
{
    return port.portName() + QLatin1Char(':') + port.description();
}

QString stablePortItemText(const QString &path, const QString &description)
{
    return path + QLatin1Char(':') + QCoreApplication::translate("Settings", "%1 (recommended)").arg(description);
}

QString missingPortItemText(const QString &storedPort)
{
    return QCoreApplication::translate("Settings", "%1 (not present)").arg(storedPort);
}

Instrument blankInstrument()
{
    const QString empty = QLatin1String("");
    Instrument instrument;
    instrument.active = true;
    instrument.type = empty;
    instrument.name = empty;
    instrument.comPort = empty;
    instrument.samplingInterval = empty;
    instrument.transmissionRate = empty;
    instrument.parity = empty;
    instrument.stopBits = empty;
    instrument.dataOutputFormat = empty;
    instrument.dataBits = QStringLiteral("7");
    return instrument;
}

QString readText(const QSettings &settings, const QString &id, const char *key)
{
    return settings.value(keyPath(id, key)).toString();
}

bool readActive(const QSettings &settings, const QString &id)
{
    return settings.value(keyPath(id, Key::active), true).toBool();
}

int readNumber(const QSettings &settings, const QString &id, const char *key)
{
    return settings.value(keyPath(id, key)).toInt();
}

std::optional<QSerialPort::Parity> lineParity(const QString &text)
{
    for (const auto &[value, parity] : {std::pair{"mark", QSerialPort::MarkParity}, {"space", QSerialPort::SpaceParity},
                                        {"odd", QSerialPort::OddParity}, {"even", QSerialPort::EvenParity},
                                        {"none", QSerialPort::NoParity}}) {
        if (text == QLatin1String(value))
            return parity;
    }
    return std::nullopt;
}

std::optional<QSerialPort::StopBits> lineStopBits(int number)
{
    if (number == 1)
        return QSerialPort::OneStop;
    if (number == 2)
        return QSerialPort::TwoStop;
    return std::nullopt;
}

std::optional<int> samplingIntervalMs(const QVariant &value)
{
    constexpr int kMaxSeconds = std::numeric_limits<int>::max() / 1000;
    bool ok = false;
    const int seconds = value.toInt(&ok);
    if (!ok || seconds <= 0 || seconds > kMaxSeconds)
        return std::nullopt;
    return seconds * 1000;
}

Instrument readInstrument(const QSettings &settings, const QString &id)
{
    Instrument instrument;
    instrument.active = readActive(settings, id);
    instrument.type = readText(settings, id, Key::type);
    instrument.name = readText(settings, id, Key::name);
    instrument.comPort = readText(settings, id, Key::comPort);
    instrument.samplingInterval = readText(settings, id, Key::samplingInterval);
    instrument.transmissionRate = readText(settings, id, Key::transmissionRate);
    instrument.parity = readText(settings, id, Key::parity);
    instrument.stopBits = readText(settings, id, Key::stopBits);
    instrument.dataOutputFormat = readText(settings, id, Key::dataOutputFormat);
    const QString dataBits = readText(settings, id, Key::dataBits);
    instrument.dataBits = dataBits.isEmpty() ? QStringLiteral("7") : dataBits;
    return instrument;
}

void writeInstrument(QSettings &settings, const QString &id, const Instrument &instrument)
{
    // QSettings writes a null value as "@Invalid()", which no one typing the
    // file would understand: an unset value is written as an empty text.
    const auto write = [&](const char *key, const QVariant &value) {
        settings.setValue(keyPath(id, key), value.isNull() ? QVariant(QLatin1String("")) : value);
    };
    write(Key::active, instrument.active);
    write(Key::type, instrument.type);
    write(Key::name, instrument.name);
    write(Key::comPort, instrument.comPort);
    write(Key::samplingInterval, instrument.samplingInterval);
    write(Key::transmissionRate, instrument.transmissionRate);
    write(Key::parity, instrument.parity);
    write(Key::stopBits, instrument.stopBits);
    write(Key::dataOutputFormat, instrument.dataOutputFormat);
    if (writesDataBits(instrument.type, instrument.dataBits.toString()))
        write(Key::dataBits, instrument.dataBits);
    else
        settings.remove(keyPath(id, Key::dataBits));
}

bool writesDataBits(const QString &type, const QString &dataBits)
{
    const Makers::Type *known = Makers::typeNamed(type);
    const bool sartoriusRule = type.isEmpty() || (known && known->format == Makers::Format::Sartorius);
    return !(sartoriusRule && (dataBits.isEmpty() || dataBits == QLatin1String("7")));
}

const FactoryLine *factoryLine(const QString &type)
{
    const Makers::Type *known = Makers::typeNamed(type);
    return known ? known->factory : nullptr;
}

bool flush(QSettings &settings)
{
    settings.sync();
    return settings.status() != QSettings::AccessError;
}

InstrumentSettings readSettings(const QSettings &settings, const QString &id)
{
    InstrumentSettings instrument;
    instrument.id = id;
    const QString group = id + QLatin1Char('/');
    const QStringList all = settings.allKeys();
    for (const QString &key : all) {
        if (key.startsWith(group) && !QStringView(key).mid(group.size()).contains(QLatin1Char('/')))
            instrument.keys.insert(key.mid(group.size()), settings.value(key));
    }
    instrument.name = instrument.text(Key::name);
    instrument.type = instrument.text(Key::type);
    instrument.port = instrument.text(Key::comPort);
    instrument.intervalMs = samplingIntervalMs(instrument.keys.value(QLatin1String(Key::samplingInterval)));
    instrument.line.baudRate = instrument.keys.value(QLatin1String(Key::transmissionRate)).toInt();
    // 7 unless the instrument asks for 8 (most balances but Sartorius' own).
    instrument.line.eightDataBits = instrument.text(Key::dataBits) == QLatin1String("8");
    instrument.line.parity = lineParity(instrument.text(Key::parity));
    instrument.line.stopBits = lineStopBits(instrument.keys.value(QLatin1String(Key::stopBits)).toInt());
    return instrument;
}

IdCheck checkNewId(const QString &id, const QStringList &existingIds)
{
    if (id.isEmpty() || id.contains(QLatin1Char('/')) || id.contains(QLatin1Char('\\')))
        return IdCheck::Malformed;
    if (existingIds.contains(id, Qt::CaseSensitive))
        return IdCheck::Duplicate;
    return IdCheck::Accepted;
}

} // namespace Veltrano::Config
