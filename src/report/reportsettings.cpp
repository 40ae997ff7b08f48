#include "report/reportsettings.h"

#include "support/inifile.h"

#include <QFileInfo>
#include <QSettings>

namespace Veltrano {

ReportSettings readReportSettings(const QString &path, QString *error)
{
    ReportSettings settings;
    QStringList problems;
    if (error)
        error->clear();
    const QFileInfo info(path);
    if (!info.exists())
        return settings;
    if (!info.isFile() || !info.isReadable()) {
        if (error)
            *error = QStringLiteral("%1 cannot be read.").arg(path);
        return settings;
    }
    const auto ini = IniFile::open(path);
    if (ini->status() != QSettings::NoError)
        problems << QStringLiteral("%1 cannot be read as an INI file.").arg(path);

    ini->beginGroup(QStringLiteral("report"));
    settings.lab = ini->value(QStringLiteral("lab")).toString().trimmed();
    const QString paper = ini->value(QStringLiteral("paper")).toString().trimmed();
    ini->endGroup();

    if (paper.compare(QLatin1String("Letter"), Qt::CaseInsensitive) == 0)
        settings.paper = PaperSize::Letter;
    else if (!paper.isEmpty() && paper.compare(QLatin1String("A4"), Qt::CaseInsensitive) != 0)
        problems << QStringLiteral("%1: paper=%2 is neither A4 nor Letter; A4 is used.").arg(path, paper);

    if (error)
        *error = problems.join(QLatin1Char(' '));
    return settings;
}

} // namespace Veltrano
