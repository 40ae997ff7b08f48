#pragma once

#include "support/row.h"

#include <QByteArray>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QString>
#include <QVector>

#include <memory>

class QSqlQuery;
struct sqlite3_stmt;

// The provenance of the recorded rows and the audit trail, each a SHA-256
// chain per collector, in side tables beside `data` (which stays as it is):
//
//   provenance  one row per row of `data`, keyed by its key (SQLite's rowid,
//               a server's id), written in the same transaction
//   audit       what the operators did: collections, clears, exports,
//               settings changed, database outages; only ever appended
//
// Each entry holds its collector, its place in that collector's chain (seq,
// from 1) and the hash of the entry before it; its own hash covers that hash
// and every value of the entry. Changing, removing or adding an entry with
// anything but this code breaks the chain where it happened (see
// ChainVerifier). Rows written before the tables existed have no provenance;
// the audit entry "provenance began" says up to which key they go.
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

// The kinds of audit entries.
inline constexpr char kBegan[] = "provenance began";
inline constexpr char kStarted[] = "collection started";
inline constexpr char kStopped[] = "collection stopped";
inline constexpr char kCleared[] = "clear";
inline constexpr char kExported[] = "export";
inline constexpr char kSettingChanged[] = "setting changed";
inline constexpr char kOutage[] = "database outage";

// Creates the side tables when missing, with the statements of `db`'s
// backend. When the table `provenance` is new, the audit trail gets its
// "provenance began" entry with the rows `data` held then. On failure
// `error` receives the driver's text.
bool ensureTables(const QSqlDatabase &db, QString *error);
bool tablesExist(const QSqlDatabase &db);

// The text a value is stored as: a null text as an empty one and, on a
// server, the zero character as U+FFFD (a server's text cannot hold it).
QString storedText(const QString &text, bool server);

// The provenance rows of one transaction: reads the collector's chain head,
// then links each row written after it. Used by MeasurementDb::insertRows
// inside its transaction.
class RowLinker
{
public:
    explicit RowLinker(const QSqlDatabase &db);
    ~RowLinker();
    // False (with the driver's text) when the head cannot be read.
    bool readHead(QString *error);
    // Writes the provenance of `row` (its six values as stored), which `data`
    // holds under `key`.
    bool link(const Row &row, const QVariant &key, QString *error);
    QString head() const { return m_head; }
    qint64 seq() const { return m_seq; }

private:
    // The values of the provenance insert, bound in turn.
    bool write(const QVariant *values, int count, QString *error);

    QSqlDatabase m_db;
    std::unique_ptr<QSqlQuery> m_insert;  // prepared at the first row
    // On a SQLite file, the insert goes through the driver's handle: the Qt
    // driver's cost per bound value is most of a row's.
    sqlite3_stmt *m_sqliteInsert = nullptr;
    QString m_collector;
    QString m_head;
    qint64 m_seq = 0;
    QString m_host;
    QString m_user;
};

// The head of this collector's row chain: its seq and hash (0 and empty
// when the chain is empty or the table missing).
struct Head
{
    qint64 seq = 0;
    QString hash;
};
Head rowHead(const QSqlDatabase &db);

// Appends an audit entry of `kind` on `db`. inTransaction: the caller's
// transaction holds it (a clear with its deletes); else one of its own.
bool appendAudit(const QSqlDatabase &db, const QString &kind, const QJsonObject &details, QString *error,
                 bool inTransaction = false);

// Deletes every row of `data` and its provenance, and appends the audit
// entry "clear" (how many rows, the chain's head before), all in one
// transaction. On failure `error` receives the database's text.
bool clearRows(const QSqlDatabase &db, QString *error);

// Appends an audit entry through a connection of its own on the database of
// `source` (registered, open or not); the reason when it failed. For those
// that read only (an export) or work on another thread (the window).
QString recordAudit(const QString &source, const QString &kind, const QJsonObject &details);

} // namespace Veltrano::Chain
