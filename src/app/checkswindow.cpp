#include "checkswindow.h"
#include "startup.h"
#include "ui_checkswindow.h"

#include "checks/checkregister.h"
#include "checks/checkstatus.h"
#include "collect/instrumentconfig.h"
#include "recording/recordingsession.h"
#include "support/osuser.h"

#include <QDateTime>
#include <QSqlDatabase>

namespace {

using namespace Veltrano::Checks;

enum BalanceColumn { BalanceId, Maker, Model, Serial, Capacity, Readability, Location, Every, Status, BalanceColumns };
enum WeightColumn { WeightId, Nominal, Unit, Class, Certificate, Due, WeightColumns };
enum RecordColumn { RecordDate, RecordTime, RecordBalance, RecordTest, RecordWeight, RecordN, RecordMean, RecordSd,
                    RecordDeviation, RecordVerdict, RecordOperator, RecordColumns };

const Check kTests[] = {Check::Repeatability, Check::Accuracy, Check::Eccentricity};

QSqlDatabase database()
{
    return QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false);
}

// An empty field is no value; anything else must be a positive number.
bool readNumber(const QString &text, std::optional<double> *value)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        value->reset();
        return true;
    }
    bool ok = false;
    const double read = trimmed.toDouble(&ok);
    if (!ok || !(read > 0))
        return false;
    *value = read;
    return true;
}

void setRow(QTableWidget *table, int row, const QStringList &cells)
{
    for (int column = 0; column < cells.size(); ++column)
        table->setItem(row, column, new QTableWidgetItem(cells.at(column)));
}

} // namespace

ChecksWindow::ChecksWindow(Veltrano::RecordingSession *session, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , ui(new Ui::ChecksWindow)
    , m_session(session)
    , m_runner(QLatin1String(QSqlDatabase::defaultConnection))
{
    ui->setupUi(this);
    ui->uBalances->setColumnCount(BalanceColumns);
    ui->uBalances->setHorizontalHeaderLabels({tr("Instrument"), tr("Maker"), tr("Model"), tr("Serial number"),
                                              tr("Capacity"), tr("Readability"), tr("Location"), tr("Tests every"),
                                              tr("Status")});
    ui->uWeights->setColumnCount(WeightColumns);
    ui->uWeights->setHorizontalHeaderLabels(
        {tr("ID"), tr("Nominal"), tr("Unit"), tr("Class"), tr("Certificate"), tr("Calibration due")});
    ui->uRecords->setColumnCount(RecordColumns);
    ui->uRecords->setHorizontalHeaderLabels({tr("Date"), tr("Time"), tr("Balance"), tr("Test"), tr("Weight"), tr("n"),
                                             tr("Mean"), tr("s"), tr("Deviation"), tr("Verdict"), tr("Operator")});
    for (const char *weightClass : kWeightClasses)
        ui->uClass->addItem(QString::fromLatin1(weightClass));
    for (Check test : kTests)
        ui->uTest->addItem(checkText(test), int(test));
    ui->uReplicates->setValue(kRepeatabilityWeighings);
    ui->uDue->setDate(QDate::currentDate().addYears(1));

    connect(ui->uBalances, &QTableWidget::itemSelectionChanged, this, &ChecksWindow::showBalance);
    connect(ui->uWeights, &QTableWidget::itemSelectionChanged, this, &ChecksWindow::showWeight);
    connect(ui->uSaveBalance, &QPushButton::clicked, this, &ChecksWindow::saveBalance);
    connect(ui->uSaveWeight, &QPushButton::clicked, this, &ChecksWindow::saveWeight);
    connect(ui->uStartTest, &QPushButton::clicked, this, &ChecksWindow::startTest);
    connect(ui->uCancelTest, &QPushButton::clicked, this, &ChecksWindow::cancelTest);
    connect(ui->uTest, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &ChecksWindow::testChanged);
    connect(&m_runner, &CheckRunner::place, ui->uInstruction, &QLabel::setText);
    connect(&m_runner, &CheckRunner::weighed, this, &ChecksWindow::weighed);
    connect(&m_runner, &CheckRunner::finished, this, &ChecksWindow::testFinished);
    connect(&m_runner, &CheckRunner::readFailed, this,
            [this](const QString &error) { ui->uVerdict->setText(tr("The weighings cannot be read yet: %1").arg(error)); });
    testChanged();
    refresh();
}

ChecksWindow::~ChecksWindow()
{
    delete ui;
}

void ChecksWindow::tell(const QString &text)
{
    Startup::notify(this, tr("Balances and checks"), text);
}

void ChecksWindow::refresh()
{
    const QSqlDatabase db = database();
    QString error = balances(db, &m_balances);
    if (error.isEmpty())
        error = weights(db, &m_weights);
    if (error.isEmpty())
        error = records(db, &m_records);
    if (!error.isEmpty())
        tell(tr("The registers cannot be read: %1").arg(error));

    const QDateTime now = QDateTime::currentDateTime();
    ui->uBalances->setRowCount(m_balances.size());
    for (int row = 0; row < m_balances.size(); ++row) {
        const BalanceEntry &entry = m_balances.at(row);
        const BalanceStatus status = balanceStatus(&entry, m_records, now);
        setRow(ui->uBalances, row,
               {entry.instrumentId, entry.maker, entry.model, entry.serial, figureText(entry.capacity),
                figureText(entry.readability), entry.location, intervalsText(entry.intervals),
                status.state == CheckState::NoInterval ? tr("no test interval set")
                                                       : describe(status.state, status.until, status.since)});
    }
    ui->uWeights->setRowCount(m_weights.size());
    for (int row = 0; row < m_weights.size(); ++row) {
        const WeightEntry &entry = m_weights.at(row);
        setRow(ui->uWeights, row,
               {entry.id, figureText(entry.nominal), entry.unit, entry.weightClass, entry.certificate,
                entry.due.toString(Qt::ISODate)});
    }
    // The newest test first.
    ui->uRecords->setRowCount(m_records.size());
    for (int i = 0; i < m_records.size(); ++i) {
        const CheckRecord &record = m_records.at(m_records.size() - 1 - i);
        setRow(ui->uRecords, i,
               {record.date, record.time, record.instrumentId, checkText(record.test), record.weightId,
                QString::number(record.n), figureText(record.mean), figureText(record.sd), figureText(record.deviation),
                verdictText(record.verdict), record.operatorName});
        // The record's id, as veltrano-report --check and the Report... dialog take it.
        ui->uRecords->setVerticalHeaderItem(i, new QTableWidgetItem(QString::number(record.id)));
    }

    // The instruments to register: those of settings.ini and those already registered.
    QStringList ids = Veltrano::RecordingSession::activeInstruments(QString::fromLatin1(Veltrano::Config::kFileName));
    for (const BalanceEntry &entry : qAsConst(m_balances))
        ids << entry.instrumentId;
    ids.removeDuplicates();
    ids.sort();
    const QString typed = ui->uBalanceId->currentText();
    ui->uBalanceId->clear();
    ui->uBalanceId->addItems(ids);
    ui->uBalanceId->setCurrentText(typed);
    if (!m_runner.isRunning()) {
        const QString balance = ui->uTestBalance->currentText(), weight = ui->uTestWeight->currentText();
        ui->uTestBalance->clear();
        for (const BalanceEntry &entry : qAsConst(m_balances))
            ui->uTestBalance->addItem(entry.instrumentId);
        ui->uTestWeight->clear();
        for (const WeightEntry &entry : qAsConst(m_weights))
            ui->uTestWeight->addItem(entry.id);
        ui->uTestBalance->setCurrentText(balance);
        ui->uTestWeight->setCurrentText(weight);
    }
}

void ChecksWindow::showBalance()
{
    const int row = ui->uBalances->currentRow();
    if (row < 0 || row >= m_balances.size())
        return;
    const BalanceEntry &entry = m_balances.at(row);
    ui->uBalanceId->setCurrentText(entry.instrumentId);
    ui->uMaker->setText(entry.maker);
    ui->uModel->setText(entry.model);
    ui->uSerial->setText(entry.serial);
    ui->uCapacity->setText(figureText(entry.capacity));
    ui->uReadability->setText(figureText(entry.readability));
    ui->uLocation->setText(entry.location);
    ui->uIntervals->setText(intervalsText(entry.intervals));
    ui->uEccentricityLimit->setText(figureText(entry.eccentricityLimit));
}

void ChecksWindow::showWeight()
{
    const int row = ui->uWeights->currentRow();
    if (row < 0 || row >= m_weights.size())
        return;
    const WeightEntry &entry = m_weights.at(row);
    ui->uWeightId->setText(entry.id);
    ui->uNominal->setText(figureText(entry.nominal));
    ui->uUnit->setText(entry.unit);
    ui->uClass->setCurrentText(entry.weightClass);
    ui->uCertificate->setText(entry.certificate);
    ui->uDue->setDate(entry.due);
}

void ChecksWindow::saveBalance()
{
    BalanceEntry entry;
    entry.instrumentId = ui->uBalanceId->currentText().trimmed();
    entry.maker = ui->uMaker->text().trimmed();
    entry.model = ui->uModel->text().trimmed();
    entry.serial = ui->uSerial->text().trimmed();
    entry.location = ui->uLocation->text().trimmed();
    QString error;
    if (entry.instrumentId.isEmpty())
        error = tr("Choose the instrument the balance is.");
    else if (!readNumber(ui->uCapacity->text(), &entry.capacity))
        error = tr("The capacity must be a positive number.");
    else if (!readNumber(ui->uReadability->text(), &entry.readability))
        error = tr("The readability must be a positive number, such as 0.0001.");
    else if (!readNumber(ui->uEccentricityLimit->text(), &entry.eccentricityLimit))
        error = tr("The eccentricity limit must be a positive number.");
    else
        error = parseIntervals(ui->uIntervals->text(), &entry.intervals);
    if (error.isEmpty())
        error = Veltrano::Checks::saveBalance(database(), entry);
    if (!error.isEmpty()) {
        tell(tr("The balance is not saved: %1").arg(error));
        return;
    }
    refresh();
    if (m_session)
        m_session->refreshQualifications();
}

void ChecksWindow::saveWeight()
{
    WeightEntry entry;
    entry.id = ui->uWeightId->text().trimmed();
    entry.unit = ui->uUnit->text().trimmed();
    entry.weightClass = ui->uClass->currentText();
    entry.certificate = ui->uCertificate->text().trimmed();
    entry.due = ui->uDue->date();
    std::optional<double> nominal;
    QString error;
    if (entry.id.isEmpty())
        error = tr("Give the weight's ID.");
    else if (!readNumber(ui->uNominal->text(), &nominal) || !nominal)
        error = tr("The nominal value must be a positive number.");
    else if (entry.unit.isEmpty())
        error = tr("Give the unit of the nominal value.");
    if (error.isEmpty()) {
        entry.nominal = *nominal;
        error = Veltrano::Checks::saveWeight(database(), entry);
    }
    if (!error.isEmpty()) {
        tell(tr("The weight is not saved: %1").arg(error));
        return;
    }
    refresh();
}

void ChecksWindow::testChanged()
{
    const auto test = Check(ui->uTest->currentData().toInt());
    ui->uReplicates->setEnabled(test == Check::Repeatability);
}

void ChecksWindow::startTest()
{
    const int balanceRow = ui->uTestBalance->currentIndex(), weightRow = ui->uTestWeight->currentIndex();
    if (balanceRow < 0 || balanceRow >= m_balances.size() || weightRow < 0 || weightRow >= m_weights.size()) {
        tell(tr("Register the balance and the reference weight first."));
        return;
    }
    const auto test = Check(ui->uTest->currentData().toInt());
    const QString refused =
        m_runner.start(test, m_balances.at(balanceRow), m_weights.at(weightRow), ui->uReplicates->value());
    if (!refused.isEmpty()) {
        tell(tr("The test cannot be made: %1").arg(refused));
        return;
    }
    ui->uTaken->clear();
    ui->uVerdict->clear();
    ui->uTestGroup->setEnabled(false);
    ui->uStartTest->setEnabled(false);
    ui->uCancelTest->setEnabled(true);
}

void ChecksWindow::cancelTest()
{
    m_runner.cancel();
    ui->uInstruction->setText(tr("The test was cancelled: nothing is kept."));
    ui->uTestGroup->setEnabled(true);
    ui->uStartTest->setEnabled(true);
    ui->uCancelTest->setEnabled(false);
}

void ChecksWindow::weighed(const TakenWeighing &weighing, int index, int count)
{
    ui->uTaken->addItem(tr("Weighing %1 of %2: %3 %4 (%5 %6)")
                            .arg(index + 1)
                            .arg(count)
                            .arg(weighing.reading.number, weighing.reading.unit, weighing.date, weighing.time));
    ui->uTaken->scrollToBottom();
}

void ChecksWindow::testFinished(const CheckResult &result)
{
    ui->uTestGroup->setEnabled(true);
    ui->uStartTest->setEnabled(true);
    ui->uCancelTest->setEnabled(false);
    const QString unit = m_runner.taken().isEmpty() ? QString() : m_runner.taken().first().reading.unit;
    ui->uInstruction->setText(tr("All weighings are in."));
    ui->uVerdict->setText(tr("%1: %2\n%3\nCriterion: %4")
                              .arg(verdictText(result.verdict).toUpper(), result.reason,
                                   CheckRunner::figures(result, unit), result.criterion));
    const QDateTime now = QDateTime::currentDateTime();
    const CheckRecord record =
        CheckRecord::of(result, m_runner.balance().instrumentId, m_runner.weight(), now.date().toString(Qt::ISODate),
                        now.time().toString(QStringLiteral("HH:mm:ss")), Veltrano::osUserName(), m_runner.keys());
    const QString error = addRecord(database(), record);
    if (!error.isEmpty())
        tell(tr("The test is not kept: %1").arg(error));
    refresh();
    if (m_session)
        m_session->refreshQualifications();
}
