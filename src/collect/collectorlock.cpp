#include "collect/collectorlock.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

namespace Veltrano {

namespace {

QString lockPath(const QString &folder)
{
    return QDir(folder.isEmpty() ? QDir::currentPath() : folder).filePath(QLatin1String(CollectorLock::kFileName));
}

QString describe(const QString &path, QLockFile &lock)
{
    qint64 pid = 0;
    QString host, program;
    if (!lock.getLockInfo(&pid, &host, &program))
        return QStringLiteral("another program (its lock file %1 cannot be read)").arg(path);
    const QDateTime since = QFileInfo(path).lastModified();
    return QStringLiteral("%1 (process %2) since %3")
        .arg(program.isEmpty() ? QStringLiteral("a collector") : program)
        .arg(pid)
        .arg(since.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
}

std::unique_ptr<QLockFile> newLock(const QString &path)
{
    auto lock = std::make_unique<QLockFile>(path);
    // A lock is stale only when its process is gone, however old it is: a
    // collector runs for months.
    lock->setStaleLockTime(0);
    return lock;
}

} // namespace

CollectorLock::CollectorLock(const QString &folder)
    : m_path(lockPath(folder))
    , m_lock(newLock(m_path))
{
}

CollectorLock::~CollectorLock() = default;

bool CollectorLock::acquire(QString *holder)
{
    if (m_lock->isLocked() || m_lock->tryLock(0))
        return true;
    if (holder)
        *holder = describe(m_path, *m_lock);
    return false;
}

void CollectorLock::release()
{
    m_lock->unlock();
}

bool CollectorLock::isHeld() const
{
    return m_lock->isLocked();
}

QString CollectorLock::holder(const QString &folder)
{
    const QString path = lockPath(folder);
    if (!QFileInfo::exists(path))
        return QString();
    auto probe = newLock(path);
    if (probe->tryLock(0)) {
        probe->unlock();
        return QString();
    }
    return describe(path, *probe);
}

qint64 CollectorLock::recordedPid(const QString &folder)
{
    qint64 pid = 0;
    QString host, program;
    return newLock(lockPath(folder))->getLockInfo(&pid, &host, &program) ? pid : 0;
}

} // namespace Veltrano
