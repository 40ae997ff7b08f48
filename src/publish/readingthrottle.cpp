#include "publish/readingthrottle.h"

namespace Veltrano {

std::optional<LiveReading> ReadingThrottle::offer(const LiveReading &reading, qint64 nowMs)
{
    Slot &slot = m_slots[reading.instrument];
    slot.latest = reading;
    if (slot.sent && nowMs - slot.sentAtMs < m_intervalMs) {
        slot.waiting = true;
        return std::nullopt;
    }
    slot.sent = true;
    slot.sentAtMs = nowMs;
    slot.waiting = false;
    return reading;
}

QVector<LiveReading> ReadingThrottle::due(qint64 nowMs)
{
    QVector<LiveReading> readings;
    for (Slot &slot : m_slots) {
        if (slot.waiting && nowMs - slot.sentAtMs >= m_intervalMs) {
            slot.waiting = false;
            slot.sentAtMs = nowMs;
            readings.append(slot.latest);
        }
    }
    return readings;
}

std::optional<qint64> ReadingThrottle::nextDueMs() const
{
    std::optional<qint64> next;
    for (const Slot &slot : m_slots) {
        if (slot.waiting && (!next || slot.sentAtMs + m_intervalMs < *next))
            next = slot.sentAtMs + m_intervalMs;
    }
    return next;
}

QVector<LiveReading> ReadingThrottle::latest(qint64 nowMs)
{
    QVector<LiveReading> readings;
    for (Slot &slot : m_slots) {
        slot.sent = true;
        slot.waiting = false;
        slot.sentAtMs = nowMs;
        readings.append(slot.latest);
    }
    return readings;
}

} // namespace Veltrano
