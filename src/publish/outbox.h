#pragma once

#include "publish/messages.h"

#include <QFile>
#include <QList>
#include <QString>
#include <QVector>

#include <utility>

namespace Veltrano {

// The messages that must reach the broker (rows and weighings, QoS 1), kept
// in a file until the broker acknowledged them, in the order they were
// handed over, across outages and restarts.
//
// The file has one line per entry, a line being complete only with its line
// feed:
//   m,SEQ,TOPIC,PAYLOAD   a message (topic and payload in Base64)
//   a,SEQ                 every message up to SEQ is acknowledged
// Messages are appended and flushed to the disk (fdatasync) before they are
// sent; acknowledgements are appended without a flush of their own (they
// reach the disk with the next messages, or at close: one lost in a crash
// sends its messages once more, never loses one). When every message is
// acknowledged the file is emptied. A last line torn by a crash is cut off
// when the file is opened; unreadable lines are skipped and counted.
//
// Memory is bounded: besides those handed out (a window's), only the first
// kLoaded messages waiting are held; the rest are read from the file as
// those go out. When the file takes no more (disk full), messages wait in
// memory alone, up to kUnsaved, after which they are counted as lost; they
// go into the file, in order, as soon as it takes them again.
//
// Not thread-safe: one thread uses it.
class Outbox
{
public:
    static constexpr int kLoaded = 512;
    static constexpr int kUnsaved = 20000;

    struct Entry
    {
        qint64 seq = 0;
        Message message;
    };

    explicit Outbox(const QString &path, int loadedBound = kLoaded, int unsavedBound = kUnsaved);
    ~Outbox();
    Outbox(const Outbox &) = delete;
    Outbox &operator=(const Outbox &) = delete;

    // What an earlier run left. Messages it holds are sent first.
    struct Opened
    {
        int waiting = 0;     // messages not yet acknowledged
        int unreadable = 0;  // complete lines that were not entries
        bool torn = false;   // a last line cut by a crash, removed
        QString error;       // the file cannot be opened or read
    };
    Opened open();

    // Appends `messages` behind the others, with one flush to the disk. False
    // with `error` when the file refused them: they wait in memory (or are
    // lost past the bound, see lost()).
    bool append(const QVector<Message> &messages, QString *error);

    // The next message to send, in order, after those handed out since the
    // last restartSending(); nullptr when none is left. Valid until the next
    // call of any other function.
    const Entry *next();
    // The broker took the message `seq` (handed out by next()).
    void acknowledge(qint64 seq);
    // The connection went: every message handed out and not acknowledged is
    // handed out again, in order.
    void restartSending();

    QString path() const { return m_path; }
    int waiting() const { return int(m_loaded.size() + m_backlog + m_unsaved.size()); }  // not acknowledged
    qint64 lastSeq() const { return m_nextSeq - 1; }  // of the newest message
    qint64 firstWaitingSeq() const;                   // 0 when none waits
    int unsaved() const { return m_unsaved.size(); }  // in memory only
    int lost() const { return m_lost; }               // neither file nor memory took them
    int takeLost() { return std::exchange(m_lost, 0); }

    // Writes the acknowledgements to the disk and closes the file.
    void close();

private:
    struct Slot
    {
        Entry entry;
        bool acked = false;
    };
    Slot &at(int index) { return index < m_loaded.size() ? m_loaded[index] : m_unsaved[index - m_loaded.size()]; }
    // Loaded messages not handed out: the bound applies to them (those
    // handed out are at most a window's).
    int unsent() const { return int(m_loaded.size()) - qMin(m_handedOut, int(m_loaded.size())); }
    bool writeLines(const QByteArray &lines, bool flush, QString *error);
    bool saveUnsaved(QString *error);
    void keepUnsaved(const QList<Slot> &fresh);
    void load();
    static QByteArray line(const Entry &entry);

    QString m_path;
    int m_loadedBound;
    int m_unsavedBound;
    QFile m_file;          // appended to
    qint64 m_size = 0;     // of its complete lines
    // In the file, the oldest waiting first; then m_backlog more, from
    // m_readOffset on (which is the file's end while none is left there).
    QList<Slot> m_loaded;
    qint64 m_backlog = 0;
    qint64 m_readOffset = 0;
    // After every message in the file. Handed out only once m_backlog is 0.
    QList<Slot> m_unsaved;
    int m_handedOut = 0;  // of m_loaded then m_unsaved
    int m_lost = 0;
    qint64 m_nextSeq = 1;
    qint64 m_lastAcked = 0;
};

} // namespace Veltrano
