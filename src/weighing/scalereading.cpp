#include "weighing/scalereading.h"

#include <cmath>
#include <iterator>

namespace Veltrano {

namespace {

// 10^n, exact in a double for n up to 22; pow() costs more than a line's parsing.
double powerOfTen(int exponent)
{
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    return exponent >= 0 && exponent < int(std::size(kPowers)) ? kPowers[exponent] : std::pow(10.0, exponent);
}

// Up to this many digits the number is a whole number of steps that a double
// holds exactly; dividing it by the power of ten rounds as toDouble() does.
constexpr int kExactDigits = 15;

double valueOf(const QString &number, int decimals)
{
    qint64 steps = 0;
    int digits = 0;
    for (const QChar c : number) {
        if (c.isDigit()) {
            steps = steps * 10 + (c.unicode() - '0');
            if (++digits > kExactDigits)
                return number.toDouble();
        }
    }
    const double magnitude = double(steps) / powerOfTen(decimals);
    return number.startsWith(QLatin1Char('-')) ? -magnitude : magnitude;
}

} // namespace

ScaleReading ScaleReading::fromResult(QStringView result, const QString &unit, Stability stability, WeightKind kind)
{
    ScaleReading reading;
    reading.number = numericValue(result);
    if (!reading.number.isEmpty()) {
        const int point = reading.number.indexOf(QLatin1Char('.'));
        reading.decimals = point < 0 ? 0 : int(reading.number.size()) - point - 1;
        reading.value = valueOf(reading.number, reading.decimals);
    }
    reading.unit = unit.trimmed();  // shared, not copied, when there is nothing to trim
    reading.stability = stability;
    reading.kind = kind;
    return reading;
}

double stepOf(int decimals)
{
    // A division by an exact power of ten rounds as the text "0.001" does.
    return decimals >= 0 ? 1.0 / powerOfTen(decimals) : powerOfTen(-decimals);
}

} // namespace Veltrano
