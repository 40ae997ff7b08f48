#pragma once

#include "checks/checkentries.h"
#include "checks/checkrunner.h"

#include <QString>
#include <QVector>
#include <QWidget>

namespace Ui {
class ChecksWindow;
}

namespace Veltrano {
class RecordingSession;
}

// The registers of the balances and reference weights, edited; the routine
// tests of a balance made on its next weighings, whoever records them (this
// window's collection or a collector in the folder), with the verdict kept;
// each balance's status. Nothing here waits for a balance: a test waits for
// weighings by reading what is stored, and Cancel ends it with nothing kept.
class ChecksWindow : public QWidget
{
    Q_OBJECT

public:
    // `session` is told when a test was kept, so that the rows recorded next
    // carry the new status at once.
    explicit ChecksWindow(Veltrano::RecordingSession *session, QWidget *parent = nullptr);
    ~ChecksWindow() override;

    // Reads the registers and the tests made again.
    void refresh();

private:
    void showBalance();
    void showWeight();
    void saveBalance();
    void saveWeight();
    void startTest();
    void cancelTest();
    void testChanged();
    void weighed(const Veltrano::Checks::TakenWeighing &weighing, int index, int count);
    void testFinished(const Veltrano::Checks::CheckResult &result);
    void tell(const QString &text);

    Ui::ChecksWindow *ui;
    Veltrano::RecordingSession *m_session;
    Veltrano::Checks::CheckRunner m_runner;
    QVector<Veltrano::Checks::BalanceEntry> m_balances;
    QVector<Veltrano::Checks::WeightEntry> m_weights;
    QVector<Veltrano::Checks::CheckRecord> m_records;
};
