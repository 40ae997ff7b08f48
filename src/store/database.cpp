#include "store/database.h"

#include "store/audit.h"
#include "store/databaseconfig.h"
#include "store/sqlbackend.h"
#include "support/trace.h"

#include <QAtomicInteger>
#include <QCoreApplication>
#include <QSqlError>
#include <QSqlQuery>

namespace Veltrano::Database {

namespace {

// How long a reader waits for a writer's lock on a file.
constexpr int kReaderBusyMs = 5000;

QString driverText(const QSqlError &error)
{
    return (error.databaseText().isEmpty() ? error.text() : error.databaseText()).trimmed();
}

} // namespace

Opened open(const QString &uri, Mode mode, const QString &connectionName)
{
    // Told once a run, whoever opens the database first.
    static QAtomicInteger<int> warned;
    if (warned.testAndSetRelaxed(0, 1)) {
        for (const QString &warning : DatabaseConfig::secretWarnings(uri, QCoreApplication::arguments()))
            qWarning("warning: %s", qPrintable(warning));
    }
    Opened opened;
    QSqlDatabase db = DatabaseConfig::addDatabase(uri, connectionName);
    opened.server = SqlBackend::isServer(db);
    opened.where = opened.server ? DatabaseConfig::serverName(uri) : db.databaseName();
    if (mode == Mode::ReadOnly && !opened.server)
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1").arg(kReaderBusyMs));
    if (!db.open()) {
        opened.error = driverText(db.lastError());
        // The library's words for an unknown CA say little to a user.
        if (opened.error.contains(QLatin1String("certificate verify failed")))
            opened.error += QStringLiteral(" (the server's certificate is not signed by the CA that sslrootcert names)");
        opened.outcome = opened.server && mode == Mode::Record ? Opened::ServerAway : Opened::Failed;
        return opened;
    }
    if (mode == Mode::ReadOnly) {
        opened.outcome = Opened::Ready;
        return opened;
    }
    QSqlQuery query(db);
    const MeasurementDb::TableState table = MeasurementDb::ensureTable(query, &opened.error);
    if (table == MeasurementDb::TableState::Failed) {
        opened.outcome = Opened::Failed;
        return opened;
    }
    // Made sure of again at the first row: a read-only file shows its rows
    // all the same.
    QString sideError;
    if (!MeasurementDb::ensureSideTables(db, &sideError))
        VTRACE << "provenance tables not made yet:" << sideError;
    opened.outcome = table == MeasurementDb::TableState::Created ? Opened::Created : Opened::Ready;
    return opened;
}

QString recordAudit(const QString &source, const QString &kind, const QJsonObject &details)
{
    static QAtomicInteger<int> serial;
    const QString name = QStringLiteral("audit-%1").arg(serial.fetchAndAddRelaxed(1));
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::cloneDatabase(source, name);
        // The source may be opened for reading only; this short write is not.
        if (!SqlBackend::isServer(db))
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000"));
        if (!db.open())
            error = db.lastError().text();
        else if (MeasurementDb::ensureSideTables(db, &error))
            Audit::append(db, kind, details, &error);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return error.trimmed();
}

} // namespace Veltrano::Database
