// Sample IDs: worklist files as spreadsheets write them, the numbering
// pattern, what the next weighing takes, and the worklist folder of an
// unattended collector through drops, queues, completion and restarts.
#include "tempworkdir.h"
#include "weighing/sampleids.h"
#include "weighing/worklist.h"
#include "weighing/worklistfolder.h"

#include <QDir>
#include <QtTest>

#include <memory>

#include <unistd.h>

using namespace Veltrano;

namespace {

QString entriesText(const Worklist &list)
{
    QStringList texts;
    for (const WorklistEntry &entry : list.entries)
        texts << (entry.nominal ? entry.sampleId + '=' + entry.nominalText : entry.sampleId);
    return texts.join('|');
}

QString sourceName(NextSample::Source source)
{
    switch (source) {
    case NextSample::Source::Worklist: return "worklist";
    case NextSample::Source::Typed: return "typed";
    case NextSample::Source::Numbered: return "numbered";
    case NextSample::Source::None: break;
    }
    return "none";
}

QString sampleText(const NextSample &sample)
{
    QString text = sample.sampleId + ' ' + sourceName(sample.source);
    if (sample.nominal)
        text += ' ' + QString::number(*sample.nominal);
    if (!sample.series.isEmpty())
        text += " [" + sample.series + ']';
    return text;
}

// A worklist in memory, as a window could hold one.
class ListSource : public WorklistSource
{
public:
    explicit ListSource(const QStringList &ids) : m_ids(ids) {}
    std::optional<NextSample> peekSample() const override
    {
        if (m_at >= m_ids.size())
            return std::nullopt;
        return NextSample{m_ids.at(m_at), 1.5, "list", NextSample::Source::Worklist};
    }
    std::optional<NextSample> takeSample(QString *) override
    {
        const std::optional<NextSample> next = peekSample();
        m_at += next ? 1 : 0;
        return next;
    }

private:
    QStringList m_ids;
    int m_at = 0;
};

} // namespace

class TestWorklist : public QObject
{
    Q_OBJECT
    std::unique_ptr<TempWorkDir> m_dir;
    QDateTime m_now;

    WorklistFolder folder(const QString &id = "b1")
    {
        return WorklistFolder(m_dir->path(), id, [this] { return m_now; });
    }
    QString inFolder(const QString &name) const { return m_dir->filePath(QStringLiteral("worklists/") + name); }
    QStringList files() const { return QDir(m_dir->filePath("worklists")).entryList(QDir::Files, QDir::Name); }
    void drop(const QByteArray &content, const QString &id = "b1")
    {
        QVERIFY(writeFile(inFolder(id + ".csv"), content));
    }
    // Two polls: the first sees a dropped file, the second takes it.
    QStringList settle(WorklistFolder &worklists)
    {
        QStringList told = worklists.poll();
        told += worklists.poll();
        return told;
    }
    QString take(WorklistFolder &worklists)
    {
        QString error;
        const std::optional<NextSample> sample = worklists.takeSample(&error);
        if (!error.isEmpty())
            return "error: " + error;
        return sample ? sampleText(*sample) : QStringLiteral("nothing");
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<TempWorkDir>();
        m_now = QDateTime::fromString("2026-12-09T10:00:00Z", Qt::ISODate);
        // The folder is there, but for the test of one that is not.
        QVERIFY(QByteArray(QTest::currentTestFunction()) == "folderMissing" || QDir(m_dir->path()).mkdir("worklists"));
    }
    void cleanup() { m_dir.reset(); }

    void parse_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("entries");  // "id=nominal|id|..."
        QTest::addColumn<QStringList>("errors");
        const auto row = [](const char *name, const QByteArray &content, const QString &entries,
                            const QStringList &errors = {}) { QTest::newRow(name) << content << entries << errors; };
        row("one ID a line", "S-1\nS-2\nS-3\n", "S-1|S-2|S-3");
        row("no line end at the end", "S-1\nS-2", "S-1|S-2");
        row("nominals after commas", "S-1,10.5\nS-2,11\n", "S-1=10.5|S-2=11");
        row("semicolons, decimal commas", "S-1;10,5\nS-2;11,25\n", "S-1=10.5|S-2=11.25");
        row("semicolons found after a line without", "S-1\nS-2;11,25\n", "S-1|S-2=11.25");
        row("header", "Sample;Nominal\nA;1\n", "A=1");
        row("header with unit", "sample id,nominal (g)\nA,1\n", "A=1");
        row("header of one column", "SampleID\nA\n", "A");
        row("not a header: a number beside it", "sample,1.5\nB\n", "sample=1.5|B");
        row("a header only on the first line", "A\nsample\n", "A|sample");
        row("byte-order mark and CRLF", "\xEF\xBB\xBFS-1;1,0\r\nS-2;2,0\r\n", "S-1=1.0|S-2=2.0");
        row("CR alone", "A\rB\r", "A|B");
        row("blank lines and blanks around", "\n  A  \n\n;\n\t B ; 2 \n\n", "A|B=2");
        row("quotes", "\"S;1\";\"10,5\"\n\"say \"\"hi\"\"\";\n", "S;1=10.5|say \"hi\"");
        row("comments", "# from the LIMS\nA\n# completed 2026-12-09T10:12:00Z, 1 samples\n", "A");
        row("a quoted # is a sample", "\"#1\"\n", "#1");
        row("empty columns after", "A;1;;\nB;;\n", "A=1|B");
        row("Latin-1", "Pr\xfc" "fung;1\n", QString::fromUtf8("Prüfung=1"));
        row("UTF-8", "Pr\xc3\xbc" "fung;1\n", QString::fromUtf8("Prüfung=1"));
        row("negative nominal", "A;-0,25\n", "A=-0.25");
        row("nothing", "", "");

        row("no sample ID", "A;1\n;2\nB;3\n", "A=1|B=3", {"line 2: no sample ID"});
        row("nominal not a number", "A;1\nB;1 g\n", "A=1", {"line 2: \"1 g\" is not a nominal value"});
        row("a third column", "A;1;extra\n", "", {"line 1: more than two columns (sample ID and nominal)"});
        row("commas and a decimal comma", "A,10,5\n", "", {"line 1: more than two columns (sample ID and nominal)"});
        row("a quote not closed", "A\n\"B\nC\n", "A", {"line 2: a quote is not closed"});
        row("a line break in a sample ID", "\"A\r\nB\";1\nC\n", "C", {"line 1: the sample ID holds a line break"});
        row("line numbers count every line", "# x\n\nA\n\"\"\nB;y\n", "A", {"line 5: \"y\" is not a nominal value"});
    }

    void parse()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, entries);
        QFETCH(QStringList, errors);
        const Worklist list = Worklist::parse(content);
        QCOMPARE(entriesText(list), entries);
        QCOMPARE(list.errors, errors);
        for (const WorklistEntry &entry : list.entries)
            QCOMPARE(entry.nominal.value_or(-1), entry.nominalText.isEmpty() ? -1 : entry.nominalText.toDouble());
        QCOMPARE(list.isUsable(), errors.isEmpty() && !entries.isEmpty());
    }

    void problem()
    {
        QCOMPARE(Worklist::parse("").problem(), QStringLiteral("no samples"));
        QCOMPARE(Worklist::parse("A\n").problem(), QString());
        const Worklist bad = Worklist::parse(";\n;1\n;2\n;3\n;4\n;5\n;6\nA\n");
        QCOMPARE(bad.problem(), QStringLiteral("line 2: no sample ID; line 3: no sample ID; line 4: no sample ID; "
                                               "line 5: no sample ID; line 6: no sample ID (and 1 more)"));
    }

    void pattern_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<qint64>("number");
        QTest::addColumn<QString>("id");  // or the message of a refused pattern
        QTest::newRow("zero-padded") << "S-{n:04}" << qint64(7) << "S-0007";
        QTest::newRow("plain") << "{n}" << qint64(12) << "12";
        QTest::newRow("width without the zero") << "{n:3}" << qint64(5) << "005";
        QTest::newRow("wider than the width") << "B{n:2}-x" << qint64(123) << "B123-x";
        QTest::newRow("braces as text") << "{{lot}}-{n}" << qint64(1) << "{lot}-1";
        QTest::newRow("the number twice") << "{n}/{n:03}" << qint64(4) << "4/004";
        QTest::newRow("no number") << "S-" << qint64(1) << "numbering pattern \"S-\": there is no {n} for the number";
        QTest::newRow("another placeholder")
            << "S-{x}" << qint64(1) << "numbering pattern \"S-{x}\": {x} is not {n}, {n:W} or {n:0W}";
        QTest::newRow("not closed")
            << "S-{n" << qint64(1) << "numbering pattern \"S-{n\": a \"{\" without its \"}\" (write \"{{\" for one)";
        QTest::newRow("not opened")
            << "S-n}" << qint64(1) << "numbering pattern \"S-n}\": a \"}\" without its \"{\" (write \"}}\" for one)";
        QTest::newRow("width 0")
            << "{n:0}" << qint64(1) << "numbering pattern \"{n:0}\": {n:0}: the width is a number from 1 to 18";
        QTest::newRow("width too large")
            << "{n:19}" << qint64(1) << "numbering pattern \"{n:19}\": {n:19}: the width is a number from 1 to 18";
        QTest::newRow("width not a number")
            << "{n:+2}" << qint64(1) << "numbering pattern \"{n:+2}\": {n:+2}: the width is a number from 1 to 18";
    }

    void pattern()
    {
        QFETCH(QString, pattern);
        QFETCH(qint64, number);
        QString error;
        const std::optional<IdPattern> parsed = IdPattern::parse(pattern, &error);
        QTEST(parsed ? parsed->format(number) : error, "id");
    }

    void nextSample_data()
    {
        // Steps: "type X", "scan X" (\r, \n and \x02 written as such), "pattern P",
        // "number N", "series S", "worklist A,B", "peek", "take"; the last two
        // give what the weighing would take.
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("samples");
        QTest::newRow("nothing: an empty ID") << QStringList{"peek", "take"} << QStringList{" none", " none"};
        QTest::newRow("typed, taken once")
            << QStringList{"type A", "peek", "take", "take"} << QStringList{"A typed", "A typed", " none"};
        QTest::newRow("typed again replaces") << QStringList{"type A", "type  B ", "take"} << QStringList{"B typed"};
        QTest::newRow("typed empty withdraws") << QStringList{"type A", "type ", "take"} << QStringList{" none"};
        QTest::newRow("scanned: trimmed, empty lines ignored")
            << QStringList{"type A", "scan \r\n", "peek", "scan \x02 B7 \x03\r\n", "take"}
            << QStringList{"A typed", "B7 typed"};
        QTest::newRow("numbered") << QStringList{"pattern S-{n:03}", "take", "take", "peek"}
                                  << QStringList{"S-001 numbered", "S-002 numbered", "S-003 numbered"};
        QTest::newRow("typed before numbered")
            << QStringList{"pattern S-{n:03}", "type X", "take", "take"} << QStringList{"X typed", "S-001 numbered"};
        QTest::newRow("a refused pattern keeps the one before")
            << QStringList{"pattern S-{n}", "pattern {x}", "take"} << QStringList{"S-1 numbered"};
        QTest::newRow("numbering off") << QStringList{"pattern S-{n}", "pattern ", "take"} << QStringList{" none"};
        QTest::newRow("numbered from a kept number")
            << QStringList{"pattern {n:04}", "number 41", "take"} << QStringList{"0041 numbered"};
        QTest::newRow("the worklist first, then the rest")
            << QStringList{"series day", "pattern S-{n}", "type X", "worklist W1,W2", "peek", "take", "take", "take", "take"}
            << QStringList{"W1 worklist 1.5 [list]", "W1 worklist 1.5 [list]", "W2 worklist 1.5 [list]",
                           "X typed [day]", "S-1 numbered [day]"};
    }

    void nextSample()
    {
        QFETCH(QStringList, steps);
        SampleIds ids;
        std::unique_ptr<ListSource> list;
        QStringList taken;
        for (const QString &step : steps) {
            const QString argument = step.section(' ', 1);
            if (step.startsWith("type "))
                ids.setTyped(argument);
            else if (step.startsWith("scan "))
                ids.scanned(argument.toUtf8());
            else if (step.startsWith("pattern "))
                ids.setPattern(argument, nullptr);
            else if (step.startsWith("number "))
                ids.setNextNumber(argument.toLongLong());
            else if (step.startsWith("series "))
                ids.setSeries(argument);
            else if (step.startsWith("worklist ")) {
                list = std::make_unique<ListSource>(argument.split(','));
                ids.setWorklist(list.get());
            } else
                taken << sampleText(step == "peek" ? ids.peek() : ids.take());
        }
        QTEST(taken, "samples");
    }

    void folderMissing()
    {
        WorklistFolder worklists = folder();
        QCOMPARE(worklists.poll(), QStringList());
        QVERIFY(!QFileInfo::exists(m_dir->filePath("worklists")));
        QVERIFY(!worklists.peekSample());
        // Made later: found then.
        QVERIFY(QDir(m_dir->path()).mkdir("worklists"));
        drop("A\n");
        QCOMPARE(settle(worklists), QStringList());
        QVERIFY(worklists.inUse());
    }

    void dropAndConsume()
    {
        WorklistFolder worklists = folder();
        SampleIds ids;
        ids.setTyped("typed");
        ids.setWorklist(&worklists);
        const QByteArray content = "Sample;Nominal\r\nS-1;10,0\r\nS-2;20,0";
        drop(content);
        drop("S-9\n", "b2");  // another instrument's
        QCOMPARE(worklists.poll(), QStringList());
        QVERIFY2(!worklists.inUse(), "taken while it may still be written");
        QCOMPARE(sampleText(ids.peek()), QStringLiteral("typed typed"));
        QCOMPARE(worklists.poll(), QStringList());
        QVERIFY(worklists.inUse());
        const QString series = "b1.csv 2026-12-09T10:00:00Z";
        QCOMPARE(worklists.series(), series);
        QCOMPARE(files(), (QStringList{"b1.csv.inuse", "b1.csv.taken", "b2.csv"}));
        QCOMPARE(sampleText(ids.peek()), "S-1 worklist 10 [" + series + "]");
        QCOMPARE(sampleText(ids.take()), "S-1 worklist 10 [" + series + "]");
        QCOMPARE(worklists.taken(), 1);
        m_now = m_now.addSecs(12 * 60);
        QCOMPARE(sampleText(ids.take()), "S-2 worklist 20 [" + series + "]");
        QVERIFY(!worklists.inUse());
        QCOMPARE(files(), (QStringList{"b1.csv.done", "b2.csv"}));
        QCOMPARE(readFile(inFolder("b1.csv.done")),
                 content + "\n# completed 2026-12-09T10:12:00Z, 2 samples, series " + series.toUtf8() + "\n");
        QCOMPARE(entriesText(Worklist::parse(readFile(inFolder("b1.csv.done")))), QStringLiteral("S-1=10.0|S-2=20.0"));
        QCOMPARE(sampleText(ids.take()), QStringLiteral("typed typed"));
        QCOMPARE(worklists.poll(), QStringList());
    }

    void queue()
    {
        QVERIFY(writeFile(inFolder("b1.csv.done"), "old\n"));
        WorklistFolder worklists = folder();
        drop("A1\nA2\n");
        settle(worklists);
        drop("B1\n");
        settle(worklists);
        m_now = m_now.addSecs(60);
        drop("C1\n");
        settle(worklists);
        QCOMPARE(worklists.queued(), 2);
        QCOMPARE(files(), (QStringList{"b1.csv.0001.queued", "b1.csv.0002.queued", "b1.csv.done", "b1.csv.inuse",
                                       "b1.csv.taken"}));
        QCOMPARE(take(worklists), QStringLiteral("A1 worklist [b1.csv 2026-12-09T10:00:00Z]"));
        QCOMPARE(take(worklists), QStringLiteral("A2 worklist [b1.csv 2026-12-09T10:00:00Z]"));
        // The next one in drop order is in use at once.
        QCOMPARE(sampleText(*worklists.peekSample()), QStringLiteral("B1 worklist [b1.csv 2026-12-09T10:01:00Z]"));
        m_now = m_now.addSecs(60);
        QCOMPARE(take(worklists), QStringLiteral("B1 worklist [b1.csv 2026-12-09T10:01:00Z]"));
        QCOMPARE(take(worklists), QStringLiteral("C1 worklist [b1.csv 2026-12-09T10:02:00Z]"));
        QCOMPARE(take(worklists), QStringLiteral("nothing"));
        QCOMPARE(files(), (QStringList{"b1.csv.2.done", "b1.csv.3.done", "b1.csv.4.done", "b1.csv.done"}));
        QCOMPARE(readFile(inFolder("b1.csv.done")), QByteArray("old\n"));
        QVERIFY(readFile(inFolder("b1.csv.3.done")).startsWith("B1\n# completed 2026-12-09T10:02:00Z, 1 sample,"));
    }

    // A dropped file still growing is taken once it stays the same.
    void stillBeingWritten()
    {
        WorklistFolder worklists = folder();
        drop("A1\n");
        worklists.poll();
        drop("A1\nA2\nA3\n");
        worklists.poll();
        QVERIFY(!worklists.inUse());
        worklists.poll();
        QCOMPARE(worklists.size(), 3);
    }

    void refused()
    {
        WorklistFolder worklists = folder();
        drop("A\n;1\nB;x\n");
        QCOMPARE(settle(worklists),
                 QStringList{"worklist b1.csv not used: line 2: no sample ID; line 3: \"x\" is not a nominal value; "
                             "it was moved aside as b1.csv.refused"});
        QCOMPARE(worklists.poll(), QStringList());
        QVERIFY(!worklists.inUse());
        drop("");
        QCOMPARE(settle(worklists),
                 QStringList{"worklist b1.csv not used: no samples; it was moved aside as b1.csv.2.refused"});
        drop("C\n");
        QCOMPARE(settle(worklists), QStringList());
        QCOMPARE(take(worklists), QStringLiteral("C worklist [b1.csv 2026-12-09T10:00:00Z]"));
        QVERIFY(QDir(m_dir->filePath("worklists")).mkdir("b1.csv"));
        QCOMPARE(settle(worklists), QStringList{"worklist b1.csv is not a file"});
        QCOMPARE(settle(worklists), QStringList());
    }

    // Run as a user the file's mode keeps out (root reads any file).
    void unreadable()
    {
        if (::geteuid() == 0)
            QSKIP("root reads a file of any mode");
        WorklistFolder worklists = folder();
        drop("A\n");
        QVERIFY(QFile::setPermissions(inFolder("b1.csv"), QFileDevice::WriteOwner));
        const QStringList told = settle(worklists);
        QCOMPARE(told.size(), 1);
        QVERIFY2(told.first().startsWith("worklist: cannot read " + inFolder("b1.csv")), qPrintable(told.first()));
        QCOMPARE(settle(worklists), QStringList());
        QVERIFY(QFile::setPermissions(inFolder("b1.csv"), QFileDevice::WriteOwner | QFileDevice::ReadOwner));
        drop("A\nB\n");
        settle(worklists);
        QCOMPARE(worklists.size(), 2);
    }

    // A restart goes on where the one before stopped.
    void restart()
    {
        {
            WorklistFolder before = folder();
            drop("A\nB\nC\nD\n");
            settle(before);
            QCOMPARE(take(before), QStringLiteral("A worklist [b1.csv 2026-12-09T10:00:00Z]"));
            QCOMPARE(take(before), QStringLiteral("B worklist [b1.csv 2026-12-09T10:00:00Z]"));
        }
        m_now = m_now.addSecs(3600);
        WorklistFolder after = folder();
        QVERIFY(!after.peekSample());
        QCOMPARE(after.poll(), QStringList());
        QCOMPARE(after.taken(), 2);
        QCOMPARE(take(after), QStringLiteral("C worklist [b1.csv 2026-12-09T10:00:00Z]"));
        QCOMPARE(take(after), QStringLiteral("D worklist [b1.csv 2026-12-09T10:00:00Z]"));
        QCOMPARE(files(), QStringList{"b1.csv.done"});
    }

    void recovered_data()
    {
        // The files a crash left: b1.csv.inuse holds A B C D.
        QTest::addColumn<QByteArray>("progress");  // "-" for no progress file
        QTest::addColumn<QByteArray>("inUseEnd");  // appended to the in-use file
        QTest::addColumn<QStringList>("told");
        QTest::addColumn<QString>("next");
        QTest::addColumn<QStringList>("files");
        const QStringList inUse{"b1.csv.inuse", "b1.csv.taken"};
        QTest::newRow("two given") << QByteArray("series X\n1 A\n2 B\n") << QByteArray() << QStringList()
                                   << "C worklist [X]" << inUse;
        QTest::newRow("a line cut short was not given")
            << QByteArray("series X\n1 A\n2 B") << QByteArray() << QStringList() << "B worklist [X]" << inUse;
        QTest::newRow("no progress: nothing given")
            << QByteArray("-") << QByteArray() << QStringList() << "A worklist [b1.csv 2026-12-09T10:00:00Z]" << inUse;
        QTest::newRow("the series line cut short")
            << QByteArray("seri") << QByteArray() << QStringList() << "A worklist [b1.csv 2026-12-09T10:00:00Z]"
            << inUse;
        QTest::newRow("all given, not yet marked")
            << QByteArray("series X\n1 A\n2 B\n3 C\n4 D\n") << QByteArray() << QStringList() << "nothing"
            << QStringList{"b1.csv.done"};
        QTest::newRow("marked, not yet renamed")
            << QByteArray("series X\n1 A\n2 B\n3 C\n4 D\n") << QByteArray("# completed 2026-12-09T09:00:00Z, 4 samples, series X\n")
            << QStringList() << "nothing" << QStringList{"b1.csv.done"};
        QTest::newRow("progress of another list")
            << QByteArray("series X\n1 A\n2 Z\n") << QByteArray() << QStringList{
                "worklist b1.csv.inuse not used: its progress (b1.csv.taken) does not match its line 2; it was moved "
                "aside as b1.csv.refused"}
            << "nothing" << QStringList{"b1.csv.refused", "b1.csv.taken.refused"};
        QTest::newRow("only progress left: completed")
            << QByteArray("series X\n1 A\n") << QByteArray("none") << QStringList() << "nothing" << QStringList();
    }

    void recovered()
    {
        QFETCH(QByteArray, progress);
        QFETCH(QByteArray, inUseEnd);
        QFETCH(QString, next);
        QFETCH(QStringList, files);
        if (inUseEnd != "none")
            QVERIFY(writeFile(inFolder("b1.csv.inuse"), "A\nB\nC\nD\n" + inUseEnd));
        if (progress != "-")
            QVERIFY(writeFile(inFolder("b1.csv.taken"), progress));
        WorklistFolder worklists = folder();
        QTEST(worklists.poll(), "told");
        QCOMPARE(this->files(), files);
        QCOMPARE(take(worklists), next);
        if (files.contains("b1.csv.done"))
            QCOMPARE(readFile(inFolder("b1.csv.done")).count("# completed"), 1);
        // What was given is on disk with the sample taken now.
        if (next == "B worklist [X]")
            QCOMPARE(readFile(inFolder("b1.csv.taken")), QByteArray("series X\n1 A\n2 B\n"));
    }

    // The progress that cannot be kept is told once; the samples are still given.
    void progressNotKept()
    {
        WorklistFolder worklists = folder();
        drop("A\nB\nC\n");
        settle(worklists);
        QVERIFY(QFile::remove(inFolder("b1.csv.taken")));
        QVERIFY(QDir(m_dir->filePath("worklists")).mkdir("b1.csv.taken"));
        const QString first = take(worklists);
        QVERIFY2(first.startsWith("error: cannot keep the progress in " + inFolder("b1.csv.taken")), qPrintable(first));
        QVERIFY2(first.endsWith("; after a restart its samples may be given again"), qPrintable(first));
        QCOMPARE(worklists.taken(), 1);
        QCOMPARE(take(worklists), QStringLiteral("B worklist [b1.csv 2026-12-09T10:00:00Z]"));
    }
};

QTEST_GUILESS_MAIN(TestWorklist)
#include "tst_worklist.moc"
