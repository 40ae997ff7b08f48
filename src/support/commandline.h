#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>

class QCommandLineParser;

namespace Veltrano::CommandLine {

// What a program's command line asks for.
enum Outcome { Run, Help, Version, UsageError };

// Exit status of a command line the program cannot follow.
inline constexpr int kUsageStatus = 2;

// Ends `program` as a command line that does not run it asks: `help` (its
// "Usage:" line naming `program`, not the path it was started by), or
// the program's name and QCoreApplication's version, on standard output
// with status 0; for a usage error, `reason` in one line and where to read
// how it is done on standard error, with kUsageStatus. -1 for Run.
int answer(const char *program, Outcome outcome, const QString &help, const QString &reason);

// `help` with the first word of its "Usage:" line, the program as started
// (QCommandLineParser writes the whole path there), replaced by `program`.
QString namedUsage(const char *program, const QString &help);

// Parses `arguments` with `parser` (given its help and version options) for
// a program that writes one OUTPUT: Run with it in `output`, Help, Version,
// or UsageError with the reason in `error`.
Outcome parseWithOutput(QCommandLineParser &parser, const QStringList &arguments, QString *output, QString *error);

// A date or a date and time of the command line: YYYY-MM-DD,
// YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS (a space for the T), or HH:MM[:SS]
// on `today`. A date or a minute stands for its first second, or with
// `endOfDay` for its last. Invalid when malformed.
QDateTime parseWhen(const QString &text, bool endOfDay, const QDate &today);

} // namespace Veltrano::CommandLine
