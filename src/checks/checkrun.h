#pragma once

#include "checks/checkentries.h"

#include <QDate>
#include <QString>
#include <QVector>

// One test of a balance as it is made, from the registers' entries: what
// refuses it before anything is weighed, how many weighings it takes, what
// the operator puts on the pan for each, and its verdict by the rules of
// checkrules.h. Pure: the weighings come from the caller.
namespace Veltrano::Checks {

// The weighings a test takes: `replicates` for repeatability (at least
// kRepeatabilityWeighings), one for accuracy, one per position for eccentricity.
int weighingsNeeded(Check test, int replicates);

// Why `test` of `balance` with `weight` cannot be made on `today`: a weight
// past its calibration, a balance without readability, accuracy without
// the capacity, eccentricity without its limit, a weight in no unit. Empty
// when it can.
QString refusal(Check test, const BalanceEntry &balance, const WeightEntry &weight, const QDate &today);

// What to put on the pan for weighing `index` (from 0) of `count`:
// "Put W-100 (100 g) on the pan, weighing 3 of 10", "... on the front left".
QString placing(Check test, const WeightEntry &weight, int index, int count);

// The verdict on `readings`.
CheckResult judge(Check test, const QVector<ScaleReading> &readings, const BalanceEntry &balance,
                  const WeightEntry &weight, const QDate &testDate);

} // namespace Veltrano::Checks
