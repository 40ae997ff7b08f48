#pragma once

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

namespace Veltrano {
class InstrumentStates;
}

// Shows what every balance of the running collection is doing: a row per
// instrument and a chart of the readings. It only reads the states; it is
// refreshed a few times a second while it is visible, whatever the pace of
// the balances.
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

public slots:
    void refresh();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void refreshTable(qint64 now);
    void refreshChart(qint64 now);
    void rebuildSeries();

    struct Series
    {
        QLineSeries *readings;
        QScatterSeries *stored;
    };

    Ui::LiveReadingsWindow *ui;
    const Veltrano::InstrumentStates *m_states;
    QTimer m_refresh;
    QChart *m_chart;
    QDateTimeAxis *m_time;
    QValueAxis *m_value;
    QMap<QString, Series> m_series;
    quint64 m_drawnRevision = ~quint64(0);
    int m_ticks = 0;
};
