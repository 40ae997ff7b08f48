// Exporting the recorded rows to a workbook, and clearing them.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "exportdialog.h"
#include "collect/collectorlock.h"
#include "store/archive.h"
#include "export/measurementexport.h"
#include "support/trace.h"
#include "export/xlsworkbook.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QSqlDatabase>

void MainWindow::exportData()
{
    VTRACE;
    // A name typed without an extension gets .xls (and the question whether
    // to replace an existing file of that name).
    QFileDialog files(this, tr("Exporting data..."), QString(), tr("Excel files (*.xls)"));
    files.setAcceptMode(QFileDialog::AcceptSave);
    files.setFileMode(QFileDialog::AnyFile);
    files.setDefaultSuffix(QStringLiteral("xls"));
    if (files.exec() != QDialog::Accepted || files.selectedFiles().isEmpty())
        return;
    const QString fileName = files.selectedFiles().first();
    VTRACE << "fileName" << fileName;

    // The workbook is written beside the target and takes its place only when
    // complete, so a failed export leaves an existing file as it was. What
    // would keep it from being replaced is caught before any work is done.
    const QFileInfo target(fileName);
    if (target.exists() && (!target.isFile() || !target.isWritable())) {
        VCRITICAL << "cannot remove the file";
        return;
    }
    using namespace Veltrano::MeasurementExport;
    Request request;
    request.format = Format::Xls;
    request.fileName = fileName;
    const Result result = runExportWithProgress(this, request);
    switch (result.step) {
    case Result::Done:
        break;
    case Result::Cancelled:
        return;
    case Result::OpenTarget:
        VTRACE << "open" << result.error;
        QMessageBox::warning(this, tr("Warning"), tr("Cannot open the destination file!"), QMessageBox::Ok);
        return;
    case Result::ReadRows:
        VCRITICAL << QStringLiteral("sqlLiteQuery failed during XLS export: ") + result.error;
        return;
    case Result::WriteFile:
        VCRITICAL << QStringLiteral("cannot create table during XLS export: ") + result.error;
        return;
    case Result::ReplaceTarget:
        if (QFileInfo::exists(fileName))
            VCRITICAL << "cannot remove the file";
        else
            VCRITICAL << QStringLiteral("cannot create table during XLS export: ") + result.error;
        return;
    }
    // A cell holds at most 32,767 characters; the user must know when a
    // stored text did not fit whole.
    if (const quint64 cut = result.cutCells) {
        VCRITICAL << QStringLiteral("texts cut to %1 characters in the workbook: %2")
                         .arg(Veltrano::SharedStrings::kMaxLength)
                         .arg(cut);
    }
}

void MainWindow::clearData()
{
    VTRACE;
    // Another collector's rows are never cleared under it; nor by a login
    // that may not archive them. Both are told before the question.
    const auto refused = [this] {
        const QString holder = session.isRunning() ? QString() : Veltrano::CollectorLock::holder();
        if (!holder.isEmpty()) {
            QMessageBox::warning(this, tr("Warning"),
                                 tr("Another collector records in this folder: %1.\n\n"
                                    "Nothing was cleared: stop it before you clear its rows.")
                                     .arg(holder));
            return true;
        }
        const QString refusal = Veltrano::Archive::refusal(QSqlDatabase::database());
        if (!refusal.isEmpty())
            QMessageBox::warning(this, tr("Warning"), refusal);
        return !refusal.isEmpty();
    };
    if (refused())
        return;
    const QMessageBox::StandardButton answer =
        QMessageBox::question(this, tr("Confirm"), tr("Do you really want to delete all the previously recorded data?"),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    // A collector may have started while the question was open.
    if (answer != QMessageBox::Yes || refused())
        return;

    // After the rows handed over before, on the storage thread: into the
    // archive, never destroyed.
    session.storage().clear();
}

void MainWindow::cleared(bool ok, const QString &error)
{
    if (!ok)
        VCRITICAL << QStringLiteral("cannot delete the recorded data: ") + error;
    model.reload();
}
