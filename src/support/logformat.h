#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace Veltrano::Log {

// Qt's SQL and serial-port modules warn about these during normal operation;
// such warnings are logged as debug traces and never shown to the operator.
// Matched case-sensitively anywhere in the warning, in this order.
inline constexpr const char *kDemotedWarnings[] = {
    "QSqlDatabasePrivate::removeDatabase: connection 'export' is still in use, all queries will cease to work.",
    "QSerialPortPrivate::detectDefaultSettings(): Unexpected flow control settings",
    "QSerialPortPrivate::detectDefaultSettings(): Unexpected parity settings",
    // A server database that went away counts as closed: every later access
    // tries to open it again and every statement warns, until it is back.
    // The store reports the outage to the operator once.
    "QSqlDatabasePrivate::database: unable to open database:",
    "QSqlQuery::exec: database not open",
    "QSqlQuery::prepare: database not open",
    "QPSQLDriver::beginTransaction: Database not open",
    "QPSQLDriver::commitTransaction: Database not open",
    "QPSQLDriver::rollbackTransaction: Database not open",
};

// True when a warning carries one of the texts above.
bool isDemotedWarning(const QString &message);

// While one lives on a thread, that thread is recording (reading a port,
// taking a sample, storing rows): warnings Qt's modules raise there are
// logged as debug traces, never shown in a box, so that the recording never
// waits for a person. The storage thread keeps one for its whole life.
class RecordingScope
{
public:
    RecordingScope();
    ~RecordingScope();
    RecordingScope(const RecordingScope &) = delete;
    RecordingScope &operator=(const RecordingScope &) = delete;
    // True on a thread inside a scope.
    static bool active();
};

// The line written to standard error for a message of this type: prefix,
// the message as UTF-8, line feed. Empty for types that are not logged.
QByteArray stderrLine(QtMsgType type, const QString &message);

// Title of the box shown for this type, or an empty text when none is shown.
QString boxTitle(QtMsgType type);

} // namespace Veltrano::Log
