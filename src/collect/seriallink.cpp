#include "collect/seriallink.h"

#include "collect/portaccess.h"
#include "collect/serialerrors.h"
#include "support/trace.h"

#include <QFileInfo>
#include <QTimer>

namespace Veltrano {

SerialLink::SerialLink(const QString &portName, const LineSettings &line, QObject *parent)
    : Link(parent)
    , m_line(line)
{
    // A bare name such as ttyUSB0 is looked up in /dev; a path stands for itself.
    m_port.setPortName(portName);
    connect(&m_port, &QSerialPort::readyRead, this, &Link::readyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialLink::errorOccurred);
}

SerialLink::~SerialLink()
{
    disconnect(&m_port, nullptr, this, nullptr);
}

void SerialLink::open()
{
    if (m_port.isOpen())
        return;
    m_closing = false;
    // An empty name would open the device folder itself ("Is a directory").
    if (m_port.portName().trimmed().isEmpty()) {
        emit failed(QStringLiteral("no port is set"), false);
        return;
    }
    if (!m_port.open(QIODevice::ReadWrite)) {
        if (m_port.error() == QSerialPort::PermissionError) {
            const QString device = PortAccess::deviceLocation(m_port.portName());
            VTRACE << "permission denied:" << device << PortAccess::likelyCause(device, PortAccess::inspect(device));
        }
        emit failed(m_port.errorString(), false);
        return;
    }
    const QFileInfo device(PortAccess::deviceLocation(m_port.portName()));
    if (device.isSymLink())
        VTRACE << m_port.portName() << "leads to" << device.canonicalFilePath();
    applyLineSettings();
    emit connected();
}

void SerialLink::applyLineSettings()
{
    if (!m_port.setBaudRate(m_line.baudRate, QSerialPort::AllDirections))
        emit settingFailed(QStringLiteral("cannot set baud rate"));
    if (!m_port.setDataBits(m_line.eightDataBits ? QSerialPort::Data8 : QSerialPort::Data7))
        emit settingFailed(QStringLiteral("cannot set data bits"));
    if (!m_line.parity)
        emit settingFailed(QStringLiteral("unknown parity"));
    else if (!m_port.setParity(*m_line.parity))
        emit settingFailed(QStringLiteral("cannot set parity"));
    if (!m_line.stopBits)
        emit settingFailed(QStringLiteral("invalid stopbits"));
    else if (!m_port.setStopBits(*m_line.stopBits))
        emit settingFailed(QStringLiteral("cannot set stop bits"));
    m_port.setFlowControl(QSerialPort::HardwareControl);
}

void SerialLink::errorOccurred(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError)
        return;
    const bool outage = error == QSerialPort::ReadError || error == QSerialPort::ResourceError;
    if (!outage || !m_port.isOpen()) {
        if (!m_closing)
            emit portError(int(error));
        return;
    }
    if (m_closing)
        return;
    // Closed from the event loop, away from the port's own signal; what the
    // port raises until then belongs to the same outage.
    m_closing = true;
    const QString reason = QString::fromLatin1(SerialErrors::describe(error).text);
    QTimer::singleShot(0, this, [this, reason] { close(reason); });
}

void SerialLink::close(const QString &reason)
{
    if (!m_port.isOpen())
        return;
    {
        // Closing a broken device fails again: that is no news.
        const QSignalBlocker quiet(m_port);
        m_port.close();
    }
    emit failed(reason, true);
}

} // namespace Veltrano
