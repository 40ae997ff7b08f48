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

// The six values; then, in lines written since rows carry it, the
// provenance: the texts, the numbers in decimal and the raw line's bytes;
// then, in lines written since rows may be weighings, the check state and
// the weighing's texts when the row is one.
constexpr int kFields = 6;
constexpr int kProvenanceFields = 9;
constexpr int kCheckField = kFields + kProvenanceFields;
constexpr int kWeighingFields = 7;

QString *field(MeasurementDb::Row &row, int index)
{
    Provenance &p = row.provenance;
    if (index > kCheckField) {
        if (!row.weighing)
            row.weighing = Weighing();
        Weighing &w = *row.weighing;
        QString *const fields[] = {&w.sample, &w.series, &w.trigger, &w.kind, &w.operatorName, &w.weighingClass, &w.nominal};
        return fields[index - kCheckField - 1];
    }
    QString *const fields[] = {&row.date, &row.time, &row.name, &row.header, &row.result, &row.unit,
                               &p.instrument, &p.tickUtc, nullptr, &p.receivedUtc, nullptr, nullptr,
                               &p.state, &p.host, &p.user, &p.check};
    return fields[index];
}

QByteArray bytesOf(const MeasurementDb::Row &row, int index)
{
    const Provenance &p = row.provenance;
    switch (index) {
    case kFields + 2: return QByteArray::number(p.offsetSeconds);
    case kFields + 4: return QByteArray::number(p.ageMs);
    case kFields + 5: return p.raw;
    default: return field(const_cast<MeasurementDb::Row &>(row), index)->toUtf8();
    }
}

bool setBytes(MeasurementDb::Row &row, int index, const QByteArray &bytes)
{
    Provenance &p = row.provenance;
    bool ok = true;
    switch (index) {
    case kFields + 2: p.offsetSeconds = bytes.toInt(&ok); break;
    case kFields + 4: p.ageMs = bytes.toLongLong(&ok); break;
    case kFields + 5: p.raw = bytes; break;
    // With its length: zero characters are text too.
    default: *field(row, index) = QString::fromUtf8(bytes.constData(), bytes.size());
    }
    return ok;
}

} // namespace

QByteArray encode(const MeasurementDb::Row &row)
{
    QByteArray line;
    // Rows as they were before weighings are written as they were then.
    const int count = row.weighing ? kCheckField + 1 + kWeighingFields
                      : row.provenance.check.isEmpty() ? kCheckField : kCheckField + 1;
    for (int i = 0; i < count; ++i) {
        if (i)
            line += ',';
        line += bytesOf(row, i).toBase64();
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
        const int n = int(texts.size());
        bool readable = n == kFields || n == kCheckField || n == kCheckField + 1 || n == kCheckField + 1 + kWeighingFields;
        for (int i = 0; readable && i < texts.size(); ++i) {
            const auto decoded = QByteArray::fromBase64Encoding(texts.at(i), QByteArray::AbortOnBase64DecodingErrors);
            readable = bool(decoded) && setBytes(row, i, decoded.decoded);
        }
        if (readable)
            content.rows.append(row);
        else
            ++content.unreadable;
    }
    return content;
}

} // namespace PendingRows

} // namespace Veltrano
