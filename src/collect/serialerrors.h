#pragma once

// What a serial port's error code means to the operator.
namespace Veltrano::SerialErrors {

struct Description
{
    bool critical;     // shown to the operator; otherwise only logged
    const char *text;  // fixed English sentence
};

// The sentence for a QSerialPort::SerialPortError code; codes without a
// sentence of their own get "internal unknown error" (critical).
Description describe(int code);

} // namespace Veltrano::SerialErrors
