#pragma once

#include <QByteArray>
#include <QTemporaryFile>

// Sends everything written to file descriptor 2 into a file for its lifetime,
// so a test can read back the exact bytes of the diagnostic lines.
class StderrCapture
{
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    // Everything written since the capture began or since the last take().
    QByteArray take();

private:
    QTemporaryFile m_file;
    int m_saved = -1;
    qint64 m_offset = 0;
};

// Installs the program's message handler, minus one line of noise: the
// offscreen platform warns "does not support propagateSizeHints()" for
// every box it shows, which would otherwise open a warning box of its own.
void installTestMessageHandler();
