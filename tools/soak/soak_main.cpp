// veltrano-soak: a long collection run against simulated balances.
//
//   veltrano-soak [SECONDS] [INSTRUMENTS]     (defaults: 3600 s, 8 instruments)
//
// Every instrument is a pseudo-terminal played by a balance simulator that
// prints faster than the program samples and mixes in error codes, status
// lines, split lines, lone line feeds and noise. The program runs as it does
// for an operator (start-up, main window, Start, 1 s sampling) in a fresh
// directory; boxes are answered and recorded. At the end it reports the rows
// stored against the sampling ticks, the memory at start and end, and every
// box shown, and exits with 1 when a row is missing.
#include "balancesimulator.h"
#include "collectionprobe.h"
#include "mainwindow.h"
#include "modalrecorder.h"
#include "pseudoterminal.h"
#include "startup.h"
#include "stderrcapture.h"

#include <QPushButton>
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QSqlQuery>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <vector>

using Veltrano::Sim::BalanceSimulator;
using Veltrano::Sim::PseudoTerminal;
using Veltrano::Sim::Scenario;

namespace {

// Resident memory of this process in KiB.
long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

void report(const char *format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(1, 2);
void report(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

Scenario scenarioFor(int i)
{
    Scenario s;
    s.layout = i % 2 ? 22 : 16;
    s.intervalMs = 250 + 50 * i;  // faster than the sampling, each its own pace
    s.value = 10.0 * (i + 1);
    s.header = "N" + QByteArray::number(i);
    s.errorEvery = 11;
    s.statusEvery = s.layout == 22 ? 13 : 0;
    s.splitEvery = 3;
    s.loneLineFeedEvery = 7;
    s.garbageEvery = 5;
    s.seed = quint32(i + 1);
    return s;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = app.arguments().value(1, QStringLiteral("3600")).toInt();
    const int count = app.arguments().value(2, QStringLiteral("8")).toInt();
    if (seconds <= 0 || count <= 0) {
        report("usage: veltrano-soak [SECONDS] [INSTRUMENTS]");
        return 2;
    }

    // Kept afterwards, with the database and the program's log.
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/veltrano-soak-XXXXXX"));
    dir.setAutoRemove(false);
    if (!dir.isValid() || !QDir::setCurrent(dir.path()))
        return 2;
    report("working in %s (the program's log: soak.log)", qPrintable(dir.path()));
    // The program's diagnostic lines go to a file; the report stays on stdout.
    if (!std::freopen("soak.log", "w", stderr))
        return 2;

    ModalRecorder boxes;
    if (Startup::openDatabase() >= 0) {
        report("start-up failed");
        return 2;
    }
    installTestMessageHandler();

    std::vector<std::unique_ptr<PseudoTerminal>> lines;
    std::vector<std::unique_ptr<BalanceSimulator>> balances;
    QStringList entries;
    for (int i = 0; i < count; ++i) {
        auto line = std::make_unique<PseudoTerminal>();
        QString error;
        if (!line->open(&error)) {
            report("cannot open a pseudo-terminal: %s", qPrintable(error));
            return 2;
        }
        const QString id = QStringLiteral("B%1").arg(i + 1);
        entries << id + "/comPort=" + line->devicePath() << id + "/name=Balance " + id
                << id + "/transmissionRate=9600" << id + "/parity=odd" << id + "/stopBits=1"
                << id + "/samplingInterval=1";
        PseudoTerminal *sink = line.get();
        balances.push_back(std::make_unique<BalanceSimulator>(
            scenarioFor(i), [sink](const QByteArray &bytes) { sink->write(bytes); }));
        lines.push_back(std::move(line));
    }
    writeSettings(entries);

    MainWindow window;
    window.show();
    MainWindowProbe probe{window};
    for (auto &balance : balances)
        balance->start();
    window.findChild<QPushButton *>(QStringLiteral("uStart"))->click();

    QMap<QString, qint64> ticks;
    for (const QString &id : probe.instruments())
        ticks[id] = 0;
    // Each tick's row, as the collection hands it on.
    QObject::connect(&probe.session(), &Veltrano::RecordingSession::sampled, &app,
                     [&ticks](const QString &id, const Veltrano::Row &) { ++ticks[id]; });
    const int startBoxes = boxes.count();
    const long memoryAtStart = residentKiB();
    report("collecting from %d instruments for %d s; resident memory %ld KiB", count, seconds, memoryAtStart);

    QElapsedTimer clock;
    clock.start();
    QTimer progress;
    QObject::connect(&progress, &QTimer::timeout, [&]() {
        qint64 total = 0;
        for (qint64 n : ticks)
            total += n;
        report("  %5lld s: %lld ticks, resident memory %ld KiB, %d boxes", clock.elapsed() / 1000, total,
               residentKiB(), boxes.count());
    });
    progress.start(60000);
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();

    window.findChild<QPushButton *>(QStringLiteral("uStop"))->click();
    for (auto &balance : balances)
        balance->stop();
    const long memoryAtEnd = residentKiB();

    qint64 totalTicks = 0;
    qint64 totalRows = 0;
    bool lost = false;
    report("instrument  ticks  rows");
    for (auto it = ticks.cbegin(); it != ticks.cend(); ++it) {
        QSqlQuery rows;
        rows.prepare(QStringLiteral("SELECT count(*) FROM data WHERE instrument_id = ?"));
        rows.addBindValue(QStringLiteral("Balance ") + it.key());
        const qint64 stored = rows.exec() && rows.next() ? rows.value(0).toLongLong() : -1;
        report("%-10s %6lld %5lld%s", qPrintable(it.key()), it.value(), stored, stored == it.value() ? "" : "  MISSING");
        lost = lost || stored != it.value();
        totalTicks += it.value();
        totalRows += stored;
    }
    report("rows stored %lld of %lld ticks", totalRows, totalTicks);
    QSqlQuery placeholders(QStringLiteral("SELECT count(*) FROM data WHERE result = 'no result yet'"));
    report("rows stored before a balance's first reading: %lld",
           placeholders.next() ? placeholders.value(0).toLongLong() : -1);
    report("resident memory: %ld KiB at start, %ld KiB at end (%+ld KiB)", memoryAtStart, memoryAtEnd,
           memoryAtEnd - memoryAtStart);
    report("boxes shown: %d at start, %d while collecting", startBoxes, boxes.count() - startBoxes);
    QMap<QString, int> kinds;
    for (const RecordedBox &box : boxes.boxes())
        ++kinds[box.title + ": " + withoutPrefixes({box.text}).first()];
    for (auto it = kinds.cbegin(); it != kinds.cend(); ++it)
        report("  %dx %s", it.value(), qPrintable(it.key()));
    return lost ? 1 : 0;
}
