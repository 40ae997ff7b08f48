#include "livereadingswindow.h"
#include "ui_livereadingswindow.h"

#include "collect/collectorlock.h"
#include "collect/instrumentstate.h"
#include "support/trace.h"

#include <QDateTime>
#include <QFontDatabase>
#include <QGraphicsLayout>
#include <QHeaderView>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QTabBar>
#include <QVBoxLayout>
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

enum Column { Name, Port, State, Result, Unit, Stability, Load, Lines, Rows, LastRow, Checks, ColumnCount };
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
                                          "Unit", "unstable", "underload", "000000", "000000", "0000-00-00 00:00:00",
                                          "qualified until 0000-00-00"};

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
    // The form's size is a default: the first show fits the window to its
    // rows unless a size is asked for after this.
    setAttribute(Qt::WA_Resized, false);
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
    m_stripsArea = new QScrollArea;
    m_stripsArea->setObjectName(QStringLiteral("uStrips"));
    m_stripsArea->setWidgetResizable(true);
    m_stripsArea->setFrameShape(QFrame::NoFrame);
    auto *strips = new QWidget;
    m_stripsLayout = new QVBoxLayout(strips);
    m_stripsLayout->setContentsMargins(0, 0, 0, 0);
    m_stripsLayout->setSpacing(0);
    m_stripsArea->setWidget(strips);
    strips->installEventFilter(this);
    m_stripsArea->hide();
    ui->chartLayout->addWidget(m_stripsArea, 2);

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
    // Opened the first time: beside the main window, sized to its rows
    // (unless a size was asked for).
    if (!m_placed) {
        m_placed = true;
        if (!testAttribute(Qt::WA_Resized))
            fitToRows(true);
    }
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
    if (m_ticks++ % kChartEveryTicks == 0 || m_strips.keys() != m_states->states().keys())
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
    const bool moreRows = states.size() > table->rowCount();
    table->setRowCount(states.size());
    // More instruments than the window was sized for: it grows to them, as
    // long as the operator did not size it himself.
    if (moreRows && isVisible() && size() == m_fittedSize)
        fitToRows(false);
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
        setCell(table, row, Checks, state.checks());
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

LiveReadingsWindow::ValueScale LiveReadingsWindow::valueScale(double low, double high)
{
    if (!(high > low)) {
        // One value: a band around it, so that it is drawn mid-height.
        const double half = std::max(std::abs(high) * 5e-4, 5e-7);
        low -= half;
        high += half;
    }
    // Three steps or a little more: labels a strip's height has room for.
    const double rough = (high - low) / (kMinValueTicks - 1);
    const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
    double step = 10 * magnitude;
    double multiple = 10;
    for (const double each : {1.0, 2.0, 2.5, 5.0}) {
        if (each * magnitude >= rough * (1 - 1e-9)) {
            multiple = each;
            step = each * magnitude;
            break;
        }
    }
    ValueScale scale;
    scale.min = std::floor(low / step + 1e-9) * step;
    scale.max = std::ceil(high / step - 1e-9) * step;
    scale.ticks = int(std::lround((scale.max - scale.min) / step)) + 1;
    for (bool below = false; scale.ticks < kMinValueTicks; below = !below, ++scale.ticks)
        (below ? scale.min : scale.max) += below ? -step : step;
    // A step of 2.5 needs one digit more than its power of ten: 12.425.
    scale.decimals = std::clamp(int(std::ceil(-std::log10(step) - 1e-9)) + (multiple == 2.5 ? 1 : 0), 0, 9);
    return scale;
}

LiveReadingsWindow::TimeScale LiveReadingsWindow::timeScale(qint64 from, qint64 to, int offsetSeconds, int maxTicks)
{
    static constexpr qint64 kSecond = 1000, kMinute = 60 * kSecond, kHour = 60 * kMinute;
    static constexpr qint64 kSteps[] = {kSecond,      2 * kSecond,  5 * kSecond, 10 * kSecond, 15 * kSecond,
                                        30 * kSecond, kMinute,      2 * kMinute, 5 * kMinute,  10 * kMinute,
                                        15 * kMinute, 30 * kMinute, kHour,       2 * kHour,    3 * kHour,
                                        6 * kHour,    12 * kHour,   24 * kHour};
    // Round on the local clock: shifted by its offset from UTC.
    const qint64 offset = qint64(offsetSeconds) * kSecond;
    const auto floorTo = [](qint64 value, qint64 step) { return value - ((value % step) + step) % step; };
    TimeScale scale;
    to = std::max(to, from + kSecond);
    for (const qint64 step : kSteps) {
        scale.step = step;
        scale.min = floorTo(from + offset, step) - offset;
        scale.max = floorTo(to + offset + step - 1, step) - offset;
        scale.ticks = int((scale.max - scale.min) / step) + 1;
        if (scale.ticks <= std::max(maxTicks, 2))
            break;
    }
    return scale;
}

// Each instrument's strip: its curve, its stored rows marked, its own
// labelled scale; all strips share the span of time, labelled below the last.
void LiveReadingsWindow::rebuildStrips()
{
    for (const Strip &strip : qAsConst(m_strips)) {
        delete strip.name;
        delete strip.view;
    }
    m_strips.clear();
    const QMap<QString, Veltrano::InstrumentState> &states = m_states->states();
    const QStringList ids = states.keys();
    for (auto it = states.cbegin(); it != states.cend(); ++it) {
        const QColor colour = colourOf(it.key(), ids);
        Strip strip;
        strip.chart = new QChart;
        strip.view = new QChartView(strip.chart);
        strip.view->setObjectName(QStringLiteral("uStrip"));
        strip.view->setRenderHint(QPainter::Antialiasing, false);
        strip.view->setMinimumHeight(kStripHeight);
        strip.view->setFrameShape(QFrame::NoFrame);
        strip.chart->setAnimationOptions(QChart::NoAnimation);
        strip.chart->setBackgroundRoundness(0);
        strip.chart->setMargins(QMargins(0, 0, 0, 0));
        strip.chart->layout()->setContentsMargins(0, 0, 0, 0);
        strip.chart->legend()->hide();
        // Named above its plot: a chart with a plot area of its own lays out no title.
        strip.name = new QLabel(shownName(it.key(), it.value()));
        strip.name->setObjectName(QStringLiteral("uStripName"));
        QPalette palette = strip.name->palette();
        palette.setColor(QPalette::WindowText, colour);
        strip.name->setPalette(palette);
        m_stripsLayout->addWidget(strip.name);
        strip.time = new QDateTimeAxis;
        strip.time->setFormat(kClockFormat);
        strip.axis = new QValueAxis;
        strip.axis->setLinePenColor(colour);
        strip.axis->setLabelsColor(colour);
        strip.axis->setTitleBrush(colour);
        strip.chart->addAxis(strip.time, Qt::AlignBottom);
        strip.chart->addAxis(strip.axis, Qt::AlignLeft);
        strip.readings = new QLineSeries;
        strip.readings->setName(shownName(it.key(), it.value()));
        strip.readings->setColor(colour);
        strip.stored = new QScatterSeries;
        strip.stored->setMarkerSize(7);
        strip.stored->setColor(Qt::black);
        for (QAbstractSeries *one : {static_cast<QAbstractSeries *>(strip.readings),
                                     static_cast<QAbstractSeries *>(strip.stored)}) {
            strip.chart->addSeries(one);
            one->attachAxis(strip.time);
            one->attachAxis(strip.axis);
        }
        m_stripsLayout->addWidget(strip.view);
        m_strips.insert(it.key(), strip);
    }
    // The clock times and their title below the last strip only.
    for (auto it = m_strips.begin(); it != m_strips.end(); ++it) {
        const bool last = std::next(it) == m_strips.end();
        it->time->setLabelsVisible(last);
        it->time->setTitleText(last ? tr("Time of day") : QString());
        it->time->setTitleVisible(last);
        it->view->setMinimumHeight(last ? kStripHeight + 2 * fontMetrics().height() : kStripHeight);
    }
    alignStrips();
}

// The strips' plot areas one above the other, whatever their labels' widths.
void LiveReadingsWindow::alignStrips()
{
    const QFontMetrics metrics(font());
    const int left = metrics.horizontalAdvance(QStringLiteral("-00000.0000")) + 2 * metrics.height() + 8;
    const int right = metrics.horizontalAdvance(QStringLiteral("00:00")) + 4;
    for (auto it = m_strips.cbegin(); it != m_strips.cend(); ++it) {
        const bool last = std::next(it) == m_strips.cend();
        const QSizeF size = it->view->size();
        const int top = metrics.height() / 2 + 4;
        // Room for half of the lowest and the highest label beyond the plot.
        const int bottom = last ? 3 * metrics.height() + 4 : metrics.height() / 2 + 4;
        it->chart->setPlotArea(QRectF(left, top, std::max(10.0, size.width() - left - right),
                                      std::max(10.0, size.height() - top - bottom)));
    }
}

bool LiveReadingsWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize && watched == m_stripsArea->widget())
        QTimer::singleShot(0, this, &LiveReadingsWindow::alignStrips);
    return QWidget::eventFilter(watched, event);
}

void LiveReadingsWindow::drawPieces(Strip &strip, const QVector<QVector<QPointF>> &pieces)
{
    strip.readings->replace(pieces.first());
    while (strip.pieces.size() < pieces.size() - 1) {
        auto *piece = new QLineSeries;
        piece->setPen(strip.readings->pen());
        strip.chart->addSeries(piece);
        piece->attachAxis(strip.time);
        piece->attachAxis(strip.axis);
        strip.pieces.append(piece);
    }
    for (int i = 0; i < strip.pieces.size(); ++i)
        strip.pieces.at(i)->replace(i + 1 < pieces.size() ? pieces.at(i + 1) : QVector<QPointF>());
}

QString LiveReadingsWindow::selectedId() const
{
    const QModelIndexList selected = ui->uTable->selectionModel()->selectedRows();
    return selected.isEmpty() ? QString() : m_states->states().keys().value(selected.first().row());
}

void LiveReadingsWindow::refreshChart(qint64 now)
{
    if (m_strips.keys() != m_states->states().keys())
        rebuildStrips();
    // A stopped collection is drawn up to its end.
    if (!m_states->running() && m_states->endedAt())
        now = m_states->endedAt();
    const qint64 span = kSpansMs[std::clamp(ui->uSpan->currentIndex(), 0, 3)];
    const qint64 from = span ? now - span : m_states->startedAt();
    const int labelWidth = fontMetrics().horizontalAdvance(QStringLiteral("00:00:00")) * 3 / 2;
    const int plotWidth = m_strips.isEmpty() ? width() : int(m_strips.first().chart->plotArea().width());
    const TimeScale times = timeScale(from, now, QDateTime::fromMSecsSinceEpoch(now).offsetFromUtc(),
                                      std::clamp(plotWidth / std::max(1, labelWidth), 3, 10));

    if (m_drawnRevision != m_states->revision()) {
        m_drawnRevision = m_states->revision();
        const QString selected = selectedId();
        QString scaleOf;
        bool anyDrawn = false;
        for (auto it = m_strips.begin(); it != m_strips.end(); ++it) {
            Strip &strip = it.value();
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
            QVector<QPointF> marks;
            for (const auto &point : history.storedSince(from, kMaxMarks))
                marks.append(QPointF(point.at, point.value));
            drawPieces(strip, pieces);
            strip.stored->replace(marks);

            // The selected instrument's curve a little heavier.
            QPen pen = strip.readings->pen();
            pen.setWidthF(it.key() == selected ? 2.0 : 1.0);
            strip.readings->setPen(pen);
            for (QLineSeries *piece : qAsConst(strip.pieces))
                piece->setPen(pen);

            const bool drawn = !pieces.first().isEmpty();
            strip.axis->setVisible(drawn);
            strip.axis->setTitleText(m_units.value(it.key()));
            if (!drawn)
                continue;
            anyDrawn = true;
            const ValueScale scale = valueScale(low, high);
            strip.axis->setRange(scale.min, scale.max);
            strip.axis->setTickCount(scale.ticks);
            strip.axis->setLabelFormat(QStringLiteral("%.%1f").arg(scale.decimals));
            if (scaleOf.isEmpty() || it.key() == selected)
                scaleOf = it.key();
        }
        if (scaleOf.isEmpty()) {
            ui->uScale->clear();
        } else {
            const QString name = m_strips.value(scaleOf).readings->name();
            const QString unit = m_units.value(scaleOf);
            ui->uScale->setText(tr("Scale of %1; select a row above for another.")
                                    .arg(unit.isEmpty() ? name : QStringLiteral("%1 (%2)").arg(name, unit)));
        }
        // Nothing to draw: no axes without a scale, a word instead.
        ui->uChart->setVisible(!anyDrawn);
        m_time->setVisible(false);
        m_stripsArea->setVisible(anyDrawn);
        m_chart->setTitle(anyDrawn ? QString()
                          : m_states->states().isEmpty() ? tr("Start a collection to see its readings here.")
                                                         : tr("No readings in this span yet."));
    }
    const QDateTime min = QDateTime::fromMSecsSinceEpoch(times.min), max = QDateTime::fromMSecsSinceEpoch(times.max);
    for (const Strip &strip : qAsConst(m_strips)) {
        strip.time->setRange(min, max);
        strip.time->setTickCount(times.ticks);
    }
    m_time->setRange(min, max);
}

QRect LiveReadingsWindow::placeBeside(const QRect &owner, const QSize &wanted, const QRect &screen)
{
    const QSize size = wanted.boundedTo(screen.size());
    const int top = std::clamp(owner.top(), screen.top(), screen.bottom() + 1 - size.height());
    int left;
    if (owner.right() + 1 + size.width() <= screen.right() + 1)
        left = owner.right() + 1;  // to its right
    else if (owner.left() - size.width() >= screen.left())
        left = owner.left() - size.width();  // to its left
    else
        left = screen.right() + 1 - size.width();  // over it, at the screen's edge
    return QRect(QPoint(left, top), size);
}

// Wide enough for the table's columns, high enough for its rows and a strip
// per instrument; placed beside the main window, within its screen.
void LiveReadingsWindow::fitToRows(bool place)
{
    const QTableWidget *table = ui->uTable;
    const int rows = std::max(1, table->rowCount());
    const QMargins margins = layout()->contentsMargins();
    int width = table->verticalHeader()->width() + 2 * table->frameWidth() + margins.left() + margins.right() + 24;
    for (int column = 0; column < ColumnCount; ++column)
        width += table->horizontalHeader()->sectionSize(column);
    const int rowHeight = table->verticalHeader()->defaultSectionSize();
    const int tableHeight = table->horizontalHeader()->height() + rows * rowHeight + 2 * table->frameWidth() + 4;
    const int chartHeight = rows * kStripHeight + 2 * fontMetrics().height() + ui->uTabs->tabBar()->sizeHint().height()
                            + ui->uSpan->sizeHint().height() + 24;
    const int height = ui->label->sizeHint().height() + tableHeight + chartHeight + margins.top() + margins.bottom()
                       + 2 * layout()->spacing();
    QWidget *owner = parentWidget() ? parentWidget()->window() : nullptr;
    const QScreen *screen = owner && owner->screen() ? owner->screen() : this->screen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, width, height);
    // The frame the window manager adds is not known before the first show: room for a usual one.
    const QSize frame(8, 32);
    const QRect beside = owner ? placeBeside(owner->frameGeometry(), QSize(width, height) + frame, available)
                               : QRect(pos(), QSize(width, height) + frame).intersected(available);
    resize(beside.size() - frame);
    if (owner && place)
        move(beside.topLeft());
    else if (frameGeometry().bottom() > available.bottom())
        move(x(), std::max(available.top(), available.bottom() + 1 - frameGeometry().height()));
    m_fittedSize = size();
}
