#pragma once

#include "report/reportdata.h"

#include <QByteArray>
#include <QHash>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// The seal a report carries, so that a verifier can tell later whether the
// rows it shows are still those of the database: every row's key, in the
// report's order, and what its hash was.
//
// It goes into the PDF's XMP metadata (an uncompressed stream, where any
// tool that looks for XMP finds it), as elements of its own namespace:
//
//   version        the seal's format, 1
//   chainHead      the chain head the rows were read under
//   madeAt         when the report was made, UTC
//   rowCount
//   keys           the keys as runs of consecutive ones: "1..5000,5002,5007..5010"
//   rowsDigest     SHA-256 over every (key, hash) pair in order: whether any changed
//   rowTags        4 bytes per row (Base64) from the SHA-256 of its pair: which
//   rowHashes      each row's hash itself ("-" for none), up to kFullListRows rows
//   contentDigest  SHA-256 over the texts the report shows of each row
//   sealDigest     SHA-256 over all of the above: the seal read back is the one written
//
// A 10,000-row report's seal takes some 60 KB, most of it the tags.
namespace Veltrano {

struct ReportSeal
{
    static constexpr int kVersion = 1;
    static constexpr int kTagBytes = 4;
    static constexpr int kFullListRows = 1000;

    int version = kVersion;
    QString chainHead;
    QString madeAt;        // ISO 8601 UTC, 2026-03-02T09:15:00Z
    QVector<qint64> keys;  // in the report's order
    QString rowsDigest;    // 64 hex digits
    QByteArray tags;       // kTagBytes per row
    QStringList hashes;    // one per row (empty for none), or none at all for a long report
    QString contentDigest;

    // The keys as runs of consecutive ones, each first and last.
    QVector<QPair<qint64, qint64>> keyRanges() const;
};

// The seal of `data` as the report writes it.
ReportSeal makeSeal(const ReportData &data);

// The digests the seal holds, for whoever reads the rows again.
QString rowsDigest(const QVector<qint64> &keys, const QStringList &hashes);
QByteArray rowTag(qint64 key, const QString &hash);
QString contentDigest(const QVector<ReportRow> &rows);

// The XMP packet that holds the seal, with the document's title and the
// program that made it; and the seal read back from such a packet (nothing,
// with the reason in `error`, when it holds none or one that is damaged).
QByteArray sealXmp(const ReportSeal &seal, const QString &title, const QString &creatorTool);
std::optional<ReportSeal> parseSealXmp(const QByteArray &xmp, QString *error);

// The seal of a report's PDF, from the file's bytes: the last XMP packet
// that holds one (a stream compressed by a program that saved the PDF again
// is inflated).
std::optional<ReportSeal> readSeal(const QString &pdfPath, QString *error);

// How the rows a seal names stand in the database now.
struct SealCheck
{
    bool unchanged = false;   // every row there with the hash sealed (the digest agrees)
    QVector<qint64> missing;  // keys the database no longer holds
    QVector<qint64> changed;  // rows whose hash is not the one sealed
    // Every row's tag agrees but the digest does not (4 bytes cannot tell
    // every change apart): the rows changed, which is not known.
    bool changedUnlocated() const { return !unchanged && missing.isEmpty() && changed.isEmpty(); }
    QString summary() const;
};

// `current`: the hash each of the seal's keys has in the database now
// (empty for a row without provenance); a key it does not hold is missing.
SealCheck checkSeal(const ReportSeal &seal, const QHash<qint64, QString> &current);

} // namespace Veltrano
