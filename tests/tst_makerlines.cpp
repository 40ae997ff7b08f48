// The print lines of each balance maker, as their manuals show them: what is
// stored of each line, whether it is stable or out of range, why a line is
// skipped; the same lines told apart by the automatic format; lines torn and
// glued in the receive buffer; the simulator's lines read back.
#include "balancesimulator.h"
#include "collect/instrumentconfig.h"
#include "collect/makerlines.h"

#include <QtTest>

using namespace Veltrano::PrintLine;
Q_DECLARE_METATYPE(Veltrano::PrintLine::Format)

namespace {

// "kind|header|result|unit|stability|load", the kind as its skip reason.
QString outcome(const Parsed &parsed)
{
    static const char *stabilities[] = {"", "stable", "unstable"};
    static const char *loads[] = {"", "overload", "underload"};
    const QString kind = parsed.kind == Kind::Reading ? QStringLiteral("reading") : skipReason(parsed);
    return QStringList{kind, parsed.header, parsed.result, parsed.unit, stabilities[int(parsed.stability)],
                       loads[int(parsed.load)]}
        .join('|');
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
        row("sartorius header", sartorius, "N     +    12.34 g  \r\n", "reading|N     |+12.34|g  |stable|");
        row("sartorius status", sartorius, "Stat        L       \r\n", "status line|Stat  |L|   ||underload");
        row("sartorius error", sartorius, "   Err 54     \r\n", "error code|||||");
        row("sartorius length", sartorius, "+  12.34 g\r\n", "length|||||", notRecognised);

        row("mt stable", mt, "S S     100.00 g\r\n", "reading|S S|100.00|g|stable|");
        row("mt dynamic", mt, "S D     129.07 g\r\n", "reading|S D|129.07|g|unstable|");
        row("mt negative", mt, "S S    -12.345 mg\r\n", "reading|S S|-12.345|mg|stable|");
        row("mt overload", mt, "S +\r\n", "status line|S +||||overload");
        row("mt underload", mt, "S -\r\n", "status line|S -||||underload");
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
        row("a&d csv overload", ad, "OL,+9999999E+19,  g\r\n", "reading|OL|+9999999E+19|g||overload");
        row("a&d other header", ad, "WT,+00012.78  g\r\n", notRecognised);

        row("ohaus stable", ohaus, "    192.21 g  \r\n", "reading||192.21|g|stable|", "reading||192.21|g  |stable|");
        row("ohaus unstable", ohaus, "      0.01 g ?\r\n", "reading|?|0.01|g|unstable|");
        row("ohaus legend", ohaus, "    -12.50 g  ?  00:00:15\r\n", "reading|?|-12.50|g|unstable|");
        row("ohaus indicator", ohaus, "-   12.5 kg   ?NET\r\n", "reading|?|-12.5|kg|unstable|");
        row("ohaus no weight", ohaus, "   TOTAL\r\n", notRecognised);

        row("radwag stable", radwag, "      1832.0 g  \r\n", "reading||1832.0|g|stable|");
        row("radwag unstable", radwag, "? -    2.237 lb \r\n", "reading|?|-2.237|lb|unstable|");
        row("radwag overload", radwag, "^      0.000 kg \r\n", "reading|^|0.000|kg||overload");
        row("radwag underload", radwag, "v -    0.000 kg \r\n", "reading|v|-0.000|kg||underload");
        row("radwag verified", radwag, "      18.32[0] g  \r\n", "reading||18.320|g|stable|");
        row("radwag SI", radwag, "SI ?       18.5 kg \r\n", "reading|?|18.5|kg|unstable|");
        row("radwag S", radwag, "S    -      8.5 g  \r\n", "reading||-8.5|g|stable|");
        row("radwag not accessible", radwag, "SI I\r\n", "not a reading|SI I||||");
        row("radwag out of range", radwag, "^\r\n", "status line|^||||overload");

        row("shimadzu plain", shimadzu, "-  186.65g \r", "reading||-186.65|g||");
        row("shimadzu stable", shimadzu, "S-  21.6865g \r", "reading|S|-21.6865|g|stable|");
        row("shimadzu unstable", shimadzu, "U   186.65mg\r", "reading|U|186.65|mg|unstable|");
        row("shimadzu verified", shimadzu, "S  1234.5[6]g \r", "reading|S|1234.56|g|stable|");
        row("shimadzu out of range", shimadzu, "U      oL  \r", "reading|U|oL||unstable|overload");
        row("shimadzu after CR LF", shimadzu, "\nS   186.65g \r", "reading|S|186.65|g|stable|");
        row("shimadzu loose unit", shimadzu, "    192.21 g  \r", notRecognised, "reading||192.21|g|stable|");
    }

    void lines()
    {
        QFETCH(Format, format);
        QFETCH(QByteArray, line);
        QFETCH(QString, expected);
        QCOMPARE(outcome(parse(line, format)), expected);
    }

    void automatic_data() { lines_data(); }

    void automatic()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, expected);
        QFETCH(QString, automatic);
        QCOMPARE(outcome(parse(line, Format::Automatic)), automatic.isEmpty() ? expected : automatic);
    }

    void cutting_data()
    {
        QTest::addColumn<Format>("format");
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<int>("lines");
        QTest::addColumn<QByteArray>("rest");

        QTest::newRow("crlf glued") << Format::MettlerToledoSics << QByteArray("S S     100.00 g\r\nS D     100.02 g\r\nS S ")
                                    << 2 << QByteArray("S S ");
        QTest::newRow("shimadzu cr") << Format::Shimadzu << QByteArray("S   186.65g \rU   186.66g \r") << 2 << QByteArray();
        QTest::newRow("shimadzu crlf") << Format::Shimadzu << QByteArray("S   186.65g \r\nU   186.66g \r\n") << 2
                                       << QByteArray("\n");
        QTest::newRow("automatic cr") << Format::Automatic << QByteArray("S   186.65g \rU   186.66g \r") << 1
                                      << QByteArray("U   186.66g \r");
        QTest::newRow("automatic crlf") << Format::Automatic << QByteArray("ST,+00012.78  g\r\nUS,+00012.79  g\r\n") << 2
                                        << QByteArray();
    }

    void cutting()
    {
        // Every way of tearing the stream in two gives the same readings.
        QFETCH(Format, format);
        QFETCH(QByteArray, stream);
        QFETCH(int, lines);
        QFETCH(QByteArray, rest);
        for (int tear = 0; tear <= stream.size(); ++tear) {
            QByteArray buffer = stream.left(tear);
            QList<QByteArray> taken;
            for (const QByteArray &piece : {QByteArray(), stream.mid(tear)}) {
                buffer += piece;
                for (QByteArray line = takeLine(buffer, format); !line.isEmpty(); line = takeLine(buffer, format)) {
                    QCOMPARE(parse(line, format).kind, Kind::Reading);
                    taken << line;
                }
            }
            QCOMPARE(taken.size(), lines);
            QCOMPARE(taken.join() + buffer, stream);
            QCOMPARE(buffer, rest);
        }
    }

    void simulator_data()
    {
        // Every maker the settings offer, by its type value.
        QTest::addColumn<QString>("type");
        for (const Veltrano::Config::Choice &choice : Veltrano::Config::kTypes)
            QTest::newRow(choice.value) << QString::fromLatin1(choice.value);
    }

    void simulator()
    {
        QFETCH(QString, type);
        Veltrano::Sim::Scenario scenario;
        if (!Veltrano::Sim::makerNamed(type, &scenario.maker)) {
            QCOMPARE(type, QStringLiteral("automatic"));
            return;
        }
        scenario.value = 0.02;
        scenario.decimals = 3;
        scenario.unit = "kg";
        const bool sartorius = scenario.maker == Veltrano::Sim::Maker::Sartorius;
        QCOMPARE(formatOf(type) == Format::Sartorius, sartorius);
        Veltrano::Sim::BalanceSimulator balance(scenario, [](const QByteArray &) {});
        QSet<int> seen;
        for (const Format format : {formatOf(type), Format::Automatic}) {
            // The automatic format may take a line only once the next one starts.
            QByteArray buffer;
            QList<double> sent;
            for (int i = 0; i < 8; ++i) {
                buffer += balance.nextPieces().join();
                sent << std::round(balance.currentValue() * 1000) / 1000;
                for (QByteArray line = takeLine(buffer, format); !line.isEmpty(); line = takeLine(buffer, format)) {
                    const Parsed parsed = parse(line, format);
                    QVERIFY2(parsed.kind == Kind::Reading, qPrintable(outcome(parsed)));
                    QCOMPARE(parsed.unit.trimmed(), QStringLiteral("kg"));
                    QCOMPARE(Veltrano::numericValue(parsed.result).toDouble(), sent.takeFirst());
                    seen << int(parsed.stability);
                }
            }
            QVERIFY(sent.size() <= 1);
        }
        QCOMPARE(seen.size(), sartorius ? 1 : 2);
    }
};

QTEST_GUILESS_MAIN(TestMakerLines)
#include "tst_makerlines.moc"
