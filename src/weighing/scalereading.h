#pragma once

#include "support/reading.h"

#include <QString>
#include <QStringView>

// One accepted reading line of a balance as the weighing logic reads it: the
// number with its printed precision, the unit and the marks. The channel
// makes one from each parsed line; everything in this room takes it.
namespace Veltrano {

struct ScaleReading
{
    QString number;     // numericValue() of the result: "-12.50"; empty when the result is no number
    double value = 0;   // `number` as a double; 0 when there is none
    int decimals = 0;   // digits after the decimal point in `number`
    QString unit;       // without surrounding blanks; empty where the line carries none
    Stability stability = Stability::Unknown;
    WeightKind kind = WeightKind::Unknown;

    bool hasValue() const { return !number.isEmpty(); }

    // From the result and unit fields as the parser stores them.
    static ScaleReading fromResult(QStringView result, const QString &unit, Stability stability = Stability::Unknown,
                                   WeightKind kind = WeightKind::Unknown);
};

// The step of a reading's last digit: 10 to the power of -decimals.
double stepOf(int decimals);

} // namespace Veltrano
