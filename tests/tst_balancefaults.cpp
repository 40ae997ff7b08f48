// A balance that misbehaves among well-behaved ones: it hangs up, floods the
// line, or never ends its line. Its receive buffer stays bounded, it shows at
// most one box per error, and the other instruments go on as before.
#include "collectionprobe.h"
#include "printline.h"
#include "pseudoterminal.h"
#include "windowtestcase.h"

#include <array>

using Veltrano::Sim::PseudoTerminal;

namespace {

constexpr int kPatience = 15000;  // ms; generous for a loaded machine
const QStringList kIds{"A", "B", "C"};  // B is the one that misbehaves

// A reading in the short (16 byte) and the long (22 byte) print-line layout.
QByteArray shortLine(int value)
{
    return "+" + QByteArray::number(value).rightJustified(9, ' ') + " g  \r\n";
}

QByteArray longLine(int value)
{
    return "N     " + QByteArray::number(value).rightJustified(10, ' ') + " g  \r\n";
}

} // namespace

class TestBalanceFaults : public WindowTestCase
{
    Q_OBJECT
private slots:
    void misbehavingBalance_data();
    void misbehavingBalance();
};

void TestBalanceFaults::misbehavingBalance_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<QString>("lastOfB");  // B's reading afterwards

    QTest::newRow("hangs up") << "hang-up"
                              << QStringList{"error: An I/O error occurred while reading the data."} << "|+1|g  ";
    QTest::newRow("floods the line") << "flood" << QStringList() << "N     |99|g  ";
    QTest::newRow("never sends a line feed") << "no-line-feed" << QStringList() << "|+1|g  ";
}

void TestBalanceFaults::misbehavingBalance()
{
    QFETCH(QString, fault);
    QFETCH(QStringList, boxes);
    QFETCH(QString, lastOfB);

    // Three balances on pseudo-terminals, sampled only on demand.
    std::array<PseudoTerminal, 3> lines;
    QStringList entries;
    for (int i = 0; i < 3; ++i) {
        QVERIFY(lines[i].open());
        const QString id = kIds.at(i);
        entries << id + "/comPort=" + lines[i].devicePath() << id + "/name=Balance " + id
                << id + "/transmissionRate=9600" << id + "/parity=odd" << id + "/stopBits=1"
                << id + "/samplingInterval=3600";
    }
    writeSettings(entries);
    MainWindow window;
    MainWindowProbe probe{window};
    window.startToCollect();
    for (int i = 0; i < 3; ++i) {
        QVERIFY(probe.port(kIds.at(i))->isOpen());
        QVERIFY(lines[i].write(shortLine(1)));
        QTRY_COMPARE_WITH_TIMEOUT(probe.latest(kIds.at(i)), QStringLiteral("|+1|g  "), kPatience);
    }
    m_boxes->clear();

    PseudoTerminal &b = lines[1];
    if (fault == QLatin1String("hang-up")) {
        b.hangUp();
        QTRY_VERIFY_WITH_TIMEOUT(!probe.port("B")->isOpen(), kPatience);
    } else if (fault == QLatin1String("flood")) {
        // 100 reads of about 180 lines each; every read's last line tells it apart.
        for (int chunk = 0; chunk < 100; ++chunk) {
            QByteArray bytes;
            while (bytes.size() < 4000)
                bytes += longLine(chunk);
            QVERIFY(b.write(bytes));
            QTRY_COMPARE_WITH_TIMEOUT(probe.latest("B"), QStringLiteral("N     |%1|g  ").arg(chunk), kPatience);
            QVERIFY(probe.buffer("B").size() <= Veltrano::PrintLine::kMaxPending);
        }
    } else {
        // 400 KB without a line feed: only the newest bytes are kept.
        for (int chunk = 0; chunk < 100; ++chunk) {
            const QByteArray bytes(4000, char('a' + chunk % 26));
            QVERIFY(b.write(bytes));
            QTRY_VERIFY_WITH_TIMEOUT(probe.buffer("B").endsWith(bytes.right(64)), kPatience);
            QVERIFY(probe.buffer("B").size() <= Veltrano::PrintLine::kMaxPending);
        }
    }

    // The others are not held up: their new lines arrive and are read.
    QVERIFY(lines[0].write(shortLine(2)));
    QVERIFY(lines[2].write(shortLine(3)));
    QTRY_COMPARE_WITH_TIMEOUT(probe.latest("A"), QStringLiteral("|+2|g  "), kPatience);
    QTRY_COMPARE_WITH_TIMEOUT(probe.latest("C"), QStringLiteral("|+3|g  "), kPatience);

    // At most one box for the faulty one, and every instrument is still recorded.
    QTRY_COMPARE_WITH_TIMEOUT(withoutPrefixes(m_boxes->texts()), boxes, kPatience);
    window.storeImmediately();
    QStringList stored;
    for (const QString &row : allTestRows())
        stored << row.section('|', 2);
    QCOMPARE(stored, QStringList({"Balance A||+2|g  ", "Balance B|" + lastOfB, "Balance C||+3|g  "}));
    QCOMPARE(withoutPrefixes(m_boxes->texts()), boxes);
}

QTEST_MAIN(TestBalanceFaults)
#include "tst_balancefaults.moc"
