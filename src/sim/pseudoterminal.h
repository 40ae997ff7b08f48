#pragma once

#include <QByteArray>
#include <QString>

namespace Veltrano::Sim {

// A pseudo-terminal pair that stands in for a balance's serial line: what is
// written here arrives at devicePath(), which a program opens like a serial
// port. The line is raw (no echo, no translation of line ends).
//
// The simulator keeps the device side open itself, so that the line stays up
// while no program listens; bytes then wait in the line's queue, and when the
// queue is full the oldest are thrown away, as on a real line nobody reads.
class PseudoTerminal
{
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    // Creates the pair. On failure `error` says why.
    bool open(QString *error = nullptr);
    bool isOpen() const { return m_master >= 0; }

    // The device a program opens, such as /dev/pts/3.
    QString devicePath() const { return m_devicePath; }

    // Makes `linkPath` a symbolic link to the device; it is removed again by
    // hangUp() and by the destructor.
    bool makeLink(const QString &linkPath, QString *error = nullptr);

    // Sends bytes down the line; false when they could not all be sent.
    bool write(const QByteArray &bytes);

    // Drops the line like a balance that is switched off or unplugged: the
    // program on the device side sees the line hang up.
    void hangUp();

private:
    void discardQueued();

    int m_master = -1;
    int m_device = -1;
    QString m_devicePath;
    QString m_linkPath;
};

} // namespace Veltrano::Sim
