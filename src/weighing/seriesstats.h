#pragma once

#include "weighing/tolerance.h"

#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <optional>

// The statistics of a series of weighings, updated with each one in constant
// time and memory.
//
// Readings are decimal: each value is kept as a whole number of steps of its
// last digit, less the first value's, and the sums of those differences and
// of their squares are kept in 128-bit integers. Mean and standard deviation
// are then exact to the last bit of a double over any number of weighings,
// where a sum of squares in doubles loses every digit. A series whose
// figures would overflow those integers (differences beyond 2^62 steps, more
// than 15 decimals) goes on with Welford's update, shifted by the first
// value, and exact() turns false.
namespace Veltrano {

class SeriesStats
{
public:
    // One weighing: its value as printed with `decimals` digits after the
    // point, and its class (None where it has none).
    void add(double value, int decimals, ToleranceClass toleranceClass = ToleranceClass::None);
    void add(const ScaleReading &reading, ToleranceClass toleranceClass = ToleranceClass::None);

    qint64 count() const { return m_n; }
    qint64 count(ToleranceClass toleranceClass) const;
    // The most decimals of any weighing so far.
    int decimals() const { return m_decimals; }
    bool exact() const { return m_exact; }

    std::optional<double> mean() const;       // from 1 weighing
    std::optional<double> sd() const;         // sample standard deviation (n - 1), from 2 weighings
    std::optional<double> rsdPercent() const; // sd / |mean| x 100; nothing for a mean of 0
    std::optional<double> minimum() const;
    std::optional<double> maximum() const;
    std::optional<double> range() const;

    // Takes in the weighings of another series, as if added here.
    void merge(const SeriesStats &other);

    // The whole state in one line of text ("series-stats 1 n=..."), and back;
    // fromText() gives nothing for a text it did not write.
    QString toText() const;
    static std::optional<SeriesStats> fromText(QStringView text);

    bool operator==(const SeriesStats &other) const;
    bool operator!=(const SeriesStats &other) const { return !(*this == other); }

private:
    void rescale(int decimals);
    void dropExact() { m_exact = false; }

    qint64 m_n = 0;
    qint64 m_classes[5] = {};
    int m_decimals = 0;

    // The exact state, in steps of 10^-m_decimals.
    bool m_exact = true;
    qint64 m_shift = 0;      // the first value
    __int128 m_sum = 0;      // sum of (value - shift)
    __int128 m_squares = 0;  // sum of (value - shift)^2
    qint64 m_min = 0, m_max = 0;

    // Welford's state, shifted by the first value: kept alongside.
    double m_first = 0;
    double m_mean = 0;  // mean of (value - first)
    double m_m2 = 0;    // sum of squared differences from that mean
    double m_minValue = 0, m_maxValue = 0;
};

// A figure of a series shown with one decimal more than the readings; an
// empty text where there is no figure.
QString formatted(double value, int readingDecimals);
QString formatted(std::optional<double> value, int readingDecimals);
// A relative standard deviation with two decimals, without the % sign.
QString formattedPercent(std::optional<double> percent);

// The figures of a series as texts; figuresOf() gives them as the exports
// and the drop folder show them: formatted() with the readings' decimals,
// the RSD by formattedPercent(), empty where there is none (the SD of one
// weighing).
struct SeriesFigures
{
    QString n;
    QString mean;
    QString sd;
    QString rsd;
    QString min;
    QString max;
    QString range;
};
SeriesFigures figuresOf(const SeriesStats &stats);

} // namespace Veltrano
