#pragma once

// The benchmarks' look into the main window (it names this struct a friend).

#include "mainwindow.h"

#include <QByteArray>
#include <QList>
#include <QTableView>
#include <QTimer>

struct MainWindowProbe
{
    static QTableView *view(MainWindow &window) { return window.findChild<QTableView *>("uTableView"); }
    static void store(MainWindow &window, const QString &id) { window.storeData(id); }
    static Veltrano::MeasurementStore &store(MainWindow &window) { return window.measurementStore; }

    // Gives `id` a receive buffer, as a start of collection does.
    static QByteArray *addBuffer(MainWindow &window, const QString &id)
    {
        auto *buffer = new QByteArray;
        window.receiveBuffers.insert(id, buffer);
        return buffer;
    }
    static void removeBuffer(MainWindow &window, const QString &id) { delete window.receiveBuffers.take(id); }
    static void processBuffer(MainWindow &window, const QString &id) { window.processBuffer(id); }
    static QList<QTimer *> timers(MainWindow &window) { return window.samplingTimers.values(); }
    static int openPorts(MainWindow &window)
    {
        int open = 0;
        for (QSerialPort *port : qAsConst(window.serialPorts))
            open += port->isOpen();
        return open;
    }
    static QString latestResult(MainWindow &window, const QString &id) { return window.latestResults.value(id); }
    static void setLatest(MainWindow &window, const QString &id, const QString &header, const QString &result,
                          const QString &unit)
    {
        window.latestHeaders.insert(id, header);
        window.latestResults.insert(id, result);
        window.latestUnits.insert(id, unit);
    }
};
