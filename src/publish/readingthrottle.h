#pragma once

#include "publish/messages.h"

#include <QHash>
#include <QString>
#include <QVector>

#include <optional>

namespace Veltrano {

// Live readings coalesced to at most one per instrument and interval: the
// first goes at once, the ones that follow within the interval are replaced
// by the newest, which goes when the interval is over. Times are the
// caller's milliseconds (any steady clock).
class ReadingThrottle
{
public:
    static constexpr qint64 kIntervalMs = 1000;

    explicit ReadingThrottle(qint64 intervalMs = kIntervalMs)
        : m_intervalMs(intervalMs)
    {
    }

    // The reading to send now, if its instrument's interval is over; else it
    // waits (replacing one that waited).
    std::optional<LiveReading> offer(const LiveReading &reading, qint64 nowMs);
    // The waiting readings whose interval is over, taken as sent now.
    QVector<LiveReading> due(qint64 nowMs);
    // When the next waiting reading is due; nullopt when none waits.
    std::optional<qint64> nextDueMs() const;
    // The newest reading of each instrument, sent or not: what a broker that
    // was away gets on reconnection (each taken as sent now).
    QVector<LiveReading> latest(qint64 nowMs);

private:
    struct Slot
    {
        LiveReading latest;
        qint64 sentAtMs = 0;
        bool sent = false;     // at least once
        bool waiting = false;  // latest has not gone out
    };
    qint64 m_intervalMs;
    QHash<QString, Slot> m_slots;
};

} // namespace Veltrano
