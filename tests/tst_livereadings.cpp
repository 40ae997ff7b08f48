// The live readings window over real serial lines during a collection: what it
// lists and says, and a balance unplugged and plugged back in.
#include "balancesimulator.h"
#include "collect/collectorlock.h"
#include "collect/instrumentstate.h"
#include "collect/statusfile.h"
#include "collectionprobe.h"
#include "livereadingswindow.h"
#include "pseudoterminal.h"
#include "windowtestcase.h"

#include <QAction>
#include <QGraphicsTextItem>
#include <QLabel>
#include <QScreen>
#include <QTableWidget>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QValueAxis>

#include <climits>

using Veltrano::Sim::Maker;

constexpr int kPatience = 30000;  // ms; generous for a loaded machine and a sanitizer build

// Settings of "Balance <id>" on `device` at 9600 baud, with `more` (by default the data bits' default).
static QStringList lineOn(const QString &id, const QString &device, const QStringList &more = {"parity=odd"})
{
    return (QStringList{"comPort=" + device, "name=Balance " + id, "transmissionRate=9600", "stopBits=1", "samplingInterval=1"}
            + more).replaceInStrings(QRegularExpression("^"), id + "/");
}

// The live readings window, opened from the main window's menu.
static LiveReadingsWindow *openLive(MainWindow &window)
{
    child<QAction>(&window, "actionLiveReadings")->trigger();
    return window.findChild<LiveReadingsWindow *>();
}

// The cells of one row of a table, joined by "|"; `columns` of them.
static QString cells(const QTableWidget *table, int row, int columns)
{
    QStringList texts;
    for (int column = 0; column < columns && row < table->rowCount(); ++column)
        texts << (table->item(row, column) ? table->item(row, column)->text() : QString());
    return texts.join('|');
}

// The charts of the instruments' strips, top to bottom.
static QList<QChart *> strips(const QWidget *live)
{
    QList<QChart *> charts;
    for (QChartView *view : live->findChildren<QChartView *>("uStrip"))
        charts << view->chart();
    return charts;
}

// The texts drawn in a strip's scene; `inSight`: only those within its view.
static QStringList textsOf(const QChartView *view, bool inSight)
{
    QStringList found;
    for (QGraphicsItem *item : view->scene()->items()) {
        auto *text = dynamic_cast<QGraphicsTextItem *>(item);
        if (text && text->isVisible() && (!inSight || view->rect().contains(view->mapFromScene(text->sceneBoundingRect().center()))))
            found << text->toPlainText();
    }
    return found;
}

static QString lastRowOf(const QString &name)  // "header|result|unit" of its newest stored row
{
    const QStringList rows = allTestRows().filter("|" + name + "|");
    return rows.value(rows.size() - 1).section(QLatin1Char('|'), 3);
}

class TestLiveReadings : public WindowTestCase
{
    Q_OBJECT
private slots:
    void followsTheCollection()
    {
        const QString link = m_dir->filePath("balance");
        Veltrano::Sim::PseudoTerminal first;
        QVERIFY(first.open() && first.makeLink(link));
        writeSettings(lineOn("P", link) + lineOn("Q", "/nonexistent/ttyQ")
                      + QStringList{"R/active=false", "R/name=Balance R"});
        MainWindow window;
        auto *live = openLive(window);
        QVERIFY(live && live->isVisible() && !live->isModal());
        auto *label = child<QLabel>(live, "label");
        auto *table = child<QTableWidget>(live, "uTable");
        const auto row = [table](int row) { return cells(table, row, 6); };  // name|port|state|result|unit|stability
        QCOMPARE(label->text(), "No collection is running.");
        QCOMPARE(child<QChartView>(live, "uChart")->chart()->title(), "Start a collection to see its readings here.");
        QVERIFY(!child<QChartView>(live, "uChart")->chart()->axes(Qt::Horizontal).value(0)->isVisible());

        window.startToCollect();
        QTRY_VERIFY(label->text() != "No collection is running.");
        // A pseudo-terminal refuses 7 data bits; ttyQ is missing: two boxes each.
        QTRY_COMPARE_WITH_TIMEOUT(m_boxes->texts().filter(QRegularExpression("cannot (set data bits|open serial port)")).size(), 2, kPatience);
        m_boxes->clear();
        QVERIFY(first.write("+    12.34 g  \r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(row(0), "Balance P|" + link + "|receiving|+12.34|g|stable", kPatience);
        QVERIFY(table->rowCount() == 2 && row(1).startsWith("Balance Q|/nonexistent/ttyQ|port failed: "));
        QTRY_COMPARE_WITH_TIMEOUT(lastRowOf("Balance P"), "|+12.34|g  ", kPatience);

        // Unplugged: told once, then tried again quietly while nothing answers.
        first.hangUp();
        QTRY_VERIFY_WITH_TIMEOUT(row(0).startsWith("Balance P|" + link + "|reconnecting (1 try"), kPatience);
        // One box, naming the balance and its port.
        QTRY_COMPARE(hangUpAsReadError(withoutPrefixes(m_boxes->texts())),
                     QStringList({"An I/O error occurred while reading the data.\nInstrument: Balance P (P) on " + link}));

        // Plugged back in behind the same link: its readings are recorded.
        Veltrano::Sim::PseudoTerminal second;
        QVERIFY(second.open() && second.makeLink(link));
        QTRY_VERIFY_WITH_TIMEOUT(row(0).startsWith("Balance P|" + link + "|reconnected|"), kPatience);
        QVERIFY(second.write("-    56.78    \r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(row(0), "Balance P|" + link + "|reconnected|-56.78||unstable", kPatience);
        QTRY_VERIFY_WITH_TIMEOUT(lastRowOf("Balance P").startsWith("|-56.78|"), kPatience);

        // Readings came through again: a second unplug is an outage of its own,
        // told once more.
        second.hangUp();
        QTRY_VERIFY_WITH_TIMEOUT(row(0).contains("|reconnecting (1 try"), kPatience);
        QCOMPARE(m_boxes->count(), 2);

        // The last collection stays readable until the next Start.
        window.stopToCollect();
        QTRY_VERIFY(label->text().startsWith("Collection stopped at "));
        QCOMPARE(table->rowCount(), 2);
        QVERIFY2(row(0).startsWith("Balance P|" + link + "|collection stopped at ") && row(0).endsWith("|-56.78||unstable"),
                 qPrintable(row(0)));
        window.startToCollect();
        QTRY_VERIFY(label->text().startsWith("Collection running since "));
        QTRY_VERIFY(!row(0).contains("collection stopped") && row(0).endsWith("||"));
        window.stopToCollect();
    }

    void eachMaker_data()
    {
        QTest::addColumn<int>("maker");  // the instrument's type is the row's name
        QTest::addColumn<QByteArray>("overload");  // empty: the layout has none
        QTest::addColumn<QByteArray>("skipped");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("stored");       // header|result|unit of 12.50 g, stable
        const auto row = [](const char *type, Maker maker, const QByteArray &overload, const QByteArray &skipped,
                            const char *reason, const char *stored) {
            QTest::newRow(type) << int(maker) << overload << skipped << reason << stored;
        };
        row("sartoriusBasic", Maker::Sartorius, "      H       \r\n", "   Err 54     \r\n", "error code", "|+12.50|g  ");
        row("mettlerToledoSics", Maker::MettlerToledoSics, "S +\r\n", "ES\r\n", "not a reading", "S S|12.50|g");
        row("andStandard", Maker::AndStandard, "OL,+9999999E+19\r\n", "WT,+00012.78  g\r\n", "layout not recognised",
            "ST|+00012.50|g");
        row("ohaus", Maker::Ohaus, "", "   TOTAL\r\n", "layout not recognised", "|12.50|g");
        row("radwagKern", Maker::RadwagKern, "^\r\n", "SI I\r\n", "not a reading", "|12.50|g");
        row("shimadzu", Maker::Shimadzu, "U      oL  \r", "    192.21 g  \r", "layout not recognised", "S|12.50|g");
    }

    // A balance of every maker on 8 data bits without parity: its lines reach
    // the table, the stored rows, the received lines and the chart.
    void eachMaker()
    {
        const QString type = QTest::currentDataTag();
        QFETCH(int, maker);
        QFETCH(QByteArray, overload);
        QFETCH(QByteArray, skipped);
        QFETCH(QString, reason);
        QFETCH(QString, stored);
        const QString link = m_dir->filePath("balance");
        Veltrano::Sim::PseudoTerminal line;
        QVERIFY(line.open() && line.makeLink(link));
        writeSettings(lineOn("P", link, {"type=" + type, "dataBits=8", "parity=none"}));
        MainWindow window;
        auto *live = openLive(window);
        auto *table = child<QTableWidget>(live, "uTable");
        auto *raw = child<QTableWidget>(live, "uRawLines");
        const auto state = [table] { return cells(table, 0, 7).section('|', 2); };  // state|result|unit|reading|load
        MainWindowProbe probe(window);
        window.startToCollect();
        // The port opens on the collection's thread: a line written before would be lost to the test.
        QTRY_VERIFY_WITH_TIMEOUT(probe.linkOpen("P"), kPatience);

        const Maker which = Maker(maker);
        const QByteArray unstable = which == Maker::Sartorius ? "+    12.40    \r\n"
                                                              : Veltrano::Sim::makerLine(which, 12.4, 2, "g", false);
        QVERIFY(line.write(unstable));
        QTRY_VERIFY_WITH_TIMEOUT(state().startsWith("receiving|") && state().endsWith("|unstable|"), kPatience);
        if (!overload.isEmpty()) {
            QVERIFY(line.write(overload));
            QTRY_VERIFY_WITH_TIMEOUT(state().endsWith("|overload"), kPatience);
        }
        const QByteArray stable = Veltrano::Sim::makerLine(which, 12.5, 2, "g", true);
        QVERIFY(line.write(skipped + stable));
        QTRY_VERIFY_WITH_TIMEOUT(state().endsWith("|g|stable|"), kPatience);
        QTRY_COMPARE_WITH_TIMEOUT(lastRowOf("Balance P"), stored, kPatience);

        // Newest first, as received, with what became of each.
        using Veltrano::InstrumentState;
        QTRY_COMPARE(raw->rowCount(), overload.isEmpty() ? 3 : 4);
        QCOMPARE(cells(raw, 0, 3).section('|', 1), InstrumentState::visible(stable) + "|reading");
        QCOMPARE(cells(raw, 1, 3).section('|', 1), InstrumentState::visible(skipped) + "|skipped: " + reason);
        QCOMPARE(cells(raw, raw->rowCount() - 1, 3).section('|', 1), InstrumentState::visible(unstable) + "|reading");

        // A strip of its own on the instrument's scale. Readings closer than the history's
        // spacing replace each other: the unstable one may have given way to the stable one.
        QTRY_COMPARE(strips(live).size(), 1);
        QVERIFY(!child<QChartView>(live, "uChart")->isVisible());
        auto *value = qobject_cast<QValueAxis *>(strips(live).first()->axes(Qt::Vertical).value(0));
        QTRY_VERIFY(value && value->isVisible() && value->min() <= 12.5 && value->max() >= 12.5 && value->max() < 12.6);
        QCOMPARE(child<QLabel>(live, "uScale")->text(), "Scale of Balance P (g); select a row above for another.");
        QCOMPARE(m_boxes->texts().filter(QRegularExpression("cannot|parity")), QStringList());  // 8 data bits, no parity: taken
        window.stopToCollect();
    }

    void showsAnotherCollector_data()
    {
        QTest::addColumn<int>("age");        // ms since the status was written
        QTest::addColumn<bool>("locked");    // the folder's lock names the status's writer
        QTest::addColumn<QString>("label");  // how the window's note begins
        QTest::addColumn<QString>("at");     // what the states are said to be as of
        QTest::newRow("fresh") << 0 << true << "Collection by veltrano-collect (process %1), running since " << "";
        QTest::newRow("stale") << 30000 << true << "The status of veltrano-collect (process %1) is 3" << " (at ";
        QTest::newRow("lock gone") << 0 << false << "veltrano-collect (process %1) no longer holds this folder" << " (at ";
    }

    // A collector's status file in the folder: its instruments as it knows them.
    void showsAnotherCollector()
    {
        QFETCH(int, age);
        QFETCH(bool, locked);
        QFETCH(QString, label);
        QFETCH(QString, at);
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        Veltrano::InstrumentStates theirs;
        theirs.start({{"A", Veltrano::InstrumentState("Balance A", "/dev/ttyA", now)},
                      {"B", Veltrano::InstrumentState("Balance B", "/dev/ttyB", now)}});
        const QByteArray line = "+    12.34 g  \r\n";
        theirs.lineReceived("A", line, Veltrano::PrintLine::parse(line));
        theirs.closedAfterError("B");
        theirs.reconnectFailed("B", "gone");
        theirs.reconnectFailed("B", "still gone");
        Veltrano::CollectorLock lock;
        QVERIFY(!locked || lock.acquire());
        using namespace Veltrano::StatusFile;
        const qint64 written = now - age;
        QVERIFY(write(kFileName, describe(theirs, "veltrano-collect", now - 60000, written), nullptr));

        Veltrano::InstrumentStates ours;
        LiveReadingsWindow live(&ours);
        live.show();
        auto *table = child<QTableWidget>(&live, "uTable");
        QVERIFY(child<QLabel>(&live, "label")->text().startsWith(label.arg(QCoreApplication::applicationPid())));
        QCOMPARE(table->rowCount(), 2);
        const QString then = at.isEmpty() ? "" : at + QDateTime::fromMSecsSinceEpoch(written).toString("hh:mm:ss") + ")";
        QCOMPARE(cells(table, 0, 6), "Balance A|/dev/ttyA|receiving" + then + "|+12.34|g|stable");
        QCOMPARE(cells(table, 1, 3), "Balance B|/dev/ttyB|reconnecting (2 tries, last: still gone)" + then);
        QTRY_COMPARE(strips(&live).size(), 2);
        QTRY_VERIFY(child(&live, "uStrips")->isVisible());

        // It stops: its status goes, its last states stay.
        QVERIFY(QFile::remove(kFileName));
        QTRY_VERIFY(child<QLabel>(&live, "label")->text().contains("stopped recording in this folder"));
        QVERIFY(cells(table, 0, 3).startsWith("Balance A|/dev/ttyA|collection stopped at "));
    }

    // Three balances of very different ranges in the window at the size the
    // README shows it: a strip each, every scale labelled with at least four
    // values and its unit, no label cut short, the time on round clock times.
    // The first has no name: the table, its received lines and its strip name it by its id.
    void stripPerInstrument()
    {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        QMap<QString, Veltrano::InstrumentState> balances;
        const QStringList names{"Demo Basic", "Demo Mettler-Toledo", "Demo Signum"};
        for (const QString &name : names)
            balances.insert(name, Veltrano::InstrumentState(name == names.first() ? QString() : name, "./balance", now));
        Veltrano::InstrumentStates states;
        for (int second = 60; second >= 0; second -= 2) {
            double range = 12;
            for (auto it = balances.begin(); it != balances.end(); ++it, range *= 20) {
                const double value = range + range * 1e-4 * (second % 7);
                const QByteArray line = QString("+%1 g  \r\n").arg(value, 9, 'f', 2).toLatin1();
                it->lineReceived(line, Veltrano::PrintLine::parse(line), now - second * 1000);
            }
            states.follow(balances, now - 60000, now - second * 1000);
        }
        LiveReadingsWindow live(&states);
        live.resize(760, 820);
        live.show();
        QVERIFY(QTest::qWaitForWindowExposed(&live));
        QTRY_COMPARE(strips(&live).size(), 3);
        QCOMPARE(cells(child<QTableWidget>(&live, "uTable"), 0, 2), "Demo Basic|./balance");
        QVERIFY(child<QLabel>(&live, "uRawLabel")->text().startsWith("The last lines Demo Basic (./balance) sent"));
        QCOMPARE(cells(child<QTableWidget>(&live, "uRawLines"), 0, 2).section('|', 1), "+    12.00 g  \\r\\n");
        QStringList scales;
        const QList<QLabel *> named = live.findChildren<QLabel *>("uStripName");
        for (int i = 0; i < named.size(); ++i) {
            auto *value = qobject_cast<QValueAxis *>(strips(&live).value(i)->axes(Qt::Vertical).value(0));
            QVERIFY(value);
            scales << QString("%1 %2 %3").arg(named.at(i)->text(), value->titleText()).arg(value->isVisible() && value->tickCount() >= 4);
        }
        QCOMPARE(scales, QStringList({"Demo Basic g 1", "Demo Mettler-Toledo g 1", "Demo Signum g 1"}));
        // Only the last strip labels the shared time of day, on round clock times.
        auto *time = qobject_cast<QDateTimeAxis *>(strips(&live).last()->axes(Qt::Horizontal).value(0));
        QVERIFY(time && time->labelsVisible() && !qobject_cast<QDateTimeAxis *>(strips(&live).first()->axes(Qt::Horizontal).value(0))->labelsVisible());
        QCOMPARE(time->format() + ", " + time->titleText(), "hh:mm:ss, Time of day");
        const auto stepOf = [time] {
            return (time->max().toMSecsSinceEpoch() - time->min().toMSecsSinceEpoch()) / (time->tickCount() - 1);
        };
        QTRY_VERIFY2(stepOf() == 10000 || stepOf() == 15000 || stepOf() == 30000, qPrintable(QString::number(stepOf())));
        QCOMPARE(time->min().time().second() % (stepOf() / 1000), 0);
        QCOMPARE(time->min().time().msec(), 0);

        // A label cut short ends in "..." in a strip's scene.
        const auto texts = [&live](const QString &pattern) {
            QStringList found;
            for (QChartView *view : live.findChildren<QChartView *>("uStrip"))
                found += textsOf(view, false);
            return found.filter(QRegularExpression(pattern));
        };
        QTRY_COMPARE(texts("(\\.\\.\\.|…)$").join(" / "), QString());
        // Each scale shows at least four of its values, none dropped at the strip's edges
        // (Qt 6's charts draw their labels as items of another kind: valueScale() is tested alone).
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
        // The charts lay their labels out after a repaint, late on a loaded machine.
        const auto fewestValues = [&live] {
            int fewest = INT_MAX;
            for (QChartView *view : live.findChildren<QChartView *>("uStrip"))
                fewest = qMin(fewest, int(textsOf(view, true).filter(QRegularExpression("^\\d+(\\.\\d+)?$")).size()));
            return fewest;
        };
        QTRY_VERIFY2_WITH_TIMEOUT(fewestValues() >= 4, qPrintable(QString::number(fewestValues())), kPatience);
#endif
        QTRY_VERIFY(texts("^\\d\\d:\\d\\d:\\d\\d$").size() >= 3);
        child<QTableWidget>(&live, "uTable")->selectRow(1);
        QTRY_COMPARE(child<QLabel>(&live, "uScale")->text(), "Scale of Demo Mettler-Toledo (g); select a row above for another.");
    }

    void valueScale_data()
    {
        QTest::addColumn<double>("low");
        QTest::addColumn<double>("high");
        QTest::addColumn<QString>("scale");  // min max ticks decimals
        QTest::newRow("a tenth of a gram") << 12.4 << 12.5 << "12.4 12.55 4 2";
        QTest::newRow("one value") << 12.5 << 12.5 << "12.49 12.51 5 3";
        QTest::newRow("zero") << 0.0 << 0.0 << "-5e-07 1e-06 4 7";
        QTest::newRow("hundreds") << 230.0 << 260.0 << "230 260 4 0";
        QTest::newRow("across zero") << -0.3 << 0.2 << "-0.4 0.2 4 1";
        QTest::newRow("widened to four labels") << 10.0 << 10.4 << "10 10.6 4 1";
        QTest::newRow("kilograms") << 4800.0 << 5300.0 << "4800 5400 4 0";
    }

    // Round steps and at least four labels on every strip's scale.
    void valueScale()
    {
        QFETCH(double, low);
        QFETCH(double, high);
        const LiveReadingsWindow::ValueScale got = LiveReadingsWindow::valueScale(low, high);
        QTEST(QString("%1 %2 %3 %4").arg(got.min, 0, 'g', 6).arg(got.max, 0, 'g', 6).arg(got.ticks).arg(got.decimals), "scale");
        QVERIFY(got.min <= low && got.max >= high && got.ticks >= LiveReadingsWindow::kMinValueTicks);
    }

    void timeScale_data()
    {
        QTest::addColumn<QString>("from");  // local clock times, hh:mm:ss.zzz
        QTest::addColumn<QString>("to");
        QTest::addColumn<int>("maxTicks");
        QTest::addColumn<QString>("scale");  // first and last tick, step in seconds
        QTest::newRow("a minute, 7 ticks") << "10:00:03.250" << "10:01:03.250" << 8 << "10:00:00 10:01:10 10";
        QTest::newRow("a minute, narrow") << "10:00:03.250" << "10:01:03.250" << 4 << "10:00:00 10:01:30 30";
        QTest::newRow("ten minutes") << "09:51:07.000" << "10:01:07.000" << 7 << "09:50:00 10:02:00 120";
        QTest::newRow("an hour") << "09:01:07.000" << "10:01:07.000" << 7 << "09:00:00 10:15:00 900";
        QTest::newRow("on a tick already") << "10:00:00.000" << "10:01:00.000" << 7 << "10:00:00 10:01:00 10";
        QTest::newRow("a day") << "00:10:00.000" << "23:50:00.000" << 6 << "00:00:00 00:00:00 21600";
    }

    // The time ticks fall on round times of the local clock.
    void timeScale()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(int, maxTicks);
        const QDate day(2026, 12, 9);
        const auto at = [day](const QString &text) {
            return QDateTime(day, QTime::fromString(text, "hh:mm:ss.zzz")).toMSecsSinceEpoch();
        };
        const int offset = QDateTime(day, QTime(12, 0)).offsetFromUtc();
        const LiveReadingsWindow::TimeScale got = LiveReadingsWindow::timeScale(at(from), at(to), offset, maxTicks);
        const auto clock = [](qint64 ms) { return QDateTime::fromMSecsSinceEpoch(ms).toString("hh:mm:ss"); };
        QTEST(QString("%1 %2 %3").arg(clock(got.min), clock(got.max)).arg(got.step / 1000), "scale");
        QCOMPARE(got.ticks, int((got.max - got.min) / got.step) + 1);
        QVERIFY(got.ticks <= maxTicks);
    }

    void placeBeside_data()
    {
        QTest::addColumn<QRect>("owner");
        QTest::addColumn<QSize>("wanted");
        QTest::addColumn<QRect>("placed");
        QTest::newRow("to its right") << QRect(0, 0, 800, 600) << QSize(900, 700) << QRect(800, 0, 900, 700);
        QTest::newRow("to its left") << QRect(1000, 100, 800, 600) << QSize(900, 700) << QRect(100, 100, 900, 700);
        QTest::newRow("no room: over it at the edge") << QRect(100, 50, 1600, 900) << QSize(900, 700)
                                                      << QRect(1020, 50, 900, 700);
        QTest::newRow("taller than the room below") << QRect(0, 600, 800, 400) << QSize(900, 700)
                                                    << QRect(800, 380, 900, 700);
        QTest::newRow("larger than the screen") << QRect(0, 0, 800, 600) << QSize(3000, 2000) << QRect(0, 0, 1920, 1080);
    }

    void placeBeside()
    {
        QFETCH(QRect, owner);
        QFETCH(QSize, wanted);
        QTEST(LiveReadingsWindow::placeBeside(owner, wanted, QRect(0, 0, 1920, 1080)), "placed");
    }

    // Opened from the main window: beside it, tall enough for every row.
    void opensBeside()
    {
        QStringList settings;
        for (const char *id : {"B1", "B2", "B3", "B4", "B5", "B6", "B7", "B8"})
            settings << QString(id) + "/comPort=/nonexistent/tty" + id << QString(id) + "/samplingInterval=1";
        writeSettings(settings);
        MainWindow window;
        window.setGeometry(20, 40, 600, 500);
        window.show();
        window.startToCollect();
        auto *live = openLive(window);
        QVERIFY(live && live->isVisible());
        auto *table = child<QTableWidget>(live, "uTable");
        QTRY_COMPARE(table->rowCount(), 8);
        // Where placeBeside() puts it on this screen (give or take the frame
        // it allows for), never at the default top-left over the main window.
        const QRect screen = live->screen()->availableGeometry();
        const QRect expected = LiveReadingsWindow::placeBeside(window.frameGeometry(), live->frameGeometry().size(), screen);
        QVERIFY2(std::abs(live->x() - expected.x()) <= 8 && std::abs(live->y() - expected.y()) <= 32,
                 qPrintable(QString("%1,%2 not %3,%4").arg(live->x()).arg(live->y()).arg(expected.x()).arg(expected.y())));
        QVERIFY(screen.contains(live->frameGeometry()));
        // Its rows in sight, or as tall as the screen lets it be.
        const int rowsBottom = table->visualItemRect(table->item(7, 0)).bottom();
        QVERIFY2(rowsBottom < table->viewport()->height() || live->frameGeometry().height() + 32 >= screen.height(),
                 qPrintable(QString::number(rowsBottom)));
        window.stopToCollect();
    }
};

QTEST_MAIN(TestLiveReadings)
#include "tst_livereadings.moc"
