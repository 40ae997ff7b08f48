// The collection engine: starting and stopping a collection, the sampling
// timers, receiving and parsing what the balances print, and port errors.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "collectionsettings.h"
#include "instrumentconfig.h"
#include "portaccess.h"
#include "printline.h"
#include "trace.h"

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

    QSettings settings(QString::fromLatin1(Veltrano::Config::kFileName), QSettings::IniFormat);
    const QStringList instruments = settings.childGroups();

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
            VCRITICAL << "cannot open serial port: " << portName << "instrument: " << id;
            continue;
        }
        if (!port->setBaudRate(number(settings, id, Key::transmissionRate), QSerialPort::AllDirections))
            VCRITICAL << "cannot set baud rate";
        if (!port->setDataBits(QSerialPort::Data7))
            VCRITICAL << "cannot set data bits";
        if (const auto lineParity = parity(text(settings, id, Key::parity))) {
            if (!port->setParity(*lineParity))
                VCRITICAL << "cannot set parity";
        } else {
            VCRITICAL << "unknown parity";
        }
        if (const auto lineStopBits = stopBits(number(settings, id, Key::stopBits))) {
            if (!port->setStopBits(*lineStopBits))
                VCRITICAL << "cannot set stop bits";
        } else {
            VCRITICAL << "invalid stopbits";
        }
        port->setFlowControl(QSerialPort::HardwareControl);
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

void MainWindow::stopToCollect()
{
    VTRACE;
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
    if (verdict.closePort) {
        QTimer::singleShot(0, this, [port = QPointer<QSerialPort>(port), id]() {
            if (!port || !port->isOpen())
                return;
            VTRACE << "closing failing port of instrument" << id;
            // Closing a broken device fails again; that must not be reported
            // in place of the error that made us close it.
            const QSignalBlocker quiet(port.data());
            port->close();
        });
    }

    if (description.critical && verdict.firstTime)
        VCRITICAL << description.text;
    else
        VTRACE << description.text;
}
