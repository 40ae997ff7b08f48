#pragma once

#include "store/measurementdb.h"

#include <QJsonObject>
#include <QSqlDatabase>
#include <QString>

// The one way every program opens the measurement database: by file or
// URI (see DatabaseConfig), for recording or for reading only.
namespace Veltrano::Database {

enum class Mode {
    // The table `data` and its side tables are made sure of; a file is
    // opened for writing with a short busy wait (the store keeps the rows a
    // locked file refuses), a server that does not answer is no failure:
    // the rows wait on this PC.
    Record,
    // Nothing is created or altered; a file is opened read-only and a
    // writer's short lock is waited for.
    ReadOnly,
};

struct Opened
{
    enum Outcome {
        Ready,       // open, the table was there
        Created,     // open, the table `data` was made now
        ServerAway,  // a server that does not answer yet (Record only)
        Failed,      // cannot be used: see error
    } outcome = Failed;
    bool server = false;
    // How messages name the database: the server and database (never a
    // password), or the file's path.
    QString where;
    QString error;  // the driver's text
    bool usable() const { return outcome != Failed; }
};

// Registers and opens the connection `connectionName` on the database `uri`
// names (empty: sqlite.db in the working folder).
Opened open(const QString &uri, Mode mode,
            const QString &connectionName = QLatin1String(QSqlDatabase::defaultConnection));

// Appends an audit entry through a connection of its own on the database
// of `source` (registered, open or not); the reason when it failed. For
// those that read only (an export) or work on another thread.
QString recordAudit(const QString &source, const QString &kind, const QJsonObject &details);

} // namespace Veltrano::Database
