#pragma once

#include <QSqlDatabase>
#include <QString>

#include <functional>

namespace Veltrano::ChainVerifier {

// What a walk through the chains (see Chain) found. A row is intact when
// its values and provenance still give the hash its chain holds.
struct Report
{
    qint64 rows = 0;               // rows of `data` and of the archive with provenance
    qint64 archived = 0;           // of them in the archive (moved there by a clear)
    qint64 intact = 0;
    qint64 changed = 0;            // values or provenance differ from the hash
    qint64 removed = 0;            // provenance without its row, or gaps in a chain
    qint64 added = 0;              // rows without provenance written after it began
    qint64 withoutProvenance = 0;  // rows written before it began
    qint64 auditEntries = 0;
    qint64 auditBroken = 0;        // entries changed, removed or out of place
    QString error;                 // the database's text when it could not be read

    bool broken() const { return changed || removed || added || auditBroken || !error.isEmpty(); }
    // One line: "intact: ..." or "broken: ..." with the counts.
    QString summary() const;
};

// Walks every chain of `db`, read only, streaming (millions of rows take
// seconds); each finding goes to `finding` as one line that names the row
// by key, date, time and instrument, or the audit entry by key, moment and kind.
Report verify(const QSqlDatabase &db, const std::function<void(const QString &line)> &finding);

} // namespace Veltrano::ChainVerifier
