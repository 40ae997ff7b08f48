#include "collect/collectionengine.h"

#include "support/inifile.h"
#include "support/logformat.h"
#include "support/trace.h"

#include <QSettings>

namespace Veltrano {

CollectionEngine::CollectionEngine(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<Veltrano::Row>();
    qRegisterMetaType<Veltrano::OperatorMessage>();
    qRegisterMetaType<Veltrano::NextSample>();
    m_worklistTimer.setInterval(kWorklistPollMs);
    connect(&m_worklistTimer, &QTimer::timeout, this, &CollectionEngine::pollWorklists);
}

CollectionEngine::~CollectionEngine()
{
    if (m_running)
        stop();
}

QStringList CollectionEngine::instruments() const
{
    QStringList ids;
    for (const auto &entry : m_channels)
        ids << entry.first;
    return ids;
}

InstrumentChannel *CollectionEngine::channel(const QString &id) const
{
    const auto found = m_channels.find(id);
    return found == m_channels.end() ? nullptr : found->second.get();
}

std::map<QString, InstrumentSettings> CollectionEngine::readInstruments() const
{
    std::map<QString, InstrumentSettings> instruments;
    const std::unique_ptr<QSettings> file = IniFile::open(m_settingsFile);
    const QStringList ids = file->childGroups();
    for (const QString &id : ids) {
        if (Config::readActive(*file, id))
            instruments.emplace(id, Config::readSettings(*file, id));
        else
            VTRACE << "marked not active. skipping instrument" << id;
    }
    return instruments;
}

InstrumentChannel *CollectionEngine::add(const InstrumentSettings &settings)
{
    auto channel = std::make_unique<InstrumentChannel>(settings, &m_states);
    InstrumentChannel *added = channel.get();
    const QString id = settings.id;
    connect(added, &InstrumentChannel::sampled, this, [this, id](const Row &row) { emit sampled(id, row); });
    connect(added, &InstrumentChannel::problem, this, &CollectionEngine::problem);
    connect(added, &InstrumentChannel::opened, this, [this, id](const QString &port) { emit opened(id, port); });
    connect(added, &InstrumentChannel::reconnected, this, [this, id](const QString &port) { emit reconnected(id, port); });
    connect(added, &InstrumentChannel::closedAfterError, this,
            [this, id](const QString &port) { emit closedAfterError(id, port); });
    connect(added, &InstrumentChannel::nextSampleChanged, this,
            [this, id](const NextSample &next) { emit nextSample(id, next); });
    connect(added, &InstrumentChannel::sampleScanned, this,
            [this, id](const QString &target, const QString &sampleId) { labelled(id, target, sampleId); });
    m_channels[id] = std::move(channel);
    return added;
}

// Every link first, then every timer: no row is taken before all are open.
void CollectionEngine::startChannels(const QStringList &ids)
{
    for (const QString &id : ids)
        m_channels.at(id)->openLink();
    for (const QString &id : ids) {
        InstrumentChannel *started = m_channels.at(id).get();
        if (!m_worklistFolder.isEmpty() && started->recordsWeighings()) {
            auto &folder = m_worklists[id];
            folder = std::make_unique<WorklistFolder>(m_worklistFolder, id);
            started->setWorklistSource(folder.get());
        }
        started->startTimer();
        if (started->isScanner() && !channel(started->scannerFor())) {
            OperatorMessage message;
            message.kind = OperatorMessage::Kind::InvalidSetting;
            message.instrumentId = id;
            message.instrumentName = started->settings().name;
            message.port = started->settings().port;
            message.text = started->scannerFor().isEmpty()
                               ? QStringLiteral("a barcode scanner labels no instrument: set %1").arg(QLatin1String(WeighingKey::scannerFor))
                               : QStringLiteral("a barcode scanner labels '%1', which is not an active instrument").arg(started->scannerFor());
            message.line = (VLINE << message.text.toUtf8().constData()).text();
            emit problem(message);
        }
    }
    if (!m_worklists.empty()) {
        pollWorklists();
        m_worklistTimer.start();
    }
}

// A scanner's line is the next sample ID of the instrument it labels; one
// that labels none is told at the start.
void CollectionEngine::labelled(const QString &scanner, const QString &target, const QString &sampleId)
{
    VTRACE << "instrument:" << scanner << "scanned for" << target << ":" << sampleId;
    if (InstrumentChannel *labelledChannel = channel(target))
        labelledChannel->scanned(sampleId);
}

void CollectionEngine::pollWorklists()
{
    for (const auto &entry : m_worklists) {
        InstrumentChannel *owner = channel(entry.first);
        const QStringList messages = entry.second->poll();
        for (const QString &text : messages) {
            OperatorMessage message;
            message.kind = OperatorMessage::Kind::Worklist;
            message.instrumentId = entry.first;
            if (owner) {
                message.instrumentName = owner->settings().name;
                message.port = owner->settings().port;
            }
            message.text = text;
            message.line = (VLINE << "worklist:" << text.toUtf8().constData()).text();
            emit problem(message);
        }
        // A worklist taken into use or completed changes the next sample.
        if (owner)
            owner->tellNextSample();
    }
}

void CollectionEngine::start(const QString &settingsFile)
{
    VTRACE;
    const Log::RecordingScope recording;
    if (m_running)
        stop();
    m_settingsFile = settingsFile;
    m_running = true;
    m_states.start({});
    for (const auto &entry : readInstruments())
        add(entry.second);
    startChannels(instruments());
}

CollectionEngine::Reload CollectionEngine::reload()
{
    VTRACE;
    const Log::RecordingScope recording;
    const std::map<QString, InstrumentSettings> now = readInstruments();
    Reload result;
    for (const auto &entry : m_channels) {
        const auto found = now.find(entry.first);
        if (found == now.end())
            result.removed << entry.first;
        else if (found->second.keys != entry.second->settings().keys)
            result.changed << entry.first;
    }
    for (const auto &entry : now) {
        if (!m_channels.count(entry.first))
            result.added << entry.first;
    }
    for (const QString &id : result.removed + result.changed) {
        m_channels.erase(id);
        m_worklists.erase(id);
        m_states.remove(id);
    }
    // An instrument that changed starts afresh, as at a start.
    const QStringList starting = result.added + result.changed;
    for (const QString &id : starting)
        add(now.at(id));
    startChannels(starting);
    return result;
}

void CollectionEngine::stop()
{
    VTRACE;
    m_states.end();
    m_worklistTimer.stop();
    m_channels.clear();
    m_worklists.clear();
    m_running = false;
}

void CollectionEngine::storeImmediately()
{
    VTRACE;
    for (const auto &entry : m_channels)
        entry.second->sample(true);
}

} // namespace Veltrano
