#pragma once

#include "export/measurementexport.h"

#include <QDialog>
#include <QJsonObject>

#include <functional>

namespace Ui {
class ExportDialog;
}

// Runs an export on the default connection; a progress dialog with Cancel
// shows when it takes longer than half a second.
Veltrano::MeasurementExport::Result runExportWithProgress(QWidget *parent,
                                                          const Veltrano::MeasurementExport::Request &request);

// Where a finished export's audit entry goes (the window's storage thread).
void setExportAudit(std::function<void(const QJsonObject &details)> audit);

// Chooses recorded rows by time and instrument, a format and a file, and
// exports them. Failures are told in a box; the dialog stays open after a
// failure or a cancel, and closes when the file is written, after a box that
// says how many rows went where and can open the folder.
//
// The format follows a typed extension and the extension the format; "To"
// is open (up to the latest row, also one recorded while the dialog is open)
// until the operator changes it. The last folder, format and instruments are
// kept in kUiSettingsFile, apart from the collection's settings.ini.
class ExportDialog : public QDialog
{
    Q_OBJECT

public:
    // The file of the windows' own choices, in Veltrano's folder (the working
    // folder, beside settings.ini and sqlite.db).
    static constexpr char kUiSettingsFile[] = "veltrano-ui.ini";

    explicit ExportDialog(QWidget *parent = nullptr);
    ~ExportDialog() override;

public slots:
    void accept() override;

private:
    void browse();
    void formatChosen();
    void fileEdited();
    void setFormat(Veltrano::MeasurementExport::Format format);
    void restoreChoices(const QStringList &recordedNames);
    void saveChoices(const Veltrano::MeasurementExport::Request &request) const;
    void tellSuccess(const Veltrano::MeasurementExport::Result &result, const QString &fileName);
    Veltrano::MeasurementExport::Format format() const;

    Ui::ExportDialog *ui;
    bool m_toChosen = false;  // "To" changed by the operator
};
