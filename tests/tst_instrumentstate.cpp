// What the live state of a balance makes of its lines, its silence, its
// port's failures and the reconnects; the value read from a result; the
// bounded reading history.
#include "collect/instrumentstate.h"

#include <QtTest>

class TestInstrumentState : public QObject
{
    Q_OBJECT
private slots:
    void transitions_data()
    {
        // Events in order: a print line as received, "wait <ms>", "fail", "close",
        // "retry", "reopen" (the port opened again) or "store" (a row was stored).
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("state");  // "link|result|stable or unstable|load|lines|rows"

        const QString stable = "+    12.34 g  \r\n", unstable = "-    12.30    \r\n", over = "Stat        H       \r\n";
        QTest::newRow("nothing yet") << QStringList() << "waiting for the first line||||0|0";
        QTest::newRow("stable reading") << QStringList{stable} << "receiving|+12.34|stable||1|0";
        QTest::newRow("no unit: unstable") << QStringList{stable, unstable} << "receiving|-12.30|unstable||2|0";
        QTest::newRow("silent after a line") << QStringList{stable, "wait 7400"} << "silent for 7 s|+12.34|stable||1|0";
        QTest::newRow("silent from the start") << QStringList{"wait 5000"} << "silent for 5 s||||0|0";
        QTest::newRow("status line: overload") << QStringList{stable, over} << "receiving|+12.34|stable|overload|2|0";
        QTest::newRow("short code: underload") << QStringList{"      L       \r\n"} << "receiving|L|unstable|underload|1|0";
        QTest::newRow("a reading ends the overload") << QStringList{over, stable} << "receiving|+12.34|stable||2|0";
        QTest::newRow("error code and wrong length are lines")
            << QStringList{stable, "   Err 54     \r\n", "\n"} << "receiving|+12.34|stable||3|0";
        QTest::newRow("port failed") << QStringList{"fail"} << "port failed: gone||||0|0";
        QTest::newRow("closed after an error")
            << QStringList{stable, "fail", "close"} << "closed after an error: gone|+12.34|stable||1|0";
        QTest::newRow("reconnecting, one try") << QStringList{"fail", "close", "retry"}
                                               << "reconnecting (1 try, last: gone)||||0|0";
        QTest::newRow("reconnecting") << QStringList{"fail", "close", "retry", "retry"}
                                      << "reconnecting (2 tries, last: gone)||||0|0";
        QTest::newRow("reconnected") << QStringList{"fail", "close", "retry", "reopen", stable}
                                     << "reconnected|+12.34|stable||1|0";
        QTest::newRow("silent after reconnecting")
            << QStringList{"fail", "close", "reopen", "wait 6000"} << "silent for 6 s||||0|0";
        QTest::newRow("rows stored") << QStringList{"store", stable, "store"} << "receiving|+12.34|stable||1|2";
    }

    void transitions()
    {
        QFETCH(QStringList, events);
        QFETCH(QString, state);
        qint64 now = 1000000;
        Veltrano::InstrumentState balance("Balance", "ttyS0", now);
        for (const QString &event : events) {
            if (event.startsWith("wait "))
                now += event.mid(5).toLongLong();
            else if (event == "fail" || event == "retry")
                event == "fail" ? balance.portFailed("gone") : balance.reconnectFailed("gone");
            else if (event == "close")
                balance.closedAfterError();
            else if (event == "reopen" || event == "store")
                event == "reopen" ? balance.reconnected(now) : balance.rowStored(now);
            else
                balance.lineReceived(event.toLatin1(), Veltrano::PrintLine::parse(event.toLatin1()), now);
        }
        const QString stability = balance.hasReading() ? (balance.stable() ? "stable" : "unstable") : "";
        QCOMPARE(QStringList({balance.linkText(now), balance.result(), stability, balance.loadText(),
                              QString::number(balance.lines()), QString::number(balance.rows())})
                     .join('|'),
                 state);
    }

    void visibleText_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::newRow("line ends") << QByteArray("S S  1.0 g\r\n") << "S S  1.0 g\\r\\n";
        QTest::newRow("a typed backslash r stays apart") << QByteArray("\\r\r") << "\\x5cr\\r";
        QTest::newRow("other control bytes") << QByteArray("\x02" "A\t\x7f\0", 5) << "\\x02A\\x09\\x7f\\x00";
        QTest::newRow("a backslash is escaped too") << QByteArray("a\\b") << "a\\x5cb";
        QTest::newRow("valid UTF-8") << QByteArray("12 \xc2\xb5g") << QString::fromUtf8("12 \u00b5g");
        QTest::newRow("invalid UTF-8") << QByteArray("\xc2g\xed\xa0\x80\xff") << "\\xc2g\\xed\\xa0\\x80\\xff";
        QTest::newRow("cut sequence at the end") << QByteArray("\xe2\x82") << "\\xe2\\x82";
    }

    void visibleText()
    {
        QFETCH(QByteArray, bytes);
        QTEST(Veltrano::InstrumentState::visible(bytes), "shown");
    }

    // The last lines are kept as received, with what became of each.
    void rawLinesAreBounded()
    {
        Veltrano::InstrumentState balance("B", "ttyB", 0);
        const QByteArray reading = "+    12.34 g  \r\n", error = "   Err 54     \r\n";
        for (int i = 0; i < 120; ++i)
            balance.lineReceived(i % 2 ? error : reading, Veltrano::PrintLine::parse(i % 2 ? error : reading), i);
        const auto &raw = balance.rawLines();
        QCOMPARE(raw.size(), Veltrano::InstrumentState::kRawLines);
        QCOMPARE(raw.last().at, qint64(119));
        QCOMPARE(raw.last().bytes, error);
        QCOMPARE(raw.last().outcome, "skipped: error code");
        QCOMPARE(raw.at(raw.size() - 2).outcome, "reading");
    }

    void resultValue()
    {
        // The value read from a result; empty when the text is no number.
        const QList<QPair<QString, QString>> cases{{"+12.34", "12.34"}, {"-  0.5", "-0.5"}, {"+   12,50", "12.50"},
                                                   {"H", ""}, {"+", ""}, {"1e5", ""}, {"no result yet", ""}};
        for (const auto &[result, value] : cases)
            QVERIFY2(Veltrano::numericValue(result) == value, qPrintable(result));
    }

    void historyIsBounded()
    {
        // Ten hours of a line every 50 ms, an hour kept in full.
        Veltrano::ReadingHistory history(1000, 100, 3600 * 1000);
        for (qint64 i = 0; i < 720000; ++i)
            history.add(i * 50, i == 70001 ? 999.0 : i % 7);
        history.markStored(720000 * 50);
        QVERIFY(history.size() <= 1000 + 36000 + 600);

        // The peak survives both the thinning and the drawing's decimation.
        const auto drawn = history.since(0, 200);
        QVERIFY(drawn.size() <= 200 && drawn.first().at < 3600 * 1000);
        QVERIFY(std::any_of(drawn.cbegin(), drawn.cend(), [](const auto &point) { return point.value == 999.0; }));
        QCOMPARE(history.storedSince(0, 10).size(), 1);
        QCOMPARE(history.since(720000 * 50 - 120, 200).size(), 2);
    }

    // Rows stored while the balance sent nothing (silent, away) leave a gap
    // before its next reading, in full and once thinned; the gap is no point.
    void historyGaps()
    {
        Veltrano::ReadingHistory history(8, 100, 1000);
        QString events;
        for (qint64 at = 0; at < 20000; at += 500) {
            const bool silent = at >= 5000 && at < 9000;
            if (!silent)
                history.add(at, 1.0);
            if (at % 1000 == 0)
                history.markStored(at + 1);
        }
        const auto gaps = [](const QVector<Veltrano::ReadingHistory::Point> &points) {
            QStringList found;
            for (const auto &point : points)
                found << (point.gap ? QString::number(point.at) : QString());
            found.removeAll(QString());
            return found;
        };
        QCOMPARE(gaps(history.since(0, 1000)), QStringList{"9001"});  // the first reading after, stored
        QCOMPARE(gaps(history.since(0, 4)).size(), 1);
        QVERIFY(history.storedSince(5500, 100).first().at >= 9000);
    }
};

QTEST_GUILESS_MAIN(TestInstrumentState)
#include "tst_instrumentstate.moc"
