// Exporting the recorded rows to a workbook, and clearing them.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "trace.h"

void MainWindow::exportData()
{
    VTRACE;
}

void MainWindow::clearData()
{
    VTRACE;
}
