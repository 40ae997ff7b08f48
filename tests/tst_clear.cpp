// Clear as the window offers it: refused while another collector records in
// the folder, and a clear that moves every row into the archive rather than
// destroying it.
#include "collectionprobe.h"
#include "pseudoterminal.h"
#include "windowtestcase.h"

#include "store/chainhash.h"
#include "store/measurementdb.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QSqlError>
#include <QSqlQuery>

using namespace Veltrano;

namespace {

constexpr int kPatience = 30000;

// Rows of `table`; 0 when it is not there (the archive is made at the first clear).
qint64 count(const QString &table)
{
    QSqlQuery query;
    if (!query.exec(QStringLiteral("SELECT count(*) FROM ") + table))
        return query.lastError().text().contains("no such table") ? 0 : -1;
    return query.next() ? query.value(0).toLongLong() : -1;
}

// Three rows of b1, the second a weighing with its sample.
bool recordThree()
{
    QVector<Row> rows;
    for (int i = 1; i <= 3; ++i) {
        Row row{"2026-12-07", QStringLiteral("08:00:0%1").arg(i), "B1", "", QStringLiteral("+%1.0").arg(i), "g"};
        row.provenance.instrument = "b1";
        row.provenance.state = "live";
        if (i == 2)
            row.weighing = Weighing{"S-17", "series 1", Weighing::kPrint, Weighing::kNet, "", "", ""};
        rows << row;
    }
    QString error;
    int failedAt = 0;
    return MeasurementDb::insertRows(rows, &error, &failedAt, QSqlDatabase::database());
}

} // namespace

class TestClear : public WindowTestCase
{
    Q_OBJECT

private slots:
    void refusedWhileACollectorRecords()
    {
        Sim::PseudoTerminal line;
        QVERIFY(line.open());
        writeSettings(balanceOn("B1", line.devicePath()));
        QProcess collector;
        collector.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        collector.start(QStringLiteral(VELTRANO_COLLECT), QStringList{});
        QTRY_VERIFY_WITH_TIMEOUT(count("data") >= 2, kPatience);
        const QString pid = QString::number(collector.processId());

        MainWindow window;
        child<QPushButton>(&window, "uClear")->click();
        QTRY_COMPARE(m_boxes->count(), 1);
        // Told before any question; nothing deleted, nothing archived.
        QCOMPARE(m_boxes->titles(), QStringList{"Warning"});
        QVERIFY2(m_boxes->texts().first().startsWith("Another collector records in this folder: veltrano-collect (process "
                                                    + pid + ") since "),
                 qPrintable(m_boxes->texts().first()));
        QVERIFY(m_boxes->texts().first().contains("Nothing was cleared"));
        const qint64 rows = count("data");
        QVERIFY(rows >= 2);
        QCOMPARE(count("cleared_data"), 0);
        // The collector goes on recording.
        QTRY_VERIFY_WITH_TIMEOUT(count("data") > rows, kPatience);
        QCOMPARE(collector.state(), QProcess::Running);
        collector.terminate();
        QVERIFY(collector.waitForFinished(kPatience));
        QCOMPARE(collector.exitCode(), 0);
    }

    void archives_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("yes: into the archive") << int(QMessageBox::Yes);
        QTest::newRow("no: untouched") << int(QMessageBox::No);
    }
    void archives()
    {
        QFETCH(int, answer);
        QVERIFY(recordThree());
        MainWindow window;
        m_boxes->queueAnswer(QMessageBox::StandardButton(answer));
        child<QPushButton>(&window, "uClear")->click();
        QTRY_COMPARE(m_boxes->count(), 1);
        // The question as it always was.
        QCOMPARE(m_boxes->boxes().first().title, "Confirm");
        QCOMPARE(m_boxes->texts().first(), "Do you really want to delete all the previously recorded data?");
        const bool yes = answer == QMessageBox::Yes;
        QTRY_COMPARE(count("cleared_data"), yes ? 3 : 0);
        QCOMPARE(count("data"), yes ? 0 : 3);
        QCOMPARE(count("provenance"), yes ? 0 : 3);
        QCOMPARE(count("weighing"), yes ? 0 : 1);
        QCOMPARE(count("cleared_provenance"), yes ? 3 : 0);
        if (!yes)
            return;
        // Every row with its values, when and by whom, its weighing beside it.
        QSqlQuery query("SELECT d.result, d.cleared_by, d.cleared_at, w.sample FROM cleared_data d "
                        "LEFT JOIN cleared_weighing w ON w.clear_id = d.clear_id AND w.row_key = d.row_key "
                        "WHERE d.clear_id = 1 ORDER BY d.row_key");
        QStringList archived;
        while (query.next()) {
            archived << query.value(0).toString() + '|' + query.value(3).toString();
            QVERIFY(query.value(1).toString().startsWith(Chain::userName() + " on "));
            QVERIFY(query.value(2).toString().startsWith(QDate::currentDate().toString(Qt::ISODate).left(4)));
        }
        QCOMPARE(archived, (QStringList{"+1.0|", "+2.0|S-17", "+3.0|"}));
        // The audit entry names the clear's number and what it moved.
        QVERIFY(query.exec("SELECT details FROM audit WHERE kind = 'clear'") && query.next());
        const QJsonObject details = QJsonDocument::fromJson(query.value(0).toString().toUtf8()).object();
        QCOMPARE(details.value("archive").toInt(), 1);
        QCOMPARE(details.value("rows").toInt(), 3);
        QCOMPARE(details.value("headSeq").toInt(), 3);
        // The next row goes on from the archived chain.
        QVERIFY(recordThree());
        QVERIFY(query.exec("SELECT min(seq) FROM provenance") && query.next());
        QCOMPARE(query.value(0).toInt(), 4);
    }
};

QTEST_MAIN(TestClear)
#include "tst_clear.moc"
