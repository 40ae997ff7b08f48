#include "support/logfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

namespace Veltrano::Log {

namespace {

std::FILE *openForAppending(const QString &path)
{
    return std::fopen(QFile::encodeName(path).constData(), "ab");
}

} // namespace

TraceFile::~TraceFile()
{
    if (m_file)
        std::fclose(m_file);
}

bool TraceFile::open(const QString &path, QString *error, qint64 maxBytes, int kept)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        *error = QStringLiteral("cannot make the folder %1").arg(QFileInfo(path).absolutePath());
        return false;
    }
    std::FILE *file = openForAppending(path);
    if (!file) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (m_file)
        std::fclose(m_file);
    m_file = file;
    m_path = path;
    m_size = QFileInfo(path).size();
    m_maxBytes = maxBytes;
    m_kept = kept;
    return true;
}

bool TraceFile::rotate()
{
    std::fclose(m_file);
    m_file = nullptr;
    const auto old = [this](int n) { return m_path + QLatin1Char('.') + QString::number(n); };
    QFile::remove(old(m_kept));
    for (int n = m_kept - 1; n >= 1; --n)
        QFile::rename(old(n), old(n + 1));
    if (m_kept > 0)
        QFile::rename(m_path, old(1));
    else
        QFile::remove(m_path);
    m_file = openForAppending(m_path);
    m_size = QFileInfo(m_path).size();
    return m_file != nullptr;
}

bool TraceFile::write(const QByteArray &line)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_size > 0 && m_size + line.size() > m_maxBytes && (!m_file || !rotate()))
        return false;
    if (!m_file)
        return false;
    const size_t written = std::fwrite(line.constData(), 1, size_t(line.size()), m_file);
    m_size += qint64(written);
    return std::fflush(m_file) == 0 && written == size_t(line.size());
}

QString stateFolder()
{
    QString base = QFile::decodeName(qgetenv("XDG_STATE_HOME"));
    // A relative path is to be ignored, as for every XDG folder.
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QLatin1String("/.local/state");
    return base + QLatin1String("/veltrano");
}

} // namespace Veltrano::Log
