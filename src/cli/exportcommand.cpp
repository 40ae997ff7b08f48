#include "exportcommand.h"

#include "export/csvwriter.h"
#include "store/databaseconfig.h"

#include <QCommandLineParser>

using namespace Veltrano::CommandLine;
using namespace Veltrano::MeasurementExport;

ExportCommand::Outcome ExportCommand::parse(const QStringList &arguments, QString *error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Exports the rows Veltrano recorded, oldest first, to CSV, .xlsx or .xls."));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption databaseOption =
        Veltrano::DatabaseConfig::commandLineOption(QStringLiteral("read"), QStringLiteral("sqlite.db here"));
    databaseOption.setDefaultValue(database);
    const QCommandLineOption fromOption(
        QStringLiteral("from"), QStringLiteral("First moment exported: YYYY-MM-DD, YYYY-MM-DDTHH:MM[:SS], or HH:MM[:SS] "
                                       "for today."),
        QStringLiteral("WHEN"));
    const QCommandLineOption toOption(QStringLiteral("to"),
                                      QStringLiteral("Last moment exported, as --from (a date or a minute: through its "
                                                     "last second)."),
                                      QStringLiteral("WHEN"));
    const QCommandLineOption instrumentOption(
        QStringLiteral("instrument"), QStringLiteral("An instrument's name, exactly as recorded (case counts); may be "
                                       "repeated."),
        QStringLiteral("NAME"));
    const QCommandLineOption formatOption(QStringLiteral("format"),
                                          QStringLiteral("csv, xlsx or xls (default: from OUTPUT's extension)."),
                                          QStringLiteral("FORMAT"));
    const QCommandLineOption separatorOption(QStringLiteral("separator"),
                                             QStringLiteral("The CSV field separator (default: ,)."),
                                             QStringLiteral("CHAR"), QStringLiteral(","));
    const QCommandLineOption decimalCommaOption(
        QStringLiteral("decimal-comma"),
        QStringLiteral("CSV: the value column with a decimal comma (12,5), fields separated by ; unless --separator "
                       "says otherwise."));
    const QCommandLineOption provenanceOption(
        QStringLiteral("provenance"),
        QStringLiteral("CSV and xlsx: add each row's state, received (UTC), age and hash columns."));
    const QCommandLineOption weighingsOption(
        QStringLiteral("weighings"),
        QStringLiteral("CSV and xlsx: only the rows that are weighings, one per line, with their header, sample, "
                       "series, trigger, kind, operator and class."));
    const QCommandLineOption seriesOption(
        QStringLiteral("series"),
        QStringLiteral("CSV and xlsx: one line per series of weighings with its figures (series, instrument_id, "
                       "first, last, n, mean, sd, rsd, min, max, range, unit, nominal, within, warning, outside, "
                       "below_minimum)."));
    const QCommandLineOption clearedOption(
        QStringLiteral("cleared"),
        QStringLiteral("CSV: the rows Clear moved into the archive instead, each with when and by whom it was cleared "
                       "(columns cleared_at, cleared_by)."));
    const QCommandLineOption checksOption(
        QStringLiteral("checks"),
        QStringLiteral("CSV and xlsx: the records of the balance checks instead, one line per test (instrument_id, "
                       "test, date, time, operator, weight, nominal, n, mean, sd, deviation, criterion, verdict); "
                       "--from, --to and --instrument choose among them."));
    const QCommandLineOption quietOption(QStringLiteral("quiet"),
                                         QStringLiteral("No progress bar and no summary line on a terminal."));
    parser.addOptions({databaseOption, fromOption, toOption, instrumentOption, formatOption, separatorOption,
                       decimalCommaOption, provenanceOption, weighingsOption, seriesOption, clearedOption, checksOption,
                       quietOption});
    parser.addPositionalArgument(QStringLiteral("OUTPUT"),
                                 QStringLiteral("The file to write, or - for CSV on standard output."));
    m_usage = parser.helpText();

    auto usageError = [error](const QString &reason) {
        *error = reason;
        return UsageError;
    };
    if (const Outcome parsed = parseWithOutput(parser, arguments, &output, error); parsed != Run)
        return parsed;
    database = parser.value(databaseOption);
    quiet = parser.isSet(quietOption);

    Selection &selection = request.selection;
    for (const auto &[option, endOfDay] : {std::pair(&fromOption, false), std::pair(&toOption, true)}) {
        if (!parser.isSet(*option))
            continue;
        const QDateTime when = parseWhen(parser.value(*option), endOfDay, QDate::currentDate());
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

    request.decimalComma = parser.isSet(decimalCommaOption);
    const QString separator = request.decimalComma && !parser.isSet(separatorOption) ? QStringLiteral(";")
                                                                                      : parser.value(separatorOption);
    if (separator.size() != 1 || !Veltrano::CsvWriter::isValidSeparator(separator.at(0)))
        return usageError(QStringLiteral("--separator: not a single separating character: %1").arg(separator));
    request.separator = separator.at(0);
    request.provenance = parser.isSet(provenanceOption);
    if (request.provenance && request.format == Format::Xls)
        return usageError(QStringLiteral("--provenance is for CSV and xlsx only: xls keeps its five columns"));
    if (request.decimalComma && request.format != Format::Csv)
        return usageError(QStringLiteral("--decimal-comma is for CSV only"));
    if (request.decimalComma && request.separator == QLatin1Char(','))
        return usageError(QStringLiteral("--decimal-comma needs a separator other than the comma"));
    request.weighings = parser.isSet(weighingsOption);
    if (request.weighings && request.format == Format::Xls)
        return usageError(QStringLiteral("--weighings is for CSV and xlsx only: xls keeps its five columns"));
    if (request.weighings && request.decimalComma)
        return usageError(QStringLiteral("--decimal-comma is for the value column, which --weighings has not"));
    request.series = parser.isSet(seriesOption);
    if (request.series && request.format == Format::Xls)
        return usageError(QStringLiteral("--series is for CSV and xlsx only"));
    if (request.series && (request.weighings || request.provenance))
        return usageError(QStringLiteral("--series writes a line per series: not with --weighings or --provenance"));
    cleared = parser.isSet(clearedOption);
    if (cleared && request.format != Format::Csv)
        return usageError(QStringLiteral("--cleared is for CSV only"));
    if (cleared && (parser.isSet(fromOption) || parser.isSet(toOption) || parser.isSet(instrumentOption)
                    || request.provenance || request.weighings || request.series))
        return usageError(QStringLiteral("--cleared exports the whole archive: not with --from, --to, --instrument, "
                                         "--provenance, --weighings or --series"));
    checks = parser.isSet(checksOption);
    if (checks && request.format == Format::Xls)
        return usageError(QStringLiteral("--checks is for CSV and xlsx only"));
    if (checks && (cleared || request.provenance || request.weighings || request.series))
        return usageError(QStringLiteral("--checks writes the check records: not with --cleared, --provenance, "
                                         "--weighings or --series"));
    request.fileName = output;
    return Run;
}
