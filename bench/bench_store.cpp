// The store path: one row written, the shown table reloaded and its columns
// refitted, with 1e3, 1e5 and 1e6 rows already in the table.

#include "benchdata.h"
#include "harness.h"
#include "instrumentconfig.h"
#include "measurementdb.h"
#include "viewpositionkeeper.h"
#include "benchprobe.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QSettings>
#include <QSqlQueryModel>
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
    QSqlQueryModel *model() { return qobject_cast<QSqlQueryModel *>(view()->model()); }

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

    // Reload and refit; the split goes into the counters.
    void reloadAndRefit(benchmark::State &state)
    {
        QElapsedTimer timer;
        timer.start();
        qint64 selected, refitted;
        if (m_reference) {
            m_reference->model().select();
            selected = timer.nsecsElapsed();
            view()->resizeColumnsToContents();
            refitted = timer.nsecsElapsed();
        } else {
            // As the program's store does it: the user's place in the view is kept.
            Veltrano::ViewPositionKeeper keep(view());
            qobject_cast<QSqlTableModel *>(model())->select();
            selected = timer.nsecsElapsed();
            view()->resizeColumnsToContents();
            refitted = timer.nsecsElapsed();
        }
        const qint64 kept = timer.nsecsElapsed();
        QCoreApplication::processEvents();  // the repaint the user waits for
        const qint64 painted = timer.nsecsElapsed();
        state.counters["select_ms"] = selected / 1e6;
        state.counters["refit_ms"] = (refitted - selected) / 1e6;
        state.counters["keep_place_ms"] = (kept - refitted) / 1e6;
        state.counters["paint_ms"] = (painted - kept) / 1e6;
        state.counters["rows_loaded"] = model()->rowCount();
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
// row `depth` of a table of 1e6 rows, a place that each reload must find again.
void scrolledStore(benchmark::State &state, Variant variant, qint64 depth)
{
    StoreRig &rig = StoreRig::get(variant, 1000000);
    QSqlQueryModel *model = rig.model();
    for (auto _ : state) {
        while (model->rowCount() <= depth && model->canFetchMore())
            model->fetchMore();
        QCoreApplication::processEvents();
        rig.view()->scrollTo(model->index(int(depth), 0), QAbstractItemView::PositionAtTop);
        QCoreApplication::processEvents();
        state.counters["top_row_before"] = rig.view()->rowAt(0);
        QElapsedTimer timer;
        timer.start();
        rig.store();
        state.SetIterationTime(secondsSince(timer));
        state.counters["rows_loaded"] = model->rowCount();
        state.counters["top_row_after"] = rig.view()->rowAt(0);
    }
}

const int kRegistered = [] {
    registerPair("store_insert", kRows, 9, insertOnly);
    registerPair("store_reload_refit", kRows, 9, reloadRefit);
    registerPair("store_whole", kRows, 9, wholeStore);
    registerOurs("store_whole_scrolled", {10000, 100000}, 5, scrolledStore);
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
CheckRegistrar c7(16, figure("whole store, view scrolled to row 1e4 (1e6 rows)",
                             name("store_whole_scrolled", Variant::Ours, 10000), {}, "ms"));
CheckRegistrar c8(17, figure("whole store, view scrolled to row 1e5 (1e6 rows)",
                             name("store_whole_scrolled", Variant::Ours, 100000), {}, "ms"));
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
