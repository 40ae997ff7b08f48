#pragma once

#include <QSerialPort>
#include <QString>
#include <QVariant>

#include <optional>

class QSettings;

// How collection start reads an instrument's section of settings.ini: the
// active flag, the serial-line values and the sampling interval.
namespace Veltrano::CollectionSettings {

// The `active` key; an instrument without it takes part.
bool isActive(const QSettings &settings, const QString &instrumentId);

// The text of one key, empty when absent.
QString text(const QSettings &settings, const QString &instrumentId, const char *key);

// The number of one key, 0 when absent or not a whole number.
int number(const QSettings &settings, const QString &instrumentId, const char *key);

// "mark", "space", "odd" or "even", compared exactly; nothing for any other
// text. A line without parity is never chosen here.
std::optional<QSerialPort::Parity> parity(const QString &text);

// 1 or 2; nothing for any other number.
std::optional<QSerialPort::StopBits> stopBits(int number);

// The timer interval in milliseconds for a `samplingInterval` value: whole
// seconds, at least 1, and small enough for the timer's signed 32-bit
// milliseconds (up to 2147483 s, about 24.8 days). Nothing when invalid.
std::optional<int> samplingIntervalMs(const QVariant &value);

} // namespace Veltrano::CollectionSettings
