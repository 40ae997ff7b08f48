// The measurement store as the window offers it: storing a reading, exporting
// the rows to a workbook and clearing them.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "trace.h"

void MainWindow::storeData(QString instrumentId)
{
    VTRACE;
    Q_UNUSED(instrumentId);
}

void MainWindow::exportData()
{
    VTRACE;
}

void MainWindow::clearData()
{
    VTRACE;
}
