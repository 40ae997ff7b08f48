// veltrano-faultchild [LIMIT]: the second process of the database fault tests.
// In its current directory it starts up, then stores rows through the main
// window until one fails, printing "stored N" after each and "failed REASON"
// at the end. With LIMIT, its files cannot grow beyond that many bytes.
#include "collectionprobe.h"
#include "modalrecorder.h"
#include "startup.h"
#include "stderrcapture.h"

#include <QApplication>
#include <QSqlQuery>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

namespace {

void say(const QString &line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc > 1) {
        // Beyond the limit a write fails with EFBIG instead of killing the process.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit value{rlim_t(std::atoll(argv[1])), rlim_t(std::atoll(argv[1]))};
        if (::setrlimit(RLIMIT_FSIZE, &value) != 0)
            return 2;
    }
    ModalRecorder recorder;
    QSqlQuery schemaQuery;
    if (Startup::openDatabase(schemaQuery) >= 0)
        return 1;
    installTestMessageHandler();
    writeSettings({QStringLiteral("B1/name=child")});
    MainWindow window;
    MainWindowProbe probe{window};
    recorder.clear();
    // A row per store, as sampling does, with the row's number as its result.
    for (int i = 1; recorder.count() == 0; ++i) {
        const QString n = QString::number(i);
        probe.setLatest(QStringLiteral("B1"), QString(), n, QStringLiteral("g  "));
        probe.store(QStringLiteral("B1"));
        if (recorder.count() == 0)
            say(QStringLiteral("stored ") + n);
    }
    say(QStringLiteral("failed ") + recorder.texts().first().replace(QLatin1Char('\n'), QLatin1Char(' ')));
    return 0;
}
