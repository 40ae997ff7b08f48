#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

namespace Veltrano {

// How a channel reaches its balance: a serial port (SerialLink) or a TCP
// connection to a device server (NetworkLink), read alike. open() starts a
// connect cycle that ends in connected() or failed(); an open link that
// breaks ends its cycle in failed(). Each cycle ends in at most one
// failed(); the link is closed after it and may be opened again.
class Link : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    virtual void open() = 0;
    virtual bool isOpen() const = 0;
    virtual bool isOpening() const = 0;
    virtual QByteArray readAll() = 0;
    // The port or address, as the instrument's settings name it.
    virtual QString name() const = 0;

signals:
    void connected();
    void readyRead();
    // `wasOpen`: the link was connected, rather than being opened.
    void failed(const QString &reason, bool wasOpen);
    // A serial port's error code that does not end the cycle (or that came
    // while the port was being opened).
    void portError(int code);
    // A line setting the port did not take, as its fixed text.
    void settingFailed(const QString &text);
};

} // namespace Veltrano
