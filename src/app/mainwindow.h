#pragma once

#include "collect/collectionengine.h"
#include "collect/collectorlock.h"
#include "store/measurementmodel.h"
#include "store/storage.h"

#include <QMainWindow>
#include <QPointer>
#include <QSerialPort>
#include <QString>
#include <QTimer>

class LiveReadingsWindow;

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
    void timerFired();
    void readyRead();
    void error(QSerialPort::SerialPortError error);
    void showLiveReadings();
    void reconnectPorts();

private slots:
    // Rows reached the database: the view shows them.
    void showNewRows();
    // What the engine or the storage says the operator must know.
    void tell(const QString &line);
    void cleared(bool ok, const QString &error);

private:
    void storeData(const QString &instrumentId, const Veltrano::Row &row);

    // Lets the tests look at the collection.
    friend struct MainWindowProbe;

    Veltrano::MeasurementModel model;
    // Writes the rows the engine takes, on a thread of its own, keeping
    // those the database refuses.
    Veltrano::Storage storage;
    // The collection registry and everything that runs a collection.
    Veltrano::CollectionEngine engine;

    Ui::MainWindow *ui;

    // Held while this window collects: one collector per folder.
    Veltrano::CollectorLock collectorLock;
    // Rows another process writes (an unattended collector in this folder,
    // other PCs on a server) come into view at this pace.
    QTimer othersRows;

    QPointer<LiveReadingsWindow> liveWindow;
};
