// The live readings window over real serial lines during a collection: what it
// lists and says, and a balance unplugged and plugged back in.
#include "collectionprobe.h"
#include "livereadingswindow.h"
#include "pseudoterminal.h"
#include "windowtestcase.h"

#include <QAction>
#include <QLabel>
#include <QTableWidget>

constexpr int kPatience = 15000;  // ms; generous for a loaded machine

static QStringList lineOn(const QString &id, const QString &device)
{
    return {id + "/comPort=" + device, id + "/name=Balance " + id, id + "/transmissionRate=9600",
            id + "/parity=odd", id + "/stopBits=1", id + "/samplingInterval=1"};
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
        child<QAction>(&window, "actionLiveReadings")->trigger();
        auto *live = window.findChild<LiveReadingsWindow *>();
        QVERIFY(live && live->isVisible() && !live->isModal());
        auto *label = child<QLabel>(live, "label");
        auto *table = child<QTableWidget>(live, "uTable");
        const auto row = [table](int row) {  // name|port|state|result|unit|stability
            QStringList cells;
            for (int column = 0; column < 6 && row < table->rowCount(); ++column)
                cells << (table->item(row, column) ? table->item(row, column)->text() : QString());
            return cells.join('|');
        };
        const auto lastRow = [] {  // of Balance P; Balance Q records its placeholders meanwhile
            const QStringList rows = allTestRows().filter("|Balance P|");
            return rows.value(rows.size() - 1).section('|', 2);
        };
        QCOMPARE(label->text(), "No collection is running.");

        window.startToCollect();
        QVERIFY(label->text() != "No collection is running.");
        // A pseudo-terminal refuses 7 data bits; ttyQ is missing: two boxes each.
        QTRY_COMPARE_WITH_TIMEOUT(m_boxes->texts().filter(QRegularExpression("cannot (set data bits|open serial port)")).size(), 2, kPatience);
        m_boxes->clear();
        QVERIFY(first.write("+    12.34 g  \r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(row(0), "Balance P|" + link + "|receiving|+12.34|g|stable", kPatience);
        QVERIFY(table->rowCount() == 2 && row(1).startsWith("Balance Q|/nonexistent/ttyQ|port failed: "));
        QTRY_COMPARE_WITH_TIMEOUT(lastRow(), "Balance P||+12.34|g  ", kPatience);

        // Unplugged: told once, then tried again quietly while nothing answers.
        first.hangUp();
        QTRY_VERIFY_WITH_TIMEOUT(row(0).startsWith("Balance P|" + link + "|reconnecting (1 tries"), kPatience);
        QTRY_COMPARE(withoutPrefixes(m_boxes->texts()), QStringList({"An I/O error occurred while reading the data."}));

        // Plugged back in behind the same link: its readings are recorded.
        Veltrano::Sim::PseudoTerminal second;
        QVERIFY(second.open() && second.makeLink(link));
        QTRY_VERIFY_WITH_TIMEOUT(row(0).startsWith("Balance P|" + link + "|reconnected|"), kPatience);
        QVERIFY(second.write("-    56.78    \r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(row(0), "Balance P|" + link + "|reconnected|-56.78||unstable", kPatience);
        QTRY_VERIFY_WITH_TIMEOUT(lastRow().startsWith("Balance P||-56.78|"), kPatience);

        // A second unplug is handled the same way, without a box.
        second.hangUp();
        QTRY_VERIFY_WITH_TIMEOUT(row(0).contains("|reconnecting (1 tries"), kPatience);
        QCOMPARE(m_boxes->count(), 1);

        window.stopToCollect();
        QCOMPARE(label->text(), "No collection is running.");
        QCOMPARE(table->rowCount(), 0);
    }
};

QTEST_MAIN(TestLiveReadings)
#include "tst_livereadings.moc"
