#pragma once

#include "collect/instrumentstate.h"
#include "collect/statusfile.h"

#include <QColor>
#include <QMap>
#include <QTimer>
#include <QWidget>

#include <QtCharts/QChart>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

// Qt 5 keeps the chart classes in namespace QtCharts, Qt 6 among Qt's own.
// An empty QtCharts under Qt 6 lets one directive name them in both builds.
namespace QtCharts {
}
using namespace QtCharts;

namespace Ui {
class LiveReadingsWindow;
}

// Shows what every balance of the running collection is doing: a row per
// instrument, a chart of the readings (a scale of its own per instrument, in
// its colour) and the last lines the selected instrument sent. One scale is
// labelled at a time, the selected instrument's (or the first drawn), so that
// its labels stay readable in a small window. After Stop the last collection
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

public slots:
    void refresh();

protected:
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
    void rebuildSeries();
    // The instrument whose scale is labelled: the selected one, or the first drawn.
    QString scaleShown(const QStringList &drawn) const;
    void labelScale(const QString &shown);
    void resetColumnWidths();

    struct Series
    {
        QLineSeries *readings;
        QScatterSeries *stored;
        QValueAxis *axis;
    };
    // The curve of `id` in pieces, a gap where its balance was silent or
    // away: the first piece in `readings`, the others in series of their own
    // (made as needed, in its colour, without a legend entry).
    void drawPieces(const QString &id, const QVector<QVector<QPointF>> &pieces);
    QMap<QString, QList<QLineSeries *>> m_pieces;

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
    QMap<QString, Series> m_series;
    QMap<QString, QString> m_units;  // each instrument's last unit printed
    quint64 m_drawnRevision = ~quint64(0);
    qint64 m_shownStart = -1;        // the collection the table's widths are for
    QString m_rawShown;              // what the received lines show: start, lines, id
    int m_ticks = 0;
};
