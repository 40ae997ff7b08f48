#include "pseudoterminal.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace Veltrano::Sim {

namespace {

QString systemError(const char *what)
{
    return QString::fromLatin1(what) + QLatin1String(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

} // namespace

PseudoTerminal::~PseudoTerminal()
{
    hangUp();
}

bool PseudoTerminal::open(QString *error)
{
    if (isOpen())
        return true;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        setError(error, systemError("posix_openpt"));
        return false;
    }
    const char *name = nullptr;
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || !(name = ::ptsname(master))) {
        setError(error, systemError("pseudo-terminal set-up"));
        ::close(master);
        return false;
    }
    const QString path = QString::fromLocal8Bit(name);
    const int device = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (device < 0) {
        setError(error, systemError("open device side"));
        ::close(master);
        return false;
    }
    termios raw {};
    if (::tcgetattr(device, &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(device, TCSANOW, &raw);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

    m_master = master;
    m_device = device;
    m_devicePath = path;
    return true;
}

bool PseudoTerminal::makeLink(const QString &linkPath, QString *error)
{
    if (!isOpen()) {
        setError(error, QStringLiteral("no pseudo-terminal"));
        return false;
    }
    const QByteArray link = QFile::encodeName(linkPath);
    // Replace a stale link left by an earlier run, but never a real file.
    struct stat info {};
    if (::lstat(link.constData(), &info) == 0 && S_ISLNK(info.st_mode))
        ::unlink(link.constData());
    if (::symlink(QFile::encodeName(m_devicePath).constData(), link.constData()) != 0) {
        setError(error, systemError("symlink"));
        return false;
    }
    m_linkPath = linkPath;
    return true;
}

bool PseudoTerminal::write(const QByteArray &bytes)
{
    if (!isOpen())
        return false;
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    bool drained = false;
    while (left > 0) {
        const ssize_t written = ::write(m_master, data, size_t(left));
        if (written > 0) {
            data += written;
            left -= written;
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && errno == EAGAIN && !drained) {
            // Nobody reads the line: make room as a real line would, by losing old bytes.
            discardQueued();
            drained = true;
        } else {
            return false;
        }
    }
    return true;
}

void PseudoTerminal::discardQueued()
{
    char sink[4096];
    while (::read(m_device, sink, sizeof sink) > 0) {
    }
}

void PseudoTerminal::hangUp()
{
    if (!m_linkPath.isEmpty()) {
        ::unlink(QFile::encodeName(m_linkPath).constData());
        m_linkPath.clear();
    }
    if (m_device >= 0)
        ::close(m_device);
    if (m_master >= 0)
        ::close(m_master);
    m_device = -1;
    m_master = -1;
}

} // namespace Veltrano::Sim
