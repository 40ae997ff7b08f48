#include "checks/checkrun.h"

#include <QCoreApplication>

#include <algorithm>

namespace Veltrano::Checks {

int weighingsNeeded(Check test, int replicates)
{
    switch (test) {
    case Check::Accuracy: return 1;
    case Check::Eccentricity: return kEccentricityPositions;
    case Check::Repeatability: break;
    }
    return std::max(replicates, kRepeatabilityWeighings);
}

QString refusal(Check test, const BalanceEntry &balance, const WeightEntry &weight, const QDate &today)
{
    if (!weight.due.isValid() || weight.due < today)
        return QStringLiteral("weight %1 was due for calibration on %2: it may not be used for a test")
            .arg(weight.id, weight.due.isValid() ? weight.due.toString(Qt::ISODate) : QStringLiteral("(no date)"));
    if (!balance.readability)
        return QStringLiteral("balance %1 has no readability in the register (veltrano-check balance %1 "
                              "--readability D)")
            .arg(balance.instrumentId);
    if (test == Check::Accuracy && !balance.capacity)
        return QStringLiteral("balance %1 has no capacity in the register, which the accuracy test needs")
            .arg(balance.instrumentId);
    if (test == Check::Eccentricity && !balance.eccentricityLimit)
        return QStringLiteral("balance %1 has no eccentricity limit in the register").arg(balance.instrumentId);
    return {};
}

QString placing(Check test, const WeightEntry &weight, int index, int count)
{
    const QString what = QStringLiteral("%1 (%2 %3)").arg(weight.id, figureText(weight.nominal), weight.unit);
    if (test == Check::Eccentricity)
        return QStringLiteral("Put %1 on the pan: %2 (%3 of %4)")
            .arg(what, QCoreApplication::translate("Checks", kEccentricityPositionNames[index % kEccentricityPositions]))
            .arg(index + 1)
            .arg(count);
    if (test == Check::Accuracy)
        return QStringLiteral("Put %1 on the centre of the pan").arg(what);
    return QStringLiteral("Put %1 on the centre of the pan, take it off after the weighing (%2 of %3)")
        .arg(what)
        .arg(index + 1)
        .arg(count);
}

CheckResult judge(Check test, const QVector<ScaleReading> &readings, const BalanceEntry &balance,
                  const WeightEntry &weight, const QDate &testDate)
{
    switch (test) {
    case Check::Accuracy:
        return accuracy(readings.value(0), weight.testWeight(), balance.balance(), testDate);
    case Check::Eccentricity:
        return eccentricity(readings, weight.testWeight(), balance.eccentricityLimit.value_or(0), testDate);
    case Check::Repeatability: break;
    }
    return repeatability(readings, weight.testWeight(), balance.balance(), testDate);
}

} // namespace Veltrano::Checks
