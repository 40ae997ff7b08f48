#include "collect/statusfile.h"

#include "collect/instrumentstate.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <algorithm>
#include <type_traits>

namespace Veltrano {

// The fields of an instrument's state that the status file carries: one list
// for writing and reading them.
struct StatusFields
{
    template<typename State, typename Field>
    static void each(State &state, Field &&field)
    {
        field("name", state.m_name);
        field("port", state.m_port);
        field("link", state.m_link);
        field("reason", state.m_reason);
        field("tries", state.m_tries);
        field("heardAt", state.m_heardAt);
        field("hasReading", state.m_hasReading);
        field("result", state.m_result);
        field("unit", state.m_unit);
        field("stability", state.m_stability);
        field("load", state.m_load);
        field("lines", state.m_lines);
        field("rows", state.m_rows);
        field("lastRowAt", state.m_lastRowAt);
        field("checks", state.m_checks);
    }

    static QJsonObject write(const InstrumentState &state)
    {
        QJsonObject fields;
        each(state, [&fields](const char *key, const auto &value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_enum_v<T>)
                fields.insert(QLatin1String(key), int(value));
            else if constexpr (std::is_same_v<T, QString> || std::is_same_v<T, bool>)
                fields.insert(QLatin1String(key), value);
            else
                fields.insert(QLatin1String(key), double(value));
        });
        return fields;
    }

    // Fields missing or of another type keep their defaults.
    static InstrumentState read(const QJsonObject &fields)
    {
        InstrumentState state;
        each(state, [&fields](const char *key, auto &value) {
            using T = std::decay_t<decltype(value)>;
            const QJsonValue field = fields.value(QLatin1String(key));
            if constexpr (std::is_same_v<T, QString>) {
                if (field.isString())
                    value = field.toString();
            } else if constexpr (std::is_same_v<T, bool>) {
                if (field.isBool())
                    value = field.toBool();
            } else if (field.isDouble()) {
                value = T(qint64(field.toDouble()));
            }
        });
        return state;
    }
};

namespace StatusFile {

namespace {

QString clock(qint64 msecs)
{
    return msecs > 0 ? QDateTime::fromMSecsSinceEpoch(msecs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

// The columns of the table, by key, with their headings.
const std::pair<const char *, const char *> kColumns[] = {
    {"id", "Instrument"}, {"port", "Port"},   {"state", "State"}, {"result", "Result"}, {"unit", "Unit"},
    {"reading", "Reading"}, {"load", "Load"}, {"lines", "Lines"}, {"rows", "Rows"},     {"lastRow", "Last row"},
};

// The figures of a series as `addWeighing` wrote them, in one line; empty
// before its first weighing with a number.
QString figuresLine(const QJsonObject &weighing)
{
    const qint64 n = qint64(weighing.value(QLatin1String("n")).toDouble());
    if (n <= 0)
        return {};
    const int decimals = weighing.value(QLatin1String("decimals")).toInt();
    const QString unit = weighing.value(QLatin1String("unit")).toString();
    const auto figure = [&](const char *key) -> std::optional<double> {
        const QJsonValue value = weighing.value(QLatin1String(key));
        return value.isDouble() ? std::optional<double>(value.toDouble()) : std::nullopt;
    };
    const auto amount = [&](const char *key) {
        const QString text = formatted(figure(key), decimals);
        return text.isEmpty() ? QStringLiteral("-") : (text + QLatin1Char(' ') + unit).trimmed();
    };
    const QString rsd = formattedPercent(figure("rsd"));
    const auto count = [&](const char *key) { return qint64(weighing.value(QLatin1String(key)).toDouble()); };
    return QStringLiteral("  n %1, mean %2, SD %3, RSD %4; within %5, warning %6, outside %7, below minimum %8")
        .arg(n)
        .arg(amount("mean"), amount("sd"), rsd.isEmpty() ? QStringLiteral("-") : rsd + QLatin1String(" %"))
        .arg(count("within"))
        .arg(count("warning"))
        .arg(count("outside"))
        .arg(count("belowMinimum"));
}

} // namespace

QJsonObject describe(const InstrumentStates &states, const QString &program, qint64 since, qint64 now)
{
    QJsonArray instruments;
    for (auto it = states.states().cbegin(); it != states.states().cend(); ++it) {
        const InstrumentState &state = it.value();
        instruments.append(QJsonObject{
            {"id", it.key()},
            {"name", state.name()},
            {"port", state.port()},
            {"state", state.linkText(now)},
            {"result", state.hasReading() ? state.result() : QString()},
            {"unit", state.hasReading() ? state.unit().trimmed() : QString()},
            {"reading", state.hasReading() ? QString::fromLatin1(state.stable() ? "stable" : "unstable") : QString()},
            {"load", state.loadText()},
            {"lines", state.lines()},
            {"rows", state.rows()},
            {"lastRow", clock(state.lastRowAt())},
            {"checks", state.checks()},
            {"fields", StatusFields::write(state)},
        });
    }
    return QJsonObject{{"program", program},
                       {"pid", QCoreApplication::applicationPid()},
                       {"since", clock(since)},
                       {"updated", clock(now)},
                       {"sinceMs", double(since)},
                       {"updatedMs", double(now)},
                       {"instruments", instruments}};
}

void addWeighing(QJsonObject &status, const QString &instrumentId, const QString &nextSample, const QString &series,
                 int weighings, const SeriesStats &stats, const QString &unit)
{
    QJsonObject weighing{{"nextSample", nextSample},
                         {"series", series},
                         {"weighings", weighings},
                         {"n", double(stats.count())},
                         {"unit", unit},
                         {"decimals", stats.decimals()},
                         {"within", double(stats.count(ToleranceClass::Within))},
                         {"warning", double(stats.count(ToleranceClass::Warning))},
                         {"outside", double(stats.count(ToleranceClass::Outside))},
                         {"belowMinimum", double(stats.count(ToleranceClass::BelowMinimum))}};
    const std::pair<const char *, std::optional<double>> figures[] = {
        {"mean", stats.mean()}, {"sd", stats.sd()}, {"rsd", stats.rsdPercent()}};
    for (const auto &figure : figures) {
        if (figure.second)
            weighing.insert(QLatin1String(figure.first), *figure.second);
    }
    QJsonArray instruments = status.value(QLatin1String("instruments")).toArray();
    for (int i = 0; i < instruments.size(); ++i) {
        QJsonObject instrument = instruments.at(i).toObject();
        if (instrument.value(QLatin1String("id")).toString() != instrumentId)
            continue;
        instrument.insert(QLatin1String(kWeighing), weighing);
        instruments.replace(i, instrument);
    }
    status.insert(QLatin1String("instruments"), instruments);
}

Snapshot restore(const QJsonObject &status)
{
    Snapshot snapshot;
    snapshot.program = status.value(QLatin1String("program")).toString();
    snapshot.pid = qint64(status.value(QLatin1String("pid")).toDouble());
    snapshot.since = qint64(status.value(QLatin1String("sinceMs")).toDouble());
    snapshot.updated = qint64(status.value(QLatin1String("updatedMs")).toDouble());
    for (const QJsonValue &value : status.value(QLatin1String("instruments")).toArray()) {
        const QJsonObject instrument = value.toObject();
        const QString id = instrument.value(QLatin1String("id")).toString();
        if (!id.isEmpty())
            snapshot.instruments.insert(id, StatusFields::read(instrument.value(QLatin1String("fields")).toObject()));
    }
    return snapshot;
}

bool write(const QString &path, const QJsonObject &status, QString *error)
{
    QSaveFile file(path);
    const QByteArray bytes = QJsonDocument(status).toJson(QJsonDocument::Indented);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}

std::optional<QJsonObject> read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject() || !document.object().contains(QLatin1String("instruments")))
        return std::nullopt;
    return document.object();
}

QString table(const QJsonObject &status)
{
    QList<QStringList> rows{{}};
    for (const auto &column : kColumns)
        rows.first() << QString::fromLatin1(column.second);
    for (const QJsonValue &value : status.value(QLatin1String("instruments")).toArray()) {
        const QJsonObject instrument = value.toObject();
        QStringList cells;
        for (const auto &column : kColumns) {
            const QJsonValue cell = instrument.value(QLatin1String(column.first));
            cells << (cell.isDouble() ? QString::number(cell.toInt()) : cell.toString());
        }
        rows << cells;
    }
    QVector<int> widths(int(std::size(kColumns)), 0);
    for (const QStringList &cells : qAsConst(rows)) {
        for (int i = 0; i < cells.size(); ++i)
            widths[i] = std::max(widths[i], int(cells.at(i).size()));
    }
    QStringList weighings;
    for (const QJsonValue &value : status.value(QLatin1String("instruments")).toArray()) {
        const QJsonObject instrument = value.toObject();
        if (const QString checks = instrument.value(QLatin1String("checks")).toString(); !checks.isEmpty())
            weighings << QStringLiteral("%1: balance checks %2").arg(instrument.value(QLatin1String("id")).toString(), checks);
        const QJsonObject weighing = instrument.value(QLatin1String(kWeighing)).toObject();
        if (weighing.isEmpty())
            continue;
        const QString next = weighing.value(QLatin1String("nextSample")).toString();
        const int count = weighing.value(QLatin1String("weighings")).toInt();
        weighings << QStringLiteral("%1: next sample %2; series %3, %4 %5")
                         .arg(instrument.value(QLatin1String("id")).toString(),
                              next.isEmpty() ? QStringLiteral("(none)") : next,
                              weighing.value(QLatin1String("series")).toString())
                         .arg(count)
                         .arg(count == 1 ? QLatin1String("weighing") : QLatin1String("weighings"));
        if (const QString figures = figuresLine(weighing); !figures.isEmpty())
            weighings << figures;
    }
    QString text = QStringLiteral("%1, process %2, since %3; updated %4\n")
                       .arg(status.value(QLatin1String("program")).toString())
                       .arg(status.value(QLatin1String("pid")).toInt())
                       .arg(status.value(QLatin1String("since")).toString(), status.value(QLatin1String("updated")).toString());
    for (const QStringList &cells : qAsConst(rows)) {
        QStringList padded;
        for (int i = 0; i < cells.size(); ++i)
            padded << cells.at(i).leftJustified(widths.at(i));
        text += padded.join(QLatin1String("  ")).trimmed() + QLatin1Char('\n');
    }
    for (const QString &line : qAsConst(weighings))
        text += line + QLatin1Char('\n');
    return text;
}

} // namespace StatusFile

} // namespace Veltrano
