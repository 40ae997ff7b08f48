// Weighings through real serial lines: a balance that prints a result per
// weighing and a barcode scanner, each a pseudo-terminal; sample IDs from
// the scanner, the Weighing window, a numbering pattern and a worklist.
#include "checks/checkregister.h"
#include "collectionprobe.h"
#include "pseudoterminal.h"
#include "store/chainverifier.h"
#include "store/sqlbackend.h"
#include "reportdialog.h"
#include "serieschart.h"
#include "store/measurementdb.h"
#include "weighingwindow.h"
#include "windowtestcase.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QSqlQuery>

#include <set>

using Veltrano::Sim::PseudoTerminal;

namespace {

constexpr int kPatience = 15000;  // ms; generous for a loaded machine

// Every weighing stored: "result|sample|trigger|kind", in order.
QStringList storedWeighings()
{
    const QSqlDatabase db = QSqlDatabase::database();
    const QString key = Veltrano::SqlBackend::keyColumn(db);
    QStringList found;
    for (QSqlQuery query(QStringLiteral("SELECT d.result, w.sample, w.trigger, w.kind FROM data d JOIN weighing w ON "
                                        "w.row_key = d.%1 ORDER BY d.%1").arg(key),
                         db);
         query.next();)
        found << QStringList{query.value(0).toString(), query.value(1).toString(), query.value(2).toString(),
                             query.value(3).toString()}
                     .join('|');
    return found;
}

} // namespace

class TestWeighings : public WindowTestCase
{
    Q_OBJECT
private slots:
    void sampleIds_data()
    {
        // Steps: "line R" the balance prints result R; "scan ID" the scanner
        // reads ID; "type ID" typed in the Weighing window; "pattern P";
        // "worklist A,B"; "immediate". Each weighing is "result|sample|trigger|kind".
        QTest::addColumn<QString>("record");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("weighings");
        QTest::addColumn<int>("shown");  // the weighings of the last series, which the window lists
        // Steps given as "step, step", weighings as "result|sample|trigger result|sample|trigger": generic
        // lines tell no kind.
        const auto row = [](const char *name, const char *record, const char *steps, const char *weighings, int shown) {
            QStringList stored = QString(weighings).split(' ');
            for (QString &weighing : stored)
                weighing += "|unknown";
            QTest::newRow(name) << QString(record) << QString(steps).split(", ") << stored << shown;
        };
        row("scanned, typed, none", "print", "scan A-1, line 1.10, type T-2, line 1.20, line 1.30",
            "+1.10|A-1|print +1.20|T-2|print +1.30||print", 3);
        row("the latest scan replaces the one before", "print", "scan A-1, scan A-2, line 2.00", "+2.00|A-2|print", 1);
        row("numbered, then a worklist, then numbered again", "print",
            "pattern S-{n:02}, line 1.00, worklist W1,W2, line 2.00, line 3.00, line 4.00",
            "+1.00|S-01|print +2.00|W1|print +3.00|W2|print +4.00|S-02|print", 1);
        row("a scan waits behind the worklist", "print", "scan A-1, worklist W1, line 1.00, line 2.00",
            "+1.00|W1|print +2.00|A-1|print", 1);
        row("stable: one weighing per settled load", "stable",
            "scan A-1, line 5.00, line 5.00, line 5.00, line 5.00, line 0.00, line 0.00, line 0.00, scan A-2, "
            "line 7.00, line 7.00, line 7.00", "+5.00|A-1|stable +7.00|A-2|stable", 2);
        row("immediate read", "print", "line 3.00, type T-1, immediate", "+3.00||print +3.00|T-1|immediate", 2);
    }

    void sampleIds()
    {
        QFETCH(QString, record);
        QFETCH(QStringList, steps);
        QFETCH(QStringList, weighings);
        PseudoTerminal balance, scanner;
        QVERIFY(balance.open());
        QVERIFY(scanner.open());
        // Generic lines ("+1.10 g"), 8 data bits: a pseudo-terminal takes them.
        writeSettings(balanceOn("B1", balance.devicePath(), {"name=Balance", "type=automatic", "record=" + record, "stableCount=3"})
                      + QStringList{"S1/type=barcode", "S1/comPort=" + scanner.devicePath(), "S1/dataBits=8", "S1/parity=none",
                                    "S1/stopBits=1", "S1/transmissionRate=9600", "S1/scannerFor=B1"});
        MainWindow window;
        MainWindowProbe probe(window);
        Veltrano::RecordingSession &session = probe.session();
        QSignalSpy sampled(&session, &Veltrano::RecordingSession::sampled);
        QString next;
        connect(&session, &Veltrano::RecordingSession::nextSample, this,
                [&next](const QString &id, const Veltrano::NextSample &sample) {
                    if (id == QLatin1String("B1"))
                        next = sample.sampleId;
                });
        window.startToCollect();
        WeighingWindow weighingWindow(&session);
        QCOMPARE(weighingWindow.currentInstrument(), QStringLiteral("B1"));
        int expected = 0;
        for (const QString &step : steps) {
            const QString verb = step.section(' ', 0, 0), value = step.section(' ', 1);
            if (verb == "line") {
                QVERIFY(balance.write("+" + value.toLatin1() + " g\r\n"));
                if (record == "print")
                    ++expected;
            } else if (verb == "scan") {
                QVERIFY(scanner.write(value.toUtf8() + "\r\n"));
                QTRY_COMPARE_WITH_TIMEOUT(next, value, kPatience);
            } else if (verb == "type") {
                auto *field = child<QLineEdit>(&weighingWindow, "uSampleId");
                field->setText(value);
                QTest::keyClick(field, Qt::Key_Return);
                QTRY_COMPARE_WITH_TIMEOUT(next, value, kPatience);
            } else if (verb == "pattern") {
                QString error;
                QVERIFY2(session.setSamplePattern("B1", value, &error), qPrintable(error));
            } else if (verb == "worklist") {
                Veltrano::Worklist list = Veltrano::Worklist::parse(value.toUtf8().replace(',', '\n'));
                session.openWorklist("B1", list, QStringLiteral("worklist"));
                QTRY_COMPARE_WITH_TIMEOUT(next, list.entries.first().sampleId, kPatience);
            } else if (verb == "immediate") {
                window.storeImmediately();
                ++expected;
            }
            if (record == "print")
                QTRY_COMPARE_WITH_TIMEOUT(sampled.count(), expected, kPatience);
            else if (verb == "line")
                probe.drain();  // each line is read before the next is written
        }
        if (record != "print")
            QTRY_COMPARE_WITH_TIMEOUT(sampled.count(), weighings.size(), kPatience);
        QVERIFY(probe.drain());
        window.stopToCollect();
        QCOMPARE(storedWeighings(), weighings);
        // Nothing but the weighings: no rows at the ticks, none of the scanner.
        QSqlQuery rows("SELECT COUNT(*) FROM data");
        QVERIFY(rows.next());
        QCOMPARE(rows.value(0).toInt(), weighings.size());
        // The window lists those of the current series, newest on top.
        auto *table = child<QTableWidget>(&weighingWindow, "uWeighings");
        QTEST(table->rowCount(), "shown");
        QCOMPARE(table->item(0, 0)->text(), weighings.last().section('|', 1, 1));
        // In the chain: the side rows too.
        QStringList findings;
        const Veltrano::ChainVerifier::Report report =
            Veltrano::ChainVerifier::verify(QSqlDatabase::database(), [&findings](const QString &line) { findings << line; });
        QVERIFY2(!report.broken() && report.intact == weighings.size(), qPrintable(report.summary() + findings.join('\n')));
    }

    // The figures, the class of each row and the chart of the current series,
    // after a few weighings and again after a new series is started.
    void figures_data()
    {
        QTest::addColumn<QStringList>("results");
        QTest::addColumn<QStringList>("classes");  // oldest first
        // n, mean, SD, RSD, min, max, range; within, warning, outside, below minimum.
        QTest::addColumn<QStringList>("figures");
        QTest::newRow("one of each class")
            << QStringList{"10.00", "10.05", "10.20", "0.41"}
            << QStringList{"within", "warning", "outside", "below minimum"}
            << QStringList{"4", "7.665 g", "4.837 g", "63.11 %", "0.41 g", "10.20 g", "9.79 g", "1", "1", "1", "1"};
        QTest::newRow("all within")
            << QStringList{"10.01", "9.99", "10.02"} << QStringList{"within", "within", "within"}
            << QStringList{"3", "10.007 g", "0.015 g", "0.15 %", "9.99 g", "10.02 g", "0.03 g", "3", "0", "0", "0"};
    }

    void figures()
    {
        QFETCH(QStringList, results);
        QFETCH(QStringList, classes);
        QFETCH(QStringList, figures);
        PseudoTerminal balance;
        QVERIFY(balance.open());
        writeSettings(balanceOn("B1", balance.devicePath(), {"name=Balance", "type=automatic", "record=print", "nominal=10",
                                                              "warning=0.03", "tolerance=1%", "minimumWeight=1"}));
        MainWindow window;
        MainWindowProbe probe(window);
        Veltrano::RecordingSession &session = probe.session();
        QSignalSpy sampled(&session, &Veltrano::RecordingSession::sampled);
        window.startToCollect();
        WeighingWindow weighingWindow(&session);
        const auto weigh = [&](const QString &result) {
            const int before = sampled.count();
            return balance.write("+" + result.toLatin1() + " g\r\n") && QTest::qWaitFor([&] { return sampled.count() > before; }, kPatience);
        };
        for (const QString &result : results)
            QVERIFY(weigh(result));
        QTRY_COMPARE(child<QTableWidget>(&weighingWindow, "uWeighings")->rowCount(), results.size());
        const auto shown = [&](std::initializer_list<const char *> names, QWidget *window = nullptr) {
            QStringList texts;
            for (const char *name : names)
                texts << child<QLabel>(window ? window : &weighingWindow, name)->text();
            return texts;
        };
        const std::initializer_list<const char *> figureLabels = {
            "uN", "uMean", "uSd", "uRsd", "uMin", "uMax", "uRange", "uWithin", "uWarning", "uOutside", "uBelowMinimum"};
        QTRY_COMPARE(shown(figureLabels), figures);
        // A window opened in the middle of the series counts its earlier weighings too.
        {
            WeighingWindow late(&session);
            QCOMPARE(shown(figureLabels, &late), figures);
            const QString series = shown({"uSeries"}, &late).first();
            QVERIFY2(series.endsWith(QString(" %1 weighings").arg(results.size())), qPrintable(series));
        }
        QCOMPARE(shown({"uNominal", "uT1", "uT2"}), QStringList({"10.00 g", "9.97 g to 10.03 g", "9.90 g to 10.10 g"}));

        // The class in words, on a row tinted by it: one tint per class.
        auto *table = child<QTableWidget>(&weighingWindow, "uWeighings");
        QMap<QString, QRgb> tints;
        for (int i = 0; i < classes.size(); ++i) {
            const QTableWidgetItem *cell = table->item(classes.size() - 1 - i, 4);
            const QRgb tint = cell->background().color().rgb();
            QCOMPARE(cell->text(), classes.at(i));
            QVERIFY(tint != QColor(Qt::white).rgb() && cell->background().style() != Qt::NoBrush);
            QCOMPARE(tints.value(cell->text(), tint), tint);
            tints.insert(cell->text(), tint);
        }
        QCOMPARE(int(std::set<QRgb>(tints.cbegin(), tints.cend()).size()), tints.size());

        // One point per weighing, in its class's series.
        const auto points = [&] {
            QMap<QString, int> found;
            for (QAbstractSeries *series : child<QChartView>(&weighingWindow, "uChart")->chart()->series())
                if (auto *scatter = qobject_cast<QScatterSeries *>(series); scatter && scatter->count() > 0)
                    found.insert(scatter->name(), scatter->count());
            return found;
        };
        QMap<QString, int> expected;
        for (const QString &weighingClass : classes)
            ++expected[weighingClass];
        QCOMPARE(points(), expected);

        // A new series starts empty, before its first weighing and after it.
        session.startSeries("B1", "S-2");
        QTRY_COMPARE_WITH_TIMEOUT(table->rowCount(), 0, kPatience);
        QTRY_COMPARE(shown(figureLabels), QStringList({"0", "-", "-", "-", "-", "-", "-", "0", "0", "0", "0"}));
        QVERIFY(points().isEmpty());
        QVERIFY(weigh("10.00"));
        QTRY_COMPARE(table->rowCount(), 1);
        QTRY_COMPARE(shown(figureLabels), QStringList({"1", "10.000 g", "-", "-", "10.00 g", "10.00 g", "0.00 g", "1", "0", "0", "0"}));
        QCOMPARE(points(), (QMap<QString, int>{{"within", 1}}));
        window.stopToCollect();
    }

    // The chart's scale: every weighing and limit on it, but those below the
    // minimum weight, which are drawn on its edge unless nothing else is charted.
    void chartScale_data()
    {
        QTest::addColumn<QStringList>("weighings");  // "value class" ("none": no class), in order
        QTest::addColumn<bool>("limits");            // nominal 10, T1 0.03, T2 1%
        QTest::addColumn<bool>("belowMinimumOnScale");
        QTest::newRow("an empty pan does not squeeze the rest")
            << QStringList{"10.02 within", "0.00 below minimum", "9.98 within"} << true << false;
        QTest::newRow("below minimum alone sets the scale")
            << QStringList{"0.40 below minimum", "0.55 below minimum"} << false << true;
        QTest::newRow("then the others take it over")
            << QStringList{"0.40 below minimum", "12.00 below minimum", "10.00 none", "10.30 none"} << false << false;
        QTest::newRow("a point beyond the scale moves it")
            << QStringList{"10.00 within", "25.00 outside", "-3.00 outside"} << true << true;
    }

    void chartScale()
    {
        QFETCH(QStringList, weighings);
        QFETCH(bool, limits);
        QFETCH(bool, belowMinimumOnScale);
        QChartView view;
        SeriesChart chart(&view);
        Veltrano::ToleranceLimits set;
        if (limits)
            set = {10.0, Veltrano::Amount{0.03, false}, Veltrano::Amount{1, true}};
        chart.reset("g", set);
        QVector<QPointF> below;
        for (int i = 0; i < weighings.size(); ++i) {
            const double value = weighings.at(i).section(' ', 0, 0).toDouble();
            const auto toleranceClass = Veltrano::toleranceClassOf(weighings.at(i).section(' ', 1));
            chart.append(i + 1, value, toleranceClass.value_or(Veltrano::ToleranceClass::None));
            if (toleranceClass == Veltrano::ToleranceClass::BelowMinimum)
                below << QPointF(i + 1, value);
        }
        const auto *y = qobject_cast<QValueAxis *>(view.chart()->axes(Qt::Vertical).first());
        const auto onScale = [y](double value) { return value >= y->min() && value <= y->max(); };
        for (QAbstractSeries *series : view.chart()->series()) {
            auto *points = qobject_cast<QXYSeries *>(series);
            for (int i = 0; i < points->count(); ++i) {
                QVERIFY2(onScale(points->at(i).y()), qPrintable(series->name()));
                if (series->name() == "below minimum") {
                    QCOMPARE(points->at(i).x(), below.at(i).x());
                    QCOMPARE(points->at(i).y(), std::clamp(below.at(i).y(), y->min(), y->max()));
                }
            }
        }
        for (const QPointF &point : qAsConst(below))
            QCOMPARE(onScale(point.y()), belowMinimumOnScale);
        if (limits)
            QVERIFY(onScale(9.9) && onScale(10.1));
    }

    // Report... writes the chosen series, a period's rows or a balance check,
    // as a PDF; a choice that cannot be made is told and the dialog stays open.
    void report_data()
    {
        QTest::addColumn<QString>("choice");  // "series", "period", "no instrument", "check", "no check"
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QString>("told");    // the start of the box's text
        QTest::newRow("the series") << "series" << QStringList{"Series: S-2", "C-1", "C-2"} << "Wrote 2 rows to";
        QTest::newRow("a period") << "period" << QStringList{"Rows of", "A-1", "C-2"} << "Wrote 4 rows to";
        QTest::newRow("no instrument checked") << "no instrument" << QStringList() << "Check at least one instrument.";
        QTest::newRow("the newest check") << "check"
            << QStringList{"Check: accuracy, record 2", "n = 2; mean = 1.005 g", "Passed", "C-1", "C-2"} << "Wrote 2 rows to";
        QTest::newRow("no check recorded") << "no check" << QStringList() << "No balance check is recorded.";
    }

    void report()
    {
        QFETCH(QString, choice);
        QFETCH(QStringList, shown);
        QFETCH(QString, told);
        QVector<Veltrano::Row> rows;
        for (int i = 0; i < 4; ++i) {
            Veltrano::Row row("2026-03-02", QStringLiteral("08:00:0%1").arg(i), "Balance", "", "+1.0" + QString::number(i), "g");
            row.weighing = Veltrano::Weighing{QStringLiteral("%1-%2").arg(i < 2 ? "A" : "C").arg(i % 2 + 1),
                                              i < 2 ? "S-1" : "S-2", "print", "net", "anna", "", ""};
            rows << row;
        }
        QString error;
        int failedAt = 0;
        QVERIFY2(Veltrano::MeasurementDb::insertRows(rows, &error, &failedAt), qPrintable(error));
        if (choice == "check") {
            using namespace Veltrano::Checks;
            for (const QVector<qint64> &keys : {QVector<qint64>{1, 2}, QVector<qint64>{3, 4}}) {
                const CheckRecord record{0,      "Balance", Check::Accuracy, "2026-03-02", "08:00:05", "q.lead", "W-1", 1, 2,
                                         1.005,  {},        0.005,           "|reading - weight| <= 0.1 g", Verdict::Pass,
                                         "within", keys,     {}};
                QCOMPARE(addRecord(QSqlDatabase::database(), record), QString());
            }
        }
        ReportDialog dialog;
        QCOMPARE(child<QComboBox>(&dialog, "uSeries")->currentText(), QString("S-2"));  // the newest first
        if (choice.endsWith("check"))
            child<QRadioButton>(&dialog, "uCheckChoice")->setChecked(true);
        else if (choice != "series")
            child<QRadioButton>(&dialog, "uPeriodChoice")->setChecked(true);
        if (choice == "no instrument")
            child<QListWidget>(&dialog, "uInstruments")->item(0)->setCheckState(Qt::Unchecked);
        child<QLineEdit>(&dialog, "uFile")->setText("r");
        dialog.show();
        dialog.accept();
        QTRY_COMPARE(m_boxes->count(), 1);
        QVERIFY2(m_boxes->texts().first().startsWith(told), qPrintable(m_boxes->texts().first()));
        QCOMPARE(dialog.result(), shown.isEmpty() ? int(QDialog::Rejected) : int(QDialog::Accepted));
        QCOMPARE(QFile::exists("r.pdf"), !shown.isEmpty());
        if (shown.isEmpty())
            return;
        QProcess text;
        text.start("pdftotext", {"-layout", "r.pdf", "-"});
        QVERIFY(text.waitForFinished(30000));
        const QString pdf = QString::fromUtf8(text.readAllStandardOutput()).simplified();
        for (const QString &expected : shown)
            QVERIFY2(pdf.contains(expected), qPrintable(expected + " not in: " + pdf));
    }
};

QTEST_MAIN(TestWeighings)
#include "tst_weighings.moc"
