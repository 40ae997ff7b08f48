#include "support/logformat.h"

#include <QRegularExpression>

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

QString withoutTracePrefix(const QString &line)
{
    // "file ( 12 ) void Class::function(args) const items": the signature
    // ends at the first ") " after the line number.
    static const QRegularExpression prefix(QStringLiteral("^\\S+ \\( \\d+ \\) [^\\n]*?\\)( const)? "));
    const QRegularExpressionMatch match = prefix.match(line);
    return match.hasMatch() ? line.mid(match.capturedEnd()) : line;
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
