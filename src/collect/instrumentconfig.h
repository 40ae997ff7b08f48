#pragma once

#include "collect/seriallink.h"
#include "support/makers.h"

#include <QList>
#include <QSerialPort>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>
#include <QtGlobal>

#include <optional>

class QSerialPortInfo;
class QSettings;

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
// Beside the nine: "7" or "8"; absent means 7. Written only where needed.
inline constexpr char dataBits[] = "dataBits";
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

// One item of a list of choices: what the operator sees and what the file
// holds. Display texts marked with QT_TRANSLATE_NOOP belong to the context
// "Settings" and are shown through the translation function.
struct Choice
{
    const char *text;
    const char *value;
};

// The instrument types, their texts and factory lines are the makers' table
// (support/makers.h). A maker's factory line, as the Settings dialog
// suggests it.
using FactoryLine = Makers::LineSettings;

// The factory line of a type value; nothing for "automatic" and unknown ones.
const FactoryLine *factoryLine(const QString &type);

inline constexpr Choice kTransmissionRates[] = {
    {"150", "150"}, {"300", "300"}, {"600", "600"}, {"1200", "1200"},
    {"2400", "2400"}, {"4800", "4800"}, {"9600", "9600"}, {"19200", "19200"},
};

inline constexpr Choice kParities[] = {
    {QT_TRANSLATE_NOOP("Settings", "Mark"), "mark"},
    {QT_TRANSLATE_NOOP("Settings", "Space"), "space"},
    {QT_TRANSLATE_NOOP("Settings", "Odd"), "odd"},
    {QT_TRANSLATE_NOOP("Settings", "Even"), "even"},
    {QT_TRANSLATE_NOOP("Settings", "None"), "none"},
};

inline constexpr Choice kDataBits[] = {
    {"7", "7"},
    {"8", "8"},
};

inline constexpr Choice kStopBits[] = {
    {"1", "1"},
    {"2", "2"},
};

inline constexpr Choice kDataOutputFormats[] = {
    {QT_TRANSLATE_NOOP("Settings", "16 without header"), "16"},
    {QT_TRANSLATE_NOOP("Settings", "22 with header"), "22"},
};

// A serial port as the port list offers it: "ttyUSB0:description", holding
// the bare port name. The name is what the file keeps; the serial-port
// module resolves a bare name under /dev and takes a full path as it is.
QString portItemText(const QSerialPortInfo &port);
// A USB adapter's stable name, recommended over its system name:
// "/dev/serial/by-id/usb-...:FTDI A50285BI (recommended)", holding the path.
QString stablePortItemText(const QString &path, const QString &description);
// A stored port that is not present now, kept in the list so that saving
// does not lose it: "ttyUSB0 (not present)".
QString missingPortItemText(const QString &storedPort);

// One instrument's nine values, and its data bits. `type`, `name` and `samplingInterval` are
// always text. The other five list values are written as given; a null
// QVariant (a list without a selection) is written as an empty text.
struct Instrument
{
    bool active = true;
    QString type;
    QString name;
    QVariant comPort;
    QString samplingInterval;
    QVariant transmissionRate;
    QVariant parity;
    QVariant stopBits;
    QVariant dataOutputFormat;
    QVariant dataBits;  // "7" when the file has none
};

// What a newly added instrument holds: active, and eight empty texts.
Instrument blankInstrument();

// Reads one instrument: `active` defaults to true, every other key is read
// as text (absent or null gives empty text).
Instrument readInstrument(const QSettings &settings, const QString &id);
// One key of an instrument as text; empty when absent.
QString readText(const QSettings &settings, const QString &id, const char *key);
// Whether an instrument takes part in collection; true when the key is absent.
bool readActive(const QSettings &settings, const QString &id);
// One key of an instrument as a whole number; 0 when absent or not a number.
int readNumber(const QSettings &settings, const QString &id, const char *key);

// The line settings a collection applies, from the texts the file holds.
// "mark", "space", "odd", "even" or "none", compared exactly; nothing for any
// other text.
std::optional<QSerialPort::Parity> lineParity(const QString &text);
// 1 or 2; nothing for any other number.
std::optional<QSerialPort::StopBits> lineStopBits(int number);
// The timer interval in milliseconds for a `samplingInterval` value: whole
// seconds, at least 1, and small enough for the timer's signed 32-bit
// milliseconds (up to 2147483 s, about 24.8 days). Nothing when invalid.
std::optional<int> samplingIntervalMs(const QVariant &value);

// Whether a section needs the `dataBits` key: all but those of the
// Sartorius types or no type on 7 data bits, which keep their nine keys.
bool writesDataBits(const QString &type, const QString &dataBits);

// Writes all nine keys of an instrument, in the order of kKeys, and
// `dataBits` where writesDataBits() asks for it (else removes it).
void writeInstrument(QSettings &settings, const QString &id, const Instrument &instrument);

// Writes what is pending to disk and tells whether the file could be
// written. A file that was read with format errors is still written, so only
// an access error counts as a failure.
bool flush(QSettings &settings);

// One instrument of a collection as its start (or a reload) read it: what
// its channel needs, never read again while it runs.
struct InstrumentSettings
{
    QString id;
    QString name;
    QString type;
    QString port;                   // comPort: a serial port or a tcp:// address
    std::optional<int> intervalMs;  // nothing: not a valid sampling interval
    LineSettings line;
    QVariantMap keys;               // every key of the section, as read

    // Any key of the section as text; empty when absent.
    QString text(const char *key) const { return keys.value(QLatin1String(key)).toString(); }
};
InstrumentSettings readSettings(const QSettings &settings, const QString &id);

enum class IdCheck {
    Accepted,
    Malformed,   // empty, or holding "/" or "\": it would not form a section of its own
    Duplicate,   // equals an existing id exactly (case-sensitive)
};

// Whether a typed id can become a new instrument beside the existing ones.
IdCheck checkNewId(const QString &id, const QStringList &existingIds);

} // namespace Veltrano::Config
