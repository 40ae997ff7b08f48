#pragma once

#include <QByteArray>
#include <QDebug>
#include <QString>
#include <QtGlobal>

class QMessageLogContext;

namespace Veltrano {

// One diagnostic line, built item by item the way QDebug separates them (one
// space between items, none at the end) but with text values quoted verbatim:
// QDebug escapes line feeds, quotes and non-ASCII letters inside quoted
// strings, and our lines must carry them as they are (written out as UTF-8).
//
// The line is handed to Qt's logging when the object dies, so a trace is one
// statement:  VTRACE << "index=" << index;
// When nobody listens at that level (the default category's debug output is
// switched off) no formatting is done at all.
class Trace
{
public:
    // A line that is only built, never handed to the logging: its text() is
    // given to whoever tells the operator (a box, a service's log line).
    enum Capture { Captured };

    explicit Trace(QtMsgType type = QtDebugMsg);
    explicit Trace(Capture);
    ~Trace();
    Trace(const Trace &) = delete;
    Trace &operator=(const Trace &) = delete;

    // Literals and signatures stand as they are.
    Trace &operator<<(const char *literal);
    // Text and bytes are written between double quotes, unescaped.
    Trace &operator<<(const QString &text);
    Trace &operator<<(const QByteArray &bytes);
    Trace &operator<<(int value);
    Trace &operator<<(long value);
    Trace &operator<<(long long value);
    Trace &operator<<(unsigned int value);
    Trace &operator<<(unsigned long value);
    Trace &operator<<(unsigned long long value);

    // Anything else (enums, bool, QVariant, ...) as QDebug would write it.
    template<typename T>
    Trace &operator<<(const T &value)
    {
        if (m_active) {
            QString item;
            QDebug(&item).nospace() << value;
            append(item);
        }
        return *this;
    }

    // Hands a line built elsewhere (a captured one) to the logging as it is.
    static void emitLine(QtMsgType type, const QString &line);

    // The logging category of this program's own lines: whatever reaches a
    // message handler under another one ("default", "qt.qpa.xcb", ...) was
    // raised by Qt or a library, not by this program.
    static constexpr const char *kCategory = "veltrano";
    static bool isOwn(const QMessageLogContext &context);

    // The line as built so far.
    QString text() const { return m_line; }
    bool isActive() const { return m_active; }

    // Bytes longer than this are cut in a trace, so that one line never
    // floods the log (a receive buffer, for instance).
    static QByteArray clipped(const QByteArray &bytes, int maxBytes = 256);

private:
    void append(const QString &item);

    QString m_line;
    QtMsgType m_type;
    bool m_active;
    bool m_captured = false;
};

} // namespace Veltrano

// The entry trace of a function, and a critical message with the same prefix.
#define VTRACE ::Veltrano::Trace(QtDebugMsg) << __FILE__ << "(" << __LINE__ << ")" << Q_FUNC_INFO
#define VCRITICAL ::Veltrano::Trace(QtCriticalMsg) << __FILE__ << "(" << __LINE__ << ")" << Q_FUNC_INFO
// The same line as VCRITICAL, built for the caller to hand on: (VLINE << ...).text()
#define VLINE ::Veltrano::Trace(::Veltrano::Trace::Captured) << __FILE__ << "(" << __LINE__ << ")" << Q_FUNC_INFO
