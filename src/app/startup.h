#pragma once

#include <QString>
#include <QtGlobal>

class QMessageLogContext;

// Qt's message handler for the whole run: every message becomes one line on
// standard error, and warnings, critical and fatal messages are also shown
// in a box. Harmless warnings of Qt's own modules are logged as debug.
void msgHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg);

namespace Startup {

// The message handler's boxes shown or waiting for the one before to be
// answered.
int boxesWaiting();

// Opens the database `uri` names (empty: sqlite.db; a server, or a file) on
// the default connection and makes sure the table exists, telling the
// operator what happened. Returns the process exit status to end with, or -1
// when start-up can go on.
int openDatabase(const QString &uri = QString());

// The whole program: start-up, the main window, the event loop.
int run(int argc, char *argv[]);

} // namespace Startup
