#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <mutex>

namespace Veltrano::Log {

// The trace of a program started from the desktop: a file that never grows
// past its cap. When a line would take it past, the file becomes FILE.1
// (FILE.1 becomes FILE.2, and so on up to `kept` old files; the oldest goes)
// and a new FILE begins. Lines come from any thread, whole.
class TraceFile
{
public:
    static constexpr qint64 kMaxBytes = 1024 * 1024;
    static constexpr int kKept = 2;

    TraceFile() = default;
    ~TraceFile();
    TraceFile(const TraceFile &) = delete;
    TraceFile &operator=(const TraceFile &) = delete;

    // Makes the folder and appends to `path`; false with the reason when it
    // cannot.
    bool open(const QString &path, QString *error, qint64 maxBytes = kMaxBytes, int kept = kKept);
    // False when the line could not be written.
    bool write(const QByteArray &line);
    QString path() const { return m_path; }

private:
    bool rotate();

    std::mutex m_mutex;
    std::FILE *m_file = nullptr;
    QString m_path;
    qint64 m_size = 0;
    qint64 m_maxBytes = kMaxBytes;
    int m_kept = kKept;
};

// The user's folder for what a program leaves behind as it runs (logs):
// $XDG_STATE_HOME/veltrano, else ~/.local/state/veltrano.
QString stateFolder();

} // namespace Veltrano::Log
