// Print-line cutting and classifying, fed arbitrary bytes in arbitrary
// fragments the way the serial port hands them over. Checks, beyond "no crash
// and no sanitizer finding":
//  - every line cut ends at its first line feed, and no byte is invented or
//    lost except those dropped from an over-long unterminated rest;
//  - the unterminated rest stays bounded;
//  - the fields of each line agree with a plain reading of the line format;
//  - how the bytes were split into fragments does not change the lines cut.
#include "collect/printline.h"
#include "support/trace.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QList>
#include <QString>

#include <cstdlib>

namespace {

using namespace Veltrano::PrintLine;

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

// A field the plain way: the bytes up to the first zero, as UTF-8.
QString plainField(const QByteArray &line, int pos, int count)
{
    const QByteArray bytes = line.mid(pos, count);
    return QString::fromUtf8(bytes.left(bytes.indexOf('\0') < 0 ? count : bytes.indexOf('\0')));
}

void checkParsed(const QByteArray &line)
{
    const Parsed parsed = parse(line);
    Veltrano::Trace::clipped(line);
    const bool longLine = line.size() == kLongLength;
    if (!longLine && line.size() != kShortLength)
        return require(parsed.kind == Kind::WrongLength, "other lengths are length errors");
    const QString value = plainField(line, longLine ? 6 : 0, 10);
    const QString header = longLine ? plainField(line, 0, 6) : QString();
    if (!longLine && (value.mid(3, 3) == QLatin1String("ERR") || value.mid(3, 3) == QLatin1String("Err")))
        return require(parsed.kind == Kind::ErrorCode, "16-byte error codes are recognised");
    if (longLine && header.startsWith(QLatin1String("Stat")))
        return require(parsed.kind == Kind::Status, "status lines are recognised");
    require(parsed.kind == Kind::Reading && parsed.header == header, "well-formed lines are readings, header as received");
    require(parsed.result == QString(value).remove(QLatin1Char(' ')), "result without spaces");
    require(parsed.unit == plainField(line, longLine ? 17 : 11, 3), "unit as received");
}

// One instrument's receive buffer, handled as the collection engine does: a
// read is appended, and once the buffer holds a short line's worth every
// complete line is cut, then an over-long rest is trimmed.
struct Receiver
{
    QByteArray buffer;
    QList<QByteArray> lines;
    qint64 received = 0, cut = 0, dropped = 0;

    void receive(const QByteArray &fragment)
    {
        buffer.append(fragment);
        received += fragment.size();
        if (buffer.size() <= kShortLength - 1)
            return;
        for (QByteArray line = takeLine(buffer); !line.isEmpty(); line = takeLine(buffer)) {
            require(line.indexOf('\n') == line.size() - 1, "a line ends at its first line feed");
            checkParsed(line);
            lines << line;
            cut += line.size();
        }
        require(!buffer.contains('\n'), "no complete line is left behind");
        dropped += dropOverflow(buffer);
        require(buffer.size() <= kMaxPending, "the unterminated rest is bounded");
        require(cut + buffer.size() + dropped == received, "every byte is accounted for");
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    Receiver pieces, whole;
    QByteArray stream;
    while (provider.remaining_bytes() > 0) {
        // Mostly small reads, now and then a large one.
        const std::string bytes = provider.ConsumeBytesAsString(provider.ConsumeBool() ? provider.ConsumeIntegralInRange<size_t>(0, 24)
                                                                                        : provider.ConsumeIntegralInRange<size_t>(0, 4096));
        stream += QByteArray(bytes.data(), int(bytes.size()));
        pieces.receive(QByteArray(bytes.data(), int(bytes.size())));
    }
    whole.receive(stream);
    if (pieces.dropped == 0 && whole.dropped == 0) {
        // The fragmented run may still hold back lines of a short last read.
        require(pieces.lines == whole.lines.mid(0, pieces.lines.size()), "fragments cut the same lines");
        require(pieces.lines.join() + pieces.buffer == stream, "the bytes are kept in order");
    }
    return 0;
}
