#include "publish/messages.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace Veltrano::Messages {

namespace {

QByteArray topic(const QString &prefix, const QString &instrument, const char *kind)
{
    return (prefix + topicLevel(instrument) + QLatin1Char('/') + QLatin1String(kind)).toUtf8();
}

QByteArray compact(const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

// The six columns of `data`, under their column names.
QJsonObject values(const Row &row)
{
    return {{QStringLiteral("sampling_date"), row.date}, {QStringLiteral("sampling_time"), row.time},
            {QStringLiteral("instrument_id"), row.name}, {QStringLiteral("header"), row.header},
            {QStringLiteral("result"), row.result},      {QStringLiteral("unit"), row.unit}};
}

} // namespace

QString topicLevel(const QString &text)
{
    QString level;
    level.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('/') || c == QLatin1Char('+') || c == QLatin1Char('#') || c == QLatin1Char('%')
            || c.isNull() || (i == 0 && c == QLatin1Char('$')))
            level += QLatin1Char('%') + QString::number(c.unicode(), 16).toUpper().rightJustified(2, QLatin1Char('0'));
        else
            level += c;
    }
    return level;
}

Message reading(const QString &prefix, const LiveReading &reading)
{
    const QJsonValue stable = reading.stability == Stability::Unknown
                                  ? QJsonValue(QJsonValue::Null)
                                  : QJsonValue(reading.stability == Stability::Stable);
    return {topic(prefix, reading.instrument, "reading"),
            compact({{QStringLiteral("instrument"), reading.instrument},
                     {QStringLiteral("name"), reading.name},
                     {QStringLiteral("result"), reading.result},
                     {QStringLiteral("unit"), reading.unit},
                     {QStringLiteral("stable"), stable},
                     {QStringLiteral("at"), reading.atUtc}})};
}

Message row(const QString &prefix, const PublishedRow &row)
{
    QJsonObject object = values(row.row);
    object.insert(QStringLiteral("state"), row.row.provenance.state);
    object.insert(QStringLiteral("key"), row.key);
    object.insert(QStringLiteral("hash"), row.hash);
    return {topic(prefix, row.instrument, "row"), compact(object)};
}

Message weighing(const QString &prefix, const PublishedRow &row)
{
    QJsonObject object = values(row.row);
    const PublishedWeighing weighing = row.weighing.value_or(PublishedWeighing());
    const std::pair<const char *, const QString *> parts[] = {
        {"sample", &weighing.sample}, {"series", &weighing.series},         {"trigger", &weighing.trigger},
        {"kind", &weighing.kind},     {"operator", &weighing.operatorName}, {"class", &weighing.weighingClass}};
    for (const auto &[name, value] : parts) {
        if (!value->isEmpty())
            object.insert(QLatin1String(name), *value);
    }
    object.insert(QStringLiteral("hash"), row.hash);
    return {topic(prefix, row.instrument, "weighing"), compact(object)};
}

} // namespace Veltrano::Messages
