#pragma once

#include "support/row.h"

#include <QSqlDatabase>
#include <QString>

// The SHA-256 chains of the recorded rows and of the audit trail: who
// records, and how an entry is hashed. Each entry holds its collector, its
// place in that collector's chain (seq, from 1) and the hash of the entry
// before it; its own hash covers that hash and every value of the entry.
// Changing, removing or adding an entry with anything but this code breaks
// the chain where it happened (see ChainVerifier).
namespace Veltrano::Chain {

// Who records: this host and folder (one collector per folder), the host,
// the operating-system user.
QString collectorId();
QString hostName();
QString userName();
// Now, as provenance and audit entries write moments: 2026-12-07T21:35:00.123Z.
QString utcNow();

// The hash of a row and of an audit entry: SHA-256, as 64 lower-case hex
// digits, over every value, each as its length (4 bytes, big-endian) and its
// bytes (UTF-8 for texts, decimal digits for numbers), so that no two
// different entries are encoded alike.
QString rowHash(const QString &previous, const QString &collector, qint64 seq, const Row &row);

struct AuditEntry
{
    qint64 key = 0;
    QString collector;
    qint64 seq = 0;
    QString atUtc;
    QString host;
    QString user;
    QString kind;
    QString details;  // compact JSON
    QString previous;
    QString hash;
};
QString auditHash(const AuditEntry &entry);

// The head of a collector's chain in `table` ("provenance" or "audit"): the
// hash of its last entry (empty, never null, for an empty chain) and its seq.
// Within a transaction; on a server the chain is locked until it ends, so
// that two writers never link to the same head.
QString readHead(const QSqlDatabase &db, const char *table, qint64 *seq, bool *ok);

} // namespace Veltrano::Chain
