#include "exportdialog.h"
#include "ui_exportdialog.h"

#include "support/trace.h"
#include "export/xlsworkbook.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QSqlDatabase>

#include <iterator>

using namespace Veltrano::MeasurementExport;

namespace {

struct FormatChoice
{
    Format format;
    const char *label;
    const char *suffix;
};
const FormatChoice kFormats[] = {
    {Format::Csv, QT_TRANSLATE_NOOP("ExportDialog", "CSV (*.csv)"), "csv"},
    {Format::Xlsx, QT_TRANSLATE_NOOP("ExportDialog", "Excel workbook (*.xlsx)"), "xlsx"},
    {Format::Xls, QT_TRANSLATE_NOOP("ExportDialog", "Excel 97-2003 workbook (*.xls)"), "xls"},
};

} // namespace

Result runExportWithProgress(QWidget *parent, const Request &request)
{
    QProgressDialog progress(QObject::tr("Exporting the recorded rows..."), QObject::tr("Cancel"), 0, 1000, parent);
    progress.setWindowModality(Qt::ApplicationModal);
    progress.setMinimumDuration(500);
    progress.setAutoReset(false);
    const Result result =
        exportRows(QSqlDatabase::database(), request, [&progress](qint64 written, qint64 total) {
            progress.setValue(total > 0 ? int(written * 1000 / total) : 0);
            return !progress.wasCanceled();
        });
    VTRACE << "export ended" << int(result.step) << "rows" << result.rows;
    return result;
}

ExportDialog::ExportDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::ExportDialog)
{
    ui->setupUi(this);
    ui->uButtons->button(QDialogButtonBox::Ok)->setText(tr("&Export"));
    for (const FormatChoice &choice : kFormats)
        ui->uFormat->addItem(tr(choice.label));
    connect(ui->uBrowse, &QToolButton::clicked, this, &ExportDialog::browse);
    connect(ui->uFormat, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &ExportDialog::formatChosen);

    const Recorded table = recorded(QSqlDatabase::database());
    if (!table.error.isEmpty())
        VCRITICAL << QStringLiteral("cannot read the recorded rows: ") + table.error;
    const QDateTime now = QDateTime::currentDateTime();
    ui->uFrom->setDateTime(table.first.isValid() ? table.first : now);
    ui->uTo->setDateTime(table.last.isValid() ? table.last : now);
    for (const QString &name : table.instruments) {
        auto *item = new QListWidgetItem(name, ui->uInstruments);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Checked);
    }
}

ExportDialog::~ExportDialog()
{
    delete ui;
}

Format ExportDialog::format() const
{
    return kFormats[qBound(0, ui->uFormat->currentIndex(), int(std::size(kFormats)) - 1)].format;
}

void ExportDialog::formatChosen()
{
    // The file name follows the format.
    const QString fileName = ui->uFile->text();
    if (fileName.isEmpty())
        return;
    const QFileInfo file(fileName);
    const QString suffix = QLatin1String(kFormats[ui->uFormat->currentIndex()].suffix);
    Format known;
    const QString base = formatForFileName(fileName, &known) ? fileName.left(fileName.size() - file.suffix().size() - 1)
                                                             : fileName;
    ui->uFile->setText(base + QLatin1Char('.') + suffix);
}

void ExportDialog::browse()
{
    const QString fileName = QFileDialog::getSaveFileName(this, tr("Export to"), ui->uFile->text(),
                                                          tr(kFormats[ui->uFormat->currentIndex()].label));
    if (fileName.isEmpty())
        return;
    Format chosen;
    if (formatForFileName(fileName, &chosen)) {
        for (int i = 0; i < int(std::size(kFormats)); ++i) {
            if (kFormats[i].format == chosen)
                ui->uFormat->setCurrentIndex(i);
        }
    }
    ui->uFile->setText(fileName);
}

void ExportDialog::accept()
{
    VTRACE;
    Request request;
    request.format = format();
    request.fileName = ui->uFile->text().trimmed();
    request.selection.from = ui->uFrom->dateTime();
    request.selection.to = ui->uTo->dateTime();
    QStringList unchecked;
    for (int i = 0; i < ui->uInstruments->count(); ++i) {
        QListWidgetItem *item = ui->uInstruments->item(i);
        (item->checkState() == Qt::Checked ? request.selection.instruments : unchecked) << item->text();
    }
    // With every name checked, names recorded since the dialog opened go out too.
    if (unchecked.isEmpty())
        request.selection.instruments.clear();

    QString problem;
    if (request.fileName.isEmpty())
        problem = tr("Choose the file to export to.");
    else if (request.selection.from > request.selection.to)
        problem = tr("The start of the range is after its end.");
    else if (!unchecked.isEmpty() && request.selection.instruments.isEmpty())
        problem = tr("Check at least one instrument.");
    if (!problem.isEmpty()) {
        QMessageBox::warning(this, tr("Export"), problem);
        return;
    }

    const Result result = runExportWithProgress(this, request);
    if (result.step == Result::Cancelled)
        return;
    if (result.step != Result::Done) {
        QMessageBox::warning(this, tr("Export"), describeFailure(result, request.fileName));
        return;
    }
    if (result.cutCells) {
        QMessageBox::warning(this, tr("Export"),
                             tr("%n text(s) longer than a cell takes were cut to %1 characters.", nullptr,
                                int(result.cutCells))
                                 .arg(Veltrano::SharedStrings::kMaxLength));
    }
    QDialog::accept();
}
