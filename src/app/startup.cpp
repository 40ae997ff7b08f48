#include "startup.h"

#include "databaseconfig.h"
#include "logformat.h"
#include "mainwindow.h"
#include "measurementdb.h"
#include "trace.h"

#include <QApplication>
#include <QIcon>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <cstdio>

void msgHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    Q_UNUSED(context);
    if (type == QtWarningMsg && Veltrano::Log::isDemotedWarning(msg)) {
        VTRACE << msg;
        return;
    }

    const QByteArray line = Veltrano::Log::stderrLine(type, msg);
    if (line.isEmpty())
        return;
    const bool written = std::fwrite(line.constData(), 1, size_t(line.size()), stderr) == size_t(line.size());
    if (std::fflush(stderr) != 0 || !written) {
        // Nobody can read standard error (a windowed program started without
        // a console, a closed stream): stop building debug lines at all. They
        // are most of the work of parsing what the balances send.
        QLoggingCategory::defaultCategory()->setEnabled(QtDebugMsg, false);
    }

    const QString title = Veltrano::Log::boxTitle(type);
    if (title.isEmpty() || !qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    if (type == QtWarningMsg)
        QMessageBox::warning(nullptr, title, msg);
    else
        QMessageBox::critical(nullptr, title, msg);
}

namespace Startup {

namespace {

// Status of a start-up that could not reach the main window.
constexpr int kDatabaseFailure = 1;

// Reports why the database cannot be used: the driver's text on standard
// error, and the box. A server is named in both (never its password), so the
// operator knows which machine to ask about.
int databaseError(const QString &uri, const QString &driverError)
{
    QString text = QObject::tr("Cannot open the database! (SQLITE error) Exiting...");
    QString line = driverError;
    if (!uri.isEmpty()) {
        const QString server = Veltrano::DatabaseConfig::serverName(uri);
        text += QLatin1String("\n\n") + server;
        line = server + QLatin1String(": ") + line;
    }
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    QMessageBox::critical(nullptr, QObject::tr("Error"), text);
    return kDatabaseFailure;
}

} // namespace

int openDatabase(QSqlQuery &schemaQuery, const QString &uri)
{
    QSqlDatabase db = Veltrano::DatabaseConfig::addDatabase(uri);
    if (!db.open())
        return databaseError(uri, db.lastError().text());

    schemaQuery = QSqlQuery(db);
    QString error;
    switch (Veltrano::MeasurementDb::ensureTable(schemaQuery, &error)) {
    case Veltrano::MeasurementDb::TableState::Present:
        return -1;
    case Veltrano::MeasurementDb::TableState::Created:
        QMessageBox::information(nullptr, QObject::tr("Information"),
                                 QObject::tr("Database initialization: OK"));
        return -1;
    case Veltrano::MeasurementDb::TableState::Failed:
        break;
    }
    return databaseError(uri, error);
}

int run(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral("./ico/scale-32.ico")));

    int status;
    {
        QSqlQuery schemaQuery;
        status = openDatabase(schemaQuery, Veltrano::DatabaseConfig::chosenUri(QCoreApplication::arguments()));
        if (status < 0) {
            qInstallMessageHandler(msgHandler);
            MainWindow window;
            window.show();
            status = app.exec();
        }
    }
    // The window and the schema query are gone; let go of the connection.
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    return status;
}

} // namespace Startup
