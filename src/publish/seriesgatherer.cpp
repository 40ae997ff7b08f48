#include "publish/seriesgatherer.h"

#include "weighing/scalereading.h"
#include "weighing/tolerance.h"

#include <QStringList>

#include <utility>

namespace Veltrano {

SeriesGatherer::SeriesGatherer(Finished finished) : m_finished(std::move(finished)) {}

void SeriesGatherer::add(const Row &row, const QString &hash)
{
    if (!row.weighing || row.weighing->series.isEmpty())
        return;
    const Weighing &weighing = *row.weighing;
    const QString &instrument = row.provenance.instrument;
    auto open = m_open.find(instrument);
    if (open != m_open.end() && open->file.series != weighing.series) {
        finish(*open);
        m_open.erase(open);
        open = m_open.end();
    }
    const QString at = row.date + QLatin1Char(' ') + row.time;
    if (open == m_open.end()) {
        Open started;
        started.file.instrument = instrument;
        started.file.name = row.name;
        started.file.series = weighing.series;
        started.file.first = at;
        started.file.unit = row.unit.trimmed();
        open = m_open.insert(instrument, std::move(started));
    }
    SeriesFile &file = open->file;
    file.last = at;
    if (file.summary.nominal.isEmpty())
        file.summary.nominal = weighing.nominal;
    file.weighings.append({weighing.sample, row.date, row.time, row.result, row.unit, weighing.kind,
                           weighing.weighingClass, hash});
    open->stats.add(ScaleReading::fromResult(row.result, row.unit),
                    toleranceClassOf(weighing.weighingClass).value_or(ToleranceClass::None));
}

void SeriesGatherer::finishAll()
{
    QStringList instruments = m_open.keys();
    instruments.sort();
    for (const QString &instrument : qAsConst(instruments))
        finish(m_open[instrument]);
    m_open.clear();
}

void SeriesGatherer::finish(Open &open)
{
    SeriesSummary &summary = open.file.summary;
    static_cast<SeriesFigures &>(summary) = figuresOf(open.stats);
    for (const ToleranceClass shown :
         {ToleranceClass::Within, ToleranceClass::Warning, ToleranceClass::Outside, ToleranceClass::BelowMinimum})
        summary.classCounts.append({toleranceText(shown), QString::number(open.stats.count(shown))});
    m_finished(open.file);
}

} // namespace Veltrano
