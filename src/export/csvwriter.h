#pragma once

#include <QByteArray>
#include <QChar>
#include <QString>

class QIODevice;

namespace Veltrano {

// Comma-separated values as RFC 4180 has them: a field is quoted when it holds
// the separator, a double quote, a carriage return or a line feed, quotes are
// doubled, lines end in CR LF. UTF-8 behind a byte-order mark, so that Excel
// reads letters beyond ASCII right. Rows are gathered and handed to the
// device in large blocks.
class CsvWriter
{
public:
    CsvWriter(QIODevice *device, QChar separator);

    bool appendRow(const QString *fields, int count);
    // Hands what is gathered to the device.
    bool flush();
    QString errorString() const { return m_error; }

    // Whether `separator` can separate fields (not a quote or a line end).
    static bool isValidSeparator(QChar separator);

private:
    void appendField(const QString &field);

    QIODevice *m_device;
    char16_t m_separator;
    QByteArray m_separatorBytes;
    QByteArray m_buffer;
    QString m_error;
};

} // namespace Veltrano
