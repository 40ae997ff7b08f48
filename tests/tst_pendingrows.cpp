// The pending-rows file: any text comes back exactly, and a file left behind
// by an earlier run (whole, torn by a crash, empty, garbage) is written into
// the database at start-up as far as it holds rows.
#include "store/measurementstore.h"
#include "modalrecorder.h"
#include "store/pendingrows.h"
#include "stderrcapture.h"
#include "tempworkdir.h"
#include "testdatabase.h"

#include <QtTest>

class TestPendingRows : public QObject
{
    Q_OBJECT
private slots:
    void recovery_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("rows");  // texts of the rows written, in order
        QTest::addColumn<QByteArray>("traced");

        const auto encoded = [](const QString &text) {
            return Veltrano::PendingRows::encode({"2026-12-07", "08:00:00", text, text, text, text});
        };
        const QByteArray first = encoded("1"), second = encoded("2");
        const QStringList hostile{"'\"`'); DROP TABLE data;--", ",\t;|=\\,", "a\nb\r\nc\r\n\n",
                                  QString::fromUtf16(u"\0a\0", 3), QString::fromUtf8("Wägung µg 重量 \xf0\x9f\x98\x80"),
                                  QString(70000, QChar(0x00e9)), ""};
        for (const QString &text : hostile)
            QTest::newRow(qPrintable(text.left(12).toUtf8().toPercentEncoding()))
                << encoded(text) + first << QStringList{text, "1"} << QByteArray("recovered");
        // Written before rows carried their provenance: the six values alone.
        const QByteArray six = first.left(first.split(',').mid(0, 6).join(',').size()) + "\n";
        QTest::newRow("six fields") << six + second << QStringList{"1", "2"} << QByteArray("recovered");
        QTest::newRow("whole") << first + second << QStringList{"1", "2"} << QByteArray("recovered");
        QTest::newRow("last line torn") << first + second.left(9) << QStringList{"1"} << QByteArray("cut short");
        QTest::newRow("empty") << QByteArray() << QStringList() << QByteArray("found: 0");
        QTest::newRow("garbage") << QByteArray("\x00\xff,,,,,\nPK\x03\x04\n", 14) << QStringList()
                                 << QByteArray("no rows, ignored: 2");
        QTest::newRow("garbage between rows") << first + "a,b\n" + second << QStringList{"1", "2"}
                                              << QByteArray("no rows, ignored: 1");
    }

    void recovery()
    {
        QFETCH(QByteArray, file);
        QFETCH(QStringList, rows);
        QFETCH(QByteArray, traced);
        TempWorkDir dir;
        installTestMessageHandler();
        QVERIFY(openTestDatabase());
        QVERIFY(writeFile("sqlite.db.pending", file));
        ModalRecorder boxes;  // a critical message would otherwise wait for an answer
        StderrCapture capture;
        QCOMPARE(Veltrano::MeasurementStore("sqlite.db.pending").recover(), rows.size());
        QVERIFY2(capture.take().contains(traced), traced.constData());
        QStringList expected;
        for (const QString &text : rows)
            expected << QStringList{"2026-12-07", "08:00:00", text, text, text, text}.join('|');
        QCOMPARE(allTestRows(), expected);
        QVERIFY(!QFile::exists("sqlite.db.pending") && boxes.count() == 0);
    }

    // Each row comes back whole: its provenance, its check state, its weighing.
    void keptWhole_data()
    {
        QTest::addColumn<QString>("check");
        QTest::addColumn<bool>("weighing");
        QTest::newRow("time series") << QString() << false;
        QTest::newRow("balance overdue") << "overdue" << false;
        QTest::newRow("weighing") << QString() << true;
        QTest::newRow("weighing, balance failed") << "failed" << true;
    }
    void keptWhole()
    {
        QFETCH(QString, check);
        QFETCH(bool, weighing);
        Veltrano::Row row{"2026-12-07", "08:00:00", "B1", "", "+1.0", "g"};
        Veltrano::Provenance &in = row.provenance;
        in.instrument = "b1";
        in.tickUtc = "2026-12-07T07:00:00.250Z";
        in.offsetSeconds = 3600;
        in.receivedUtc = "2026-12-07T06:59:59.900Z";
        in.ageMs = 350;
        in.raw = QByteArray("+ 1.0 g\r\n\0\xff", 11);
        in.state = "live";
        in.host = "lab-pc";
        in.user = "anna";
        in.check = check;
        if (weighing)
            row.weighing = Veltrano::Weighing{"S-0001, \"vial\"\n2", "b1 2026-12-07 08:00", "stable", "net", "anna",
                                              "below minimum", "12.5%"};
        const QByteArray line = Veltrano::PendingRows::encode(row);
        const auto content = Veltrano::PendingRows::decode(line);
        QCOMPARE(content.rows.size(), 1);
        QVERIFY(!content.torn && content.unreadable == 0);
        const Veltrano::Row &out = content.rows.first();
        const Veltrano::Provenance &p = out.provenance;
        QCOMPARE(QStringList({p.instrument, p.tickUtc, QString::number(p.offsetSeconds), p.receivedUtc,
                              QString::number(p.ageMs), QString::fromLatin1(p.raw.toHex()), p.state, p.host, p.user, p.check}),
                 QStringList({"b1", "2026-12-07T07:00:00.250Z", "3600", "2026-12-07T06:59:59.900Z", "350",
                              "2b20312e3020670d0a00ff", "live", "lab-pc", "anna", check}));
        QCOMPARE(out.weighing, row.weighing);
        // A row of the time series is written as before weighings came.
        QCOMPARE(line.count(',') + 1, weighing ? 23 : check.isEmpty() ? 15 : 16);
    }

    // Also after a failed row, so that the next one starts afresh.
    void cleanup() { closeTestDatabase(); }
};

QTEST_MAIN(TestPendingRows)
#include "tst_pendingrows.moc"
