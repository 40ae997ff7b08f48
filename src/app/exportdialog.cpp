#include "exportdialog.h"
#include "ui_exportdialog.h"

#include "support/trace.h"
#include "export/xlsworkbook.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QSettings>
#include <QSqlDatabase>
#include <QUrl>

#include <algorithm>
#include <iterator>

using namespace Veltrano::MeasurementExport;

namespace {

struct FormatChoice
{
    Format format;
    const char *label;
};
const FormatChoice kFormats[] = {
    {Format::Csv, QT_TRANSLATE_NOOP("ExportDialog", "CSV (*.csv)")},
    {Format::Xlsx, QT_TRANSLATE_NOOP("ExportDialog", "Excel workbook (*.xlsx)")},
    {Format::Xls, QT_TRANSLATE_NOOP("ExportDialog", "Excel 97-2003 workbook (*.xls)")},
};

// Keys of the dialog's choices in ExportDialog::kUiSettingsFile.
constexpr char kFolderKey[] = "export/folder";
constexpr char kFormatKey[] = "export/format";             // csv, xlsx or xls
constexpr char kInstrumentsKey[] = "export/instruments";   // the checked names; none: all

std::function<void(const QJsonObject &)> g_exportAudit;

// Whether a typed name names a file rather than only a folder.
bool namesFile(const QString &fileName)
{
    return !QFileInfo(fileName).fileName().isEmpty();
}

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
    if (result.step == Result::Done && g_exportAudit)
        g_exportAudit(auditDetails(request, result));
    return result;
}

void setExportAudit(std::function<void(const QJsonObject &details)> audit)
{
    g_exportAudit = std::move(audit);
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
    connect(ui->uFile, &QLineEdit::textEdited, this, &ExportDialog::fileEdited);

    const Recorded table = recorded(QSqlDatabase::database());
    if (!table.error.isEmpty())
        VCRITICAL << QStringLiteral("cannot read the recorded rows: ") + table.error;
    const QDateTime now = QDateTime::currentDateTime();
    ui->uFrom->setDateTime(table.first.isValid() ? table.first : now);
    ui->uTo->setDateTime(table.last.isValid() ? table.last : now);
    ui->uTo->setToolTip(tr("Up to the latest recorded row, also rows recorded while this dialog is open, "
                           "unless you change it."));
    connect(ui->uTo, &QDateTimeEdit::dateTimeChanged, this, [this] { m_toChosen = true; });
    for (const QString &name : table.instruments) {
        auto *item = new QListWidgetItem(name, ui->uInstruments);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Checked);
    }
    if (table.instruments.isEmpty()) {
        ui->uNoRows->setText(table.error.isEmpty()
                                 ? tr("No rows are recorded yet, so there is no instrument to choose: the "
                                      "instruments appear here once their readings are stored. An export now "
                                      "writes the column names only.")
                                 : tr("The recorded rows cannot be read, so there is no instrument to choose: %1")
                                       .arg(table.error));
        ui->uNoRows->show();
    }
    restoreChoices(table.instruments);
}

ExportDialog::~ExportDialog()
{
    delete ui;
}

Format ExportDialog::format() const
{
    return kFormats[qBound(0, ui->uFormat->currentIndex(), int(std::size(kFormats)) - 1)].format;
}

void ExportDialog::setFormat(Format format)
{
    const QSignalBlocker quiet(ui->uFormat);  // the name is already right
    for (int i = 0; i < int(std::size(kFormats)); ++i) {
        if (kFormats[i].format == format)
            ui->uFormat->setCurrentIndex(i);
    }
    ui->uProvenance->setEnabled(format != Format::Xls);
    ui->uWeighings->setEnabled(format != Format::Xls);
    ui->uSeries->setEnabled(format != Format::Xls);
}

void ExportDialog::formatChosen()
{
    ui->uProvenance->setEnabled(format() != Format::Xls);
    ui->uWeighings->setEnabled(format() != Format::Xls);
    ui->uSeries->setEnabled(format() != Format::Xls);
    // The file name follows the format.
    QString fileName = ui->uFile->text();
    if (!namesFile(fileName))
        return;
    Format chosen;
    if (formatForFileName(fileName, &chosen))
        fileName.chop(QFileInfo(fileName).suffix().size() + 1);
    chosen = format();
    ui->uFile->setText(fileNameForFormat(fileName, &chosen));
}

void ExportDialog::fileEdited()
{
    // The format follows a typed extension.
    Format typed;
    if (formatForFileName(ui->uFile->text(), &typed))
        setFormat(typed);
}

void ExportDialog::restoreChoices(const QStringList &recordedNames)
{
    const QSettings saved(QLatin1String(kUiSettingsFile), QSettings::IniFormat);
    Format chosen;
    if (formatForFileName(QStringLiteral("x.") + saved.value(QLatin1String(kFormatKey)).toString(), &chosen))
        setFormat(chosen);
    const QString folder = saved.value(QLatin1String(kFolderKey)).toString();
    if (!folder.isEmpty()) {  // the operator types the name
        const QString prefix = QDir::toNativeSeparators(folder);
        ui->uFile->setText(prefix.endsWith(QDir::separator()) ? prefix : prefix + QDir::separator());
    }
    // Names no longer recorded are left out; none left: all checked.
    QStringList checked = saved.value(QLatin1String(kInstrumentsKey)).toStringList();
    checked.erase(std::remove_if(checked.begin(), checked.end(),
                                 [&](const QString &name) { return !recordedNames.contains(name); }),
                  checked.end());
    for (int i = 0; checked.size() && i < ui->uInstruments->count(); ++i) {
        QListWidgetItem *item = ui->uInstruments->item(i);
        item->setCheckState(checked.contains(item->text()) ? Qt::Checked : Qt::Unchecked);
    }
}

void ExportDialog::saveChoices(const Request &request) const
{
    QSettings saved(QLatin1String(kUiSettingsFile), QSettings::IniFormat);
    saved.setValue(QLatin1String(kFolderKey), QFileInfo(request.fileName).absolutePath());
    saved.setValue(QLatin1String(kFormatKey), fileSuffix(request.format));
    // QSettings writes an empty list as "@Invalid()": none checked is no key.
    if (request.selection.instruments.isEmpty())
        saved.remove(QLatin1String(kInstrumentsKey));
    else
        saved.setValue(QLatin1String(kInstrumentsKey), request.selection.instruments);
}

void ExportDialog::tellSuccess(const Result &result, const QString &fileName)
{
    const QFileInfo file(fileName);
    const QString path = QDir::toNativeSeparators(file.absoluteFilePath());
    QString text = result.rows == 1 ? tr("1 row written to %1.").arg(path)
                                    : tr("%1 rows written to %2.").arg(result.rows).arg(path);
    if (result.cutCells) {
        text += QStringLiteral("\n\n")
                + tr("%n text(s) longer than a cell takes were cut to %1 characters.", nullptr, int(result.cutCells))
                      .arg(Veltrano::SharedStrings::kMaxLength);
    }
    QMessageBox box(result.cutCells ? QMessageBox::Warning : QMessageBox::Information, tr("Export"), text,
                    QMessageBox::Ok, this);
    const QPushButton *openFolder = box.addButton(tr("Open &Folder"), QMessageBox::ActionRole);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
    if (box.clickedButton() == openFolder)
        QDesktopServices::openUrl(QUrl::fromLocalFile(file.absolutePath()));
}

void ExportDialog::browse()
{
    const QString fileName = QFileDialog::getSaveFileName(this, tr("Export to"), ui->uFile->text(),
                                                          tr(kFormats[ui->uFormat->currentIndex()].label));
    if (fileName.isEmpty())
        return;
    ui->uFile->setText(fileName);
    fileEdited();
}

void ExportDialog::accept()
{
    VTRACE;
    Request request;
    request.format = format();
    const QString typed = ui->uFile->text().trimmed();
    if (namesFile(typed)) {
        request.fileName = fileNameForFormat(typed, &request.format);
        setFormat(request.format);
        ui->uFile->setText(request.fileName);
    }
    request.provenance = ui->uProvenance->isEnabled() && ui->uProvenance->isChecked();
    request.weighings = ui->uWeighings->isEnabled() && ui->uWeighings->isChecked();
    request.series = ui->uSeries->isEnabled() && ui->uSeries->isChecked();
    request.selection.from = ui->uFrom->dateTime();
    if (m_toChosen)
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
    else if (request.selection.to.isValid() && request.selection.from > request.selection.to)
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
    saveChoices(request);
    tellSuccess(result, request.fileName);
    QDialog::accept();
}
