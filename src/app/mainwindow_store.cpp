// Storing the latest reading of an instrument as a row of the table.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "trace.h"

void MainWindow::storeData(QString instrumentId)
{
    VTRACE;
    Q_UNUSED(instrumentId);
}
