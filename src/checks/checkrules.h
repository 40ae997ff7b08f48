#pragma once

#include "weighing/scalereading.h"

#include <QDate>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <optional>

// The routine tests of a balance and their verdicts, after USP <41>
// (repeatability, accuracy) and USP <1251> (eccentricity). Pure rules: the
// readings, the test weight and the balance go in, a result with its figures
// comes out. A test that cannot be judged (a weight past its calibration,
// too few readings, ...) is refused with the reason, never passed.
//
// Every limit is inclusive: a figure exactly at its limit passes.
namespace Veltrano::Checks {

enum class Check { Repeatability, Accuracy, Eccentricity };
enum class Verdict { Pass, Fail, Refused };

// The stored texts.
namespace CheckText {
inline constexpr char repeatability[] = "repeatability";
inline constexpr char accuracy[] = "accuracy";
inline constexpr char eccentricity[] = "eccentricity";
} // namespace CheckText
namespace VerdictText {
inline constexpr char pass[] = "pass";
inline constexpr char fail[] = "fail";
inline constexpr char refused[] = "refused";
} // namespace VerdictText

QString checkText(Check check);
QString verdictText(Verdict verdict);

// USP <41>: 2 s / m at most 0.10 %, s not taken below 0.41 d, from 10 weighings.
inline constexpr int kRepeatabilityWeighings = 10;
inline constexpr double kRepeatabilityLimitPercent = 0.10;
// USP <41>: within 0.10 % of the weight, with a weight of 5 % to 100 % of capacity.
inline constexpr double kAccuracyLimitPercent = 0.10;
inline constexpr double kAccuracyWeightMinPercent = 5;
inline constexpr double kAccuracyWeightMaxPercent = 100;

// The eccentricity test's positions on the pan, in the order weighed.
inline constexpr int kEccentricityPositions = 5;
inline constexpr const char *kEccentricityPositionNames[kEccentricityPositions] = {
    QT_TRANSLATE_NOOP("Checks", "centre"),    QT_TRANSLATE_NOOP("Checks", "front left"),
    QT_TRANSLATE_NOOP("Checks", "front right"), QT_TRANSLATE_NOOP("Checks", "back left"),
    QT_TRANSLATE_NOOP("Checks", "back right"),
};

struct TestWeight
{
    QString id;                               // as its certificate names it
    double nominal = 0;                       // in the readings' unit
    std::optional<double> conventionalValue;  // from the certificate; the nominal where absent
    QString unit;                             // the readings' unit must be this one (unchecked when empty)
    QDate calibrationDue;                     // the last day its calibration holds
    // Its maximum permissible error or calibration uncertainty, where known:
    // the accuracy test refuses a weight whose error exceeds a third of the test limit.
    std::optional<double> maximumError;

    double value() const { return conventionalValue.value_or(nominal); }
};

struct Balance
{
    std::optional<double> readability;  // d, in the readings' unit
    std::optional<double> capacity;     // Max, in the readings' unit
};

struct CheckResult
{
    Check check = Check::Repeatability;
    Verdict verdict = Verdict::Refused;
    int n = 0;                         // readings taken in
    int decimals = 0;                  // the readings' decimals, for showing the figures
    std::optional<double> mean;
    std::optional<double> sd;          // repeatability: as measured
    std::optional<double> sdUsed;      // repeatability: not below 0.41 d
    // repeatability: 2 s / m in %; accuracy: reading - weight; eccentricity:
    // position - centre where it is largest in magnitude.
    std::optional<double> deviation;
    std::optional<double> limit;       // what `deviation` is held to, in its unit
    int position = -1;                 // eccentricity: where the largest deviation was
    std::optional<double> minimumWeight;  // repeatability: 2000 x max(s, 0.41 d)
    QString criterion;                 // the rule, such as "2 × s / m ≤ 0.10 %"
    QString reason;                    // the verdict in a sentence with its figures

    bool passed() const { return verdict == Verdict::Pass; }
};

// At least kRepeatabilityWeighings readings of one weight. Needs the balance's readability.
CheckResult repeatability(const QVector<ScaleReading> &readings, const TestWeight &weight, const Balance &balance,
                          const QDate &testDate);
// One reading of a weight of 5 % to 100 % of the balance's capacity.
CheckResult accuracy(const ScaleReading &reading, const TestWeight &weight, const Balance &balance,
                     const QDate &testDate);
// kEccentricityPositions readings of one weight, in the order of the
// position names, against a limit in the readings' unit.
CheckResult eccentricity(const QVector<ScaleReading> &readings, const TestWeight &weight, double limit,
                         const QDate &testDate);

} // namespace Veltrano::Checks
