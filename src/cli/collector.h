#pragma once

#include "recording/recordingsession.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

// The unattended collector: the collection engine and the storage thread the
// window runs, without a window. What the window would tell in a box is one
// line on standard error (the system journal under systemd). It holds the
// folder's collector lock and keeps a status file there for --status and
// the window's Live readings.
class Collector : public QObject
{
    Q_OBJECT

public:
    // Exit statuses besides 0 and wrong usage (CommandLine::kUsageStatus).
    static constexpr int kDatabaseFailure = 1;
    static constexpr int kFolderTaken = 3;
    // Before each wait for events the collector pauses this long, so that
    // the lines of many balances gather and one pass takes them all in:
    // 16 balances at line speed wake it some 50 times a second instead of
    // 1,920, each wake-up costing more than the line it brings. Nothing
    // waits on the collector: rows are timed by the sampling timers, which
    // keep their phase, and a line stays in the port's buffer meanwhile.
    static constexpr int kGatherMs = 20;

    explicit Collector(QObject *parent = nullptr);
    ~Collector() override;

    // Opens the database `uri` names (empty: sqlite.db) and starts recording
    // the instruments of settings.ini in the working folder. Returns -1 when
    // running, else the exit status.
    int start(const QString &uri);
    // Ends the collection like Stop: every row taken is written or kept in
    // the pending-rows file. Then the application quits with status 0.
    void stop();
    // Reads settings.ini again (SIGHUP).
    void reload();

    // One line of the log: the local time, then `text`.
    static void log(const QString &text);

private:
    void writeStatus();

    std::unique_ptr<Veltrano::RecordingSession> m_session;
    QTimer m_statusTimer;
    qint64 m_since = 0;
    bool m_statusFailing = false;
};
