#include "support/trace.h"

#include <QLoggingCategory>
#include <QMessageLogger>

namespace Veltrano {

namespace {

bool enabledFor(QtMsgType type)
{
    const QLoggingCategory *category = QLoggingCategory::defaultCategory();
    if (!category)
        return true;
    switch (type) {
    case QtDebugMsg:
        return category->isDebugEnabled();
    case QtInfoMsg:
        return category->isInfoEnabled();
    case QtWarningMsg:
        return category->isWarningEnabled();
    case QtCriticalMsg:
    case QtFatalMsg:
        return category->isCriticalEnabled();
    }
    return true;
}

// Where a line of this program's comes from, for the message handler.
QMessageLogContext ownContext()
{
    return QMessageLogContext(nullptr, 0, nullptr, Trace::kCategory);
}

} // namespace

Trace::Trace(QtMsgType type)
    : m_type(type)
    , m_active(enabledFor(type))
{
}

Trace::Trace(Capture)
    : m_type(QtCriticalMsg)
    , m_active(true)
    , m_captured(true)
{
}

void Trace::emitLine(QtMsgType type, const QString &line)
{
    if (enabledFor(type))
        qt_message_output(type, ownContext(), line);
}

bool Trace::isOwn(const QMessageLogContext &context)
{
    return context.category && qstrcmp(context.category, kCategory) == 0;
}

Trace::~Trace()
{
    if (!m_active || m_captured)
        return;
    if (m_type == QtFatalMsg) {
        QMessageLogger(nullptr, 0, nullptr, kCategory).fatal("%s", m_line.toUtf8().constData());
        return;
    }
    // Straight to the installed handler: the line is complete, so the
    // stream that QDebug would build around it is only overhead.
    qt_message_output(m_type, ownContext(), m_line);
}

void Trace::append(const QString &item)
{
    if (!m_line.isEmpty())
        m_line += QLatin1Char(' ');
    m_line += item;
}

Trace &Trace::operator<<(const char *literal)
{
    if (m_active)
        append(QString::fromUtf8(literal ? literal : "(null)"));
    return *this;
}

Trace &Trace::operator<<(const QString &text)
{
    if (m_active)
        append(QLatin1Char('"') + text + QLatin1Char('"'));
    return *this;
}

Trace &Trace::operator<<(const QByteArray &bytes)
{
    if (m_active)
        append(QLatin1Char('"') + QString::fromUtf8(bytes.constData(), bytes.size()) + QLatin1Char('"'));
    return *this;
}

Trace &Trace::operator<<(int value)
{
    if (m_active)
        append(QString::number(value));
    return *this;
}

Trace &Trace::operator<<(long value)
{
    if (m_active)
        append(QString::number(value));
    return *this;
}

Trace &Trace::operator<<(long long value)
{
    if (m_active)
        append(QString::number(value));
    return *this;
}

Trace &Trace::operator<<(unsigned int value)
{
    if (m_active)
        append(QString::number(value));
    return *this;
}

Trace &Trace::operator<<(unsigned long value)
{
    if (m_active)
        append(QString::number(value));
    return *this;
}

Trace &Trace::operator<<(unsigned long long value)
{
    if (m_active)
        append(QString::number(value));
    return *this;
}

QByteArray Trace::clipped(const QByteArray &bytes, int maxBytes)
{
    if (bytes.size() <= maxBytes)
        return bytes;
    return bytes.left(maxBytes) + "...(" + QByteArray::number(bytes.size()) + " bytes)";
}

} // namespace Veltrano
