#include "stderrcapture.h"

#include "startup.h"

#include <cstdio>
#include <unistd.h>

StderrCapture::StderrCapture()
{
    if (!m_file.open())
        return;
    std::fflush(stderr);
    m_saved = ::dup(STDERR_FILENO);
    ::dup2(m_file.handle(), STDERR_FILENO);
}

StderrCapture::~StderrCapture()
{
    if (m_saved < 0)
        return;
    std::fflush(stderr);
    ::dup2(m_saved, STDERR_FILENO);
    ::close(m_saved);
}

QByteArray StderrCapture::take()
{
    std::fflush(stderr);
    QFile reader(m_file.fileName());
    if (!reader.open(QIODevice::ReadOnly))
        return {};
    reader.seek(m_offset);
    QByteArray bytes = reader.readAll();
    m_offset += bytes.size();
    // Printed by Qt itself when a box opens on the offscreen platform inside
    // the message handler (where Qt bypasses the installed handler).
    bytes.replace("This plugin does not support propagateSizeHints()\n", "");
    return bytes;
}

static void testMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    if (type == QtWarningMsg && msg == QLatin1String("This plugin does not support propagateSizeHints()"))
        return;
    msgHandler(type, context, msg);
}

void installTestMessageHandler()
{
    qInstallMessageHandler(testMessageHandler);
}
