#pragma once

#include "weighing/seriesstats.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

// One line per series of weighings, for the series export: gathered from
// the weighings in the order they were recorded, a series (of one
// instrument) listed where its first weighing came.
namespace Veltrano {

class SeriesLines
{
public:
    // The columns of a line, in order.
    static QStringList columnNames();
    static constexpr int kColumnCount = 17;
    // Which of them hold numbers (n, the figures and the counts).
    static bool isNumber(int column);

    // One weighing of `series` on `instrument`: its date and time, its result
    // and unit as recorded, its stored class and nominal.
    void add(const QString &series, const QString &instrument, const QString &date, const QString &time,
             const QString &result, const QString &unit, const QString &toleranceClass, const QString &nominal);

    int size() const { return int(m_series.size()); }
    // The line of the `index`th series: columnNames().size() texts; a figure
    // there is none of (the SD of one weighing) is empty.
    QStringList line(int index) const;

private:
    struct Series
    {
        QString name;
        QString instrument;
        QString first;
        QString lastDate;
        QString lastTime;
        QString unit;
        QString nominal;
        SeriesStats stats;
    };
    QVector<Series> m_series;
    QHash<QString, int> m_index;  // by instrument and series
    QHash<QString, int> m_latest;  // each instrument's last series
};

} // namespace Veltrano
