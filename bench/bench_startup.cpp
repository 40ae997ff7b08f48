// Start-up to a shown main window: database opened and checked, window built,
// its table loaded and fitted, shown and painted.

#include "benchdata.h"
#include "harness.h"
#include "mainwindow.h"
#include "store/measurementdb.h"
#include "startup.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <QVariant>

#include <memory>

namespace Bench {
namespace {

// What start-up does, the straightforward way: open, check for the table.
bool referenceOpen(QSqlQuery &schemaQuery)
{
    if (!openDefaultConnection())
        return false;
    schemaQuery = QSqlQuery(QString::fromLatin1(Veltrano::MeasurementDb::kTableCheck));
    return schemaQuery.next() && !schemaQuery.value(QStringLiteral("name")).toString().isEmpty();
}

// `indexed` is the state of the file before the start: an older file
// without the index gains it during our start-up.
void startUp(benchmark::State &state, Variant variant, qint64 rows, bool indexed)
{
    for (auto _ : state) {
        WorkDir dir(rows, indexed);
        Memory::trim();
        const double idle = Memory::residentMiB();
        Memory::resetPeak();
        QElapsedTimer timer;
        timer.start();
        bool ok;
        {
            QSqlQuery schemaQuery;
            std::unique_ptr<QMainWindow> window;
            if (variant == Variant::Ours) {
                ok = Startup::openDatabase() < 0;
                window = std::make_unique<MainWindow>();
            } else {
                ok = referenceOpen(schemaQuery);
                window = std::make_unique<ReferenceWindow>();
            }
            const qint64 built = timer.nsecsElapsed();
            ok = showAndWait(window.get()) && ok;
            state.SetIterationTime(timer.nsecsElapsed() / 1e9);
            state.counters["built_ms"] = built / 1e6;
            state.counters["peak_above_idle_mib"] = Memory::peakMiB() - idle;
        }
        closeDefaultConnection();
        if (!ok)
            state.SkipWithError("start-up failed");
    }
}

const int kRegistered = [] {
    registerPair("startup_shown", {0, 1000000}, 5, [](benchmark::State &state, Variant variant, qint64 rows) {
        startUp(state, variant, rows, variant == Variant::Ours);
    });
    // First start of our program on a file written without the index.
    registerOurs("startup_shown_adding_index", {1000000}, 3,
                 [](benchmark::State &state, Variant variant, qint64 rows) { startUp(state, variant, rows, false); });
    return 0;
}();

const std::string kStartup = "startup_shown";
CheckRegistrar c1(20, growth("window shown: 1e6 rows vs empty table (ours)", name(kStartup, Variant::Ours, 1000000),
                             name(kStartup, Variant::Ours, 0), 2));
CheckRegistrar c2(21, speedup("window shown at 1e6 rows, speed-up", name(kStartup, Variant::Ours, 1000000),
                              name(kStartup, Variant::Reference, 1000000)));
CheckRegistrar c3(22, figure("first start adding the index to 1e6 rows (once)",
                             name("startup_shown_adding_index", Variant::Ours, 1000000), {}, "ms"));

} // namespace
} // namespace Bench
