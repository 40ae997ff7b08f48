// The statistics of a series of weighings: figures exact over a million
// weighings, class counts, merging, the state as text and the figures shown.
#include "weighing/seriesstats.h"

#include <QtTest>

#include <cmath>
#include <limits>

using namespace Veltrano;

namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

// Adds the texts as printed, `repeat` times over.
SeriesStats seriesOf(const QStringList &values, int repeat = 1)
{
    QVector<ScaleReading> readings;
    for (const QString &value : values)
        readings << ScaleReading::fromResult(value, QStringLiteral("g"));
    SeriesStats stats;
    for (int i = 0; i < repeat; ++i)
        for (const ScaleReading &reading : qAsConst(readings))
            stats.add(reading);
    return stats;
}

void compareFigure(const std::optional<double> &found, double expected, const char *what)
{
    if (std::isnan(expected)) {
        QVERIFY2(!found, what);
        return;
    }
    QVERIFY2(found, what);
    if (!qFuzzyCompare(*found, expected) && !(expected == 0 && *found == 0))
        QFAIL(qPrintable(QStringLiteral("%1: %2, expected %3")
                             .arg(QLatin1String(what), QString::number(*found, 'g', 17), QString::number(expected, 'g', 17))));
}

} // namespace

class TestSeries : public QObject
{
    Q_OBJECT
private slots:
    void figures_data()
    {
        QTest::addColumn<QStringList>("values");
        QTest::addColumn<int>("repeat");
        QTest::addColumn<qint64>("n");
        QTest::addColumn<double>("mean");
        QTest::addColumn<double>("sd");
        QTest::addColumn<double>("rsd");
        QTest::addColumn<double>("minimum");
        QTest::addColumn<double>("maximum");
        QTest::addColumn<double>("range");
        QTest::addColumn<QString>("shown");  // mean, sd, RSD, range as shown for the readings' decimals

        QTest::newRow("nothing") << QStringList() << 1 << qint64(0) << kNone << kNone << kNone << kNone << kNone
                                 << kNone << ",,,";
        QTest::newRow("one value") << QStringList{"12.50"} << 1 << qint64(1) << 12.5 << kNone << kNone << 12.5 << 12.5
                                   << 0.0 << "12.500,,,0.000";
        const double twoSd = 0.02 / std::sqrt(2.0);
        QTest::newRow("two values") << QStringList{"10.00", "10.02"} << 1 << qint64(2) << 10.01 << twoSd
                                    << twoSd / 10.01 * 100 << 10.0 << 10.02 << 0.02 << "10.010,0.014,0.14,0.020";
        QTest::newRow("all equal") << QStringList{"5.000"} << 1000 << qint64(1000) << 5.0 << 0.0 << 0.0 << 5.0 << 5.0
                                   << 0.0 << "5.0000,0.0000,0.00,0.0000";
        QTest::newRow("mean of zero: no RSD") << QStringList{"-1.0", "1.0"} << 1 << qint64(2) << 0.0 << std::sqrt(2.0)
                                              << kNone << -1.0 << 1.0 << 2.0 << "0.00,1.41,,2.00";
        QTest::newRow("negative loads") << QStringList{"-0.2531", "-0.2529", "-0.2530"} << 1 << qint64(3) << -0.253
                                        << 0.0001 << 0.0001 / 0.253 * 100 << -0.2531 << -0.2529 << 0.0002
                                        << "-0.25300,0.00010,0.04,0.00020";
        // In thousandths 12500, 12530, 12507: n sum(x^2) - sum(x)^2 = 1478.
        const double mixedSd = std::sqrt(1478.0 / 6) / 1000;
        QTest::newRow("decimals that differ") << QStringList{"12.5", "12.53", "12.507"} << 1 << qint64(3)
                                              << 37.537 / 3 << mixedSd << mixedSd / (37.537 / 3) * 100 << 12.5 << 12.53
                                              << 0.03 << "12.5123,0.0157,0.13,0.0300";
        // Symmetric steps of 0.1 mg around 100000.0001 g: the variance is 2
        // steps^2 for each five, n / (n - 1) of it for the sample. A sum of
        // squares in doubles (about 1e16 per weighing) keeps none of it.
        const qint64 million = 1000000;
        const double patternSd = std::sqrt(2.0 * million / (million - 1)) * 1e-4;
        QTest::newRow("a million weighings around 100000.0001 g")
            << QStringList{"99999.9999", "100000.0000", "100000.0001", "100000.0002", "100000.0003"} << 200000
            << million << 100000.0001 << patternSd << patternSd / 100000.0001 * 100 << 99999.9999 << 100000.0003
            << 0.0004 << "100000.00010,0.00014,0.00,0.00040";
        // Steps of +10, 0, 0, -10, 0: 200 steps^2 for each five.
        const double outlierSd = std::sqrt(200000 * 200e-8 / (million - 1));
        QTest::newRow("a million weighings, an outlier first")
            << QStringList{"100000.0011", "100000.0001", "100000.0001", "99999.9991", "100000.0001"} << 200000
            << million << 100000.0001 << outlierSd << outlierSd / 100000.0001 * 100 << 99999.9991 << 100000.0011
            << 0.002 << "100000.00010,0.00063,0.00,0.00200";
    }

    void figures()
    {
        QFETCH(QStringList, values);
        QFETCH(int, repeat);
        QFETCH(double, mean);
        QFETCH(double, sd);
        QFETCH(double, rsd);
        QFETCH(double, minimum);
        QFETCH(double, maximum);
        QFETCH(double, range);
        QFETCH(QString, shown);
        const SeriesStats stats = seriesOf(values, repeat);
        QTEST(stats.count(), "n");
        QVERIFY(stats.exact());
        compareFigure(stats.mean(), mean, "mean");
        compareFigure(stats.sd(), sd, "sd");
        compareFigure(stats.rsdPercent(), rsd, "rsd");
        compareFigure(stats.minimum(), minimum, "minimum");
        compareFigure(stats.maximum(), maximum, "maximum");
        compareFigure(stats.range(), range, "range");
        const int d = stats.decimals();
        QCOMPARE(QStringList({formatted(stats.mean(), d), formatted(stats.sd(), d), formattedPercent(stats.rsdPercent()),
                              formatted(stats.range(), d)})
                     .join(','),
                 shown);
    }

    // Values the exact sums cannot hold go on by Welford's update.
    void beyondExact_data()
    {
        QTest::addColumn<QVector<double>>("values");
        QTest::addColumn<int>("decimals");
        QTest::addColumn<double>("mean");
        QTest::addColumn<double>("sd");
        QTest::newRow("beyond 2^62 steps") << QVector<double>{1e15, 1e15 + 2, 1e15 + 4} << 4 << 1e15 + 2 << 2.0;
        QTest::newRow("more decimals than kept") << QVector<double>{1.0, 1.5, 2.0} << 16 << 1.5 << 0.5;
        QTest::newRow("more decimals than said") << QVector<double>{1.0, 1.25, 1.5} << 1 << 1.25 << 0.25;
    }

    void beyondExact()
    {
        QFETCH(QVector<double>, values);
        QFETCH(int, decimals);
        SeriesStats stats;
        for (const double value : values)
            stats.add(value, decimals);
        QVERIFY(!stats.exact());
        QTEST(*stats.mean(), "mean");
        QTEST(*stats.sd(), "sd");
        QCOMPARE(*stats.range(), values.last() - values.first());
    }

    void classCounts()
    {
        SeriesStats stats;
        const ToleranceClass classes[] = {ToleranceClass::Within, ToleranceClass::Within, ToleranceClass::Warning,
                                          ToleranceClass::Outside, ToleranceClass::BelowMinimum, ToleranceClass::None};
        for (const ToleranceClass c : classes)
            stats.add(1.0, 1, c);
        QCOMPARE(stats.count(), qint64(6));
        QCOMPARE(stats.count(ToleranceClass::Within), qint64(2));
        QCOMPARE(stats.count(ToleranceClass::Warning), qint64(1));
        QCOMPARE(stats.count(ToleranceClass::Outside), qint64(1));
        QCOMPARE(stats.count(ToleranceClass::BelowMinimum), qint64(1));
        QCOMPARE(stats.count(ToleranceClass::None), qint64(1));
        // A reading without a number is no weighing of the series.
        stats.add(ScaleReading::fromResult(QStringLiteral("H"), QStringLiteral("g")));
        QCOMPARE(stats.count(), qint64(6));
    }

    void merge_data()
    {
        QTest::addColumn<QStringList>("first");
        QTest::addColumn<QStringList>("second");
        QTest::newRow("two halves") << QStringList{"10.01", "10.03", "9.98"} << QStringList{"10.00", "10.02"};
        QTest::newRow("more decimals in the second") << QStringList{"10.0", "10.1"} << QStringList{"10.052", "9.998"};
        QTest::newRow("far apart") << QStringList{"0.0001", "-0.0003"} << QStringList{"100000.0001", "99999.9999"};
        QTest::newRow("into nothing") << QStringList() << QStringList{"1.5", "2.5"};
        QTest::newRow("nothing in") << QStringList{"1.5", "2.5"} << QStringList();
    }

    // Merged is as if added to one series: the same exact figures.
    void merge()
    {
        QFETCH(QStringList, first);
        QFETCH(QStringList, second);
        SeriesStats merged = seriesOf(first);
        merged.merge(seriesOf(second));
        const SeriesStats whole = seriesOf(first + second);
        QCOMPARE(merged.count(), whole.count());
        QVERIFY(merged.exact());
        QCOMPARE(merged.decimals(), whole.decimals());
        QCOMPARE(merged.mean(), whole.mean());
        QCOMPARE(merged.sd(), whole.sd());
        QCOMPARE(merged.minimum(), whole.minimum());
        QCOMPARE(merged.maximum(), whole.maximum());
        QCOMPARE(merged.range(), whole.range());
    }

    void text_data()
    {
        QTest::addColumn<QStringList>("values");
        QTest::newRow("nothing") << QStringList();
        QTest::newRow("one value") << QStringList{"-12.5"};
        QTest::newRow("a series") << QStringList{"100000.0001", "99999.9999", "100000.0003"};
    }

    // The state written and read back goes on as the original does.
    void text()
    {
        QFETCH(QStringList, values);
        SeriesStats stats = seriesOf(values);
        stats.add(3.0, 0, ToleranceClass::Warning);
        std::optional<SeriesStats> read = SeriesStats::fromText(stats.toText());
        QVERIFY(read);
        QVERIFY(*read == stats);
        stats.add(2.25, 2, ToleranceClass::Within);
        read->add(2.25, 2, ToleranceClass::Within);
        QVERIFY(*read == stats);
        QCOMPARE(read->count(ToleranceClass::Warning), qint64(1));
    }

    void textRefused_data()
    {
        QTest::addColumn<QString>("text");
        const QString written = seriesOf({"1.5", "2.5"}).toText();
        QTest::newRow("empty") << "";
        QTest::newRow("another version") << QString(written).replace("series-stats 1", "series-stats 2");
        QTest::newRow("a field missing") << written.section(' ', 0, -2);
        QTest::newRow("a field renamed") << QString(written).replace("squares=", "square=");
        QTest::newRow("not a number") << QString(written).replace("sum=", "sum=x");
        QTest::newRow("a sum beyond 128 bits") << QString(written).replace("sum=", "sum=999999999999999999999999999999999999999");
    }

    void textRefused()
    {
        QFETCH(QString, text);
        QVERIFY(!SeriesStats::fromText(text));
    }

    void shown_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("decimals");
        QTest::addColumn<QString>("text");
        QTest::newRow("one decimal more") << 12.5 << 2 << "12.500";
        QTest::newRow("rounded") << 0.0141421 << 2 << "0.014";
        QTest::newRow("no minus for a zero") << -0.00001 << 2 << "0.000";
        QTest::newRow("negative") << -0.25301 << 4 << "-0.25301";
        QTest::newRow("whole readings") << 1234.56 << 0 << "1234.6";
    }

    void shown()
    {
        QFETCH(double, value);
        QFETCH(int, decimals);
        QTEST(formatted(value, decimals), "text");
        QCOMPARE(formatted(std::optional<double>(), decimals), QString());
        QCOMPARE(formattedPercent(0.1131), QStringLiteral("0.11"));
    }
};

QTEST_GUILESS_MAIN(TestSeries)
#include "tst_series.moc"
