#include "simoptions.h"

#include "support/makers.h"

#include <QCommandLineParser>

namespace Veltrano::Sim {

namespace {

QString simulatedTypes()
{
    QStringList names;
    for (const Makers::Type &type : Makers::kTypes) {
        if (type.simulated)
            names << QString::fromLatin1(type.value);
    }
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

const QString kDescription = QStringLiteral(
    "Plays a laboratory balance (or, with --scanner, a barcode scanner) on a pseudo-terminal (or, with --listen,\n"
    "on a TCP port) and prints the device (or the address) to collect from.\n"
    "By default a line every --interval: Sartorius lines all stable, the other makers' lines drift unstable and\n"
    "settle every fourth line. --print-on tells other ways a balance prints.");

QList<QCommandLineOption> optionList()
{
    return {
        {"link", "Also make PATH a symbolic link to the device.", "PATH"},
        {"listen", "Serve the balance on TCP port PORT (0: any free one) instead of a pseudo-terminal, "
                   "to every client that connects, as a serial device server in raw TCP mode.",
         "PORT"},
        {"maker", "Whose print lines to send: " + simulatedTypes()
                      + " (the instrument types; barcode is a scanner). Default sartoriusBasic.",
         "NAME", "sartoriusBasic"},
        {"layout", "Sartorius print-line length: 16 (no header) or 22 (with header). "
                   "Default 16 for sartoriusBasic, 22 for sartoriusSignum.",
         "N"},
        {"print-on", "When the balance prints: interval (a line every --interval, the default); key (at each press "
                     "of its print key, at random moments about --interval apart: one stable line of a new load); "
                     "stable (once each load settles: one stable line, then nothing until the next load); "
                     "continuous-loads (a line every --interval while loads are put on, settle, and are taken off).",
         "MODE", "interval"},
        {"scanner", "Play a serial barcode scanner: sample IDs, each ending in CR LF, at random moments about "
                    "--interval apart. The same as --maker barcode."},
        {"ids", "The scanner's sample IDs, comma-separated, sent in turn and again from the first; a run of # "
                "stands for the number of the scan (S-####: S-0001, S-0002, ...). Default S-####.",
         "LIST", "S-####"},
        {"interval", "Milliseconds between print lines. Default 1000.", "MS", "1000"},
        {"value", "First weight (the first load). Default 100.", "X", "100"},
        {"drift", "Largest change from one line to the next. Default 0.05.", "X", "0.05"},
        {"decimals", "Digits after the decimal point. Default 2.", "N", "2"},
        {"unit", "Unit, up to 3 characters. Default g.", "TEXT", "g"},
        {"header", "Header of 22-byte lines, up to 6 characters. Default N.", "TEXT", "N"},
        {"errors", "Sartorius: every N-th line is an error line (Err and a code).", "N", "0"},
        {"status", "Sartorius: every N-th line is a status line (Stat).", "N", "0"},
        {"split", "Every N-th line is sent in two fragments.", "N", "0"},
        {"lone-lf", "Every N-th line is followed by a lone line feed.", "N", "0"},
        {"garbage", "Every N-th line comes after noise bytes.", "N", "0"},
        {"silence", "After every N-th line stay silent for MS milliseconds.", "N:MS"},
        {"count", "Stop after N lines (or scans). Default 0: never.", "N", "0"},
        {"seed", "Seed for the drift, the loads, the moments and the noise. Default 1.", "N", "1"},
    };
}

// Reads the option values in turn; the first one that cannot be taken is
// the error.
class Reader
{
public:
    explicit Reader(const QCommandLineParser &parser)
        : m_parser(parser)
    {
    }

    QString value(const char *name) const { return m_parser.value(QLatin1String(name)); }
    bool isSet(const char *name) const { return m_parser.isSet(QLatin1String(name)); }

    // A whole number from 0 up.
    int count(const char *name)
    {
        bool fine = false;
        const int number = value(name).toInt(&fine);
        check(fine && number >= 0, name);
        return number;
    }

    double number(const char *name, bool negativeToo)
    {
        bool fine = false;
        const double number = value(name).toDouble(&fine);
        check(fine && (negativeToo || number >= 0), name);
        return number;
    }

    // Records the first option whose value cannot be taken.
    void check(bool fine, const char *name)
    {
        if (!fine && m_error.isEmpty())
            m_error = QStringLiteral("invalid value for --%1: '%2'").arg(QLatin1String(name), value(name));
    }

    void refuse(const QString &reason)
    {
        if (m_error.isEmpty())
            m_error = reason;
    }

    const QString &error() const { return m_error; }

private:
    const QCommandLineParser &m_parser;
    QString m_error;
};

} // namespace

CommandLine::Outcome readOptions(const QStringList &arguments, Options *options, QString *text)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(kDescription);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOptions(optionList());
    if (!parser.parse(arguments)) {
        *text = parser.errorText();
        return CommandLine::UsageError;
    }
    if (parser.isSet(help)) {
        *text = parser.helpText();
        return CommandLine::Help;
    }
    if (parser.isSet(version))
        return CommandLine::Version;
    if (!parser.positionalArguments().isEmpty()) {
        *text = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().constFirst());
        return CommandLine::UsageError;
    }

    Reader read(parser);
    Scenario &scenario = options->scenario;
    scenario.intervalMs = read.count("interval");
    scenario.decimals = read.count("decimals");
    scenario.errorEvery = read.count("errors");
    scenario.statusEvery = read.count("status");
    scenario.splitEvery = read.count("split");
    scenario.loneLineFeedEvery = read.count("lone-lf");
    scenario.garbageEvery = read.count("garbage");
    scenario.count = read.count("count");
    scenario.seed = quint32(read.count("seed"));
    scenario.value = read.number("value", true);
    scenario.drift = read.number("drift", false);
    scenario.unit = read.value("unit").toUtf8();
    scenario.header = read.value("header").toUtf8();
    if (read.isSet("silence")) {
        const QStringList parts = read.value("silence").split(QLatin1Char(':'));
        bool every = false, ms = false;
        scenario.silenceEvery = parts.value(0).toInt(&every);
        scenario.silenceMs = parts.value(1).toInt(&ms);
        read.check(parts.size() == 2 && every && ms && scenario.silenceEvery >= 0 && scenario.silenceMs >= 0,
                   "silence");
    }

    const QString maker = read.value("maker");
    read.check(makerNamed(maker, &scenario.maker), "maker");
    read.check(printOnNamed(read.value("print-on"), &scenario.printOn), "print-on");
    if (read.isSet("scanner")) {
        if (read.isSet("maker") && scenario.maker != Maker::Barcode)
            read.refuse(QStringLiteral("--scanner goes without --maker %1").arg(maker));
        scenario.maker = Maker::Barcode;
    }
    const bool scanner = scenario.maker == Maker::Barcode;
    if (scanner && read.isSet("print-on"))
        read.refuse(QStringLiteral("a scanner sends at random moments: --print-on is for balances"));
    if (read.isSet("ids")) {
        scenario.ids.clear();
        for (const QString &id : read.value("ids").split(QLatin1Char(',')))
            scenario.ids << id.trimmed().toUtf8();
        read.check(!scenario.ids.contains(QByteArray()), "ids");
        if (!scanner)
            read.refuse(QStringLiteral("--ids is for a scanner (--scanner)"));
    }

    const Makers::Type *type = Makers::typeNamed(maker);
    scenario.layout = type && type->simulatedLayout > 0 ? type->simulatedLayout : 16;
    if (read.isSet("layout")) {
        scenario.layout = read.count("layout");
        read.check(scenario.layout == 16 || scenario.layout == 22, "layout");
    }

    if (read.isSet("listen")) {
        options->listenPort = read.count("listen");
        read.check(options->listenPort <= 65535, "listen");
        if (read.isSet("link"))
            read.refuse(QStringLiteral("--listen goes without --link"));
    }
    options->link = read.value("link");

    if (!read.error().isEmpty()) {
        *text = read.error();
        return CommandLine::UsageError;
    }
    return CommandLine::Run;
}

} // namespace Veltrano::Sim
