#include "collect/portaccess.h"

#include <QFileInfo>

namespace Veltrano::PortAccess {

QString deviceLocation(const QString &portName)
{
#ifdef Q_OS_WIN
    if (portName.startsWith(QLatin1String("\\\\.\\")) || portName.startsWith(QLatin1String("//./")))
        return portName;
    return QLatin1String("\\\\.\\") + portName;
#else
    if (portName.startsWith(QLatin1Char('/')) || portName.startsWith(QLatin1String("./"))
        || portName.startsWith(QLatin1String("../")))
        return portName;
    return QLatin1String("/dev/") + portName;
#endif
}

DeviceFacts inspect(const QString &location)
{
    const QFileInfo info(location);
    DeviceFacts facts;
    facts.exists = info.exists();
    if (facts.exists) {
        facts.readable = info.isReadable();
        facts.writable = info.isWritable();
        facts.group = info.group();
    }
    return facts;
}

QString likelyCause(const QString &location, const DeviceFacts &facts)
{
    if (!facts.exists)
        return QStringLiteral("%1 is not there to check; another program probably holds the port open").arg(location);
    if (facts.readable && facts.writable)
        return QStringLiteral("this user may read and write %1, so another program probably holds it open")
            .arg(location);
    if (facts.group.isEmpty())
        return QStringLiteral("this user may not read and write %1").arg(location);
    return QStringLiteral("this user may not read and write %1, which belongs to the group %2: "
                          "add the user to that group (sudo adduser $USER %2) and log in again")
        .arg(location, facts.group);
}

} // namespace Veltrano::PortAccess
