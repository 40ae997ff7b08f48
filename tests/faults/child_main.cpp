// veltrano-faultchild MODE: the second process of the database fault tests.
// In its current directory it starts up, says "ready", waits for a line on
// its standard input, then samples three instruments, one row per tick,
// printing "tick N" after each.
//   kill: samples until it is killed.
//   full: its files may grow by a few pages only; once the store refused a
//         row it samples three more, lifts the limit, waits until every row
//         is written and prints "boxes K" (the boxes shown).
#include "collectionprobe.h"
#include "modalrecorder.h"
#include "startup.h"
#include "stderrcapture.h"

#include <QApplication>
#include <QFileInfo>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTest>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>

namespace {

bool limitFileSize(rlim_t bytes)
{
    // Beyond the limit a write fails with EFBIG instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit value{};
    ::getrlimit(RLIMIT_FSIZE, &value);
    value.rlim_cur = bytes;
    return ::setrlimit(RLIMIT_FSIZE, &value) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const bool full = argc > 1 && qstrcmp(argv[1], "full") == 0;
    ModalRecorder recorder;
    if (Startup::openDatabase() >= 0)
        return 1;
    installTestMessageHandler();
    writeSettings({QStringLiteral("B0/name=zero"), QStringLiteral("B1/name=one"), QStringLiteral("B2/name=two")});
    MainWindow window;
    MainWindowProbe probe{window};
    // What the storage tells the operator, as it reaches the window.
    QSignalSpy told(&probe.storage(), &Veltrano::Storage::problem);
    QTextStream out(stdout);
    out << "ready" << Qt::endl;
    char line[8];
    if (!std::fgets(line, sizeof line, stdin))
        return 1;
    if (full && !limitFileSize(rlim_t(QFileInfo(QStringLiteral("sqlite.db")).size() + 8192)))
        return 2;

    int tick = 0;
    for (int more = -1; more != 0;) {
        static const QString names[] = {QStringLiteral("zero"), QStringLiteral("one"), QStringLiteral("two")};
        ++tick;
        probe.storage().store(testRow(names[tick % 3], QString(), QString::number(tick), QStringLiteral("g  ")));
        // Printed once the row is written or kept in the pending file.
        if (!probe.drain())
            return 3;
        QCoreApplication::processEvents();
        out << "tick " << tick << Qt::endl;
        if (more > 0)
            --more;
        else if (full && told.count() > 0)
            more = 3;
    }
    limitFileSize(RLIM_INFINITY);
    QSqlQuery count;
    const auto written = [&] {
        return count.exec(QStringLiteral("SELECT count(*) FROM data")) && count.next() && count.value(0) == tick;
    };
    if (!QTest::qWaitFor(written, 30000))
        out << "rows missing" << Qt::endl;
    out << "boxes " << told.count() << Qt::endl;
    return 0;
}
