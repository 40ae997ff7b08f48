#include "collect/instrumentstate.h"

#include <utility>

#include "collect/makerlines.h"

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

void InstrumentState::lineReceived(const QByteArray &raw, const PrintLine::Parsed &parsed, qint64 now)
{
    ++m_lines;
    if (m_raw.size() >= kRawLines)
        m_raw.removeFirst();
    // A copy of its own: `raw` may share the port's whole read, kilobytes
    // reserved for a line of 16 bytes, and 50 lines of every balance are kept.
    m_raw.append({now, QByteArray(raw.constData(), raw.size()), PrintLine::outcomeText(parsed)});
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
        return (m_tries == 1 ? QStringLiteral("reconnecting (1 try, last: %2)")
                             : QStringLiteral("reconnecting (%1 tries, last: %2)").arg(m_tries))
            .arg(m_reason);
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

QString InstrumentState::stabilityText() const
{
    if (!m_hasReading)
        return QString();
    switch (m_stability) {
    case PrintLine::Stability::Stable:
        return QStringLiteral("stable");
    case PrintLine::Stability::Unstable:
        return QStringLiteral("unstable");
    case PrintLine::Stability::Unknown:
        break;
    }
    return QString();
}

namespace {

// The length of the well-formed UTF-8 sequence at `at`, or 0.
int utf8Length(const QByteArray &bytes, int at)
{
    const auto byte = [&bytes](int i) { return i < bytes.size() ? quint8(bytes.at(i)) : 0; };
    const quint8 lead = byte(at);
    int length = 0;
    quint8 low = 0x80, high = 0xBF;  // the allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    for (int i = 1; i < length; ++i) {
        const quint8 next = byte(at + i);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
            return 0;
    }
    return length;
}

} // namespace

QString InstrumentState::visible(const QByteArray &bytes)
{
    QString text;
    for (int i = 0; i < bytes.size();) {
        const quint8 byte = quint8(bytes.at(i));
        if (byte == '\r' || byte == '\n') {
            // In a form every font has; a backslash of the line itself is \x5c.
            text += QLatin1String(byte == '\r' ? "\\r" : "\\n");
        } else if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            text += QLatin1Char(char(byte));
        } else if (const int length = byte >= 0x80 ? utf8Length(bytes, i) : 0) {
            text += QString::fromUtf8(bytes.constData() + i, length);
            i += length;
            continue;
        } else {
            text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
        }
        ++i;
    }
    return text;
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
// A gap before either stays before the one kept.
ReadingHistory::Point keeper(double previous, const ReadingHistory::Point &a, const ReadingHistory::Point &b)
{
    ReadingHistory::Point kept = a;
    if (a.stored || b.stored)
        kept = a.stored ? a : b;
    else
        kept = std::abs(b.value - previous) > std::abs(a.value - previous) ? b : a;
    kept.gap = a.gap || b.gap;
    return kept;
}

} // namespace

void ReadingHistory::add(qint64 at, double value)
{
    m_heardSinceStored = true;
    append(at, value);
}

void ReadingHistory::append(qint64 at, double value)
{
    if (!m_gapPending && !m_recent.isEmpty() && !m_recent.last().stored && at - m_recent.last().at < m_spacing) {
        m_recent.last().value = value;
        return;
    }
    m_recent.append({at, value, false, std::exchange(m_gapPending, false)});
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
    if (!std::exchange(m_heardSinceStored, false)) {
        m_gapPending = true;
        return;
    }
    const double latest = m_recent.last().value;
    append(at, latest);
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
        bool gap = all.at(lo).gap;
        for (int i = lo + 1; i < hi; ++i) {
            if (all.at(i).value < all.at(low).value)
                low = i;
            if (all.at(i).value > all.at(high).value)
                high = i;
            gap = gap || all.at(i).gap;
        }
        result.append(all.at(std::min(low, high)));
        result.last().gap = gap;
        if (low != high)
            result.append(all.at(std::max(low, high)));
    }
    return result;
}

void InstrumentStates::start(const QMap<QString, InstrumentState> &instruments)
{
    {
        QMutexLocker lock(&m_mutex);
        m_states = instruments;
        m_histories.clear();
        for (auto it = instruments.cbegin(); it != instruments.cend(); ++it)
            m_histories.insert(it.key(), ReadingHistory());
        m_running = true;
        m_startedAt = now();
        m_endedAt = 0;
        ++m_revision;
    }
    emit changed();
}

void InstrumentStates::clear()
{
    {
        QMutexLocker lock(&m_mutex);
        m_states.clear();
        m_histories.clear();
        m_running = false;
        m_endedAt = 0;
        ++m_revision;
    }
    emit changed();
}

void InstrumentStates::end()
{
    {
        QMutexLocker lock(&m_mutex);
        if (!m_running)
            return;
        m_running = false;
        m_endedAt = now();
        ++m_revision;
    }
    emit changed();
}

void InstrumentStates::follow(const QMap<QString, InstrumentState> &instruments, qint64 startedAt, qint64 at)
{
    {
        QMutexLocker lock(&m_mutex);
        if (startedAt != m_startedAt)
            m_histories.clear();
        for (auto it = instruments.cbegin(); it != instruments.cend(); ++it) {
            ReadingHistory &history = m_histories[it.key()];
            const InstrumentState &state = it.value();
            const QString value = state.hasReading() ? numericValue(state.result()) : QString();
            if (!value.isEmpty())
                history.add(at, value.toDouble());
            if (state.rows() > m_states.value(it.key()).rows())
                history.markStored(at);
        }
        for (const QString &id : m_histories.keys()) {
            if (!instruments.contains(id))
                m_histories.remove(id);
        }
        m_states = instruments;
        m_running = true;
        m_startedAt = startedAt;
        m_endedAt = 0;
        ++m_revision;
    }
    emit changed();
}

void InstrumentStates::add(const QString &id, const InstrumentState &state)
{
    {
        QMutexLocker lock(&m_mutex);
        m_states.insert(id, state);
        m_histories.insert(id, ReadingHistory());
        ++m_revision;
    }
    emit changed();
}

void InstrumentStates::remove(const QString &id)
{
    {
        QMutexLocker lock(&m_mutex);
        m_states.remove(id);
        m_histories.remove(id);
        ++m_revision;
    }
    emit changed();
}

bool InstrumentStates::running() const
{
    QMutexLocker lock(&m_mutex);
    return m_running;
}

qint64 InstrumentStates::endedAt() const
{
    QMutexLocker lock(&m_mutex);
    return m_endedAt;
}

QMap<QString, InstrumentState> InstrumentStates::states() const
{
    QMutexLocker lock(&m_mutex);
    return m_states;
}

InstrumentState InstrumentStates::state(const QString &id) const
{
    QMutexLocker lock(&m_mutex);
    return m_states.value(id);
}

ReadingHistory InstrumentStates::history(const QString &id) const
{
    QMutexLocker lock(&m_mutex);
    return m_histories.value(id);
}

qint64 InstrumentStates::startedAt() const
{
    QMutexLocker lock(&m_mutex);
    return m_startedAt;
}

quint64 InstrumentStates::revision() const
{
    QMutexLocker lock(&m_mutex);
    return m_revision;
}

// With the lock held.
InstrumentState *InstrumentStates::find(const QString &id)
{
    const auto it = m_states.find(id);
    if (it == m_states.end())
        return nullptr;
    ++m_revision;
    return &it.value();
}

void InstrumentStates::lineReceived(const QString &id, const QByteArray &raw, const PrintLine::Parsed &parsed)
{
    QMutexLocker lock(&m_mutex);
    if (InstrumentState *state = find(id)) {
        const qint64 at = now();
        state->lineReceived(raw, parsed, at);
        if (parsed.kind == PrintLine::Kind::Reading) {
            const QString value = numericValue(parsed.result);
            if (!value.isEmpty())
                m_histories[id].add(at, value.toDouble());
        }
    }
}

template<typename Change>
void InstrumentStates::changeLink(const QString &id, Change change)
{
    {
        QMutexLocker lock(&m_mutex);
        InstrumentState *state = find(id);
        if (!state)
            return;
        change(*state);
    }
    emit changed();
}

void InstrumentStates::setChecks(const QString &id, const QString &text)
{
    changeLink(id, [&](InstrumentState &state) { state.setChecks(text); });
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
    QMutexLocker lock(&m_mutex);
    if (InstrumentState *state = find(id)) {
        const qint64 at = now();
        state->rowStored(at);
        m_histories[id].markStored(at);
    }
}

} // namespace Veltrano
