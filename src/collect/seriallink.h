#pragma once

#include "collect/link.h"

#include <QSerialPort>
#include <QString>

#include <optional>

namespace Veltrano {

// The line settings of a serial port, as an instrument's section gives them.
struct LineSettings
{
    int baudRate = 0;
    bool eightDataBits = false;  // else 7
    std::optional<QSerialPort::Parity> parity;      // nothing: not a known parity
    std::optional<QSerialPort::StopBits> stopBits;  // nothing: not 1 or 2
};

// A balance on a serial port, read like a network link. open() tries at
// once: connected() or failed(reason, false) follows before it returns,
// with every line setting the port did not take told by settingFailed()
// and every error code Qt raised while opening by portError(). While open,
// a read or resource error (the cable pulled, the adapter unplugged) closes
// the port and ends the cycle in one failed(reason, true), whichever of the
// two Qt raises first and however many follow; other codes come out of
// portError(). Hardware flow control always.
class SerialLink : public Link
{
    Q_OBJECT
public:
    SerialLink(const QString &portName, const LineSettings &line, QObject *parent = nullptr);
    ~SerialLink() override;

    void open() override;
    bool isOpen() const override { return m_port.isOpen(); }
    bool isOpening() const override { return false; }
    QByteArray readAll() override { return m_port.readAll(); }
    QString name() const override { return m_port.portName(); }
    // The port as it is set now (for a look at its line settings).
    const QSerialPort &port() const { return m_port; }

private:
    void errorOccurred(QSerialPort::SerialPortError error);
    void applyLineSettings();
    void close(const QString &reason);

    QSerialPort m_port;
    LineSettings m_line;
    bool m_closing = false;  // a failure of this cycle was told; the rest is its echo
};

} // namespace Veltrano
