#pragma once

#include "weighing/tolerance.h"

#include <QPointF>
#include <QString>
#include <QVector>

#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

#include <optional>
#include <utility>

// Qt 5 keeps the chart classes in namespace QtCharts, Qt 6 among Qt's own
// (as in livereadingswindow.h).
namespace QtCharts {
}
using namespace QtCharts;

// The chart of a series as it is weighed: each weighing a point at its
// number in the series, coloured by its class (the legend names the
// classes), and the nominal and the T1 and T2 limits as lines. A weighing
// adds one point; only a point beyond the scale so far moves the axes.
// Weighings below the minimum weight do not stretch the scale (an empty pan
// would squeeze the rest into a line): beyond it they sit on its edge.
class SeriesChart
{
public:
    // Draws into `view`, which keeps owning the chart.
    explicit SeriesChart(QChartView *view);

    // An empty chart in `unit`, with the lines of `limits` where set.
    void reset(const QString &unit, const Veltrano::ToleranceLimits &limits);
    // Weighing `number` of the series (from 1).
    void append(int number, double value, Veltrano::ToleranceClass toleranceClass);

private:
    // The x axis and the lines up to weighing `last`.
    void stretch(int last);
    // The y axis fitted to the points and the limits.
    void rescale();

    QChart *m_chart;
    QValueAxis *m_x;
    QValueAxis *m_y;
    QScatterSeries *m_classes[5] = {};  // by ToleranceClass
    struct Limit
    {
        QLineSeries *series = nullptr;
        std::optional<double> value;
    };
    Limit m_limits[5];                // nominal, T1 lower and upper, T2 lower and upper
    QVector<QPointF> m_belowMinimum;  // where they were weighed; drawn within the scale
    // The values of the limits and of the points other than below the
    // minimum, of all, and the scale shown.
    std::optional<std::pair<double, double>> m_others, m_all, m_shown;
    bool m_scaledByOthers = false;
    int m_last = 0;  // the highest number charted
};
