// The pending-rows file: any text comes back exactly, and a file left behind
// by an earlier run (whole, torn by a crash, empty, garbage) is written into
// the database at start-up as far as it holds rows.
#include "measurementstore.h"
#include "pendingrows.h"
#include "stderrcapture.h"
#include "tempworkdir.h"
#include "testdatabase.h"

#include <QtTest>

using Veltrano::MeasurementDb::Row;

namespace {

Row rowOf(const QString &text)
{
    return {QStringLiteral("2026-12-07"), QStringLiteral("08:00:00"), text, text, text, text};
}

const QByteArray kFirst = Veltrano::PendingRows::encode(rowOf(QStringLiteral("1")));
const QByteArray kSecond = Veltrano::PendingRows::encode(rowOf(QStringLiteral("2")));

} // namespace

class TestPendingRows : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("quotes") << "'\"`'); DROP TABLE data;--";
        QTest::newRow("separators") << ",\t;|=\\,";
        QTest::newRow("line breaks") << "a\nb\r\nc\r\n\n";
        QTest::newRow("zero characters") << QString::fromUtf16(u"\0a\0", 3);
        QTest::newRow("non-ASCII") << QString::fromUtf8("Wägung µg 重量 \xf0\x9f\x98\x80");
        QTest::newRow("70,000 characters") << QString(70000, QChar(0x00e9));
        QTest::newRow("empty") << "";
    }

    void roundTrip()
    {
        QFETCH(QString, text);
        const Row row = rowOf(text);
        const auto content = Veltrano::PendingRows::decode(Veltrano::PendingRows::encode(row) + kFirst);
        QCOMPARE(content.rows.size(), 2);
        QCOMPARE(content.rows.first().name, text);
        QCOMPARE(content.rows.first().result, text);
        QCOMPARE(content.rows.last().unit, QStringLiteral("1"));
        QCOMPARE(content.torn || content.unreadable, false);
    }

    void recovery_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("rows");  // results written, in order
        QTest::addColumn<QByteArray>("traced");

        QTest::newRow("whole") << kFirst + kSecond << QStringList{"1", "2"} << QByteArray("recovered");
        QTest::newRow("last line torn") << kFirst + kSecond.left(9) << QStringList{"1"} << QByteArray("cut short");
        QTest::newRow("empty") << QByteArray() << QStringList() << QByteArray("found: 0");
        QTest::newRow("garbage") << QByteArray("\x00\xff,,,,,\nPK\x03\x04\n", 14) << QStringList()
                                 << QByteArray("no rows, ignored: 2");
        QTest::newRow("garbage between rows") << kFirst + "a,b\n" + kSecond << QStringList{"1", "2"}
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
        QVERIFY(writeFile(QStringLiteral("sqlite.db.pending"), file));
        StderrCapture capture;
        {
            Veltrano::MeasurementStore store(QStringLiteral("sqlite.db.pending"));
            QCOMPARE(store.recover(), rows.size());
        }
        QVERIFY2(capture.take().contains(traced), traced.constData());
        QStringList expected;
        for (const QString &result : rows)
            expected << QStringList{"2026-12-07", "08:00:00", result, result, result, result}.join('|');
        QCOMPARE(allTestRows(), expected);
        QVERIFY(!QFile::exists(QStringLiteral("sqlite.db.pending")));
        closeTestDatabase();
    }
};

QTEST_MAIN(TestPendingRows)
#include "tst_pendingrows.moc"
