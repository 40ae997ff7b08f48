#include "collect/instrumentstate.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>

namespace Veltrano {

namespace {

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

InstrumentState::InstrumentState(const QString &name, const QString &port, qint64 now)
    : m_name(name)
    , m_port(port)
    , m_heardAt(now)
{
}

void InstrumentState::lineReceived(const PrintLine::Parsed &parsed, qint64 now)
{
    ++m_lines;
    m_heardAt = now;
    if (m_link != Link::Reconnected)
        m_link = Link::Receiving;

    // A status line tells only of leaving the range; a reading tells both ways.
    if (parsed.kind == PrintLine::Kind::Status) {
        if (parsed.load != Load::Normal)
            m_load = parsed.load;
    } else if (parsed.kind == PrintLine::Kind::Reading) {
        m_hasReading = true;
        m_result = parsed.result;
        m_unit = parsed.unit;
        m_stability = parsed.stability;
        m_load = parsed.load;
    }
}

void InstrumentState::portFailed(const QString &reason)
{
    m_link = Link::PortFailed;
    m_reason = reason;
}

void InstrumentState::closedAfterError()
{
    m_link = Link::ClosedAfterError;
    m_tries = 0;
}

void InstrumentState::reconnectFailed(const QString &reason)
{
    m_link = Link::Reconnecting;
    m_reason = reason;
    ++m_tries;
}

void InstrumentState::reconnected(qint64 now)
{
    m_link = Link::Reconnected;
    m_heardAt = now;
}

void InstrumentState::rowStored(qint64 now)
{
    ++m_rows;
    m_lastRowAt = now;
}

QString InstrumentState::linkText(qint64 now) const
{
    switch (m_link) {
    case Link::PortFailed:
        return QStringLiteral("port failed: %1").arg(m_reason);
    case Link::ClosedAfterError:
        return QStringLiteral("closed after an error: %1").arg(m_reason);
    case Link::Reconnecting:
        return QStringLiteral("reconnecting (%1 tries, last: %2)").arg(m_tries).arg(m_reason);
    case Link::Waiting:
    case Link::Receiving:
    case Link::Reconnected:
        break;
    }
    const qint64 quiet = now - m_heardAt;
    if (quiet >= kSilentAfterMs)
        return QStringLiteral("silent for %1 s").arg(quiet / 1000);
    if (m_link == Link::Reconnected)
        return QStringLiteral("reconnected");
    return m_link == Link::Receiving ? QStringLiteral("receiving") : QStringLiteral("waiting for the first line");
}

QString InstrumentState::loadText() const
{
    switch (m_load) {
    case Load::Overload:
        return QStringLiteral("overload");
    case Load::Underload:
        return QStringLiteral("underload");
    case Load::Normal:
        break;
    }
    return QString();
}

ReadingHistory::ReadingHistory(int capacity, qint64 spacingMs, qint64 recentMs)
    : m_capacity(std::max(capacity, 4))
    , m_spacing(spacingMs)
    , m_recentMs(recentMs)
    , m_olderSpacing(spacingMs)
{
}

namespace {

// Of two neighbouring points the one to keep when only one may stay: a stored
// one, else the one further from the point kept before, so that peaks stay.
const ReadingHistory::Point &keeper(double previous, const ReadingHistory::Point &a, const ReadingHistory::Point &b)
{
    if (a.stored || b.stored)
        return a.stored ? a : b;
    return std::abs(b.value - previous) > std::abs(a.value - previous) ? b : a;
}

} // namespace

void ReadingHistory::add(qint64 at, double value)
{
    if (!m_recent.isEmpty() && !m_recent.last().stored && at - m_recent.last().at < m_spacing) {
        m_recent.last().value = value;
        return;
    }
    m_recent.append({at, value, false});
    // Points leave the recent stretch a minute's worth at a time.
    if (m_recent.first().at < at - m_recentMs - 60000) {
        int leaving = 0;
        while (m_recent.at(leaving).at < at - m_recentMs)
            addOlder(m_recent.at(leaving++));
        m_recent.remove(0, leaving);
    }
}

void ReadingHistory::addOlder(const Point &point)
{
    if (m_older.size() >= m_capacity) {
        int kept = 0;
        for (int i = 0; i < m_older.size(); i += 2) {
            const double previous = kept ? m_older.at(kept - 1).value : m_older.at(i).value;
            m_older[kept] = keeper(previous, m_older.at(i), m_older.at(std::min(i + 1, int(m_older.size()) - 1)));
            ++kept;
        }
        m_older.resize(kept);
        m_olderSpacing *= 2;
    }
    if (!m_older.isEmpty() && point.at - m_older.last().at < m_olderSpacing) {
        const double previous = m_older.size() > 1 ? m_older.at(m_older.size() - 2).value : m_older.last().value;
        m_older.last() = keeper(previous, m_older.last(), point);
        return;
    }
    m_older.append(point);
}

void ReadingHistory::markStored(qint64 at)
{
    if (m_recent.isEmpty())
        return;
    const double latest = m_recent.last().value;
    add(at, latest);
    Point &last = m_recent.last();
    last.at = std::max(last.at, at);
    last.stored = true;
}

QVector<ReadingHistory::Point> ReadingHistory::points(qint64 from) const
{
    const auto after = [from](const QVector<Point> &points) {
        const auto first = std::lower_bound(points.cbegin(), points.cend(), from,
                                            [](const Point &point, qint64 at) { return point.at < at; });
        return points.mid(int(first - points.cbegin()));
    };
    return after(m_older) + after(m_recent);
}

QVector<ReadingHistory::Point> ReadingHistory::storedSince(qint64 from, int maxPoints) const
{
    QVector<Point> stored;
    for (const Point &point : points(from)) {
        if (point.stored)
            stored.append(point);
    }
    if (stored.size() <= maxPoints)
        return stored;
    QVector<Point> thinned;
    for (int k = 0; k < maxPoints; ++k)
        thinned.append(stored.at(int(qint64(stored.size()) * k / maxPoints)));
    return thinned;
}

QVector<ReadingHistory::Point> ReadingHistory::since(qint64 from, int maxPoints) const
{
    const QVector<Point> all = points(from);
    const int count = all.size();
    if (count <= maxPoints)
        return all;

    // Each stretch gives its lowest and highest point, in time order.
    QVector<Point> result;
    const int stretches = std::max(1, maxPoints / 2);
    result.reserve(stretches * 2);
    for (int s = 0; s < stretches; ++s) {
        const int lo = int(qint64(count) * s / stretches);
        const int hi = int(qint64(count) * (s + 1) / stretches);
        if (lo >= hi)
            continue;
        int low = lo;
        int high = lo;
        for (int i = lo + 1; i < hi; ++i) {
            if (all.at(i).value < all.at(low).value)
                low = i;
            if (all.at(i).value > all.at(high).value)
                high = i;
        }
        result.append(all.at(std::min(low, high)));
        if (low != high)
            result.append(all.at(std::max(low, high)));
    }
    return result;
}

void InstrumentStates::start(const QMap<QString, InstrumentState> &instruments)
{
    m_states = instruments;
    m_histories.clear();
    for (auto it = instruments.cbegin(); it != instruments.cend(); ++it)
        m_histories.insert(it.key(), ReadingHistory());
    m_running = true;
    m_startedAt = now();
    ++m_revision;
    emit changed();
}

void InstrumentStates::clear()
{
    m_states.clear();
    m_histories.clear();
    m_running = false;
    ++m_revision;
    emit changed();
}

InstrumentState *InstrumentStates::find(const QString &id)
{
    const auto it = m_states.find(id);
    if (it == m_states.end())
        return nullptr;
    ++m_revision;
    return &it.value();
}

void InstrumentStates::lineReceived(const QString &id, const PrintLine::Parsed &parsed)
{
    if (InstrumentState *state = find(id)) {
        const qint64 at = now();
        state->lineReceived(parsed, at);
        if (parsed.kind == PrintLine::Kind::Reading) {
            const QString value = PrintLine::numericValue(parsed.result);
            if (!value.isEmpty())
                m_histories[id].add(at, value.toDouble());
        }
    }
}

template<typename Change>
void InstrumentStates::changeLink(const QString &id, Change change)
{
    if (InstrumentState *state = find(id)) {
        change(*state);
        emit changed();
    }
}

void InstrumentStates::portFailed(const QString &id, const QString &reason)
{
    changeLink(id, [&](InstrumentState &state) { state.portFailed(reason); });
}

void InstrumentStates::closedAfterError(const QString &id)
{
    changeLink(id, [](InstrumentState &state) { state.closedAfterError(); });
}

void InstrumentStates::reconnectFailed(const QString &id, const QString &reason)
{
    changeLink(id, [&](InstrumentState &state) { state.reconnectFailed(reason); });
}

void InstrumentStates::reconnected(const QString &id)
{
    changeLink(id, [](InstrumentState &state) { state.reconnected(now()); });
}

void InstrumentStates::rowStored(const QString &id)
{
    if (InstrumentState *state = find(id)) {
        const qint64 at = now();
        state->rowStored(at);
        m_histories[id].markStored(at);
    }
}

} // namespace Veltrano
