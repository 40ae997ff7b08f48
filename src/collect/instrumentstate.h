#pragma once

#include "collect/printline.h"

#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QVector>

#include <optional>

// What the collection knows about each balance while it runs: whether its
// line is alive, what it printed last, how much was received and stored, and
// a bounded history of its readings for a chart. Fed by the collection
// engine, shown by the live readings window.
namespace Veltrano {

class InstrumentState
{
public:
    enum class Link {
        Waiting,           // registered, nothing received yet
        Receiving,         // lines arrive
        PortFailed,        // the port reported an error
        ClosedAfterError,  // the port was closed because it kept failing
        Reconnecting,      // reopening the closed port has been tried and failed
        Reconnected,       // the closed port was opened again
    };
    using Load = PrintLine::Load;

    // A line unheard of for this long makes a receiving balance silent.
    static constexpr qint64 kSilentAfterMs = 5000;

    InstrumentState() = default;
    InstrumentState(const QString &name, const QString &port, qint64 now);

    // One line cut from the receive buffer (`raw`, as received), as the
    // parser read it.
    void lineReceived(const QByteArray &raw, const PrintLine::Parsed &parsed, qint64 now);
    void portFailed(const QString &reason);
    void closedAfterError();
    void reconnectFailed(const QString &reason);
    void reconnected(qint64 now);
    void rowStored(qint64 now);

    QString name() const { return m_name; }
    QString port() const { return m_port; }
    Link link() const { return m_link; }
    // The link as the operator reads it: "receiving", "silent for 12 s",
    // "port failed: <reason>", ...
    QString linkText(qint64 now) const;
    bool hasReading() const { return m_hasReading; }
    QString result() const { return m_result; }
    QString unit() const { return m_unit; }
    // As the balance marked its last reading.
    bool stable() const { return m_hasReading && m_stability == PrintLine::Stability::Stable; }
    // "stable", "unstable", or empty when the balance did not say.
    QString stabilityText() const;
    Load load() const { return m_load; }
    QString loadText() const;
    int lines() const { return m_lines; }
    int rows() const { return m_rows; }
    qint64 lastRowAt() const { return m_lastRowAt; }  // 0: none yet
    // Whether the balance's routine checks are current, as the operator
    // reads it ("qualified until 2026-12-17", "overdue", ...); empty: the
    // balance is not in the register.
    QString checks() const { return m_checks; }
    void setChecks(const QString &text) { m_checks = text; }

    // The last lines the balance sent, oldest first, at most kRawLines.
    struct RawLine
    {
        qint64 at;
        QByteArray bytes;  // as received, line end included
        QString outcome;   // "reading", or "skipped: " and why
    };
    static constexpr int kRawLines = 50;
    const QVector<RawLine> &rawLines() const { return m_raw; }
    // The bytes as readable text: CR and LF as \r and \n, other control bytes,
    // bytes of invalid UTF-8 and the backslash as \xNN escapes.
    static QString visible(const QByteArray &bytes);

private:
    // Writes and reads these fields to and from the status file.
    friend struct StatusFields;

    QString m_name;
    QString m_port;
    Link m_link = Link::Waiting;
    QString m_reason;
    int m_tries = 0;
    qint64 m_heardAt = 0;  // last line, or registration while none came
    bool m_hasReading = false;
    QString m_result;
    QString m_unit;
    PrintLine::Stability m_stability = PrintLine::Stability::Unknown;
    Load m_load = Load::Normal;
    int m_lines = 0;
    int m_rows = 0;
    qint64 m_lastRowAt = 0;
    QString m_checks;
    QVector<RawLine> m_raw;
};

// The readings of one balance over time, for a chart. Recent readings are
// kept at a fixed spacing (closer ones replace each other); older ones are
// kept at a spacing that doubles whenever their capacity is reached, each
// thinning keeping peaks and stored rows. The memory stays bounded however
// long a collection runs, and the whole collection can still be drawn.
class ReadingHistory
{
public:
    struct Point
    {
        qint64 at;     // ms since the epoch
        double value;
        bool stored;   // recorded as a row at this moment
        bool gap = false;  // the balance was silent or away before it: no line to it
    };

    explicit ReadingHistory(int capacity = 2048, qint64 spacingMs = 200, qint64 recentMs = 10 * 60 * 1000);

    void add(qint64 at, double value);
    // A row was stored with the latest value: kept as a point of its own,
    // when a reading came since the last row; else the balance was silent or
    // away, and the next reading starts after a gap.
    void markStored(qint64 at);

    // The points from `from` on, at most `maxPoints` of them: when there are
    // more, each stretch keeps its lowest and highest value, so peaks survive.
    QVector<Point> since(qint64 from, int maxPoints) const;
    // The stored points from `from` on, evenly thinned to at most `maxPoints`.
    QVector<Point> storedSince(qint64 from, int maxPoints) const;
    int size() const { return m_older.size() + m_recent.size(); }

private:
    void append(qint64 at, double value);
    void addOlder(const Point &point);
    QVector<Point> points(qint64 from) const;

    QVector<Point> m_recent;
    QVector<Point> m_older;
    int m_capacity;
    qint64 m_spacing;
    qint64 m_recentMs;
    qint64 m_olderSpacing;
    bool m_heardSinceStored = false;
    bool m_gapPending = false;
};

// The state and history of every instrument of the running collection, by
// instrument id. After a collection ends they are kept, marked ended, until
// the next one starts. Fed on the collection's thread and read from any
// other: every call takes a lock, and what is read is a copy.
class InstrumentStates : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    void start(const QMap<QString, InstrumentState> &instruments);
    void clear();
    // An instrument joins or leaves the running collection.
    void add(const QString &id, const InstrumentState &state);
    void remove(const QString &id);
    // The collection stopped: the states stay readable until start().
    void end();
    // The collection another process runs, as its status file told it at
    // `at`: its states replace these, each history gaining the latest reading.
    void follow(const QMap<QString, InstrumentState> &instruments, qint64 startedAt, qint64 at);
    bool running() const;
    qint64 endedAt() const;  // 0: running or never ran

    // Feeds one instrument; ids that are not registered are ignored.
    void lineReceived(const QString &id, const QByteArray &raw, const PrintLine::Parsed &parsed);
    void portFailed(const QString &id, const QString &reason);
    void closedAfterError(const QString &id);
    void reconnectFailed(const QString &id, const QString &reason);
    void reconnected(const QString &id);
    void rowStored(const QString &id);
    void setChecks(const QString &id, const QString &text);

    QMap<QString, InstrumentState> states() const;
    InstrumentState state(const QString &id) const;
    ReadingHistory history(const QString &id) const;
    qint64 startedAt() const;
    // Grows with every event: a viewer redraws only when it moved.
    quint64 revision() const;

signals:
    // A collection started or ended, or an instrument's link changed.
    void changed();

private:
    InstrumentState *find(const QString &id);
    template<typename Change>
    void changeLink(const QString &id, Change change);

    mutable QMutex m_mutex;
    QMap<QString, InstrumentState> m_states;
    QMap<QString, ReadingHistory> m_histories;
    bool m_running = false;
    qint64 m_startedAt = 0;
    qint64 m_endedAt = 0;
    quint64 m_revision = 0;
};

} // namespace Veltrano
