#include "support/commandline.h"

#include <QCoreApplication>

#include <cstdio>

namespace Veltrano::CommandLine {

int answer(const char *program, Outcome outcome, const QString &help, const QString &reason)
{
    switch (outcome) {
    case Help:
        std::fputs(help.toLocal8Bit().constData(), stdout);
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
