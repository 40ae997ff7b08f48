#pragma once

#include <QString>
#include <QStringView>

// What a balance's line says of its reading besides the number: the marks
// every room reads (the parser sets them, the live view, the weighings and
// the exports show them).
namespace Veltrano {

// Whether the balance marked the weight as settled. Unknown when its layout
// does not say (such as an out-of-range line).
enum class Stability { Unknown, Stable, Unstable };
// Whether the balance is within its weighing range.
enum class Load { Normal, Overload, Underload };
// What the weight is, where the line's header says it: gross (G, GS), net
// (N, NT) or tare (T, TR). Unknown where the layout carries no such mark.
enum class WeightKind { Unknown, Gross, Net, Tare };
// The stored text of a weight kind: "gross", "net", "tare" or "unknown".
QString weightKindText(WeightKind kind);

// The result text as a plain number: sign joined to the digits, blanks
// dropped, a decimal point ("+   12,50" gives "12.50"); empty when the text is
// not a number (such as "no result yet" or an overload code).
QString numericValue(QStringView result);

} // namespace Veltrano
