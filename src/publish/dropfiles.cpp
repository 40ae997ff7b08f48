#include "publish/dropfiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace Veltrano::DropFiles {

namespace {

constexpr int kPartLength = 60;

QByteArray csvLines(const QVector<QStringList> &lines)
{
    QString text;
    for (const QStringList &fields : lines) {
        QStringList quoted;
        for (const QString &field : fields)
            quoted << csvField(field);
        text += quoted.join(QLatin1Char(',')) + QLatin1String("\r\n");
    }
    return text.toUtf8();
}

QByteArray json(const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Indented); }

QString safePart(const QString &text)
{
    QString part;
    for (const QChar c : text.left(kPartLength)) {
        const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
                           || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') || c == QLatin1Char('_');
        part += plain ? c : QLatin1Char('_');
    }
    return part.isEmpty() ? QStringLiteral("_") : part;
}

QString fileName(const QStringList &parts, const QDateTime &at, DropConfig::Format format, int serial)
{
    QStringList safe;
    for (const QString &part : parts)
        safe << safePart(part);
    safe << at.toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString name = safe.join(QLatin1Char('_'));
    if (serial > 1)
        name += QLatin1Char('-') + QString::number(serial);
    return name + (format == DropConfig::Format::Json ? QLatin1String(".json") : QLatin1String(".csv"));
}

} // namespace

QString csvField(const QString &text)
{
    const bool quoted = text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"'))
                        || text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'))
                        || text != text.trimmed();
    if (!quoted)
        return text;
    return QLatin1Char('"') + QString(text).replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
}

QByteArray content(const SeriesFile &file, DropConfig::Format format)
{
    const SeriesSummary &s = file.summary;
    if (format == DropConfig::Format::Json) {
        QJsonArray weighings;
        for (const SeriesWeighing &w : file.weighings)
            weighings.append(QJsonObject{{"sample", w.sample}, {"date", w.date}, {"time", w.time},
                                         {"result", w.result}, {"unit", w.unit}, {"kind", w.kind},
                                         {"class", w.weighingClass}, {"hash", w.hash}});
        QJsonObject classes;
        for (const auto &[name, count] : s.classCounts)
            classes.insert(name, count);
        const QJsonObject summary{{"n", s.n},         {"mean", s.mean}, {"sd", s.sd},
                                  {"rsd", s.rsd},     {"min", s.min},   {"max", s.max},
                                  {"range", s.range}, {"nominal", s.nominal}, {"classes", classes}};
        return json({{"type", "series"},   {"instrument", file.instrument}, {"name", file.name},
                     {"series", file.series}, {"first", file.first},        {"last", file.last},
                     {"unit", file.unit},  {"weighings", weighings},         {"summary", summary}});
    }
    QVector<QStringList> lines{{"instrument", "name", "series", "sample", "date", "time", "result", "unit", "kind",
                                "class", "hash"}};
    for (const SeriesWeighing &w : file.weighings)
        lines.append({file.instrument, file.name, file.series, w.sample, w.date, w.time, w.result, w.unit, w.kind,
                      w.weighingClass, w.hash});
    lines.append(QStringList{QString()});
    lines.append(QStringList{"figure", "value"});
    const std::pair<const char *, QString> figures[] = {
        {"first", file.first}, {"last", file.last}, {"unit", file.unit}, {"n", s.n},         {"mean", s.mean},
        {"sd", s.sd},          {"rsd", s.rsd},      {"min", s.min},      {"max", s.max},     {"range", s.range},
        {"nominal", s.nominal}};
    for (const auto &[figure, value] : figures)
        lines.append({QLatin1String(figure), value});
    for (const auto &[name, count] : s.classCounts)
        lines.append({QStringLiteral("class ") + name, count});
    return csvLines(lines);
}

QByteArray content(const CheckFile &file, DropConfig::Format format)
{
    const std::pair<const char *, QString> fields[] = {
        {"instrument", file.instrument}, {"test", file.test}, {"date", file.date},
        {"time", file.time},             {"operator", file.operatorName}, {"weight", file.weight},
        {"nominal", file.nominal},       {"n", file.n},       {"mean", file.mean},
        {"sd", file.sd},                 {"deviation", file.deviation},   {"criterion", file.criterion},
        {"verdict", file.verdict}};
    if (format == DropConfig::Format::Json) {
        QJsonObject object{{"type", "check"}};
        for (const auto &[key, value] : fields)
            object.insert(QLatin1String(key), value);
        return json(object);
    }
    QStringList header, values;
    for (const auto &[key, value] : fields) {
        header << QLatin1String(key);
        values << value;
    }
    return csvLines({header, values});
}

QString name(const SeriesFile &file, const QDateTime &at, DropConfig::Format format, int serial)
{
    return fileName({file.instrument, file.series}, at, format, serial);
}

QString name(const CheckFile &file, const QDateTime &at, DropConfig::Format format, int serial)
{
    return fileName({file.instrument, QStringLiteral("check"), file.test}, at, format, serial);
}

} // namespace Veltrano::DropFiles
