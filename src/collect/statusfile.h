#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

namespace Veltrano {

class InstrumentStates;

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

// Replaces the file at `path` in one step: a reader sees the old content or
// the new, never a part. False with the reason in `error`.
bool write(const QString &path, const QJsonObject &status, QString *error);

// The status in the file at `path`; nothing when there is none or it is no status.
std::optional<QJsonObject> read(const QString &path);

// The status as a table for a terminal: a header line, then one line per instrument.
QString table(const QJsonObject &status);

} // namespace StatusFile

} // namespace Veltrano
