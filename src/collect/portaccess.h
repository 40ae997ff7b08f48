#pragma once

#include <QString>

// Why a serial port refused to open for lack of permission: the operator
// sees the port's own error sentence, the log says which device it was and
// what most likely stands in the way.
namespace Veltrano::PortAccess {

// The device file behind a port name as QSerialPort resolves it: an absolute
// path or one starting with ./ or ../ stands for itself, any other name lives
// in /dev (on Windows, in the \\.\ device namespace).
QString deviceLocation(const QString &portName);

// What the file system says about a device, for this process's user.
struct DeviceFacts
{
    bool exists = false;
    bool readable = false;
    bool writable = false;
    QString group;  // the group owning the device; empty where there is none
};

DeviceFacts inspect(const QString &location);

// One sentence naming the likely cause of a refused open of `location`.
QString likelyCause(const QString &location, const DeviceFacts &facts);

} // namespace Veltrano::PortAccess
