#include "store/pendingrows.h"

#include <QFileDevice>
#include <QList>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace Veltrano {

namespace PendingRows {

namespace {

constexpr int kFields = 6;

QString *field(MeasurementDb::Row &row, int index)
{
    QString *const fields[kFields] = {&row.date, &row.time, &row.name, &row.header, &row.result, &row.unit};
    return fields[index];
}

} // namespace

QByteArray encode(const MeasurementDb::Row &row)
{
    MeasurementDb::Row copy = row;
    QByteArray line;
    for (int i = 0; i < kFields; ++i) {
        if (i)
            line += ',';
        line += field(copy, i)->toUtf8().toBase64();
    }
    return line + '\n';
}

Content decode(const QByteArray &bytes)
{
    Content content;
    QList<QByteArray> lines = bytes.split('\n');
    // What follows the last line feed: empty after a complete file, else a torn line.
    content.torn = !lines.takeLast().isEmpty();
    for (const QByteArray &line : qAsConst(lines)) {
        const QList<QByteArray> texts = line.split(',');
        MeasurementDb::Row row;
        bool readable = texts.size() == kFields;
        for (int i = 0; readable && i < kFields; ++i) {
            const auto decoded = QByteArray::fromBase64Encoding(texts.at(i), QByteArray::AbortOnBase64DecodingErrors);
            readable = bool(decoded);
            // With its length: zero characters are text too.
            *field(row, i) = QString::fromUtf8(decoded.decoded.constData(), decoded.decoded.size());
        }
        if (readable)
            content.rows.append(row);
        else
            ++content.unreadable;
    }
    return content;
}

} // namespace PendingRows

bool flushToDisk(QFileDevice &file)
{
    if (!file.flush())
        return false;
#if defined(Q_OS_WIN)
    return ::_commit(file.handle()) == 0;
#elif defined(Q_OS_LINUX)
    return ::fdatasync(file.handle()) == 0;  // the size too, not the times
#else
    return ::fsync(file.handle()) == 0;
#endif
}

} // namespace Veltrano
