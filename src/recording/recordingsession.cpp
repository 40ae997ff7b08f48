#include "recording/recordingsession.h"

#include "collect/instrumentconfig.h"
#include "publish/publishconfig.h"
#include "store/audit.h"
#include "support/durablefile.h"
#include "support/inifile.h"
#include "support/trace.h"

#include <QAbstractEventDispatcher>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QSettings>

namespace Veltrano {

RecordingSession::RecordingSession(const QString &source, QObject *parent)
    : QObject(parent)
    , m_storage(std::make_unique<Storage>(source))
    , m_engine(new CollectionEngine)
    , m_qualificationWatch(source)
{
    m_engineThread.setObjectName(QStringLiteral("collection"));
    m_engine->moveToThread(&m_engineThread);
    m_engineThread.start();

    // Rows go from the engine's thread to the storage thread directly.
    Storage *storage = m_storage.get();
    connect(m_engine, &CollectionEngine::sampled, storage,
            [storage](const QString &, const Row &row) { storage->store(row); }, Qt::DirectConnection);
    connect(m_engine, &CollectionEngine::sampled, this, &RecordingSession::sampled);
    connect(m_engine, &CollectionEngine::problem, this, &RecordingSession::problem);
    connect(m_engine, &CollectionEngine::opened, this, &RecordingSession::opened);
    connect(m_engine, &CollectionEngine::reconnected, this, &RecordingSession::reconnected);
    connect(m_engine, &CollectionEngine::closedAfterError, this, &RecordingSession::closedAfterError);
    connect(m_engine, &CollectionEngine::nextSample, this, &RecordingSession::nextSample);
    // Told after every weighing and at a new series, read on the engine's
    // thread as the channel has it then, so the figures of a window opened
    // in the middle of a series count its earlier weighings too.
    qRegisterMetaType<SeriesState>();
    const auto tellSeries = [this](const QString &id) {
        if (const InstrumentChannel *channel = m_engine->channel(id))
            emit seriesChanged(id, seriesOf(*channel));
    };
    connect(
        m_engine, &CollectionEngine::sampled, m_engine,
        [tellSeries](const QString &id, const Row &row) {
            if (row.weighing)
                tellSeries(id);
        },
        Qt::DirectConnection);
    connect(
        m_engine, &CollectionEngine::nextSample, m_engine,
        [tellSeries](const QString &id, const NextSample &) { tellSeries(id); }, Qt::DirectConnection);
    connect(storage, &Storage::problem, this, &RecordingSession::problem);
    connect(storage, &Storage::rowsWritten, this, &RecordingSession::rowsWritten);
    connect(storage, &Storage::outageBegan, this, &RecordingSession::outageBegan);
    connect(storage, &Storage::outageEnded, this, &RecordingSession::outageEnded);
    connect(storage, &Storage::cleared, this, &RecordingSession::cleared);
    connect(&m_qualificationWatch, &QualificationWatch::qualified, this, &RecordingSession::setQualification);
    connect(&m_qualificationWatch, &QualificationWatch::unreadable, this, [this](const QString &error) {
        if (error.isEmpty())
            return;
        const QString text = QStringLiteral("The register of balance checks cannot be read: ") + error;
        emit problem(OperatorMessage::general(OperatorMessage::Kind::Checks, (VLINE << text).text(), text));
    });
}

RecordingSession::~RecordingSession()
{
    if (m_running)
        stop();
    m_readingTimer.stop();
    onEngine([](CollectionEngine &engine) { delete &engine; });
    m_engineThread.quit();
    m_engineThread.wait();
    // The storage goes last: it writes what it was handed, or keeps it; the
    // publishing after it, with the rows it told: the series those rows
    // left open are finished, and what the drop folder does not take in
    // time waits in the spool for the next run.
    m_storage.reset();
    if (m_publisher)
        m_publisher->stop();
    if (m_series)
        m_series->finishAll();
    if (m_dropFolder)
        m_dropFolder->stop();
}

QString RecordingSession::setPublishing(const QString &folder)
{
    PublishConfig config;
    const QString error = readPublishConfig(QDir(folder).filePath(QLatin1String(PublishConfig::kFileName)), &config);
    if (!error.isEmpty() || (!config.mqtt.enabled && !config.drop.enabled))
        return error;
    const auto tell = [this](const QString &text) {
        emit problem(OperatorMessage::general(OperatorMessage::Kind::Publishing, (VLINE << text).text(), text));
    };
    if (config.mqtt.enabled) {
        m_publisher = std::make_unique<MqttPublisher>(config.mqtt, config.outboxPath());
        connect(m_publisher.get(), &MqttPublisher::problem, this, tell);
        connect(m_publisher.get(), &MqttPublisher::outageBegan, this, [tell, url = config.mqtt.url](const QString &reason) {
            tell(QStringLiteral("the MQTT broker %1 does not take the results: %2; they wait in the outbox").arg(url, reason));
        });
        m_readingTimer.setInterval(1000);
        connect(&m_readingTimer, &QTimer::timeout, this, &RecordingSession::publishReadings);
        m_readingTimer.start();
        m_publisher->start();
    }
    if (config.drop.enabled) {
        m_dropFolder = std::make_unique<DropFolder>(config.drop, config.spoolPath());
        connect(m_dropFolder.get(), &DropFolder::problem, this, tell);
        connect(m_dropFolder.get(), &DropFolder::outageBegan, this, [tell, spool = config.spoolPath()](const QString &reason) {
            tell(QStringLiteral("the drop folder does not take the results: %1; they wait in the spool %2").arg(reason, spool));
        });
        connect(m_dropFolder.get(), &DropFolder::outageEnded, this, [tell, dir = config.drop.dir](int written) {
            tell(QStringLiteral("the drop folder %1 takes the results again: %2 waiting files written").arg(dir).arg(written));
        });
        m_series = std::make_unique<SeriesGatherer>([drop = m_dropFolder.get()](const SeriesFile &file) { drop->write(file); });
        m_dropFolder->start();
        // Each balance check too, once: the last one handed over is kept beside publish.ini.
        m_checksHandedFolder = config.folder;
        QFile handed(QDir(config.folder).filePath(QLatin1String(kChecksHanded)));
        const qint64 after = handed.open(QIODevice::ReadOnly) ? handed.readAll().trimmed().toLongLong() : 0;
        m_qualificationWatch.tellRecordsAfter(qMax<qint64>(0, after));
        connect(&m_qualificationWatch, &QualificationWatch::recorded, this, &RecordingSession::dropCheck);
    }
    m_storage->setTellStored(true);
    // Straight from the storage thread: rows written while the program ends
    // are told too (the publisher, the gatherer and the drop folder queue
    // them and return).
    connect(m_storage.get(), &Storage::rowsStored, this, &RecordingSession::publishRows, Qt::DirectConnection);
    return QString();
}

// A balance check as the drop folder writes it: every figure as listed and exported.
void RecordingSession::dropCheck(const Checks::CheckRecord &record)
{
    if (!m_dropFolder)
        return;
    const QStringList texts = Checks::recordTexts(record);
    m_dropFolder->write(CheckFile{texts.at(0), texts.at(1), texts.at(2), texts.at(3), texts.at(4), texts.at(5),
                                  texts.at(6), texts.at(7), texts.at(8), texts.at(9), texts.at(10), texts.at(11),
                                  texts.at(12)});
    const QString error = DurableFile::writeWhole(m_checksHandedFolder, QLatin1String(kChecksHanded),
                                                  QByteArray::number(record.id) + '\n');
    if (!error.isEmpty()) {
        const QString text = QStringLiteral("the last balance check handed to the drop folder cannot be noted "
                                            "(%1): it may be handed over again at the next start").arg(error);
        emit problem(OperatorMessage::general(OperatorMessage::Kind::Publishing, (VLINE << text).text(), text));
    }
}

void RecordingSession::publishRows(const QVector<MeasurementDb::StoredRow> &rows)
{
    for (const MeasurementDb::StoredRow &stored : rows) {
        if (m_series)
            m_series->add(stored.row, stored.hash);
        if (!m_publisher)
            continue;
        PublishedRow published{stored.row.provenance.instrument, stored.row, stored.key, stored.hash, std::nullopt};
        if (const std::optional<Weighing> &w = stored.row.weighing)
            published.weighing = PublishedWeighing{w->sample, w->series, w->trigger, w->kind, w->operatorName, w->weighingClass};
        m_publisher->publishRow(published);
    }
}

// Each instrument's reading once a second when a new line came.
void RecordingSession::publishReadings()
{
    const QMap<QString, InstrumentState> states = this->states().states();
    for (auto it = states.cbegin(); it != states.cend(); ++it) {
        if (!it->hasReading() || m_publishedLines.value(it.key(), -1) == it->lines())
            continue;
        m_publishedLines.insert(it.key(), it->lines());
        LiveReading reading{it.key(), it->name(), it->result(), it->unit(),
                            it->stable() ? Stability::Stable : Stability::Unstable,
                            QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)};
        m_publisher->publishReading(reading);
    }
}

void RecordingSession::onEngine(const std::function<void(CollectionEngine &)> &job) const
{
    CollectionEngine *engine = m_engine;
    if (QThread::currentThread() == &m_engineThread) {
        job(*engine);
        return;
    }
    QMetaObject::invokeMethod(engine, [engine, &job] { job(*engine); }, Qt::BlockingQueuedConnection);
}

void RecordingSession::onChannel(const QString &instrumentId, std::function<void(InstrumentChannel &)> job)
{
    QMetaObject::invokeMethod(
        m_engine,
        [engine = m_engine, instrumentId, job = std::move(job)] {
            if (InstrumentChannel *channel = engine->channel(instrumentId))
                job(*channel);
        },
        Qt::QueuedConnection);
}

void RecordingSession::setQualification(const QString &instrumentId, const Qualification &qualification)
{
    m_qualifications.insert(instrumentId, qualification);
    emit qualificationChanged(instrumentId, qualification);
    onChannel(instrumentId, [qualification](InstrumentChannel &channel) {
        channel.setQualification(qualification.check, qualification.status, qualification.checkedMinimumWeight);
    });
}

void RecordingSession::refreshQualifications()
{
    m_qualificationWatch.refresh();
}

void RecordingSession::applyQualifications(CollectionEngine &engine) const
{
    for (auto it = m_qualifications.cbegin(); it != m_qualifications.cend(); ++it) {
        if (InstrumentChannel *channel = engine.channel(it.key()))
            channel->setQualification(it->check, it->status, it->checkedMinimumWeight);
    }
}

void RecordingSession::setWorklistFolder(const QString &folder)
{
    onEngine([&](CollectionEngine &engine) { engine.setWorklistFolder(folder); });
}

void RecordingSession::setNextSample(const QString &instrumentId, const QString &sampleId)
{
    onChannel(instrumentId, [sampleId](InstrumentChannel &channel) { channel.setTypedSample(sampleId); });
}

bool RecordingSession::setSamplePattern(const QString &instrumentId, const QString &pattern, QString *error)
{
    if (!pattern.trimmed().isEmpty() && !IdPattern::parse(pattern, error))
        return false;
    onChannel(instrumentId, [pattern](InstrumentChannel &channel) { channel.setSamplePattern(pattern, nullptr); });
    return true;
}

void RecordingSession::startSeries(const QString &instrumentId, const QString &series)
{
    onChannel(instrumentId, [series](InstrumentChannel &channel) { channel.startSeries(series); });
}

void RecordingSession::openWorklist(const QString &instrumentId, const Worklist &list, const QString &series)
{
    onChannel(instrumentId, [list, series](InstrumentChannel &channel) {
        channel.openWorklist(std::make_unique<ListedWorklist>(list, series));
    });
}

SeriesState RecordingSession::seriesOf(const InstrumentChannel &channel)
{
    const WeighingRecorder &weighings = channel.weighings();
    return {weighings.next().series, weighings.weighingsInSeries(), weighings.seriesStats(), weighings.seriesUnit()};
}

QMap<QString, RecordingSession::WeighingInstrument> RecordingSession::weighingInstruments() const
{
    QMap<QString, WeighingInstrument> found;
    onEngine([&](CollectionEngine &engine) {
        for (const QString &id : engine.instruments()) {
            const InstrumentChannel *channel = engine.channel(id);
            if (!channel->recordsWeighings())
                continue;
            WeighingInstrument &instrument = found[id];
            instrument.name = channel->settings().name;
            instrument.next = channel->weighings().next();
            instrument.pattern = channel->weighings().samples().pattern();
            instrument.series = seriesOf(*channel);
            instrument.limits = ToleranceLimits::of(channel->weighings().settings());
            if (const ListedWorklist *list = channel->weighings().openedWorklist()) {
                instrument.worklistTaken = list->taken();
                instrument.worklistSize = list->size();
            }
        }
    });
    return found;
}

const InstrumentStates &RecordingSession::states() const
{
    return m_engine->states();
}

void RecordingSession::openStorage(bool serverAway)
{
    m_storage->start(serverAway);
}

bool RecordingSession::start(const QString &settingsFile, QString *holder)
{
    VTRACE;
    if (!m_lock.acquire(holder))
        return false;
    m_settingsFile = settingsFile;
    QStringList instruments;
    onEngine([&](CollectionEngine &engine) {
        engine.start(settingsFile);
        applyQualifications(engine);
        instruments = engine.instruments();
    });
    m_instruments = instruments;
    m_running = true;
    m_qualificationWatch.start(instruments);
    m_storage->audit(QLatin1String(Audit::kStarted), {{QStringLiteral("instruments"), QJsonArray::fromStringList(instruments)}});
    emit runningChanged(true);
    return true;
}

void RecordingSession::stop()
{
    VTRACE;
    if (!m_running)
        return;
    onEngine([](CollectionEngine &engine) { engine.stop(); });
    m_qualificationWatch.stop();
    m_running = false;
    // Once the rows the engine handed over are written (or kept), with
    // nobody waiting for that.
    if (m_series)
        m_storage->afterWritten([series = m_series.get()] { series->finishAll(); });
    m_storage->audit(QLatin1String(Audit::kStopped),
                     {{QStringLiteral("instruments"), QJsonArray::fromStringList(m_instruments)}});
    m_lock.release();
    emit runningChanged(false);
}

void RecordingSession::storeImmediately()
{
    QMetaObject::invokeMethod(m_engine, [engine = m_engine] { engine->storeImmediately(); }, Qt::QueuedConnection);
}

CollectionEngine::Reload RecordingSession::reload()
{
    const QMap<QString, QString> before = settingsKeys(m_settingsFile);
    CollectionEngine::Reload changes;
    QStringList instruments;
    onEngine([&](CollectionEngine &engine) {
        changes = engine.reload();
        applyQualifications(engine);
        instruments = engine.instruments();
    });
    m_instruments = instruments;
    m_qualificationWatch.start(instruments);
    auditSettingsChange(before, settingsKeys(m_settingsFile));
    emit runningChanged(true);
    return changes;
}

QStringList RecordingSession::activeInstruments(const QString &settingsFile)
{
    QStringList active;
    const std::unique_ptr<QSettings> file = IniFile::open(settingsFile);
    const QStringList ids = file->childGroups();
    for (const QString &id : ids) {
        if (Config::readActive(*file, id))
            active << id;
    }
    return active;
}

QMap<QString, QString> RecordingSession::settingsKeys(const QString &settingsFile)
{
    QMap<QString, QString> keys;
    const std::unique_ptr<QSettings> file = IniFile::open(settingsFile);
    const QStringList names = file->allKeys();
    for (const QString &key : names)
        keys.insert(key, file->value(key).toString());
    return keys;
}

void RecordingSession::auditSettingsChange(const QMap<QString, QString> &before, const QMap<QString, QString> &after)
{
    QStringList keys = before.keys() + after.keys();
    keys.removeDuplicates();
    for (const QString &key : qAsConst(keys)) {
        if (before.contains(key) == after.contains(key) && before.value(key) == after.value(key))
            continue;
        QJsonObject change{{QStringLiteral("key"), key}};
        change.insert(QStringLiteral("old"), before.contains(key) ? QJsonValue(before.value(key)) : QJsonValue());
        change.insert(QStringLiteral("new"), after.contains(key) ? QJsonValue(after.value(key)) : QJsonValue());
        m_storage->audit(QLatin1String(Audit::kSettingChanged), change);
    }
}

void RecordingSession::audit(const QString &kind, const QJsonObject &details)
{
    m_storage->audit(kind, details);
}

void RecordingSession::setGatherMs(int ms)
{
    onEngine([ms](CollectionEngine &) {
        QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                         QAbstractEventDispatcher::instance(), [ms] { QThread::msleep(ms); });
    });
}

} // namespace Veltrano
