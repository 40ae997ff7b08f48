#pragma once

#include <QDialog>

namespace Ui {
class ReportDialog;
}

// Writes a weighing report as PDF from the default connection: the weighings
// of one recorded series (the newest first in the list), the rows of a
// period from the instruments checked, or a recorded balance check with its
// weighings (the newest first). Paper from report.ini unless chosen.
// A failure is told in a box and the dialog stays open; a written report is
// told with its rows and pages, and the dialog closes.
class ReportDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ReportDialog(QWidget *parent = nullptr);
    ~ReportDialog() override;

    // Presets the series (the Weighing window's current one).
    void chooseSeries(const QString &series);

public slots:
    void accept() override;

private:
    void browse();
    void choiceChanged();

    Ui::ReportDialog *ui;
    QString m_checksError;  // why the balance checks could not be listed
};
