#pragma once

#include <QMap>
#include <QTimer>
#include <QWidget>

namespace QtCharts {
class QChart;
class QDateTimeAxis;
class QLineSeries;
class QScatterSeries;
class QValueAxis;
} // namespace QtCharts

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
        QtCharts::QLineSeries *readings;
        QtCharts::QScatterSeries *stored;
    };

    Ui::LiveReadingsWindow *ui;
    const Veltrano::InstrumentStates *m_states;
    QTimer m_refresh;
    QtCharts::QChart *m_chart;
    QtCharts::QDateTimeAxis *m_time;
    QtCharts::QValueAxis *m_value;
    QMap<QString, Series> m_series;
    quint64 m_drawnRevision = ~quint64(0);
    int m_ticks = 0;
};
