// The routine tests of a balance: repeatability, accuracy and eccentricity
// judged on known readings, at and around each limit, and the tests that
// cannot be judged.
#include "checks/checkentries.h"
#include "checks/checkrules.h"

#include <QtTest>

#include <cmath>
#include <limits>

using namespace Veltrano;
using namespace Veltrano::Checks;

namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

// "key=value key=value"
QMap<QString, QString> keysOf(const QString &text)
{
    QMap<QString, QString> keys;
    for (const QString &pair : text.split(' ', Qt::SkipEmptyParts))
        keys.insert(pair.section('=', 0, 0), pair.section('=', 1));
    return keys;
}

std::optional<double> numberOf(const QMap<QString, QString> &keys, const QString &key)
{
    return keys.contains(key) ? std::optional<double>(keys.value(key).toDouble()) : std::nullopt;
}

// "value" in g, or "value unit".
QVector<ScaleReading> readingsOf(const QStringList &texts)
{
    QVector<ScaleReading> readings;
    for (const QString &text : texts)
        readings << ScaleReading::fromResult(text.section(' ', 0, 0), text.contains(' ') ? text.section(' ', 1) : "g",
                                             Stability::Stable, WeightKind::Net);
    return readings;
}

QStringList repeated(const QString &value, int times)
{
    QStringList values;
    for (int i = 0; i < times; ++i)
        values << value;
    return values;
}

} // namespace

class TestCheckRules : public QObject
{
    Q_OBJECT
private slots:
    void checks_data()
    {
        QTest::addColumn<QString>("check");
        QTest::addColumn<QStringList>("readings");
        QTest::addColumn<double>("nominal");        // of the weight
        QTest::addColumn<QString>("weight");        // value=, unit=, due=, error=, id=
        QTest::addColumn<QString>("balance");       // d=, max=
        QTest::addColumn<double>("limit");          // eccentricity
        QTest::addColumn<QString>("verdict");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<double>("minimumWeight");  // repeatability

        const QString w1 = "id=W1 unit=g due=2027-06-30", d = "d=0.0001";
        // Steps of 0.1 mg: 0 1 -1 2 -2 0 1 -1 0 0, a sum of squares of 12: s = 0.1 mg x sqrt(12 / 9).
        const QStringList around10{"10.0000", "10.0001", "9.9999", "10.0002", "9.9998",
                                   "10.0000", "10.0001", "9.9999", "10.0000", "10.0000"};
        const double s = 1e-4 * std::sqrt(12.0 / 9);
        QStringList around02;
        for (const QString &value : around10)
            around02 << QString::number(value.toDouble() - 9.8, 'f', 4);
        QTest::newRow("repeatability: passes")
            << "repeatability" << around10 << 10.0 << w1 << d << 0.0 << "pass"
            << "s = 0.00012 g; 2 × s / 10.0000 g = 0.002 % ≤ 0.10 %; minimum weight 0.2309 g: passed" << 2000 * s;
        QTest::newRow("repeatability: fails for a small net weight")
            << "repeatability" << around02 << 0.2 << w1 << d << 0.0 << "fail"
            << "s = 0.00012 g; 2 × s / 0.2000 g = 0.115 % > 0.10 %; minimum weight 0.2309 g: failed" << 2000 * s;
        QTest::newRow("repeatability: at the limit")
            << "repeatability" << around02 << 2000 * s << w1 << d << 0.0 << "pass"
            << "s = 0.00012 g; 2 × s / 0.2309 g = 0.100 % ≤ 0.10 %; minimum weight 0.2309 g: passed" << 2000 * s;
        QTest::newRow("repeatability: just beyond the limit")
            << "repeatability" << around02 << 2000 * s * (1 - 1e-6) << w1 << d << 0.0 << "fail"
            << "s = 0.00012 g; 2 × s / 0.2309 g = 0.100 % > 0.10 %; minimum weight 0.2309 g: failed" << 2000 * s;
        QTest::newRow("repeatability: s below 0.41 d")
            << "repeatability" << repeated("10.0000", 10) << 10.0 << w1 << d << 0.0 << "pass"
            << "s = 0.00000 g, taken as 0.41 d = 0.000041 g; 2 × s / 10.0000 g = 0.001 % ≤ 0.10 %; "
               "minimum weight 0.0820 g: passed"
            << 0.082;
        QTest::newRow("repeatability: 0.41 d at the limit")
            << "repeatability" << repeated("0.0820", 12) << 0.082 << w1 << d << 0.0 << "pass"
            << "s = 0.00000 g, taken as 0.41 d = 0.000041 g; 2 × s / 0.0820 g = 0.100 % ≤ 0.10 %; "
               "minimum weight 0.0820 g: passed"
            << 0.082;
        QTest::newRow("repeatability: 0.41 d fails it")
            << "repeatability" << repeated("0.0810", 10) << 0.081 << w1 << d << 0.0 << "fail"
            << "s = 0.00000 g, taken as 0.41 d = 0.000041 g; 2 × s / 0.0810 g = 0.101 % > 0.10 %; "
               "minimum weight 0.0820 g: failed"
            << 0.082;
        QTest::newRow("repeatability: too few weighings")
            << "repeatability" << QStringList(around10.mid(0, 9)) << 10.0 << w1 << d << 0.0 << "refused"
            << "10 weighings are needed, there are 9" << kNone;
        QTest::newRow("repeatability: no readability")
            << "repeatability" << around10 << 10.0 << w1 << "" << 0.0 << "refused"
            << "the balance's readability d is not known" << kNone;
        QTest::newRow("repeatability: weight past its calibration")
            << "repeatability" << around10 << 10.0 << "id=W1 due=2026-12-08" << d << 0.0 << "refused"
            << "weight W1 was due for calibration on 2026-12-08, before the test on 2026-12-09" << kNone;
        QTest::newRow("repeatability: weight due on the day")
            << "repeatability" << around10 << 10.0 << "due=2026-12-09" << d << 0.0 << "pass"
            << "s = 0.00012 g; 2 × s / 10.0000 g = 0.002 % ≤ 0.10 %; minimum weight 0.2309 g: passed" << 2000 * s;
        QTest::newRow("repeatability: weight without calibration date")
            << "repeatability" << around10 << 10.0 << "id=W1" << d << 0.0 << "refused"
            << "weight W1 has no calibration due date" << kNone;
        QTest::newRow("repeatability: a reading without a number")
            << "repeatability" << QStringList(around10).replaceInStrings("9.9998", "H") << 10.0 << w1 << d << 0.0
            << "refused" << "reading 5 has no number" << kNone;
        QTest::newRow("repeatability: a reading in another unit")
            << "repeatability" << QStringList(around10).replaceInStrings("10.0001", "10000.1 mg") << 10.0 << w1 << d
            << 0.0 << "refused" << "reading 2 is in \"mg\", not in \"g\"" << kNone;
        QTest::newRow("repeatability: readings in another unit than the weight")
            << "repeatability" << QStringList{"10.0 mg"} << 10.0 << w1 << d << 0.0 << "refused"
            << "reading 1 is in \"mg\", not in \"g\"" << kNone;

        const QString capacity = "d=0.0001 max=220";
        QTest::newRow("accuracy: passes")
            << "accuracy" << QStringList{"200.1000"} << 200.0 << w1 << capacity << 0.0 << "pass"
            << "reading 200.1000 g − weight 200.00000 g = 0.10000 g, within ± 0.20000 g (0.10 %): passed" << kNone;
        QTest::newRow("accuracy: at the upper limit")
            << "accuracy" << QStringList{"200.2000"} << 200.0 << w1 << capacity << 0.0 << "pass"
            << "reading 200.2000 g − weight 200.00000 g = 0.20000 g, within ± 0.20000 g (0.10 %): passed" << kNone;
        QTest::newRow("accuracy: at the lower limit")
            << "accuracy" << QStringList{"199.8000"} << 200.0 << w1 << capacity << 0.0 << "pass"
            << "reading 199.8000 g − weight 200.00000 g = -0.20000 g, within ± 0.20000 g (0.10 %): passed" << kNone;
        QTest::newRow("accuracy: just beyond")
            << "accuracy" << QStringList{"200.2001"} << 200.0 << w1 << capacity << 0.0 << "fail"
            << "reading 200.2001 g − weight 200.00000 g = 0.20010 g, beyond ± 0.20000 g (0.10 %): failed" << kNone;
        QTest::newRow("accuracy: the certificate's value, not the nominal")
            << "accuracy" << QStringList{"200.2003"} << 200.0 << w1 + " value=200.0003" << capacity << 0.0 << "pass"
            << "reading 200.2003 g − weight 200.00030 g = 0.20000 g, within ± 0.20000 g (0.10 %): passed" << kNone;
        QTest::newRow("accuracy: a weight at 5 % of capacity")
            << "accuracy" << QStringList{"11.0110"} << 11.0 << w1 << capacity << 0.0 << "pass"
            << "reading 11.0110 g − weight 11.00000 g = 0.01100 g, within ± 0.01100 g (0.10 %): passed" << kNone;
        QTest::newRow("accuracy: a weight below 5 % of capacity")
            << "accuracy" << QStringList{"10.0000"} << 10.0 << w1 << capacity << 0.0 << "refused"
            << "the weight of 10.0000 g is 4.5 % of the capacity 220 g; the test needs a weight of 5 % to 100 %"
            << kNone;
        QTest::newRow("accuracy: a weight beyond capacity")
            << "accuracy" << QStringList{"250.0000"} << 250.0 << w1 << capacity << 0.0 << "refused"
            << "the weight of 250.0000 g is 113.6 % of the capacity 220 g; the test needs a weight of 5 % to 100 %"
            << kNone;
        QTest::newRow("accuracy: capacity not known")
            << "accuracy" << QStringList{"200.0000"} << 200.0 << w1 << d << 0.0 << "refused"
            << "the balance's capacity is not known" << kNone;
        QTest::newRow("accuracy: a weight too coarse for the limit")
            << "accuracy" << QStringList{"200.0000"} << 200.0 << w1 + " error=0.1" << capacity << 0.0 << "refused"
            << "the weight's error of 0.10000 g is more than a third of the test limit 0.20000 g" << kNone;
        QTest::newRow("accuracy: weight past its calibration")
            << "accuracy" << QStringList{"200.0000"} << 200.0 << "due=2025-01-01" << capacity << 0.0 << "refused"
            << "the test weight was due for calibration on 2025-01-01, before the test on 2026-12-09" << kNone;

        const QStringList pan{"100.0000", "100.0001", "99.9998", "100.0001", "100.0000"};
        QTest::newRow("eccentricity: at the limit")
            << "eccentricity" << pan << 100.0 << w1 << "" << 0.0002 << "pass"
            << "front right − centre = -0.0002 g, within ± 0.0002 g: passed" << kNone;
        QTest::newRow("eccentricity: fails at a corner")
            << "eccentricity" << QStringList{"100.0000", "100.0001", "99.9998", "100.0002", "100.0004"} << 100.0 << w1 << "" << 0.0003 << "fail" << "back right − centre = 0.0004 g, beyond ± 0.0003 g: failed"
            << kNone;
        QTest::newRow("eccentricity: four readings")
            << "eccentricity" << QStringList(pan.mid(0, 4)) << 100.0 << w1 << "" << 0.0003 << "refused"
            << "5 readings are needed (centre, front left, front right, back left, back right), there are 4" << kNone;
        QTest::newRow("eccentricity: no limit")
            << "eccentricity" << pan << 100.0 << w1 << "" << 0.0 << "refused" << "there is no eccentricity limit above 0"
            << kNone;
        QTest::newRow("eccentricity: weight past its calibration")
            << "eccentricity" << pan << 100.0 << "id=E5 due=2026-11-30" << "" << 0.0003 << "refused"
            << "weight E5 was due for calibration on 2026-11-30, before the test on 2026-12-09" << kNone;
    }

    void checks()
    {
        QFETCH(QString, check);
        QFETCH(QStringList, readings);
        QFETCH(double, nominal);
        QFETCH(QString, weight);
        QFETCH(QString, balance);
        QFETCH(double, limit);
        QFETCH(QString, verdict);
        QFETCH(double, minimumWeight);

        const QMap<QString, QString> w = keysOf(weight), b = keysOf(balance);
        TestWeight testWeight;
        testWeight.id = w.value("id");
        testWeight.nominal = nominal;
        testWeight.conventionalValue = numberOf(w, "value");
        testWeight.unit = w.value("unit");
        testWeight.calibrationDue = QDate::fromString(w.value("due"), Qt::ISODate);
        testWeight.maximumError = numberOf(w, "error");
        Balance scale;
        scale.readability = numberOf(b, "d");
        scale.capacity = numberOf(b, "max");
        const QDate date(2026, 12, 9);
        const QVector<ScaleReading> lines = readingsOf(readings);

        CheckResult result;
        if (check == "repeatability")
            result = repeatability(lines, testWeight, scale, date);
        else if (check == "accuracy")
            result = accuracy(lines.first(), testWeight, scale, date);
        else
            result = eccentricity(lines, testWeight, limit, date);
        QCOMPARE(checkText(result.check), check);
        QTEST(result.reason, "reason");
        QCOMPARE(verdictText(result.verdict), verdict);
        QCOMPARE(result.passed(), verdict == "pass");
        if (std::isnan(minimumWeight)) {
            QVERIFY(!result.minimumWeight);
        } else {
            QVERIFY(result.minimumWeight);
            QCOMPARE(*result.minimumWeight, minimumWeight);
        }
        if (result.verdict != Verdict::Refused) {
            QCOMPARE(result.n, int(readings.size()));
            QVERIFY(result.deviation && result.limit && result.mean);
            QVERIFY(!result.criterion.isEmpty());
        }
    }

    // The line of figures the window, veltrano-check and a report show: a
    // fresh result a digit finer than its readings, a stored record as kept.
    void figures_data()
    {
        QTest::addColumn<int>("test");
        QTest::addColumn<int>("decimals");
        QTest::addColumn<QString>("figures");
        QTest::newRow("repeatability, shown with 5 decimals") << int(Check::Repeatability) << 5
            << "n = 10; mean = 100.00002 g; s = 0.00001 g; deviation = 0.000 %; minimum weight = 0.02460 g";
        QTest::newRow("repeatability, as kept") << int(Check::Repeatability) << -1
            << "n = 10; mean = 100.00002 g; s = 0.0000123 g; deviation = 0.0000246 %; minimum weight = 0.0246 g";
        QTest::newRow("accuracy: the deviation in the weight's unit") << int(Check::Accuracy) << 5
            << "n = 10; mean = 100.00002 g; s = 0.00001 g; deviation = 0.00002 g; minimum weight = 0.02460 g";
    }

    void figures()
    {
        QFETCH(int, test);
        QFETCH(int, decimals);
        const double deviation = Check(test) == Check::Repeatability ? 0.0000246 : 0.00002;
        QTEST(figuresText({Check(test), 10, 100.00002, 0.0000123, deviation, 0.0246}, "g", decimals), "figures");
        QCOMPARE(figuresText({Check::Eccentricity, 0, {}, {}, {}, {}}, QString()), "n = 0");
    }
};

QTEST_GUILESS_MAIN(TestCheckRules)
#include "tst_checkrules.moc"
