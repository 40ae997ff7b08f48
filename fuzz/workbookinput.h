#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// How the workbook fuzzer reads its input as rows of texts, shared with the
// round-trip test that checks its corpus against an independent reader.
//
// Byte 0x1E ends a row and 0x1F a cell. A cell is UTF-8, unless its first
// byte says otherwise: 0x01 raw UTF-16 little-endian (any code units, lone
// surrogates included), 0x02 the rest repeated past the longest text a cell
// can hold.
namespace Veltrano::FuzzInput {

inline constexpr char kRowEnd = '\x1e';
inline constexpr char kCellEnd = '\x1f';
inline constexpr char kUtf16 = '\x01';
inline constexpr char kRepeat = '\x02';

inline QString cellText(const QByteArray &bytes)
{
    if (bytes.startsWith(kUtf16)) {
        const QByteArray units = bytes.mid(1);
        QString text;
        for (int i = 0; i + 1 < units.size(); i += 2)
            text += QChar(ushort(uchar(units.at(i)) | uchar(units.at(i + 1)) << 8));
        return text;
    }
    if (bytes.startsWith(kRepeat)) {
        const QString unit = QString::fromUtf8(bytes.mid(1));
        return unit.isEmpty() ? QString() : unit.repeated(40000 / unit.size() + 1);
    }
    return QString::fromUtf8(bytes);
}

inline QList<QStringList> rows(const QByteArray &input)
{
    QList<QStringList> result;
    for (const QByteArray &row : input.split(kRowEnd)) {
        QStringList cells;
        for (const QByteArray &cell : row.split(kCellEnd))
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
