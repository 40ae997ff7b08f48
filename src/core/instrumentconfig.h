#pragma once

#include <QString>

// The layout of settings.ini: one INI section per instrument id, nine keys.
// Everything that reads or writes the file takes its names from here.
namespace Veltrano::Config {

inline constexpr char kFileName[] = "settings.ini";

namespace Key {
inline constexpr char active[] = "active";
inline constexpr char type[] = "type";
inline constexpr char name[] = "name";
inline constexpr char comPort[] = "comPort";
inline constexpr char samplingInterval[] = "samplingInterval";
inline constexpr char transmissionRate[] = "transmissionRate";
inline constexpr char parity[] = "parity";
inline constexpr char stopBits[] = "stopBits";
inline constexpr char dataOutputFormat[] = "dataOutputFormat";
} // namespace Key

// The nine keys in the order they are written.
inline constexpr const char *kKeys[] = {
    Key::active, Key::type, Key::name, Key::comPort, Key::samplingInterval,
    Key::transmissionRate, Key::parity, Key::stopBits, Key::dataOutputFormat,
};

// The address of one key of one instrument: id, slash, key.
inline QString keyPath(const QString &instrumentId, const char *key)
{
    return instrumentId + QLatin1Char('/') + QLatin1String(key);
}

} // namespace Veltrano::Config
