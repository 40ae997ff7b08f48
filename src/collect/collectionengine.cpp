#include "collect/collectionengine.h"

#include "collect/instrumentconfig.h"
#include "collect/portaccess.h"
#include "collect/printline.h"
#include "support/inifile.h"
#include "support/logformat.h"
#include "support/trace.h"

#include <QDateTime>
#include <QFileInfo>
#include <QPointer>
#include <QSettings>

#include <algorithm>
#include <utility>

namespace Veltrano {

namespace {

// The instrument whose entry in `registry` is `object`, or an empty text.
// Walks every key: the entries are distinct, so at most one matches.
template<typename T>
QString instrumentOf(const QMap<QString, T *> &registry, const QObject *object)
{
    QString found;
    for (auto it = registry.cbegin(); it != registry.cend(); ++it) {
        if (it.value() == object)
            found = it.key();
    }
    return found;
}

} // namespace

CollectionEngine::CollectionEngine(QObject *parent)
    : QObject(parent)
{
    reconnectTimer.setInterval(kReconnectMs);
    connect(&reconnectTimer, &QTimer::timeout, this, &CollectionEngine::reconnectPorts);
}

CollectionEngine::~CollectionEngine()
{
    if (m_running)
        stop();
}

QStringList CollectionEngine::instruments() const
{
    QStringList ids = serialPorts.keys() + networkLinks.keys();
    std::sort(ids.begin(), ids.end());
    return ids;
}

void CollectionEngine::start(const QString &settingsFile)
{
    VTRACE;
    const Log::RecordingScope recording;
    namespace Key = Config::Key;
    m_settingsFile = settingsFile;
    m_running = true;
    latestHeaders.clear();
    latestResults.clear();
    latestUnits.clear();
    latestLines.clear();
    tickSerials.clear();
    portErrors.clear();
    reconnecting.clear();
    linksTold.clear();
    reconnectTimer.stop();

    const std::unique_ptr<QSettings> file = IniFile::open(settingsFile);
    QSettings &settings = *file;
    const QStringList instruments = settings.childGroups();
    m_snapshot = snapshot(settings);

    QMap<QString, InstrumentState> states;
    for (const QString &id : instruments) {
        if (Config::readActive(settings, id))
            states.insert(id, newState(settings, id));
    }
    liveStates.start(states);

    for (const QString &id : instruments) {
        if (!Config::readActive(settings, id)) {
            VTRACE << "marked not active. skipping instrument";
            continue;
        }
        registerPort(settings, id);
    }
    for (const QString &id : instruments) {
        if (!Config::readActive(settings, id)) {
            VTRACE << "marked not active. skipping timer";
            continue;
        }
        registerTimer(settings, id);
    }
}

InstrumentState CollectionEngine::newState(const QSettings &settings, const QString &id)
{
    return {Config::readText(settings, id, Config::Key::name), Config::readText(settings, id, Config::Key::comPort),
            QDateTime::currentMSecsSinceEpoch()};
}

// Every key of every active instrument, to tell what a reload changed.
QMap<QString, QVariantMap> CollectionEngine::snapshot(QSettings &settings)
{
    QMap<QString, QVariantMap> sections;
    const QStringList ids = settings.childGroups();
    for (const QString &id : ids) {
        if (!Config::readActive(settings, id))
            continue;
        settings.beginGroup(id);
        QVariantMap keys;
        const QStringList names = settings.childKeys();
        for (const QString &key : names)
            keys.insert(key, settings.value(key));
        settings.endGroup();
        sections.insert(id, keys);
    }
    return sections;
}

CollectionEngine::Reload CollectionEngine::reload()
{
    VTRACE;
    const Log::RecordingScope recording;
    const std::unique_ptr<QSettings> file = IniFile::open(m_settingsFile);
    QSettings &settings = *file;
    const QMap<QString, QVariantMap> now = snapshot(settings);
    Reload result;
    for (auto it = m_snapshot.cbegin(); it != m_snapshot.cend(); ++it) {
        if (!now.contains(it.key()))
            result.removed << it.key();
        else if (now.value(it.key()) != it.value())
            result.changed << it.key();
    }
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        if (!m_snapshot.contains(it.key()))
            result.added << it.key();
    }
    m_snapshot = now;
    for (const QString &id : result.removed + result.changed)
        unregister(id);
    // An instrument that changed starts afresh, as at a start.
    for (const QString &id : result.added + result.changed) {
        liveStates.add(id, newState(settings, id));
        registerPort(settings, id);
        registerTimer(settings, id);
    }
    return result;
}

void CollectionEngine::registerPort(const QSettings &settings, const QString &id)
{
    // Registered in full before anything below can be told.
    receiveBuffers.insert(id, new QByteArray);
    formats.insert(id, PrintLine::formatOf(Config::readText(settings, id, Config::Key::type)));
    // A bare name such as ttyUSB0, a full device path, or a network address.
    const QString portName = Config::readText(settings, id, Config::Key::comPort);
    if (NetworkAddress::isNetwork(portName)) {
        registerLink(settings, id, portName);
        return;
    }
    auto *port = new QSerialPort;
    serialPorts.insert(id, port);
    connect(port, &QSerialPort::readyRead, this, [this, port] { readyRead(port); });
    connect(port, &QSerialPort::errorOccurred, this,
            [this, port](QSerialPort::SerialPortError error) { portError(port, error); });
    port->setPortName(portName);
    if (!port->open(QIODevice::ReadWrite)) {
        if (port->error() == QSerialPort::PermissionError) {
            const QString device = PortAccess::deviceLocation(portName);
            VTRACE << "permission denied:" << device << PortAccess::likelyCause(device, PortAccess::inspect(device));
        }
        liveStates.portFailed(id, port->errorString());
        emit problem(id, (VLINE << "cannot open serial port: " << portName << "instrument: " << id).text());
        return;
    }
    traceDevice(id, portName);
    for (const char *failure : applyLineSettings(port, settings, id))
        emit problem(id, (VLINE << failure).text());
    emit opened(id, portName);
}

void CollectionEngine::traceDevice(const QString &instrumentId, const QString &portName)
{
    const QFileInfo device(PortAccess::deviceLocation(portName));
    if (device.isSymLink())
        VTRACE << "instrument:" << instrumentId << portName << "leads to" << device.canonicalFilePath();
}

void CollectionEngine::registerLink(const QSettings &settings, const QString &id, const QString &address)
{
    QString error;
    const std::optional<NetworkAddress> parsed = NetworkAddress::parse(address, &error);
    NetworkAddress target = parsed.value_or(NetworkAddress());
    target.text = address;
    const auto interval = Config::samplingIntervalMs(settings.value(Config::keyPath(id, Config::Key::samplingInterval)));
    auto *link = new NetworkLink(target, idleLimitMs(target, interval.value_or(0)));
    networkLinks.insert(id, link);
    connect(link, &NetworkLink::readyRead, this, [this, link] { linkReadyRead(link); });
    connect(link, &NetworkLink::connected, this, [this, id] { linkConnected(id); });
    connect(link, &NetworkLink::failed, this,
            [this, id](const QString &reason, bool wasOpen) { linkFailed(id, reason, wasOpen); });
    if (!parsed) {
        // Stays registered, never opened, as a serial port that cannot be.
        liveStates.portFailed(id, error);
        emit problem(id, linkLine((VLINE << "cannot open network link: "), id, address, error));
        return;
    }
    VTRACE << "instrument:" << id << "network link" << address << "keep-alive limit (s):" << link->idleMs() / 1000
           << "- baud rate, data bits, parity, stop bits and flow control do not apply: the device server holds them";
    link->open();
}

void CollectionEngine::linkConnected(const QString &instrumentId)
{
    VTRACE;
    const NetworkLink *link = networkLinks.value(instrumentId);
    if (!link)
        return;
    if (!reconnecting.remove(instrumentId)) {
        emit opened(instrumentId, link->name());
        return;
    }
    // A line cut off by the failure must not be joined to the new connection's.
    receiveBuffers.value(instrumentId)->clear();
    VTRACE << "reconnected. instrument:" << instrumentId << link->name();
    liveStates.reconnected(instrumentId);
    emit reconnected(instrumentId, link->name());
}

QString CollectionEngine::linkLine(Trace &line, const QString &instrumentId, const QString &address,
                                   const QString &reason)
{
    return (line << address << "instrument: " << instrumentId << "-" << reason.toUtf8().constData()).text();
}

// The first failure of a connect cycle is told; the link is then reopened
// quietly every kReconnectMs until it connects. A cycle counts once a line
// came through: a device server that takes the connection and drops it at
// once, or a balance that stays silent, is not told again every time.
void CollectionEngine::linkFailed(const QString &instrumentId, const QString &reason, bool wasOpen)
{
    VTRACE;
    const Log::RecordingScope recording;
    const NetworkLink *link = networkLinks.value(instrumentId);
    if (!link)
        return;
    if (reconnecting.contains(instrumentId) || linksTold.contains(instrumentId)) {
        VTRACE << "reconnect failed. instrument:" << instrumentId << link->name() << reason;
        liveStates.reconnectFailed(instrumentId, reason);
    } else {
        linksTold.insert(instrumentId);
        liveStates.portFailed(instrumentId, reason);
        liveStates.closedAfterError(instrumentId);
        emit problem(instrumentId, linkLine((VLINE << (wasOpen ? "network link lost: " : "cannot open network link: ")),
                                            instrumentId, link->name(), reason));
        emit closedAfterError(instrumentId, link->name());
    }
    reconnecting.insert(instrumentId);
    if (!reconnectTimer.isActive())
        reconnectTimer.start();
}

void CollectionEngine::registerTimer(const QSettings &settings, const QString &id)
{
    auto *timer = new QTimer;
    samplingTimers.insert(id, timer);
    const auto interval = Config::samplingIntervalMs(settings.value(Config::keyPath(id, Config::Key::samplingInterval)));
    if (!interval) {
        emit problem(id, (VLINE << "invalid samping interval. skipping").text());
        return;
    }
    // A precise repeating timer keeps its phase: a row every interval,
    // however long the rest of the program takes.
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(*interval);
    connect(timer, &QTimer::timeout, this, [this, timer] { timerFired(timer); });
    timer->start();
}

void CollectionEngine::unregister(const QString &id)
{
    delete samplingTimers.take(id);
    if (QSerialPort *port = serialPorts.take(id)) {
        disconnect(port, nullptr, this, nullptr);
        delete port;
    }
    if (NetworkLink *link = networkLinks.take(id)) {
        disconnect(link, nullptr, this, nullptr);
        delete link;
    }
    delete receiveBuffers.take(id);
    formats.remove(id);
    latestHeaders.remove(id);
    latestResults.remove(id);
    latestUnits.remove(id);
    latestLines.remove(id);
    tickSerials.remove(id);
    reconnecting.remove(id);
    linksTold.remove(id);
    portErrors.forget(id);
    liveStates.remove(id);
}

QList<const char *> CollectionEngine::applyLineSettings(QSerialPort *port, const QSettings &settings,
                                                        const QString &instrumentId)
{
    namespace Key = Config::Key;
    QList<const char *> failures;
    if (!port->setBaudRate(Config::readNumber(settings, instrumentId, Key::transmissionRate), QSerialPort::AllDirections))
        failures << "cannot set baud rate";
    // 7 unless the instrument asks for 8 (most balances but Sartorius' own).
    const bool eight = Config::readText(settings, instrumentId, Key::dataBits) == QLatin1String("8");
    if (!port->setDataBits(eight ? QSerialPort::Data8 : QSerialPort::Data7))
        failures << "cannot set data bits";
    if (const auto parity = Config::lineParity(Config::readText(settings, instrumentId, Key::parity))) {
        if (!port->setParity(*parity))
            failures << "cannot set parity";
    } else {
        failures << "unknown parity";
    }
    if (const auto stopBits = Config::lineStopBits(Config::readNumber(settings, instrumentId, Key::stopBits))) {
        if (!port->setStopBits(*stopBits))
            failures << "cannot set stop bits";
    } else {
        failures << "invalid stopbits";
    }
    port->setFlowControl(QSerialPort::HardwareControl);
    return failures;
}

void CollectionEngine::stop()
{
    VTRACE;
    reconnectTimer.stop();
    reconnecting.clear();
    linksTold.clear();
    liveStates.end();

    for (QTimer *timer : qAsConst(samplingTimers)) {
        timer->stop();
        delete timer;
    }
    samplingTimers.clear();

    for (auto it = serialPorts.cbegin(); it != serialPorts.cend(); ++it) {
        QSerialPort *port = it.value();
        disconnect(port, nullptr, this, nullptr);
        delete port;
        delete receiveBuffers.value(it.key());
    }
    serialPorts.clear();
    for (auto it = networkLinks.cbegin(); it != networkLinks.cend(); ++it) {
        disconnect(it.value(), nullptr, this, nullptr);
        delete it.value();
        delete receiveBuffers.value(it.key());
    }
    networkLinks.clear();
    receiveBuffers.clear();
    formats.clear();

    latestHeaders.clear();
    latestResults.clear();
    latestUnits.clear();
    latestLines.clear();
    tickSerials.clear();
    portErrors.clear();
    m_snapshot.clear();
    m_running = false;
}

void CollectionEngine::storeImmediately()
{
    VTRACE;
    const QStringList ids = instruments();
    for (const QString &id : ids)
        storeData(id, true);
}

void CollectionEngine::timerFired(QTimer *sender)
{
    VTRACE;
    if (!sender) {
        emit problem(QString(), (VLINE << "cast failed").text());
        return;
    }
    const QString id = instrumentOf(samplingTimers, sender);
    if (id.isEmpty()) {
        emit problem(QString(), (VLINE << "cannot find corresponding instrument").text());
        return;
    }
    storeData(id);
}

void CollectionEngine::storeData(const QString &instrumentId, bool immediate)
{
    VTRACE;
    const Log::RecordingScope recording;
    // Read at every row, so a name changed in the meantime is used at once.
    const std::unique_ptr<QSettings> file = IniFile::open(m_settingsFile);
    const QSettings &settings = *file;
    Row row;
    row.name = Config::readText(settings, instrumentId, Config::Key::name);
    row.header = latestHeaders.contains(instrumentId) ? latestHeaders.value(instrumentId) : QStringLiteral("no header yet");
    row.result = latestResults.contains(instrumentId) ? latestResults.value(instrumentId) : QStringLiteral("no result yet");
    row.unit = latestUnits.contains(instrumentId) ? latestUnits.value(instrumentId) : QStringLiteral("no unit yet");
    // Date and time of one and the same moment, also around midnight.
    const QDateTime now = QDateTime::currentDateTime();
    row.date = now.date().toString(Qt::ISODate);
    row.time = now.time().toString(Qt::ISODate);
    row.provenance = provenanceAt(instrumentId, now, immediate);
    liveStates.rowStored(instrumentId);
    emit sampled(instrumentId, row);
}

// What the tick knows of the reading it takes: when it came, as which line,
// and whether the link was alive since the instrument's last tick.
Provenance CollectionEngine::provenanceAt(const QString &instrumentId, const QDateTime &now, bool immediate)
{
    Provenance provenance;
    provenance.instrument = instrumentId;
    provenance.tickUtc = utcText(now);
    provenance.offsetSeconds = now.offsetFromUtc();
    const qint64 at = now.toMSecsSinceEpoch();
    const auto heard = latestLines.constFind(instrumentId);
    // An immediate read leaves the sampling ticks' rhythm alone.
    const quint64 heardAtTick = heard == latestLines.cend() ? 0 : heard->serial;
    const quint64 takenAtLastTick = immediate ? tickSerials.value(instrumentId) : std::exchange(tickSerials[instrumentId], heardAtTick);
    if (heard != latestLines.cend()) {
        provenance.receivedUtc = utcText(QDateTime::fromMSecsSinceEpoch(heard->at, Qt::UTC));
        provenance.ageMs = qMax<qint64>(0, at - heard->at);
        provenance.raw = heard->raw;
    }
    const QSerialPort *port = serialPorts.value(instrumentId);
    const NetworkLink *networkLink = networkLinks.value(instrumentId);
    const bool open = port ? port->isOpen() : networkLink && networkLink->isOpen();
    const InstrumentState::Link link = liveStates.states().value(instrumentId).link();
    if (!open || reconnecting.contains(instrumentId) || link == InstrumentState::Link::ClosedAfterError
        || link == InstrumentState::Link::Reconnecting)
        provenance.state = QLatin1String(Provenance::kAway);
    else if (immediate)
        provenance.state = QLatin1String(Provenance::kImmediate);
    else if (heard == latestLines.cend())
        provenance.state = QLatin1String(Provenance::kNoReading);
    else
        provenance.state = QLatin1String(heard->serial != takenAtLastTick ? Provenance::kLive : Provenance::kRepeated);
    return provenance;
}

QString CollectionEngine::utcText(const QDateTime &moment)
{
    return moment.toUTC().toString(Qt::ISODateWithMs);
}

void CollectionEngine::readyRead(QSerialPort *port)
{
    VTRACE;
    const Log::RecordingScope recording;
    if (!port) {
        emit problem(QString(), (VLINE << "cast failed").text());
        return;
    }
    if (!port->isOpen()) {
        VTRACE << "device not open. strange." << port << port->portName() << port->bytesAvailable();
        return;
    }
    const QString id = instrumentOf(serialPorts, port);
    if (id.isEmpty()) {
        emit problem(QString(), (VLINE << "cannot find corresponding instrument").text());
        return;
    }
    receive(id, port->readAll());
}

void CollectionEngine::linkReadyRead(NetworkLink *link)
{
    VTRACE;
    const Log::RecordingScope recording;
    const QString id = instrumentOf(networkLinks, link);
    if (id.isEmpty()) {
        emit problem(QString(), (VLINE << "cannot find corresponding instrument").text());
        return;
    }
    if (!linksTold.isEmpty())
        linksTold.remove(id);
    receive(id, link->readAll());
}

void CollectionEngine::receive(const QString &instrumentId, const QByteArray &bytes)
{
    QByteArray *buffer = receiveBuffers.value(instrumentId);
    buffer->append(bytes);
    VTRACE << "buffer size" << buffer->size();
    // Sartorius lines are parsed once a whole short line may be there; the
    // other makers' lines are of any length.
    if (buffer->size() > PrintLine::kShortLength - 1 || formats.value(instrumentId) != PrintLine::Format::Sartorius)
        processBuffer(instrumentId);
}

void CollectionEngine::processBuffer(const QString &instrumentId)
{
    VTRACE;
    using namespace PrintLine;

    QByteArray *buffer = receiveBuffers.value(instrumentId);
    const Format format = formats.value(instrumentId);
    VTRACE << "buffer=" << Trace::clipped(*buffer);

    for (QByteArray line = takeLine(*buffer, format); !line.isEmpty(); line = takeLine(*buffer, format)) {
        VTRACE << "oneMessage.size()" << line.size();
        VTRACE << "oneMessage:" << Trace::clipped(line);
        const Parsed parsed = parse(line, format);
        liveStates.lineReceived(instrumentId, line, parsed);
        switch (parsed.kind) {
        case Kind::ErrorCode:
            VTRACE << "error code arrived... skipping";
            continue;
        case Kind::Status:
            VTRACE << "status message arrived... skipping";
            continue;
        case Kind::WrongLength:
            VTRACE << "skipping. protocol length error: " << line.size() << "\n***" << Trace::clipped(line) << "***";
            continue;
        case Kind::NotAReading:
        case Kind::NotRecognised:
            VTRACE << "skipping." << skipReason(parsed) << Trace::clipped(line);
            continue;
        case Kind::Reading:
            break;
        }
        VTRACE << "header:" << parsed.header;
        VTRACE << "result:" << parsed.result;
        VTRACE << "unit:" << parsed.unit;
        latestHeaders.insert(instrumentId, parsed.header);
        latestResults.insert(instrumentId, parsed.result);
        latestUnits.insert(instrumentId, parsed.unit);
        latestLines.insert(instrumentId, {QDateTime::currentMSecsSinceEpoch(), line, ++m_readings});
        VTRACE << "remaining buffer.size()" << buffer->size();
    }

    // A line that never ends must not fill the memory.
    if (const int dropped = dropOverflow(*buffer))
        VTRACE << "unterminated input too long. dropped oldest bytes:" << dropped;
}

void CollectionEngine::portError(QSerialPort *port, QSerialPort::SerialPortError error)
{
    VTRACE;
    const Log::RecordingScope recording;
    const SerialErrors::Description description = SerialErrors::describe(error);

    // Errors of a registered port are told once per run; a port that keeps
    // failing is closed from the event loop, away from its own signal.
    const QString id = port ? instrumentOf(serialPorts, port) : QString();
    SerialErrors::RepeatFilter::Verdict verdict{true, false};
    if (!id.isEmpty())
        verdict = portErrors.record(id, error);
    if (!id.isEmpty() && description.critical)
        liveStates.portFailed(id, QString::fromLatin1(description.text));
    if (verdict.closePort)
        QTimer::singleShot(0, this, [this, id] { closeFailingPort(id); });

    if (description.critical && verdict.firstTime)
        emit problem(id, (VLINE << description.text).text());
    else
        VTRACE << description.text;
}

void CollectionEngine::closeFailingPort(const QString &instrumentId)
{
    QSerialPort *port = serialPorts.value(instrumentId);
    if (!port || !port->isOpen())
        return;
    VTRACE << "closing failing port of instrument" << instrumentId;
    {
        // Closing a broken device fails again; that must not be reported in
        // place of the error that made us close it.
        const QSignalBlocker quiet(port);
        port->close();
    }
    liveStates.closedAfterError(instrumentId);
    reconnecting.insert(instrumentId);
    if (!reconnectTimer.isActive())
        reconnectTimer.start();
    emit closedAfterError(instrumentId, port->portName());
}

void CollectionEngine::reconnectPorts()
{
    VTRACE;
    const Log::RecordingScope recording;
    const std::unique_ptr<QSettings> file = IniFile::open(m_settingsFile);
    const QSettings &settings = *file;
    const QSet<QString> ids = reconnecting;
    for (const QString &id : ids) {
        // A link answers later, through linkConnected() or linkFailed().
        if (NetworkLink *link = networkLinks.value(id)) {
            if (!link->isOpen() && !link->isOpening())
                link->open();
            continue;
        }
        QSerialPort *port = serialPorts.value(id);
        if (!port || port->isOpen()) {
            reconnecting.remove(id);
            continue;
        }
        // Tried quietly: a balance that stays away must not be told again;
        // its first failure was told already.
        const QSignalBlocker quiet(port);
        if (!port->open(QIODevice::ReadWrite)) {
            VTRACE << "reconnect failed. instrument:" << id << port->portName() << port->errorString();
            liveStates.reconnectFailed(id, port->errorString());
            continue;
        }
        for (const char *failure : applyLineSettings(port, settings, id))
            VTRACE << failure;
        traceDevice(id, port->portName());
        // A line cut off by the failure must not be joined to the new device's.
        receiveBuffers.value(id)->clear();
        portErrors.reopened(id);
        reconnecting.remove(id);
        VTRACE << "reconnected. instrument:" << id << port->portName();
        liveStates.reconnected(id);
        emit reconnected(id, port->portName());
    }
    if (reconnecting.isEmpty())
        reconnectTimer.stop();
}

} // namespace Veltrano
