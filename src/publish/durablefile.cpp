#include "publish/durablefile.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace Veltrano::DurableFile {

bool sync(QFileDevice &file, QString *error)
{
    if (file.flush() && ::fdatasync(file.handle()) == 0)
        return true;
    *error = file.error() != QFileDevice::NoError ? file.errorString() : QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

bool syncFolder(const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (!synced)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    if (fd >= 0)
        ::close(fd);
    return synced;
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
    if (written && ::rename(QFile::encodeName(part.fileName()).constData(),
                            QFile::encodeName(dir.filePath(name)).constData()) == 0)
        return syncFolder(folder, &error) ? QString() : error;
    if (written)
        error = QString::fromLocal8Bit(std::strerror(errno));
    part.remove();
    return error;
}

} // namespace Veltrano::DurableFile
