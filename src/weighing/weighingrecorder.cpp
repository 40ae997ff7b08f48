#include "weighing/weighingrecorder.h"

#include "weighing/tolerance.h"

#include <utility>

namespace Veltrano {

ListedWorklist::ListedWorklist(Worklist list, const QString &series)
    : m_list(std::move(list))
    , m_series(series)
{
}

std::optional<NextSample> ListedWorklist::peekSample() const
{
    if (m_taken >= size())
        return std::nullopt;
    const WorklistEntry &entry = m_list.entries.at(m_taken);
    return NextSample{entry.sampleId, entry.nominal, m_series, NextSample::Source::Worklist};
}

std::optional<NextSample> ListedWorklist::takeSample(QString *)
{
    std::optional<NextSample> next = peekSample();
    if (next)
        ++m_taken;
    return next;
}

WeighingRecorder::WeighingRecorder(const WeighingSettings &settings, const QString &series, const QString &operatorName)
    : m_settings(settings)
    , m_detector(settings)
    , m_operator(operatorName)
{
    m_samples.setSeries(series);
}

void WeighingRecorder::chooseWorklist()
{
    // The collector's folder, where there is one, else the window's list.
    m_samples.setWorklist(m_folder ? m_folder : static_cast<WorklistSource *>(m_opened.get()));
}

void WeighingRecorder::openWorklist(std::unique_ptr<ListedWorklist> list)
{
    m_opened = std::move(list);
    chooseWorklist();
}

void WeighingRecorder::setWorklistSource(WorklistSource *source)
{
    m_folder = source;
    chooseWorklist();
}

std::optional<Weighing> WeighingRecorder::feed(const ScaleReading &reading, QString *error)
{
    switch (m_detector.feed(reading)) {
    case Trigger::Print:
        return make(Weighing::kPrint, reading, error);
    case Trigger::Stable:
        return make(Weighing::kStable, reading, error);
    case Trigger::None:
        break;
    }
    return std::nullopt;
}

Weighing WeighingRecorder::immediate(const ScaleReading &reading, QString *error)
{
    return make(Weighing::kImmediate, reading, error);
}

Weighing WeighingRecorder::make(const char *trigger, const ScaleReading &reading, QString *error)
{
    const NextSample sample = m_samples.take(error);
    Weighing weighing;
    weighing.sample = sample.sampleId;
    weighing.series = sample.series;
    weighing.trigger = QLatin1String(trigger);
    weighing.kind = weightKindText(reading.kind);
    weighing.operatorName = m_operator;
    const ToleranceLimits limits = ToleranceLimits::of(m_settings, sample.nominal);
    if (limits.nominal && !limits.isEmpty())
        weighing.nominal = QString::number(*limits.nominal, 'g', 15);
    const ToleranceClass toleranceClass =
        classifyWeighing(reading, limits, effectiveMinimumWeight(m_settings, m_checkedMinimum));
    weighing.weighingClass = toleranceText(toleranceClass);
    if (weighing.series != m_lastSeries) {
        m_lastSeries = weighing.series;
        m_inSeries = 0;
        m_stats = SeriesStats();
        m_unit.clear();
    }
    ++m_inSeries;
    m_stats.add(reading, toleranceClass);
    if (m_unit.isEmpty() && reading.hasValue())
        m_unit = reading.unit;
    return weighing;
}

} // namespace Veltrano
