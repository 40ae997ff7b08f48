#include "livereadingswindow.h"
#include "ui_livereadingswindow.h"

#include "collect/collectorlock.h"
#include "collect/instrumentstate.h"
#include "support/trace.h"

#include <QDateTime>
#include <QFontDatabase>
#include <QGraphicsLayout>
#include <QHeaderView>
#include <QtCharts/QChart>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>
#include <cmath>
#include <limits>


namespace {

enum Column { Name, Port, State, Result, Unit, Stability, Load, Lines, Rows, LastRow, ColumnCount };
enum RawColumn { RawAt, RawLine, RawOutcome };

// The chart spans of the span box, in its order; 0: the whole collection.
constexpr qint64 kSpansMs[] = {60 * 1000, 10 * 60 * 1000, 60 * 60 * 1000, 0};

const QString kTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");
const QString kClockFormat = QStringLiteral("hh:mm:ss");

// The chart is drawn at most this often, in refresh ticks.
constexpr int kChartEveryTicks = 2;

// Colours told apart on screen and in print (Tableau 10).
constexpr QRgb kPalette[] = {0x4e79a7, 0xf28e2b, 0xe15759, 0x76b7b2, 0x59a14f,
                             0xedc948, 0xb07aa1, 0xff9da7, 0x9c755f, 0xbab0ac};
constexpr int kColours = int(sizeof kPalette / sizeof kPalette[0]);

// The colour an id asks for: FNV-1a over its characters, stable across runs.
int preferredColour(const QString &id)
{
    quint32 hash = 2166136261u;
    for (const QChar c : id)
        hash = (hash ^ c.unicode()) * 16777619u;
    return int(hash % kColours);
}

// Texts as wide as a column usually gets: its width never falls below them.
const char *const kWidest[ColumnCount] = {"Balance 00", "/dev/ttyUSB0", "waiting for the first line", "-000000.000",
                                          "Unit", "unstable", "underload", "000000", "000000", "0000-00-00 00:00:00"};

void setCell(QTableWidget *table, int row, int column, const QString &text)
{
    QTableWidgetItem *item = table->item(row, column);
    if (!item) {
        item = new QTableWidgetItem(text);
        table->setItem(row, column, item);
    } else if (item->text() != text) {
        item->setText(text);
    } else {
        return;
    }
    // The whole text, also where the column cuts it short.
    item->setToolTip(text);
}

// An instrument without a name is listed by its id.
QString shownName(const QString &id, const Veltrano::InstrumentState &state)
{
    return state.name().isEmpty() ? id : state.name();
}

QString clock(qint64 at)
{
    return QDateTime::fromMSecsSinceEpoch(at).toString(kClockFormat);
}

} // namespace

QColor LiveReadingsWindow::colourOf(const QString &id, const QStringList &ids)
{
    bool taken[kColours] = {};
    for (const QString &other : ids) {
        int colour = preferredColour(other);
        for (int tries = 0; taken[colour] && tries < kColours; ++tries)
            colour = (colour + 1) % kColours;
        if (other == id)
            return QColor(kPalette[colour]);
        taken[colour] = true;
    }
    return QColor(kPalette[preferredColour(id)]);
}

LiveReadingsWindow::LiveReadingsWindow(const Veltrano::InstrumentStates *states, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , ui(new Ui::LiveReadingsWindow)
    , m_own(states)
    , m_states(states)
    , m_chart(new QChart)
    , m_time(new QDateTimeAxis)
{
    VTRACE;
    ui->setupUi(this);
    ui->uTable->setColumnCount(ColumnCount);
    ui->uTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    ui->uRawLines->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    ui->uRawLines->setColumnWidth(RawAt, fontMetrics().horizontalAdvance(QStringLiteral("00:00:00.000")) + 16);
    ui->uRawLines->setColumnWidth(RawLine, fontMetrics().horizontalAdvance(QString(32, QLatin1Char('0'))) + 16);

    m_chart->setAnimationOptions(QChart::NoAnimation);
    m_chart->legend()->setAlignment(Qt::AlignBottom);
    // The plot gets the room: no frame, shadow or margins around it.
    m_chart->setBackgroundRoundness(0);
    m_chart->setMargins(QMargins(4, 4, 4, 0));
    m_chart->layout()->setContentsMargins(0, 0, 0, 0);
    m_time->setFormat(kClockFormat);
    m_time->setTitleText(tr("Time of day"));
    m_time->setTickCount(6);
    m_chart->addAxis(m_time, Qt::AlignBottom);
    // The view made a chart of its own, which it hands back here, not frees.
    QChart *placeholder = ui->uChart->chart();
    ui->uChart->setChart(m_chart);
    delete placeholder;
    ui->uChart->setRenderHint(QPainter::Antialiasing, false);

    m_refresh.setInterval(kRefreshMs);
    connect(&m_refresh, &QTimer::timeout, this, &LiveReadingsWindow::refresh);
    connect(m_own, &Veltrano::InstrumentStates::changed, this, [this] {
        if (isVisible())
            refresh();
    });
    m_statusPoll.setInterval(kStatusPollMs);
    connect(&m_statusPoll, &QTimer::timeout, this, [this] {
        followOtherCollector();
        refresh();
    });
    connect(ui->uSpan, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] {
        m_drawnRevision = ~quint64(0);
        refreshChart(QDateTime::currentMSecsSinceEpoch());
    });
    connect(ui->uTable, &QTableWidget::itemSelectionChanged, this, [this] {
        refreshRawLines();
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
    followOtherCollector();
    refresh();
    m_refresh.start();
    m_statusPoll.start();
}

void LiveReadingsWindow::hideEvent(QHideEvent *event)
{
    m_refresh.stop();
    m_statusPoll.stop();
    QWidget::hideEvent(event);
}

// While this program does not collect, the status file of a collector that
// records in the folder (or its last one) is shown instead, unless this
// program collected since that collector started.
void LiveReadingsWindow::followOtherCollector()
{
    const Veltrano::InstrumentStates *shown = m_own;
    if (!m_own->running()) {
        const auto status = Veltrano::StatusFile::read(QString::fromLatin1(Veltrano::StatusFile::kFileName));
        if (status) {
            Veltrano::StatusFile::Snapshot snapshot = Veltrano::StatusFile::restore(*status);
            if (snapshot.updated != m_other.updated || snapshot.pid != m_other.pid || !m_others.running())
                m_others.follow(snapshot.instruments, snapshot.since, snapshot.updated);
            snapshot.instruments.clear();
            m_other = snapshot;
            m_otherLockPid = Veltrano::CollectorLock::recordedPid();
        } else {
            // It stopped: it removes its status on the way out.
            m_others.end();
        }
        if (!m_others.states().isEmpty() && m_others.startedAt() >= m_own->startedAt())
            shown = &m_others;
    }
    if (shown != m_states) {
        m_states = shown;
        m_drawnRevision = ~quint64(0);
        m_rawShown.clear();
    }
}

QString LiveReadingsWindow::otherCollectorText(qint64 now) const
{
    const QString who = tr("%1 (process %2)").arg(m_other.program).arg(m_other.pid);
    if (!m_others.running())
        return tr("%1 stopped recording in this folder at about %2; its last readings stay here.")
            .arg(who, clock(m_others.endedAt()));
    const qint64 age = std::max<qint64>(0, now - m_other.updated) / 1000;
    if (m_otherLockPid != m_other.pid)
        return tr("%1 no longer holds this folder; its instruments as its last status told them at %2.")
            .arg(who, clock(m_other.updated));
    if (now - m_other.updated > kStaleMs)
        return tr("The status of %1 is %2 s old (written at %3): the collector may have stopped or hang. Its "
                  "instruments as they were then.")
            .arg(who)
            .arg(age)
            .arg(clock(m_other.updated));
    return tr("Collection by %1, running since %2, as its status file tells (updated %3 s ago); this window does "
              "not record.")
        .arg(who, QDateTime::fromMSecsSinceEpoch(m_other.since).toString(kTimeFormat))
        .arg(age);
}

void LiveReadingsWindow::refresh()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QString started = QDateTime::fromMSecsSinceEpoch(m_states->startedAt()).toString(kTimeFormat);
    if (showingOther())
        ui->label->setText(otherCollectorText(now));
    else if (m_states->running())
        ui->label->setText(tr("Collection running since %1.").arg(started));
    else if (m_states->endedAt())
        ui->label->setText(tr("Collection stopped at %1 (it ran from %2); its last readings stay here until the next Start.")
                               .arg(clock(m_states->endedAt()), started));
    else
        ui->label->setText(tr("No collection is running."));
    refreshTable(now);
    refreshRawLines();
    if (m_ticks++ % kChartEveryTicks == 0 || m_series.keys() != m_states->states().keys())
        refreshChart(now);
}

void LiveReadingsWindow::resetColumnWidths()
{
    QHeaderView *header = ui->uTable->horizontalHeader();
    for (int column = 0; column < ColumnCount; ++column) {
        const int text = fontMetrics().horizontalAdvance(QString::fromLatin1(kWidest[column]));
        header->resizeSection(column, std::max(text + 16, header->sectionSizeHint(column)));
    }
}

QString LiveReadingsWindow::stateText(const Veltrano::InstrumentState &state, qint64 now) const
{
    if (!m_states->running())
        return tr("collection stopped at %1").arg(clock(m_states->endedAt()));
    // Another collector's status that is not fresh tells only how things were then.
    if (showingOther() && (now - m_other.updated > kStaleMs || m_otherLockPid != m_other.pid))
        return tr("%1 (at %2)").arg(state.linkText(m_other.updated), clock(m_other.updated));
    return state.linkText(now);
}

void LiveReadingsWindow::refreshTable(qint64 now)
{
    const QMap<QString, Veltrano::InstrumentState> &states = m_states->states();
    QTableWidget *table = ui->uTable;
    if (m_shownStart != m_states->startedAt()) {
        m_shownStart = m_states->startedAt();
        resetColumnWidths();
    }
    table->setRowCount(states.size());
    int row = 0;
    for (auto it = states.cbegin(); it != states.cend(); ++it) {
        const Veltrano::InstrumentState &state = it.value();
        const QString stability = state.stabilityText();
        setCell(table, row, Name, shownName(it.key(), state));
        setCell(table, row, Port, state.port());
        setCell(table, row, State, stateText(state, now));
        setCell(table, row, Result, state.hasReading() ? state.result() : QString());
        setCell(table, row, Unit, state.unit().trimmed());
        setCell(table, row, Stability,
                stability.isEmpty() ? QString() : state.stable() ? tr("stable") : tr("unstable"));
        setCell(table, row, Load, state.loadText());
        setCell(table, row, Lines, QString::number(state.lines()));
        setCell(table, row, Rows, QString::number(state.rows()));
        setCell(table, row, LastRow,
                state.lastRowAt() ? QDateTime::fromMSecsSinceEpoch(state.lastRowAt()).toString(kTimeFormat)
                                  : QString());
        ++row;
    }
    // Columns only widen during a collection, so they do not jump as texts
    // change; a new collection starts from the usual widths again.
    QHeaderView *header = table->horizontalHeader();
    const QAbstractItemView *view = table;
    for (int column = 0; column < ColumnCount; ++column) {
        // A long reason for a failing port widens its column only so far:
        // the readings beside it stay in sight, the cell's tip tells it all.
        const int hint = view->sizeHintForColumn(column);
        const int wanted = column == State
            ? std::min(hint, (fontMetrics().horizontalAdvance(QString::fromLatin1(kWidest[State])) + 16) * 3 / 2)
            : hint;
        if (wanted > header->sectionSize(column))
            header->resizeSection(column, wanted);
    }
}

// The last lines of the instrument selected in the table, or of the first.
void LiveReadingsWindow::refreshRawLines()
{
    const QMap<QString, Veltrano::InstrumentState> &states = m_states->states();
    const QModelIndexList selected = ui->uTable->selectionModel()->selectedRows();
    const QString id = states.keys().value(selected.isEmpty() ? 0 : selected.first().row());
    const auto found = states.constFind(id);
    const bool any = found != states.cend();
    const QString shown = any ? QStringLiteral("%1/%2/%3").arg(m_states->startedAt()).arg(found->lines()).arg(id)
                              : QString();
    if (shown == m_rawShown)
        return;
    m_rawShown = shown;

    QTableWidget *table = ui->uRawLines;
    if (showingOther()) {
        ui->uRawLabel->setText(tr("The lines %1 receives are not in its status file: they are shown here only for a "
                                  "collection this window runs.")
                                   .arg(m_other.program));
        table->setRowCount(0);
        return;
    }
    if (!any) {
        ui->uRawLabel->setText(tr("Select an instrument in the table to see the last lines it sent."));
        table->setRowCount(0);
        return;
    }
    ui->uRawLabel->setText(tr("The last lines %1 (%2) sent, newest first, as received: \\r carriage return, \\n line "
                              "feed, \\xNN other control bytes and bytes that are not UTF-8.")
                               .arg(shownName(id, *found), found->port()));
    const QVector<Veltrano::InstrumentState::RawLine> &lines = found->rawLines();
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    table->setRowCount(lines.size());
    for (int row = 0; row < lines.size(); ++row) {
        const Veltrano::InstrumentState::RawLine &line = lines.at(lines.size() - 1 - row);
        setCell(table, row, RawAt, QDateTime::fromMSecsSinceEpoch(line.at).toString(QStringLiteral("hh:mm:ss.zzz")));
        setCell(table, row, RawLine, Veltrano::InstrumentState::visible(line.bytes));
        table->item(row, RawLine)->setFont(fixed);
        setCell(table, row, RawOutcome, line.outcome);
    }
}

void LiveReadingsWindow::rebuildSeries()
{
    m_chart->removeAllSeries();
    m_pieces.clear();
    for (const Series &series : qAsConst(m_series)) {
        m_chart->removeAxis(series.axis);
        delete series.axis;
    }
    m_series.clear();
    // Added again with its series: an axis that had none keeps its labels hidden.
    m_chart->removeAxis(m_time);
    m_chart->addAxis(m_time, Qt::AlignBottom);
    const QMap<QString, Veltrano::InstrumentState> &states = m_states->states();
    const QStringList ids = states.keys();
    for (auto it = states.cbegin(); it != states.cend(); ++it) {
        const QColor colour = colourOf(it.key(), ids);
        Series series{new QLineSeries, new QScatterSeries, new QValueAxis};
        series.readings->setName(shownName(it.key(), it.value()));
        series.readings->setColor(colour);
        series.stored->setMarkerSize(7);
        series.stored->setColor(Qt::black);
        // A scale per instrument, in its colour: 12 g and 250 g each fill
        // the height. Hidden until it is the one labelled.
        series.axis->setLinePenColor(colour);
        series.axis->setLabelsColor(colour);
        series.axis->setTitleBrush(colour);
        series.axis->setTickCount(5);
        series.axis->setVisible(false);
        m_chart->addAxis(series.axis, Qt::AlignLeft);
        for (QAbstractSeries *one : {static_cast<QAbstractSeries *>(series.readings),
                                     static_cast<QAbstractSeries *>(series.stored)}) {
            m_chart->addSeries(one);
            one->attachAxis(m_time);
            one->attachAxis(series.axis);
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

void LiveReadingsWindow::drawPieces(const QString &id, const QVector<QVector<QPointF>> &pieces)
{
    const Series &series = m_series[id];
    series.readings->replace(pieces.first());
    QList<QLineSeries *> &more = m_pieces[id];
    while (more.size() < pieces.size() - 1) {
        auto *piece = new QLineSeries;
        piece->setPen(series.readings->pen());
        m_chart->addSeries(piece);
        piece->attachAxis(m_time);
        piece->attachAxis(series.axis);
        for (QLegendMarker *marker : m_chart->legend()->markers(piece))
            marker->setVisible(false);
        more.append(piece);
    }
    for (int i = 0; i < more.size(); ++i) {
        more.at(i)->replace(i + 1 < pieces.size() ? pieces.at(i + 1) : QVector<QPointF>());
        more.at(i)->setVisible(series.readings->isVisible());
    }
}

QString LiveReadingsWindow::scaleShown(const QStringList &drawn) const
{
    const QModelIndexList selected = ui->uTable->selectionModel()->selectedRows();
    const QString id = selected.isEmpty() ? QString() : m_states->states().keys().value(selected.first().row());
    return drawn.contains(id) ? id : drawn.value(0);
}

// Labels the scale of `shown` alone, with ticks at round values and as many
// decimals as their step needs; its curve is drawn a little heavier.
void LiveReadingsWindow::labelScale(const QString &shown)
{
    for (auto it = m_series.cbegin(); it != m_series.cend(); ++it) {
        QValueAxis *axis = it.value().axis;
        const bool labelled = it.key() == shown;
        axis->setVisible(labelled);
        QPen pen = it.value().readings->pen();
        pen.setWidthF(labelled ? 2.0 : 1.0);
        it.value().readings->setPen(pen);
        for (QLineSeries *piece : m_pieces.value(it.key()))
            piece->setPen(pen);
        if (!labelled)
            continue;
        axis->applyNiceNumbers();
        const double step = (axis->max() - axis->min()) / std::max(1, axis->tickCount() - 1);
        const int decimals = std::clamp(int(std::ceil(-std::log10(step) - 1e-9)), 0, 6);
        axis->setLabelFormat(QStringLiteral("%.%1f").arg(decimals));
        // The unit beside the scale; the line above the chart names the instrument.
        const QString name = it.value().readings->name();
        const QString unit = m_units.value(it.key());
        axis->setTitleText(unit);
        ui->uScale->setText(tr("Scale of %1; select a row above for another.")
                                .arg(unit.isEmpty() ? name : QStringLiteral("%1 (%2)").arg(name, unit)));
    }
    if (shown.isEmpty())
        ui->uScale->clear();
}

void LiveReadingsWindow::refreshChart(qint64 now)
{
    if (m_series.keys() != m_states->states().keys())
        rebuildSeries();
    // A stopped collection is drawn up to its end.
    if (!m_states->running() && m_states->endedAt())
        now = m_states->endedAt();
    const qint64 span = kSpansMs[std::clamp(ui->uSpan->currentIndex(), 0, 3)];
    const qint64 from = span ? now - span : m_states->startedAt();

    if (m_drawnRevision != m_states->revision()) {
        m_drawnRevision = m_states->revision();
        QStringList drawnIds;
        for (auto it = m_series.cbegin(); it != m_series.cend(); ++it) {
            const Veltrano::ReadingHistory history = m_states->history(it.key());
            const QString unit = m_states->states().value(it.key()).unit().trimmed();
            if (!unit.isEmpty())
                m_units.insert(it.key(), unit);
            double low = std::numeric_limits<double>::max();
            double high = std::numeric_limits<double>::lowest();
            QVector<QVector<QPointF>> pieces(1);
            for (const auto &point : history.since(from, kMaxPoints)) {
                if (point.gap && !pieces.last().isEmpty())
                    pieces.append(QVector<QPointF>());
                pieces.last().append(QPointF(point.at, point.value));
                low = std::min(low, point.value);
                high = std::max(high, point.value);
            }
            const QVector<QPointF> &line = pieces.first();
            QVector<QPointF> marks;
            for (const auto &point : history.storedSince(from, kMaxMarks))
                marks.append(QPointF(point.at, point.value));
            drawPieces(it.key(), pieces);
            it.value().stored->replace(marks);

            // The scale follows the instrument's curve.
            if (!line.isEmpty() && it.value().readings->isVisible()) {
                drawnIds << it.key();
                const double margin = std::max((high - low) * 0.05, std::max(std::abs(high) * 1e-4, 1e-6));
                it.value().axis->setRange(low - margin, high + margin);
            }
        }
        const bool anyDrawn = !drawnIds.isEmpty();
        labelScale(scaleShown(drawnIds));
        // Nothing to draw: no axes without a scale, a word instead.
        m_time->setVisible(anyDrawn);
        m_chart->setTitle(anyDrawn ? QString()
                          : m_states->states().isEmpty() ? tr("Start a collection to see its readings here.")
                                                         : tr("No readings in this span yet."));
    }
    m_time->setRange(QDateTime::fromMSecsSinceEpoch(from), QDateTime::fromMSecsSinceEpoch(std::max(now, from + 1000)));
}
