#include "export/csvwriter.h"

#include <QIODevice>

namespace Veltrano {

namespace {
constexpr int kBlockSize = 1 << 16;
}

CsvWriter::CsvWriter(QIODevice *device, QChar separator)
    : m_device(device)
    , m_separator(separator.unicode())
    , m_separatorBytes(QString(separator).toUtf8())
{
    m_buffer.reserve(kBlockSize + 4096);
    m_buffer.append("\xEF\xBB\xBF");
}

bool CsvWriter::isValidSeparator(QChar separator)
{
    return separator != QLatin1Char('"') && separator != QLatin1Char('\r') && separator != QLatin1Char('\n')
           && !separator.isSurrogate() && !separator.isNull();
}

void CsvWriter::appendField(const QString &field)
{
    bool quote = false;
    bool ascii = true;
    for (const QChar c : field) {
        const char16_t u = c.unicode();
        quote = quote || u == m_separator || u == u'"' || u == u'\r' || u == u'\n';
        ascii = ascii && u < 0x80;
    }
    if (ascii && !quote) {
        // The common case, copied straight into the block.
        const int at = m_buffer.size();
        m_buffer.resize(at + field.size());
        char *out = m_buffer.data() + at;
        for (const QChar c : field)
            *out++ = char(c.unicode());
        return;
    }
    const QByteArray utf8 = field.toUtf8();
    if (!quote) {
        m_buffer.append(utf8);
        return;
    }
    m_buffer.append('"');
    m_buffer.append(QByteArray(utf8).replace('"', "\"\""));
    m_buffer.append('"');
}

bool CsvWriter::appendRow(const QString *fields, int count)
{
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            m_buffer.append(m_separatorBytes);
        appendField(fields[i]);
    }
    m_buffer.append("\r\n", 2);
    return m_buffer.size() < kBlockSize || flush();
}

bool CsvWriter::flush()
{
    if (m_buffer.isEmpty())
        return true;
    if (m_device->write(m_buffer) != m_buffer.size()) {
        m_error = m_device->errorString();
        return false;
    }
    m_buffer.resize(0);  // keeps the block's memory
    return true;
}

} // namespace Veltrano
