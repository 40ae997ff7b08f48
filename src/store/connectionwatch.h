#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

#include <atomic>

class QSqlDatabase;

namespace Veltrano {

// A server that stops answering in the middle of a statement (its host
// hangs, a firewall drops the packets) leaves the client waiting: the
// system's network stack still acknowledges what is sent, so no network
// timeout fires. The thread that runs the statement arms the watch with the
// connection; another thread may then cut the connection when the statement
// has run past a deadline, and the statement fails at once as if the server
// had gone ("server closed the connection unexpectedly"). A connection to a
// file, or one not open, is never cut.
class ConnectionWatch
{
public:
    // The longest a statement on a server may take (a wait for a lock ends
    // after 5 s on the server's side); past it the connection is cut and its
    // rows are kept as in any outage.
    static constexpr int kDeadlineMs = 8000;

    // On the thread that runs statements on `db`, before each of them.
    void arm(const QSqlDatabase &db);
    // After the statement, on the same thread.
    void disarm();
    // From any thread: cuts the connection when a statement has run for
    // `deadlineMs` or more; true when it did.
    bool cutIfStuck(int deadlineMs = kDeadlineMs);

private:
    std::atomic<qintptr> m_socket{-1};
    std::atomic<qint64> m_armedAt{0};  // ms on the monotonic clock; 0: not armed
    QElapsedTimer m_clock;
};

} // namespace Veltrano
