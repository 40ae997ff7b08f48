#pragma once

#include "report/reportdata.h"

#include <QColor>
#include <QPointF>
#include <QString>
#include <QVector>

#include <optional>

class QFont;
class QPainter;
class QRectF;

// The report's chart of a series: each result a point in the order of the
// rows, the nominal value and the T1 and T2 limits as lines, each point
// marked by its class in shape as well as colour, so that the page still
// tells them apart in black and white.
namespace Veltrano::ReportChart {

struct Series
{
    QVector<QPointF> points;  // x: the row's place from 1, y: its result
    QVector<ResultClass> classes;
    int rowCount = 0;         // the x axis: every row, charted or not
    QString unit;
    std::optional<double> nominal;
    std::optional<double> t1Lower, t1Upper, t2Lower, t2Upper;
    QString why;              // why nothing is charted; empty when points are
};

// What the chart of `data` shows: the rows whose result is a number, and
// nothing (with the reason) when there is none or they are in several units.
Series seriesOf(const ReportData &data);

// The colour that marks a class, on the page and on the screen.
QColor classColour(ResultClass resultClass);

// The number a text starts with ("10.000 g" gives 10), or nothing.
std::optional<double> leadingNumber(const QString &text);

// Steps of an axis from `low` to `high`: about `count` round values
// (1, 2 or 5 times a power of ten apart) within the range.
QVector<double> axisTicks(double low, double high, int count);

// The chart with its legend, filling `area`; `mm`: device units per millimetre.
void draw(QPainter *painter, const QRectF &area, const Series &series, const QFont &font, qreal mm);

// The mark of a class, `size` across, centred on `centre`: a disc (within),
// a triangle (warning), a cross (outside), a diamond (below minimum), a
// ring (no class).
void drawMarker(QPainter *painter, ResultClass resultClass, const QPointF &centre, qreal size);

} // namespace Veltrano::ReportChart
