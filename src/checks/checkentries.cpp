#include "checks/checkentries.h"

#include <QRegularExpression>
#include <QStringList>

namespace Veltrano::Checks {

namespace {

constexpr Check kChecks[] = {Check::Repeatability, Check::Accuracy, Check::Eccentricity};

struct Unit
{
    char letter;
    qint64 seconds;
};
// Largest first: intervalsText() writes the first that holds an interval whole.
constexpr Unit kUnits[] = {{'d', kDaySeconds}, {'h', kHourSeconds}};

} // namespace

std::optional<Check> checkFromText(const QString &text)
{
    for (Check check : kChecks)
        if (text == checkText(check))
            return check;
    return std::nullopt;
}

QString parseIntervals(const QString &text, Intervals *intervals)
{
    static const QRegularExpression form(QStringLiteral("^\\s*([a-z]+)\\s*=\\s*(\\d{1,5})\\s*([hd])\\s*$"));
    Intervals read;
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (part.trimmed().isEmpty())
            continue;
        const QRegularExpressionMatch match = form.match(part);
        if (!match.hasMatch())
            return QStringLiteral("not a test=interval such as repeatability=7d: \"%1\"").arg(part.trimmed());
        const std::optional<Check> check = checkFromText(match.captured(1));
        if (!check)
            return QStringLiteral("unknown test \"%1\" (repeatability, accuracy or eccentricity)").arg(match.captured(1));
        if (read.contains(*check))
            return QStringLiteral("the test %1 is given twice").arg(match.captured(1));
        const qint64 count = match.captured(2).toLongLong();
        if (count == 0)
            return QStringLiteral("the interval of %1 is 0").arg(match.captured(1));
        const char letter = match.captured(3).at(0).toLatin1();
        for (const Unit &unit : kUnits)
            if (unit.letter == letter)
                read.insert(*check, count * unit.seconds);
    }
    *intervals = read;
    return {};
}

QString intervalsText(const Intervals &intervals)
{
    QStringList parts;
    for (auto it = intervals.cbegin(); it != intervals.cend(); ++it) {
        const Unit *unit = &kUnits[std::size(kUnits) - 1];
        for (const Unit &candidate : kUnits) {
            if (it.value() % candidate.seconds == 0) {
                unit = &candidate;
                break;
            }
        }
        parts << QStringLiteral("%1=%2%3").arg(checkText(it.key())).arg(it.value() / unit->seconds).arg(QLatin1Char(unit->letter));
    }
    return parts.join(QLatin1Char(','));
}

bool isWeightClass(const QString &text)
{
    for (const char *weightClass : kWeightClasses)
        if (text == QLatin1String(weightClass))
            return true;
    return false;
}

TestWeight WeightEntry::testWeight() const
{
    TestWeight weight;
    weight.id = id;
    weight.nominal = nominal;
    weight.unit = unit;
    weight.calibrationDue = due;
    return weight;
}

CheckRecord CheckRecord::of(const CheckResult &result, const QString &instrumentId, const WeightEntry &weight,
                            const QString &date, const QString &time, const QString &operatorName,
                            const QVector<qint64> &rowKeys)
{
    CheckRecord record;
    record.instrumentId = instrumentId;
    record.test = result.check;
    record.date = date;
    record.time = time;
    record.operatorName = operatorName;
    record.weightId = weight.id;
    record.nominal = weight.nominal;
    record.n = result.n;
    record.mean = result.mean;
    record.sd = result.sd;
    record.deviation = result.deviation;
    record.criterion = result.criterion;
    record.verdict = result.verdict;
    record.reason = result.reason;
    record.rowKeys = rowKeys;
    record.minimumWeight = result.minimumWeight;
    return record;
}

QString figureText(const std::optional<double> &value)
{
    if (!value)
        return QString();
    QString text = QString::number(*value, 'f', 10);
    while (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text == QLatin1String("-0") ? QStringLiteral("0") : text;
}

QStringList recordTexts(const CheckRecord &record)
{
    return {record.instrumentId,          checkText(record.test),      record.date,
            record.time,                  record.operatorName,         record.weightId,
            figureText(record.nominal),   QString::number(record.n),   figureText(record.mean),
            figureText(record.sd),        figureText(record.deviation), record.criterion,
            verdictText(record.verdict)};
}

QString figuresText(const CheckFigures &figures, const QString &unit, int decimals)
{
    const auto shown = [decimals](const std::optional<double> &value, int places) {
        return decimals < 0 ? figureText(value) : QString::number(*value, 'f', places);
    };
    const auto line = [](const char *label, const QString &value, const QString &unit) {
        return QStringLiteral("%1 = %2 %3").arg(QLatin1String(label), value, unit).trimmed();
    };
    QStringList parts{QStringLiteral("n = %1").arg(figures.n)};
    if (figures.mean)
        parts << line("mean", shown(figures.mean, decimals), unit);
    if (figures.sd)
        parts << line("s", shown(figures.sd, decimals), unit);
    if (figures.deviation) {
        const bool percent = figures.test == Check::Repeatability;
        parts << line("deviation", shown(figures.deviation, percent ? 3 : decimals),
                      percent ? QStringLiteral("%") : unit);
    }
    if (figures.minimumWeight)
        parts << line("minimum weight", shown(figures.minimumWeight, decimals), unit);
    return parts.join(QStringLiteral("; "));
}

QString rowKeysText(const QVector<qint64> &keys)
{
    QStringList texts;
    for (qint64 key : keys)
        texts << QString::number(key);
    return texts.join(QLatin1Char(','));
}

bool parseRowKeys(const QString &text, QVector<qint64> *keys)
{
    QVector<qint64> read;
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool ok = false;
        read << part.toLongLong(&ok);
        if (!ok)
            return false;
    }
    *keys = read;
    return true;
}

} // namespace Veltrano::Checks
