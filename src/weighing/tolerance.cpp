#include "weighing/tolerance.h"

#include <algorithm>
#include <cmath>

namespace Veltrano {

namespace {

// The rounding allowed in a comparison, relative to the figures compared. A
// reading's last digit is at least 1e-9 of its magnitude for any balance's
// display, a double's rounding about 1e-16.
constexpr double kRelativeRounding = 1e-12;

bool atMost(double magnitude, double limit, double scale)
{
    return magnitude <= limit + kRelativeRounding * scale;
}

} // namespace

QString toleranceText(ToleranceClass toleranceClass)
{
    switch (toleranceClass) {
    case ToleranceClass::Within: return QLatin1String(ToleranceText::within);
    case ToleranceClass::Warning: return QLatin1String(ToleranceText::warning);
    case ToleranceClass::Outside: return QLatin1String(ToleranceText::outside);
    case ToleranceClass::BelowMinimum: return QLatin1String(ToleranceText::belowMinimum);
    case ToleranceClass::None: break;
    }
    return {};
}

std::optional<ToleranceClass> toleranceClassOf(QStringView text)
{
    for (const ToleranceClass c : {ToleranceClass::None, ToleranceClass::Within, ToleranceClass::Warning,
                                   ToleranceClass::Outside, ToleranceClass::BelowMinimum})
        if (text == toleranceText(c))
            return c;
    return std::nullopt;
}

bool withinLimit(double value, double centre, double limit)
{
    const double scale = std::max({std::abs(value), std::abs(centre), std::abs(limit)});
    return atMost(std::abs(value - centre), limit, scale);
}

ToleranceLimits ToleranceLimits::of(const WeighingSettings &settings, std::optional<double> worklistNominal)
{
    ToleranceLimits limits;
    limits.nominal = worklistNominal ? worklistNominal : settings.nominal;
    limits.warning = settings.warning;
    limits.tolerance = settings.tolerance;
    return limits;
}

std::optional<double> ToleranceLimits::warningAmount() const
{
    if (!nominal || !warning)
        return std::nullopt;
    return warning->of(*nominal);
}

std::optional<double> ToleranceLimits::toleranceAmount() const
{
    if (!nominal || !tolerance)
        return std::nullopt;
    return tolerance->of(*nominal);
}

ToleranceClass ToleranceLimits::classify(double value) const
{
    if (isEmpty())
        return ToleranceClass::None;
    if (const auto t2 = toleranceAmount(); t2 && !withinLimit(value, *nominal, *t2))
        return ToleranceClass::Outside;
    if (const auto t1 = warningAmount(); t1 && !withinLimit(value, *nominal, *t1))
        return ToleranceClass::Warning;
    return ToleranceClass::Within;
}

double repeatabilityMinimumWeight(double sd, double readability)
{
    return kMinimumWeightPerSd * std::max(sd, kSdFloorInReadability * readability);
}

std::optional<double> effectiveMinimumWeight(const WeighingSettings &settings,
                                             std::optional<double> checkedMinimumWeight)
{
    std::optional<double> minimum = settings.minimumWeight;
    if (checkedMinimumWeight) {
        const double checked = *checkedMinimumWeight * settings.minimumWeightFactor;
        minimum = minimum ? std::max(*minimum, checked) : checked;
    }
    return minimum;
}

ToleranceClass classifyWeighing(const ScaleReading &reading, const ToleranceLimits &limits,
                                std::optional<double> minimumWeight)
{
    if (!reading.hasValue())
        return ToleranceClass::None;
    const bool net = reading.kind == WeightKind::Net || reading.kind == WeightKind::Unknown;
    // Below, and not at the minimum to within rounding.
    const double magnitude = std::abs(reading.value);
    if (net && minimumWeight && magnitude < *minimumWeight && !withinLimit(magnitude, *minimumWeight, 0))
        return ToleranceClass::BelowMinimum;
    return limits.classify(reading.value);
}

} // namespace Veltrano
