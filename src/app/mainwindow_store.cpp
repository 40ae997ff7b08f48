// Storing the latest reading of an instrument as a row of the table.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "collectionsettings.h"
#include "instrumentconfig.h"
#include "measurementdb.h"
#include "trace.h"

#include <QDateTime>
#include <QSettings>

void MainWindow::storeData(QString instrumentId)
{
    VTRACE;
    // Read at every store, so a name changed in the meantime is used at once.
    const QSettings settings(QString::fromLatin1(Veltrano::Config::kFileName), QSettings::IniFormat);

    Veltrano::MeasurementDb::Row row;
    row.name = Veltrano::CollectionSettings::text(settings, instrumentId, Veltrano::Config::Key::name);
    row.header = latestHeaders.contains(instrumentId) ? latestHeaders.value(instrumentId) : QStringLiteral("no header yet");
    row.result = latestResults.contains(instrumentId) ? latestResults.value(instrumentId) : QStringLiteral("no result yet");
    row.unit = latestUnits.contains(instrumentId) ? latestUnits.value(instrumentId) : QStringLiteral("no unit yet");
    // Date and time of one and the same moment, also around midnight.
    const QDateTime now = QDateTime::currentDateTime();
    row.date = now.date().toString(Qt::ISODate);
    row.time = now.time().toString(Qt::ISODate);

    measurementStore.store(row);
    liveStates.rowStored(instrumentId);
}

void MainWindow::showNewRows()
{
    model.refresh();
    ui->uTableView->resizeColumnsToContents();
}
