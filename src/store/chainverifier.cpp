#include "store/chainverifier.h"

#include "store/archive.h"
#include "store/audit.h"
#include "store/chainhash.h"
#include "store/provenance.h"
#include "store/sqlbackend.h"
#include "store/weighingtable.h"
#include "store/measurementdb.h"

#include <QDateTime>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace Veltrano::ChainVerifier {

namespace {

// A chain walked in seq order: whether the next entry follows the last one.
struct Link
{
    QString collector;
    qint64 seq = 0;
    QString hash = QStringLiteral("");

    // Missing entries before the one at `seq` (the first of a chain is 1).
    qint64 gapBefore(const QString &entryCollector, qint64 entrySeq)
    {
        if (entryCollector != collector) {
            collector = entryCollector;
            seq = 0;
            hash = QStringLiteral("");
        }
        return qMax<qint64>(0, entrySeq - seq - 1);
    }
    void advance(qint64 entrySeq, const QString &entryHash)
    {
        seq = entrySeq;
        hash = entryHash;
    }
};

// The local date and time a tick gave its row: 2026-12-07 21:35:00.
QString localMoment(const QString &tickUtc, int offsetSeconds)
{
    const QDateTime tick = QDateTime::fromString(tickUtc, Qt::ISODateWithMs);
    if (!tick.isValid())
        return tickUtc;
    return tick.toOffsetFromUtc(offsetSeconds).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

struct AuditFacts
{
    qint64 boundary = 0;  // rows up to this key were recorded before provenance began
    qint64 lastClear = 0; // the key of the last clear
    qint64 lastDeletingClear = 0;  // of the last clear that deleted its rows (before the archive)
    QHash<qint64, qint64> archivedWithout;  // by clear: its archived rows from before the chains
    struct StopHead
    {
        qint64 entry = 0;
        qint64 seq = 0;
        QString hash;
        QString at;
    };
    QHash<QString, StopHead> heads;  // each collector's last recorded stop
};

bool walkAudit(const QSqlDatabase &db, Report *report, AuditFacts *facts,
               const std::function<void(const QString &)> &finding)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT id, collector, seq, at_utc, host, os_user, kind, details, prev_hash, hash "
                                   "FROM audit ORDER BY collector, seq;"))) {
        report->error = query.lastError().text();
        return false;
    }
    Link link;
    qint64 began = 0;
    while (query.next()) {
        Chain::AuditEntry entry;
        entry.key = query.value(0).toLongLong();
        entry.collector = query.value(1).toString();
        entry.seq = query.value(2).toLongLong();
        entry.atUtc = query.value(3).toString();
        entry.host = query.value(4).toString();
        entry.user = query.value(5).toString();
        entry.kind = query.value(6).toString();
        entry.details = query.value(7).toString();
        entry.previous = query.value(8).toString();
        entry.hash = query.value(9).toString();
        ++report->auditEntries;
        const QString name = QStringLiteral("audit entry %1 (%2, %3)").arg(entry.key).arg(entry.atUtc, entry.kind);
        bool fits = true;
        if (const qint64 gap = link.gapBefore(entry.collector, entry.seq)) {
            finding(QStringLiteral("%1: %2 audit entries removed before it").arg(name).arg(gap));
            fits = false;
        } else if (entry.previous != link.hash) {
            finding(QStringLiteral("%1: does not follow the entry before it").arg(name));
            fits = false;
        }
        if (Chain::auditHash(entry) != entry.hash) {
            finding(QStringLiteral("%1: changed").arg(name));
            fits = false;
        }
        if (!fits)
            ++report->auditBroken;
        link.advance(entry.seq, entry.hash);

        const QJsonObject details = QJsonDocument::fromJson(entry.details.toUtf8()).object();
        if (entry.kind == QLatin1String(Audit::kBegan) && entry.key > began) {
            began = entry.key;
            facts->boundary = details.value(QStringLiteral("lastKeyBefore")).toVariant().toLongLong();
        } else if (entry.kind == QLatin1String(Audit::kCleared)) {
            facts->lastClear = qMax(facts->lastClear, entry.key);
            if (details.contains(QStringLiteral("archive")))
                facts->archivedWithout.insert(details.value(QStringLiteral("archive")).toVariant().toLongLong(),
                                              details.value(QStringLiteral("withoutProvenance")).toVariant().toLongLong());
            else
                facts->lastDeletingClear = qMax(facts->lastDeletingClear, entry.key);
        } else if (entry.kind == QLatin1String(Audit::kStopped) && entry.key > facts->heads.value(entry.collector).entry) {
            facts->heads.insert(entry.collector, {entry.key, details.value(QStringLiteral("headSeq")).toVariant().toLongLong(),
                                                  details.value(QStringLiteral("headHash")).toString(), entry.atUtc});
        }
    }
    // Rows before a clear are gone; the keys start afresh after it.
    if (facts->lastClear > began)
        facts->boundary = 0;
    return true;
}

// Whether the archive holds any row's provenance.
bool archiveHoldsRows(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    return Archive::exists(db) && query.exec(QStringLiteral("SELECT 1 FROM cleared_provenance LIMIT 1;")) && query.next();
}

// The rows' provenance with the row and weighing it covers, in chain order:
// those of `data`, and those a clear moved into the archive, for they are of
// the same chains. The last column is the clear's number, 0 in `data`.
QString chainStatement(const QSqlDatabase &db, bool archived)
{
    // Databases from before the check state and the weighings have neither.
    const bool checks = SqlBackend::columnExists(db, QLatin1String(Chain::kProvenanceTable), QStringLiteral("check"));
    const bool weighings = SqlBackend::tableExists(db, QLatin1String(WeighingTable::kTable));
    const QString columns = QStringLiteral("p.row_key, p.collector, p.seq, p.instrument, p.tick_utc, p.local_offset, "
                                           "p.received_utc, p.age_ms, p.raw, p.state, p.host, p.os_user, p.prev_hash, "
                                           "p.hash, d.%1, d.sampling_date, d.sampling_time, d.instrument_id, d.header, "
                                           "d.result, d.unit, %2, %3");
    const QString weighingColumns = QStringLiteral("w.row_key, w.sample, w.series, w.trigger, w.kind, w.operator, "
                                                   "w.class, w.nominal");
    QString statement =
        QStringLiteral("SELECT %1, 0 FROM provenance p LEFT JOIN data d ON d.%2 = p.row_key %3")
            .arg(columns.arg(SqlBackend::keyColumn(db), QLatin1String(checks ? "p.\"check\"" : "NULL"),
                             weighings ? weighingColumns
                                       : QStringLiteral("NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL")),
                 SqlBackend::keyColumn(db),
                 weighings ? QStringLiteral("LEFT JOIN weighing w ON w.row_key = p.row_key ") : QString());
    if (!archived)
        return statement + QStringLiteral("ORDER BY p.collector, p.seq;");
    return statement
           + QStringLiteral("UNION ALL SELECT %1, p.clear_id FROM cleared_provenance p LEFT JOIN cleared_data d ON "
                            "d.clear_id = p.clear_id AND d.row_key = p.row_key LEFT JOIN cleared_weighing w ON "
                            "w.clear_id = p.clear_id AND w.row_key = p.row_key ORDER BY 2, 3;")
                 .arg(columns.arg(QStringLiteral("row_key"), QStringLiteral("p.\"check\""), weighingColumns));
}

bool walkRows(const QSqlDatabase &db, Report *report, AuditFacts *facts,
              const std::function<void(const QString &)> &finding)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(chainStatement(db, archiveHoldsRows(db)))) {
        report->error = query.lastError().text();
        return false;
    }
    Link link;
    Row row;
    Provenance &p = row.provenance;
    // Each chain's last seq, to count the rows missing after it.
    QHash<QString, qint64> lastSeq;
    while (query.next()) {
        const qint64 rowKey = query.value(0).toLongLong();
        const QString collector = query.value(1).toString();
        const qint64 seq = query.value(2).toLongLong();
        p.instrument = query.value(3).toString();
        p.tickUtc = query.value(4).toString();
        p.offsetSeconds = query.value(5).toInt();
        p.receivedUtc = query.value(6).toString();
        p.ageMs = query.value(7).isNull() ? -1 : query.value(7).toLongLong();
        p.raw = query.value(8).toByteArray();
        p.state = query.value(9).toString();
        p.host = query.value(10).toString();
        p.user = query.value(11).toString();
        const QString previous = query.value(12).toString();
        const QString hash = query.value(13).toString();
        const bool present = !query.value(14).isNull();
        if (present) {
            row.date = query.value(15).toString();
            row.time = query.value(16).toString();
            row.name = query.value(17).toString();
            row.header = query.value(18).toString();
            row.result = query.value(19).toString();
            row.unit = query.value(20).toString();
        }
        p.check = query.value(21).toString();
        row.weighing.reset();
        if (!query.value(22).isNull()) {
            Weighing w;
            int column = 23;
            for (QString *value : {&w.sample, &w.series, &w.trigger, &w.kind, &w.operatorName, &w.weighingClass, &w.nominal})
                *value = query.value(column++).toString();
            row.weighing = w;
        }
        const qint64 clear = query.value(30).toLongLong();
        if (clear && present)
            ++report->archived;
        // Made only for a finding.
        const auto name = [&] {
            const QString where = clear ? QStringLiteral("row %1 of clear %2").arg(rowKey).arg(clear)
                                        : QStringLiteral("row %1").arg(rowKey);
            return present ? QStringLiteral("%1 (%2 %3, %4)").arg(where, row.date, row.time, row.name)
                           : QStringLiteral("%1 (%2, instrument %3)")
                                 .arg(where, localMoment(p.tickUtc, p.offsetSeconds), p.instrument);
        };
        if (collector != link.collector && !link.collector.isEmpty())
            lastSeq.insert(link.collector, link.seq);

        bool intact = present;
        if (const qint64 gap = link.gapBefore(collector, seq)) {
            finding(QStringLiteral("%1: %2 rows removed before it").arg(name()).arg(gap));
            report->removed += gap;
        } else if (previous != link.hash && present && Chain::rowHash(previous, collector, seq, row) == hash) {
            finding(QStringLiteral("%1: does not follow the row before it (its provenance was changed)").arg(name()));
            intact = false;
            ++report->changed;
        }
        if (!present) {
            finding(QStringLiteral("%1: removed").arg(name()));
            ++report->removed;
        } else {
            ++report->rows;
            if (Chain::rowHash(previous, collector, seq, row) != hash) {
                finding(QStringLiteral("%1: changed").arg(name()));
                if (intact)
                    ++report->changed;
                intact = false;
            }
        }
        if (intact)
            ++report->intact;
        link.advance(seq, hash);
        // The head a stop recorded must still be there, unchanged.
        const auto head = facts->heads.find(collector);
        if (head != facts->heads.end() && head->seq == seq) {
            if (head->hash != hash)
                finding(QStringLiteral("%1: not the row the stop at %2 recorded").arg(name(), head->at));
            facts->heads.erase(head);
        }
    }
    if (!link.collector.isEmpty())
        lastSeq.insert(link.collector, link.seq);
    for (auto it = facts->heads.cbegin(); it != facts->heads.cend(); ++it) {
        // Rows recorded before a clear that deleted them are gone with it.
        const qint64 last = lastSeq.value(it.key());
        if (it->seq <= last || it->entry < facts->lastDeletingClear)
            continue;
        finding(QStringLiteral("the last %1 rows of %2 (numbers %3 to %4), recorded at the stop at %5, are missing")
                    .arg(it->seq - last)
                    .arg(it.key())
                    .arg(last + 1)
                    .arg(it->seq)
                    .arg(it->at));
        report->removed += it->seq - last;
    }
    return true;
}

bool walkUnlinked(const QSqlDatabase &db, Report *report, const AuditFacts &facts, bool tables,
                  const std::function<void(const QString &)> &finding)
{
    const QString key = SqlBackend::keyColumn(db);
    QSqlQuery query(db);
    query.setForwardOnly(true);
    const QString statement =
        tables ? QStringLiteral("SELECT d.%1, d.sampling_date, d.sampling_time, d.instrument_id FROM data d "
                                "LEFT JOIN provenance p ON p.row_key = d.%1 WHERE p.row_key IS NULL ORDER BY d.%1;")
               : QStringLiteral("SELECT d.%1, d.sampling_date, d.sampling_time, d.instrument_id FROM data d ORDER BY d.%1;");
    if (!query.exec(statement.arg(key))) {
        report->error = query.lastError().text();
        return false;
    }
    while (query.next()) {
        const qint64 rowKey = query.value(0).toLongLong();
        if (!tables || rowKey <= facts.boundary) {
            ++report->withoutProvenance;
            continue;
        }
        ++report->added;
        finding(QStringLiteral("row %1 (%2 %3, %4): added outside the program")
                    .arg(rowKey)
                    .arg(query.value(1).toString(), query.value(2).toString(), query.value(3).toString()));
    }
    return true;
}

// The archived rows without provenance: each clear's audit entry says how
// many it moved (rows recorded before the chains began).
bool walkArchiveUnlinked(const QSqlDatabase &db, Report *report, const AuditFacts &facts,
                         const std::function<void(const QString &)> &finding)
{
    if (!Archive::exists(db))
        return true;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT d.clear_id, count(*) FROM cleared_data d LEFT JOIN cleared_provenance p ON "
                                   "p.clear_id = d.clear_id AND p.row_key = d.row_key WHERE p.row_key IS NULL "
                                   "GROUP BY d.clear_id ORDER BY d.clear_id;"))) {
        report->error = query.lastError().text();
        return false;
    }
    QHash<qint64, qint64> expected = facts.archivedWithout;
    const auto compare = [&](qint64 clear, qint64 found) {
        const qint64 told = expected.take(clear);
        report->withoutProvenance += qMin(found, told);
        if (found > told) {
            report->added += found - told;
            finding(QStringLiteral("clear %1: %2 archived rows without provenance added outside the program")
                        .arg(clear)
                        .arg(found - told));
        } else if (found < told) {
            report->removed += told - found;
            finding(QStringLiteral("clear %1: %2 archived rows from before the chains removed").arg(clear).arg(told - found));
        }
    };
    while (query.next())
        compare(query.value(0).toLongLong(), query.value(1).toLongLong());
    for (const qint64 clear : expected.keys())
        compare(clear, 0);
    return true;
}

} // namespace

QString Report::summary() const
{
    QString line = QStringLiteral("%1: %2 rows with provenance%3, %4 intact, %5 changed, %6 removed, %7 added outside the "
                                  "program, %8 without provenance; %9 audit entries, %10 not fitting")
                       .arg(QLatin1String(broken() ? "broken" : "intact"))
                       .arg(rows)
                       .arg(archived ? QStringLiteral(" (%1 of them archived by a clear)").arg(archived) : QString())
                       .arg(intact)
                       .arg(changed)
                       .arg(removed)
                       .arg(added)
                       .arg(withoutProvenance)
                       .arg(auditEntries)
                       .arg(auditBroken);
    if (!error.isEmpty())
        line += QStringLiteral("; cannot read the database: ") + error;
    return line;
}

Report verify(const QSqlDatabase &db, const std::function<void(const QString &)> &finding)
{
    Report report;
    AuditFacts facts;
    const bool tables = MeasurementDb::sideTablesExist(db);
    if (tables && (!walkAudit(db, &report, &facts, finding) || !walkRows(db, &report, &facts, finding)))
        return report;
    if (walkUnlinked(db, &report, facts, tables, finding) && tables)
        walkArchiveUnlinked(db, &report, facts, finding);
    return report;
}

} // namespace Veltrano::ChainVerifier
