#pragma once

#include <QMetaType>
#include <QString>

// Something the operator must know, as a value: which instrument (if any)
// and on which port, what kind of trouble, and what to tell. The window
// shows it in a box, the unattended collector writes it as one log line;
// neither reads anything back out of the text.
namespace Veltrano {

struct OperatorMessage
{
    enum class Kind {
        PortFailed,        // a serial port cannot be opened, or failed while open
        PortError,         // a serial port raised an error it goes on after
        LineSetting,       // a line setting cannot be applied
        LinkFailed,        // a network link cannot be opened, or was lost
        InvalidSetting,    // a key of the instrument's section has no usable value
        RowRefused,        // the database refused a row (the outage is told beside it)
        Storage,           // rows or audit entries could not be kept or written
        Worklist,          // a worklist cannot be used, or its progress kept
        Publishing,        // results cannot be handed to the lab's systems yet
        Checks,            // the register of balance checks cannot be read
        Internal,          // the program met what it cannot explain
    };

    Kind kind = Kind::Internal;
    QString instrumentId;    // empty: about no instrument
    QString instrumentName;
    QString port;            // the port or address of the instrument
    // The defined text, with the trace prefix where the message has one:
    // what the window's box shows first.
    QString line;
    // What happened in words, without the prefix: what a log shows.
    QString text;

    // A message about no instrument.
    static OperatorMessage general(Kind kind, const QString &line, const QString &text)
    {
        OperatorMessage message;
        message.kind = kind;
        message.line = line;
        message.text = text;
        return message;
    }

    // "Balance 3 (b3) on /dev/ttyUSB2"; the id alone when the instrument has
    // no name; empty for a message about no instrument.
    QString instrumentLabel() const
    {
        if (instrumentId.isEmpty())
            return QString();
        QString label = instrumentName.isEmpty() ? instrumentId : QStringLiteral("%1 (%2)").arg(instrumentName, instrumentId);
        if (!port.isEmpty())
            label += QStringLiteral(" on ") + port;
        return label;
    }
    // The box's text: the defined text, then the line naming the instrument.
    QString boxText() const
    {
        const QString label = instrumentLabel();
        return label.isEmpty() ? line : line + QStringLiteral("\nInstrument: ") + label;
    }
    // One log line: "instrument b3 (Balance 3) on /dev/ttyUSB2: <text>".
    QString logText() const
    {
        if (instrumentId.isEmpty())
            return text;
        QString who = QStringLiteral("instrument ") + instrumentId;
        if (!instrumentName.isEmpty())
            who += QStringLiteral(" (%1)").arg(instrumentName);
        if (!port.isEmpty())
            who += QStringLiteral(" on ") + port;
        return who + QStringLiteral(": ") + text;
    }
};

} // namespace Veltrano

Q_DECLARE_METATYPE(Veltrano::OperatorMessage)
