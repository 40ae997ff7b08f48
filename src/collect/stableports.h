#pragma once

#include <QList>
#include <QString>

// Stable names of USB serial adapters. Linux names an adapter ttyUSB0,
// ttyUSB1, ... in the order they are plugged in, so two balances may swap
// names after a reboot; udev also gives each adapter a name of its own under
// /dev/serial/by-id/ (made of its maker, model and serial number), a symbolic
// link to whichever ttyUSB it has now. An instrument stored with that name
// finds its balance whatever socket the adapter is plugged into: the link is
// followed each time the port is opened, and so again at every reconnect.
namespace Veltrano::StablePorts {

// /dev/serial/by-id on Linux; empty on other systems.
QString folder();

// An adapter as the system lists it.
struct Adapter
{
    QString systemLocation;  // /dev/ttyUSB0
    QString manufacturer;
    QString serialNumber;
    QString description;
};

// A stable name and what the port list says of it.
struct Name
{
    QString path;         // /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0
    QString description;  // the adapter's maker and serial number
};

// Every stable name in `folder` that leads to one of `adapters`, in name order.
QList<Name> names(const QString &folder, const QList<Adapter> &adapters);

} // namespace Veltrano::StablePorts
