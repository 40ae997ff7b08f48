#include "collect/stableports.h"

#include <QDir>
#include <QFileInfo>

namespace Veltrano::StablePorts {

QString folder()
{
#ifdef Q_OS_LINUX
    return QStringLiteral("/dev/serial/by-id");
#else
    return QString();
#endif
}

QList<Name> names(const QString &folder, const QList<Adapter> &adapters)
{
    QList<Name> found;
    if (folder.isEmpty())
        return found;
    const QFileInfoList links = QDir(folder).entryInfoList(QDir::System | QDir::Files, QDir::Name);
    for (const QFileInfo &link : links) {
        if (!link.isSymLink())
            continue;
        const QString target = link.canonicalFilePath();
        for (const Adapter &adapter : adapters) {
            if (target.isEmpty() || QFileInfo(adapter.systemLocation).canonicalFilePath() != target)
                continue;
            QString description = QStringList{adapter.manufacturer, adapter.serialNumber}.join(QLatin1Char(' ')).trimmed();
            if (description.isEmpty())
                description = adapter.description;
            found.append({link.absoluteFilePath(), description});
        }
    }
    return found;
}

} // namespace Veltrano::StablePorts
