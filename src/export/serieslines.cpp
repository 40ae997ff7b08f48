#include "export/serieslines.h"

#include "weighing/scalereading.h"

namespace Veltrano {

QStringList SeriesLines::columnNames()
{
    return {QStringLiteral("series"), QStringLiteral("instrument_id"), QStringLiteral("first"), QStringLiteral("last"),
            QStringLiteral("n"),      QStringLiteral("mean"),          QStringLiteral("sd"),    QStringLiteral("rsd"),
            QStringLiteral("min"),    QStringLiteral("max"),           QStringLiteral("range"), QStringLiteral("unit"),
            QStringLiteral("nominal"), QStringLiteral("within"),       QStringLiteral("warning"),
            QStringLiteral("outside"), QStringLiteral("below_minimum")};
}

bool SeriesLines::isNumber(int column)
{
    return (column >= 4 && column <= 10) || column >= 13;
}

void SeriesLines::add(const QString &series, const QString &instrument, const QString &date, const QString &time,
                        const QString &result, const QString &unit, const QString &toleranceClass,
                        const QString &nominal)
{
    // Most weighings belong to the series their instrument weighed last:
    // found without making the key.
    int index = m_latest.value(instrument, -1);
    if (index < 0 || m_series.at(index).name != series) {
        const QString key = instrument + QChar(0x1f) + series;
        auto found = m_index.constFind(key);
        if (found == m_index.constEnd()) {
            found = m_index.insert(key, int(m_series.size()));
            m_series.append(Series{series, instrument, date + QLatin1Char(' ') + time, {}, {}, unit.trimmed(), {}, {}});
        }
        index = *found;
        m_latest.insert(instrument, index);
    }
    Series &entry = m_series[index];
    // Shared, not copied: joined when the line is made.
    entry.lastDate = date;
    entry.lastTime = time;
    if (entry.nominal.isEmpty())
        entry.nominal = nominal;
    entry.stats.add(ScaleReading::fromResult(result, unit),
                    toleranceClassOf(toleranceClass).value_or(ToleranceClass::None));
}

QStringList SeriesLines::line(int index) const
{
    const Series &entry = m_series.at(index);
    const SeriesStats &stats = entry.stats;
    const SeriesFigures figures = figuresOf(stats);
    return {entry.name,
            entry.instrument,
            entry.first,
            entry.lastDate + QLatin1Char(' ') + entry.lastTime,
            figures.n,
            figures.mean,
            figures.sd,
            figures.rsd,
            figures.min,
            figures.max,
            figures.range,
            entry.unit,
            entry.nominal,
            QString::number(stats.count(ToleranceClass::Within)),
            QString::number(stats.count(ToleranceClass::Warning)),
            QString::number(stats.count(ToleranceClass::Outside)),
            QString::number(stats.count(ToleranceClass::BelowMinimum))};
}

} // namespace Veltrano
