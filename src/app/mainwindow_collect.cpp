// The collection engine: starting and stopping a collection, the sampling
// timers, receiving and parsing what the balances print, and port errors.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "trace.h"

#include <QTimer>

void MainWindow::startToCollect()
{
    VTRACE;
}

void MainWindow::stopToCollect()
{
    VTRACE;
}

void MainWindow::storeImmediately()
{
    VTRACE;
}

void MainWindow::timerFired()
{
    VTRACE;
}

void MainWindow::readyRead()
{
    VTRACE;
}

void MainWindow::processBuffer(QString instrumentId)
{
    VTRACE;
    Q_UNUSED(instrumentId);
}

void MainWindow::error(QSerialPort::SerialPortError error)
{
    VTRACE;
    Q_UNUSED(error);
}
