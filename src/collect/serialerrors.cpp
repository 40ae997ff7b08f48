#include "collect/serialerrors.h"

#include <QSerialPort>

namespace Veltrano::SerialErrors {

Description describe(int code)
{
    switch (code) {
    case QSerialPort::NoError:
        return {false, "no error"};
    case QSerialPort::DeviceNotFoundError:
        return {true, "An error occurred while attempting to open an non-existing device."};
    case QSerialPort::PermissionError:
        return {true, "An error occurred while attempting to open an already opened device by another process "
                      "or a user not having enough permission and credentials to open."};
    case QSerialPort::OpenError:
        return {true, "An error occurred while attempting to open an already opened device in this object"};
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Line-status errors, which only Qt 5 reports (and only on some systems).
    // Qt 6 dropped them and numbers the errors after OpenError anew, so the
    // codes are matched by name, never by number.
    case QSerialPort::ParityError:
        return {false, "Parity error detected by the hardware while reading data."};
    case QSerialPort::FramingError:
        return {false, "Framing error detected by the hardware while reading data."};
    case QSerialPort::BreakConditionError:
        return {true, "Break condition detected by the hardware on the input line."};
#endif
    case QSerialPort::WriteError:
        return {true, "An I/O error occurred while writing the data."};
    case QSerialPort::ReadError:
        return {true, "An I/O error occurred while reading the data."};
    case QSerialPort::ResourceError:
        return {true, "An I/O error occurred when a resource becomes unavailable, e.g. when the device is "
                      "unexpectedly removed from the system."};
    case QSerialPort::UnsupportedOperationError:
        return {true, "The requested device operation is not supported or prohibited by the running operating system."};
    case QSerialPort::UnknownError:
        return {false, "An unidentified error occurred."};
    default:
        return {true, "internal unknown error"};
    }
}

} // namespace Veltrano::SerialErrors
