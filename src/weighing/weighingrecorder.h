#pragma once

#include "support/row.h"
#include "weighing/sampleids.h"
#include "weighing/scalereading.h"
#include "weighing/seriesstats.h"
#include "weighing/weighingdetector.h"
#include "weighing/weighingsettings.h"
#include "weighing/worklist.h"

#include <QString>

#include <memory>
#include <optional>

// One instrument's weighings while it records: which of its reading lines
// are one (WeighingDetector), the sample each takes (SampleIds, asking the
// worklist in use first), the series it belongs to and its class against the
// limits. The channel of the instrument feeds it every accepted reading line
// and records a row for every weighing it answers with.
namespace Veltrano {

// A worklist opened in the window: its lines in order, then nothing; it
// starts a series of its own, named by the file and the moment it was opened.
class ListedWorklist : public WorklistSource
{
public:
    ListedWorklist(Worklist list, const QString &series);

    std::optional<NextSample> peekSample() const override;
    std::optional<NextSample> takeSample(QString *error) override;

    QString series() const { return m_series; }
    int taken() const { return m_taken; }
    int size() const { return int(m_list.entries.size()); }

private:
    Worklist m_list;
    QString m_series;
    int m_taken = 0;
};

class WeighingRecorder
{
public:
    // `series` names the weighings outside a worklist until another is
    // started; `operatorName` is who weighs.
    WeighingRecorder(const WeighingSettings &settings, const QString &series, const QString &operatorName);

    const WeighingSettings &settings() const { return m_settings; }
    // Whether the instrument records weighings rather than a time series.
    bool records() const { return m_settings.record != RecordMode::Interval; }

    // The next reading line: the weighing it is, if any. *error tells what
    // went wrong in keeping a worklist's progress (the weighing is made anyway).
    std::optional<Weighing> feed(const ScaleReading &reading, QString *error = nullptr);
    // An immediate read of the latest reading: always a weighing.
    Weighing immediate(const ScaleReading &reading, QString *error = nullptr);
    // After the link was lost: what came before says nothing about the load now.
    void reset() { m_detector.reset(); }

    SampleIds &samples() { return m_samples; }
    const SampleIds &samples() const { return m_samples; }
    NextSample next() const { return m_samples.peek(); }

    // Starts a series of the weighings outside a worklist.
    void startSeries(const QString &series) { m_samples.setSeries(series); }
    // The worklist a window opened; replaces the one before (nullptr: none).
    // A folder set with setWorklistSource() is asked instead.
    void openWorklist(std::unique_ptr<ListedWorklist> list);
    const ListedWorklist *openedWorklist() const { return m_opened.get(); }
    // The worklists of a folder (the unattended collector's); not owned.
    void setWorklistSource(WorklistSource *source);

    // The minimum weight the last repeatability check gave; nothing: none.
    void setCheckedMinimumWeight(std::optional<double> weight) { m_checkedMinimum = weight; }

    // Weighings made in the current series.
    int weighingsInSeries() const { return next().series == m_lastSeries ? m_inSeries : 0; }
    // The statistics of the current series' weighings, with their classes,
    // and the unit of its first weighing with a number.
    SeriesStats seriesStats() const { return next().series == m_lastSeries ? m_stats : SeriesStats(); }
    QString seriesUnit() const { return next().series == m_lastSeries ? m_unit : QString(); }

private:
    Weighing make(const char *trigger, const ScaleReading &reading, QString *error);
    void chooseWorklist();

    WeighingSettings m_settings;
    WeighingDetector m_detector;
    SampleIds m_samples;
    QString m_operator;
    std::unique_ptr<ListedWorklist> m_opened;
    WorklistSource *m_folder = nullptr;
    std::optional<double> m_checkedMinimum;
    QString m_lastSeries;
    int m_inSeries = 0;
    SeriesStats m_stats;
    QString m_unit;
};

} // namespace Veltrano
