#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

namespace Veltrano {

// One collector per folder: whoever records into a folder's database (the
// unattended collector, or a window's Start) holds veltrano.lock there. The
// lock names its holder (program, process id, since when); a holder that
// died (a crash, a power cut) leaves a lock that the next one takes over.
class CollectorLock
{
public:
    static constexpr char kFileName[] = "veltrano.lock";

    // The lock of `folder` (empty: the working folder).
    explicit CollectorLock(const QString &folder = QString());
    ~CollectorLock();

    // Takes the lock; false when another process holds it, with `holder`
    // describing it: "veltrano-collect (process 1234) since 2026-12-07 08:00:00".
    bool acquire(QString *holder = nullptr);
    void release();
    bool isHeld() const;

    // Who holds the lock of `folder`, or an empty text when nobody does.
    static QString holder(const QString &folder = QString());
    // The process id the lock file of `folder` names, 0 when there is none.
    // Only reads the file: a running collector is never disturbed.
    static qint64 recordedPid(const QString &folder = QString());

private:
    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
};

} // namespace Veltrano
