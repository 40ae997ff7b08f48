#include "support/commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

#include <cstdio>

namespace Veltrano::CommandLine {

Outcome parseWithOutput(QCommandLineParser &parser, const QStringList &arguments, QString *output, QString *error)
{
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return UsageError;
    }
    if (parser.isSet(QStringLiteral("help")))
        return Help;
    if (parser.isSet(QStringLiteral("version")))
        return Version;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        *error = positional.isEmpty() ? QStringLiteral("no OUTPUT given") : QStringLiteral("more than one OUTPUT given");
        return UsageError;
    }
    *output = positional.first();
    return Run;
}

QDateTime parseWhen(const QString &text, bool endOfDay, const QDate &today)
{
    static const QRegularExpression form(QStringLiteral(
        "^(?:(\\d{4}-\\d{2}-\\d{2})(?:[T ](\\d{2}:\\d{2})(:\\d{2})?)?|(\\d{2}:\\d{2})(:\\d{2})?)$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return {};
    const bool bareTime = match.capturedLength(4) > 0;
    const QDate date = bareTime ? today : QDate::fromString(match.captured(1), Qt::ISODate);
    const QString minute = match.captured(bareTime ? 4 : 2);
    QString seconds = match.captured(bareTime ? 5 : 3);
    if (seconds.isEmpty())
        seconds = QLatin1String(endOfDay ? ":59" : ":00");
    const QTime time = minute.isEmpty() ? (endOfDay ? QTime(23, 59, 59) : QTime(0, 0))
                                        : QTime::fromString(minute + seconds, QStringLiteral("HH:mm:ss"));
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time);
}

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
