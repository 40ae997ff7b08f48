#include "checks/checkrules.h"

#include "weighing/seriesstats.h"
#include "weighing/tolerance.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>

namespace Veltrano::Checks {

namespace {

QString isoDate(const QDate &date) { return date.toString(Qt::ISODate); }

// A figure with the readings' decimals (or one more, `extra`), and the unit.
QString amount(double value, int decimals, const QString &unit, int extra = 0)
{
    const QString number = QString::number(value, 'f', std::max(decimals + extra, 0));
    return unit.isEmpty() ? number : number + QLatin1Char(' ') + unit;
}

QString percent(double value) { return QString::number(value, 'f', 3) + QStringLiteral(" %"); }

// Starts `result` and refuses what every test refuses: a weight without a
// valid calibration, readings without a number or in another unit. Sets
// `result` refused and returns false on the first problem.
bool admissible(CheckResult &result, Check check, const QString &criterion, const QVector<ScaleReading> &readings,
                const TestWeight &weight, const QDate &testDate)
{
    result.check = check;
    result.criterion = criterion;
    auto refuse = [&](const QString &reason) {
        result.verdict = Verdict::Refused;
        result.reason = reason;
        return false;
    };
    const QString name =
        weight.id.isEmpty() ? QStringLiteral("the test weight") : QStringLiteral("weight ") + weight.id;
    if (!testDate.isValid())
        return refuse(QStringLiteral("the test has no date"));
    if (!weight.calibrationDue.isValid())
        return refuse(name + QStringLiteral(" has no calibration due date"));
    if (testDate > weight.calibrationDue)
        return refuse(QStringLiteral("%1 was due for calibration on %2, before the test on %3")
                          .arg(name, isoDate(weight.calibrationDue), isoDate(testDate)));
    if (!(weight.nominal > 0) || !(weight.value() > 0) || !std::isfinite(weight.value()))
        return refuse(name + QStringLiteral(" has no value above 0"));
    for (int i = 0; i < readings.size(); ++i) {
        const ScaleReading &reading = readings.at(i);
        if (!reading.hasValue())
            return refuse(QStringLiteral("reading %1 has no number").arg(i + 1));
        const QString &unit = weight.unit.isEmpty() ? readings.first().unit : weight.unit;
        if (reading.unit != unit)
            return refuse(QStringLiteral("reading %1 is in \"%2\", not in \"%3\"").arg(i + 1).arg(reading.unit, unit));
    }
    result.n = int(readings.size());
    for (const ScaleReading &reading : readings)
        result.decimals = std::max(result.decimals, reading.decimals);
    return true;
}

void judge(CheckResult &result, bool passed, const QString &figures)
{
    result.verdict = passed ? Verdict::Pass : Verdict::Fail;
    result.reason = figures + (passed ? QStringLiteral(": passed") : QStringLiteral(": failed"));
}

} // namespace

QString checkText(Check check)
{
    switch (check) {
    case Check::Accuracy: return QLatin1String(CheckText::accuracy);
    case Check::Eccentricity: return QLatin1String(CheckText::eccentricity);
    case Check::Repeatability: break;
    }
    return QLatin1String(CheckText::repeatability);
}

QString verdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Pass: return QLatin1String(VerdictText::pass);
    case Verdict::Fail: return QLatin1String(VerdictText::fail);
    case Verdict::Refused: break;
    }
    return QLatin1String(VerdictText::refused);
}

CheckResult repeatability(const QVector<ScaleReading> &readings, const TestWeight &weight, const Balance &balance,
                          const QDate &testDate)
{
    CheckResult result;
    if (!admissible(result, Check::Repeatability, QStringLiteral("2 × s / m ≤ 0.10 %, s not below 0.41 d"), readings,
                    weight, testDate))
        return result;
    if (!balance.readability || !(*balance.readability > 0)) {
        result.reason = QStringLiteral("the balance's readability d is not known");
        return result;
    }
    if (readings.size() < kRepeatabilityWeighings) {
        result.reason = QStringLiteral("%1 weighings are needed, there are %2")
                            .arg(kRepeatabilityWeighings)
                            .arg(readings.size());
        return result;
    }
    SeriesStats stats;
    for (const ScaleReading &reading : readings)
        stats.add(reading);
    const double d = *balance.readability;
    const QString unit = readings.first().unit;
    result.mean = stats.mean();
    result.sd = stats.sd();
    result.sdUsed = std::max(*result.sd, kSdFloorInReadability * d);
    result.deviation = 2 * *result.sdUsed / weight.nominal * 100;
    result.limit = kRepeatabilityLimitPercent;
    result.minimumWeight = repeatabilityMinimumWeight(*result.sd, d);
    QString s = QStringLiteral("s = ") + amount(*result.sd, result.decimals, unit, 1);
    if (*result.sdUsed > *result.sd)
        s += QStringLiteral(", taken as 0.41 d = ") + amount(*result.sdUsed, result.decimals, unit, 2);
    const bool passed = withinLimit(*result.deviation, 0, *result.limit);
    judge(result, passed,
          QStringLiteral("%1; 2 × s / %2 = %3 %4 0.10 %; minimum weight %5")
              .arg(s, amount(weight.nominal, result.decimals, unit), percent(*result.deviation),
                   passed ? QStringLiteral("≤") : QStringLiteral(">"),
                   amount(*result.minimumWeight, result.decimals, unit)));
    return result;
}

CheckResult accuracy(const ScaleReading &reading, const TestWeight &weight, const Balance &balance,
                     const QDate &testDate)
{
    CheckResult result;
    if (!admissible(result, Check::Accuracy,
                    QStringLiteral("|reading − weight| ≤ 0.10 % of the weight, weight 5 % to 100 % of capacity"),
                    { reading }, weight, testDate))
        return result;
    if (!balance.capacity || !(*balance.capacity > 0)) {
        result.reason = QStringLiteral("the balance's capacity is not known");
        return result;
    }
    const double value = weight.value();
    const double share = value / *balance.capacity * 100;
    const QString unit = reading.unit;
    if (share < kAccuracyWeightMinPercent || share > kAccuracyWeightMaxPercent) {
        result.reason =
            QStringLiteral("the weight of %1 is %2 % of the capacity %3; the test needs a weight of 5 % to 100 %")
                .arg(amount(value, reading.decimals, unit), QString::number(share, 'f', 1),
                     amount(*balance.capacity, 0, unit));
        return result;
    }
    const double limit = kAccuracyLimitPercent / 100 * value;
    if (weight.maximumError && *weight.maximumError > limit / 3) {
        result.reason = QStringLiteral("the weight's error of %1 is more than a third of the test limit %2")
                            .arg(amount(*weight.maximumError, reading.decimals, unit, 1),
                                 amount(limit, reading.decimals, unit, 1));
        return result;
    }
    result.mean = reading.value;
    result.deviation = reading.value - value;
    result.limit = limit;
    const bool passed = withinLimit(reading.value, value, limit);
    judge(result, passed,
          QStringLiteral("reading %1 − weight %2 = %3, %4 %5 (0.10 %)")
              .arg(amount(reading.value, result.decimals, unit), amount(value, result.decimals, unit, 1),
                   amount(*result.deviation, result.decimals, unit, 1),
                   passed ? QStringLiteral("within ±") : QStringLiteral("beyond ±"),
                   amount(limit, result.decimals, unit, 1)));
    return result;
}

CheckResult eccentricity(const QVector<ScaleReading> &readings, const TestWeight &weight, double limit,
                         const QDate &testDate)
{
    CheckResult result;
    if (!admissible(result, Check::Eccentricity, QStringLiteral("largest |position − centre| ≤ the limit"), readings,
                    weight, testDate))
        return result;
    if (!(limit > 0) || !std::isfinite(limit)) {
        result.reason = QStringLiteral("there is no eccentricity limit above 0");
        return result;
    }
    if (readings.size() != kEccentricityPositions) {
        result.reason = QStringLiteral("%1 readings are needed (centre, front left, front right, back left, "
                                       "back right), there are %2")
                            .arg(kEccentricityPositions)
                            .arg(readings.size());
        return result;
    }
    SeriesStats stats;
    for (const ScaleReading &reading : readings)
        stats.add(reading);
    result.mean = stats.mean();
    const double centre = readings.first().value;
    result.position = 1;
    for (int i = 2; i < kEccentricityPositions; ++i)
        if (std::abs(readings.at(i).value - centre) > std::abs(readings.at(result.position).value - centre))
            result.position = i;
    const double worst = readings.at(result.position).value;
    result.deviation = worst - centre;
    result.limit = limit;
    const QString unit = readings.first().unit;
    const bool passed = withinLimit(worst, centre, limit);
    judge(result, passed,
          QStringLiteral("%1 − centre = %2, %3 %4")
              .arg(QCoreApplication::translate("Checks", kEccentricityPositionNames[result.position]),
                   amount(*result.deviation, result.decimals, unit),
                   passed ? QStringLiteral("within ±") : QStringLiteral("beyond ±"),
                   amount(limit, result.decimals, unit)));
    return result;
}

} // namespace Veltrano::Checks
