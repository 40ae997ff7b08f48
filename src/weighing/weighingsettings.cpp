#include "weighing/weighingsettings.h"

#include "support/reading.h"
#include "weighing/scalereading.h"

#include <cmath>

namespace Veltrano {

namespace {

QString quoted(const QString &text) { return QLatin1Char('"') + text + QLatin1Char('"'); }

bool refuse(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return false;
}

} // namespace

QString recordModeText(RecordMode mode)
{
    switch (mode) {
    case RecordMode::Print: return QLatin1String(RecordModeText::print);
    case RecordMode::Stable: return QLatin1String(RecordModeText::stable);
    case RecordMode::Interval: break;
    }
    return QLatin1String(RecordModeText::interval);
}

double Amount::of(double nominal) const { return percent ? std::abs(nominal) * value / 100.0 : value; }

QString Amount::text() const
{
    const QString number = QString::number(value, 'g', 15);
    return percent ? number + QLatin1Char('%') : number;
}

std::optional<RecordMode> parseRecordMode(const QString &text, QString *error)
{
    const QString word = text.trimmed();
    for (const RecordMode mode : {RecordMode::Interval, RecordMode::Print, RecordMode::Stable})
        if (word == recordModeText(mode))
            return mode;
    refuse(error, QStringLiteral("%1 is not one of interval, print, stable").arg(quoted(text)));
    return std::nullopt;
}

std::optional<double> parseNumber(const QString &text, QString *error)
{
    const QString number = numericValue(text);
    // numericValue() lets blanks between the digits through; a setting should not.
    const bool plain = !number.isEmpty() && !text.trimmed().contains(QLatin1Char(' '));
    if (plain) {
        bool ok = false;
        const double value = number.toDouble(&ok);
        if (ok && std::isfinite(value))
            return value;
    }
    refuse(error, QStringLiteral("%1 is not a number").arg(quoted(text)));
    return std::nullopt;
}

std::optional<int> parseStableCount(const QString &text, QString *error)
{
    bool ok = false;
    const int count = text.trimmed().toInt(&ok);
    if (ok && count >= 2 && count <= kMaxStableCount)
        return count;
    refuse(error, QStringLiteral("%1 is not a whole number from 2 to %2").arg(quoted(text)).arg(kMaxStableCount));
    return std::nullopt;
}

std::optional<bool> parseBool(const QString &text, QString *error)
{
    const QString word = text.trimmed().toLower();
    if (word == QLatin1String("true") || word == QLatin1String("false"))
        return word == QLatin1String("true");
    refuse(error, QStringLiteral("%1 is neither true nor false").arg(quoted(text)));
    return std::nullopt;
}

std::optional<Amount> parseLimit(const QString &text, QString *error)
{
    QString number = text.trimmed();
    Amount amount;
    if (number.endsWith(QLatin1Char('%'))) {
        amount.percent = true;
        number.chop(1);
    }
    const std::optional<double> value = parseNumber(number, nullptr);
    if (!value || *value < 0) {
        refuse(error, QStringLiteral("%1 is not an amount: give a number not below 0, or a percentage such as 2%")
                          .arg(quoted(text)));
        return std::nullopt;
    }
    amount.value = *value;
    return amount;
}

double WeighingSettings::zeroBandFor(int decimals) const
{
    return zeroBand ? *zeroBand : kDefaultZeroBandSteps * stepOf(decimals);
}

WeighingSettings WeighingSettings::fromTexts(const QMap<QString, QString> &keys, QStringList *errors)
{
    WeighingSettings settings;
    // Runs `parse` on a key's text when there is one; a refusal is reported
    // with the key's name and leaves the default.
    auto read = [&](const char *key, auto parse, auto &target) {
        const QString text = keys.value(QLatin1String(key)).trimmed();
        if (text.isEmpty())
            return;
        QString error;
        if (const auto value = parse(text, &error))
            target = *value;
        else if (errors)
            *errors << QLatin1String(key) + QLatin1String(": ") + error;
    };
    read(WeighingKey::record, parseRecordMode, settings.record);
    read(WeighingKey::stableCount, parseStableCount, settings.stableCount);
    read(WeighingKey::afterZero, parseBool, settings.afterZero);
    // A number that `accept` takes, else refused with "<text> <why>".
    auto numberWhere = [](auto accept, const char *why) {
        return [=](const QString &text, QString *error) -> std::optional<double> {
            const std::optional<double> value = parseNumber(text, error);
            if (value && !accept(*value)) {
                refuse(error, quoted(text) + QLatin1Char(' ') + QLatin1String(why));
                return std::nullopt;
            }
            return value;
        };
    };
    const auto notNegative = numberWhere([](double v) { return v >= 0; }, "is below 0");
    const auto positive = numberWhere([](double v) { return v > 0; }, "is not above 0");
    const auto factor = numberWhere([](double v) { return v >= 1; }, "is below 1");
    read(WeighingKey::zeroBand, notNegative, settings.zeroBand);
    read(WeighingKey::nominal, parseNumber, settings.nominal);
    read(WeighingKey::warning, parseLimit, settings.warning);
    read(WeighingKey::tolerance, parseLimit, settings.tolerance);
    read(WeighingKey::minimumWeight, positive, settings.minimumWeight);
    read(WeighingKey::minimumWeightFactor, factor, settings.minimumWeightFactor);

    if (settings.warning && settings.tolerance) {
        const Amount &t1 = *settings.warning, &t2 = *settings.tolerance;
        const bool larger = t1.percent == t2.percent ? t1.value > t2.value
                            : settings.nominal && t1.of(*settings.nominal) > t2.of(*settings.nominal);
        if (larger) {
            if (errors)
                *errors << QStringLiteral("%1: %2 is larger than the %3 %4; the warning limit is not used")
                               .arg(QLatin1String(WeighingKey::warning), t1.text(),
                                    QLatin1String(WeighingKey::tolerance), t2.text());
            settings.warning.reset();
        }
    }
    return settings;
}

} // namespace Veltrano
