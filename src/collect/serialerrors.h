#pragma once

#include <QHash>
#include <QSet>
#include <QString>

// What a serial port's error code means to the operator, and when a repeated
// error is worth telling again.
namespace Veltrano::SerialErrors {

struct Description
{
    bool critical;     // shown to the operator; otherwise only logged
    const char *text;  // fixed English sentence
};

// The sentence for a QSerialPort::SerialPortError code; codes without a
// sentence of their own get "internal unknown error" (critical).
Description describe(int code);

// Remembers, for one collection run, which error codes every instrument's port
// has raised. A port whose other end has hung up raises ReadError without end;
// telling each one would stack a box per signal.
class RepeatFilter
{
public:
    struct Verdict
    {
        bool firstTime;  // report as described; otherwise log at debug level only
        bool closePort;  // the port should be closed so that it stops signalling
    };

    // Records that the port of `instrumentId` raised `code`. A port is to be
    // closed on its first ResourceError, or on a ReadError that repeats, and
    // this is asked for once per port and run.
    Verdict record(const QString &instrumentId, int code);

    // The port of `instrumentId` was opened again: it may be closed once more.
    // The errors it raised stay known, so they are not told a second time.
    void reopened(const QString &instrumentId) { m_closing.remove(instrumentId); }

    // Forgets everything: a new run starts.
    void clear();
    // Forgets one instrument: it left the run.
    void forget(const QString &instrumentId)
    {
        m_seen.remove(instrumentId);
        m_closing.remove(instrumentId);
    }

private:
    QHash<QString, QSet<int>> m_seen;
    QSet<QString> m_closing;
};

} // namespace Veltrano::SerialErrors
