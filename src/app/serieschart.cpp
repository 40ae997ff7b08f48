#include "serieschart.h"

#include "report/reportchart.h"
#include "report/reportdata.h"

#include <QCoreApplication>
#include <QGraphicsLayout>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>

#include <algorithm>
#include <cmath>

using Veltrano::ToleranceClass;

namespace {

constexpr ToleranceClass kClasses[] = {ToleranceClass::None, ToleranceClass::Within, ToleranceClass::Warning,
                                       ToleranceClass::Outside, ToleranceClass::BelowMinimum};
enum LimitLine { Nominal, T1Lower, T1Upper, T2Lower, T2Upper, LimitCount };

QString text(const char *source)
{
    return QCoreApplication::translate("SeriesChart", source);
}

QString className(ToleranceClass toleranceClass)
{
    return toleranceClass == ToleranceClass::None ? text("no class") : Veltrano::toleranceText(toleranceClass);
}

void widen(std::optional<std::pair<double, double>> &range, double value)
{
    range = range ? std::make_pair(std::min(range->first, value), std::max(range->second, value))
                  : std::make_pair(value, value);
}

QLegendMarker *markerOf(QChart *chart, QAbstractSeries *series)
{
    const QList<QLegendMarker *> markers = chart->legend()->markers(series);
    return markers.isEmpty() ? nullptr : markers.first();
}

} // namespace

SeriesChart::SeriesChart(QChartView *view)
    : m_chart(new QChart)
    , m_x(new QValueAxis)
    , m_y(new QValueAxis)
{
    m_chart->setAnimationOptions(QChart::NoAnimation);
    // Beside the plot: its names would not fit in a line under it.
    m_chart->legend()->setAlignment(Qt::AlignRight);
    QFont small = m_chart->legend()->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    m_chart->legend()->setFont(small);
    m_chart->setBackgroundRoundness(0);
    m_chart->setMargins(QMargins(4, 4, 4, 0));
    m_chart->layout()->setContentsMargins(0, 0, 0, 0);
    m_x->setTitleText(text("Weighing"));
    m_x->setLabelFormat(QStringLiteral("%d"));
    // A step before the kind of ticks that needs one: without, no end of them.
    m_x->setTickInterval(1);
    m_x->setTickAnchor(0);
    m_x->setTickType(QValueAxis::TicksDynamic);
    m_chart->addAxis(m_x, Qt::AlignBottom);
    m_chart->addAxis(m_y, Qt::AlignLeft);

    const struct
    {
        const char *name;
        QPen pen;
    } lines[LimitCount] = {
        {"nominal", QPen(QColor(0x26, 0x32, 0x38), 1.5)},
        {"T1", QPen(Veltrano::ReportChart::classColour(Veltrano::ResultClass::Warning), 1.2, Qt::DashLine)},
        {"T1", QPen(Veltrano::ReportChart::classColour(Veltrano::ResultClass::Warning), 1.2, Qt::DashLine)},
        {"T2", QPen(Veltrano::ReportChart::classColour(Veltrano::ResultClass::Outside), 1.2, Qt::DashDotLine)},
        {"T2", QPen(Veltrano::ReportChart::classColour(Veltrano::ResultClass::Outside), 1.2, Qt::DashDotLine)},
    };
    for (int i = 0; i < LimitCount; ++i) {
        auto *line = new QLineSeries;
        line->setName(text(lines[i].name));
        line->setPen(lines[i].pen);
        m_chart->addSeries(line);
        line->attachAxis(m_x);
        line->attachAxis(m_y);
        m_limits[i].series = line;
    }
    // The points over the lines.
    for (const ToleranceClass toleranceClass : kClasses) {
        auto *points = new QScatterSeries;
        const QColor colour = Veltrano::ReportChart::classColour(Veltrano::resultClassOf(toleranceClass));
        points->setName(className(toleranceClass));
        points->setMarkerSize(8);
        points->setMarkerShape(toleranceClass == ToleranceClass::Within || toleranceClass == ToleranceClass::None
                                   ? QScatterSeries::MarkerShapeCircle
                                   : QScatterSeries::MarkerShapeRectangle);
        points->setPen(QPen(colour, 1.5));
        points->setBrush(toleranceClass == ToleranceClass::None ? QBrush(Qt::NoBrush) : QBrush(colour));
        m_chart->addSeries(points);
        points->attachAxis(m_x);
        points->attachAxis(m_y);
        m_classes[int(toleranceClass)] = points;
    }
    // The view made a chart of its own, which it hands back here, not frees.
    QChart *placeholder = view->chart();
    view->setChart(m_chart);
    delete placeholder;
    view->setRenderHint(QPainter::Antialiasing);
    reset(QString(), {});
}

void SeriesChart::reset(const QString &unit, const Veltrano::ToleranceLimits &limits)
{
    for (QScatterSeries *points : m_classes) {
        points->clear();
        if (QLegendMarker *marker = markerOf(m_chart, points))
            marker->setVisible(false);
    }
    m_belowMinimum.clear();
    m_last = 0;
    m_others.reset();
    m_all.reset();
    m_shown.reset();
    const std::optional<double> t1 = limits.warningAmount(), t2 = limits.toleranceAmount();
    m_limits[Nominal].value = limits.nominal;
    m_limits[T1Lower].value = t1 ? std::optional<double>(*limits.nominal - *t1) : std::nullopt;
    m_limits[T1Upper].value = t1 ? std::optional<double>(*limits.nominal + *t1) : std::nullopt;
    m_limits[T2Lower].value = t2 ? std::optional<double>(*limits.nominal - *t2) : std::nullopt;
    m_limits[T2Upper].value = t2 ? std::optional<double>(*limits.nominal + *t2) : std::nullopt;
    for (int i = 0; i < LimitCount; ++i) {
        if (m_limits[i].value) {
            widen(m_others, *m_limits[i].value);
            widen(m_all, *m_limits[i].value);
        }
        // One entry in the legend for each line drawn: the lower stands for both.
        if (QLegendMarker *marker = markerOf(m_chart, m_limits[i].series))
            marker->setVisible(m_limits[i].value && i != T1Upper && i != T2Upper);
    }
    m_y->setTitleText(unit);
    stretch(1);
    rescale();
}

void SeriesChart::append(int number, double value, ToleranceClass toleranceClass)
{
    QScatterSeries *points = m_classes[std::clamp(int(toleranceClass), 0, int(std::size(kClasses)) - 1)];
    if (points->count() == 0) {
        if (QLegendMarker *marker = markerOf(m_chart, points))
            marker->setVisible(true);
    }
    if (number > m_last)
        stretch(number);
    widen(m_all, value);
    const bool belowMinimum = toleranceClass == ToleranceClass::BelowMinimum;
    const bool firstOther = !belowMinimum && !m_scaledByOthers;
    if (!belowMinimum)
        widen(m_others, value);
    if (firstOther || !m_shown || value < m_shown->first || value > m_shown->second)
        rescale();
    if (belowMinimum) {
        m_belowMinimum.append(QPointF(number, value));
        points->append(number, std::clamp(value, m_shown->first, m_shown->second));
    } else {
        points->append(number, value);
    }
}

void SeriesChart::stretch(int last)
{
    m_last = last;
    const double from = 0.5, to = std::max(last, 1) + 0.5;
    m_x->setRange(from, to);
    const QVector<double> ticks = Veltrano::ReportChart::axisTicks(1, std::max(last, 2), 8);
    m_x->setTickInterval(ticks.size() > 1 ? std::max(1.0, ticks[1] - ticks[0]) : 1.0);
    for (const Limit &limit : m_limits) {
        if (limit.value)
            limit.series->replace(QVector<QPointF>{QPointF(from, *limit.value), QPointF(to, *limit.value)});
        else if (limit.series->count() > 0)
            limit.series->clear();
    }
}

void SeriesChart::rescale()
{
    // Those below the minimum set the scale only while nothing else does.
    m_scaledByOthers = m_others.has_value();
    std::pair<double, double> range = m_others ? *m_others : m_all ? *m_all : std::make_pair(0.0, 1.0);
    if (!(range.second > range.first)) {
        const double pad = range.first != 0 ? std::abs(range.first) * 0.01 : 1.0;
        range = {range.first - pad, range.second + pad};
    }
    const double margin = (range.second - range.first) * 0.06;
    m_y->setRange(range.first - margin, range.second + margin);
    m_y->applyNiceNumbers();
    m_shown = std::make_pair(m_y->min(), m_y->max());
    if (m_belowMinimum.isEmpty())
        return;
    QVector<QPointF> drawn;
    drawn.reserve(m_belowMinimum.size());
    for (const QPointF &point : qAsConst(m_belowMinimum))
        drawn.append(QPointF(point.x(), std::clamp(point.y(), m_shown->first, m_shown->second)));
    m_classes[int(ToleranceClass::BelowMinimum)]->replace(drawn);
}
