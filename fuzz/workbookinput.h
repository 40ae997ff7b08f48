#pragma once

#include <QStringList>

// How the workbook fuzzer reads its input as rows of texts, shared with the
// round-trip test that checks its corpus against an independent reader.
//
// Byte 0x1E ends a row and 0x1F a cell. A cell is UTF-8, unless its first
// byte says otherwise: 0x01 raw UTF-16 little-endian (any code units, lone
// surrogates included), 0x02 the rest repeated past the longest text a cell
// can hold.
namespace Veltrano::FuzzInput {

inline QString cellText(const QByteArray &bytes)
{
    if (bytes.startsWith('\x01')) {
        QString text;
        for (int i = 1; i + 1 < bytes.size(); i += 2)
            text += QChar(ushort(uchar(bytes.at(i)) | uchar(bytes.at(i + 1)) << 8));
        return text;
    }
    const QString text = QString::fromUtf8(bytes.startsWith('\x02') ? bytes.mid(1) : bytes);
    return !bytes.startsWith('\x02') || text.isEmpty() ? text : text.repeated(40000 / text.size() + 1);
}

inline QList<QStringList> rows(const QByteArray &input)
{
    QList<QStringList> result;
    for (const QByteArray &row : input.split('\x1e')) {
        QStringList cells;
        for (const QByteArray &cell : row.split('\x1f'))
            cells << cellText(cell);
        result << cells;
    }
    return result;
}

// A text as a cell keeps it: cut to `limit` code units, never inside a
// surrogate pair.
inline QString keptText(const QString &text, int limit)
{
    QString kept = text.left(limit);
    if (kept.size() < text.size() && kept.at(kept.size() - 1).isHighSurrogate())
        kept.chop(1);
    return kept;
}

// Whether a text is valid Unicode (no unpaired surrogate): only such texts
// can be compared after a round trip through another program.
inline bool isWellFormed(const QString &text)
{
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        else if (text.at(i).isSurrogate())
            return false;
    }
    return true;
}

} // namespace Veltrano::FuzzInput
