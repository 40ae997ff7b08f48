#include "store/chainhash.h"

#include "store/sqlbackend.h"
#include "support/osuser.h"
#include "support/sha256.h"

#include <QDateTime>
#include <QDir>
#include <QSqlQuery>
#include <QVariant>
#include <QSysInfo>
#include <QtEndian>

namespace Veltrano::Chain {

namespace {

class Encoder
{
public:
    void add(const QByteArray &bytes)
    {
        char length[4];
        qToBigEndian<quint32>(quint32(bytes.size()), length);
        m_hash.addData(QByteArray::fromRawData(length, 4));
        m_hash.addData(bytes);
    }
    void add(const QString &text) { add(text.toUtf8()); }
    void add(qint64 number) { add(QByteArray::number(number)); }
    QString hex() { return QString::fromLatin1(m_hash.result().toHex()); }

private:
    Sha256 m_hash;
};

} // namespace

QString collectorId()
{
    return hostName() + QLatin1Char(':') + QDir::currentPath();
}

QString hostName()
{
    return QSysInfo::machineHostName();
}

QString userName()
{
    return osUserName();
}

QString utcNow()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QString rowHash(const QString &previous, const QString &collector, qint64 seq, const Row &row)
{
    Encoder encoder;
    // Rows with neither a check state nor a weighing hash as they always did.
    const bool extended = row.weighing || !row.provenance.check.isEmpty();
    encoder.add(QByteArray(extended ? "veltrano row 2" : "veltrano row 1"));
    encoder.add(previous);
    encoder.add(collector);
    encoder.add(seq);
    for (const QString *value : {&row.date, &row.time, &row.name, &row.header, &row.result, &row.unit})
        encoder.add(*value);
    const Provenance &p = row.provenance;
    encoder.add(p.instrument);
    encoder.add(p.tickUtc);
    encoder.add(qint64(p.offsetSeconds));
    encoder.add(p.receivedUtc);
    encoder.add(p.ageMs);
    encoder.add(p.raw);
    encoder.add(p.state);
    encoder.add(p.host);
    encoder.add(p.user);
    if (extended) {
        encoder.add(p.check);
        encoder.add(qint64(row.weighing ? 1 : 0));
        if (const auto &w = row.weighing) {
            for (const QString *value : {&w->sample, &w->series, &w->trigger, &w->kind, &w->operatorName,
                                         &w->weighingClass, &w->nominal})
                encoder.add(*value);
        }
    }
    return encoder.hex();
}

QString auditHash(const AuditEntry &entry)
{
    Encoder encoder;
    encoder.add(QByteArray("veltrano audit 1"));
    for (const QString *value : {&entry.previous, &entry.collector})
        encoder.add(*value);
    encoder.add(entry.seq);
    for (const QString *value : {&entry.atUtc, &entry.host, &entry.user, &entry.kind, &entry.details})
        encoder.add(*value);
    return encoder.hex();
}

// Within a transaction. On a server, the collector's chain is locked until
// the transaction ends, so that two writers never link to the same head.
QString readHead(const QSqlDatabase &db, const char *table, qint64 *seq, bool *ok)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (SqlBackend::isServer(db)) {
        query.prepare(QStringLiteral("SELECT pg_advisory_xact_lock(hashtext(?));"));
        query.addBindValue(QLatin1String(table) + QLatin1Char(' ') + collectorId());
        *ok = query.exec();
        if (!*ok)
            return QString();
    }
    const auto last = [&](const QString &from) {
        *ok = query.prepare(QStringLiteral("SELECT seq, hash FROM %1 WHERE collector = ? ORDER BY seq DESC LIMIT 1;")
                                .arg(from));
        query.addBindValue(collectorId());
        *ok = *ok && query.exec();
        return *ok && query.next();
    };
    *seq = 0;
    // A row chain goes on after a clear: from the last row the archive took.
    if (!last(QLatin1String(table))
        && !(*ok && qstrcmp(table, "provenance") == 0
             && SqlBackend::tableExists(db, QStringLiteral("cleared_provenance")) && last(QStringLiteral("cleared_provenance"))))
        return QStringLiteral("");  // the first entry follows an empty hash (never a null one)
    *seq = query.value(0).toLongLong();
    return query.value(1).toString();
}

} // namespace Veltrano::Chain
