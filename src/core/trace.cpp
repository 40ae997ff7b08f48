#include "trace.h"

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

} // namespace

Trace::Trace(QtMsgType type)
    : m_type(type)
    , m_active(enabledFor(type))
{
}

Trace::~Trace()
{
    if (!m_active)
        return;
    QMessageLogger logger;
    switch (m_type) {
    case QtDebugMsg:
        logger.debug().noquote() << m_line;
        break;
    case QtInfoMsg:
        logger.info().noquote() << m_line;
        break;
    case QtWarningMsg:
        logger.warning().noquote() << m_line;
        break;
    case QtCriticalMsg:
        logger.critical().noquote() << m_line;
        break;
    case QtFatalMsg:
        logger.fatal("%s", m_line.toUtf8().constData());
        break;
    }
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
