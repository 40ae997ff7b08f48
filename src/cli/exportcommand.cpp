#include "exportcommand.h"

#include "export/csvwriter.h"

#include <QCommandLineParser>
#include <QRegularExpression>

using namespace Veltrano::MeasurementExport;

QDateTime parseWhen(const QString &text, bool endOfDay)
{
    static const QRegularExpression form(
        QStringLiteral("^(\\d{4}-\\d{2}-\\d{2})(?:[T ](\\d{2}:\\d{2}:\\d{2}))?$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return {};
    const QDate date = QDate::fromString(match.captured(1), Qt::ISODate);
    const QTime time = match.capturedLength(2) ? QTime::fromString(match.captured(2), Qt::ISODate)
                                               : (endOfDay ? QTime(23, 59, 59) : QTime(0, 0));
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time);
}

ExportCommand::Outcome ExportCommand::parse(const QStringList &arguments, QString *error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Exports the rows Veltrano recorded, oldest first, to CSV, .xlsx or .xls."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption databaseOption(
        QStringLiteral("database"), QStringLiteral("The database to read: a file (default: sqlite.db here), or a PostgreSQL "
                                                 "server's connection URI (postgresql://user@host/database)."),
        QStringLiteral("FILE|URI"), database);
    const QCommandLineOption fromOption(
        QStringLiteral("from"), QStringLiteral("First moment exported: YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS."),
        QStringLiteral("WHEN"));
    const QCommandLineOption toOption(QStringLiteral("to"),
                                      QStringLiteral("Last moment exported (a date: through its last second)."),
                                      QStringLiteral("WHEN"));
    const QCommandLineOption instrumentOption(
        QStringLiteral("instrument"), QStringLiteral("An instrument's name, exactly as recorded; may be repeated."),
        QStringLiteral("NAME"));
    const QCommandLineOption formatOption(QStringLiteral("format"),
                                          QStringLiteral("csv, xlsx or xls (default: from OUTPUT's extension)."),
                                          QStringLiteral("FORMAT"));
    const QCommandLineOption separatorOption(QStringLiteral("separator"),
                                             QStringLiteral("The CSV field separator (default: ,)."),
                                             QStringLiteral("CHAR"), QStringLiteral(","));
    const QCommandLineOption quietOption(QStringLiteral("quiet"), QStringLiteral("No progress bar."));
    parser.addOptions({databaseOption, fromOption, toOption, instrumentOption, formatOption, separatorOption,
                       quietOption});
    parser.addPositionalArgument(QStringLiteral("OUTPUT"),
                                 QStringLiteral("The file to write, or - for CSV on standard output."));
    m_usage = parser.helpText();

    auto usageError = [error](const QString &reason) {
        *error = reason;
        return UsageError;
    };
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(help))
        return Help;
    if (parser.isSet(version))
        return Version;

    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return usageError(positional.isEmpty() ? QStringLiteral("no OUTPUT given")
                                               : QStringLiteral("more than one OUTPUT given"));
    output = positional.first();
    database = parser.value(databaseOption);
    quiet = parser.isSet(quietOption);

    Selection &selection = request.selection;
    for (const auto &[option, endOfDay] : {std::pair(&fromOption, false), std::pair(&toOption, true)}) {
        if (!parser.isSet(*option))
            continue;
        const QDateTime when = parseWhen(parser.value(*option), endOfDay);
        if (!when.isValid())
            return usageError(QStringLiteral("--%1: not a date or date and time: %2")
                                  .arg(option->names().first(), parser.value(*option)));
        (endOfDay ? selection.to : selection.from) = when;
    }
    if (selection.from.isValid() && selection.to.isValid() && selection.from > selection.to)
        return usageError(QStringLiteral("--from is after --to"));
    selection.instruments = parser.values(instrumentOption);

    const QString formatName = parser.value(formatOption).toLower();
    if (parser.isSet(formatOption)) {
        if (!formatForFileName(QStringLiteral("x.") + formatName, &request.format))
            return usageError(QStringLiteral("unknown format: %1").arg(parser.value(formatOption)));
    } else if (output != QLatin1String("-") && !formatForFileName(output, &request.format)) {
        return usageError(QStringLiteral("cannot tell the format from the name %1: give --format").arg(output));
    }
    if (output == QLatin1String("-") && request.format != Format::Csv)
        return usageError(QStringLiteral("only CSV can be written to standard output"));

    const QString separator = parser.value(separatorOption);
    if (separator.size() != 1 || !Veltrano::CsvWriter::isValidSeparator(separator.at(0)))
        return usageError(QStringLiteral("--separator: not a single separating character: %1").arg(separator));
    request.separator = separator.at(0);
    request.fileName = output;
    return Run;
}
