// The collection controls: each hands the work to the engine, whose rows go
// to the storage thread.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "collect/instrumentconfig.h"
#include "store/audit.h"
#include "support/trace.h"

#include <QJsonArray>
#include <QMessageBox>
#include <QTimer>

void MainWindow::startToCollect()
{
    VTRACE;
    QString holder;
    if (!collectorLock.acquire(&holder)) {
        QMessageBox::warning(this, tr("Warning"),
                             tr("Another collector records in this folder: %1.\n\n"
                                "Its rows appear here as it records them; stop it before you start here.")
                                 .arg(holder));
        return;
    }
    engine.start(QString::fromLatin1(Veltrano::Config::kFileName));
    storage.audit(QLatin1String(Veltrano::Audit::kStarted),
                  {{QStringLiteral("instruments"), QJsonArray::fromStringList(engine.instruments())}});
    ui->uStart->setEnabled(false);
    ui->uStop->setEnabled(true);
    ui->uRead->setEnabled(true);
    ui->actionSettings->setEnabled(false);
}

void MainWindow::stopToCollect()
{
    VTRACE;
    const QStringList instruments = engine.instruments();
    engine.stop();
    storage.audit(QLatin1String(Veltrano::Audit::kStopped),
                  {{QStringLiteral("instruments"), QJsonArray::fromStringList(instruments)}});
    collectorLock.release();
    ui->uStart->setEnabled(true);
    ui->uStop->setEnabled(false);
    ui->uRead->setEnabled(false);
    ui->actionSettings->setEnabled(true);
}

void MainWindow::storeImmediately()
{
    VTRACE;
    engine.storeImmediately();
}

void MainWindow::timerFired()
{
    engine.timerFired(qobject_cast<QTimer *>(sender()));
}

void MainWindow::readyRead()
{
    engine.readyRead(qobject_cast<QSerialPort *>(sender()));
}

void MainWindow::error(QSerialPort::SerialPortError error)
{
    engine.portError(qobject_cast<QSerialPort *>(sender()), error);
}

void MainWindow::reconnectPorts()
{
    engine.reconnectPorts();
}

void MainWindow::storeData(const QString &instrumentId, const Veltrano::Row &row)
{
    Q_UNUSED(instrumentId);
    storage.store(row);
}

void MainWindow::tell(const QString &line)
{
    Veltrano::Trace::emitLine(QtCriticalMsg, line);
}

void MainWindow::showNewRows()
{
    model.refresh();
    ui->uTableView->resizeColumnsToContents();
}
