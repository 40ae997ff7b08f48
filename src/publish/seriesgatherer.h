#pragma once

#include "publish/dropfiles.h"
#include "support/row.h"
#include "weighing/seriesstats.h"

#include <QHash>
#include <QString>

#include <functional>

namespace Veltrano {

// Gathers the written weighings of each instrument into the series they
// belong to, and hands each series over as one SeriesFile once it is
// finished: when a weighing of another series comes for that instrument,
// or at finishAll() (a stop). Each row costs constant time; only the open
// series' weighings are kept. Not thread-safe: one thread at a time (the
// recording session feeds it on the storage thread).
class SeriesGatherer
{
public:
    using Finished = std::function<void(const SeriesFile &)>;

    explicit SeriesGatherer(Finished finished);

    // A row as the database took it, with its hash; a row that is no
    // weighing, or a weighing of no series, is passed by.
    void add(const Row &row, const QString &hash);
    // Finishes every open series, in the order of the instruments' ids.
    void finishAll();
    int openSeries() const { return int(m_open.size()); }

private:
    struct Open
    {
        SeriesFile file;
        SeriesStats stats;
    };
    void finish(Open &open);

    Finished m_finished;
    QHash<QString, Open> m_open;  // by instrument id
};

} // namespace Veltrano
