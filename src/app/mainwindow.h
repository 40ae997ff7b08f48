#pragma once

#include "instrumentstate.h"
#include "measurementmodel.h"
#include "measurementstore.h"
#include "serialerrors.h"

#include <QByteArray>
#include <QMainWindow>
#include <QMap>
#include <QPointer>
#include <QSerialPort>
#include <QSet>
#include <QString>
#include <QTimer>

class LiveReadingsWindow;
class QSettings;

namespace Ui {
class MainWindow;
}

// The program's only window: the recorded rows, the collection controls and
// the menus. The slots keep to what a user command needs and hand the work to
// the core library.
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

private:
    void processBuffer(QString instrumentId);
    void storeData(QString instrumentId);
    // Sets the line of an open port as the instrument's section asks; each
    // failure is told at `level` under the signature `caller`.
    void applyLineSettings(QSerialPort *port, const QSettings &settings, const QString &instrumentId,
                           QtMsgType level, const char *caller);

    // Lets the tests look at the collection registry.
    friend struct MainWindowProbe;

    Veltrano::MeasurementModel model;
    // Writes the rows storeData() builds, keeping those the database refuses.
    Veltrano::MeasurementStore measurementStore;

    // The collection registry, keyed by instrument id. While a collection runs
    // the first three hold the same keys and own what they point to; only
    // stopToCollect() frees them. Outside a collection all six are empty.
    QMap<QString, QSerialPort *> serialPorts;
    QMap<QString, QTimer *> samplingTimers;
    QMap<QString, QByteArray *> receiveBuffers;
    QMap<QString, QString> latestHeaders;
    QMap<QString, QString> latestResults;
    QMap<QString, QString> latestUnits;

    Ui::MainWindow *ui;

    // Which errors each port has raised in this run, so that a port that keeps
    // failing is reported once and then closed instead of stacking boxes.
    Veltrano::SerialErrors::RepeatFilter portErrors;

    // What each instrument of the running collection is doing, for the live
    // readings window; empty outside a collection.
    Veltrano::InstrumentStates liveStates;
    QPointer<LiveReadingsWindow> liveWindow;

    // Ports closed after an error, reopened every kReconnectMs until they open
    // or the collection stops.
    static constexpr int kReconnectMs = 2000;
    QSet<QString> reconnecting;
    QTimer reconnectTimer;
};
