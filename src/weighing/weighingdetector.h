#pragma once

#include "weighing/scalereading.h"
#include "weighing/weighingsettings.h"

#include <QString>

// Which of an instrument's reading lines are weighings. The channel feeds it
// every accepted reading line, in order, and records a weighing for each
// line it answers with a trigger.
//
// record = interval: never a weighing (rows come from the sampling timer).
//
// record = print: every line with a number is one weighing (the balance
// prints on its Print key, or once on stability by its own auto-print).
//
// record = stable: the balance prints continuously; one weighing each time
// the reading settles at a new load. For each line, in this order:
//   1. A line without a number (an overload code, no result yet) is no
//      weighing; it breaks the run of equal readings and, without afterZero,
//      re-arms the detector (the load may have changed).
//   2. The run: the count of lines in a row with this line's value and unit.
//   3. Stable: the line's own mark where its layout has one (Stability
//      Stable or Unstable), else a run of at least stableCount lines.
//   4. Near zero: |value| <= zeroBand (default: kDefaultZeroBandSteps steps
//      of the line's last digit).
//   5. Re-arm. With afterZero: a line near zero, stable or not (the load was
//      taken off, as the balances' own auto-print wants). Without: a line
//      near zero, a line marked unstable, a line in another unit than the
//      last weighing, or a line that differs from the last weighing by more
//      than the zero band (the load changed; also how going unstable shows
//      where lines carry no mark). A settled reading that only wanders
//      within the zero band of the last weighing does not re-arm.
//   6. Weighing: a stable line not near zero while armed; it disarms.
// The detector starts armed, so a load already on the pan when recording
// starts is one weighing. A load that never settles is none; the same
// settled load printed for hours is one.
namespace Veltrano {

enum class Trigger { None, Print, Stable };

// The stored texts of the triggers; None has no text.
namespace TriggerText {
inline constexpr char print[] = "print";
inline constexpr char stable[] = "stable";
} // namespace TriggerText

QString triggerText(Trigger trigger);

class WeighingDetector
{
public:
    explicit WeighingDetector(const WeighingSettings &settings = {});

    // The answer for the next line of the instrument.
    Trigger feed(const ScaleReading &reading);
    // Forgets the lines so far (after a reconnect or a change of settings):
    // armed again, no run.
    void reset();

    // Whether the next settled load counts as a new weighing (record = stable).
    bool armed() const { return m_armed; }

private:
    Trigger feedStable(const ScaleReading &reading);

    RecordMode m_mode;
    int m_stableCount;
    bool m_afterZero;
    std::optional<double> m_zeroBand;

    bool m_armed = true;
    bool m_weighed = false;  // m_weighedValue and m_weighedUnit hold the last weighing
    double m_weighedValue = 0;
    QString m_weighedUnit;
    int m_run = 0;
    double m_runValue = 0;
    QString m_runUnit;
};

} // namespace Veltrano
