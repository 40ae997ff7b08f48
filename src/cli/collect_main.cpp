// veltrano-collect: records the balances of a folder without a window, as a
// system service or from a terminal.
#include "collector.h"

#include "collect/collectorlock.h"
#include "collect/instrumentconfig.h"
#include "collect/statusfile.h"
#include "store/databaseconfig.h"
#include "support/commandline.h"
#include "recording/recordingsession.h"
#include "support/logformat.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

const char kUsage[] =
    "Usage: veltrano-collect [--dir DIR] [--database FILE|URI] [--trace]\n"
    "       veltrano-collect --status [DIR]\n"
    "\n"
    "Records the balances of settings.ini in the working folder (or DIR) without a\n"
    "window: every active instrument at its sampling interval, into sqlite.db or\n"
    "the database that --database or database.ini names. Rows the database\n"
    "refuses are kept on this PC and written when it takes them again; unplugged\n"
    "balances are reopened every 2 seconds. Each event is one line on standard\n"
    "error.\n"
    "\n"
    "  --dir DIR            the folder with settings.ini (default: the working folder)\n"
    "  --database FILE|URI  an SQLite file, or a PostgreSQL server's libpq URI\n"
    "  --trace              also the detailed trace lines (many per second)\n"
    "  --status [DIR]       print what the collector of DIR is doing, and exit\n"
    "  --help               print this help, and exit\n"
    "  --version            print the version, and exit\n"
    "\n"
    "Signals: SIGTERM and SIGINT stop it (every row taken is written or kept),\n"
    "SIGHUP reads settings.ini again and restarts the instruments that changed.\n"
    "\n"
    "Exit status: 0 stopped by a signal; 1 the database cannot be used; 2 wrong\n"
    "usage, or nothing to record (no settings.ini, or no active instrument in it);\n"
    "3 another collector records in the folder.\n";

bool g_trace = false;

void serviceLog(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg || type == QtInfoMsg) {
        if (g_trace)
            std::fprintf(stderr, "%s", Veltrano::Log::stderrLine(QtDebugMsg, message).constData());
        return;
    }
    // Never a box: a line of the log.
    Collector::log(QString::fromUtf8(Veltrano::Log::stderrLine(type, message)).trimmed());
}

int usageError(const QString &reason)
{
    return Veltrano::CommandLine::answer("veltrano-collect", Veltrano::CommandLine::UsageError, {}, reason);
}

// A folder with nothing to record is told in one line, before the
// database is touched.
int nothingToRecord()
{
    const QString file = QString::fromLatin1(Veltrano::Config::kFileName);
    const QString folder = QDir::toNativeSeparators(QDir::currentPath());
    QString reason;
    if (!QFileInfo(file).isFile())
        reason = QStringLiteral("no %1 in %2: nothing to record").arg(file, folder);
    else if (Veltrano::RecordingSession::activeInstruments(file).isEmpty())
        reason = QStringLiteral("%1 in %2 has no active instrument: nothing to record").arg(file, folder);
    else
        return -1;
    std::fprintf(stderr, "veltrano-collect: %s\n", reason.toLocal8Bit().constData());
    return Veltrano::CommandLine::kUsageStatus;
}

int printStatus(const QString &folder)
{
    const QDir dir(folder.isEmpty() ? QDir::currentPath() : folder);
    const QString holder = Veltrano::CollectorLock::holder(dir.path());
    const auto status = Veltrano::StatusFile::read(dir.filePath(QLatin1String(Veltrano::StatusFile::kFileName)));
    if (holder.isEmpty() || !status) {
        std::printf("No collector records in %s%s\n", qPrintable(QDir::toNativeSeparators(dir.absolutePath())),
                    holder.isEmpty() ? "." : qPrintable(QStringLiteral(" (held by %1, without status)").arg(holder)));
        return 1;
    }
    std::printf("%s", Veltrano::StatusFile::table(*status).toLocal8Bit().constData());
    return 0;
}

#ifdef Q_OS_UNIX
int g_signalPipe[2] = {-1, -1};

void onSignal(int signal)
{
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[0], &byte, 1);
}

// SIGTERM, SIGINT and SIGHUP reach the event loop through a socket pair.
bool catchSignals(Collector &collector)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return false;
    auto *notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, &collector);
    QObject::connect(notifier, &QSocketNotifier::activated, &collector, [&collector] {
        char signal = 0;
        if (::read(g_signalPipe[1], &signal, 1) != 1)
            return;
        if (signal == SIGHUP)
            collector.reload();
        else
            collector.stop();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    return true;
}
#else
bool catchSignals(Collector &)
{
    return true;
}
#endif

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("veltrano-collect"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELTRANO_VERSION));
    QStringList arguments = QCoreApplication::arguments().mid(1);
    QString folder, database;
    bool status = false;
    while (!arguments.isEmpty()) {
        const QString argument = arguments.takeFirst();
        const auto value = [&](QString *target) {
            if (arguments.isEmpty())
                return false;
            *target = arguments.takeFirst();
            return true;
        };
        if (argument == QLatin1String("--help") || argument == QLatin1String("--version")) {
            using namespace Veltrano::CommandLine;
            return answer("veltrano-collect", argument == QLatin1String("--help") ? Help : Version,
                          QString::fromLatin1(kUsage), {});
        } else if (argument == QLatin1String("--trace")) {
            g_trace = true;
        } else if (argument == QLatin1String("--status")) {
            status = true;
            if (!arguments.isEmpty() && !arguments.first().startsWith(QLatin1String("--")))
                folder = arguments.takeFirst();
        } else if (argument == QLatin1String("--dir")) {
            if (!value(&folder))
                return usageError(QStringLiteral("--dir needs a folder"));
        } else if (argument == QLatin1String("--database")) {
            if (!value(&database))
                return usageError(QStringLiteral("--database needs a file or a server address"));
        } else {
            return usageError(QStringLiteral("unknown argument '%1'").arg(argument));
        }
    }
    if (status)
        return printStatus(folder);
    if (!folder.isEmpty() && !QDir::setCurrent(folder))
        return usageError(QStringLiteral("cannot enter the folder '%1'").arg(folder));
    if (const int status = nothingToRecord(); status >= 0)
        return status;

    // Without --trace no debug line is even built: most of the work of
    // parsing what the balances send would be formatting them.
    QLoggingCategory::defaultCategory()->setEnabled(QtDebugMsg, g_trace);
    qInstallMessageHandler(serviceLog);

    Collector collector;
    if (!catchSignals(collector))
        Collector::log(QStringLiteral("cannot catch signals: stop it with SIGKILL only after a while"));
    const QString uri = database.isEmpty() ? Veltrano::DatabaseConfig::chosenUri({}) : database;
    const int started = collector.start(uri);
    if (started >= 0)
        return started;
    return app.exec();
}
