#pragma once

#include "collect/instrumentstate.h"
#include "weighing/seriesstats.h"

#include <QJsonObject>
#include <QMap>
#include <QString>

#include <optional>

namespace Veltrano {

// What an unattended collector is doing, in a small JSON file in its folder
// that it replaces whole every few seconds: `veltrano-collect --status` and
// the window's Live readings read it.
namespace StatusFile {

inline constexpr char kFileName[] = "veltrano-status.json";
// How often the collector replaces it.
inline constexpr int kIntervalMs = 2000;

// The collector `program` (process id, running since `since`, ms since the
// epoch) and each instrument of `states` as the Live readings window shows it.
QJsonObject describe(const InstrumentStates &states, const QString &program, qint64 since, qint64 now);

// Adds to the instrument `instrumentId` of `status` what its weighings are
// at: the sample ID the next one takes, the series and its weighings so far,
// and the series' figures (`stats` of the weighings with a number, in `unit`):
// "n", "unit", "decimals" (the readings'), "mean", "sd", "rsd" (in %; each
// left out where there is none) and the counts "within", "warning",
// "outside", "belowMinimum".
inline constexpr char kWeighing[] = "weighing";
void addWeighing(QJsonObject &status, const QString &instrumentId, const QString &nextSample, const QString &series,
                 int weighings, const SeriesStats &stats, const QString &unit);

// What a status tells, read back: its collector and each instrument's state
// as the collector knew it when it wrote the status.
struct Snapshot
{
    QString program;
    qint64 pid = 0;
    qint64 since = 0;    // ms since the epoch
    qint64 updated = 0;  // ms since the epoch; 0: not said
    QMap<QString, InstrumentState> instruments;
};
Snapshot restore(const QJsonObject &status);

// Replaces the file at `path` in one step: a reader sees the old content or
// the new, never a part. False with the reason in `error`.
bool write(const QString &path, const QJsonObject &status, QString *error);

// The status in the file at `path`; nothing when there is none or it is no status.
std::optional<QJsonObject> read(const QString &path);

// The status as a table for a terminal: a header line, then one line per
// instrument; then each instrument's weighings, with its series' figures
// under them once it has one with a number.
QString table(const QJsonObject &status);

} // namespace StatusFile

} // namespace Veltrano
