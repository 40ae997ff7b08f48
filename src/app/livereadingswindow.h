#pragma once

#include "collect/instrumentstate.h"
#include "collect/statusfile.h"

#include <QColor>
#include <QMap>
#include <QRect>
#include <QTimer>
#include <QWidget>

#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

// Qt 5 keeps the chart classes in namespace QtCharts, Qt 6 among Qt's own.
// An empty QtCharts under Qt 6 lets one directive name them in both builds.
namespace QtCharts {
}
using namespace QtCharts;

class QLabel;
class QScrollArea;
class QVBoxLayout;

namespace Ui {
class LiveReadingsWindow;
}

// Shows what every balance of the running collection is doing: a row per
// instrument, a chart of the readings (a strip per instrument, stacked over
// the same span of time, each with its own labelled scale in its colour) and
// the last lines the selected instrument sent. After Stop the last collection
// stays shown until the next Start. It only reads the states; it is refreshed
// a few times a second while it is visible, whatever the pace of the
// balances. While another process (veltrano-collect) records in the folder,
// it shows that collector's instruments from the status file it keeps there.
class LiveReadingsWindow : public QWidget
{
    Q_OBJECT

public:
    explicit LiveReadingsWindow(const Veltrano::InstrumentStates *states, QWidget *parent = nullptr);
    ~LiveReadingsWindow() override;

    static constexpr int kRefreshMs = 250;
    // Points drawn per instrument, and stored rows marked.
    static constexpr int kMaxPoints = 400;
    static constexpr int kMaxMarks = 200;
    // Another collector's status is read this often; older than kStaleMs, it is told as stale.
    static constexpr int kStatusPollMs = 2000;
    static constexpr qint64 kStaleMs = 10000;

    // An instrument's colour in the chart: the same for the same id whatever
    // the other instruments, unless two ids of `ids` (in their order) ask for
    // the same one, when the later takes the next free colour.
    static QColor colourOf(const QString &id, const QStringList &ids);

    // A strip's value scale: round steps of 1, 2, 2.5 or 5 times a power of
    // ten, at least kMinValueTicks labels, `decimals` as the step needs.
    static constexpr int kMinValueTicks = 4;
    struct ValueScale
    {
        double min = 0, max = 0;
        int ticks = 0;
        int decimals = 0;
    };
    static ValueScale valueScale(double low, double high);
    // The span of time drawn: from `from` to `to` widened to round clock
    // times (every 1, 2, 5, 10, 15, 30 s, 1, 2, 5, 10, 15, 30 min, 1, 2, 3, 6,
    // 12 h or a day, the finest with at most `maxTicks` ticks), on the local
    // clock that is `offsetSeconds` ahead of UTC.
    struct TimeScale
    {
        qint64 min = 0, max = 0, step = 0;
        int ticks = 0;
    };
    static TimeScale timeScale(qint64 from, qint64 to, int offsetSeconds, int maxTicks);
    // Where a window of `wanted` size goes beside `owner` on the `screen`:
    // to its right, else to its left, else over it at the screen's right
    // edge; never larger than the screen.
    static QRect placeBeside(const QRect &owner, const QSize &wanted, const QRect &screen);
    static constexpr int kStripHeight = 130;  // px, one instrument's strip

public slots:
    void refresh();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void followOtherCollector();
    bool showingOther() const { return m_states == &m_others; }
    QString otherCollectorText(qint64 now) const;
    QString stateText(const Veltrano::InstrumentState &state, qint64 now) const;
    void refreshTable(qint64 now);
    void refreshChart(qint64 now);
    void refreshRawLines();
    void resetColumnWidths();
    void fitToRows(bool place);

    struct Strip
    {
        QLabel *name = nullptr;      // the instrument's, above its plot
        QChartView *view = nullptr;  // owns the chart and all in it
        QChart *chart = nullptr;
        QDateTimeAxis *time = nullptr;
        QValueAxis *axis = nullptr;
        QLineSeries *readings = nullptr;
        QScatterSeries *stored = nullptr;
        // The curve in pieces, a gap where its balance was silent or away:
        // the first in `readings`, the others here (made as needed).
        QList<QLineSeries *> pieces;
    };
    void rebuildStrips();
    void alignStrips();
    void drawPieces(Strip &strip, const QVector<QVector<QPointF>> &pieces);
    QString selectedId() const;

    Ui::LiveReadingsWindow *ui;
    const Veltrano::InstrumentStates *m_own;      // this program's collection
    Veltrano::InstrumentStates m_others;          // another collector's, from its status file
    Veltrano::StatusFile::Snapshot m_other;       // that collector (without its instruments)
    qint64 m_otherLockPid = 0;                    // the process the folder's lock names
    const Veltrano::InstrumentStates *m_states;   // the one shown
    QTimer m_refresh;
    QTimer m_statusPoll;
    QChart *m_chart;
    QDateTimeAxis *m_time;
    QMap<QString, Strip> m_strips;
    QScrollArea *m_stripsArea = nullptr;
    QVBoxLayout *m_stripsLayout = nullptr;
    bool m_placed = false;
    QSize m_fittedSize;
    QMap<QString, QString> m_units;  // each instrument's last unit printed
    quint64 m_drawnRevision = ~quint64(0);
    qint64 m_shownStart = -1;        // the collection the table's widths are for
    QString m_rawShown;              // what the received lines show: start, lines, id
    int m_ticks = 0;
};
