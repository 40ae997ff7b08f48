#include "export/compoundfile.h"

#include <QIODevice>
#include <QtEndian>

namespace Veltrano {

namespace {

// Free sectors (0xFFFFFFFF) need no constant: the tables below start filled with 0xFF.
constexpr quint32 kEndOfChain = 0xFFFFFFFE;
constexpr quint32 kFatSect = 0xFFFFFFFD;
constexpr quint32 kDifSect = 0xFFFFFFFC;
constexpr quint32 kNoStream = 0xFFFFFFFF;

constexpr int kIdsPerSector = CompoundFileWriter::kSectorSize / 4;
constexpr int kHeaderDifatEntries = 109;
constexpr int kDirEntrySize = 128;
constexpr int kBufferSize = 64 * 1024;

void putU16(QByteArray &bytes, int offset, quint16 value)
{
    qToLittleEndian(value, bytes.data() + offset);
}

void putU32(QByteArray &bytes, int offset, quint32 value)
{
    qToLittleEndian(value, bytes.data() + offset);
}

QByteArray directoryEntry(const QString &name, quint8 type, quint32 child, quint32 start, quint64 size)
{
    QByteArray entry(kDirEntrySize, '\0');
    for (int i = 0; i < name.size(); ++i)
        putU16(entry, 2 * i, name.at(i).unicode());
    putU16(entry, 64, quint16(2 * (name.size() + 1)));
    entry[66] = char(type);
    entry[67] = 1;  // black: a tree of one node per level
    putU32(entry, 68, kNoStream);
    putU32(entry, 72, kNoStream);
    putU32(entry, 76, child);
    putU32(entry, 116, start);
    putU32(entry, 120, quint32(size));
    putU32(entry, 124, quint32(size >> 32));
    return entry;
}

QByteArray unusedEntry()
{
    QByteArray entry(kDirEntrySize, '\0');
    putU32(entry, 68, kNoStream);
    putU32(entry, 72, kNoStream);
    putU32(entry, 76, kNoStream);
    return entry;
}

} // namespace

CompoundFileWriter::CompoundFileWriter(QIODevice *device, const QString &streamName)
    : m_device(device)
    , m_streamName(streamName.left(31))
{
}

bool CompoundFileWriter::begin()
{
    m_buffer.reserve(kBufferSize + kSectorSize);
    if (!m_device->seek(0))
        return fail(QStringLiteral("cannot seek"));
    return put(QByteArray(kSectorSize, '\0'));
}

bool CompoundFileWriter::write(const char *data, qint64 size)
{
    if (!m_error.isEmpty())
        return false;
    m_buffer.append(data, int(size));
    m_streamSize += size;
    return m_buffer.size() < kBufferSize || flush();
}

bool CompoundFileWriter::finish()
{
    if (!m_error.isEmpty())
        return false;

    // The stream fills whole sectors; a short one is padded to the cutoff.
    const qint64 streamSize = qMax(m_streamSize, kMinStreamSize);
    const qint64 padded = (streamSize + kSectorSize - 1) / kSectorSize * kSectorSize;
    m_buffer.append(QByteArray(int(padded - m_streamSize), '\0'));
    if (!flush())
        return false;

    // Sectors: the stream, one directory sector, the FAT, the DIFAT. The FAT
    // has to describe its own sectors and those of the DIFAT, so its size is
    // found by growing it until it covers everything.
    const quint32 streamSectors = quint32(padded / kSectorSize);
    const quint32 dirSector = streamSectors;
    quint32 fatSectors = 0;
    quint32 difatSectors = 0;
    for (;;) {
        const quint64 total = quint64(streamSectors) + 1 + fatSectors + difatSectors;
        const quint32 needFat = quint32((total + kIdsPerSector - 1) / kIdsPerSector);
        const quint32 needDifat =
            needFat > kHeaderDifatEntries ? (needFat - kHeaderDifatEntries + kIdsPerSector - 2) / (kIdsPerSector - 1) : 0;
        if (needFat == fatSectors && needDifat == difatSectors)
            break;
        fatSectors = needFat;
        difatSectors = needDifat;
    }
    const quint32 firstFat = dirSector + 1;
    const quint32 firstDifat = firstFat + fatSectors;
    const quint32 totalSectors = firstDifat + difatSectors;

    QByteArray directory = directoryEntry(QStringLiteral("Root Entry"), 5, 1, kEndOfChain, 0);
    directory += directoryEntry(m_streamName, 2, kNoStream, 0, quint64(streamSize));
    while (directory.size() < kSectorSize)
        directory += unusedEntry();

    QByteArray fat(int(fatSectors) * kSectorSize, char(0xFF));
    for (quint32 s = 0; s + 1 < streamSectors; ++s)
        putU32(fat, int(4 * s), s + 1);
    putU32(fat, int(4 * (streamSectors - 1)), kEndOfChain);
    putU32(fat, int(4 * dirSector), kEndOfChain);
    for (quint32 s = firstFat; s < firstDifat; ++s)
        putU32(fat, int(4 * s), kFatSect);
    for (quint32 s = firstDifat; s < totalSectors; ++s)
        putU32(fat, int(4 * s), kDifSect);

    // FAT sector numbers beyond the first 109 go to the DIFAT sectors, 127
    // per sector, each sector ending with the number of the next one.
    QByteArray difat(int(difatSectors) * kSectorSize, char(0xFF));
    for (quint32 i = kHeaderDifatEntries; i < fatSectors; ++i) {
        const quint32 k = i - kHeaderDifatEntries;
        putU32(difat, int(k / (kIdsPerSector - 1) * kSectorSize + k % (kIdsPerSector - 1) * 4), firstFat + i);
    }
    for (quint32 d = 0; d < difatSectors; ++d)
        putU32(difat, int(d * kSectorSize + (kIdsPerSector - 1) * 4),
               d + 1 < difatSectors ? firstDifat + d + 1 : kEndOfChain);

    QByteArray header(kSectorSize, char(0xFF));
    header.replace(0, 76, QByteArray(76, '\0'));
    header.replace(0, 8, QByteArray::fromHex("D0CF11E0A1B11AE1"));
    putU16(header, 24, 0x003E);     // minor version
    putU16(header, 26, 0x0003);     // major version: 512-byte sectors
    putU16(header, 28, 0xFFFE);     // little-endian
    putU16(header, 30, 9);          // sector shift
    putU16(header, 32, 6);          // mini sector shift
    putU32(header, 44, fatSectors);
    putU32(header, 48, dirSector);
    putU32(header, 56, quint32(kMinStreamSize));
    putU32(header, 60, kEndOfChain);  // no mini FAT
    putU32(header, 68, difatSectors ? firstDifat : kEndOfChain);
    putU32(header, 72, difatSectors);
    for (quint32 i = 0; i < fatSectors && i < kHeaderDifatEntries; ++i)
        putU32(header, int(76 + 4 * i), firstFat + i);

    if (!put(directory) || !put(fat) || !put(difat))
        return false;
    if (!m_device->seek(0))
        return fail(QStringLiteral("cannot seek"));
    return put(header);
}

bool CompoundFileWriter::flush()
{
    const bool ok = put(m_buffer);
    m_buffer.resize(0);
    return ok;
}

bool CompoundFileWriter::put(const QByteArray &bytes)
{
    if (!m_error.isEmpty())
        return false;
    if (m_device->write(bytes) != bytes.size())
        return fail(m_device->errorString());
    return true;
}

bool CompoundFileWriter::fail(const QString &what)
{
    if (m_error.isEmpty())
        m_error = what.isEmpty() ? QStringLiteral("write error") : what;
    return false;
}

} // namespace Veltrano
