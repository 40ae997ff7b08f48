#include "weighingwindow.h"
#include "reportdialog.h"
#include "serieschart.h"
#include "ui_weighingwindow.h"

#include "report/reportchart.h"
#include "report/reportdata.h"
#include "weighing/scalereading.h"
#include "weighing/tolerance.h"
#include "weighing/worklist.h"

#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>

namespace {

enum Column { SampleColumn, ResultColumn, UnitColumn, KindColumn, ClassColumn, TimeColumn, ColumnCount };

QString sourceText(Veltrano::NextSample::Source source)
{
    using Source = Veltrano::NextSample::Source;
    switch (source) {
    case Source::Worklist:
        return WeighingWindow::tr("from the worklist");
    case Source::Typed:
        return WeighingWindow::tr("typed or scanned");
    case Source::Numbered:
        return WeighingWindow::tr("numbered");
    case Source::None:
        break;
    }
    return QString();
}

Veltrano::ToleranceClass classOf(const Veltrano::Weighing &weighing)
{
    return Veltrano::toleranceClassOf(weighing.weighingClass).value_or(Veltrano::ToleranceClass::None);
}

// A row is tinted by its class, in a pale shade of the colour that marks it
// on the chart and in the report; a weighing without a class is not.
QColor classTint(Veltrano::ToleranceClass toleranceClass)
{
    if (toleranceClass == Veltrano::ToleranceClass::None)
        return QColor();
    const QColor colour = Veltrano::ReportChart::classColour(Veltrano::resultClassOf(toleranceClass));
    const auto pale = [](int channel) { return 255 - (255 - channel) * 22 / 100; };
    return QColor(pale(colour.red()), pale(colour.green()), pale(colour.blue()));
}

QString orDash(const QString &figure)
{
    return figure.isEmpty() ? QStringLiteral("-") : figure;
}

} // namespace

WeighingWindow::WeighingWindow(Veltrano::RecordingSession *session, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , ui(new Ui::WeighingWindow)
    , m_session(session)
{
    ui->setupUi(this);
    m_chart = std::make_unique<SeriesChart>(ui->uChart);
    ui->uSplitter->setStretchFactor(0, 1);
    ui->uWeighings->setColumnCount(ColumnCount);
    ui->uWeighings->setHorizontalHeaderLabels({tr("Sample ID"), tr("Result"), tr("Unit"), tr("Kind"), tr("Class"), tr("Time")});
    // Every class in words, "below minimum" too.
    const QString longest = Veltrano::toleranceText(Veltrano::ToleranceClass::BelowMinimum);
    ui->uWeighings->setColumnWidth(ClassColumn, ui->uWeighings->fontMetrics().horizontalAdvance(longest) + 16);
    connect(ui->uInstrument, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &WeighingWindow::showInstrument);
    connect(ui->uSampleId, &QLineEdit::returnPressed, this, &WeighingWindow::setSampleId);
    connect(ui->uPattern, &QLineEdit::editingFinished, this, &WeighingWindow::setPattern);
    connect(ui->uNewSeries, &QPushButton::clicked, this, &WeighingWindow::newSeries);
    connect(ui->uOpenWorklist, &QPushButton::clicked, this, &WeighingWindow::openWorklist);
    connect(ui->uReport, &QPushButton::clicked, this, &WeighingWindow::makeReport);
    connect(session, &Veltrano::RecordingSession::sampled, this, &WeighingWindow::weighed);
    connect(session, &Veltrano::RecordingSession::nextSample, this, &WeighingWindow::nextSampleChanged);
    connect(session, &Veltrano::RecordingSession::seriesChanged, this, &WeighingWindow::seriesChanged);
    connect(session, &Veltrano::RecordingSession::runningChanged, this, &WeighingWindow::refresh);
    connect(session, &Veltrano::RecordingSession::qualificationChanged, this, &WeighingWindow::showChecks);
    refresh();
}

WeighingWindow::~WeighingWindow()
{
    delete ui;
}

QString WeighingWindow::currentInstrument() const
{
    return ui->uInstrument->currentData().toString();
}

void WeighingWindow::selectInstrument(const QString &instrumentId)
{
    const int index = ui->uInstrument->findData(instrumentId);
    if (index >= 0)
        ui->uInstrument->setCurrentIndex(index);
}

void WeighingWindow::refresh()
{
    const QString current = currentInstrument();
    // After Stop the last collection's weighings stay shown until the next Start.
    const bool running = m_session->isRunning();
    if (running) {
        m_instruments = m_session->weighingInstruments();
        for (auto it = m_weighings.begin(); it != m_weighings.end();)
            it = m_instruments.contains(it.key()) ? std::next(it) : m_weighings.erase(it);
        for (auto it = m_series.begin(); it != m_series.end();)
            it = m_instruments.contains(it.key()) ? std::next(it) : m_series.erase(it);
        for (auto it = m_instruments.cbegin(); it != m_instruments.cend(); ++it)
            seriesChanged(it.key(), it->series);
    }
    {
        const QSignalBlocker blocker(ui->uInstrument);
        ui->uInstrument->clear();
        for (auto it = m_instruments.cbegin(); it != m_instruments.cend(); ++it)
            ui->uInstrument->addItem(it->name.isEmpty() ? it.key() : QStringLiteral("%1 (%2)").arg(it->name, it.key()), it.key());
        const int index = ui->uInstrument->findData(current);
        ui->uInstrument->setCurrentIndex(index >= 0 ? index : 0);
    }
    const bool any = !m_instruments.isEmpty();
    ui->uNothing->setVisible(!any);
    ui->uInstrument->setEnabled(any);
    for (QWidget *widget : {static_cast<QWidget *>(ui->uSampleId), static_cast<QWidget *>(ui->uPattern),
                            static_cast<QWidget *>(ui->uNewSeries), static_cast<QWidget *>(ui->uOpenWorklist)})
        widget->setEnabled(any && running);
    showInstrument();
}

void WeighingWindow::showInstrument()
{
    const QString id = currentInstrument();
    ui->uPattern->setText(m_instruments.value(id).pattern);
    showNext();
    ui->uWeighings->setRowCount(0);
    const QVector<Veltrano::Row> rows = m_weighings.value(id);
    ui->uWeighings->setRowCount(rows.size());
    for (int i = 0; i < rows.size(); ++i)
        insertRow(rows.size() - 1 - i, rows.at(i));
    const Series series = m_series.value(id);
    m_chart->reset(series.unit, limitsOf(id));
    // The listed weighings are the newest of the series.
    const int first = series.weighings - int(rows.size()) + 1;
    for (int i = 0; i < rows.size(); ++i)
        chart(first + i, rows.at(i));
    showFigures();
    showChecks();
}

// Whether the balance's routine checks are current: its weighings carry it.
void WeighingWindow::showChecks()
{
    const Veltrano::Qualification qualification = m_session->qualification(currentInstrument());
    ui->uChecks->setText(qualification.status.isEmpty() ? tr("not registered (Data > Balances and checks)")
                                                        : qualification.status);
    ui->uChecks->setStyleSheet(qualification.check.isEmpty() ? QString() : QStringLiteral("color: #b71c1c; font-weight: bold;"));
}

// The instrument's limits, around the nominal its series was checked against.
Veltrano::ToleranceLimits WeighingWindow::limitsOf(const QString &instrumentId) const
{
    Veltrano::ToleranceLimits limits = m_instruments.value(instrumentId).limits;
    const QString nominal = m_series.value(instrumentId).nominal;
    if (!nominal.isEmpty())
        limits.nominal = Veltrano::parseNumber(nominal, nullptr);
    return limits;
}

void WeighingWindow::chart(int number, const Veltrano::Row &row)
{
    const Veltrano::ScaleReading reading = Veltrano::ScaleReading::fromResult(row.result, row.unit);
    if (reading.hasValue())
        m_chart->append(number, reading.value, classOf(*row.weighing));
}

void WeighingWindow::showFigures()
{
    const QString id = currentInstrument();
    const Veltrano::ReportStatistics figures =
        Veltrano::seriesFigures(m_series.value(id).stats, m_series.value(id).unit, limitsOf(id));
    const bool any = m_instruments.contains(id);
    const std::pair<QLabel *, QString> shown[] = {
        {ui->uN, figures.n},
        {ui->uMean, orDash(figures.mean)},
        {ui->uSd, orDash(figures.sd)},
        {ui->uRsd, orDash(figures.rsd)},
        {ui->uMin, orDash(figures.min)},
        {ui->uMax, orDash(figures.max)},
        {ui->uRange, orDash(figures.range)},
        {ui->uNominal, figures.nominal},
        {ui->uT1, figures.t1Lower.isEmpty() ? QString() : tr("%1 to %2").arg(figures.t1Lower, figures.t1Upper)},
        {ui->uT2, figures.t2Lower.isEmpty() ? QString() : tr("%1 to %2").arg(figures.t2Lower, figures.t2Upper)},
        {ui->uWithin, figures.within},
        {ui->uWarning, figures.warning},
        {ui->uOutside, figures.outside},
        {ui->uBelowMinimum, figures.belowMinimum},
    };
    for (const auto &figure : shown)
        figure.first->setText(any ? figure.second : QString());
    // The nominal and the limits only where they are set.
    const std::pair<QLabel *, QLabel *> limits[] = {
        {ui->uNominalLabel, ui->uNominal}, {ui->uT1Label, ui->uT1}, {ui->uT2Label, ui->uT2}};
    for (const auto &limit : limits) {
        limit.first->setVisible(!limit.second->text().isEmpty());
        limit.second->setVisible(!limit.second->text().isEmpty());
    }
}

void WeighingWindow::showNext()
{
    const auto found = m_instruments.constFind(currentInstrument());
    if (found == m_instruments.constEnd()) {
        ui->uNext->clear();
        ui->uSeries->clear();
        return;
    }
    const Veltrano::NextSample &next = found->next;
    ui->uNext->setText(next.sampleId.isEmpty() ? tr("no sample ID (type or scan one)")
                                               : QStringLiteral("%1 (%2)").arg(next.sampleId, sourceText(next.source)));
    const int count = m_series.value(found.key()).weighings;
    ui->uSeries->setText(tr("%1, %2 %3").arg(next.series).arg(count).arg(count == 1 ? tr("weighing") : tr("weighings")));
}

void WeighingWindow::insertRow(int at, const Veltrano::Row &row)
{
    const Veltrano::Weighing &weighing = *row.weighing;
    const QStringList cells{weighing.sample, row.result, row.unit.trimmed(), weighing.kind, weighing.weighingClass,
                            row.date + QLatin1Char(' ') + row.time};
    const QColor colour = classTint(classOf(weighing));
    for (int column = 0; column < ColumnCount; ++column) {
        auto *item = new QTableWidgetItem(cells.at(column));
        if (colour.isValid())
            item->setBackground(colour);
        ui->uWeighings->setItem(at, column, item);
    }
}

void WeighingWindow::weighed(const QString &instrumentId, const Veltrano::Row &row)
{
    if (!row.weighing)
        return;
    QVector<Veltrano::Row> &rows = m_weighings[instrumentId];
    // A new series starts a list of its own.
    const bool newSeries = !rows.isEmpty() && rows.constLast().weighing->series != row.weighing->series;
    Series &series = m_series[instrumentId];
    if (newSeries) {
        rows.clear();
        series = Series();
    }
    if (rows.size() >= kMaxShown)
        rows.removeFirst();
    rows.append(row);
    const Veltrano::ScaleReading reading = Veltrano::ScaleReading::fromResult(row.result, row.unit);
    ++series.weighings;
    // The first unit and nominal of the series set its chart's scale and lines.
    const bool drawAgain = (series.unit.isEmpty() && reading.hasValue()) || (series.nominal.isEmpty() && !row.weighing->nominal.isEmpty());
    if (series.unit.isEmpty() && reading.hasValue())
        series.unit = reading.unit;
    if (series.nominal.isEmpty())
        series.nominal = row.weighing->nominal;
    if (instrumentId != currentInstrument())
        return;
    if (newSeries || drawAgain) {
        showInstrument();
        return;
    }
    if (ui->uWeighings->rowCount() >= kMaxShown)
        ui->uWeighings->removeRow(ui->uWeighings->rowCount() - 1);
    ui->uWeighings->insertRow(0);
    insertRow(0, row);
    chart(series.weighings, row);
    showFigures();
    showNext();
}

// The series' figures as the collection has them. A state told before the
// one this window read when it opened is older than what it shows: passed over.
void WeighingWindow::seriesChanged(const QString &instrumentId, const Veltrano::SeriesState &state)
{
    if (!m_instruments.contains(instrumentId))
        return;
    Series &series = m_series[instrumentId];
    if (state.series == series.name && state.weighings < series.told)
        return;
    series.name = state.series;
    series.stats = state.stats;
    series.weighings = series.told = state.weighings;
    if (!state.unit.isEmpty())
        series.unit = state.unit;
    if (instrumentId != currentInstrument())
        return;
    showFigures();
    showNext();
}

void WeighingWindow::nextSampleChanged(const QString &instrumentId, const Veltrano::NextSample &next)
{
    const auto found = m_instruments.find(instrumentId);
    if (found == m_instruments.end())
        return;
    found->next = next;
    // A new series begins with nothing listed, before its first weighing.
    QVector<Veltrano::Row> &rows = m_weighings[instrumentId];
    const bool newSeries = !rows.isEmpty() && rows.constLast().weighing->series != next.series;
    if (newSeries) {
        rows.clear();
        m_series.remove(instrumentId);
    }
    if (instrumentId != currentInstrument())
        return;
    if (newSeries)
        showInstrument();
    else
        showNext();
}

void WeighingWindow::setSampleId()
{
    const QString id = currentInstrument();
    if (id.isEmpty())
        return;
    m_session->setNextSample(id, ui->uSampleId->text());
    ui->uSampleId->clear();
}

void WeighingWindow::setPattern()
{
    const QString id = currentInstrument();
    if (id.isEmpty() || ui->uPattern->text() == m_instruments.value(id).pattern)
        return;
    QString error;
    if (!m_session->setSamplePattern(id, ui->uPattern->text(), &error)) {
        QMessageBox::warning(this, tr("Warning"), tr("The numbering pattern is not used: %1").arg(error));
        ui->uPattern->setText(m_instruments.value(id).pattern);
        return;
    }
    m_instruments[id].pattern = ui->uPattern->text().trimmed();
}

void WeighingWindow::newSeries()
{
    const QString id = currentInstrument();
    if (id.isEmpty())
        return;
    bool ok = false;
    const QString suggested = id + QLatin1Char(' ') + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    const QString name = QInputDialog::getText(this, tr("New series"), tr("Name of the series:"), QLineEdit::Normal, suggested, &ok).trimmed();
    if (!ok || name.isEmpty())
        return;
    m_session->startSeries(id, name);
}

// A report of the instrument's current series, or of any other recorded one.
void WeighingWindow::makeReport()
{
    ReportDialog dialog(this);
    dialog.chooseSeries(m_instruments.value(currentInstrument()).next.series);
    dialog.exec();
}

void WeighingWindow::openWorklist()
{
    const QString id = currentInstrument();
    if (id.isEmpty())
        return;
    const QString path = QFileDialog::getOpenFileName(this, tr("Open worklist"), QString(), tr("Worklists (*.csv *.txt);;All files (*)"));
    if (path.isEmpty())
        return;
    QString error;
    const std::optional<Veltrano::Worklist> list = Veltrano::Worklist::read(path, &error);
    if (!list || !list->isUsable()) {
        QMessageBox::warning(this, tr("Warning"),
                             tr("The worklist %1 cannot be used: %2").arg(QFileInfo(path).fileName(), list ? list->problem() : error));
        return;
    }
    const QString series = QFileInfo(path).fileName() + QLatin1Char(' ') + QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    m_session->openWorklist(id, *list, series);
}
