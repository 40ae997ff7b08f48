#pragma once

#include "export/measurementexport.h"

#include <QDialog>

namespace Ui {
class ExportDialog;
}

// Runs an export on the default connection; a progress dialog with Cancel
// shows when it takes longer than half a second.
Veltrano::MeasurementExport::Result runExportWithProgress(QWidget *parent,
                                                          const Veltrano::MeasurementExport::Request &request);

// Chooses recorded rows by time and instrument, a format and a file, and
// exports them. Failures are told in a box; the dialog stays open after a
// failure or a cancel, and closes when the file is written.
class ExportDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ExportDialog(QWidget *parent = nullptr);
    ~ExportDialog() override;

public slots:
    void accept() override;

private:
    void browse();
    void formatChosen();
    Veltrano::MeasurementExport::Format format() const;

    Ui::ExportDialog *ui;
};
