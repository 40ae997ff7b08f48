#include "collect/instrumentchannel.h"

#include "collect/instrumentstate.h"
#include "collect/networklink.h"
#include "collect/serialerrors.h"
#include "collect/seriallink.h"
#include "support/logformat.h"
#include "support/osuser.h"
#include "support/trace.h"

#include <utility>

namespace Veltrano {

namespace {

QString utcText(const QDateTime &moment)
{
    return moment.toUTC().toString(Qt::ISODateWithMs);
}

WeighingSettings weighingSettingsOf(const InstrumentSettings &settings, QStringList *errors)
{
    QMap<QString, QString> keys;
    for (const char *key : kWeighingKeys)
        keys.insert(QLatin1String(key), settings.text(key));
    return WeighingSettings::fromTexts(keys, errors);
}

// The series an instrument's weighings belong to until another is started:
// its id and the moment the collection started.
QString defaultSeries(const QString &id)
{
    return id + QLatin1Char(' ') + QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

} // namespace

InstrumentChannel::InstrumentChannel(const InstrumentSettings &settings, InstrumentStates *states, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_states(states)
    , m_format(PrintLine::formatOf(settings.type))
    , m_weighings(weighingSettingsOf(settings, &m_settingErrors), defaultSeries(settings.id), osUserName())
    , m_network(NetworkAddress::isNetwork(settings.port))
{
    m_states->add(id(), InstrumentState(settings.name, settings.port, QDateTime::currentMSecsSinceEpoch()));
    m_reconnectTimer.setInterval(kReconnectMs);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &InstrumentChannel::reconnect);
    // A precise repeating timer keeps its phase: a row every interval,
    // however long the rest of the program takes.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { sample(false); });
}

InstrumentChannel::~InstrumentChannel()
{
    m_timer.stop();
    if (m_link)
        disconnect(m_link.get(), nullptr, this, nullptr);
}

void InstrumentChannel::openLink()
{
    VTRACE;
    const Log::RecordingScope recording;
    if (m_network) {
        QString error;
        const std::optional<NetworkAddress> parsed = NetworkAddress::parse(m_settings.port, &error);
        if (!parsed) {
            // Stays registered, never opened, as a serial port that cannot be.
            m_states->portFailed(id(), error);
            tell(OperatorMessage::Kind::LinkFailed,
                 (VLINE << "cannot open network link: " << m_settings.port << "instrument: " << id() << "-"
                        << error.toUtf8().constData())
                     .text(),
                 QStringLiteral("cannot open network link: %1").arg(error));
            return;
        }
        NetworkAddress target = *parsed;
        target.text = m_settings.port;
        auto link = std::make_unique<NetworkLink>(target, idleLimitMs(target, m_settings.intervalMs.value_or(0)));
        VTRACE << "instrument:" << id() << "network link" << m_settings.port << "keep-alive limit (s):"
               << link->idleMs() / 1000
               << "- baud rate, data bits, parity, stop bits and flow control do not apply: the device server holds them";
        m_link = std::move(link);
    } else {
        m_link = std::make_unique<SerialLink>(m_settings.port, m_settings.line);
    }
    connect(m_link.get(), &Link::readyRead, this, [this] {
        VTRACE;
        receive(m_link->readAll());
    });
    connect(m_link.get(), &Link::connected, this, &InstrumentChannel::linkConnected);
    connect(m_link.get(), &Link::failed, this, &InstrumentChannel::linkFailed);
    connect(m_link.get(), &Link::portError, this, &InstrumentChannel::portError);
    connect(m_link.get(), &Link::settingFailed, this, &InstrumentChannel::settingFailed);
    m_firstOpen = true;
    m_link->open();
    m_firstOpen = false;
}

void InstrumentChannel::startTimer()
{
    for (const QString &error : std::exchange(m_settingErrors, {}))
        tell(OperatorMessage::Kind::InvalidSetting, (VLINE << "invalid setting:" << error).text(), error);
    // Weighings and scanned IDs come with the lines, not with a timer.
    if (isScanner() || recordsWeighings()) {
        tellNextSample();
        return;
    }
    if (!m_settings.intervalMs) {
        tell(OperatorMessage::Kind::InvalidSetting, (VLINE << "invalid samping interval. skipping").text(),
             QStringLiteral("invalid sampling interval '%1': no rows are recorded").arg(m_settings.text(Config::Key::samplingInterval)));
        return;
    }
    m_timer.setInterval(*m_settings.intervalMs);
    m_timer.start();
}

void InstrumentChannel::tell(OperatorMessage::Kind kind, const QString &line, const QString &text)
{
    OperatorMessage message;
    message.kind = kind;
    message.instrumentId = id();
    message.instrumentName = m_settings.name;
    message.port = m_settings.port;
    message.line = line;
    message.text = text;
    emit problem(message);
}

void InstrumentChannel::linkConnected()
{
    VTRACE;
    if (!m_reconnecting) {
        emit opened(m_link->name());
        return;
    }
    m_reconnecting = false;
    m_reconnectTimer.stop();
    // A line cut off by the failure must not be joined to the new one's,
    // nor a load before it to the loads after.
    m_buffer.clear();
    m_weighings.reset();
    VTRACE << "reconnected. instrument:" << id() << m_link->name();
    m_states->reconnected(id());
    emit reconnected(m_link->name());
}

// The first failure is told; the link is then reopened quietly every
// kReconnectMs until it connects. It is told again only once a line came
// through: a device server that takes the connection and drops it at once,
// or a port that fails again before the balance said anything, is not told
// at every try.
void InstrumentChannel::linkFailed(const QString &reason, bool wasOpen)
{
    VTRACE;
    const Log::RecordingScope recording;
    if (m_firstOpen && !m_network) {
        m_states->portFailed(id(), reason);
        tell(OperatorMessage::Kind::PortFailed,
             (VLINE << "cannot open serial port: " << m_settings.port << "instrument: " << id()).text(),
             QStringLiteral("cannot open serial port: %1").arg(reason));
        return;
    }
    if ((m_reconnecting && !wasOpen) || m_failureTold) {
        VTRACE << "reconnect failed. instrument:" << id() << m_link->name() << reason;
        m_states->reconnectFailed(id(), reason);
    } else {
        m_failureTold = true;
        m_states->portFailed(id(), reason);
        m_states->closedAfterError(id());
        if (m_network) {
            const char *what = wasOpen ? "network link lost: " : "cannot open network link: ";
            tell(OperatorMessage::Kind::LinkFailed,
                 (VLINE << what << m_link->name() << "instrument: " << id() << "-" << reason.toUtf8().constData()).text(),
                 QLatin1String(what) + reason);
        } else {
            tell(OperatorMessage::Kind::PortFailed, (VLINE << reason.toUtf8().constData()).text(), reason);
        }
        emit closedAfterError(m_link->name());
    }
    m_reconnecting = true;
    if (!m_reconnectTimer.isActive())
        m_reconnectTimer.start();
}

// Errors a port raises and goes on after are told once per code and run.
void InstrumentChannel::portError(int code)
{
    VTRACE;
    const Log::RecordingScope recording;
    const SerialErrors::Description description = SerialErrors::describe(code);
    if (description.critical)
        m_states->portFailed(id(), QString::fromLatin1(description.text));
    if (!description.critical || m_reconnecting || m_errorsTold.contains(code)) {
        VTRACE << description.text;
        return;
    }
    m_errorsTold.insert(code);
    tell(OperatorMessage::Kind::PortError, (VLINE << description.text).text(), QString::fromLatin1(description.text));
}

void InstrumentChannel::settingFailed(const QString &text)
{
    if (!m_firstOpen) {
        VTRACE << text;
        return;
    }
    tell(OperatorMessage::Kind::LineSetting, (VLINE << text.toUtf8().constData()).text(), text);
}

void InstrumentChannel::reconnect()
{
    VTRACE;
    const Log::RecordingScope recording;
    if (!m_link || m_link->isOpen() || m_link->isOpening())
        return;
    m_link->open();
}

void InstrumentChannel::receive(const QByteArray &bytes)
{
    const Log::RecordingScope recording;
    m_failureTold = false;
    m_buffer.append(bytes);
    VTRACE << "buffer size" << m_buffer.size();
    // Sartorius lines are parsed once a whole short line may be there; the
    // other makers' lines are of any length.
    if (m_buffer.size() > PrintLine::kShortLength - 1 || m_format != PrintLine::Format::Sartorius)
        processBuffer();
}

void InstrumentChannel::processBuffer()
{
    VTRACE;
    using namespace PrintLine;
    VTRACE << "buffer=" << Trace::clipped(m_buffer);

    for (QByteArray line = takeLine(m_buffer, m_format); !line.isEmpty(); line = takeLine(m_buffer, m_format)) {
        VTRACE << "oneMessage.size()" << line.size();
        VTRACE << "oneMessage:" << Trace::clipped(line);
        const Parsed parsed = parse(line, m_format);
        m_states->lineReceived(id(), line, parsed);
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
            if (parsed.scanned) {
                if (!parsed.result.isEmpty())
                    emit sampleScanned(scannerFor(), parsed.result);
                continue;
            }
            Q_FALLTHROUGH();
        case Kind::NotRecognised:
            VTRACE << "skipping." << skipReason(parsed) << Trace::clipped(line);
            continue;
        case Kind::Reading:
            break;
        }
        VTRACE << "header:" << parsed.header;
        VTRACE << "result:" << parsed.result;
        VTRACE << "unit:" << parsed.unit;
        m_latest.present = true;
        m_latest.header = parsed.header;
        m_latest.result = parsed.result;
        m_latest.unit = parsed.unit;
        m_latest.stability = parsed.stability;
        m_latest.weight = parsed.weight;
        m_latest.at = QDateTime::currentMSecsSinceEpoch();
        m_latest.raw = line;
        m_latest.serial = ++m_readings;
        if (recordsWeighings()) {
            QString worklistError;
            if (std::optional<Weighing> weighing = m_weighings.feed(latestReading(), &worklistError))
                weigh(std::move(*weighing), worklistError);
        }
        VTRACE << "remaining buffer.size()" << m_buffer.size();
    }

    // A line that never ends must not fill the memory.
    if (const int dropped = dropOverflow(m_buffer))
        VTRACE << "unterminated input too long. dropped oldest bytes:" << dropped;
}

void InstrumentChannel::sample(bool immediate)
{
    VTRACE;
    const Log::RecordingScope recording;
    if (isScanner())
        return;
    if (recordsWeighings()) {
        if (immediate) {
            QString worklistError;
            Weighing weighing = m_weighings.immediate(latestReading(), &worklistError);
            weigh(std::move(weighing), worklistError);
        }
        return;
    }
    // Date and time of one and the same moment, also around midnight.
    const Row row = rowAt(QDateTime::currentDateTime(), immediate);
    m_states->rowStored(id());
    emit sampled(row);
}

Row InstrumentChannel::rowAt(const QDateTime &now, bool immediate)
{
    Row row;
    row.name = m_settings.name;
    row.header = m_latest.present ? m_latest.header : QStringLiteral("no header yet");
    row.result = m_latest.present ? m_latest.result : QStringLiteral("no result yet");
    row.unit = m_latest.present ? m_latest.unit : QStringLiteral("no unit yet");
    row.date = now.date().toString(Qt::ISODate);
    row.time = now.time().toString(Qt::ISODate);
    row.provenance = provenanceAt(now, immediate);
    return row;
}

ScaleReading InstrumentChannel::latestReading() const
{
    if (!m_latest.present)
        return ScaleReading();
    return ScaleReading::fromResult(m_latest.result, m_latest.unit, m_latest.stability, m_latest.weight);
}

// A weighing is recorded at the moment its line came (or the immediate read
// was asked for), with that line as its provenance.
void InstrumentChannel::weigh(Weighing weighing, const QString &worklistError)
{
    if (!worklistError.isEmpty())
        tell(OperatorMessage::Kind::Worklist, (VLINE << "worklist:" << worklistError).text(), worklistError);
    const bool immediate = weighing.trigger == QLatin1String(Weighing::kImmediate);
    Row row = rowAt(QDateTime::currentDateTime(), immediate);
    row.weighing = std::move(weighing);
    m_states->rowStored(id());
    emit sampled(row);
    tellNextSample();
}

void InstrumentChannel::tellNextSample()
{
    const NextSample next = m_weighings.next();
    if (m_nextTold && next.sampleId == m_nextTold->sampleId && next.series == m_nextTold->series
        && next.source == m_nextTold->source && next.nominal == m_nextTold->nominal)
        return;
    m_nextTold = next;
    emit nextSampleChanged(next);
}

QString InstrumentChannel::scannerFor() const
{
    return m_settings.text(WeighingKey::scannerFor).trimmed();
}

void InstrumentChannel::setTypedSample(const QString &sampleId)
{
    m_weighings.samples().setTyped(sampleId);
    tellNextSample();
}

void InstrumentChannel::scanned(const QString &sampleId)
{
    setTypedSample(sampleId);
}

bool InstrumentChannel::setSamplePattern(const QString &pattern, QString *error)
{
    if (!m_weighings.samples().setPattern(pattern, error))
        return false;
    tellNextSample();
    return true;
}

void InstrumentChannel::startSeries(const QString &series)
{
    m_weighings.startSeries(series);
    tellNextSample();
}

void InstrumentChannel::openWorklist(std::unique_ptr<ListedWorklist> list)
{
    m_weighings.openWorklist(std::move(list));
    tellNextSample();
}

void InstrumentChannel::setQualification(const QString &check, const QString &status,
                                         std::optional<double> checkedMinimumWeight)
{
    m_check = check;
    m_states->setChecks(id(), status);
    m_weighings.setCheckedMinimumWeight(checkedMinimumWeight);
}

void InstrumentChannel::setWorklistSource(WorklistSource *source)
{
    m_weighings.setWorklistSource(source);
    tellNextSample();
}

// What the tick knows of the reading it takes: when it came, as which line,
// and whether the link was alive since the instrument's last tick.
Provenance InstrumentChannel::provenanceAt(const QDateTime &now, bool immediate)
{
    Provenance provenance;
    provenance.instrument = id();
    provenance.tickUtc = utcText(now);
    provenance.offsetSeconds = now.offsetFromUtc();
    provenance.check = m_check;
    // An immediate read leaves the sampling ticks' rhythm alone.
    const quint64 takenAtLastTick = immediate ? m_takenAtLastTick : std::exchange(m_takenAtLastTick, m_latest.serial);
    if (m_latest.present) {
        provenance.receivedUtc = utcText(QDateTime::fromMSecsSinceEpoch(m_latest.at, Qt::UTC));
        provenance.ageMs = qMax<qint64>(0, now.toMSecsSinceEpoch() - m_latest.at);
        provenance.raw = m_latest.raw;
    }
    if (!m_link || !m_link->isOpen() || m_reconnecting)
        provenance.state = QLatin1String(Provenance::kAway);
    else if (immediate)
        provenance.state = QLatin1String(Provenance::kImmediate);
    else if (!m_latest.present)
        provenance.state = QLatin1String(Provenance::kNoReading);
    else
        provenance.state = QLatin1String(m_latest.serial != takenAtLastTick ? Provenance::kLive : Provenance::kRepeated);
    return provenance;
}

} // namespace Veltrano
