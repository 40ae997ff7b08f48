#pragma once

#include "collect/collectionengine.h"
#include "collect/collectorlock.h"
#include "publish/dropfolder.h"
#include "publish/mqttpublisher.h"
#include "publish/seriesgatherer.h"
#include "recording/qualificationwatch.h"
#include "store/storage.h"
#include "support/operatormessage.h"
#include "weighing/seriesstats.h"
#include "weighing/tolerance.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

namespace Veltrano {

// The current series of an instrument as its channel has it: the weighings
// made in it so far, their statistics and the unit of the first with a number.
struct SeriesState
{
    QString series;
    int weighings = 0;
    SeriesStats stats;
    QString unit;
};

// One recording, whoever runs it (the window or the unattended collector):
// the folder's collector lock, the collection engine on a thread of its own,
// the storage thread, and the audit entries of starts, stops and changed
// settings. The engine's ticks go straight to the storage thread: neither
// ever waits for the thread that owns the session, so a long paint, a file
// dialog or a box delays no read and no tick. What the operator must know
// comes out of problem(), as values, queued to the owner's thread.
class RecordingSession : public QObject
{
    Q_OBJECT
public:
    // `program` names the holder of the folder's lock ("veltrano",
    // "veltrano-collect"); the rows go into the database of the connection
    // `source` (registered, open or not).
    explicit RecordingSession(const QString &source = QLatin1String(QSqlDatabase::defaultConnection),
                              QObject *parent = nullptr);
    ~RecordingSession() override;

    // Starts the storage thread, which first writes the rows an earlier run
    // left waiting. `serverAway`: the operator knows the server does not
    // answer (told at start-up).
    void openStorage(bool serverAway);

    // Takes the folder's lock and starts recording the instruments of
    // `settingsFile`. False, with who holds the folder in `holder`, when
    // another collector records there.
    bool start(const QString &settingsFile, QString *holder = nullptr);
    // Ends the collection: every row taken is written or kept, the lock is
    // let go.
    void stop();
    bool isRunning() const { return m_running; }
    void storeImmediately();
    // Reads the settings file again; changed keys go to the audit trail.
    CollectionEngine::Reload reload();
    QStringList instruments() const { return m_instruments; }

    // The instruments of the settings file a start would record; none when
    // the file is missing.
    static QStringList activeInstruments(const QString &settingsFile);
    // Every key of the settings file, to tell what an edit changed.
    static QMap<QString, QString> settingsKeys(const QString &settingsFile);
    // Puts the keys that differ between `before` and `after` in the audit trail.
    void auditSettingsChange(const QMap<QString, QString> &before, const QMap<QString, QString> &after);
    void audit(const QString &kind, const QJsonObject &details);

    // Safe to read from any thread.
    const InstrumentStates &states() const;
    Storage &storage() { return *m_storage; }

    // Before each wait for events the engine's thread pauses this long, so
    // that the lines of many balances gather and one pass takes them all in
    // (an unattended collector of many balances: far fewer wake-ups).
    void setGatherMs(int ms);

    // Hand-off to the lab's systems as publish.ini in `folder` asks (before
    // openStorage()): every written row and weighing, and each instrument's
    // live reading, to an MQTT broker, through an outbox that keeps them
    // while the broker is away; each finished series of weighings as one
    // file into a drop folder, through a spool that keeps them while the
    // folder is away. A series is finished when its instrument's next
    // weighing is of another series, and at stop(). Empty when the file is
    // usable (or missing), else what is wrong with it; then nothing is
    // published.
    QString setPublishing(const QString &folder);
    bool isPublishing() const { return m_publisher || m_dropFolder; }

    // Weighings. The collector's worklists come from the folder "worklists"
    // in `folder` (set before start); the window sets the next sample of an
    // instrument, its numbering pattern, a new series or a worklist. None of
    // these waits for the engine's thread: they are queued to it, and what
    // they change comes back by nextSample().
    void setWorklistFolder(const QString &folder);
    void setNextSample(const QString &instrumentId, const QString &sampleId);
    // False, with why in *error, for a pattern that numbers nothing.
    bool setSamplePattern(const QString &instrumentId, const QString &pattern, QString *error);
    void startSeries(const QString &instrumentId, const QString &series);
    void openWorklist(const QString &instrumentId, const Worklist &list, const QString &series);

    // Whether an instrument's routine checks are current: what its rows and
    // weighings carry from the next one on, kept across starts and reloads.
    // Queued, never waits. The session's own watch of the registers sets it
    // while it records (see QualificationWatch); refreshQualifications()
    // has them read again now (a test was just stored).
    void setQualification(const QString &instrumentId, const Qualification &qualification);
    void refreshQualifications();
    Qualification qualification(const QString &instrumentId) const { return m_qualifications.value(instrumentId); }

    // The instruments that record weighings, as the engine knows them now
    // (asks the engine's thread and waits for its answer).
    struct WeighingInstrument
    {
        QString name;
        NextSample next;
        QString pattern;
        SeriesState series;
        int worklistTaken = 0;  // of a worklist opened in the window
        int worklistSize = 0;
        ToleranceLimits limits;  // the instrument's own, before a worklist's nominal
    };
    QMap<QString, WeighingInstrument> weighingInstruments() const;

    // Runs `job` on the engine's thread and waits for it: for the tests.
    void onEngine(const std::function<void(CollectionEngine &)> &job) const;

signals:
    // A row a tick took, on its way to the storage thread (told queued).
    void sampled(const QString &instrumentId, const Veltrano::Row &row);
    void problem(const Veltrano::OperatorMessage &message);
    void rowsWritten(int count);
    void outageBegan(const QString &reason);
    void outageEnded(int keptRowsWritten);
    void cleared(bool ok, const QString &error);
    void opened(const QString &instrumentId, const QString &port);
    void reconnected(const QString &instrumentId, const QString &port);
    void closedAfterError(const QString &instrumentId, const QString &port);
    void nextSample(const QString &instrumentId, const Veltrano::NextSample &next);
    // After each weighing and at a new series: the series as it now stands.
    void seriesChanged(const QString &instrumentId, const Veltrano::SeriesState &state);
    // A collection started or ended.
    void runningChanged(bool running);
    // What the registers of the balance checks say of a recorded instrument changed.
    void qualificationChanged(const QString &instrumentId, const Veltrano::Qualification &qualification);

private:
    // On the engine's thread.
    static SeriesState seriesOf(const InstrumentChannel &channel);
    void onChannel(const QString &instrumentId, std::function<void(InstrumentChannel &)> job);
    // On the engine's thread, after its channels were made.
    void applyQualifications(CollectionEngine &engine) const;

    CollectorLock m_lock;
    std::unique_ptr<Storage> m_storage;
    QThread m_engineThread;
    CollectionEngine *m_engine;
    bool m_running = false;
    QStringList m_instruments;
    QString m_settingsFile;
    void publishRows(const QVector<MeasurementDb::StoredRow> &rows);
    void publishReadings();
    void dropCheck(const Veltrano::Checks::CheckRecord &record);
    static constexpr char kChecksHanded[] = "publish-checks-handed";  // beside publish.ini
    QString m_checksHandedFolder;
    std::unique_ptr<MqttPublisher> m_publisher;
    std::unique_ptr<DropFolder> m_dropFolder;
    // Fed on the storage thread, and once that has ended.
    std::unique_ptr<SeriesGatherer> m_series;
    QTimer m_readingTimer;
    QMap<QString, Qualification> m_qualifications;  // read on the engine's thread only inside onEngine()
    QualificationWatch m_qualificationWatch;
    QMap<QString, int> m_publishedLines;  // of each instrument, at its last published reading
};

} // namespace Veltrano

Q_DECLARE_METATYPE(Veltrano::SeriesState)
