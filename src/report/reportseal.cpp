#include "report/reportseal.h"

#include "support/sha256.h"

#include <QFile>
#include <QRegularExpression>
#include <QXmlStreamReader>
#include <QtEndian>

#include <algorithm>
#include <limits>
#include <map>

namespace Veltrano {

namespace {

const QString kNamespace = QStringLiteral("http://veltrano.example.org/ns/report-seal/1.0/");
const QByteArray kXmpStart("<x:xmpmeta");
const QByteArray kXmpEnd("</x:xmpmeta>");
// A PDF larger than this is no report of ours.
constexpr qint64 kMostFileBytes = 512 * 1024 * 1024;

void addKey(Sha256 &hash, qint64 key)
{
    char bytes[8];
    qToBigEndian(quint64(key), bytes);
    hash.addData(bytes, 8);
}

// A text as its length (4 bytes, big-endian) and its UTF-8 bytes, as the
// chains encode their values.
void addText(Sha256 &hash, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    char length[4];
    qToBigEndian(quint32(bytes.size()), length);
    hash.addData(length, 4);
    hash.addData(bytes);
}

QString hex(Sha256 &hash)
{
    return QString::fromLatin1(hash.result().toHex());
}

bool isDigest(const QString &text)
{
    static const QRegularExpression digest(QStringLiteral("^[0-9a-f]{64}$"));
    return digest.match(text).hasMatch();
}

QString rangesText(const QVector<QPair<qint64, qint64>> &ranges)
{
    QStringList parts;
    parts.reserve(ranges.size());
    for (const auto &range : ranges) {
        parts << (range.first == range.second ? QString::number(range.first)
                                              : QStringLiteral("%1..%2").arg(range.first).arg(range.second));
    }
    return parts.join(QLatin1Char(','));
}

// The keys of "1..5,9", at most `most` of them (more is an error).
bool parseRanges(QString text, qint64 most, QVector<qint64> *keys)
{
    text.remove(QRegularExpression(QStringLiteral("\\s")));
    if (text.isEmpty())
        return most == 0;
    for (const QString &part : text.split(QLatin1Char(','))) {
        const int dots = part.indexOf(QLatin1String(".."), 1);
        bool firstOk = false, lastOk = true;
        const qint64 first = (dots < 0 ? part : part.left(dots)).toLongLong(&firstOk);
        const qint64 last = dots < 0 ? first : part.mid(dots + 2).toLongLong(&lastOk);
        if (!firstOk || !lastOk || last < first || quint64(last) - quint64(first) >= quint64(most - keys->size()))
            return false;
        for (qint64 n = 0; n <= last - first; ++n)
            keys->append(first + n);
    }
    return keys->size() == most;
}

QString hashesText(const QStringList &hashes)
{
    QString text;
    text.reserve(hashes.size() * 65);
    for (const QString &hash : hashes) {
        if (!text.isEmpty())
            text += QLatin1Char('\n');
        text += hash.isEmpty() ? QStringLiteral("-") : hash;
    }
    return text;
}

QString base64Lines(const QByteArray &bytes)
{
    const QByteArray text = bytes.toBase64();
    QByteArray lines;
    lines.reserve(text.size() + text.size() / 76 + 1);
    for (int at = 0; at < text.size(); at += 76) {
        if (at)
            lines += '\n';
        lines += text.mid(at, 76);
    }
    return QString::fromLatin1(lines);
}

// The digest over every other field: a seal whose bytes were changed
// anywhere gives another one.
QString sealDigest(const ReportSeal &seal)
{
    Sha256 hash;
    addText(hash, QString::number(seal.version));
    addText(hash, seal.chainHead);
    addText(hash, seal.madeAt);
    addText(hash, QString::number(seal.keys.size()));
    addText(hash, rangesText(seal.keyRanges()));
    addText(hash, seal.rowsDigest);
    addText(hash, QString::fromLatin1(seal.tags.toHex()));
    addText(hash, hashesText(seal.hashes));
    addText(hash, seal.contentDigest);
    return hex(hash);
}

QByteArray tagsOf(const QVector<qint64> &keys, const QStringList &hashes)
{
    QByteArray tags;
    tags.reserve(keys.size() * ReportSeal::kTagBytes);
    for (int i = 0; i < keys.size(); ++i)
        tags += rowTag(keys[i], hashes[i]);
    return tags;
}

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

// A zlib stream (FlateDecode) inflated; empty when it is not one.
QByteArray inflate(const QByteArray &data)
{
    // qUncompress wants the inflated size in front and grows its buffer
    // when the guess is short.
    QByteArray input(4, '\0');
    qToBigEndian(quint32(std::min<qint64>(qint64(data.size()) * 4, 64 * 1024 * 1024)), input.data());
    input += data;
    return qUncompress(input);
}

// Whether the name "/Metadata" at `at` is the value of a dictionary's /Type.
bool isTypeMetadata(const QByteArray &pdf, qsizetype at)
{
    const qsizetype after = at + 9;
    if (after < pdf.size() && QChar::isLetterOrNumber(uchar(pdf.at(after))))
        return false;
    qsizetype before = at;
    while (before > 0 && QChar::isSpace(uchar(pdf.at(before - 1))))
        --before;
    return before >= 5 && pdf.mid(before - 5, 5) == "/Type";
}

// Every XMP packet of a PDF's bytes with where it is: those written as
// they are, and those of metadata streams compressed with FlateDecode.
std::map<qsizetype, QByteArray> xmpPackets(const QByteArray &pdf)
{
    std::map<qsizetype, QByteArray> packets;
    for (qsizetype at = pdf.indexOf(kXmpStart); at >= 0; at = pdf.indexOf(kXmpStart, at + 1)) {
        const qsizetype end = pdf.indexOf(kXmpEnd, at);
        if (end < 0)
            break;
        packets[at] = pdf.mid(at, end + kXmpEnd.size() - at);
    }
    for (qsizetype type = pdf.indexOf("/Metadata"); type >= 0; type = pdf.indexOf("/Metadata", type + 1)) {
        if (!isTypeMetadata(pdf, type))
            continue;
        const qsizetype dictionary = pdf.lastIndexOf("obj", type);
        qsizetype stream = pdf.indexOf("stream", type);
        if (dictionary < 0 || stream < 0 || !pdf.mid(dictionary, stream - dictionary).contains("/FlateDecode"))
            continue;
        stream += 6;
        if (pdf.mid(stream, 2) == "\r\n")
            stream += 2;
        else if (pdf.mid(stream, 1) == "\n")
            stream += 1;
        const qsizetype end = pdf.indexOf("endstream", stream);
        if (end < 0)
            continue;
        const QByteArray packet = inflate(pdf.mid(stream, end - stream));
        const qsizetype start = packet.indexOf(kXmpStart);
        const qsizetype close = packet.indexOf(kXmpEnd, start);
        if (start >= 0 && close > start)
            packets[type] = packet.mid(start, close + kXmpEnd.size() - start);
    }
    return packets;
}

} // namespace

QVector<QPair<qint64, qint64>> ReportSeal::keyRanges() const
{
    QVector<QPair<qint64, qint64>> ranges;
    for (const qint64 key : keys) {
        if (!ranges.isEmpty() && ranges.last().second != std::numeric_limits<qint64>::max() &&
            key == ranges.last().second + 1)
            ranges.last().second = key;
        else
            ranges.append({key, key});
    }
    return ranges;
}

QString rowsDigest(const QVector<qint64> &keys, const QStringList &hashes)
{
    Sha256 hash;
    for (int i = 0; i < keys.size(); ++i) {
        addKey(hash, keys[i]);
        addText(hash, hashes[i]);
    }
    return hex(hash);
}

QByteArray rowTag(qint64 key, const QString &hash)
{
    Sha256 pair;
    addKey(pair, key);
    addText(pair, hash);
    return pair.result().left(ReportSeal::kTagBytes);
}

QString contentDigest(const QVector<ReportRow> &rows)
{
    Sha256 hash;
    for (const ReportRow &row : rows) {
        addKey(hash, row.key);
        for (const QString &text : {row.instrument, row.sampleId, row.date, row.time, row.result, row.unit,
                                    shownKindText(row.kind), resultClassText(row.resultClass)})
            addText(hash, text);
    }
    return hex(hash);
}

ReportSeal makeSeal(const ReportData &data)
{
    ReportSeal seal;
    seal.chainHead = data.chainHead.toLower();
    seal.madeAt = data.madeAt.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
    QStringList hashes;
    seal.keys.reserve(data.rows.size());
    hashes.reserve(data.rows.size());
    for (const ReportRow &row : data.rows) {
        seal.keys.append(row.key);
        hashes.append(row.hash.toLower());
    }
    seal.rowsDigest = rowsDigest(seal.keys, hashes);
    seal.tags = tagsOf(seal.keys, hashes);
    if (hashes.size() <= ReportSeal::kFullListRows)
        seal.hashes = hashes;
    seal.contentDigest = contentDigest(data.rows);
    return seal;
}

QByteArray sealXmp(const ReportSeal &seal, const QString &title, const QString &creatorTool)
{
    const auto element = [](const char *name, const QString &text) {
        return QStringLiteral("   <vtseal:%1>%2</vtseal:%1>\n").arg(QLatin1String(name), text.toHtmlEscaped());
    };
    QString xmp;
    xmp += QStringLiteral("<?xpacket begin=\"\uFEFF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
                          "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
                          " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
                          "  <rdf:Description rdf:about=\"\"\n"
                          "    xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
                          "    xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"\n"
                          "    xmlns:pdf=\"http://ns.adobe.com/pdf/1.3/\"\n"
                          "    xmlns:vtseal=\"%1\">\n")
               .arg(kNamespace);
    xmp += QStringLiteral("   <dc:format>application/pdf</dc:format>\n"
                          "   <dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">%1</rdf:li></rdf:Alt></dc:title>\n"
                          "   <xmp:CreateDate>%2</xmp:CreateDate>\n"
                          "   <xmp:CreatorTool>%3</xmp:CreatorTool>\n"
                          "   <pdf:Producer>Qt %4</pdf:Producer>\n")
               .arg(title.toHtmlEscaped(), seal.madeAt, creatorTool.toHtmlEscaped(), QLatin1String(qVersion()));
    xmp += element("version", QString::number(seal.version));
    xmp += element("chainHead", seal.chainHead);
    xmp += element("madeAt", seal.madeAt);
    xmp += element("rowCount", QString::number(seal.keys.size()));
    xmp += element("keys", rangesText(seal.keyRanges()));
    xmp += element("rowsDigest", seal.rowsDigest);
    xmp += element("rowTags", base64Lines(seal.tags));
    if (!seal.hashes.isEmpty())
        xmp += element("rowHashes", hashesText(seal.hashes));
    xmp += element("contentDigest", seal.contentDigest);
    xmp += element("sealDigest", sealDigest(seal));
    xmp += QStringLiteral("  </rdf:Description>\n"
                          " </rdf:RDF>\n"
                          "</x:xmpmeta>\n"
                          "<?xpacket end=\"r\"?>");
    return xmp.toUtf8();
}

std::optional<ReportSeal> parseSealXmp(const QByteArray &xmp, QString *error)
{
    QHash<QString, QString> fields;
    QXmlStreamReader reader(xmp);
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement || reader.namespaceUri() != kNamespace)
            continue;
        const QString name = reader.name().toString();
        const QString text = reader.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
        if (fields.contains(name)) {
            fail(error, QStringLiteral("the seal holds %1 twice").arg(name));
            return std::nullopt;
        }
        fields.insert(name, text.trimmed());
    }
    if (reader.hasError()) {
        fail(error, QStringLiteral("the seal is not readable XML: %1").arg(reader.errorString()));
        return std::nullopt;
    }
    if (fields.isEmpty()) {
        fail(error, QStringLiteral("the metadata holds no seal"));
        return std::nullopt;
    }

    ReportSeal seal;
    bool ok = false;
    seal.version = fields.value(QStringLiteral("version")).toInt(&ok);
    if (!ok || seal.version < 1) {
        fail(error, QStringLiteral("the seal has no format version"));
        return std::nullopt;
    }
    if (seal.version > ReportSeal::kVersion) {
        fail(error, QStringLiteral("the seal is of format %1, which this version does not read").arg(seal.version));
        return std::nullopt;
    }
    const QString damaged = QStringLiteral("the seal is damaged: ");
    seal.chainHead = fields.value(QStringLiteral("chainHead"));
    seal.madeAt = fields.value(QStringLiteral("madeAt"));
    seal.rowsDigest = fields.value(QStringLiteral("rowsDigest"));
    seal.contentDigest = fields.value(QStringLiteral("contentDigest"));
    const QString written = fields.value(QStringLiteral("sealDigest"));
    if ((!seal.chainHead.isEmpty() && !isDigest(seal.chainHead)) || !isDigest(seal.rowsDigest) ||
        !isDigest(seal.contentDigest) || !isDigest(written)) {
        fail(error, damaged + QStringLiteral("a digest is not 64 hex digits"));
        return std::nullopt;
    }
    const qint64 count = fields.value(QStringLiteral("rowCount")).toLongLong(&ok);
    seal.tags = QByteArray::fromBase64(fields.value(QStringLiteral("rowTags")).toLatin1());
    // The tags bound the count, and so what the key ranges may expand to.
    if (!ok || count < 0 || seal.tags.size() != count * ReportSeal::kTagBytes) {
        fail(error, damaged + QStringLiteral("the row tags do not match the row count"));
        return std::nullopt;
    }
    if (!parseRanges(fields.value(QStringLiteral("keys")), count, &seal.keys)) {
        fail(error, damaged + QStringLiteral("the keys do not match the row count"));
        return std::nullopt;
    }
    if (fields.contains(QStringLiteral("rowHashes"))) {
        static const QRegularExpression space(QStringLiteral("\\s+"));
        const QStringList hashes = fields.value(QStringLiteral("rowHashes")).split(space, Qt::SkipEmptyParts);
        for (const QString &hash : hashes) {
            if (hash != QLatin1String("-") && !isDigest(hash)) {
                fail(error, damaged + QStringLiteral("a row's hash is not 64 hex digits"));
                return std::nullopt;
            }
            seal.hashes.append(hash == QLatin1String("-") ? QString() : hash);
        }
        if (seal.hashes.size() != count) {
            fail(error, damaged + QStringLiteral("the row hashes do not match the row count"));
            return std::nullopt;
        }
    }
    if (sealDigest(seal) != written) {
        fail(error, damaged + QStringLiteral("its digest does not match what it holds"));
        return std::nullopt;
    }
    if (!seal.hashes.isEmpty() &&
        (rowsDigest(seal.keys, seal.hashes) != seal.rowsDigest || tagsOf(seal.keys, seal.hashes) != seal.tags)) {
        fail(error, damaged + QStringLiteral("the row hashes do not give its digest"));
        return std::nullopt;
    }
    if (error)
        error->clear();
    return seal;
}

std::optional<ReportSeal> readSeal(const QString &pdfPath, QString *error)
{
    QFile file(pdfPath);
    if (!file.open(QIODevice::ReadOnly)) {
        fail(error, QStringLiteral("%1 cannot be read: %2").arg(pdfPath, file.errorString()));
        return std::nullopt;
    }
    if (file.size() > kMostFileBytes) {
        fail(error, QStringLiteral("%1 is too large for a report").arg(pdfPath));
        return std::nullopt;
    }
    const QByteArray pdf = file.readAll();
    if (!pdf.startsWith("%PDF-")) {
        fail(error, QStringLiteral("%1 is not a PDF file").arg(pdfPath));
        return std::nullopt;
    }
    // A program that saved the file again may have added its own packet
    // after ours: the last one with a seal is the document's.
    const auto packets = xmpPackets(pdf);
    for (auto packet = packets.rbegin(); packet != packets.rend(); ++packet) {
        if (!packet->second.contains(kNamespace.toLatin1()))
            continue;
        QString why;
        auto seal = parseSealXmp(packet->second, &why);
        if (!seal)
            fail(error, QStringLiteral("%1: %2").arg(pdfPath, why));
        else if (error)
            error->clear();
        return seal;
    }
    fail(error, QStringLiteral("%1 holds no report seal").arg(pdfPath));
    return std::nullopt;
}

SealCheck checkSeal(const ReportSeal &seal, const QHash<qint64, QString> &current)
{
    SealCheck check;
    const bool full = seal.hashes.size() == seal.keys.size();
    QStringList hashes;
    hashes.reserve(seal.keys.size());
    for (int i = 0; i < seal.keys.size(); ++i) {
        const qint64 key = seal.keys[i];
        const auto found = current.constFind(key);
        if (found == current.constEnd()) {
            check.missing.append(key);
            hashes.append(QString());
            continue;
        }
        const QString hash = found.value().toLower();
        hashes.append(hash);
        const bool same = full ? hash == seal.hashes[i]
                               : rowTag(key, hash) == seal.tags.mid(i * ReportSeal::kTagBytes, ReportSeal::kTagBytes);
        if (!same)
            check.changed.append(key);
    }
    check.unchanged = check.missing.isEmpty() && check.changed.isEmpty() && rowsDigest(seal.keys, hashes) == seal.rowsDigest;
    return check;
}

QString SealCheck::summary() const
{
    const auto keys = [](const QVector<qint64> &list) {
        QStringList shown;
        for (int i = 0; i < list.size() && i < 20; ++i)
            shown << QString::number(list[i]);
        if (list.size() > 20)
            shown << QStringLiteral("…");
        return shown.join(QStringLiteral(", "));
    };
    if (unchanged)
        return QStringLiteral("unchanged: every row the report shows is as it was sealed");
    if (changedUnlocated())
        return QStringLiteral("changed: the rows differ from the seal, but not in a way that names the rows");
    QStringList parts;
    if (!changed.isEmpty())
        parts << QStringLiteral("%1 changed (keys %2)").arg(changed.size()).arg(keys(changed));
    if (!missing.isEmpty())
        parts << QStringLiteral("%1 no longer in the database (keys %2)").arg(missing.size()).arg(keys(missing));
    return QStringLiteral("changed: rows %1").arg(parts.join(QStringLiteral("; ")));
}

} // namespace Veltrano
