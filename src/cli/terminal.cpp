#include "terminal.h"

#include <QFile>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <io.h>
#endif

namespace Terminal {

bool isTerminal(int fd)
{
#ifdef Q_OS_UNIX
    return isatty(fd);
#elif defined(Q_OS_WIN)
    return _isatty(fd);
#else
    Q_UNUSED(fd);
    return false;
#endif
}

int columns(int fd)
{
#if defined(Q_OS_UNIX) && defined(TIOCGWINSZ)
    winsize size{};
    if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
#else
    Q_UNUSED(fd);
#endif
    const int fromEnvironment = qEnvironmentVariableIntValue("COLUMNS");
    return fromEnvironment > 0 ? fromEnvironment : 80;
}

namespace {

// Read by the signal handler: the path is complete while `havePath` is set.
char removePath[4096];
volatile std::sig_atomic_t havePath = 0;

extern "C" void interrupted(int signal)
{
    if (havePath) {
#ifdef Q_OS_UNIX
        unlink(removePath);  // async-signal-safe, unlike remove()
#else
        std::remove(removePath);
#endif
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);  // ends as the signal would have
}

} // namespace

void removeOnInterrupt(const QString &path)
{
    static const bool installed = [] {
        for (int signal : {SIGINT, SIGTERM
#ifdef SIGHUP
                           , SIGHUP
#endif
             }) {
            if (std::signal(signal, interrupted) == SIG_IGN)
                std::signal(signal, SIG_IGN);  // as nohup or a background job asked
        }
        return true;
    }();
    Q_UNUSED(installed);
    havePath = 0;
    const QByteArray encoded = QFile::encodeName(path);
    if (encoded.isEmpty() || encoded.size() >= int(sizeof removePath))
        return;
    std::memcpy(removePath, encoded.constData(), size_t(encoded.size()) + 1);
    havePath = 1;
}

} // namespace Terminal
