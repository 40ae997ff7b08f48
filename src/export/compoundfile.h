#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class QIODevice;

namespace Veltrano {

// Writes a Compound File (version 3, 512-byte sectors) that holds one stream
// below the root storage, straight into a seekable device.
//
// The stream's bytes go out as they come, in consecutive sectors right after
// the header, so no more than one buffer of them is ever held in memory. The
// directory, the allocation table and, for files beyond about 7 MB, the DIFAT
// sectors follow the stream; the header is written last, over the space kept
// for it at the start.
//
// A stream shorter than 4096 bytes would have to live in the mini stream;
// instead it is padded with zero bytes to 4096, so the file needs neither a
// mini stream nor a mini allocation table. Readers of our one stream (a
// workbook) stop at its end-of-file record and never see the padding.
class CompoundFileWriter
{
public:
    static constexpr int kSectorSize = 512;
    static constexpr qint64 kMinStreamSize = 4096;

    // `streamName` has at most 31 UTF-16 code units.
    CompoundFileWriter(QIODevice *device, const QString &streamName);

    // Keeps the room for the header; the device must be open for writing.
    bool begin();
    // Appends to the stream.
    bool write(const char *data, qint64 size);
    bool write(const QByteArray &bytes) { return write(bytes.constData(), bytes.size()); }
    // Bytes of the stream so far (without the padding that finish() adds).
    qint64 streamPos() const { return m_streamSize; }
    // Pads the stream, writes directory, allocation tables and header.
    bool finish();

    QString errorString() const { return m_error; }

private:
    bool flush();
    bool put(const QByteArray &bytes);
    bool fail(const QString &what);

    QIODevice *m_device;
    QString m_streamName;
    QByteArray m_buffer;
    qint64 m_streamSize = 0;
    QString m_error;
};

} // namespace Veltrano
