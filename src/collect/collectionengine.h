#pragma once

#include "collect/instrumentstate.h"
#include "collect/makerlines.h"
#include "collect/networklink.h"
#include "collect/serialerrors.h"
#include "support/row.h"

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QObject>
#include <QSerialPort>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

class QSettings;

namespace Veltrano {

class Trace;

// The collection: for every active instrument of settings.ini a serial port,
// a receive buffer, the latest reading and a sampling timer. Each tick takes
// the latest reading as a row, stamped with the tick's date and time, and
// hands it on (sampled()); the engine never waits for it to be written, nor
// for anyone to read what it tells (problem()). A port that keeps failing is
// closed and reopened quietly every kReconnectMs until it opens or the
// collection stops.
//
// An instrument whose port is a tcp:// address is read over a network link
// instead (NetworkLink), through the same buffer, parser, timer and live
// state. A link that cannot be opened, is closed by the other side or stays
// silent past its keep-alive limit is told once and reopened quietly every
// kReconnectMs, from the start of the collection on; it is told again only
// after a line came through.
//
// Used alike by the window and by the unattended collector; it has no widget.
class CollectionEngine : public QObject
{
    Q_OBJECT

public:
    static constexpr int kReconnectMs = 2000;

    explicit CollectionEngine(QObject *parent = nullptr);
    ~CollectionEngine() override;

    // Opens the ports and starts the timers of the active instruments of
    // `settingsFile`. The collection counts as running even with none.
    void start(const QString &settingsFile);
    // Stops the timers, releases the ports and forgets the readings; the live
    // states stay readable, marked ended, until the next start.
    void stop();
    bool isRunning() const { return m_running; }
    // Takes a row of every instrument now.
    void storeImmediately();

    // Reads the settings file again during a collection: instruments that
    // were removed, made inactive or changed in any key are stopped, added
    // and changed ones start as at a start. The others keep their ports,
    // timers (and so the phase of their ticks) and readings.
    struct Reload
    {
        QStringList added, removed, changed;
    };
    Reload reload();

    // The instruments of the running collection, in key order.
    QStringList instruments() const;
    const InstrumentStates &states() const { return liveStates; }

    // What the port and timer signals call; `sender` is the signalling object.
    void readyRead(QSerialPort *sender);
    void timerFired(QTimer *sender);
    void portError(QSerialPort *sender, QSerialPort::SerialPortError error);
    void reconnectPorts();
    void linkReadyRead(NetworkLink *sender);

signals:
    // A row taken at a tick (or an immediate read) of `instrumentId`.
    void sampled(const QString &instrumentId, const Veltrano::Row &row);
    // Something the operator must know: a trace line with its prefix (the
    // window shows it in a box, the collector logs it). Empty id: none.
    void problem(const QString &instrumentId, const QString &line);
    // A port of `instrumentId` opened at start, reopened, or given up on.
    void opened(const QString &instrumentId, const QString &port);
    void reconnected(const QString &instrumentId, const QString &port);
    void closedAfterError(const QString &instrumentId, const QString &port);

private:
    void registerPort(const QSettings &settings, const QString &id);
    void registerLink(const QSettings &settings, const QString &id, const QString &address);
    void registerTimer(const QSettings &settings, const QString &id);
    void unregister(const QString &id);
    static InstrumentState newState(const QSettings &settings, const QString &id);
    static QMap<QString, QVariantMap> snapshot(QSettings &settings);
    void receive(const QString &instrumentId, const QByteArray &bytes);
    void processBuffer(const QString &instrumentId);
    void storeData(const QString &instrumentId, bool immediate = false);
    Provenance provenanceAt(const QString &instrumentId, const QDateTime &now, bool immediate);
    static QString utcText(const QDateTime &moment);
    // Sets the line of an open port as the instrument's section asks and
    // returns what failed, each as its fixed text.
    QList<const char *> applyLineSettings(QSerialPort *port, const QSettings &settings, const QString &instrumentId);
    void closeFailingPort(const QString &instrumentId);
    void linkConnected(const QString &instrumentId);
    void linkFailed(const QString &instrumentId, const QString &reason, bool wasOpen);
    // "<what> <address> instrument: <id> - <reason>", from a line begun with its prefix.
    static QString linkLine(Trace &line, const QString &instrumentId, const QString &address, const QString &reason);
    // Where a stable name such as /dev/serial/by-id/... leads now, for the log.
    static void traceDevice(const QString &instrumentId, const QString &portName);

    friend struct EngineProbe;

    // The collection registry, keyed by instrument id. While a collection
    // runs every instrument has a timer and a buffer, and either a serial
    // port or a network link; the maps own what they point to and only
    // stop() (or a reload that drops the instrument) frees them. Outside a
    // collection they are all empty.
    QMap<QString, QSerialPort *> serialPorts;
    QMap<QString, NetworkLink *> networkLinks;
    QMap<QString, QTimer *> samplingTimers;
    QMap<QString, QByteArray *> receiveBuffers;
    QMap<QString, QString> latestHeaders;
    QMap<QString, QString> latestResults;
    QMap<QString, QString> latestUnits;

    // The line of each latest reading, when it arrived (ms since the epoch)
    // and its number among all readings, and the number of the reading each
    // instrument's last tick took: what a row's provenance says.
    struct HeardLine
    {
        qint64 at = 0;
        QByteArray raw;
        quint64 serial = 0;
    };
    QMap<QString, HeardLine> latestLines;
    QMap<QString, quint64> tickSerials;
    quint64 m_readings = 0;

    // Each instrument's print-line layout, from its `type` key.
    QMap<QString, PrintLine::Format> formats;
    bool m_running = false;
    // The keys of the running instruments as the last start or reload read them.
    QMap<QString, QVariantMap> m_snapshot;
    QString m_settingsFile = QString::fromLatin1("settings.ini");
    // Which errors each port has raised in this run, so that a port that
    // keeps failing is reported once and then closed.
    SerialErrors::RepeatFilter portErrors;
    InstrumentStates liveStates;
    QSet<QString> reconnecting;
    // Links whose failure was told and that have not delivered a line since.
    QSet<QString> linksTold;
    QTimer reconnectTimer;
};

} // namespace Veltrano
