// Weighings: the settings that define them, which reading lines are one,
// and the class of each against its limits and the minimum weight.
#include "weighing/tolerance.h"
#include "weighing/weighingdetector.h"
#include "weighing/weighingsettings.h"

#include <QtTest>


using namespace Veltrano;

namespace {

// "key=value key=value", values without blanks.
QMap<QString, QString> keysOf(const QString &text)
{
    QMap<QString, QString> keys;
    for (const QString &pair : text.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        keys.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
    return keys;
}

QString optionalText(const std::optional<double> &value) { return value ? QString::number(*value) : "-"; }
QString optionalText(const std::optional<Amount> &value) { return value ? value->text() : "-"; }

QString summary(const WeighingSettings &s)
{
    return QStringList{recordModeText(s.record), QString::number(s.stableCount), s.afterZero ? "true" : "false",
                       optionalText(s.zeroBand), optionalText(s.nominal), optionalText(s.warning),
                       optionalText(s.tolerance), optionalText(s.minimumWeight),
                       QString::number(s.minimumWeightFactor)}
        .join(' ');
}

// A stream of reading lines, each item "value unit mark [*count]": unit "_"
// for none, mark S (stable), U (unstable) or ? (no mark), value "H" for a
// result without a number, or "from..to" for a ramp in steps of the last
// digit; "*count" repeats the line.
QVector<ScaleReading> streamOf(const QStringList &items)
{
    QVector<ScaleReading> lines;
    for (const QString &item : items) {
        const QStringList parts = item.split(' ');
        const QString unit = parts.at(1) == "_" ? QString() : parts.at(1);
        const Stability stability =
            parts.at(2) == "S" ? Stability::Stable : parts.at(2) == "U" ? Stability::Unstable : Stability::Unknown;
        const int count = parts.size() > 3 ? parts.at(3).mid(1).toInt() : 1;
        QStringList values{parts.at(0)};
        if (parts.at(0).contains("..")) {
            const QString from = parts.at(0).section("..", 0, 0), to = parts.at(0).section("..", 1);
            const int decimals = from.size() - from.indexOf('.') - 1;
            const qint64 scale = qRound64(std::pow(10, decimals));
            values.clear();
            for (qint64 at = qRound64(from.toDouble() * scale); at <= qRound64(to.toDouble() * scale); ++at)
                values << QString::number(double(at) / scale, 'f', decimals);
        }
        for (int i = 0; i < count; ++i)
            for (const QString &value : qAsConst(values))
                lines << ScaleReading::fromResult(value, unit, stability);
    }
    return lines;
}

} // namespace

class TestWeighing : public QObject
{
    Q_OBJECT
private slots:
    void reading_data()
    {
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("number");
        QTest::addColumn<int>("decimals");
        QTest::newRow("blanks and a decimal comma") << "+   12,50" << "12.50" << 2;
        QTest::newRow("negative") << "-0.2531" << "-0.2531" << 4;
        QTest::newRow("whole") << "1200" << "1200" << 0;
        QTest::newRow("a point first") << ".5" << "0.5" << 1;
        QTest::newRow("fifteen digits") << "1234567890.12345" << "1234567890.12345" << 5;
        QTest::newRow("more digits than a double holds") << "123456789012.345678" << "123456789012.345678" << 6;
        QTest::newRow("negative zero") << "-0.00" << "-0.00" << 2;
        QTest::newRow("overload") << "H" << "" << 0;
    }

    // The value is the number's double, rounded as its text reads.
    void reading()
    {
        QFETCH(QString, result);
        QFETCH(QString, number);
        const ScaleReading reading = ScaleReading::fromResult(result, QStringLiteral(" g "));
        QCOMPARE(reading.number, number);
        QCOMPARE(reading.hasValue(), !number.isEmpty());
        QTEST(reading.decimals, "decimals");
        QCOMPARE(reading.unit, QStringLiteral("g"));
        QVERIFY(reading.value == (number.isEmpty() ? 0.0 : number.toDouble()));
        QCOMPARE(std::signbit(reading.value), number.startsWith('-'));
    }

    void settings_data()
    {
        QTest::addColumn<QString>("texts");
        QTest::addColumn<QString>("settings");  // summary(): record count afterZero band nominal T1 T2 minimum factor
        QTest::addColumn<QStringList>("errors");

        const QString defaults = "interval 3 false - - - - - 2";
        const auto row = [](const char *name, const char *texts, const QString &settings, const QStringList &errors = {}) {
            QTest::newRow(name) << QString(texts) << settings << errors;
        };
        // Read as the defaults, and told: "key: \"value\" why".
        const auto refused = [&row, &defaults](const char *name, const char *texts, const char *why) {
            const QString text(texts);
            row(name, texts, defaults, {text.section('=', 0, 0) + ": \"" + text.section('=', 1) + "\" " + why});
        };
        row("nothing: the defaults", "", defaults);
        row("empty texts are absent", "record= stableCount= nominal=", defaults);
        row("every key",
            "record=stable stableCount=5 afterZero=TRUE zeroBand=0.002 nominal=250.0 warning=2% tolerance=5% "
            "minimumWeight=0.082 minimumWeightFactor=3",
            "stable 5 true 0.002 250 2% 5% 0.082 3");
        row("decimal comma, sign, unrelated keys", "record=print nominal=-0,25 warning=0,005 comPort=ttyS0",
            "print 3 false - -0.25 0.005 - - 2");
        refused("unknown record mode", "record=stabel", "is not one of interval, print, stable");
        refused("record mode is case-sensitive", "record=Stable", "is not one of interval, print, stable");
        refused("stable count below 2", "stableCount=1", "is not a whole number from 2 to 1000");
        refused("stable count not whole", "stableCount=2.5", "is not a whole number from 2 to 1000");
        refused("after zero neither true nor false", "afterZero=yes", "is neither true nor false");
        refused("negative zero band", "zeroBand=-0.01", "is below 0");
        refused("nominal with a unit", "nominal=10g", "is not a number");
        refused("nominal with an exponent", "nominal=1e3", "is not a number");
        refused("negative tolerance", "tolerance=-1%", "is not an amount: give a number not below 0, or a percentage such as 2%");
        refused("zero minimum weight", "minimumWeight=0", "is not above 0");
        refused("factor below 1", "minimumWeightFactor=0.5", "is below 1");
        row("each bad key told, the good ones kept", "record=x stableCount=4 nominal=y", "interval 4 false - - - - - 2",
            {"record: \"x\" is not one of interval, print, stable", "nominal: \"y\" is not a number"});
        row("warning beyond tolerance", "warning=0.2 tolerance=0.1", "interval 3 false - - - 0.1 - 2",
            {"warning: 0.2 is larger than the tolerance 0.1; the warning limit is not used"});
        row("warning beyond tolerance, percentages", "warning=3% tolerance=2%", "interval 3 false - - - 2% - 2",
            {"warning: 3% is larger than the tolerance 2%; the warning limit is not used"});
        row("warning beyond tolerance by the nominal",
            "nominal=10 warning=0.3 tolerance=2%", "interval 3 false - 10 - 2% - 2",
            {"warning: 0.3 is larger than the tolerance 2%; the warning limit is not used"});
        row("mixed limits without nominal wait for the worklist's", "warning=0.3 tolerance=2%",
            "interval 3 false - - 0.3 2% - 2");
        row("equal limits", "warning=0.1 tolerance=0.1", "interval 3 false - - 0.1 0.1 - 2");
    }

    void settings()
    {
        QFETCH(QString, texts);
        QStringList told;
        const WeighingSettings read = WeighingSettings::fromTexts(keysOf(texts), &told);
        QTEST(told, "errors");
        QTEST(summary(read), "settings");
    }

    void detector_data()
    {
        QTest::addColumn<QString>("texts");
        QTest::addColumn<QStringList>("stream");
        QTest::addColumn<QString>("weighings");  // indexes of the lines that are weighings
        const auto row = [](const char *name, const QString &texts, const QStringList &stream, const char *weighings) {
            QTest::newRow(name) << texts << stream << QString(weighings);
        };

        row("interval: never", "", {"12.50 g S *10", "0.00 g S", "7.00 g S"}, "");
        row("print: every line", "record=print", {"12.50 g S", "12.50 g S", "0.00 g ?", "-3.10 _ U"}, "0,1,2,3");
        row("print: a result without a number is none", "record=print", {"12.50 g S", "H _ ?", "13.00 g S"}, "0,2");

        const QString stable = "record=stable";
        row("marked: each settled load once", stable,
            {"0.00 g S *5", "3.20 _ U", "12.47 _ U", "12.50 g S *50", "0.30 _ U", "0.00 g S *5", "7.81 _ U", "7.80 g S *10"},
            "7,64");
        row("marked: unstable again at the same load", stable, {"12.50 g S *3", "12.50 _ U", "12.50 g S *3"}, "0,4");
        row("marked: a settled reading wandering in the band", stable,
            {"12.50 g S", "12.51 g S", "12.45 g S", "12.55 g S", "12.52 g S"}, "0");
        row("marked: settled at a new load without unstable lines", stable, {"12.50 g S", "12.56 g S", "20.00 g S"},
            "0,1,2");
        row("marked: near zero never", stable, {"0.04 g S *10", "-0.05 g S *3", "0.05 g S", "0.06 g S"}, "14");
        row("marked: drifts and never settles", stable, {"10.00..12.00 _ U", "12.00..10.00 _ U"}, "");
        row("marked: noise between weighings", stable,
            {"12.50 g S *3", "3.17 _ U", "25.30 _ U", "0.91 _ U", "3.17 _ U", "20.00 g S *4"}, "0,7");
        row("marked: one settled value for an hour", stable, {"0.00 g S *10", "12.50 _ U *3", "12.50 g S *36000"},
            "13");

        row("counted: three equal readings", stable,
            {"0.00 g ? *4", "8.12 g ?", "12.40 g ?", "12.50 g ? *100", "0.00 g ? *3", "12.61 g ? *3"}, "8,111");
        row("counted: five equal readings", "record=stable stableCount=5",
            {"8.12 g ?", "12.50 g ? *4", "12.49 g ?", "12.50 g ? *5"}, "10");
        row("counted: a load on the pan from the start", stable, {"12.50 g ? *36000"}, "2");
        row("counted: drifts and never settles", stable, {"10.00..12.00 g ?"}, "");
        row("counted: drifts, then settles", stable, {"10.00..10.50 g ?", "10.50 g ? *2", "10.51 g ? *3"}, "52");
        row("counted: noise between weighings", stable,
            {"12.50 g ? *3", "3.17 g ?", "8.02 g ?", "3.17 g ?", "8.02 g ? *2", "0.91 g ?", "20.00 g ? *3"}, "2,11");
        row("counted: a flicker of the last digit", stable,
            {"12.50 g ? *3", "12.51 g ?", "12.50 g ? *3", "12.51 g ? *3"}, "2");
        row("counted: another unit is another reading", stable,
            {"12.50 g ? *2", "12.50 ct ?", "12.50 g ? *3", "0.4409 oz ? *3"}, "5,8");
        row("counted: an overload breaks the run", stable, {"12.50 g ? *2", "H _ ?", "12.50 g ? *2", "12.50 g ?"}, "5");
        row("negative loads taken off after taring", stable,
            {"0.0000 g ? *3", "-0.2531 g ? *3", "-0.2530 g ? *5", "-0.5062 g S"}, "5,11");
        row("zero band from the decimals", stable,
            {"0.0005 g S", "0.0006 g S", "0.0 g S", "0.5 g S", "0.6 g S", "-0.6 g S"}, "1,4,5");
        row("zero band set", "record=stable zeroBand=1", {"0.80 g S", "1.00 g S", "1.01 g S", "1.99 g S", "2.02 g S"},
            "2,4");
        row("without after zero an overload re-arms", stable, {"12.50 g S", "H _ ?", "12.50 g S"}, "0,2");

        const QString afterZero = "record=stable afterZero=true";
        row("after zero: only once the load is off", afterZero,
            {"12.50 g S *3", "12.50 _ U", "12.50 g S *3", "20.00 g S *3", "0.02 _ U", "20.00 g S"}, "0,11");
        row("after zero: an overload does not re-arm", afterZero,
            {"12.50 g S", "H _ ?", "12.50 g S", "0.00 g S", "12.50 g S"}, "0,4");
        row("after zero: counted", afterZero, {"12.50 g ? *3", "30.00 g ? *3", "0.01 g ?", "30.00 g ? *3"}, "2,9");
        row("after zero: another unit is not enough", afterZero,
            {"12.50 g ? *3", "0.4409 oz ? *3", "0.0000 oz ?", "0.4409 oz ? *3"}, "2,9");
        row("after zero: one settled value for an hour", afterZero,
            {"12.50 g S *36000", "0.00 g S", "12.50 g S *36000"}, "0,36001");

    }

    void detector()
    {
        QFETCH(QString, texts);
        QFETCH(QStringList, stream);
        QFETCH(QString, weighings);
        QStringList errors;
        WeighingDetector detector(WeighingSettings::fromTexts(keysOf(texts), &errors));
        QCOMPARE(errors, QStringList());
        const QVector<ScaleReading> lines = streamOf(stream);
        QStringList found, triggers;
        for (int i = 0; i < lines.size(); ++i) {
            const Trigger answer = detector.feed(lines.at(i));
            if (answer != Trigger::None) {
                found << QString::number(i);
                triggers << triggerText(answer);
            }
        }
        QCOMPARE(found.join(','), weighings);
        // Each weighing is told as one of the way of recording's.
        triggers.removeDuplicates();
        QCOMPARE(triggers.join(','), weighings.isEmpty() ? "" : texts.contains("print") ? "print" : "stable");
    }

    // A reset (reconnect, new settings) arms the detector again.
    void detectorReset()
    {
        WeighingDetector detector(WeighingSettings::fromTexts({{"record", "stable"}}, nullptr));
        const ScaleReading settled = ScaleReading::fromResult(QStringLiteral("12.50"), QStringLiteral("g"), Stability::Stable);
        QCOMPARE(detector.feed(settled), Trigger::Stable);
        QCOMPARE(detector.feed(settled), Trigger::None);
        QVERIFY(!detector.armed());
        detector.reset();
        QVERIFY(detector.armed());
        QCOMPARE(detector.feed(settled), Trigger::Stable);
    }

    void classes_data()
    {
        QTest::addColumn<QString>("texts");
        QTest::addColumn<QString>("worklistNominal");  // empty: none
        QTest::addColumn<QString>("reading");          // "value kind": N, G, T or ? for none
        QTest::addColumn<QString>("checkedMinimum");   // the last repeatability test's minimum weight
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const QString &texts, const char *reading, const char *expected,
                            const char *nominal = "", const char *checked = "") {
            QTest::newRow(name) << texts << QString(nominal) << QString(reading) << QString(checked) << QString(expected);
        };

        // Each side of each limit, "value class".
        const auto around = [](const char *name, const QString &texts, const QStringList &values) {
            for (const QString &at : values)
                QTest::addRow("%s %s", name, qPrintable(at.section(' ', 0, 0)))
                    << texts << "" << at.section(' ', 0, 0) + " N" << "" << at.section(' ', 1);
        };
        around("absolute", "nominal=10.00 warning=0.05 tolerance=0.10",
               {"10.00 within", "10.05 within", "10.06 warning", "10.10 warning", "10.11 outside", "9.95 within",
                "9.94 warning", "9.90 warning", "9.89 outside", "-10.00 outside"});
        around("percent", "nominal=250.0 warning=2% tolerance=5%",
               {"255.0 within", "255.1 warning", "262.5 warning", "262.6 outside", "245.0 within", "237.5 warning",
                "237.4 outside"});

        around("tolerance alone", "nominal=10 tolerance=0.1", {"10.10 within", "10.11 outside"});
        row("warning alone never outside", "nominal=10 warning=0.1", "20.00 N", "warning");
        row("no nominal: no class", "warning=0.1 tolerance=0.2", "10.00 N", "");
        row("no limits: no class", "nominal=10", "10.00 N", "");
        row("worklist nominal over the instrument's", "nominal=10 tolerance=2%", "20.40 N", "within", "20.0");
        row("worklist nominal, the instrument's far off", "nominal=10 tolerance=2%", "10.00 N", "outside", "20.0");
        row("worklist nominal with the instrument's percentages", "warning=1% tolerance=2%", "0.5060 N", "warning",
            "0.5000");
        // A percentage of a negative nominal's magnitude.
        around("negative nominal", "nominal=-0.2500 tolerance=2%", {"-0.2550 within", "-0.2551 outside"});

        const QString minimum = "nominal=0.5 tolerance=10% minimumWeight=0.5";
        row("net below the minimum", minimum, "0.4999 N", "below minimum");
        row("net at the minimum", minimum, "0.5000 N", "within");
        row("unmarked weight is what the display shows net", minimum, "0.4999 ?", "below minimum");
        row("negative net below the minimum", minimum, "-0.4000 N", "below minimum");
        row("gross is not held to it", minimum, "0.4999 G", "within");
        row("tare is not held to it", minimum, "0.1000 T", "outside");
        row("below minimum wins over outside", "nominal=10 tolerance=0.1 minimumWeight=0.5", "0.1000 N",
            "below minimum");
        row("below minimum without limits", "minimumWeight=0.5", "0.1000 N", "below minimum");
        row("checked minimum times the default factor", "", "0.1639 N", "below minimum", "", "0.082");
        row("checked minimum times the default factor, at it", "", "0.1640 N", "", "", "0.082");
        row("checked minimum times a factor of 3", "minimumWeightFactor=3", "0.2459 N", "below minimum", "", "0.082");
        row("the larger minimum: the setting", "minimumWeight=0.3", "0.2900 N", "below minimum", "", "0.082");
        row("the larger minimum: the check", "minimumWeight=0.1", "0.1500 N", "below minimum", "", "0.082");
        row("no number, no class", minimum, "H N", "");
    }

    void classes()
    {
        QFETCH(QString, texts);
        QFETCH(QString, worklistNominal);
        QFETCH(QString, reading);
        QFETCH(QString, checkedMinimum);
        QFETCH(QString, expected);
        QStringList errors;
        const WeighingSettings settings = WeighingSettings::fromTexts(keysOf(texts), &errors);
        QCOMPARE(errors, QStringList());
        const QString kind = reading.section(' ', 1);
        const ScaleReading line = ScaleReading::fromResult(
            reading.section(' ', 0, 0), QStringLiteral("g"), Stability::Stable,
            kind == "N" ? WeightKind::Net : kind == "G" ? WeightKind::Gross : kind == "T" ? WeightKind::Tare : WeightKind::Unknown);
        const ToleranceLimits limits = ToleranceLimits::of(
            settings, worklistNominal.isEmpty() ? std::nullopt : std::optional<double>(worklistNominal.toDouble()));
        const std::optional<double> minimum = effectiveMinimumWeight(
            settings, checkedMinimum.isEmpty() ? std::nullopt : std::optional<double>(checkedMinimum.toDouble()));
        const ToleranceClass found = classifyWeighing(line, limits, minimum);
        QCOMPARE(toleranceText(found), expected);
        QCOMPARE(toleranceClassOf(expected), std::optional<ToleranceClass>(found));
    }

    void repeatabilityMinimum_data()
    {
        QTest::addColumn<double>("sd");
        QTest::addColumn<double>("readability");
        QTest::addColumn<double>("minimum");
        QTest::newRow("s above 0.41 d") << 0.0001 << 0.0001 << 0.2;
        QTest::newRow("s below 0.41 d: the floor") << 0.00002 << 0.0001 << 0.082;
        QTest::newRow("s of 0: the floor") << 0.0 << 0.001 << 0.82;
        QTest::newRow("s at 0.41 d") << 0.000041 << 0.0001 << 0.082;
    }

    void repeatabilityMinimum()
    {
        QFETCH(double, sd);
        QFETCH(double, readability);
        QTEST(repeatabilityMinimumWeight(sd, readability), "minimum");
    }
};

QTEST_GUILESS_MAIN(TestWeighing)
#include "tst_weighing.moc"
