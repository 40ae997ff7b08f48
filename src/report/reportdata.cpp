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

QString shownKindText(WeightKind kind)
{
    return kind == WeightKind::Unknown ? QString() : weightKindText(kind);
}

} // namespace Veltrano
