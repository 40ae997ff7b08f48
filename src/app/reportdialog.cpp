#include "reportdialog.h"
#include "ui_reportdialog.h"

#include "checks/checkregister.h"
#include "report/reportsettings.h"
#include "report/reportsource.h"
#include "store/rowsource.h"
#include "store/sqlbackend.h"
#include "store/weighingtable.h"
#include "support/trace.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QSqlQuery>

using namespace Veltrano;

namespace {

QSqlDatabase defaultDatabase()
{
    return QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false);
}

// The recorded series, the one with the newest weighing first.
QStringList recordedSeries(const QSqlDatabase &db)
{
    QStringList names;
    if (!SqlBackend::tableExists(db, QLatin1String(WeighingTable::kTable)))
        return names;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (query.exec(QStringLiteral("SELECT series FROM weighing WHERE series <> '' GROUP BY series "
                                  "ORDER BY max(row_key) DESC"))) {
        while (query.next())
            names << query.value(0).toString();
    }
    return names;
}

// The recorded balance checks, the newest first: "2026-12-10 09:12:00,
// B1, repeatability, pass" with the record's id as the item's data.
QString listChecks(const QSqlDatabase &db, QComboBox *list)
{
    QVector<Checks::CheckRecord> records;
    const QString error = Checks::records(db, &records);
    for (auto record = records.crbegin(); record != records.crend(); ++record)
        list->addItem(QStringLiteral("%1 %2, %3, %4, %5")
                          .arg(record->date, record->time, record->instrumentId, Checks::checkText(record->test),
                               Checks::verdictText(record->verdict)),
                      record->id);
    return error;
}

} // namespace

ReportDialog::ReportDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::ReportDialog)
{
    VTRACE;
    ui->setupUi(this);
    const QSqlDatabase db = defaultDatabase();
    ui->uSeries->addItems(recordedSeries(db));
    const DataRows::Recorded recorded = DataRows::recorded(db);
    const QDateTime now = QDateTime::currentDateTime();
    ui->uFrom->setDateTime(recorded.first.isValid() ? recorded.first : now);
    ui->uTo->setDateTime(recorded.last.isValid() ? recorded.last : now);
    for (const QString &name : recorded.instruments) {
        auto *item = new QListWidgetItem(name, ui->uInstruments);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Checked);
    }
    m_checksError = listChecks(db, ui->uCheck);
    QString problem;
    const ReportSettings settings = readReportSettings(QLatin1String(kReportIni), &problem);
    ui->uPaper->setCurrentIndex(settings.paper == PaperSize::Letter ? 1 : 0);
    if (ui->uSeries->count() == 0)
        ui->uPeriodChoice->setChecked(true);
    connect(ui->uSeriesChoice, &QRadioButton::toggled, this, &ReportDialog::choiceChanged);
    connect(ui->uCheckChoice, &QRadioButton::toggled, this, &ReportDialog::choiceChanged);
    connect(ui->uBrowse, &QToolButton::clicked, this, &ReportDialog::browse);
    connect(ui->uButtons, &QDialogButtonBox::accepted, this, &ReportDialog::accept);
    connect(ui->uButtons, &QDialogButtonBox::rejected, this, &ReportDialog::reject);
    choiceChanged();
}

ReportDialog::~ReportDialog()
{
    delete ui;
}

void ReportDialog::chooseSeries(const QString &series)
{
    const int at = ui->uSeries->findText(series);
    if (at < 0)
        return;
    ui->uSeries->setCurrentIndex(at);
    ui->uSeriesChoice->setChecked(true);
}

void ReportDialog::choiceChanged()
{
    ui->uSeries->setEnabled(ui->uSeriesChoice->isChecked());
    ui->uCheck->setEnabled(ui->uCheckChoice->isChecked());
    for (QWidget *period : {static_cast<QWidget *>(ui->uFrom), static_cast<QWidget *>(ui->uTo),
                            static_cast<QWidget *>(ui->uInstruments)})
        period->setEnabled(ui->uPeriodChoice->isChecked());
}

void ReportDialog::browse()
{
    const QString chosen = QFileDialog::getSaveFileName(this, tr("Save the report"), ui->uFile->text(),
                                                        tr("PDF (*.pdf)"));
    if (!chosen.isEmpty())
        ui->uFile->setText(QDir::toNativeSeparators(chosen));
}

void ReportDialog::accept()
{
    VTRACE;
    QString file = QDir::fromNativeSeparators(ui->uFile->text().trimmed());
    if (file.isEmpty()) {
        QMessageBox::warning(this, windowTitle(), tr("Choose the file to write the report to."));
        return;
    }
    if (!file.endsWith(QLatin1String(".pdf"), Qt::CaseInsensitive))
        file += QLatin1String(".pdf");
    ReportSource::Request request;
    if (ui->uSeriesChoice->isChecked()) {
        request.series = ui->uSeries->currentText();
        if (request.series.isEmpty()) {
            QMessageBox::warning(this, windowTitle(), tr("No series of weighings is recorded."));
            return;
        }
    } else if (ui->uCheckChoice->isChecked()) {
        request.check = ui->uCheck->currentData().toLongLong();
        if (request.check == 0) {
            QMessageBox::warning(this, windowTitle(),
                                 m_checksError.isEmpty() ? tr("No balance check is recorded.")
                                                         : tr("The balance checks cannot be read.") + QLatin1Char('\n')
                                                               + m_checksError);
            return;
        }
    } else {
        request.from = ui->uFrom->dateTime();
        request.to = ui->uTo->dateTime();
        for (int i = 0; i < ui->uInstruments->count(); ++i) {
            if (ui->uInstruments->item(i)->checkState() == Qt::Checked)
                request.instruments << ui->uInstruments->item(i)->text();
        }
        if (request.instruments.isEmpty()) {
            QMessageBox::warning(this, windowTitle(), tr("Check at least one instrument."));
            return;
        }
    }
    ReportSource::Written written;
    const QString error = ReportSource::writeReport(
        defaultDatabase(), request, ui->uPaper->currentIndex() == 1 ? PaperSize::Letter : PaperSize::A4, file, &written);
    if (!error.isEmpty()) {
        QMessageBox::warning(this, windowTitle(), tr("The report could not be written.") + QLatin1Char('\n') + error);
        return;
    }
    QString told = tr("Wrote %1 %2 to %3 (%4 %5).")
                       .arg(written.rows)
                       .arg(written.rows == 1 ? tr("row") : tr("rows"), QDir::toNativeSeparators(file))
                       .arg(written.pages)
                       .arg(written.pages == 1 ? tr("page") : tr("pages"));
    for (const QString &warning : qAsConst(written.warnings))
        told += QLatin1Char('\n') + warning;
    QMessageBox::information(this, windowTitle(), told);
    QDialog::accept();
}
