#pragma once

// The benchmarks' look into the main window and its collection: channels of
// their own for the instruments a benchmark feeds, whose ticks go to the
// window's storage thread as the collection's do.

#include "collect/instrumentchannel.h"
#include "collect/instrumentstate.h"
#include "collect/seriallink.h"
#include "mainwindow.h"
#include "support/inifile.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QHash>
#include <QSettings>
#include <QTableView>

#include <map>
#include <memory>

struct MainWindowProbe
{
    // Instruments of settings.ini (or unknown ones, named by their id) as
    // channels without a link, their rows handed to `window`'s storage.
    struct Channels
    {
        Veltrano::InstrumentStates states;
        std::map<QString, std::unique_ptr<Veltrano::InstrumentChannel>> byId;
    };
    static Channels &channels(MainWindow &window)
    {
        static QHash<MainWindow *, std::shared_ptr<Channels>> all;
        std::shared_ptr<Channels> &found = all[&window];
        if (!found) {
            found = std::make_shared<Channels>();
            QObject::connect(&window, &QObject::destroyed, [&window] { all.remove(&window); });
        }
        return *found;
    }
    static Veltrano::InstrumentChannel &channel(MainWindow &window, const QString &id)
    {
        Channels &set = channels(window);
        std::unique_ptr<Veltrano::InstrumentChannel> &channel = set.byId[id];
        if (!channel) {
            Veltrano::Config::InstrumentSettings settings =
                Veltrano::Config::readSettings(*Veltrano::IniFile::open(QStringLiteral("settings.ini")), id);
            if (settings.name.isEmpty())
                settings.name = id;
            channel = std::make_unique<Veltrano::InstrumentChannel>(settings, &set.states);
            Veltrano::Storage *storage = &window.session.storage();
            QObject::connect(channel.get(), &Veltrano::InstrumentChannel::sampled, [storage](const Veltrano::Row &row) {
                storage->store(row);
            });
        }
        return *channel;
    }

    static QTableView *view(MainWindow &window) { return window.findChild<QTableView *>("uTableView"); }
    static Veltrano::RecordingSession &session(MainWindow &window) { return window.session; }
    static Veltrano::Storage &storage(MainWindow &window) { return window.session.storage(); }

    // A sampling tick of `id`: the latest reading taken as a row and handed
    // to the storage thread; returns at once.
    static void tick(MainWindow &window, const QString &id) { channel(window, id).sample(); }
    // The whole store of a tick: handed over, written by the storage thread,
    // taken into the view and painted.
    static bool store(MainWindow &window, const QString &id)
    {
        tick(window, id);
        const bool written = window.session.storage().drain(30000);
        // rowsWritten comes back queued: the view takes the row in, then paints.
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        return written;
    }
    // Gives `id` a reading, as a line of the balance would.
    static void setLatest(MainWindow &window, const QString &id, const QString &header, const QString &result,
                          const QString &unit)
    {
        QByteArray line = header.isEmpty() ? QByteArray() : header.toUtf8().leftJustified(6, ' ', true);
        line += result.toUtf8().rightJustified(10, ' ', true) + ' ' + unit.toUtf8().leftJustified(3, ' ', true) + "\r\n";
        channel(window, id).receive(line);
    }

    // The open links of the window's running collection.
    static int openPorts(MainWindow &window)
    {
        int open = 0;
        window.session.onEngine([&open](Veltrano::CollectionEngine &engine) {
            for (const QString &id : engine.instruments()) {
                const Veltrano::Link *link = engine.channel(id)->link();
                open += link && link->isOpen();
            }
        });
        return open;
    }
};
