#pragma once

#include "weighing/scalereading.h"
#include "weighing/weighingsettings.h"

#include <QString>
#include <QStringView>

#include <optional>

// The class of a weighing against its series' limits and the balance's
// minimum weight.
//
// Limits: a nominal value with a warning limit T1 and a tolerance T2, each an
// amount in the reading's unit or a percentage of the nominal. A value is
//   within   when |value - nominal| <= T1 (or <= T2 where there is no T1),
//   warning  when it is beyond T1 but |value - nominal| <= T2 (or no T2),
//   outside  when |value - nominal| > T2.
// A value exactly at a limit is inside it: the comparison allows for the
// rounding of the double arithmetic (a millionth of a millionth of the
// figures), far below any reading's last digit.
//
// Minimum weight: a net weighing (WeightKind Net, or Unknown: what the display
// shows after taring) whose magnitude is below the minimum weight is
// "below minimum", whatever its tolerance class; exactly at the minimum is
// not below. Gross and tare weighings are not held to it.
namespace Veltrano {

enum class ToleranceClass { None, Within, Warning, Outside, BelowMinimum };

// The stored texts of the classes; None is stored as an empty text.
namespace ToleranceText {
inline constexpr char within[] = "within";
inline constexpr char warning[] = "warning";
inline constexpr char outside[] = "outside";
inline constexpr char belowMinimum[] = "below minimum";
} // namespace ToleranceText

QString toleranceText(ToleranceClass toleranceClass);
// The class of a stored text; nothing for a text that is none of them.
std::optional<ToleranceClass> toleranceClassOf(QStringView text);

// Whether |value - centre| <= limit, counting a value at the limit as inside.
bool withinLimit(double value, double centre, double limit);

struct ToleranceLimits
{
    std::optional<double> nominal;
    std::optional<Amount> warning;    // T1
    std::optional<Amount> tolerance;  // T2

    // The instrument's limits around the nominal of a worklist line where it
    // has one, else around the instrument's own nominal.
    static ToleranceLimits of(const WeighingSettings &settings, std::optional<double> worklistNominal = {});

    // Whether anything can be classified: a nominal and at least one limit.
    bool isEmpty() const { return !nominal || (!warning && !tolerance); }
    // T1 and T2 in the reading's unit; nothing where absent or without nominal.
    std::optional<double> warningAmount() const;
    std::optional<double> toleranceAmount() const;
    // None when isEmpty().
    ToleranceClass classify(double value) const;
};

// The minimum weight USP <41> derives from a repeatability test:
// 2000 x s, with s not taken below 0.41 d (d the balance's readability).
inline constexpr double kMinimumWeightPerSd = 2000;
inline constexpr double kSdFloorInReadability = 0.41;
double repeatabilityMinimumWeight(double sd, double readability);

// The minimum weight the instrument's weighings are held to: the larger of
// the `minimumWeight` setting and the last repeatability test's minimum
// weight times `minimumWeightFactor`, of those that are present.
std::optional<double> effectiveMinimumWeight(const WeighingSettings &settings,
                                             std::optional<double> checkedMinimumWeight);

// The class of one weighing: None for a reading without a number;
// BelowMinimum for a net weighing below `minimumWeight`; else the limits' class.
ToleranceClass classifyWeighing(const ScaleReading &reading, const ToleranceLimits &limits,
                                std::optional<double> minimumWeight);

} // namespace Veltrano
