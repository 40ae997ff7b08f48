// The collection controls: each hands the work to the engine, whose rows go
// to the storage thread.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "collect/instrumentconfig.h"
#include "startup.h"
#include "support/trace.h"

#include <QMessageBox>

void MainWindow::startToCollect()
{
    VTRACE;
    const QString file = QString::fromLatin1(Veltrano::Config::kFileName);
    if (Veltrano::RecordingSession::activeInstruments(file).isEmpty()) {
        // Told once: pressed again while the notice is up, it stays the one.
        if (!nothingToCollect)
            nothingToCollect = Startup::notify(this, tr("Information"),
                                               tr("No instrument is active in settings.ini: there is nothing to "
                                                  "collect.\n\nSet one up in File > Settings, then press Start."));
        return;
    }
    QString holder;
    if (!session.start(file, &holder)) {
        QMessageBox::warning(this, tr("Warning"),
                             tr("Another collector records in this folder: %1.\n\n"
                                "Its rows appear here as it records them; stop it before you start here.")
                                 .arg(holder));
        return;
    }
    ui->uStart->setEnabled(false);
    ui->uStop->setEnabled(true);
    ui->uRead->setEnabled(true);
    ui->actionSettings->setEnabled(false);
}

void MainWindow::stopToCollect()
{
    VTRACE;
    session.stop();
    ui->uStart->setEnabled(true);
    ui->uStop->setEnabled(false);
    ui->uRead->setEnabled(false);
    ui->actionSettings->setEnabled(true);
}

void MainWindow::storeImmediately()
{
    VTRACE;
    session.storeImmediately();
}

void MainWindow::tell(const Veltrano::OperatorMessage &message)
{
    Veltrano::Trace::emitLine(QtCriticalMsg, message.boxText());
}

void MainWindow::showNewRows()
{
    model.refresh();
    ui->uTableView->resizeColumnsToContents();
}
