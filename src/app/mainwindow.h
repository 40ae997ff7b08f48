#pragma once

#include "recording/recordingsession.h"
#include "store/measurementmodel.h"

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QTimer>

class LiveReadingsWindow;
class WeighingWindow;
class ChecksWindow;
class QMessageBox;

namespace Ui {
class MainWindow;
}

// The program's only window: the recorded rows, the collection controls and
// the menus. The slots keep to what a user command needs and hand the work
// on: the collection to the engine, the rows to the storage thread. Neither
// ever waits for the window, nor for a box it shows.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

public slots:
    void settings();
    void about();
    void aboutQt();
    void exitFromApplication();
    void exportData();
    void clearData();
    void startToCollect();
    void stopToCollect();
    void storeImmediately();
    void showLiveReadings();
    void showWeighing();
    void showChecks();
    void makeReport();

protected:
    // During a collection the window asks first, and goes on recording
    // while it asks.
    void closeEvent(QCloseEvent *event) override;

private slots:
    // Rows reached the database: the view shows them.
    void showNewRows();
    // What the collection or the storage says the operator must know.
    void tell(const Veltrano::OperatorMessage &message);
    void cleared(bool ok, const QString &error);

private:
    // Lets the tests look at the collection.
    friend struct MainWindowProbe;

    Veltrano::MeasurementModel model;
    // The collection on a thread of its own, its rows written on another,
    // keeping those the database refuses; the folder's lock while it runs.
    Veltrano::RecordingSession session;

    Ui::MainWindow *ui;

    // Rows another process writes (an unattended collector in this folder,
    // other PCs on a server) come into view at this pace.
    QTimer othersRows;

    QPointer<LiveReadingsWindow> liveWindow;
    QPointer<WeighingWindow> weighingWindow;
    QPointer<ChecksWindow> checksWindow;
    // The question of a close during a collection, while it is shown.
    QPointer<QMessageBox> quitQuestion;
    // Told that Start has nothing to collect, while it is shown.
    QPointer<QMessageBox> nothingToCollect;
};
