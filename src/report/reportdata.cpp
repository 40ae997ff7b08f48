#include "report/reportdata.h"

namespace Veltrano {

QString resultClassText(ResultClass resultClass)
{
    switch (resultClass) {
    case ResultClass::Within:
        return QStringLiteral("within");
    case ResultClass::Warning:
        return QStringLiteral("warning");
    case ResultClass::Outside:
        return QStringLiteral("outside");
    case ResultClass::BelowMinimum:
        return QStringLiteral("below minimum");
    case ResultClass::None:
        break;
    }
    return {};
}

ResultClass resultClassOf(ToleranceClass toleranceClass)
{
    switch (toleranceClass) {
    case ToleranceClass::Within:
        return ResultClass::Within;
    case ToleranceClass::Warning:
        return ResultClass::Warning;
    case ToleranceClass::Outside:
        return ResultClass::Outside;
    case ToleranceClass::BelowMinimum:
        return ResultClass::BelowMinimum;
    case ToleranceClass::None:
        break;
    }
    return ResultClass::None;
}

QString shownKindText(WeightKind kind)
{
    return kind == WeightKind::Unknown ? QString() : weightKindText(kind);
}

namespace {

QString amountText(double value, int decimals, const QString &unit)
{
    return QString::number(value, 'f', decimals) + QLatin1Char(' ') + unit;
}

} // namespace

ReportStatistics seriesFigures(const SeriesStats &stats, const QString &unit, const ToleranceLimits &limits)
{
    const int decimals = stats.decimals();
    const auto withUnit = [&unit](const QString &figure) {
        return figure.isEmpty() ? figure : figure + QLatin1Char(' ') + unit;
    };
    const SeriesFigures plain = figuresOf(stats);
    ReportStatistics figures;
    figures.n = plain.n;
    figures.mean = withUnit(plain.mean);
    figures.sd = withUnit(plain.sd);
    figures.rsd = plain.rsd.isEmpty() ? plain.rsd : plain.rsd + QLatin1String(" %");
    if (stats.count() > 0) {
        figures.min = amountText(*stats.minimum(), decimals, unit);
        figures.max = amountText(*stats.maximum(), decimals, unit);
        figures.range = amountText(*stats.range(), decimals, unit);
    }
    figures.within = QString::number(stats.count(ToleranceClass::Within));
    figures.warning = QString::number(stats.count(ToleranceClass::Warning));
    figures.outside = QString::number(stats.count(ToleranceClass::Outside));
    figures.belowMinimum = QString::number(stats.count(ToleranceClass::BelowMinimum));

    if (limits.nominal)
        figures.nominal = amountText(*limits.nominal, decimals, unit);
    if (const std::optional<double> t1 = limits.warningAmount()) {
        figures.t1Lower = amountText(*limits.nominal - *t1, decimals, unit);
        figures.t1Upper = amountText(*limits.nominal + *t1, decimals, unit);
    }
    if (const std::optional<double> t2 = limits.toleranceAmount()) {
        figures.t2Lower = amountText(*limits.nominal - *t2, decimals, unit);
        figures.t2Upper = amountText(*limits.nominal + *t2, decimals, unit);
    }
    return figures;
}

} // namespace Veltrano
