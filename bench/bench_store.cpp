// The store path: one row written, the shown table brought up to date and its
// columns refitted, with 1e3, 1e5 and 1e6 rows already in the table; and the
// table view at depth: a store while the user reads old rows, a jump of the
// scroll bar, the model's memory after a walk through the whole table.

#include "benchdata.h"
#include "harness.h"
#include "collect/instrumentconfig.h"
#include "store/measurementdb.h"
#include "store/measurementmodel.h"
#include "benchprobe.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QSettings>
#include <QScrollBar>
#include <QTableView>

#include <memory>

namespace Bench {
namespace {

const std::vector<qint64> kRows = {1000, 100000, 1000000};

// A shown window on a copy of a table of `rows` rows, kept between the
// repetitions of one benchmark and replaced when another one needs a table.
class StoreRig
{
public:
    static StoreRig &get(Variant variant, qint64 rows)
    {
        static std::unique_ptr<StoreRig> rig;
        static bool cleanupRegistered = false;
        if (!cleanupRegistered) {
            atExit([] { rig.reset(); });
            cleanupRegistered = true;
        }
        if (!rig || rig->m_variant != variant || rig->m_rows != rows) {
            rig.reset();
            rig.reset(new StoreRig(variant, rows));
        }
        return *rig;
    }

    ~StoreRig()
    {
        m_ours.reset();
        m_reference.reset();
        closeDefaultConnection();
    }

    QTableView *view() { return m_ours ? MainWindowProbe::view(*m_ours) : m_reference->view(); }
    QAbstractItemModel *model() { return view()->model(); }

    QString nextInstrument() { return instrumentId(m_next++ % kInstruments); }

    bool insert()
    {
        const QString id = nextInstrument();
        if (m_reference)
            return m_reference->insert(id);
        const Reading reading;
        const QDateTime now = QDateTime::currentDateTime();
        Veltrano::MeasurementDb::Row row;
        row.date = now.date().toString(Qt::ISODate);
        row.time = now.time().toString(Qt::ISODate);
        row.name = QStringLiteral("Balance 1");
        row.header = reading.header;
        row.result = reading.result;
        row.unit = reading.unit;
        return Veltrano::MeasurementDb::insertRow(row, nullptr);
    }

    // The whole store as a sampling tick runs it, and the repaint after it.
    void store()
    {
        const QString id = nextInstrument();
        if (m_reference)
            m_reference->store(id);
        else
            MainWindowProbe::store(*m_ours, id);
        QCoreApplication::processEvents();
    }

    // The model brought up to date after a row was written (ours: the new
    // row taken in; the reference: the whole table selected again), then the
    // refit; the split goes into the counters.
    void reloadAndRefit(benchmark::State &state)
    {
        QElapsedTimer timer;
        timer.start();
        if (m_reference)
            m_reference->model().select();
        else
            qobject_cast<Veltrano::MeasurementModel *>(model())->refresh();
        const qint64 selected = timer.nsecsElapsed();
        view()->resizeColumnsToContents();
        const qint64 refitted = timer.nsecsElapsed();
        QCoreApplication::processEvents();  // the repaint the user waits for
        const qint64 painted = timer.nsecsElapsed();
        state.counters["select_ms"] = selected / 1e6;
        state.counters["refit_ms"] = (refitted - selected) / 1e6;
        state.counters["paint_ms"] = (painted - refitted) / 1e6;
        state.counters["rows_in_model"] = model()->rowCount();
    }

private:
    StoreRig(Variant variant, qint64 rows)
        : m_variant(variant)
        , m_rows(rows)
        , m_dir(rows, variant == Variant::Ours)
    {
        openDefaultConnection();
        if (variant == Variant::Ours) {
            m_ours = std::make_unique<MainWindow>();
            const Reading reading;
            for (int i = 0; i < kInstruments; ++i)
                MainWindowProbe::setLatest(*m_ours, instrumentId(i), reading.header, reading.result, reading.unit);
            showAndWait(m_ours.get());
        } else {
            m_reference = std::make_unique<ReferenceWindow>();
            showAndWait(m_reference.get());
        }
    }

    Variant m_variant;
    qint64 m_rows;
    WorkDir m_dir;
    std::unique_ptr<MainWindow> m_ours;
    std::unique_ptr<ReferenceWindow> m_reference;
    int m_next = 0;
};

double secondsSince(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e9;
}

void insertOnly(benchmark::State &state, Variant variant, qint64 rows)
{
    StoreRig &rig = StoreRig::get(variant, rows);
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        const bool ok = rig.insert();
        state.SetIterationTime(secondsSince(timer));
        if (!ok)
            state.SkipWithError("insert failed");
    }
}

void reloadRefit(benchmark::State &state, Variant variant, qint64 rows)
{
    StoreRig &rig = StoreRig::get(variant, rows);
    for (auto _ : state) {
        if (!rig.insert())
            state.SkipWithError("insert failed");
        QElapsedTimer timer;
        timer.start();
        rig.reloadAndRefit(state);
        state.SetIterationTime(secondsSince(timer));
    }
}

void wholeStore(benchmark::State &state, Variant variant, qint64 rows)
{
    StoreRig &rig = StoreRig::get(variant, rows);
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        rig.store();
        state.SetIterationTime(secondsSince(timer));
    }
}

// The whole store while the user reads older rows: the view scrolled down to
// row `depth` of a table of 1e6 rows (0: the top), a place the view keeps.
void scrolledStore(benchmark::State &state, Variant variant, qint64 depth)
{
    StoreRig &rig = StoreRig::get(variant, 1000000);
    QAbstractItemModel *model = rig.model();
    for (auto _ : state) {
        rig.view()->scrollTo(model->index(int(depth), 0), QAbstractItemView::PositionAtTop);
        QCoreApplication::processEvents();
        state.counters["top_row_before"] = rig.view()->rowAt(0);
        QElapsedTimer timer;
        timer.start();
        rig.store();
        state.SetIterationTime(secondsSince(timer));
        state.counters["top_row_after"] = rig.view()->rowAt(0);
    }
}

// The scroll bar dragged to `percent` of a 1e6-row table, as after start-up
// (nothing read there yet, the count not yet checked): until the rows on
// screen are painted.
void scrollBarJump(benchmark::State &state, Variant variant, qint64 percent)
{
    StoreRig &rig = StoreRig::get(variant, 1000000);
    QScrollBar *bar = rig.view()->verticalScrollBar();
    for (auto _ : state) {
        bar->setValue(0);
        qobject_cast<Veltrano::MeasurementModel *>(rig.model())->reload();
        QCoreApplication::processEvents();
        QElapsedTimer timer;
        timer.start();
        bar->setValue(int(bar->maximum() * percent / 100));
        QCoreApplication::processEvents();
        state.SetIterationTime(secondsSince(timer));
        state.counters["top_row"] = rig.view()->rowAt(0);
    }
}

// Memory of the model after every row of a 1e6-row table has been on screen:
// the scroll bar stepped through the whole range, painting at each step, then
// every row asked for in order.
void walkThrough(benchmark::State &state, Variant variant, qint64 rows)
{
    StoreRig &rig = StoreRig::get(variant, rows);
    QAbstractItemModel *model = rig.model();
    QScrollBar *bar = rig.view()->verticalScrollBar();
    for (auto _ : state) {
        Memory::trim();
        const double before = Memory::residentMiB();
        QElapsedTimer timer;
        timer.start();
        for (int value = 0; value <= bar->maximum(); value += 4999) {
            bar->setValue(value);
            QCoreApplication::processEvents();
        }
        for (int row = 0; row < model->rowCount(); ++row)
            benchmark::DoNotOptimize(model->index(row, 0).data());
        state.SetIterationTime(secondsSince(timer));
        Memory::trim();
        state.counters["resident_growth_mib"] = Memory::residentMiB() - before;
        bar->setValue(0);
    }
}

const int kRegistered = [] {
    registerPair("store_insert", kRows, 9, insertOnly);
    registerPair("store_reload_refit", kRows, 9, reloadRefit);
    registerPair("store_whole", kRows, 9, wholeStore);
    registerOurs("store_whole_scrolled", {0, 100000, 900000}, 9, scrolledStore);
    registerOurs("view_scroll_bar_jump", {50, 100}, 9, scrollBarJump);
    registerOurs("view_walk_through", {1000000}, 1, walkThrough);
    return 0;
}();

const std::string kReload = "store_reload_refit";
CheckRegistrar c1(10, speedup("reload+refit at 1e6 rows, speed-up", name(kReload, Variant::Ours, 1000000),
                              name(kReload, Variant::Reference, 1000000), 100));
CheckRegistrar c2(11, growth("whole store: 1e6 rows vs 1e3 rows (ours)", name("store_whole", Variant::Ours, 1000000),
                             name("store_whole", Variant::Ours, 1000), 2));
CheckRegistrar c3(12, figure("insert at 1e6 rows, ours (disk flush)", name("store_insert", Variant::Ours, 1000000),
                             {}, "ms"));
CheckRegistrar c4(13, figure("insert at 1e6 rows, reference", name("store_insert", Variant::Reference, 1000000), {},
                             "ms"));
const std::string kScrolled = "store_whole_scrolled";
CheckRegistrar c7(16, growth("store, view at row 1e5 vs at the top (1e6 rows)", name(kScrolled, Variant::Ours, 100000),
                             name(kScrolled, Variant::Ours, 0), 2));
CheckRegistrar c8(17, growth("store, view at row 9e5 vs at the top (1e6 rows)", name(kScrolled, Variant::Ours, 900000),
                             name(kScrolled, Variant::Ours, 0), 2));
CheckRegistrar c9(18, atMost("scroll bar to the middle of 1e6 rows, painted", name("view_scroll_bar_jump", Variant::Ours, 50),
                             {}, 100, "ms"));
CheckRegistrar c10(19, atMost("scroll bar to the bottom of 1e6 rows, painted",
                              name("view_scroll_bar_jump", Variant::Ours, 100), {}, 100, "ms"));
CheckRegistrar c11(19, figure("model memory after a walk through 1e6 rows",
                              name("view_walk_through", Variant::Ours, 1000000), "resident_growth_mib", "MiB"));
CheckRegistrar c5(14, speedup("whole store at 1e6 rows, speed-up", name("store_whole", Variant::Ours, 1000000),
                              name("store_whole", Variant::Reference, 1000000)));

} // namespace
} // namespace Bench

namespace Bench {
namespace {

// Reading an instrument's name as each stored row does: a new settings
// object on settings.ini (with every instrument in it), one key read.
void nameRead(benchmark::State &state, Variant, qint64 calls)
{
    WorkDir dir(0, true);
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        qint64 length = 0;
        for (qint64 i = 0; i < calls; ++i) {
            const QSettings settings(QString::fromLatin1(Veltrano::Config::kFileName), QSettings::IniFormat);
            length += settings.value(Veltrano::Config::keyPath(instrumentId(i % kInstruments),
                                                               Veltrano::Config::Key::name)).toString().size();
        }
        state.SetIterationTime(timer.nsecsElapsed() / 1e9 / calls);
        benchmark::DoNotOptimize(length);
    }
}

const int kNameRead = [] {
    registerOurs("settings_name_read", {1000}, 5, nameRead);
    return 0;
}();

CheckRegistrar c6(15, figure("name read from settings.ini, per row", name("settings_name_read", Variant::Ours, 1000),
                             {}, "ms"));

} // namespace
} // namespace Bench
