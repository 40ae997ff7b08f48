#include "weighing/scalereading.h"

#include <cmath>

namespace Veltrano {

ScaleReading ScaleReading::fromResult(QStringView result, QStringView unit, Stability stability, WeightKind kind)
{
    ScaleReading reading;
    reading.number = numericValue(result);
    if (!reading.number.isEmpty()) {
        reading.value = reading.number.toDouble();
        const int point = reading.number.indexOf(QLatin1Char('.'));
        reading.decimals = point < 0 ? 0 : int(reading.number.size()) - point - 1;
    }
    reading.unit = unit.trimmed().toString();
    reading.stability = stability;
    reading.kind = kind;
    return reading;
}

double stepOf(int decimals)
{
    // A division by an exact power of ten rounds as the text "0.001" does.
    return decimals >= 0 ? 1.0 / std::pow(10.0, decimals) : std::pow(10.0, -decimals);
}

} // namespace Veltrano
