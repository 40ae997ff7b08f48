#include "support/reading.h"

#include "support/row.h"

namespace Veltrano {

QString numericValue(QStringView result)
{
    QString number;
    number.reserve(result.size() + 1);
    bool digits = false, point = false, sign = false;
    for (const QChar c : result) {
        if (c.isSpace())
            continue;
        if ((c == QLatin1Char('+') || c == QLatin1Char('-')) && !sign && !digits && !point) {
            sign = true;
            if (c == QLatin1Char('-'))
                number += c;
        } else if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            digits = true;
            number += c;
        } else if ((c == QLatin1Char('.') || c == QLatin1Char(',')) && !point) {
            point = true;
            if (!digits)
                number += QLatin1Char('0');
            number += QLatin1Char('.');
        } else {
            return {};
        }
    }
    if (!digits)
        return {};
    if (number.endsWith(QLatin1Char('.')))
        number.chop(1);
    return number;
}
QString weightKindText(WeightKind kind)
{
    switch (kind) {
    case WeightKind::Gross:
        return QLatin1String(Weighing::kGross);
    case WeightKind::Net:
        return QLatin1String(Weighing::kNet);
    case WeightKind::Tare:
        return QLatin1String(Weighing::kTare);
    case WeightKind::Unknown:
        break;
    }
    return QLatin1String(Weighing::kUnknown);
}

} // namespace Veltrano
