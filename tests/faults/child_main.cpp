// veltrano-faultchild: the second process of the fault tests. It works in its
// current directory and reports on standard output, one line per event.
//
//   lock              take an exclusive lock on sqlite.db, print "locked",
//                     hold it until standard input closes
//   startup [LIMIT]   run the program's database start-up, with files limited
//                     to LIMIT bytes; print each box and "status N"
//   store [LIMIT]     start up, then store rows through the main window until
//                     one fails, printing "stored N" after each (files
//                     limited to LIMIT bytes)
#include "collectionprobe.h"
#include "modalrecorder.h"
#include "startup.h"
#include "stderrcapture.h"

#include <QApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <sys/resource.h>

namespace {

void say(const QString &line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

// Beyond the limit a write fails with EFBIG instead of killing the process.
bool limitFileSize(const QStringList &args, int index)
{
    if (args.size() <= index)
        return true;
    bool ok = false;
    const rlim_t limit = args.at(index).toULongLong(&ok);
    if (!ok)
        return false;
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit value{limit, limit};
    return ::setrlimit(RLIMIT_FSIZE, &value) == 0;
}

void reportBoxes(const ModalRecorder &recorder)
{
    for (const RecordedBox &box : recorder.boxes())
        say(QStringLiteral("box ") + box.title + QLatin1Char('|') + box.text);
}

int lock()
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("lock"));
    db.setDatabaseName(QStringLiteral("sqlite.db"));
    QSqlQuery query(db);
    if (!db.open() || !query.exec(QStringLiteral("BEGIN EXCLUSIVE"))) {
        say(QStringLiteral("failed ") + query.lastError().text());
        return 1;
    }
    say(QStringLiteral("locked"));
    std::string rest;
    while (std::getline(std::cin, rest)) {
    }
    query.exec(QStringLiteral("COMMIT"));
    return 0;
}

int startup(ModalRecorder &recorder)
{
    QSqlQuery schemaQuery;
    const int status = Startup::openDatabase(schemaQuery);
    reportBoxes(recorder);
    say(QStringLiteral("status %1").arg(status));
    return 0;
}

// Stores through the main window, as sampling does: a row per call, with the
// row's number as its result; a failure shows up as a box.
int store(ModalRecorder &recorder)
{
    QSqlQuery schemaQuery;
    if (Startup::openDatabase(schemaQuery) >= 0) {
        reportBoxes(recorder);
        return 1;
    }
    installTestMessageHandler();
    writeSettings({QStringLiteral("B1/name=child")});
    MainWindow window;
    MainWindowProbe probe{window};
    recorder.clear();
    for (int i = 1;; ++i) {
        const QString n = QString::number(i);
        probe.setLatest(QStringLiteral("B1"), QString(), n, QStringLiteral("g  "));
        probe.store(QStringLiteral("B1"));
        if (recorder.count() > 0) {
            say(QStringLiteral("failed ") + recorder.texts().first().replace(QLatin1Char('\n'), QLatin1Char(' ')));
            return 0;
        }
        say(QStringLiteral("stored ") + n);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1);
    if (!limitFileSize(args, 2)) {
        say(QStringLiteral("failed to limit the file size"));
        return 2;
    }
    ModalRecorder recorder;
    if (mode == QLatin1String("lock"))
        return lock();
    if (mode == QLatin1String("startup"))
        return startup(recorder);
    if (mode == QLatin1String("store"))
        return store(recorder);
    say(QStringLiteral("unknown mode ") + mode);
    return 2;
}
