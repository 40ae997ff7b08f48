#include "support/durablefile.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace Veltrano::DurableFile {

namespace {

bool onDisk(int handle)
{
#if defined(Q_OS_WIN)
    return ::_commit(handle) == 0;
#elif defined(Q_OS_LINUX)
    return ::fdatasync(handle) == 0;  // the size too, not the times
#else
    return ::fsync(handle) == 0;
#endif
}

} // namespace

bool sync(QFileDevice &file, QString *error)
{
    if (file.flush() && onDisk(file.handle()))
        return true;
    if (error)
        *error = file.error() != QFileDevice::NoError ? file.errorString() : QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

bool syncFolder(const QString &path, QString *error)
{
#ifdef Q_OS_WIN
    // A rename is on the disk once it returns.
    Q_UNUSED(path);
    Q_UNUSED(error);
    return true;
#else
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (!synced && error)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    if (fd >= 0)
        ::close(fd);
    return synced;
#endif
}

QString partName(const QString &name) { return QLatin1Char('.') + name + QLatin1String(".part"); }

bool isPartName(const QString &name) { return name.startsWith(QLatin1Char('.')) && name.endsWith(QLatin1String(".part")); }

QString writeWhole(const QString &folder, const QString &name, const QByteArray &content)
{
    const QDir dir(folder);
    QFile part(dir.filePath(partName(name)));
    QString error;
    if (!part.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return part.errorString();
    const bool written = part.write(content) == content.size() && sync(part, &error);
    if (!written && error.isEmpty())
        error = part.errorString();
    part.close();
    if (written && std::rename(QFile::encodeName(part.fileName()).constData(),
                               QFile::encodeName(dir.filePath(name)).constData()) == 0)
        return syncFolder(folder, &error) ? QString() : error;
    if (written)
        error = QString::fromLocal8Bit(std::strerror(errno));
    part.remove();
    return error;
}

} // namespace Veltrano::DurableFile
