#pragma once

#include <QJsonObject>
#include <QSqlDatabase>
#include <QString>

// The audit trail: what the operators did (collections, clears, exports,
// reports, settings changed, database outages), one SHA-256 chain per collector in
// the table `audit` beside `data`; only ever appended.
namespace Veltrano::Audit {

// The kinds of audit entries.
inline constexpr char kBegan[] = "provenance began";
inline constexpr char kStarted[] = "collection started";
inline constexpr char kStopped[] = "collection stopped";
inline constexpr char kCleared[] = "clear";
inline constexpr char kExported[] = "export";
inline constexpr char kReported[] = "report";
inline constexpr char kSettingChanged[] = "setting changed";
inline constexpr char kOutage[] = "database outage";

inline constexpr char kTable[] = "audit";
inline constexpr const char *kSqliteTable[] = {
    "CREATE TABLE IF NOT EXISTS audit(id INTEGER PRIMARY KEY AUTOINCREMENT, collector TEXT NOT NULL, "
    "seq INTEGER NOT NULL, at_utc TEXT, host TEXT, os_user TEXT, kind TEXT, details TEXT, prev_hash TEXT NOT NULL, "
    "hash TEXT NOT NULL);",
    "CREATE UNIQUE INDEX IF NOT EXISTS audit_chain ON audit(collector, seq);",
};
inline constexpr const char *kServerTable[] = {
    "CREATE TABLE IF NOT EXISTS audit(id bigserial PRIMARY KEY, collector text NOT NULL, seq bigint NOT NULL, "
    "at_utc text, host text, os_user text, kind text, details text, prev_hash text NOT NULL, hash text NOT NULL);",
    "CREATE UNIQUE INDEX IF NOT EXISTS audit_chain ON audit(collector, seq);",
};

// Appends an entry of `kind` on `db`, stamped now or at the moment the
// details name under "at". inTransaction: the caller's transaction holds it
// (a clear with its deletes); else one of its own. On failure `error`
// receives the driver's text.
bool append(const QSqlDatabase &db, const QString &kind, const QJsonObject &details, QString *error,
            bool inTransaction = false);

} // namespace Veltrano::Audit
