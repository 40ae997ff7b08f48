#include "collect/printline.h"

#include <cstring>
#include <utility>

namespace Veltrano::PrintLine {

namespace {

// Bytes [pos, pos + count) of the line as text, up to the first zero byte.
QString field(const QByteArray &line, int pos, int count)
{
    const char *start = line.constData() + pos;
    const void *zero = std::memchr(start, '\0', size_t(count));
    const int length = zero ? int(static_cast<const char *>(zero) - start) : count;
    return QString::fromUtf8(start, length);
}

QString withoutSpaces(QString text)
{
    return text.remove(QLatin1Char(' '));
}

// Special codes a balance prints in place of the value while it is out of range.
Load loadCode(const QString &result)
{
    if (result == QLatin1String("H") || result == QLatin1String("HH"))
        return Load::Overload;
    if (result == QLatin1String("L") || result == QLatin1String("LL"))
        return Load::Underload;
    return Load::Normal;
}

// What a 22-byte line's header says the weight is: its ID code, as the
// balances and indicators print it left-aligned in the 6 bytes.
WeightKind headerKind(const QString &header)
{
    const QStringView code = QStringView(header).trimmed();
    for (const auto &[mark, kind] : {std::pair{"G#", WeightKind::Gross}, {"G", WeightKind::Gross},
                                     {"N", WeightKind::Net}, {"N1", WeightKind::Net},
                                     {"T", WeightKind::Tare}, {"T1", WeightKind::Tare},
                                     {"T2", WeightKind::Tare}, {"PT2", WeightKind::Tare}}) {
        if (code == QLatin1String(mark))
            return kind;
    }
    return WeightKind::Unknown;
}

} // namespace

QByteArray takeLine(QByteArray &buffer)
{
    const int end = buffer.indexOf('\n');
    if (end < 0)
        return {};
    QByteArray line = buffer.left(end + 1);
    buffer.remove(0, end + 1);
    return line;
}

Parsed parse(const QByteArray &line)
{
    Parsed parsed;
    if (line.size() == kShortLength) {
        const QString value = field(line, 0, 10);
        const QString code = value.mid(3, 3);
        if (code == QLatin1String("ERR") || code == QLatin1String("Err")) {
            parsed.kind = Kind::ErrorCode;
            return parsed;
        }
        parsed.kind = Kind::Reading;
        parsed.header = QLatin1String("");
        parsed.result = withoutSpaces(value);
        parsed.unit = field(line, 11, 3);
    } else if (line.size() == kLongLength) {
        parsed.header = field(line, 0, 6);
        parsed.result = withoutSpaces(field(line, 6, 10));
        parsed.unit = field(line, 17, 3);
        parsed.kind = parsed.header.startsWith(QLatin1String("Stat")) ? Kind::Status : Kind::Reading;
        parsed.weight = headerKind(parsed.header);
    }
    if (parsed.kind == Kind::Reading)
        parsed.stability = parsed.unit.trimmed().isEmpty() ? Stability::Unstable : Stability::Stable;
    parsed.load = loadCode(parsed.result);
    return parsed;
}

int dropOverflow(QByteArray &buffer, int limit)
{
    const int excess = buffer.size() - limit;
    if (excess <= 0)
        return 0;
    buffer.remove(0, excess);
    return excess;
}

} // namespace Veltrano::PrintLine
