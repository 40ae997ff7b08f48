#include "weighing/weighingdetector.h"

#include "weighing/tolerance.h"

#include <cmath>

namespace Veltrano {

QString triggerText(Trigger trigger)
{
    switch (trigger) {
    case Trigger::Print: return QLatin1String(TriggerText::print);
    case Trigger::Stable: return QLatin1String(TriggerText::stable);
    case Trigger::None: break;
    }
    return {};
}

WeighingDetector::WeighingDetector(const WeighingSettings &settings)
    : m_mode(settings.record)
    , m_stableCount(settings.stableCount)
    , m_afterZero(settings.afterZero)
    , m_zeroBand(settings.zeroBand)
{
}

void WeighingDetector::reset()
{
    m_armed = true;
    m_weighed = false;
    m_run = 0;
}

Trigger WeighingDetector::feed(const ScaleReading &reading)
{
    switch (m_mode) {
    case RecordMode::Print: return reading.hasValue() ? Trigger::Print : Trigger::None;
    case RecordMode::Stable: return feedStable(reading);
    case RecordMode::Interval: break;
    }
    return Trigger::None;
}

Trigger WeighingDetector::feedStable(const ScaleReading &reading)
{
    if (!reading.hasValue()) {
        m_run = 0;
        if (!m_afterZero)
            m_armed = true;
        return Trigger::None;
    }
    if (m_run > 0 && reading.value == m_runValue && reading.unit == m_runUnit) {
        if (m_run < m_stableCount)
            ++m_run;
    } else {
        m_run = 1;
        m_runValue = reading.value;
        m_runUnit = reading.unit;
    }
    const bool stable = reading.stability == Stability::Unknown ? m_run >= m_stableCount
                                                                : reading.stability == Stability::Stable;
    const double band = m_zeroBand ? *m_zeroBand : kDefaultZeroBandSteps * stepOf(reading.decimals);
    const bool nearZero = withinLimit(reading.value, 0, band);

    if (nearZero)
        m_armed = true;
    else if (!m_afterZero && !m_armed)
        m_armed = reading.stability == Stability::Unstable || !m_weighed || reading.unit != m_weighedUnit
                  || !withinLimit(reading.value, m_weighedValue, band);

    if (!m_armed || !stable || nearZero)
        return Trigger::None;
    m_armed = false;
    m_weighed = true;
    m_weighedValue = reading.value;
    m_weighedUnit = reading.unit;
    return Trigger::Stable;
}

} // namespace Veltrano
