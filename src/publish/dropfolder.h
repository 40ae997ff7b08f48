#pragma once

#include "publish/dropfiles.h"
#include "publish/publishconfig.h"

#include <QObject>
#include <QString>
#include <QThread>

namespace Veltrano {

// Writes each finished series and each check result as one file into the
// drop folder, where the lab's systems pick them up; whoever hands a file
// over never waits: write() only queues.
//
// Each file is first kept in the spool folder (beside publish.ini, written
// whole and flushed to the disk), then written into the drop folder under a
// hidden temporary name ending in .part, flushed and renamed, so that no
// reader ever sees half a file; only then does it leave the spool. A file
// of the same name already there is never replaced: one with the same
// content counts as this one (written before a crash), another gets the
// next free -2, -3, ... name. Files go in the order they were handed over.
//
// A drop folder that is away (missing, not mounted: point dir at a folder
// inside the share, not at the mount point; not writable, full, a share that
// hangs) keeps the files in the spool, across restarts too; the operator is
// told once (outageBegan), and when the folder took the waiting files again
// (outageEnded). Writing into the folder runs on a thread of its own, left
// to end by itself when a share hangs past a stop's patience. A spool that
// refuses files too keeps them in memory (up to kUnspooled, then counted as
// lost and told).
class DropFolder : public QObject
{
    Q_OBJECT

public:
    static constexpr int kRetryMs = 10000;
    static constexpr int kQuitPatienceMs = 2000;
    static constexpr int kUnspooled = 1000;

    // `spoolPath`: see PublishConfig::spoolPath().
    DropFolder(const DropConfig &config, const QString &spoolPath, QObject *parent = nullptr);
    ~DropFolder() override;

    // Takes up what an earlier run left in the spool, and writes it first.
    void start();
    // Queue and return.
    void write(const Veltrano::SeriesFile &file);
    void write(const Veltrano::CheckFile &file);
    // Writes what it can within `patienceMs`; the rest stays in the spool.
    void stop(int patienceMs = kQuitPatienceMs);

    // Before start(): how long a folder that is away is left before the next try.
    void setRetryInterval(int ms) { m_retryMs = qMax(1, ms); }

signals:
    void problem(const QString &line);
    // The folder does not take files (which one and why), and does again:
    // `written` files that waited meanwhile are in it.
    void outageBegan(const QString &reason);
    void outageEnded(int written);
    // A file is in the drop folder, under this name.
    void fileWritten(const QString &name);

private:
    template<typename File>
    void queue(const File &file);

    class Worker;
    QThread m_thread;
    Worker *m_worker = nullptr;
    DropConfig m_config;
    QString m_spoolPath;
    int m_retryMs = kRetryMs;
    bool m_stopped = false;
};

} // namespace Veltrano
