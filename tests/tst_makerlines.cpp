// The print lines of each balance maker, as their manuals show them: what is
// stored of each line, whether it is stable or out of range, what it says the
// weight is, why a line is skipped; the same lines told apart by the automatic
// format and its generic reading; lines torn, glued and empty in the receive
// buffer; a barcode scanner's lines; the makers' table; the simulator's lines
// and print modes read back, and its command line.
#include "balancesimulator.h"
#include "collect/instrumentconfig.h"
#include "collect/makerlines.h"
#include "simoptions.h"
#include "support/makers.h"

#include <QtTest>

using namespace Veltrano::PrintLine;
using Veltrano::Sim::PrintOn;
Q_DECLARE_METATYPE(Veltrano::PrintLine::Format)
Q_DECLARE_METATYPE(Veltrano::Sim::PrintOn)

namespace {

// "kind|header|result|unit|stability|load", then "|gross", "|net" or "|tare"
// where the line tells what the weight is; the kind as the live view tells
// it ("reading", "reading (generic layout)", the skip reason).
QString outcome(const Parsed &parsed)
{
    static const char *stabilities[] = {"", "stable", "unstable"};
    static const char *loads[] = {"", "overload", "underload"};
    static const char *weights[] = {"", "|gross", "|net", "|tare"};
    return QStringList{outcomeText(parsed).remove(QStringLiteral("skipped: ")), parsed.header, parsed.result,
                       parsed.unit, stabilities[int(parsed.stability)], loads[int(parsed.load)]}
               .join('|')
        + weights[int(parsed.weight)];
}

// Every line `format` cuts from `stream`, each as outcome() tells it; what
// stays in the buffer is `rest`.
QStringList cutAll(QByteArray stream, Format format, QByteArray *rest = nullptr)
{
    QStringList outcomes;
    for (QByteArray line = takeLine(stream, format); !line.isEmpty(); line = takeLine(stream, format))
        outcomes << outcome(parse(line, format));
    if (rest)
        *rest = stream;
    return outcomes;
}

} // namespace

class TestMakerLines : public QObject
{
    Q_OBJECT
private slots:
    void lines_data()
    {
        QTest::addColumn<Format>("format");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("automatic");  // empty: as expected

        const auto row = [](const char *name, Format format, const QByteArray &line, const QString &expected,
                            const QString &automatic = QString()) {
            QTest::newRow(name) << format << line << expected << automatic;
        };
        const Format sartorius = Format::Sartorius, mt = Format::MettlerToledoSics, ad = Format::AndStandard,
                     ohaus = Format::Ohaus, radwag = Format::RadwagKern, shimadzu = Format::Shimadzu;
        const QString notRecognised = "layout not recognised|||||";

        row("sartorius stable", sartorius, "+    12.34 g  \r\n", "reading||+12.34|g  |stable|");
        row("sartorius unstable", sartorius, "-    12.30    \r\n", "reading||-12.30|   |unstable|");
        row("sartorius overload", sartorius, "      H       \r\n", "reading||H|   |unstable|overload");
        row("sartorius header", sartorius, "N     +    12.34 g  \r\n", "reading|N     |+12.34|g  |stable||net");
        row("sartorius gross", sartorius, "G#    +   1255.7 g  \r\n", "reading|G#    |+1255.7|g  |stable||gross");
        row("sartorius tare", sartorius, "T     +    12.00 g  \r\n", "reading|T     |+12.00|g  |stable||tare");
        row("sartorius preset tare", sartorius, "PT2   +    12.00 g  \r\n", "reading|PT2   |+12.00|g  |stable||tare");
        row("sartorius sum of gross", sartorius, "*G    +   2511.4 g  \r\n", "reading|*G    |+2511.4|g  |stable|");
        row("sartorius pieces", sartorius, "Qnt   +      253 pcs\r\n", "reading|Qnt   |+253|pcs|stable|");
        row("sartorius status", sartorius, "Stat        L       \r\n", "status line|Stat  |L|   ||underload");
        row("sartorius error", sartorius, "   Err 54     \r\n", "error code|||||");
        row("sartorius length", sartorius, "+  12.34 g\r\n", "length|||||", "reading (generic layout)||+12.34|g||");

        row("mt stable", mt, "S S     100.00 g\r\n", "reading|S S|100.00|g|stable|");
        row("mt dynamic", mt, "S D     129.07 g\r\n", "reading|S D|129.07|g|unstable|");
        row("mt negative", mt, "S S    -12.345 mg\r\n", "reading|S S|-12.345|mg|stable|");
        row("mt overload", mt, "S +\r\n", "status line|S +||||overload");
        row("mt not executable", mt, "S I\r\n", "not a reading|S I||||");
        row("mt syntax error", mt, "ES\r\n", "not a reading|ES||||");
        row("mt echo", mt, "SIR\r\n", "not a reading|||||", notRecognised);
        row("mt other answer", mt, "I4 A \"B021002593\"\r\n", "not a reading|||||", notRecognised);

        row("a&d stable", ad, "ST,+00012.78  g\r\n", "reading|ST|+00012.78|g|stable|");
        row("a&d unstable", ad, "US,-00183.96  g\r\n", "reading|US|-00183.96|g|unstable|");
        row("a&d counting", ad, "QT,+00012345 PC\r\n", "reading|QT|+00012345|PC|stable|");
        row("a&d overload", ad, "OL,+9999999E+19\r\n", "reading|OL|+9999999E+19|||overload");
        row("a&d underload", ad, "OL,-9999999E+19\r\n", "reading|OL|-9999999E+19|||underload");
        row("a&d 16 bytes", ad, "ST,+0012.78 kg\r\n", "reading|ST|+0012.78|kg|stable|");
        row("a&d csv", ad, "ST,+000.1278,  g\r\n", "reading|ST|+000.1278|g|stable|");
        row("a&d other header", ad, "WT,+00012.78  g\r\n", notRecognised);
        row("a&d indicator gross", ad, "ST,GS,+0012.345 kg\r\n", "reading|ST,GS|+0012.345|kg|stable||gross");
        row("a&d indicator net", ad, "US,NT,-0000.200 kg\r\n", "reading|US,NT|-0000.200|kg|unstable||net");
        row("a&d indicator tare", ad, "ST,TR,+0000.500 kg\r\n", "reading|ST,TR|+0000.500|kg|stable||tare");
        row("a&d indicator overload", ad, "OL,GS,+    .   kg\r\n", "status line|OL,GS||||overload");
        row("a&d indicator total", ad, "ST,TW,+0012.345 kg\r\n", notRecognised);

        row("ohaus stable", ohaus, "    192.21 g  \r\n", "reading||192.21|g|stable|", "reading||192.21|g  |stable|");
        row("ohaus unstable", ohaus, "      0.01 g ?\r\n", "reading|?|0.01|g|unstable|");
        row("ohaus legend", ohaus, "    -12.50 g  ?  00:00:15\r\n", "reading|?|-12.50|g|unstable|");
        row("ohaus indicator", ohaus, "-   12.5 kg   ?NET\r\n", "reading|?|-12.5|kg|unstable||net");
        row("ohaus no weight", ohaus, "   TOTAL\r\n", notRecognised);
        row("ohaus gross", ohaus, "     1.250 kg    G\r\n", "reading||1.250|kg|stable||gross");
        row("ohaus tare", ohaus, "     0.350 kg    T\r\n", "reading||0.350|kg|stable||tare");
        // Automatic takes a legend only where it is a weight kind or a time.
        row("ohaus other legend", ohaus, "      0.85 oz    WET WT\r\n", "reading||0.85|oz|stable|", notRecognised);
        row("ohaus number as legend", ohaus, "    12.5 g  13.0 g\r\n", "reading||12.5|g|stable|", notRecognised);
        // Without its stability column only the named format takes it as Ohaus's.
        row("ohaus no mark column", ohaus, "   -12.5 kg\r\n", "reading||-12.5|kg|stable|",
            "reading (generic layout)||-12.5|kg||");

        row("radwag stable", radwag, "      1832.0 g  \r\n", "reading||1832.0|g|stable|");
        row("radwag unstable", radwag, "? -    2.237 lb \r\n", "reading|?|-2.237|lb|unstable|");
        row("radwag overload", radwag, "^      0.000 kg \r\n", "reading|^|0.000|kg||overload");
        row("radwag underload", radwag, "v -    0.000 kg \r\n", "reading|v|-0.000|kg||underload");
        row("radwag verified", radwag, "      18.32[0] g  \r\n", "reading||18.320|g|stable|");
        row("radwag SI", radwag, "SI ?       18.5 kg \r\n", "reading|?|18.5|kg|unstable|");
        row("radwag S", radwag, "S    -      8.5 g  \r\n", "reading||-8.5|g|stable|");
        row("radwag not accessible", radwag, "SI I\r\n", "not a reading|SI I||||");
        row("radwag out of range", radwag, "^\r\n", "status line|^||||overload");
        row("radwag plus", radwag, "  +   12.345 g  \r\n", "reading||+12.345|g|stable|");
        row("radwag sign at digits", radwag, "     -12.345 g  \r\n", "reading||-12.345|g|stable|");
        row("radwag two signs", radwag, "  -  -12.345 g  \r\n", notRecognised);
        row("radwag sign apart", radwag, "     - 12.345 g  \r\n", notRecognised, "reading||-12.345|g|stable|");
        row("kern indicator", radwag, "ST,GS,+0012.345 kg\r\n", "reading|ST,GS|+0012.345|kg|stable||gross");
        row("kern net", radwag, "ST,NT,+01234567  oz\r\n", "reading|ST,NT|+01234567|oz|stable||net");
        row("kern a&d balance line", radwag, "ST,+00012.78  g\r\n", notRecognised, "reading|ST|+00012.78|g|stable|");

        row("shimadzu plain", shimadzu, "-  186.65g \r", "reading||-186.65|g||");
        row("shimadzu stable", shimadzu, "S-  21.6865g \r", "reading|S|-21.6865|g|stable|");
        row("shimadzu unstable", shimadzu, "U   186.65mg\r", "reading|U|186.65|mg|unstable|");
        row("shimadzu verified", shimadzu, "S  1234.5[6]g \r", "reading|S|1234.56|g|stable|");
        row("shimadzu out of range", shimadzu, "U      oL  \r", "reading|U|oL||unstable|overload");
        row("shimadzu after CR LF", shimadzu, "\nS   186.65g \r", "reading|S|186.65|g|stable|");
        row("shimadzu loose unit", shimadzu, "    192.21 g  \r", notRecognised, "reading||192.21|g|stable|");

        // Lines of no maker's layout, read by the automatic format.
        const Format automatic = Format::Automatic;
        const QString generic = "reading (generic layout)||";
        row("generic negative", automatic, "  -12.5 kg\r\n", generic + "-12.5|kg||");
        row("generic unsigned", automatic, "0.0351 g\r\n", generic + "0.0351|g||");
        row("generic unit at the digits", automatic, "12.5g\r\n", generic + "12.5|g||");
        row("generic sign apart", automatic, "-   12,5 lb\n", generic + "-12,5|lb||");
        row("generic CR alone, next line come", automatic, "1250 ozt\r", generic + "1250|ozt||");
        row("generic no unit", automatic, "   12.5\r\n", notRecognised);
        row("generic two numbers", automatic, "12.5 g 13.0 g\r\n", notRecognised);
        row("generic digits apart", automatic, "12 345 g\r\n", notRecognised);
        row("generic two points", automatic, "1.234.5 g\r\n", notRecognised);
        row("generic text first", automatic, "Net 12.5 g\r\n", notRecognised);
        row("generic long word", automatic, "12.5 grams\r\n", notRecognised);
        row("generic sign alone", automatic, "- g\r\n", notRecognised);
        // A maker's mark makes it that maker's line.
        row("generic ohaus mark", automatic, "  12.5 g  ?\r\n", "reading|?|12.5|g|unstable|");
    }

    // Each line by its maker's format and by the automatic one.
    void lines()
    {
        QFETCH(Format, format);
        QFETCH(QByteArray, line);
        QFETCH(QString, expected);
        QFETCH(QString, automatic);
        QCOMPARE(outcome(parse(line, format)), expected);
        const Parsed parsed = parse(line, Format::Automatic);
        QCOMPARE(outcome(parsed), automatic.isEmpty() ? expected : automatic);
        QCOMPARE(parsed.generic, outcome(parsed).startsWith("reading (generic"));
        // Only the automatic format reads a line of no layout.
        for (const Format named : {Format::Sartorius, Format::MettlerToledoSics, Format::AndStandard, Format::Ohaus,
                                   Format::RadwagKern, Format::Shimadzu})
            QVERIFY(!parse(line, named).generic);
    }

    void scanner_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QStringList>("ids");
        QTest::addColumn<QByteArray>("rest");
        QTest::newRow("cr lf") << QByteArray("S-0001\r\nS-0002\r\n") << QStringList{"S-0001", "S-0002"} << QByteArray();
        QTest::newRow("cr") << QByteArray("S-0001\rS-0002\r") << QStringList{"S-0001", "S-0002"} << QByteArray();
        QTest::newRow("lf") << QByteArray("LOT 7/15\nS-00") << QStringList{"LOT 7/15"} << QByteArray("S-00");
        QTest::newRow("blanks around") << QByteArray("  S-0001 \t\r\n") << QStringList{"S-0001"} << QByteArray();
        QTest::newRow("blank lines") << QByteArray("\r\n   \r\nABC\n\n") << QStringList{"ABC"} << QByteArray();
        QTest::newRow("utf-8") << QByteArray("Probe-\xc3\x9c" "1\r\n") << QStringList{QString::fromUtf8("Probe-\xc3\x9c" "1")}
                               << QByteArray();
    }

    void scanner()
    {
        // However the stream is torn, the same IDs; each line a sample ID, never a reading.
        QFETCH(QByteArray, stream);
        QFETCH(QStringList, ids);
        for (int tear = 0; tear <= stream.size(); ++tear) {
            QByteArray buffer = stream.left(tear);
            QStringList taken = takeScannedIds(buffer);
            buffer += stream.mid(tear);
            taken += takeScannedIds(buffer);
            QCOMPARE(taken, ids);
            QTEST(buffer, "rest");
        }
        QStringList shown;  // as the live view reads them: blank lines and the IDs
        for (QByteArray buffer = stream, line; !(line = takeLine(buffer, Format::Barcode)).isEmpty();) {
            const Parsed parsed = parse(line, Format::Barcode);
            QVERIFY(parsed.kind == Kind::NotAReading && parsed.scanned);
            QCOMPARE(outcomeText(parsed), QStringLiteral("sample ID"));
            shown << parsed.result;
        }
        QCOMPARE(shown.filter(QRegularExpression(".")), ids);
    }

    void cutting_data()
    {
        QTest::addColumn<Format>("format");
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QStringList>("lines");  // outcome() of each line cut
        QTest::addColumn<QByteArray>("rest");
        const auto row = [](const char *name, Format format, const QByteArray &stream, const QStringList &lines,
                            const QByteArray &rest = {}) { QTest::newRow(name) << format << stream << lines << rest; };
        const QString mt = "reading|S S|100.00|g|stable|", length = "length|||||";
        const QString shimadzu = "reading|S|186.65|g|stable|", shimadzuNext = "reading|U|186.66|g|unstable|";
        row("mt glued", Format::MettlerToledoSics, "S S     100.00 g\r\nS D     100.02 g\r\nS S ",
            {mt, "reading|S D|100.02|g|unstable|"}, "S S ");
        row("mt empty line between", Format::MettlerToledoSics, "S S     100.00 g\r\n\r\nS S     100.00 g\r\n",
            {mt, mt});
        row("mt lone line feed", Format::MettlerToledoSics, "\n", {});
        row("ohaus line feeds first", Format::Ohaus, "\n\n    192.21 g  \r\n", {"reading||192.21|g|stable|"});
        row("radwag lone cr waits", Format::RadwagKern, "\r", {}, "\r");
        row("shimadzu cr", Format::Shimadzu, "S   186.65g \rU   186.66g \r", {shimadzu, shimadzuNext});
        row("shimadzu crlf", Format::Shimadzu, "S   186.65g \r\nU   186.66g \r\n", {shimadzu, shimadzuNext}, "\n");
        row("shimadzu cr cr", Format::Shimadzu, "S   186.65g \r\r\r\n", {shimadzu}, "\n");
        row("automatic cr", Format::Automatic, "S   186.65g \rU   186.66g \r", {shimadzu}, "U   186.66g \r");
        row("automatic crlf", Format::Automatic, "ST,+00012.78  g\r\nUS,+00012.79  g\r\n",
            {"reading|ST|+00012.78|g|stable|", "reading|US|+00012.79|g|unstable|"});
        row("barcode cr lf", Format::Barcode, "\r\n\n\r", {});
        // Sartorius cuts them, as length errors.
        row("sartorius lone line feed", Format::Sartorius, "\n", {length});
        row("sartorius cr lf", Format::Sartorius, "+    12.34 g  \r\n\r\n", {"reading||+12.34|g  |stable|", length});
    }

    void cutting()
    {
        // Lines glued and empty in the buffer; every way of tearing the stream in two gives the same lines.
        QFETCH(Format, format);
        QFETCH(QByteArray, stream);
        for (int tear = 0; tear <= stream.size(); ++tear) {
            QByteArray rest;
            QStringList taken = cutAll(stream.left(tear), format, &rest);
            taken += cutAll(rest + stream.mid(tear), format, &rest);
            QTEST(taken, "lines");
            QTEST(rest, "rest");
        }
    }

    void types()
    {
        // Each type value leads back to its entry, its format and its factory line.
        for (const Veltrano::Makers::Type &type : Veltrano::Makers::kTypes) {
            QCOMPARE(Veltrano::Makers::typeNamed(QString::fromLatin1(type.value)), &type);
            QCOMPARE(formatOf(QString::fromLatin1(type.value)), type.format);
            QCOMPARE(Veltrano::Config::factoryLine(QString::fromLatin1(type.value)), type.factory);
        }
        for (const char *unknown : {"", "SartoriusBasic", "sartorius", "barcode "})
            QCOMPARE(formatOf(QString::fromLatin1(unknown)), Format::Sartorius);
        QVERIFY(!Veltrano::Config::factoryLine("automatic"));
        QCOMPARE(QByteArray(Veltrano::Config::factoryLine("barcode")->transmissionRate), "9600");
        // Sartorius types on 7 data bits keep their nine keys; the scanner's 8 are written.
        QVERIFY(!Veltrano::Config::writesDataBits("sartoriusSignum", "7"));
        QVERIFY(Veltrano::Config::writesDataBits("barcode", "8"));
    }

    void printModes_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<PrintOn>("mode");
        for (const Veltrano::Makers::Type &type : Veltrano::Makers::kTypes) {
            if (!type.simulated || type.format == Format::Barcode)
                continue;
            for (const auto &[name, mode] : {std::pair{"key", PrintOn::Key}, {"stable", PrintOn::Stable},
                                             {"continuous-loads", PrintOn::ContinuousLoads}})
                QTest::addRow("%s %s", type.value, name) << QString::fromLatin1(type.value) << mode;
        }
    }

    // What a balance prints in each mode, read back by its own format: a run
    // of "S" (stable) or "U" (unstable) lines per load and between loads, and
    // the printed values against what the simulator shows.
    void printModes()
    {
        QFETCH(QString, type);
        QFETCH(PrintOn, mode);
        Veltrano::Sim::Scenario scenario;
        QVERIFY(Veltrano::Sim::makerNamed(type, &scenario.maker));
        scenario.printOn = mode;
        scenario.value = 250.5;
        scenario.decimals = 1;
        scenario.layout = Veltrano::Makers::typeNamed(type)->simulatedLayout;
        scenario.seed = 7;
        const Format format = formatOf(type);
        Veltrano::Sim::BalanceSimulator balance(scenario, [](const QByteArray &) {});

        QStringList steps;  // step by step: "-" where nothing was printed, else S or U and the value
        QString shape;      // the steps as letters: "-", U unstable, Z a stable zero, S a stable load
        QByteArray buffer;
        constexpr int kSteps = 130;
        for (int i = 0; i < kSteps; ++i) {
            buffer += balance.nextPieces().join();
            if (format == Format::Shimadzu)
                buffer += '\r';  // the next line's start: not needed by Shimadzu, harmless
            QStringList printed;
            for (QByteArray line = takeLine(buffer, format); !line.isEmpty(); line = takeLine(buffer, format)) {
                const Parsed parsed = parse(line, format);
                QVERIFY2(parsed.kind == Kind::Reading, qPrintable(outcome(parsed)));
                QVERIFY(parsed.stability != Stability::Unknown);
                const double value = Veltrano::numericValue(parsed.result).toDouble();
                QCOMPARE(value, std::round(balance.currentValue() * 10) / 10);
                printed << (parsed.stability == Stability::Stable ? "S" : "U") + QString::number(value);
            }
            QVERIFY(printed.size() <= 1);
            steps << (printed.isEmpty() ? QStringLiteral("-") : printed.constFirst());
            shape += steps.last() == "S0" ? QChar('Z') : steps.last().at(0);
        }
        QCOMPARE(balance.lines(), kSteps - steps.count("-"));
        // Key: a new load at each press. Stable: only the load once it settles, then nothing while
        // it is taken off and the next one settles. Continuous: put on and settling (3 to 5
        // unstable), settled (3 stable), taken off (2 unstable), empty (3 stable zeros), the next
        // load; the last one cut short by the end of the test.
        const QString pattern = mode == PrintOn::Key      ? "S+"
                                : mode == PrintOn::Stable ? "-{3,5}S(-{10,12}S)*-*"
                                                          : "(U{3,5}SSSUUZZZ)+(U{0,5}|U{3,5}S{1,3}|U{3,5}SSSU{1,2}|U{3,5}SSSUUZ{1,3})";
        QVERIFY2(QRegularExpression("^(" + pattern + ")$").match(shape).hasMatch(), qPrintable(steps.join(' ')));
        QVERIFY2(steps.contains("S250.5"), qPrintable(steps.join(' ')));
    }

    void moments_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<PrintOn>("mode");
        QTest::addColumn<bool>("random");
        QTest::newRow("interval") << "ohaus" << PrintOn::Interval << false;
        QTest::newRow("key") << "sartoriusSignum" << PrintOn::Key << true;
        QTest::newRow("scanner") << "barcode" << PrintOn::Interval << true;
    }

    void moments()
    {
        // Key presses and scans come at random moments, the same for the same
        // seed, about the interval apart; the other modes keep the interval.
        QFETCH(QString, type);
        QFETCH(PrintOn, mode);
        QFETCH(bool, random);
        Veltrano::Sim::Scenario scenario;
        QVERIFY(Veltrano::Sim::makerNamed(type, &scenario.maker));
        scenario.printOn = mode;
        scenario.intervalMs = 800;
        const auto gaps = [&scenario](quint32 seed) {
            scenario.seed = seed;
            Veltrano::Sim::BalanceSimulator balance(scenario, [](const QByteArray &) {});
            QList<int> gaps;
            for (int i = 0; i < 50; ++i) {
                balance.nextPieces();
                gaps << balance.nextGapMs();
            }
            return gaps;
        };
        const QList<int> first = gaps(3);
        QCOMPARE(gaps(3), first);
        QCOMPARE(gaps(4) != first, random);
        const auto [shortest, longest] = std::minmax_element(first.begin(), first.end());
        QVERIFY2(random ? *shortest >= 400 && *longest <= 1200 && *longest - *shortest > 400
                        : *shortest == 800 && *longest == 800,
                 qPrintable(QString("%1 to %2 ms").arg(*shortest).arg(*longest)));
    }

    void scanLines_data()
    {
        QTest::addColumn<QByteArrayList>("ids");
        QTest::addColumn<QStringList>("scanned");
        QTest::newRow("default pattern") << QByteArrayList() << QStringList{"S-0001", "S-0002", "S-0003", "S-0004"};
        QTest::newRow("list, again from the first") << QByteArrayList{"A-17", "B-4"} << QStringList{"A-17", "B-4", "A-17", "B-4"};
        QTest::newRow("pattern in a list") << QByteArrayList{"LOT7-##", "blank"} << QStringList{"LOT7-01", "blank", "LOT7-03", "blank"};
    }

    void scanLines()
    {
        // A scanner's lines, through the collection's cutting of them.
        QFETCH(QByteArrayList, ids);
        QFETCH(QStringList, scanned);
        Veltrano::Sim::Scenario scenario;
        scenario.maker = Veltrano::Sim::Maker::Barcode;
        scenario.splitEvery = 3;
        scenario.loneLineFeedEvery = 2;
        if (!ids.isEmpty())
            scenario.ids = ids;
        Veltrano::Sim::BalanceSimulator balance(scenario, [](const QByteArray &) {});
        QByteArray buffer;
        QStringList taken;
        for (int i = 0; i < scanned.size(); ++i) {
            for (const QByteArray &piece : balance.nextPieces()) {
                buffer += piece;
                taken += takeScannedIds(buffer);
            }
        }
        QCOMPARE(taken, scanned);
        QCOMPARE(buffer, QByteArray());
    }

    void playsOnItsTimer()
    {
        // A balance that prints once per load stops after its count of lines, not
        // of steps; silent steps send nothing.
        Veltrano::Sim::Scenario scenario;
        scenario.printOn = PrintOn::Stable;
        scenario.intervalMs = 1;
        scenario.count = 2;
        QList<QByteArray> sent;
        Veltrano::Sim::BalanceSimulator balance(scenario, [&sent](const QByteArray &bytes) { sent << bytes; });
        QSignalSpy finished(&balance, &Veltrano::Sim::BalanceSimulator::finished);
        balance.start();
        QVERIFY(finished.wait(10000));
        QCOMPARE(sent.size(), 2);
        QCOMPARE(parse(sent.at(0)).result, QStringLiteral("+100.00"));
        QCOMPARE(parse(sent.at(1)).stability, Stability::Stable);
    }

    void options_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("outcome");  // "run <maker format> <layout>", "help" or the usage error

        const auto row = [](const char *name, const QStringList &arguments, const QString &outcome) {
            QTest::newRow(name) << arguments << outcome;
        };
        row("defaults", {}, "run 0 16");
        row("signum", {"--maker", "sartoriusSignum"}, "run 0 22");
        row("basic, layout given", {"--maker", "sartoriusBasic", "--layout=22"}, "run 0 22");
        row("shimadzu", {"--maker", "shimadzu", "--print-on", "continuous-loads"}, "run 5 16");
        row("scanner", {"--scanner", "--ids", "S-1,S-2"}, "run 7 16");
        row("help", {"--help"}, "help");
        row("interval", {"--interval", "x"}, "invalid value for --interval: 'x'");
        row("print mode", {"--print-on", "sometimes"}, "invalid value for --print-on: 'sometimes'");
        row("first bad value told", {"--seed", "s", "--interval", "x"}, "invalid value for --interval: 'x'");
        row("port and link", {"--listen", "0", "--link", "x"}, "--listen goes without --link");
        row("ids of a balance", {"--ids", "A"}, "--ids is for a scanner (--scanner)");
        row("scanner print mode", {"--scanner", "--print-on", "key"},
            "a scanner sends at random moments: --print-on is for balances");
        row("unknown option", {"--bogus"}, "Unknown option 'bogus'.");
        row("argument", {"ttyS0"}, "unexpected argument 'ttyS0'");
    }

    void options()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, outcome);
        Veltrano::Sim::Options options;
        QString text;
        const auto read = Veltrano::Sim::readOptions(QStringList{"veltrano-balance-sim"} + arguments, &options, &text);
        if (read == Veltrano::CommandLine::Run)
            text = QStringLiteral("run %1 %2").arg(int(options.scenario.maker)).arg(options.scenario.layout);
        if (read == Veltrano::CommandLine::Help) {
            QVERIFY(text.contains("--print-on <MODE>") && text.contains("barcode"));
            text = "help";
        }
        QCOMPARE(text, outcome);
        if (read != Veltrano::CommandLine::UsageError)
            return;
        // The program itself exits 2 and says why.
        QProcess sim;
        sim.start(QStringLiteral(VELTRANO_BALANCE_SIM), arguments);
        QVERIFY(sim.waitForFinished(30000));
        QCOMPARE(sim.exitCode(), 2);
        QCOMPARE(QString::fromLocal8Bit(sim.readAllStandardError()).section('\n', 0, 0), "veltrano-balance-sim: " + outcome);
    }
};

QTEST_GUILESS_MAIN(TestMakerLines)
#include "tst_makerlines.moc"
