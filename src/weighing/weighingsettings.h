#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

// What an instrument's section of settings.ini says about weighings: when a
// line is one, the limits it is checked against and the minimum weight. The
// settings file is read elsewhere; its texts are handed over here, and every
// bad value comes back as one message naming its key.
namespace Veltrano {

namespace WeighingKey {
inline constexpr char record[] = "record";                    // interval | print | stable
inline constexpr char stableCount[] = "stableCount";          // equal readings that make a reading stable
inline constexpr char afterZero[] = "afterZero";              // true | false
inline constexpr char zeroBand[] = "zeroBand";                // |reading| up to this is "near zero"
inline constexpr char nominal[] = "nominal";                  // the series' target value
inline constexpr char warning[] = "warning";                  // T1: amount, or a percentage of the nominal
inline constexpr char tolerance[] = "tolerance";              // T2: amount, or a percentage of the nominal
inline constexpr char minimumWeight[] = "minimumWeight";      // smallest net weight allowed
inline constexpr char minimumWeightFactor[] = "minimumWeightFactor";  // safety factor on the checked minimum
// Of a barcode scanner's section: the id of the instrument whose weighings it labels.
inline constexpr char scannerFor[] = "scannerFor";
} // namespace WeighingKey

inline constexpr const char *kWeighingKeys[] = {
    WeighingKey::record, WeighingKey::stableCount, WeighingKey::afterZero,
    WeighingKey::zeroBand, WeighingKey::nominal, WeighingKey::warning,
    WeighingKey::tolerance, WeighingKey::minimumWeight, WeighingKey::minimumWeightFactor,
};

// What makes a row: the sampling timer (a time series, no weighings), each
// printed result, or each reading that settles at a new load.
enum class RecordMode { Interval, Print, Stable };

namespace RecordModeText {
inline constexpr char interval[] = "interval";
inline constexpr char print[] = "print";
inline constexpr char stable[] = "stable";
} // namespace RecordModeText

QString recordModeText(RecordMode mode);

// An amount in the reading's unit, or a percentage of the nominal ("2%").
struct Amount
{
    double value = 0;
    bool percent = false;

    // In the reading's unit: a percentage is taken of the nominal's magnitude.
    double of(double nominal) const;
    // As written in the settings: "0.05" or "2%".
    QString text() const;
    bool operator==(const Amount &other) const { return value == other.value && percent == other.percent; }
};

// The parsers of single values. Each returns nothing and sets *error (when
// given) for a text it refuses; an empty text is refused too, the callers
// treat it as absent before asking. Numbers take a decimal point or comma
// and no exponent.
std::optional<RecordMode> parseRecordMode(const QString &text, QString *error);
std::optional<double> parseNumber(const QString &text, QString *error);
// At least 2 and at most kMaxStableCount.
std::optional<int> parseStableCount(const QString &text, QString *error);
// "true" or "false", in any case.
std::optional<bool> parseBool(const QString &text, QString *error);
// Not negative; a number, or a number followed by "%".
std::optional<Amount> parseLimit(const QString &text, QString *error);

inline constexpr int kDefaultStableCount = 3;
inline constexpr int kMaxStableCount = 1000;
inline constexpr double kDefaultMinimumWeightFactor = 2;
// The default zero band in steps of the reading's last digit.
inline constexpr int kDefaultZeroBandSteps = 5;

struct WeighingSettings
{
    RecordMode record = RecordMode::Interval;
    int stableCount = kDefaultStableCount;
    bool afterZero = false;
    std::optional<double> zeroBand;       // nothing: kDefaultZeroBandSteps of the reading's last digit
    std::optional<double> nominal;
    std::optional<Amount> warning;        // T1
    std::optional<Amount> tolerance;      // T2
    std::optional<double> minimumWeight;  // > 0
    double minimumWeightFactor = kDefaultMinimumWeightFactor;  // >= 1

    // The zero band for a reading printed with `decimals` digits after the point.
    double zeroBandFor(int decimals) const;

    // From the texts of an instrument's keys (other keys are ignored). An
    // absent key or an empty text takes the default. A refused text takes the
    // default too and adds one message to *errors, such as
    //   tolerance: "2 g" is not an amount: give a number, or a percentage such as 2%
    // A warning limit larger than the tolerance is refused (the warning is
    // dropped, the tolerance kept) where the two compare without a worklist's
    // nominal: both absolute, both percentages, or a nominal given.
    static WeighingSettings fromTexts(const QMap<QString, QString> &keys, QStringList *errors);
};

} // namespace Veltrano
