#include "report/reportchart.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <limits>

namespace Veltrano::ReportChart {

namespace {

int decimalsFor(double step)
{
    return std::max(0, int(-std::floor(std::log10(step) + 1e-9)));
}

struct Line
{
    std::optional<double> value;
    QPen pen;
};

} // namespace

QColor classColour(ResultClass resultClass)
{
    switch (resultClass) {
    case ResultClass::Within:
        return QColor(0x2e, 0x7d, 0x32);
    case ResultClass::Warning:
        return QColor(0xd9, 0x82, 0x00);
    case ResultClass::Outside:
        return QColor(0xc6, 0x28, 0x28);
    case ResultClass::BelowMinimum:
        return QColor(0x15, 0x65, 0xc0);
    case ResultClass::None:
        break;
    }
    return QColor(0x61, 0x61, 0x61);
}

std::optional<double> leadingNumber(const QString &text)
{
    static const QRegularExpression number(QStringLiteral("^\\s*[+-]?\\s*(\\d+([.,]\\d*)?|[.,]\\d+)"));
    const auto match = number.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    bool ok = false;
    const double value = numericValue(match.captured(0)).toDouble(&ok);
    return ok ? std::optional<double>(value) : std::nullopt;
}

Series seriesOf(const ReportData &data)
{
    Series series;
    series.rowCount = data.rows.size();
    QStringList units;
    for (int i = 0; i < data.rows.size(); ++i) {
        const ReportRow &row = data.rows[i];
        bool ok = false;
        const double value = numericValue(row.result).toDouble(&ok);
        if (!ok || !std::isfinite(value))
            continue;
        series.points.append(QPointF(i + 1, value));
        series.classes.append(row.resultClass);
        if (!units.contains(row.unit))
            units.append(row.unit);
    }
    if (units.size() > 1) {
        series.points.clear();
        series.classes.clear();
        series.why = QStringLiteral("The results are in several units (%1): they are not charted.")
                         .arg(units.join(QStringLiteral(", ")));
        return series;
    }
    if (series.points.isEmpty()) {
        series.why = QStringLiteral("No result is a number: there is nothing to chart.");
        return series;
    }
    series.unit = units.value(0);
    if (data.statistics) {
        const ReportStatistics &statistics = *data.statistics;
        series.nominal = leadingNumber(statistics.nominal);
        series.t1Lower = leadingNumber(statistics.t1Lower);
        series.t1Upper = leadingNumber(statistics.t1Upper);
        series.t2Lower = leadingNumber(statistics.t2Lower);
        series.t2Upper = leadingNumber(statistics.t2Upper);
    }
    return series;
}

QVector<double> axisTicks(double low, double high, int count)
{
    QVector<double> ticks;
    if (!(high > low) || count < 1 || !std::isfinite(high - low))
        return ticks;
    const double raw = (high - low) / count;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    double step = magnitude;
    for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
        step = factor * magnitude;
        if (step >= raw)
            break;
    }
    const double first = std::ceil(low / step - 1e-9) * step;
    for (double tick = first; tick <= high + step * 1e-9; tick += step)
        ticks.append(std::abs(tick) < step * 1e-9 ? 0.0 : tick);
    return ticks;
}

void drawMarker(QPainter *painter, ResultClass resultClass, const QPointF &centre, qreal size)
{
    const QColor colour = classColour(resultClass);
    const qreal r = size / 2;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    switch (resultClass) {
    case ResultClass::Within:
        painter->setPen(Qt::NoPen);
        painter->setBrush(colour);
        painter->drawEllipse(centre, r, r);
        break;
    case ResultClass::Warning: {
        painter->setPen(Qt::NoPen);
        painter->setBrush(colour);
        const QPointF corners[3] = {centre + QPointF(0, -r * 1.1), centre + QPointF(r * 1.05, r * 0.8),
                                    centre + QPointF(-r * 1.05, r * 0.8)};
        painter->drawPolygon(corners, 3);
        break;
    }
    case ResultClass::Outside:
        painter->setPen(QPen(colour, size / 4, Qt::SolidLine, Qt::FlatCap));
        painter->drawLine(centre + QPointF(-r, -r), centre + QPointF(r, r));
        painter->drawLine(centre + QPointF(-r, r), centre + QPointF(r, -r));
        break;
    case ResultClass::BelowMinimum: {
        painter->setPen(Qt::NoPen);
        painter->setBrush(colour);
        const QPointF corners[4] = {centre + QPointF(0, -r * 1.15), centre + QPointF(r * 1.15, 0),
                                    centre + QPointF(0, r * 1.15), centre + QPointF(-r * 1.15, 0)};
        painter->drawPolygon(corners, 4);
        break;
    }
    case ResultClass::None:
        painter->setPen(QPen(colour, size / 6));
        painter->setBrush(Qt::NoBrush);
        painter->drawEllipse(centre, r * 0.85, r * 0.85);
        break;
    }
    painter->restore();
}

void draw(QPainter *painter, const QRectF &area, const Series &series, const QFont &font, qreal mm)
{
    const QFontMetricsF metrics(font, painter->device());
    const qreal line = metrics.height();
    painter->save();
    painter->setFont(font);

    const Line lines[] = {
        {series.nominal, QPen(QColor(0x26, 0x32, 0x38), 0.3 * mm)},
        {series.t1Lower, QPen(classColour(ResultClass::Warning), 0.25 * mm, Qt::DashLine)},
        {series.t1Upper, QPen(classColour(ResultClass::Warning), 0.25 * mm, Qt::DashLine)},
        {series.t2Lower, QPen(classColour(ResultClass::Outside), 0.25 * mm, Qt::DashDotLine)},
        {series.t2Upper, QPen(classColour(ResultClass::Outside), 0.25 * mm, Qt::DashDotLine)},
    };

    // Results below the minimum weight (an empty pan, a forgotten sample)
    // would squeeze the rest into a line: the scale is made for the others
    // and the limits, and those beyond it are drawn on its edge.
    const bool scaleOthers = std::any_of(series.classes.begin(), series.classes.end(),
                                         [](ResultClass c) { return c != ResultClass::BelowMinimum; });
    double low = std::numeric_limits<double>::max(), high = std::numeric_limits<double>::lowest();
    for (int i = 0; i < series.points.size(); ++i) {
        if (scaleOthers && series.classes[i] == ResultClass::BelowMinimum)
            continue;
        low = std::min(low, series.points[i].y());
        high = std::max(high, series.points[i].y());
    }
    for (const Line &limit : lines) {
        if (limit.value) {
            low = std::min(low, *limit.value);
            high = std::max(high, *limit.value);
        }
    }
    if (!(high > low)) {
        const double pad = low != 0 ? std::abs(low) * 0.01 : 1.0;
        low -= pad;
        high += pad;
    }
    const double margin = (high - low) * 0.06;
    low -= margin;
    high += margin;
    const QVector<double> yTicks = axisTicks(low, high, 8);
    const int yDecimals = yTicks.size() > 1 ? decimalsFor(yTicks[1] - yTicks[0]) : 3;

    qreal labelWidth = metrics.horizontalAdvance(series.unit);
    for (const double tick : yTicks)
        labelWidth = std::max(labelWidth, metrics.horizontalAdvance(QString::number(tick, 'f', yDecimals)));
    const qreal legendHeight = line * 1.6;
    const QRectF plot = area.adjusted(labelWidth + 2 * mm, line * 1.2, -2 * mm, -(line * 1.6 + legendHeight));
    const double xLow = 0.5, xHigh = series.rowCount + 0.5;
    const auto at = [&](double x, double y) {
        return QPointF(plot.left() + (x - xLow) / (xHigh - xLow) * plot.width(),
                       plot.bottom() - (y - low) / (high - low) * plot.height());
    };

    // Axes, grid and their labels.
    const QPen grid(QColor(0xdd, 0xdd, 0xdd), 0.15 * mm);
    const QPen text(Qt::black);
    for (const double tick : yTicks) {
        const qreal y = at(xLow, tick).y();
        painter->setPen(grid);
        painter->drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        painter->setPen(text);
        const QString label = QString::number(tick, 'f', yDecimals);
        painter->drawText(QPointF(plot.left() - 1.2 * mm - metrics.horizontalAdvance(label), y + metrics.ascent() / 3),
                          label);
    }
    const QVector<double> xTicks = axisTicks(1, std::max(series.rowCount, 2), 8);
    for (const double tick : xTicks) {
        if (tick != std::floor(tick))
            continue;
        const qreal x = at(tick, low).x();
        painter->setPen(grid);
        painter->drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        painter->setPen(text);
        const QString label = QString::number(qint64(tick));
        painter->drawText(QPointF(x - metrics.horizontalAdvance(label) / 2, plot.bottom() + line * 1.05), label);
    }
    painter->setPen(text);
    painter->drawText(QPointF(area.left(), area.top() + metrics.ascent()), series.unit);
    painter->setPen(QPen(Qt::black, 0.2 * mm));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(plot);

    // The limits, then the points over them.
    painter->setClipRect(plot.adjusted(-2 * mm, -2 * mm, 2 * mm, 2 * mm));
    for (const Line &limit : lines) {
        if (!limit.value)
            continue;
        painter->setPen(limit.pen);
        painter->drawLine(at(xLow, *limit.value), at(xHigh, *limit.value));
    }
    const qreal size = std::clamp(plot.width() / std::max(series.rowCount, 1) * 0.9, 0.5 * mm, 1.6 * mm);
    int offScale = 0;
    for (int i = 0; i < series.points.size(); ++i) {
        const double y = series.points[i].y();
        offScale += y < low || y > high;
        drawMarker(painter, series.classes[i], at(series.points[i].x(), std::clamp(y, low, high)), size);
    }
    painter->setClipping(false);
    if (offScale) {
        painter->setPen(text);
        const QString note = QStringLiteral("%1 %2 off the scale, drawn on its edge")
                                 .arg(offScale)
                                 .arg(offScale == 1 ? QStringLiteral("result") : QStringLiteral("results"));
        painter->drawText(QPointF(plot.right() - metrics.horizontalAdvance(note), area.top() + metrics.ascent()), note);
    }

    // The legend: the classes that occur, then the lines drawn.
    qreal x = plot.left();
    const qreal y = area.bottom() - legendHeight / 2;
    painter->setPen(text);
    const QString order = QStringLiteral("Results in order of weighing:");
    painter->drawText(QPointF(x, y + metrics.ascent() / 3), order);
    x += metrics.horizontalAdvance(order) + 2 * mm;
    for (const ResultClass resultClass : {ResultClass::Within, ResultClass::Warning, ResultClass::Outside,
                                          ResultClass::BelowMinimum, ResultClass::None}) {
        if (!series.classes.contains(resultClass))
            continue;
        drawMarker(painter, resultClass, QPointF(x + 0.8 * mm, y), 1.6 * mm);
        const QString label = resultClass == ResultClass::None ? QStringLiteral("no class") : resultClassText(resultClass);
        painter->setPen(text);
        painter->drawText(QPointF(x + 2.4 * mm, y + metrics.ascent() / 3), label);
        x += 2.4 * mm + metrics.horizontalAdvance(label) + 3 * mm;
    }
    const struct
    {
        const Line &line;
        const char *label;
    } named[] = {{lines[0], "nominal"}, {lines[1].value ? lines[1] : lines[2], "T1"}, {lines[3].value ? lines[3] : lines[4], "T2"}};
    for (const auto &entry : named) {
        if (!entry.line.value)
            continue;
        painter->setPen(entry.line.pen);
        painter->drawLine(QPointF(x, y), QPointF(x + 6 * mm, y));
        painter->setPen(text);
        const QString label = QString::fromLatin1(entry.label);
        painter->drawText(QPointF(x + 7 * mm, y + metrics.ascent() / 3), label);
        x += 7 * mm + metrics.horizontalAdvance(label) + 3 * mm;
    }
    painter->restore();
}

} // namespace Veltrano::ReportChart
