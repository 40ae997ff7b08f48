#include "support/logformat.h"

namespace Veltrano::Log {

bool isDemotedWarning(const QString &message)
{
    for (const char *known : kDemotedWarnings) {
        if (message.contains(QLatin1String(known), Qt::CaseSensitive))
            return true;
    }
    return false;
}

namespace {
thread_local int recordingDepth = 0;
} // namespace

RecordingScope::RecordingScope()
{
    ++recordingDepth;
}

RecordingScope::~RecordingScope()
{
    --recordingDepth;
}

bool RecordingScope::active()
{
    return recordingDepth > 0;
}

QByteArray stderrLine(QtMsgType type, const QString &message)
{
    QByteArray prefix;
    switch (type) {
    case QtDebugMsg:
        prefix = "Debug: ";
        break;
    case QtWarningMsg:
        prefix = "Warning: ";
        break;
    case QtCriticalMsg:
        prefix = "Critical: ";
        break;
    case QtFatalMsg:
        prefix = "Fatal: ";
        break;
    default:
        return {};
    }
    return prefix + message.toUtf8() + '\n';
}

QString boxTitle(QtMsgType type)
{
    switch (type) {
    case QtWarningMsg:
        return QStringLiteral("Warning");
    case QtCriticalMsg:
        return QStringLiteral("Critical");
    case QtFatalMsg:
        return QStringLiteral("Fatal");
    default:
        return {};
    }
}

} // namespace Veltrano::Log
