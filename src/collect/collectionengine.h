#pragma once

#include "collect/instrumentchannel.h"
#include "collect/instrumentstate.h"
#include "support/operatormessage.h"
#include "support/row.h"
#include "weighing/worklistfolder.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <map>
#include <memory>

namespace Veltrano {

// The collection: one channel per active instrument of settings.ini, each
// read once at the start (and at a reload), never per tick. What the
// channels take and tell comes out of the engine's signals, marked with the
// instrument's id; the engine never waits for anyone to take them.
//
// Used alike by the window program and by the unattended collector, on a
// thread of its own in both (see RecordingSession); it has no widget. Its
// live states may be read from any thread.
class CollectionEngine : public QObject
{
    Q_OBJECT

public:
    static constexpr int kReconnectMs = InstrumentChannel::kReconnectMs;

    explicit CollectionEngine(QObject *parent = nullptr);
    ~CollectionEngine() override;

    // Opens the links and starts the timers of the active instruments of
    // `settingsFile`. The collection counts as running even with none.
    void start(const QString &settingsFile);
    // Stops the timers, releases the links and forgets the readings; the
    // live states stay readable, marked ended, until the next start.
    void stop();
    bool isRunning() const { return m_running; }
    // Takes a row of every instrument now.
    void storeImmediately();

    // Reads the settings file again during a collection: instruments that
    // were removed, made inactive or changed in any key are stopped, added
    // and changed ones start as at a start. The others keep their links,
    // timers (and so the phase of their ticks) and readings.
    struct Reload
    {
        QStringList added, removed, changed;
    };
    Reload reload();

    // The instruments of the running collection, in id order.
    QStringList instruments() const;
    InstrumentChannel *channel(const QString &id) const;
    const InstrumentStates &states() const { return m_states; }

    // The folder whose "worklists" folder gives the instruments that record
    // weighings their worklists (the unattended collector's); empty: none.
    // Takes effect at the next start or reload.
    void setWorklistFolder(const QString &folder) { m_worklistFolder = folder; }
    // Polls the worklist folders now (else every kWorklistPollMs).
    void pollWorklists();
    static constexpr int kWorklistPollMs = 2000;

signals:
    // A row taken at a tick (or an immediate read) of `instrumentId`.
    void sampled(const QString &instrumentId, const Veltrano::Row &row);
    void problem(const Veltrano::OperatorMessage &message);
    // A link of `instrumentId` opened at start, reopened, or given up on.
    void opened(const QString &instrumentId, const QString &port);
    void reconnected(const QString &instrumentId, const QString &port);
    void closedAfterError(const QString &instrumentId, const QString &port);
    // What the next weighing of `instrumentId` will take changed.
    void nextSample(const QString &instrumentId, const Veltrano::NextSample &next);

private:
    // The active instruments of the file, as read now.
    std::map<QString, InstrumentSettings> readInstruments() const;
    InstrumentChannel *add(const InstrumentSettings &settings);
    void startChannels(const QStringList &ids);
    void labelled(const QString &scanner, const QString &target, const QString &sampleId);

    std::map<QString, std::unique_ptr<InstrumentChannel>> m_channels;
    InstrumentStates m_states;
    std::map<QString, std::unique_ptr<WorklistFolder>> m_worklists;
    QString m_worklistFolder;
    QTimer m_worklistTimer{this};  // a child: it moves with the engine to its thread
    QString m_settingsFile;
    bool m_running = false;
};

} // namespace Veltrano
