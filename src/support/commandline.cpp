#include "support/commandline.h"

#include <QCoreApplication>

#include <cstdio>

namespace Veltrano::CommandLine {

QString namedUsage(const char *program, const QString &help)
{
    const QLatin1String usage("Usage: ");
    if (!help.startsWith(usage))
        return help;
    const QStringList arguments = QCoreApplication::instance() ? QCoreApplication::arguments() : QStringList();
    const QString started = arguments.value(0);
    if (!started.isEmpty() && QStringView(help).mid(usage.size()).startsWith(started))
        return usage + QLatin1String(program) + help.mid(usage.size() + started.size());
    return help;
}

int answer(const char *program, Outcome outcome, const QString &help, const QString &reason)
{
    switch (outcome) {
    case Help:
        std::fputs(namedUsage(program, help).toLocal8Bit().constData(), stdout);
        return 0;
    case Version:
        std::printf("%s %s\n", program, QCoreApplication::applicationVersion().toLocal8Bit().constData());
        return 0;
    case UsageError:
        std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program,
                     reason.toLocal8Bit().constData(), program);
        return kUsageStatus;
    case Run:
        break;
    }
    return -1;
}

} // namespace Veltrano::CommandLine
