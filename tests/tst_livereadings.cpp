// The live readings window over real serial lines, and a balance that is
// unplugged and plugged back in during a collection.
#include "collectionprobe.h"
#include "livereadingswindow.h"
#include "pseudoterminal.h"
#include "windowtestcase.h"

#include <QAction>
#include <QLabel>
#include <QTableWidget>

using Veltrano::Sim::PseudoTerminal;

namespace {

constexpr int kPatience = 15000;  // ms; generous for a loaded machine

QStringList lineOn(const QString &id, const QString &device)
{
    return {id + "/comPort=" + device, id + "/name=Balance " + id, id + "/transmissionRate=9600",
            id + "/parity=odd", id + "/stopBits=1", id + "/samplingInterval=1"};
}

} // namespace

class TestLiveReadings : public WindowTestCase
{
    Q_OBJECT
private slots:
    void showsTheCollection();
    void reconnectsAfterUnplug();

private:
    // Row `row` of the live table, the first `columns` cells joined by '|'.
    static QString row(LiveReadingsWindow *live, int row, int columns = 6)
    {
        auto *table = child<QTableWidget>(live, "uTable");
        QStringList cells;
        for (int column = 0; column < columns && row < table->rowCount(); ++column)
            cells << (table->item(row, column) ? table->item(row, column)->text() : QString());
        return cells.join('|');
    }
};

void TestLiveReadings::showsTheCollection()
{
    PseudoTerminal line;
    QVERIFY(line.open());
    writeSettings(lineOn("P", line.devicePath()) + lineOn("Q", "/nonexistent/ttyQ")
                  + QStringList{"R/active=false", "R/name=Balance R"});
    MainWindow window;
    child<QAction>(&window, "actionLiveReadings")->trigger();
    auto *live = window.findChild<LiveReadingsWindow *>();
    QVERIFY(live && live->isVisible() && !live->isModal());
    const auto running = [live] { return child<QLabel>(live, "label")->text() != "No collection is running."; };
    QVERIFY(!running());

    window.startToCollect();
    QVERIFY(running());
    QVERIFY(line.write("-    12.30    \r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(row(live, 0), "Balance P|" + line.devicePath() + "|receiving|-12.30||unstable",
                              kPatience);
    QVERIFY(row(live, 1).startsWith("Balance Q|/nonexistent/ttyQ|port failed: "));
    QCOMPARE(child<QTableWidget>(live, "uTable")->rowCount(), 2);

    window.stopToCollect();
    QVERIFY(!running());
    QCOMPARE(child<QTableWidget>(live, "uTable")->rowCount(), 0);
}

void TestLiveReadings::reconnectsAfterUnplug()
{
    const QString link = m_dir->filePath("balance");
    PseudoTerminal first;
    QVERIFY(first.open() && first.makeLink(link));
    writeSettings(lineOn("P", link));
    MainWindow window;
    child<QAction>(&window, "actionLiveReadings")->trigger();
    auto *live = window.findChild<LiveReadingsWindow *>();
    window.startToCollect();
    m_boxes->clear();  // a pseudo-terminal refuses 7 data bits
    const auto lastRow = [] { return allTestRows().value(allTestRows().size() - 1).section('|', 2); };
    QVERIFY(first.write("+    12.34 g  \r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(lastRow(), "Balance P||+12.34|g  ", kPatience);

    // Unplugged: told once, then tried again quietly while nothing answers.
    first.hangUp();
    QTRY_VERIFY_WITH_TIMEOUT(row(live, 0, 3).startsWith("Balance P|" + link + "|reconnecting (1 tries"), kPatience);
    QCOMPARE(withoutPrefixes(m_boxes->texts()), QStringList({"An I/O error occurred while reading the data."}));

    // Plugged back in behind the same link: its readings are recorded.
    PseudoTerminal second;
    QVERIFY(second.open() && second.makeLink(link));
    QTRY_COMPARE_WITH_TIMEOUT(row(live, 0, 3), "Balance P|" + link + "|reconnected", kPatience);
    QVERIFY(second.write("+    56.78 g  \r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(lastRow(), "Balance P||+56.78|g  ", kPatience);

    // A second unplug is handled the same way, without a box.
    second.hangUp();
    QTRY_VERIFY_WITH_TIMEOUT(row(live, 0, 3).contains("|reconnecting (1 tries"), kPatience);
    QCOMPARE(m_boxes->count(), 1);
}

QTEST_MAIN(TestLiveReadings)
#include "tst_livereadings.moc"
