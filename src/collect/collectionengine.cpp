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
    m_channels[id] = std::move(channel);
    return added;
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
    const std::map<QString, InstrumentSettings> instruments = readInstruments();
    for (const auto &entry : instruments)
        add(entry.second);
    // Every link first, then every timer: no row is taken before all are open.
    for (const auto &entry : m_channels)
        entry.second->openLink();
    for (const auto &entry : m_channels)
        entry.second->startTimer();
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
        m_states.remove(id);
    }
    // An instrument that changed starts afresh, as at a start.
    for (const QString &id : result.added + result.changed) {
        InstrumentChannel *channel = add(now.at(id));
        channel->openLink();
        channel->startTimer();
    }
    return result;
}

void CollectionEngine::stop()
{
    VTRACE;
    m_states.end();
    m_channels.clear();
    m_running = false;
}

void CollectionEngine::storeImmediately()
{
    VTRACE;
    for (const auto &entry : m_channels)
        entry.second->sample(true);
}

} // namespace Veltrano
