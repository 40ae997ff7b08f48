#pragma once

#include <QString>
#include <QtGlobal>

class QMessageLogContext;
class QMessageBox;
class QWidget;

// Qt's message handler for the whole run: every message becomes one line on
// standard error (or in the trace file of a desktop start), and this
// program's own warnings, critical and fatal messages are also shown in a
// box; those of Qt's modules are lines only. Harmless warnings of Qt's own
// modules are logged as debug.
void msgHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg);

namespace Startup {

// The message handler's boxes shown or waiting for the one before to be
// answered.
int boxesWaiting();

// Shows a notice that asks nothing beside `parent` (or alone), blocking no
// window: the operator reads it when it suits. Counted in boxesWaiting();
// it goes when it is answered. On the windows' thread.
QMessageBox *notify(QWidget *parent, const QString &title, const QString &text);

// Opens the database `uri` names (empty: sqlite.db; a server, or a file) on
// the default connection and makes sure the table exists, telling the
// operator what happened. Returns the process exit status to end with, or -1
// when start-up can go on.
int openDatabase(const QString &uri = QString());

// The whole program: start-up, the main window, the event loop.
int run(int argc, char *argv[]);

} // namespace Startup
