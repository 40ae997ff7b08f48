// The series of weighings gathered for the drop folder: a weighing of
// another series finishes the instrument's open one, a stop finishes all,
// the figures and classes are those the exports show, and rows that are no
// weighings of a series are passed by.
#include "publish/seriesgatherer.h"

#include <QtTest>

using namespace Veltrano;

namespace {

// "INSTRUMENT SERIES SAMPLE RESULT CLASS NOMINAL": SERIES "none" is a row of
// the time series, "-" a weighing of no series; CLASS and NOMINAL "-" are empty.
Row rowOf(const QString &spec, int index)
{
    const QStringList f = spec.split(QLatin1Char(' '));
    const auto text = [&f](int i) { return f.value(i) == QLatin1String("-") ? QString() : f.value(i); };
    Row row(QStringLiteral("2026-12-10"), QStringLiteral("08:00:%1").arg(index, 2, 10, QLatin1Char('0')),
            QStringLiteral("Balance ") + f[0], QString(), f[3], QStringLiteral("g"));
    row.provenance.instrument = f[0];
    if (f[1] != QLatin1String("none")) {
        Weighing weighing;
        weighing.series = text(1);
        weighing.sample = f[2];
        weighing.kind = QLatin1String(Weighing::kNet);
        weighing.weighingClass = text(4).replace(QLatin1Char('_'), QLatin1Char(' '));
        weighing.nominal = text(5);
        row.weighing = weighing;
    }
    return row;
}

QString describe(const SeriesFile &file)
{
    QStringList weighings;
    for (const SeriesWeighing &w : file.weighings)
        weighings << QStringList{w.sample, w.time.right(2), w.result, w.unit, w.weighingClass, w.hash}.join('/');
    const SeriesSummary &s = file.summary;
    QStringList classes;
    for (const auto &[name, count] : s.classCounts)
        classes << name + '=' + count;
    return QStringList{file.instrument, file.name, file.series, file.first.right(2) + '-' + file.last.right(2), file.unit,
                       weighings.join(','), s.n, s.mean, s.sd, s.rsd, s.min, s.max, s.range, s.nominal, classes.join(',')}
        .join(QLatin1Char('|'));
}

} // namespace

class TestSeriesGatherer : public QObject
{
    Q_OBJECT
private slots:
    void gather_data()
    {
        QTest::addColumn<QStringList>("rows");  // "stop" finishes every open series
        QTest::addColumn<QStringList>("finished");  // "stop" where the stop came

        QTest::newRow("the next series finishes the open one")
            << QStringList{"b1 S1 A1 10.01 within 10.00", "b1 S1 A2 10.03 warning -", "b1 S2 B1 9.5 outside -", "stop"}
            << QStringList{"b1|Balance b1|S1|00-01|g|A1/00/10.01/g/within/h0,A2/01/10.03/g/warning/h1|2|10.020|0.014|0.14|"
                           "10.010|10.030|0.020|10.00|within=1,warning=1,outside=0,below minimum=0",
                           "stop",
                           "b1|Balance b1|S2|02-02|g|B1/02/9.5/g/outside/h2|1|9.50|||9.50|9.50|0.00||"
                           "within=0,warning=0,outside=1,below minimum=0"};
        QTest::newRow("each instrument its own series")
            << QStringList{"b2 S1 A1 1 - -", "b1 S1 A1 2 - -", "b2 S2 A2 3 - -", "b1 S1 A2 4 below_minimum -", "stop"}
            << QStringList{"b2|Balance b2|S1|00-00|g|A1/00/1/g//h0|1|1.0|||1.0|1.0|0.0||"
                           "within=0,warning=0,outside=0,below minimum=0",
                           "stop",
                           "b1|Balance b1|S1|01-03|g|A1/01/2/g//h1,A2/03/4/g/below minimum/h3|2|3.0|1.4|47.14|2.0|4.0|2.0||"
                           "within=0,warning=0,outside=0,below minimum=1",
                           "b2|Balance b2|S2|02-02|g|A2/02/3/g//h2|1|3.0|||3.0|3.0|0.0||"
                           "within=0,warning=0,outside=0,below minimum=0"};
        QTest::newRow("an earlier series again is a new one")
            << QStringList{"b1 S1 A1 1.0 - -", "b1 S2 A2 1.0 - -", "b1 S1 A3 1.0 - -"}
            << QStringList{"b1|Balance b1|S1|00-00|g|A1/00/1.0/g//h0|1|1.00|||1.00|1.00|0.00||"
                           "within=0,warning=0,outside=0,below minimum=0",
                           "b1|Balance b1|S2|01-01|g|A2/01/1.0/g//h1|1|1.00|||1.00|1.00|0.00||"
                           "within=0,warning=0,outside=0,below minimum=0"};
        QTest::newRow("rows that are no weighings of a series")
            << QStringList{"b1 none - 5.0 - -", "stop", "b1 S1 A1 5.00 - -", "b1 none - 7.00 - -", "b1 - A2 5.0 within -",
                           "b1 S1 A3 5.02 - -", "stop"}
            << QStringList{"stop", "stop", "b1|Balance b1|S1|02-05|g|A1/02/5.00/g//h2,A3/05/5.02/g//h5|2|5.010|0.014|0.28|"
                                           "5.000|5.020|0.020||within=0,warning=0,outside=0,below minimum=0"};
    }

    void gather()
    {
        QFETCH(QStringList, rows);
        QStringList finished;
        SeriesGatherer gatherer([&finished](const SeriesFile &file) { finished << describe(file); });
        for (int i = 0; i < rows.size(); ++i) {
            if (rows[i] == QLatin1String("stop")) {
                finished << QStringLiteral("stop");
                gatherer.finishAll();
                QCOMPARE(gatherer.openSeries(), 0);
            } else {
                gatherer.add(rowOf(rows[i], i), QStringLiteral("h%1").arg(i));
            }
        }
        QTEST(finished, "finished");
    }
};

QTEST_GUILESS_MAIN(TestSeriesGatherer)
#include "tst_seriesgatherer.moc"
