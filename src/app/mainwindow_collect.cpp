// The collection engine: starting and stopping a collection, the sampling
// timers, receiving and parsing what the balances print, and port errors.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "collectionsettings.h"
#include "instrumentconfig.h"
#include "portaccess.h"
#include "printline.h"
#include "trace.h"

#include <QDateTime>
#include <QPointer>
#include <QSettings>
#include <QTimer>

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

void MainWindow::startToCollect()
{
    VTRACE;
    namespace Key = Veltrano::Config::Key;
    using namespace Veltrano::CollectionSettings;

    latestHeaders.clear();
    latestResults.clear();
    latestUnits.clear();
    portErrors.clear();
    reconnecting.clear();
    reconnectTimer.stop();

    QSettings settings(QString::fromLatin1(Veltrano::Config::kFileName), QSettings::IniFormat);
    const QStringList instruments = settings.childGroups();

    QMap<QString, Veltrano::InstrumentState> states;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const QString &id : instruments) {
        if (isActive(settings, id))
            states.insert(id, {text(settings, id, Key::name), text(settings, id, Key::comPort), now});
    }
    liveStates.start(states);

    for (const QString &id : instruments) {
        if (!isActive(settings, id)) {
            VTRACE << "marked not active. skipping instrument";
            continue;
        }
        // Registered in full before anything below can open a box.
        receiveBuffers.insert(id, new QByteArray);
        auto *port = new QSerialPort;
        serialPorts.insert(id, port);
        connect(port, &QSerialPort::readyRead, this, &MainWindow::readyRead);
        connect(port, &QSerialPort::errorOccurred, this, &MainWindow::error);

        // A bare name such as ttyUSB0 or a full device path.
        const QString portName = text(settings, id, Key::comPort);
        port->setPortName(portName);
        if (!port->open(QIODevice::ReadWrite)) {
            if (port->error() == QSerialPort::PermissionError) {
                const QString device = Veltrano::PortAccess::deviceLocation(portName);
                VTRACE << "permission denied:" << device
                       << Veltrano::PortAccess::likelyCause(device, Veltrano::PortAccess::inspect(device));
            }
            liveStates.portFailed(id, port->errorString());
            VCRITICAL << "cannot open serial port: " << portName << "instrument: " << id;
            continue;
        }
        applyLineSettings(port, settings, id, QtCriticalMsg, Q_FUNC_INFO);
    }

    for (const QString &id : instruments) {
        if (!isActive(settings, id)) {
            VTRACE << "marked not active. skipping timer";
            continue;
        }
        auto *timer = new QTimer;
        samplingTimers.insert(id, timer);
        const auto interval = samplingIntervalMs(settings.value(Veltrano::Config::keyPath(id, Key::samplingInterval)));
        if (!interval) {
            VCRITICAL << "invalid samping interval. skipping";
            continue;
        }
        // A precise timer never fires before its interval is over.
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(*interval);
        connect(timer, &QTimer::timeout, this, &MainWindow::timerFired);
        timer->start();
    }

    ui->uStart->setEnabled(false);
    ui->uStop->setEnabled(true);
    ui->uRead->setEnabled(true);
    ui->actionSettings->setEnabled(false);
}

void MainWindow::applyLineSettings(QSerialPort *port, const QSettings &settings, const QString &instrumentId,
                                   QtMsgType level, const char *caller)
{
    using namespace Veltrano::CollectionSettings;
    namespace Key = Veltrano::Config::Key;
    const auto complain = [level, caller](const char *failure) {
        Veltrano::Trace(level) << __FILE__ << "(" << __LINE__ << ")" << caller << failure;
    };

    if (!port->setBaudRate(number(settings, instrumentId, Key::transmissionRate), QSerialPort::AllDirections))
        complain("cannot set baud rate");
    if (!port->setDataBits(QSerialPort::Data7))
        complain("cannot set data bits");
    if (const auto lineParity = parity(text(settings, instrumentId, Key::parity))) {
        if (!port->setParity(*lineParity))
            complain("cannot set parity");
    } else {
        complain("unknown parity");
    }
    if (const auto lineStopBits = stopBits(number(settings, instrumentId, Key::stopBits))) {
        if (!port->setStopBits(*lineStopBits))
            complain("cannot set stop bits");
    } else {
        complain("invalid stopbits");
    }
    port->setFlowControl(QSerialPort::HardwareControl);
}

void MainWindow::stopToCollect()
{
    VTRACE;
    reconnectTimer.stop();
    reconnecting.clear();
    liveStates.clear();

    for (QTimer *timer : qAsConst(samplingTimers)) {
        timer->stop();
        delete timer;
    }
    samplingTimers.clear();

    for (auto it = serialPorts.cbegin(); it != serialPorts.cend(); ++it) {
        QSerialPort *port = it.value();
        disconnect(port, &QSerialPort::readyRead, this, &MainWindow::readyRead);
        disconnect(port, &QSerialPort::errorOccurred, this, &MainWindow::error);
        delete port;
        delete receiveBuffers.value(it.key());
    }
    serialPorts.clear();
    receiveBuffers.clear();

    latestHeaders.clear();
    latestResults.clear();
    latestUnits.clear();
    portErrors.clear();

    ui->uStart->setEnabled(true);
    ui->uStop->setEnabled(false);
    ui->uRead->setEnabled(false);
    ui->actionSettings->setEnabled(true);
}

void MainWindow::storeImmediately()
{
    VTRACE;
    const QStringList instruments = serialPorts.keys();
    for (const QString &id : instruments)
        storeData(id);
}

void MainWindow::timerFired()
{
    VTRACE;
    QPointer<QTimer> timer = qobject_cast<QTimer *>(sender());
    if (!timer) {
        VCRITICAL << "cast failed";
        return;
    }
    const QString id = instrumentOf(samplingTimers, timer.data());
    if (id.isEmpty()) {
        VCRITICAL << "cannot find corresponding instrument";
        return;
    }
    storeData(id);
    // The store may have shown a box; the timer is gone if collection stopped meanwhile.
    if (timer)
        timer->start();
}

void MainWindow::readyRead()
{
    VTRACE;
    auto *port = qobject_cast<QSerialPort *>(sender());
    if (!port) {
        VCRITICAL << "cast failed";
        return;
    }
    if (!port->isOpen()) {
        VTRACE << "device not open. strange." << port << port->portName() << port->bytesAvailable();
        return;
    }
    const QString id = instrumentOf(serialPorts, port);
    if (id.isEmpty()) {
        VCRITICAL << "cannot find corresponding instrument";
        return;
    }
    QByteArray *buffer = receiveBuffers.value(id);
    buffer->append(port->readAll());
    VTRACE << "buffer size" << buffer->size();
    if (buffer->size() > Veltrano::PrintLine::kShortLength - 1)
        processBuffer(id);
}

void MainWindow::processBuffer(QString instrumentId)
{
    VTRACE;
    using namespace Veltrano::PrintLine;
    using Veltrano::Trace;

    QByteArray *buffer = receiveBuffers.value(instrumentId);
    VTRACE << "buffer=" << Trace::clipped(*buffer);

    for (QByteArray line = takeLine(*buffer); !line.isEmpty(); line = takeLine(*buffer)) {
        VTRACE << "oneMessage.size()" << line.size();
        VTRACE << "oneMessage:" << Trace::clipped(line);
        const Parsed parsed = parse(line);
        liveStates.lineReceived(instrumentId, parsed);
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
        case Kind::Reading:
            break;
        }
        VTRACE << "header:" << parsed.header;
        VTRACE << "result:" << parsed.result;
        VTRACE << "unit:" << parsed.unit;
        latestHeaders.insert(instrumentId, parsed.header);
        latestResults.insert(instrumentId, parsed.result);
        latestUnits.insert(instrumentId, parsed.unit);
        VTRACE << "remaining buffer.size()" << buffer->size();
    }

    // A line that never ends must not fill the memory.
    if (const int dropped = dropOverflow(*buffer))
        VTRACE << "unterminated input too long. dropped oldest bytes:" << dropped;
}

void MainWindow::error(QSerialPort::SerialPortError error)
{
    VTRACE;
    const Veltrano::SerialErrors::Description description = Veltrano::SerialErrors::describe(error);

    // Errors of a registered port are told once per run; a port that keeps
    // failing is closed from the event loop, away from its own signal.
    auto *port = qobject_cast<QSerialPort *>(sender());
    const QString id = port ? instrumentOf(serialPorts, port) : QString();
    Veltrano::SerialErrors::RepeatFilter::Verdict verdict{true, false};
    if (!id.isEmpty())
        verdict = portErrors.record(id, error);
    if (!id.isEmpty() && description.critical)
        liveStates.portFailed(id, QString::fromLatin1(description.text));
    if (verdict.closePort) {
        QTimer::singleShot(0, this, [this, port = QPointer<QSerialPort>(port), id]() {
            if (!port || !port->isOpen())
                return;
            VTRACE << "closing failing port of instrument" << id;
            // Closing a broken device fails again; that must not be reported
            // in place of the error that made us close it.
            const QSignalBlocker quiet(port.data());
            port->close();
            liveStates.closedAfterError(id);
            reconnecting.insert(id);
            if (!reconnectTimer.isActive())
                reconnectTimer.start();
        });
    }

    if (description.critical && verdict.firstTime)
        VCRITICAL << description.text;
    else
        VTRACE << description.text;
}

void MainWindow::reconnectPorts()
{
    VTRACE;
    const QSettings settings(QString::fromLatin1(Veltrano::Config::kFileName), QSettings::IniFormat);
    const QSet<QString> ids = reconnecting;
    for (const QString &id : ids) {
        QSerialPort *port = serialPorts.value(id);
        if (!port || port->isOpen()) {
            reconnecting.remove(id);
            continue;
        }
        // Tried quietly: a balance that stays away must not stack boxes, and
        // its first failure was told already.
        const QSignalBlocker quiet(port);
        if (!port->open(QIODevice::ReadWrite)) {
            VTRACE << "reconnect failed. instrument:" << id << port->portName() << port->errorString();
            liveStates.reconnectFailed(id, port->errorString());
            continue;
        }
        applyLineSettings(port, settings, id, QtDebugMsg, Q_FUNC_INFO);
        // A line cut off by the failure must not be joined to the new device's.
        receiveBuffers.value(id)->clear();
        portErrors.reopened(id);
        reconnecting.remove(id);
        VTRACE << "reconnected. instrument:" << id << port->portName();
        liveStates.reconnected(id);
    }
    if (reconnecting.isEmpty())
        reconnectTimer.stop();
}
