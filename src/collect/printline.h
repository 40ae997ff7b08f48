#pragma once

#include "support/reading.h"

#include <QByteArray>
#include <QString>
#include <QStringView>

// What a balance prints, cut and read. A print line ends in a line feed and is
// told apart by its length alone:
//   16 bytes: value field (0-9), separator, unit (11-13), one byte, line feed
//   22 bytes: header (0-5), value field (6-15), separator, unit (17-19), one
//             byte, line feed
namespace Veltrano::PrintLine {

inline constexpr int kShortLength = 16;
inline constexpr int kLongLength = 22;

// A receive buffer keeps at most this many bytes of a line that has not been
// terminated yet; older bytes are dropped when more arrive.
inline constexpr int kMaxPending = 1024;

enum class Kind {
    Reading,        // an accepted line: header, result and unit are set
    ErrorCode,      // a 16-byte line with "ERR" or "Err" at bytes 3-5
    Status,         // a status line, no reading: a 22-byte line whose header
                    // starts with "Stat", or another maker's out-of-range
                    // line without a value; `load` may tell the range
    WrongLength,    // any other length
    NotAReading,    // another maker's line that is no weight: a command echo,
                    // a "command not executable" or error response
    NotRecognised,  // matches no layout of the chosen format
};

using Stability = Veltrano::Stability;
using Load = Veltrano::Load;
using WeightKind = Veltrano::WeightKind;

struct Parsed
{
    Kind kind = Kind::WrongLength;
    QString header;  // 6 characters as received, or empty for 16-byte lines
    QString result;  // the value field with every space removed
    QString unit;    // 3 characters as received, trailing spaces kept
    // 16/22-byte lines: stable when the unit is not blank (the balance prints
    // it only once the weight settled), unstable otherwise; a result of "H"
    // or "HH" is an overload, "L" or "LL" an underload (also in status lines).
    Stability stability = Stability::Unknown;
    Load load = Load::Normal;
    // From the line's own mark where its layout has one: a 22-byte line's
    // header ("G#" or "G" gross, "N" or "N1" net, "T", "T1", "T2" or "PT2"
    // tare; other headers such as "*G", a sum, say nothing), the other makers'
    // as makerlines.h tells. Unknown everywhere else.
    WeightKind weight = WeightKind::Unknown;
    // A reading of no maker's layout: one number and a unit, taken by the
    // automatic format when nothing else fits (makerlines.h).
    bool generic = false;
    // A barcode scanner's line (makerlines.h): no reading, `result` holds
    // the sample ID.
    bool scanned = false;
};

// Cuts the first line (up to and including its line feed) from the front of
// `buffer` and returns it; returns an empty array and leaves `buffer` alone
// when it holds no line feed.
QByteArray takeLine(QByteArray &buffer);

// Classifies one line as cut by takeLine() and reads its fields. Each field is
// read as UTF-8 and ends early at a zero byte.
Parsed parse(const QByteArray &line);

// Keeps at most `limit` bytes of `buffer`, dropping the oldest. Meant for the
// unterminated rest after every complete line was taken. Returns how many
// bytes were dropped.
int dropOverflow(QByteArray &buffer, int limit = kMaxPending);


} // namespace Veltrano::PrintLine
