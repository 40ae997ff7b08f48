// The weighing report: its PDF read back as a reader would (pdftotext,
// pdfinfo), its seal read back from the file's bytes and checked against
// rows that changed, report.ini, and veltrano-report and
// veltrano-verify --report run on a recorded database with its balance
// register and a check record.

#include "tempworkdir.h"

#include "checks/checkregister.h"
#include "report/reportchart.h"
#include "report/reportseal.h"
#include "report/reportsettings.h"
#include "report/reportwriter.h"
#include "store/database.h"
#include "store/measurementdb.h"
#include "support/sha256.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <cstring>

using namespace Veltrano;

Q_DECLARE_METATYPE(Veltrano::PaperSize)

namespace {

const QString kLab = QStringLiteral("Quality Control, Building 4");
const QString kHead = QStringLiteral("9f2c0d6e5b4a39281706f5e4d3c2b1a09f8e7d6c5b4a39281706f5e4d3c2b1a0");

QString hashOf(qint64 key)
{
    Sha256 hash;
    hash.addData(QByteArray::number(key));
    return QString::fromLatin1(hash.result().toHex());
}

// A series of `count` weighings of one balance, keys from 1000.
ReportData series(int count)
{
    static const WeightKind kinds[] = {WeightKind::Net, WeightKind::Gross, WeightKind::Tare, WeightKind::Unknown};
    static const ResultClass classes[] = {ResultClass::Within, ResultClass::Within,  ResultClass::Warning,
                                          ResultClass::Within, ResultClass::Outside, ResultClass::BelowMinimum,
                                          ResultClass::None};
    ReportData data;
    data.lab = kLab;
    data.balances = {{"Waage Nord", "WN-01", "Mettler Toledo", "XPR205", "B123456789"}};
    data.version = QStringLiteral("1.0.0");
    data.from = QDateTime(QDate(2026, 3, 2), QTime(8, 0), Qt::OffsetFromUTC, 3600);
    data.to = QDateTime(QDate(2026, 3, 2), QTime(17, 30), Qt::OffsetFromUTC, 3600);
    data.operators = QStringList{QStringLiteral("A. Technician"), QStringLiteral("B. Supervisor")};
    data.madeAt = QDateTime(QDate(2026, 3, 3), QTime(9, 15, 7), Qt::OffsetFromUTC, 3600);
    data.coverage = {ReportCoverage::Series, QStringLiteral("S-2026-031"), {}};
    for (int i = 0; i < count; ++i)
        data.rows.append({1000 + i, hashOf(1000 + i), "Waage Nord", QString("S-%1").arg(i + 1, 5, 10, QLatin1Char('0')),
                          "2026-03-02", QTime(8, 0).addSecs(i).toString(QStringLiteral("HH:mm:ss")),
                          QString::number(10.0 + (i % 41 - 20) * 0.003, 'f', 3), "g", kinds[i % 4], classes[i % 7], {}});
    data.statistics = ReportStatistics{QString::number(count), "10.0004 g", "0.0354 g", "0.354 %", "9.940 g",
                                       "10.060 g", "0.120 g", "10.000 g", "9.955 g", "10.045 g", "9.910 g",
                                       "10.090 g", "4287", "1429", "1428", "1428"};
    data.chainHead = kHead;
    return data;
}

// A program's exit status (-1: it did not end) and its output; its errors
// are in the output when `merged`, else they go to the test's log.
QPair<int, QString> runProgram(const QString &program, const QStringList &arguments, bool merged = true)
{
    QProcess process;
    process.setProcessChannelMode(merged ? QProcess::MergedChannels : QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return {-1, QString()};
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput())};
}

// The text of each page as pdftotext -layout gives it.
QStringList pagesOf(const QString &pdf)
{
    QStringList pages = runProgram("pdftotext", {"-layout", "-enc", "UTF-8", pdf, "-"}, false).second.split('\f');
    if (pages.last().trimmed().isEmpty())
        pages.removeLast();
    return pages;
}

QString pageSize(const QString &pdf)
{
    const QRegularExpression line(QStringLiteral("^Page size:\\s*(.*)$"), QRegularExpression::MultilineOption);
    return line.match(runProgram("pdfinfo", {pdf}, false).second).captured(1).trimmed();
}

// What a row's line of the table says, words single-spaced.
QString rowLine(const ReportRow &row, bool instrument)
{
    QStringList words = {QString::number(row.key)};
    if (instrument)
        words << row.instrument;
    words << row.sampleId << row.date << row.time << row.result << row.unit << shownKindText(row.kind)
          << resultClassText(row.resultClass);
    return words.join(QLatin1Char(' ')).simplified();
}

// Checks that the table holds every row, in order, each on its own line,
// and names its columns on every page it goes on to.
void verifyRows(const QStringList &pages, const ReportData &data, bool instrument)
{
    const QString columns = QStringLiteral("Row %1Sample ID Date and time Result Unit Kind Class")
                                .arg(QLatin1String(instrument ? "Balance " : ""));
    int next = 0;
    for (int p = 0; p < pages.size(); ++p) {
        const int before = next;
        for (const QString &line : pages[p].split(QLatin1Char('\n'))) {
            if (next < data.rows.size() && line.simplified() == rowLine(data.rows[next], instrument))
                ++next;
        }
        if (next > before)
            QVERIFY2(pages[p].simplified().contains(columns), qPrintable(QStringLiteral("page %1").arg(p + 1)));
    }
    QVERIFY2(next == data.rows.size(),
             qPrintable(QStringLiteral("row %1 of %2 not found in order").arg(next + 1).arg(data.rows.size())));
}

QString write(const ReportData &data, const QString &name, PaperSize paper = PaperSize::A4, int *pages = nullptr)
{
    ReportWriter writer(data);
    writer.setPaperSize(paper);
    const QString error = writer.write(name);
    if (!error.isEmpty())
        qWarning() << error;
    if (pages)
        *pages = writer.pageCount();
    return error;
}

// A character of the seal turned into the next of its kind (digit, hex
// digit, Base64 letter), so that only what it says changes.
char otherCharacter(char c)
{
    for (const char *cycle : {"0123456789", "abcdef", "ghijklmnopqrstuvwxyz", "ABCDEFGHIJKLMNOPQRSTUVWXYZ"}) {
        if (const char *at = c ? std::strchr(cycle, c) : nullptr)
            return at[1] ? at[1] : cycle[0];
    }
    return 'A';
}

} // namespace

class TestReport : public QObject
{
    Q_OBJECT

private slots:
    // The database programs() opened.
    void cleanup() { QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection)); }

    void initTestCase()
    {
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty(),
                 "pdftotext and pdfinfo (Debian package poppler-utils) read the reports back");
    }

    void everyPage_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("severalBalances");
        QTest::addColumn<PaperSize>("paper");
        QTest::addColumn<QString>("pageSize");
        QTest::addColumn<int>("fewestPages");
        const QString a4 = QStringLiteral("595 x 842 pts (A4)");
        QTest::newRow("none") << 0 << false << PaperSize::A4 << a4 << 1;
        QTest::newRow("two balances") << 120 << true << PaperSize::A4 << a4 << 2;
        QTest::newRow("A4") << 300 << false << PaperSize::A4 << a4 << 5;
        QTest::newRow("Letter") << 300 << false << PaperSize::Letter << QStringLiteral("612 x 792 pts (letter)") << 5;
        // Some 60 rows a page.
        QTest::newRow("10,000") << 10000 << false << PaperSize::A4 << a4 << 150;
    }

    // Every page has the header and the footer with its page number; the table
    // holds every row in order; the end tells how many.
    void everyPage()
    {
        QFETCH(int, count);
        QFETCH(bool, severalBalances);
        QFETCH(PaperSize, paper);
        QFETCH(int, fewestPages);
        TempWorkDir dir;
        ReportData data = series(count);
        if (severalBalances) {
            data.balances.append({QStringLiteral("Waage Süd"), QStringLiteral("WS-02"), {}, {}, {}});
            for (int i = 1; i < data.rows.size(); i += 2)
                data.rows[i].instrument = QStringLiteral("Waage Süd");
        }
        int pageCount = 0;
        QCOMPARE(write(data, QStringLiteral("report.pdf"), paper, &pageCount), QString());
        QVERIFY2(pageCount >= fewestPages, qPrintable(QString::number(pageCount)));
        QTEST(pageSize(QStringLiteral("report.pdf")), "pageSize");
        const QStringList pages = pagesOf(QStringLiteral("report.pdf"));
        QCOMPARE(pages.size(), pageCount);

        const QStringList everyPage = {
            kLab, "Weighing report", "Series: S-2026-031", "Veltrano 1.0.0",
            "Balance: Waage Nord ID: WN-01 Maker: Mettler Toledo Model: XPR205 Serial: B123456789",
            "Period: 2026-03-02 08:00:00 UTC+01:00 to 2026-03-02 17:30:00 UTC+01:00",
            "Operator: A. Technician, B. Supervisor", "Report made: 2026-03-03 09:15:07 UTC+01:00",
            "Reviewed by: ______ Date: ______ Signature: ______", "Chain head: " + kHead};
        for (int i = 0; i < pages.size(); ++i) {
            const QString page = pages[i].simplified();
            for (const QString &text : everyPage + QStringList{QStringLiteral("Page %1 of %2").arg(i + 1).arg(pageCount)})
                QVERIFY2(page.contains(text), qPrintable(QStringLiteral("page %1 lacks: %2").arg(i + 1).arg(text)));
            QVERIFY2(page.count(QRegularExpression(QStringLiteral("Page \\d+ of \\d+"))) == 1, "one page number a page");
            // The header comes before the rows, the footer after them.
            QVERIFY(page.indexOf(kLab) < page.indexOf(QStringLiteral("Reviewed by:")));
        }
        verifyRows(pages, data, severalBalances);
        QVERIFY(pages.last().simplified().contains(QStringLiteral("End of report: %1 rows.").arg(count)));
        if (count == 0)
            QVERIFY(pages.first().contains(QStringLiteral("No rows.")));
    }

    void firstPage_data()
    {
        QTest::addColumn<QString>("details");  // what the series is given or lacks
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("check with verdict")
            << "check" << QStringList{"Check: Repeatability, March", "Statistics and limits",
                                      "n 40 Nominal 10.000 g Within 4287", "Mean 10.0004 g T1 lower limit 9.955 g Warning 1429",
                                      "Standard deviation 0.0354 g T1 upper limit 10.045 g Outside 1428",
                                      "RSD 0.354 % T2 lower limit 9.910 g Below minimum 1428",
                                      "Minimum 9.940 g T2 upper limit 10.090 g", "Maximum 10.060 g", "Range 0.120 g",
                                      "Test Repeatability, 10 weighings", "Test weight 200 g E2, certificate 4711",
                                      "Figures s = 0.12 mg mean = 200.00004 g", "Criterion s at most 0.20 mg",
                                      "Verdict passed", "Chart of the results",
                                      "within warning outside below minimum no class nominal T1 T2"};
        QTest::newRow("details missing")
            << "sparse" << QStringList{"Laboratory: —", "Balance: Waage Nord ID: — Maker: Sartorius Model: — Serial: —",
                                       "Period: the first row to 2026-03-02 17:30:00 UTC+01:00", "Operator: —",
                                       "Chain head: — (the rows have no provenance)", "1001 line break 2026-03-02"};
        QTest::newRow("many balances")
            << "balances" << QStringList{"Rows of every instrument", "… and 3 more balances, listed on page 1", "Balances (5)",
                                         "Balance 1 B-1 Maker 1 Model 1 SN-1", "Balance 5 B-5 Maker 5 Model 5 SN-5"};
    }

    // What the first page tells of the data, and says where a detail is missing.
    void firstPage()
    {
        QFETCH(QString, details);
        TempWorkDir dir;
        ReportData data = series(details == "check" ? 40 : details == "sparse" ? 3 : 5);
        if (details == "check") {
            data.coverage = {ReportCoverage::Check, QStringLiteral("Repeatability, March"), {}};
            data.verdict = ReportVerdict{"Repeatability, 10 weighings", "200 g E2, certificate 4711",
                                         "s = 0.12 mg\nmean = 200.00004 g", "s at most 0.20 mg", "passed"};
        } else if (details == "sparse") {
            data.lab.clear();
            data.balances = {{QStringLiteral("Waage Nord"), {}, QStringLiteral("Sartorius"), {}, {}}};
            data.operators.clear();
            data.from = QDateTime();
            data.chainHead.clear();
            data.statistics.reset();
            data.rows[1].sampleId = QStringLiteral("line\nbreak");
        } else {
            data.coverage = {ReportCoverage::Range, {}, {}};
            data.balances.clear();
            for (const QString i : {"1", "2", "3", "4", "5"})
                data.balances.append({"Balance " + i, "B-" + i, "Maker " + i, "Model " + i, "SN-" + i});
        }
        QCOMPARE(write(data, QStringLiteral("first.pdf")), QString());
        const QString page = pagesOf(QStringLiteral("first.pdf")).first().simplified();
        QFETCH(QStringList, shown);
        for (const QString &text : shown)
            QVERIFY2(page.contains(text), qPrintable(QStringLiteral("lacks: %1\nin: %2").arg(text, page)));
        QCOMPARE(page.contains(QStringLiteral("Statistics and limits")), details != "sparse");
    }

    void writeFailureIsTold()
    {
        TempWorkDir dir;
        QVERIFY(writeFile(QStringLiteral("kept.pdf"), "earlier report"));
        const QString missing = dir.filePath(QStringLiteral("no such folder/report.pdf"));
        const QString error = write(series(3), missing);
        QVERIFY(error.contains(missing));
        QVERIFY(!QFile::exists(missing));
        // A file that is replaced is replaced whole.
        QCOMPARE(write(series(3), QStringLiteral("kept.pdf")), QString());
        QVERIFY(readFile(QStringLiteral("kept.pdf")).startsWith("%PDF-"));
    }

    void sealReadBack_data()
    {
        QTest::addColumn<QList<qint64>>("keys");
        QTest::addColumn<QString>("head");  // empty: the rows have no provenance
        const auto keysFrom = [](qint64 first, int count) {
            QList<qint64> keys;
            for (int i = 0; i < count; ++i)
                keys << first + i;
            return keys;
        };
        QTest::newRow("no rows") << QList<qint64>() << kHead;
        QTest::newRow("one row") << QList<qint64>{7} << kHead;
        QTest::newRow("gaps and order of the report") << QList<qint64>{5, 6, 7, 12, 9, 10, 11, 3} << kHead;
        QTest::newRow("rows without provenance") << QList<qint64>{1, 2, 3} << QString();
        QTest::newRow("every hash listed") << keysFrom(1, ReportSeal::kFullListRows) << kHead;
        QTest::newRow("hashes as tags") << keysFrom(1, ReportSeal::kFullListRows + 1) << kHead;
        QTest::newRow("10,000 rows") << keysFrom(400000, 10000) << kHead.toUpper();
    }

    void sealReadBack()
    {
        QFETCH(QList<qint64>, keys);
        QFETCH(QString, head);
        TempWorkDir dir;
        ReportData data = series(keys.size());
        data.chainHead = head;
        QStringList hashes;
        QHash<qint64, QString> current;
        for (int i = 0; i < keys.size(); ++i) {
            data.rows[i].key = keys[i];
            data.rows[i].hash = head.isEmpty() ? QString() : hashOf(keys[i]);
            hashes << data.rows[i].hash;
            current.insert(keys[i], hashes[i]);
        }
        QCOMPARE(write(data, QStringLiteral("sealed.pdf")), QString());

        QString error = QStringLiteral("not cleared");
        const auto seal = readSeal(QStringLiteral("sealed.pdf"), &error);
        QVERIFY2(seal, qPrintable(error));
        QCOMPARE(error, QString());
        QCOMPARE(seal->version, 1);
        QCOMPARE(seal->chainHead, head.toLower());
        QCOMPARE(seal->madeAt, QStringLiteral("2026-03-03T08:15:07Z"));
        QCOMPARE(QList<qint64>(seal->keys.begin(), seal->keys.end()), keys);
        QCOMPARE(seal->rowsDigest, rowsDigest(seal->keys, hashes));
        QCOMPARE(seal->contentDigest, contentDigest(data.rows));
        QCOMPARE(seal->hashes, keys.size() <= ReportSeal::kFullListRows ? hashes : QStringList());
        QCOMPARE(seal->tags.size(), keys.size() * ReportSeal::kTagBytes);
        QVERIFY(checkSeal(*seal, current).unchanged);
        if (keys.size() == 10000)
            QVERIFY2(QFile(QStringLiteral("sealed.pdf")).size() < 4 * 1024 * 1024, "a 10,000-row report stays small");
    }

    void tamperedSealIsRejected_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<QByteArray>("at");    // what is replaced by `with`, or the text the changed byte follows
        QTest::addColumn<QByteArray>("with");
        QTest::addColumn<QString>("reason");
        const auto row = [](const char *name, int rows, const char *at, const char *with, const char *reason) {
            QTest::newRow(name) << rows << QByteArray(at) << QByteArray(with) << QString(reason);
        };
        row("chain head", 20, "<vtseal:chainHead>", "", "digest does not match");
        row("a key", 20, "<vtseal:keys>100", "", "damaged");
        row("a row's hash", 20, "<vtseal:rowHashes>", "", "damaged");
        row("a row's tag", 2000, "<vtseal:rowTags>", "", "digest does not match");
        row("rows digest", 2000, "<vtseal:rowsDigest>", "", "digest does not match");
        row("seal digest", 20, "<vtseal:sealDigest>", "", "digest does not match");
        row("row count", 20, "<vtseal:rowCount>", "", "do not match the row count");
        row("an element renamed", 20, "<vtseal:rowHashes>", "<vtseal:rowHashez>", "not readable XML");
        row("format", 20, "<vtseal:version>1<", "<vtseal:version>2<", "format 2");
        row("seal removed", 20, "http://veltrano.example.org/ns/report-seal/1.0/",
            "http://veltrano.example.org/ns/report-sea1/1.0/", "holds no report seal");
        row("not a PDF", 20, "%PDF-", "%PDX-", "not a PDF");
    }

    void tamperedSealIsRejected()
    {
        QFETCH(int, rows);
        QFETCH(QByteArray, at);
        QFETCH(QByteArray, with);
        QFETCH(QString, reason);
        TempWorkDir dir;
        QCOMPARE(write(series(rows), QStringLiteral("report.pdf")), QString());
        QByteArray bytes = readFile(QStringLiteral("report.pdf"));
        if (with.isEmpty()) {
            QVERIFY(bytes.indexOf(at) > 0);
            const int changed = bytes.indexOf(at) + at.size();
            bytes[changed] = otherCharacter(bytes.at(changed));
        } else {
            QCOMPARE(bytes.count(at), 1);
            bytes.replace(at, with);
        }
        QVERIFY(writeFile(QStringLiteral("tampered.pdf"), bytes));
        QString error;
        QVERIFY(!readSeal(QStringLiteral("tampered.pdf"), &error));
        QVERIFY2(error.contains(reason), qPrintable(error));
        QVERIFY(error.contains(QStringLiteral("tampered.pdf")));
    }

    // Another program that saves the report again may compress its metadata,
    // or add a packet of its own after the report's.
    void sealInRewrittenFile()
    {
        TempWorkDir dir;
        QCOMPARE(write(series(30), QStringLiteral("report.pdf")), QString());
        const QByteArray bytes = readFile(QStringLiteral("report.pdf"));
        QString error;
        const auto sealOf = [&error](const QString &name, const QByteArray &content) {
            return writeFile(name, content) ? readSeal(name, &error) : std::nullopt;
        };
        const auto sealed = readSeal(QStringLiteral("report.pdf"), &error);
        QVERIFY2(sealed, qPrintable(error));

        const int type = bytes.indexOf("/Type /Metadata");
        const int dictionary = bytes.lastIndexOf("<<", type);
        const int start = bytes.indexOf("stream\n", type) + 7;
        const int end = bytes.indexOf("endstream", start);
        QVERIFY(dictionary > 0 && start > type && end > start);
        const QByteArray packet = qCompress(bytes.mid(start, end - start)).mid(4);
        const QByteArray compressed = bytes.left(dictionary) +
                                      "<< /Type /Metadata /Subtype /XML /Filter /FlateDecode /Length " +
                                      QByteArray::number(packet.size()) + " >>\nstream\n" + packet + "\n" + bytes.mid(end);
        QVERIFY(!compressed.contains("<vtseal:"));
        auto seal = sealOf(QStringLiteral("compressed.pdf"), compressed);
        QVERIFY2(seal, qPrintable(error));
        QCOMPARE(seal->keys, sealed->keys);
        QCOMPARE(seal->hashes, sealed->hashes);

        seal = sealOf(QStringLiteral("appended.pdf"),
                      bytes + "\n99 0 obj\n<< /Type /Metadata /Subtype /XML /Length 60 >>\nstream\n"
                              "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"></x:xmpmeta>\nendstream\nendobj\n");
        QVERIFY2(seal, qPrintable(error));
        QCOMPARE(seal->rowsDigest, sealed->rowsDigest);

        // A later seal (a report written over it) is the one that counts.
        ReportData other = series(2);
        other.rows[0].key = 1;
        const QByteArray later = sealXmp(makeSeal(other), QStringLiteral("other"), QStringLiteral("test"));
        seal = sealOf(QStringLiteral("updated.pdf"), bytes + "\n99 0 obj\nstream\n" + later + "\nendstream\n");
        QVERIFY2(seal, qPrintable(error));
        QCOMPARE(seal->keys, QVector<qint64>({1, 1001}));

        QVERIFY(!readSeal(QStringLiteral("missing.pdf"), &error));
        QVERIFY(error.contains(QStringLiteral("cannot be read")));
    }

    void sealCheckNamesRows_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<QList<qint64>>("changed");  // keys, from 1000
        QTest::addColumn<QList<qint64>>("missing");
        QTest::addColumn<bool>("upperCase");
        for (const int rows : {10, 3000}) {
            const QByteArray kind = rows <= ReportSeal::kFullListRows ? "hashes" : "tags";
            const auto row = [&kind](const char *name) -> QTestData & { return QTest::newRow((kind + ": " + name).constData()); };
            row("unchanged") << rows << QList<qint64>() << QList<qint64>() << false;
            row("hashes in capitals") << rows << QList<qint64>() << QList<qint64>() << true;
            row("first changed") << rows << QList<qint64>{1000} << QList<qint64>() << false;
            row("last missing") << rows << QList<qint64>() << QList<qint64>{999 + rows} << false;
            row("changed and missing") << rows << QList<qint64>{1002, 1007} << QList<qint64>{1005} << false;
        }
    }

    void sealCheckNamesRows()
    {
        QFETCH(int, rows);
        QFETCH(QList<qint64>, changed);
        QFETCH(QList<qint64>, missing);
        QFETCH(bool, upperCase);
        ReportData data = series(rows);
        data.rows[3].hash.clear();  // a row without provenance stays one
        const ReportSeal seal = makeSeal(data);

        QHash<qint64, QString> current;
        for (const ReportRow &row : std::as_const(data.rows))
            current.insert(row.key, upperCase ? row.hash.toUpper() : row.hash);
        for (const qint64 key : changed)
            current[key] = hashOf(-key);
        for (const qint64 key : missing)
            current.remove(key);
        const SealCheck check = checkSeal(seal, current);
        QCOMPARE(QList<qint64>(check.changed.begin(), check.changed.end()), changed);
        QCOMPARE(QList<qint64>(check.missing.begin(), check.missing.end()), missing);
        QCOMPARE(check.unchanged, changed.isEmpty() && missing.isEmpty());
        QVERIFY(!check.changedUnlocated());
        for (const qint64 key : changed + missing)
            QVERIFY(check.summary().contains(QString::number(key)));
        QVERIFY(check.summary().startsWith(check.unchanged ? QStringLiteral("unchanged") : QStringLiteral("changed")));
    }

    void chartSeries_data()
    {
        QTest::addColumn<QStringList>("results");
        QTest::addColumn<QStringList>("units");
        QTest::addColumn<QList<QPointF>>("points");
        QTest::addColumn<QString>("why");
        QTest::newRow("every result") << QStringList{"10.01", "9.99", "+  10,02"} << QStringList{"g", "g", "g"}
                                      << QList<QPointF>{{1, 10.01}, {2, 9.99}, {3, 10.02}} << QString();
        QTest::newRow("a result that is no number keeps its place")
            << QStringList{"10.01", "OL", "9.99"} << QStringList{"g", "g", "g"}
            << QList<QPointF>{{1, 10.01}, {3, 9.99}} << QString();
        QTest::newRow("no number") << QStringList{"OL", "UL"} << QStringList{"g", "g"} << QList<QPointF>()
                                   << QStringLiteral("No result is a number");
        QTest::newRow("several units") << QStringList{"10.01", "9990", "OL"} << QStringList{"g", "mg", "kg"}
                                       << QList<QPointF>() << QStringLiteral("several units (g, mg)");
    }

    void chartSeries()
    {
        QFETCH(QStringList, results);
        QFETCH(QStringList, units);
        QFETCH(QList<QPointF>, points);
        QFETCH(QString, why);
        ReportData data = series(results.size());
        for (int i = 0; i < results.size(); ++i) {
            data.rows[i].result = results[i];
            data.rows[i].unit = units[i];
        }
        data.statistics->t2Upper.clear();
        const ReportChart::Series chart = ReportChart::seriesOf(data);
        QCOMPARE(QList<QPointF>(chart.points.begin(), chart.points.end()), points);
        QCOMPARE(chart.classes.size(), points.size());
        QCOMPARE(chart.rowCount, results.size());
        QVERIFY2(why.isEmpty() ? chart.why.isEmpty() : chart.why.contains(why), qPrintable(chart.why));
        if (why.isEmpty()) {
            QCOMPARE(chart.unit, QStringLiteral("g"));
            QCOMPARE(chart.nominal, std::optional<double>(10.0));
            QCOMPARE(chart.t1Lower, std::optional<double>(9.955));
            QVERIFY(!chart.t2Upper);
        }

        // The chart draws whatever the series holds.
        TempWorkDir dir;
        QCOMPARE(write(data, QStringLiteral("chart.pdf")), QString());
        const QString page = pagesOf(QStringLiteral("chart.pdf")).first();
        QVERIFY(why.isEmpty() ? page.contains(QStringLiteral("Chart of the results")) : page.contains(why));
    }

    void axisTicks_data()
    {
        QTest::addColumn<double>("low");
        QTest::addColumn<double>("high");
        QTest::addColumn<QList<double>>("ticks");
        QTest::newRow("grams") << 9.9 << 10.1 << QList<double>{9.9, 9.95, 10.0, 10.05, 10.1};
        QTest::newRow("rows") << 1.0 << 10000.0 << QList<double>{2000, 4000, 6000, 8000, 10000};
        QTest::newRow("across zero") << -0.013 << 0.011 << QList<double>{-0.01, -0.005, 0, 0.005, 0.01};
        QTest::newRow("empty range") << 5.0 << 5.0 << QList<double>();
    }

    void axisTicks()
    {
        QFETCH(double, low);
        QFETCH(double, high);
        QFETCH(QList<double>, ticks);
        const QVector<double> found = ReportChart::axisTicks(low, high, 5);
        QCOMPARE(found.size(), ticks.size());
        for (int i = 0; i < ticks.size(); ++i)
            QVERIFY2(qAbs(found[i] - ticks[i]) < 1e-9, qPrintable(QString::number(found[i], 'g', 17)));
    }

    void reportSettings_data()
    {
        QTest::addColumn<QByteArray>("content");  // empty: no file
        QTest::addColumn<QString>("lab");
        QTest::addColumn<PaperSize>("paper");
        QTest::addColumn<QString>("error");
        QTest::newRow("no file") << QByteArray() << QString() << PaperSize::A4 << QString();
        QTest::newRow("lab") << QByteArray("[report]\nlab = QC Lab 4 \n") << QStringLiteral("QC Lab 4") << PaperSize::A4
                             << QString();
        QTest::newRow("letter") << QByteArray("[report]\npaper=letter\n") << QString() << PaperSize::Letter << QString();
        QTest::newRow("unknown paper") << QByteArray("[report]\nlab=QC\npaper=A3\n") << QStringLiteral("QC")
                                       << PaperSize::A4 << QStringLiteral("paper=A3");
        QTest::newRow("typed in Latin-1") << QByteArray("[report]\nlab=Qualit\xe4tskontrolle\n")
                                          << QStringLiteral("Qualitätskontrolle") << PaperSize::A4 << QString();
    }

    void reportSettings()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, error);
        TempWorkDir dir;
        if (!content.isEmpty())
            QVERIFY(writeFile(QLatin1String(kReportIni), content));
        QString found = QStringLiteral("not cleared");
        const ReportSettings settings = readReportSettings(dir.filePath(QLatin1String(kReportIni)), &found);
        QTEST(settings.lab, "lab");
        QTEST(settings.paper, "paper");
        QVERIFY2(error.isEmpty() ? found.isEmpty() : found.contains(error), qPrintable(found));
    }

    void programs_data()
    {
        QTest::addColumn<QStringList>("arguments");  // veltrano-report's, before OUTPUT
        QTest::addColumn<QString>("output");         // its output, or the start of it
        QTest::addColumn<QStringList>("shown");      // texts the PDF holds
        QTest::addColumn<QString>("change");         // SQL run on the database after the report
        QTest::addColumn<QString>("verdict");        // the start of veltrano-verify --report's output
        // The first digit of a row's hash flipped, whatever it was.
        const auto hashChanged = [](int key) {
            return QStringLiteral("UPDATE provenance SET hash = CASE WHEN hash LIKE '0%' THEN '1' ELSE '0' END "
                                  "|| substr(hash, 2) WHERE row_key = %1").arg(key);
        };
        const auto refused = [](const char *name, const QStringList &arguments, const char *output) {
            QTest::newRow(name) << arguments << QString(output) << QStringList() << QString()
                                << QStringLiteral("veltrano-verify: r.pdf holds no report seal: ");
        };
        const QStringList samples = {"S-001", "S-002", "S-003", "S-004"};
        const QString balance = "Balance: Waage Nord ID: wn1 Maker: Mettler Toledo Model: XPR205 Serial: B1234";
        const QStringList header = {"Lab Four", balance, "Operator: a.tech", "Page 1 of 1"};
        QTest::newRow("series, a hash changed")
            << QStringList{"--series", "S-1"} << "wrote 4 rows to r.pdf (1 page)\n"
            << header + samples
                   + QStringList{"Series: S-1", "10.130 g", "9.95 g", "10.10 g", "End of report: 4 rows.",
                                 "Balance checks: qualified until 2026-03-08"}
            << hashChanged(2) << "changed: rows 1 changed (keys 2)";
        QTest::newRow("series, untouched")
            << QStringList{"--quiet", "--paper", "letter", "--series", "S-2"} << "" << QStringList{"S-101", "Waage Süd"}
            << "UPDATE data SET result = '1' WHERE rowid = 1" << "unchanged:";
        // The weighings in the order the check took them, each at its place on the pan.
        QTest::newRow("a check, a result changed")
            << QStringList{"--check", "1"} << "wrote 5 rows to r.pdf (1 page)\n"
            << QStringList{"Lab Four", balance, "Operator: q.lead", "Period: 2026-03-02 07:30:00", "to 2026-03-02 08:00:04", "Page 1 of 1",
                           "Check: eccentricity, record 1",
                           "W-100, nominal 10 g, class F1, certificate C-77, calibration due 2027-01-31",
                           "1 centre 2026-03-02 08:00:00 + 10.01 g", "3 front left 2026-03-02 08:00:02 + 9.98 g",
                           "2 front right 2026-03-02 08:00:01 + 10.03 g", "5 back left 2026-03-02 08:00:04 + 10.02 g",
                           "4 back right 2026-03-02 08:00:03 + 10.50 g", "n = 5; mean = 10.108 g; deviation = 0.49 g",
                           "|position - centre| <= 0.5 g", "Passed: the largest deviation, 0.49 g, is within 0.5 g",
                           "Reviewed by:", "End of report: 5 rows."}
            << hashChanged(3) << "changed: rows 1 changed (keys 3)";
        refused("a check not recorded", {"--check", "9"}, "veltrano-report: no check record 9 is recorded\n");
        QTest::newRow("a day of one balance, a row deleted")
            << QStringList{"--from", "2026-03-02", "--to", "2026-03-02", "--instrument", "Waage Nord"}
            << "wrote 6 rows to r.pdf (1 page)\n" << header + samples + QStringList{"Rows of Waage Nord", "End of report: 6 rows."}
            << "DELETE FROM data WHERE rowid = 5" << "changed: rows 1 no longer in the database (keys 5)";
        refused("a series without weighings", {"--series", "S-9"},
                "veltrano-report: no weighings of the series \"S-9\" are recorded\n");
        refused("a series and a period", {"--series", "S-1", "--from", "10:00"},
                "veltrano-report: --series shows the whole series: not with --from");
    }

    // Series S-1 of four weighings on Waage Nord, two rows of its time series,
    // S-2 of one weighing on Waage Süd the day after; then the report's seal
    // checked after the database was changed.
    void programs()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, output);
        QFETCH(QStringList, shown);
        QFETCH(QString, change);
        QFETCH(QString, verdict);
        TempWorkDir dir;
        QVERIFY(writeFile(QStringLiteral("report.ini"), "[report]\nlab=Lab Four\n"));
        QVERIFY(writeFile(QStringLiteral("settings.ini"),
                          "[wn1]\nname=Waage Nord\nnominal=10\nwarning=0.05\ntolerance=0.1\n[ws2]\nname=Waage Süd\n"));
        QVector<Row> rows;
        const char *results[] = {"+ 10.01", "+ 10.03", "+  9.98", "+ 10.50", "+ 10.02", "+ 10.02", "+ 20.00"};
        for (int i = 0; i < 7; ++i) {
            const bool nord = i < 6;
            Row row(nord ? "2026-03-02" : "2026-03-03", QStringLiteral("08:00:0%1").arg(i), nord ? "Waage Nord" : "Waage Süd",
                    "", results[i], "g");
            row.provenance.instrument = nord ? "wn1" : "ws2";
            if (i < 4 || !nord)
                row.weighing = Weighing{nord ? QStringLiteral("S-00%1").arg(i + 1) : QStringLiteral("S-101"),
                                        nord ? "S-1" : "S-2", "stable", "net", "a.tech", i == 3 ? "outside" : "within", "10"};
            rows << row;
        }
        QVERIFY(Database::open(QStringLiteral("sqlite.db"), Database::Mode::Record).usable());
        const QSqlDatabase db = QSqlDatabase::database();
        QString error;
        int failedAt = 0;
        QVERIFY2(MeasurementDb::insertRows(rows, &error, &failedAt), qPrintable(error));
        // Waage Nord in the register, its eccentricity passed the morning of S-1.
        Checks::BalanceEntry entry{"wn1", "Mettler Toledo", "XPR205", "B1234", {}, {}, {}, {}, {}, {}, {}};
        QCOMPARE(Checks::parseIntervals("eccentricity=7d", &entry.intervals), QString());
        QCOMPARE(Checks::saveBalance(db, entry), QString());
        QCOMPARE(Checks::saveWeight(db, {"W-100", 10, "g", "F1", "C-77", QDate(2027, 1, 31), {}, {}}), QString());
        QCOMPARE(Checks::addRecord(db, {0, "wn1", Checks::Check::Eccentricity, "2026-03-02", "07:30:00", "q.lead", "W-100",
                                        10, 5, 10.108, {}, 0.49, "|position - centre| <= 0.5 g", Checks::Verdict::Pass,
                                        "the largest deviation, 0.49 g, is within 0.5 g", {1, 3, 2, 5, 4}, {}}),
                 QString());

        const auto report = runProgram(QStringLiteral(VELTRANO_REPORT), arguments + QStringList{"r.pdf"});
        QVERIFY2(output.isEmpty() ? report.second.isEmpty() : report.second.startsWith(output), qPrintable(report.second));
        QCOMPARE(report.first, output.startsWith("veltrano-report: --") ? 2 : output.startsWith("veltrano") ? 1 : 0);
        QCOMPARE(QFile::exists(QStringLiteral("r.pdf")), report.first == 0);
        const QString text = shown.isEmpty() ? QString() : pagesOf(QStringLiteral("r.pdf")).join(QLatin1Char('\n')).simplified();
        for (const QString &expected : shown)
            QVERIFY2(text.contains(expected), qPrintable(expected + QLatin1String(" not in:\n") + text));

        const QStringList verify = {"--report", "r.pdf"};
        if (!change.isEmpty()) {
            QCOMPARE(runProgram(QStringLiteral(VELTRANO_VERIFY), verify),
                     qMakePair(0, QStringLiteral("unchanged: every row the report shows is as it was sealed\n")));
            // The report is in the audit trail, with the head its seal holds.
            const std::optional<ReportSeal> seal = readSeal(QStringLiteral("r.pdf"), &error);
            QVERIFY2(seal, qPrintable(error));
            QSqlQuery query(db);
            QVERIFY(query.exec("SELECT details FROM audit WHERE kind = 'report'") && query.next());
            const QJsonObject details = QJsonDocument::fromJson(query.value(0).toString().toUtf8()).object();
            QCOMPARE(details.value("file").toString(), QStringLiteral("r.pdf"));
            QCOMPARE(details.value("chainHead").toString(), seal->chainHead);
            QVERIFY(!query.next());
            QVERIFY2(query.exec(change) && query.numRowsAffected() == 1, qPrintable(query.lastError().text()));
        }
        const auto checked = runProgram(QStringLiteral(VELTRANO_VERIFY), verify);
        QVERIFY2(checked.second.startsWith(verdict), qPrintable(checked.second));
        QCOMPARE(checked.first, verdict.startsWith("unchanged") ? 0 : 1);
    }
};

QTEST_MAIN(TestReport)
#include "tst_report.moc"
