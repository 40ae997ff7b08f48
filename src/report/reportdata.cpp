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

QString weightKindText(WeightKind kind)
{
    switch (kind) {
    case WeightKind::Gross:
        return QStringLiteral("gross");
    case WeightKind::Net:
        return QStringLiteral("net");
    case WeightKind::Tare:
        return QStringLiteral("tare");
    case WeightKind::Unknown:
        break;
    }
    return {};
}

} // namespace Veltrano
