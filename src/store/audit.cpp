#include "store/audit.h"

#include "store/chainhash.h"

#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace Veltrano::Audit {

bool append(const QSqlDatabase &db, const QString &kind, const QJsonObject &details, QString *error,
                 bool inTransaction)
{
    QSqlDatabase connection = db;
    auto fail = [&](const QString &text) {
        if (error)
            *error = text;
        if (!inTransaction)
            connection.rollback();
        return false;
    };
    if (!inTransaction && !connection.transaction())
        return fail(connection.lastError().text());
    Chain::AuditEntry entry;
    bool ok = false;
    entry.previous = Chain::readHead(db, "audit", &entry.seq, &ok);
    if (!ok)
        return fail(connection.lastError().text());
    entry.collector = Chain::collectorId();
    ++entry.seq;
    entry.atUtc = details.value(QStringLiteral("at")).toString(Chain::utcNow());
    entry.host = Chain::hostName();
    entry.user = Chain::userName();
    entry.kind = kind;
    QJsonObject body = details;
    body.remove(QStringLiteral("at"));
    entry.details = QString::fromUtf8(QJsonDocument(body).toJson(QJsonDocument::Compact));
    entry.hash = Chain::auditHash(entry);
    QSqlQuery query(db);
    ok = query.prepare(QStringLiteral("INSERT INTO audit(collector, seq, at_utc, host, os_user, kind, details, prev_hash, "
                                      "hash) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?);"));
    for (const QVariant &value : {QVariant(entry.collector), QVariant(entry.seq), QVariant(entry.atUtc),
                                  QVariant(entry.host), QVariant(entry.user), QVariant(entry.kind),
                                  QVariant(entry.details), QVariant(entry.previous), QVariant(entry.hash)})
        query.addBindValue(value);
    if (!ok || !query.exec())
        return fail(query.lastError().text());
    if (!inTransaction && !connection.commit())
        return fail(connection.lastError().text());
    return true;
}

} // namespace Veltrano::Audit
