#include "weighing/seriesstats.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

#ifndef __SIZEOF_INT128__
#error "SeriesStats keeps its sums in __int128: build with GCC or Clang for a 64-bit target"
#endif

namespace Veltrano {

namespace {

using Wide = __int128;

// Decimals beyond this, and values beyond kMaxSteps steps, leave the exact state.
constexpr int kMaxDecimals = 15;
constexpr double kMaxSteps = 4611686018427387904.0;  // 2^62
constexpr int kClasses = 5;

// 10^exponent for 0 to 18.
qint64 power10(int exponent)
{
    static constexpr qint64 kPowers[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000,
                                         1000000000, 10000000000, 100000000000, 1000000000000, 10000000000000,
                                         100000000000000, 1000000000000000, 10000000000000000,
                                         100000000000000000, 1000000000000000000};
    return kPowers[exponent];
}

long double power10l(int exponent)
{
    long double power = 1;
    while (exponent-- > 0)
        power *= 10;
    return power;
}

bool multiply(Wide a, Wide b, Wide *out) { return !__builtin_mul_overflow(a, b, out); }
bool addTo(Wide *sum, Wide value) { return !__builtin_add_overflow(*sum, value, sum); }
bool multiplyBy(qint64 *value, qint64 factor) { return !__builtin_mul_overflow(*value, factor, value); }

QString wideText(Wide value)
{
    if (value == 0)
        return QStringLiteral("0");
    const bool negative = value < 0;
    QString digits;
    while (value != 0) {
        const int digit = int(value % 10);
        digits.prepend(QLatin1Char(char('0' + (negative ? -digit : digit))));
        value /= 10;
    }
    return negative ? QLatin1Char('-') + digits : digits;
}

std::optional<Wide> wideOf(QStringView text)
{
    const bool negative = text.startsWith(QLatin1Char('-'));
    const QStringView digits = negative ? text.mid(1) : text;
    if (digits.isEmpty())
        return std::nullopt;
    Wide value = 0;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        const int digit = c.unicode() - '0';
        if (!multiply(value, 10, &value) || !addTo(&value, negative ? -digit : digit))
            return std::nullopt;
    }
    return value;
}

QString doubleText(double value) { return QString::number(value, 'g', 17); }

} // namespace

void SeriesStats::add(const ScaleReading &reading, ToleranceClass toleranceClass)
{
    if (reading.hasValue())
        add(reading.value, reading.decimals, toleranceClass);
}

void SeriesStats::add(double value, int decimals, ToleranceClass toleranceClass)
{
    const bool first = m_n == 0;
    ++m_n;
    ++m_classes[std::clamp(int(toleranceClass), 0, kClasses - 1)];

    // Welford's update on the differences from the first value.
    if (first) {
        m_first = m_minValue = m_maxValue = value;
        m_decimals = std::max(decimals, 0);
    }
    const double fromFirst = value - m_first;
    const double delta = fromFirst - m_mean;
    m_mean += delta / double(m_n);
    m_m2 += delta * (fromFirst - m_mean);
    m_minValue = std::min(m_minValue, value);
    m_maxValue = std::max(m_maxValue, value);

    if (decimals > m_decimals)
        rescale(decimals);
    if (!m_exact)
        return;
    if (decimals < 0 || decimals > kMaxDecimals)
        return dropExact();
    const double scaled = value * double(power10(m_decimals));
    if (!(std::abs(scaled) < kMaxSteps))
        return dropExact();
    const qint64 steps = std::llround(scaled);
    if (std::abs(scaled - double(steps)) > 1e-3)  // more decimals than said
        return dropExact();
    if (first) {
        m_shift = m_min = m_max = steps;
    }
    const Wide difference = Wide(steps) - m_shift;
    if (!addTo(&m_sum, difference) || !addTo(&m_squares, difference * difference))
        return dropExact();
    m_min = std::min(m_min, steps);
    m_max = std::max(m_max, steps);
}

void SeriesStats::rescale(int decimals)
{
    const int from = m_decimals;
    m_decimals = decimals;
    if (!m_exact)
        return;
    if (decimals > kMaxDecimals)
        return dropExact();
    const qint64 factor = power10(decimals - from);
    if (!multiplyBy(&m_shift, factor) || !multiplyBy(&m_min, factor) || !multiplyBy(&m_max, factor)
        || !multiply(m_sum, factor, &m_sum) || !multiply(m_squares, Wide(factor) * factor, &m_squares))
        dropExact();
}

qint64 SeriesStats::count(ToleranceClass toleranceClass) const
{
    const int index = int(toleranceClass);
    return index >= 0 && index < kClasses ? m_classes[index] : 0;
}

std::optional<double> SeriesStats::mean() const
{
    if (m_n == 0)
        return std::nullopt;
    if (!m_exact)
        return m_first + m_mean;
    const Wide whole = m_sum / m_n, rest = m_sum % m_n;
    const long double steps = (long double)(m_shift + whole) + (long double)rest / m_n;
    return double(steps / power10l(m_decimals));
}

std::optional<double> SeriesStats::sd() const
{
    if (m_n < 2)
        return std::nullopt;
    if (!m_exact)
        return std::sqrt(std::max(m_m2, 0.0) / double(m_n - 1));
    // n * sum of squares - sum^2, over n (n - 1): the variance in steps^2.
    long double variance;
    Wide scaledSquares, squaredSum;
    if (multiply(m_squares, m_n, &scaledSquares) && multiply(m_sum, m_sum, &squaredSum))
        variance = (long double)(scaledSquares - squaredSum) / ((long double)m_n * (m_n - 1));
    else
        variance = ((long double)m_squares - (long double)m_sum * ((long double)m_sum / m_n)) / (m_n - 1);
    return double(std::sqrt(std::max(variance, 0.0L)) / power10l(m_decimals));
}

std::optional<double> SeriesStats::rsdPercent() const
{
    const std::optional<double> s = sd(), m = mean();
    if (!s || !m || *m == 0)
        return std::nullopt;
    return *s / std::abs(*m) * 100.0;
}

std::optional<double> SeriesStats::minimum() const
{
    if (m_n == 0)
        return std::nullopt;
    return m_exact ? double((long double)m_min / power10l(m_decimals)) : m_minValue;
}

std::optional<double> SeriesStats::maximum() const
{
    if (m_n == 0)
        return std::nullopt;
    return m_exact ? double((long double)m_max / power10l(m_decimals)) : m_maxValue;
}

std::optional<double> SeriesStats::range() const
{
    if (m_n == 0)
        return std::nullopt;
    return m_exact ? double((long double)(Wide(m_max) - m_min) / power10l(m_decimals)) : m_maxValue - m_minValue;
}

void SeriesStats::merge(const SeriesStats &other)
{
    if (other.m_n == 0)
        return;
    if (m_n == 0) {
        *this = other;
        return;
    }
    const qint64 n = m_n + other.m_n;
    for (int i = 0; i < kClasses; ++i)
        m_classes[i] += other.m_classes[i];

    // Chan's combination of the two Welford states, on this one's shift.
    const double otherMean = other.m_mean + (other.m_first - m_first);
    const double delta = otherMean - m_mean;
    m_mean += delta * (double(other.m_n) / double(n));
    m_m2 += other.m_m2 + delta * delta * (double(m_n) * double(other.m_n) / double(n));
    m_minValue = std::min(m_minValue, other.m_minValue);
    m_maxValue = std::max(m_maxValue, other.m_maxValue);

    SeriesStats aligned = other;
    const int decimals = std::max(m_decimals, other.m_decimals);
    if (decimals > m_decimals)
        rescale(decimals);
    if (decimals > aligned.m_decimals)
        aligned.rescale(decimals);
    // The other sums moved onto this shift: each difference d becomes d + shift,
    // so the sum grows by n shift and the squares by 2 shift sum + n shift^2.
    auto combine = [&] {
        const Wide shift = Wide(aligned.m_shift) - m_shift;
        Wide sum, cross, spread;
        if (!multiply(shift, aligned.m_n, &sum) || !addTo(&sum, aligned.m_sum))
            return false;
        if (!multiply(shift, aligned.m_sum, &cross) || !multiply(cross, 2, &cross))
            return false;
        if (!multiply(shift, shift, &spread) || !multiply(spread, aligned.m_n, &spread))
            return false;
        Wide squares = aligned.m_squares;
        return addTo(&squares, cross) && addTo(&squares, spread) && addTo(&m_sum, sum)
               && addTo(&m_squares, squares);
    };
    if (m_exact && aligned.m_exact && combine()) {
        m_min = std::min(m_min, aligned.m_min);
        m_max = std::max(m_max, aligned.m_max);
    } else {
        dropExact();
    }
    m_n = n;
}

QString SeriesStats::toText() const
{
    QStringList classes;
    for (const qint64 c : m_classes)
        classes << QString::number(c);
    return QStringList{
        QStringLiteral("series-stats 1"),
        QStringLiteral("n=") + QString::number(m_n),
        QStringLiteral("classes=") + classes.join(QLatin1Char(',')),
        QStringLiteral("decimals=") + QString::number(m_decimals),
        QStringLiteral("exact=") + QString::number(int(m_exact)),
        QStringLiteral("shift=") + QString::number(m_shift),
        QStringLiteral("sum=") + wideText(m_sum),
        QStringLiteral("squares=") + wideText(m_squares),
        QStringLiteral("min=") + QString::number(m_min),
        QStringLiteral("max=") + QString::number(m_max),
        QStringLiteral("first=") + doubleText(m_first),
        QStringLiteral("mean=") + doubleText(m_mean),
        QStringLiteral("m2=") + doubleText(m_m2),
        QStringLiteral("minValue=") + doubleText(m_minValue),
        QStringLiteral("maxValue=") + doubleText(m_maxValue),
    }.join(QLatin1Char(' '));
}

std::optional<SeriesStats> SeriesStats::fromText(QStringView text)
{
    const QString prefix = QStringLiteral("series-stats 1 ");
    if (!text.startsWith(prefix))
        return std::nullopt;
    const QStringList fields = text.mid(prefix.size()).toString().split(QLatin1Char(' '));
    constexpr int kFields = 14;
    if (fields.size() != kFields)
        return std::nullopt;
    SeriesStats stats;
    bool ok = true;
    auto value = [&](int index, const char *name) -> QString {
        const QString field = fields.at(index);
        const QString key = QLatin1String(name) + QLatin1Char('=');
        ok = ok && field.startsWith(key);
        return field.mid(key.size());
    };
    auto number = [&](int index, const char *name) {
        bool parsed = false;
        const qint64 n = value(index, name).toLongLong(&parsed);
        ok = ok && parsed;
        return n;
    };
    auto real = [&](int index, const char *name) {
        bool parsed = false;
        const double d = value(index, name).toDouble(&parsed);
        ok = ok && parsed;
        return d;
    };
    auto wide = [&](int index, const char *name) {
        const std::optional<Wide> w = wideOf(value(index, name));
        ok = ok && w;
        return w.value_or(0);
    };
    stats.m_n = number(0, "n");
    const QStringList classes = value(1, "classes").split(QLatin1Char(','));
    ok = ok && classes.size() == kClasses;
    for (int i = 0; ok && i < kClasses; ++i) {
        bool parsed = false;
        stats.m_classes[i] = classes.at(i).toLongLong(&parsed);
        ok = parsed;
    }
    stats.m_decimals = int(number(2, "decimals"));
    const qint64 exact = number(3, "exact");
    stats.m_exact = exact == 1;
    stats.m_shift = number(4, "shift");
    stats.m_sum = wide(5, "sum");
    stats.m_squares = wide(6, "squares");
    stats.m_min = number(7, "min");
    stats.m_max = number(8, "max");
    stats.m_first = real(9, "first");
    stats.m_mean = real(10, "mean");
    stats.m_m2 = real(11, "m2");
    stats.m_minValue = real(12, "minValue");
    stats.m_maxValue = real(13, "maxValue");
    ok = ok && stats.m_n >= 0 && (exact == 0 || exact == 1) && stats.m_decimals >= 0;
    if (!ok)
        return std::nullopt;
    return stats;
}

bool SeriesStats::operator==(const SeriesStats &other) const
{
    return m_n == other.m_n && std::equal(std::begin(m_classes), std::end(m_classes), std::begin(other.m_classes))
           && m_decimals == other.m_decimals && m_exact == other.m_exact && m_shift == other.m_shift
           && m_sum == other.m_sum && m_squares == other.m_squares && m_min == other.m_min && m_max == other.m_max
           && m_first == other.m_first && m_mean == other.m_mean && m_m2 == other.m_m2
           && m_minValue == other.m_minValue && m_maxValue == other.m_maxValue;
}

QString formatted(double value, int readingDecimals)
{
    QString text = QString::number(value, 'f', std::max(readingDecimals, 0) + 1);
    // No "-0.000" for a figure that rounds to zero.
    if (text.startsWith(QLatin1Char('-')) && std::all_of(text.cbegin() + 1, text.cend(), [](QChar c) {
            return c == QLatin1Char('0') || c == QLatin1Char('.');
        }))
        text.remove(0, 1);
    return text;
}

QString formatted(std::optional<double> value, int readingDecimals)
{
    return value ? formatted(*value, readingDecimals) : QString();
}

QString formattedPercent(std::optional<double> percent)
{
    return percent ? formatted(*percent, 1) : QString();
}

SeriesFigures figuresOf(const SeriesStats &stats)
{
    const int decimals = stats.decimals();
    return {QString::number(stats.count()),        formatted(stats.mean(), decimals),
            formatted(stats.sd(), decimals),        formattedPercent(stats.rsdPercent()),
            formatted(stats.minimum(), decimals),   formatted(stats.maximum(), decimals),
            formatted(stats.range(), decimals)};
}

} // namespace Veltrano
