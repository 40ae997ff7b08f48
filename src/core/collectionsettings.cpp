#include "collectionsettings.h"

#include "instrumentconfig.h"

#include <QSettings>

#include <limits>

namespace Veltrano::CollectionSettings {

bool isActive(const QSettings &settings, const QString &instrumentId)
{
    return settings.value(Config::keyPath(instrumentId, Config::Key::active), true).toBool();
}

QString text(const QSettings &settings, const QString &instrumentId, const char *key)
{
    return settings.value(Config::keyPath(instrumentId, key)).toString();
}

int number(const QSettings &settings, const QString &instrumentId, const char *key)
{
    return settings.value(Config::keyPath(instrumentId, key)).toInt();
}

std::optional<QSerialPort::Parity> parity(const QString &text)
{
    if (text == QLatin1String("mark"))
        return QSerialPort::MarkParity;
    if (text == QLatin1String("space"))
        return QSerialPort::SpaceParity;
    if (text == QLatin1String("odd"))
        return QSerialPort::OddParity;
    if (text == QLatin1String("even"))
        return QSerialPort::EvenParity;
    return std::nullopt;
}

std::optional<QSerialPort::StopBits> stopBits(int number)
{
    switch (number) {
    case 1:
        return QSerialPort::OneStop;
    case 2:
        return QSerialPort::TwoStop;
    default:
        return std::nullopt;
    }
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

} // namespace Veltrano::CollectionSettings
