#pragma once

// The benchmarks' look into the main window and its collection engine (each
// names its probe a friend).

#include "mainwindow.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QTableView>
#include <QTimer>

namespace Veltrano {

// The engine's collection registry: receive buffers, timers, ports, latest readings.
struct EngineProbe
{
    // Gives `id` a receive buffer, as a start of collection does.
    static QByteArray *addBuffer(CollectionEngine &engine, const QString &id)
    {
        auto *buffer = new QByteArray;
        engine.receiveBuffers.insert(id, buffer);
        return buffer;
    }
    static void removeBuffer(CollectionEngine &engine, const QString &id) { delete engine.receiveBuffers.take(id); }
    static void processBuffer(CollectionEngine &engine, const QString &id) { engine.processBuffer(id); }
    static QList<QTimer *> timers(CollectionEngine &engine) { return engine.samplingTimers.values(); }
    static int openPorts(CollectionEngine &engine)
    {
        int open = 0;
        for (QSerialPort *port : qAsConst(engine.serialPorts))
            open += port->isOpen();
        return open;
    }
    // A sampling tick of `id`: the latest reading taken as a row and handed on.
    static void store(CollectionEngine &engine, const QString &id) { engine.storeData(id); }
    static QString latestResult(CollectionEngine &engine, const QString &id) { return engine.latestResults.value(id); }
    static void setLatest(CollectionEngine &engine, const QString &id, const QString &header, const QString &result,
                          const QString &unit)
    {
        engine.latestHeaders.insert(id, header);
        engine.latestResults.insert(id, result);
        engine.latestUnits.insert(id, unit);
    }
};

} // namespace Veltrano

struct MainWindowProbe
{
    using Engine = Veltrano::EngineProbe;

    static QTableView *view(MainWindow &window) { return window.findChild<QTableView *>("uTableView"); }
    static Veltrano::CollectionEngine &engine(MainWindow &window) { return window.engine; }
    static Veltrano::Storage &storage(MainWindow &window) { return window.storage; }

    // A sampling tick of `id` as the window runs it: the engine takes the
    // row and the window hands it to the storage thread; returns at once.
    static void tick(MainWindow &window, const QString &id) { Engine::store(window.engine, id); }
    // The whole store of a tick: handed over, written by the storage thread,
    // taken into the view and painted.
    static bool store(MainWindow &window, const QString &id)
    {
        tick(window, id);
        const bool written = window.storage.drain(30000);
        // rowsWritten comes back queued: the view takes the row in, then paints.
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        return written;
    }

    static QByteArray *addBuffer(MainWindow &window, const QString &id) { return Engine::addBuffer(window.engine, id); }
    static void removeBuffer(MainWindow &window, const QString &id) { Engine::removeBuffer(window.engine, id); }
    static void processBuffer(MainWindow &window, const QString &id) { Engine::processBuffer(window.engine, id); }
    static QList<QTimer *> timers(MainWindow &window) { return Engine::timers(window.engine); }
    static int openPorts(MainWindow &window) { return Engine::openPorts(window.engine); }
    static QString latestResult(MainWindow &window, const QString &id) { return Engine::latestResult(window.engine, id); }
    static void setLatest(MainWindow &window, const QString &id, const QString &header, const QString &result,
                          const QString &unit)
    {
        Engine::setLatest(window.engine, id, header, result, unit);
    }
};
