#include "livereadingswindow.h"
#include "ui_livereadingswindow.h"

#include "collect/instrumentstate.h"
#include "support/trace.h"

#include <QDateTime>
#include <QtCharts/QLegendMarker>

#include <algorithm>
#include <limits>


namespace {

enum Column { Name, Port, State, Result, Unit, Stability, Load, Lines, Rows, LastRow, ColumnCount };

// The chart spans of the span box, in its order; 0: the whole collection.
constexpr qint64 kSpansMs[] = {60 * 1000, 10 * 60 * 1000, 60 * 60 * 1000, 0};

const QString kTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");

// The chart is drawn at most this often, in refresh ticks.
constexpr int kChartEveryTicks = 2;

void setCell(QTableWidget *table, int row, int column, const QString &text)
{
    QTableWidgetItem *item = table->item(row, column);
    if (!item)
        table->setItem(row, column, new QTableWidgetItem(text));
    else if (item->text() != text)
        item->setText(text);
}

} // namespace

LiveReadingsWindow::LiveReadingsWindow(const Veltrano::InstrumentStates *states, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , ui(new Ui::LiveReadingsWindow)
    , m_states(states)
    , m_chart(new QChart)
    , m_time(new QDateTimeAxis)
    , m_value(new QValueAxis)
{
    VTRACE;
    ui->setupUi(this);
    ui->uTable->setColumnCount(ColumnCount);

    m_chart->setAnimationOptions(QChart::NoAnimation);
    m_chart->legend()->setAlignment(Qt::AlignBottom);
    m_time->setFormat(QStringLiteral("hh:mm:ss"));
    m_chart->addAxis(m_time, Qt::AlignBottom);
    m_chart->addAxis(m_value, Qt::AlignLeft);
    // The view made a chart of its own, which it hands back here, not frees.
    QChart *placeholder = ui->uChart->chart();
    ui->uChart->setChart(m_chart);
    delete placeholder;
    ui->uChart->setRenderHint(QPainter::Antialiasing, false);

    m_refresh.setInterval(kRefreshMs);
    connect(&m_refresh, &QTimer::timeout, this, &LiveReadingsWindow::refresh);
    connect(m_states, &Veltrano::InstrumentStates::changed, this, [this] {
        if (isVisible())
            refresh();
    });
    connect(ui->uSpan, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] {
        m_drawnRevision = ~quint64(0);
        refreshChart(QDateTime::currentMSecsSinceEpoch());
    });
}

LiveReadingsWindow::~LiveReadingsWindow()
{
    VTRACE;
    delete ui;
}

void LiveReadingsWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_drawnRevision = ~quint64(0);
    refresh();
    m_refresh.start();
}

void LiveReadingsWindow::hideEvent(QHideEvent *event)
{
    m_refresh.stop();
    QWidget::hideEvent(event);
}

void LiveReadingsWindow::refresh()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    ui->label->setText(m_states->running()
                           ? tr("Collection running since %1.")
                                 .arg(QDateTime::fromMSecsSinceEpoch(m_states->startedAt())
                                          .toString(kTimeFormat))
                           : tr("No collection is running."));
    refreshTable(now);
    if (m_ticks++ % kChartEveryTicks == 0 || m_series.keys() != m_states->states().keys())
        refreshChart(now);
}

void LiveReadingsWindow::refreshTable(qint64 now)
{
    const QMap<QString, Veltrano::InstrumentState> &states = m_states->states();
    QTableWidget *table = ui->uTable;
    table->setRowCount(states.size());
    int row = 0;
    for (const Veltrano::InstrumentState &state : states) {
        setCell(table, row, Name, state.name());
        setCell(table, row, Port, state.port());
        setCell(table, row, State, state.linkText(now));
        setCell(table, row, Result, state.hasReading() ? state.result() : QString());
        setCell(table, row, Unit, state.unit().trimmed());
        setCell(table, row, Stability,
                state.hasReading() ? (state.stable() ? tr("stable") : tr("unstable")) : QString());
        setCell(table, row, Load, state.loadText());
        setCell(table, row, Lines, QString::number(state.lines()));
        setCell(table, row, Rows, QString::number(state.rows()));
        setCell(table, row, LastRow,
                state.lastRowAt() ? QDateTime::fromMSecsSinceEpoch(state.lastRowAt()).toString(kTimeFormat)
                                  : QString());
        ++row;
    }
    table->resizeColumnsToContents();
}

void LiveReadingsWindow::rebuildSeries()
{
    m_chart->removeAllSeries();
    m_series.clear();
    const QMap<QString, Veltrano::InstrumentState> &states = m_states->states();
    for (auto it = states.cbegin(); it != states.cend(); ++it) {
        Series series{new QLineSeries, new QScatterSeries};
        series.readings->setName(it.value().name());
        series.stored->setMarkerSize(7);
        series.stored->setColor(Qt::black);
        for (QAbstractSeries *one : {static_cast<QAbstractSeries *>(series.readings),
                                     static_cast<QAbstractSeries *>(series.stored)}) {
            m_chart->addSeries(one);
            one->attachAxis(m_time);
            one->attachAxis(m_value);
        }
        // Stored rows are marked on the curve: its legend entry stands for
        // both, and a click on it hides or shows the instrument.
        for (QLegendMarker *marker : m_chart->legend()->markers(series.stored))
            marker->setVisible(false);
        for (QLegendMarker *marker : m_chart->legend()->markers(series.readings)) {
            connect(marker, &QLegendMarker::clicked, this, [this, series, marker] {
                const bool show = !series.readings->isVisible();
                series.readings->setVisible(show);
                series.stored->setVisible(show);
                marker->setVisible(true);
                marker->setLabelBrush(show ? QBrush(Qt::black) : QBrush(Qt::gray));
                m_drawnRevision = ~quint64(0);
                refreshChart(QDateTime::currentMSecsSinceEpoch());
            });
        }
        m_series.insert(it.key(), series);
    }
}

void LiveReadingsWindow::refreshChart(qint64 now)
{
    if (m_series.keys() != m_states->states().keys())
        rebuildSeries();
    const qint64 span = kSpansMs[std::clamp(ui->uSpan->currentIndex(), 0, 3)];
    const qint64 from = span ? now - span : m_states->startedAt();

    double low = std::numeric_limits<double>::max();
    double high = std::numeric_limits<double>::lowest();
    if (m_drawnRevision != m_states->revision()) {
        m_drawnRevision = m_states->revision();
        for (auto it = m_series.cbegin(); it != m_series.cend(); ++it) {
            const Veltrano::ReadingHistory history = m_states->history(it.key());
            QVector<QPointF> line;
            const bool shown = it.value().readings->isVisible();
            for (const auto &point : history.since(from, kMaxPoints)) {
                line.append(QPointF(point.at, point.value));
                if (shown) {
                    low = std::min(low, point.value);
                    high = std::max(high, point.value);
                }
            }
            QVector<QPointF> marks;
            for (const auto &point : history.storedSince(from, kMaxMarks))
                marks.append(QPointF(point.at, point.value));
            it.value().readings->replace(line);
            it.value().stored->replace(marks);
        }
        if (low > high) {
            low = 0;
            high = 1;
        }
        const double margin = std::max((high - low) * 0.05, 1e-6);
        m_value->setRange(low - margin, high + margin);
    }
    m_time->setRange(QDateTime::fromMSecsSinceEpoch(from), QDateTime::fromMSecsSinceEpoch(std::max(now, from + 1000)));
}
