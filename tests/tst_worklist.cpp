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

QString sampleText(const NextSample &sample)
{
    static const char *sources[] = {"none", "worklist", "typed", "numbered"};
    QString text = sample.sampleId + ' ' + sources[int(sample.source)];
    if (sample.nominal)
        text += ' ' + QString::number(*sample.nominal);
    if (!sample.series.isEmpty())
        text += " [" + sample.series + ']';
    return text;
}

} // namespace

class TestWorklist : public QObject
{
    Q_OBJECT
    std::unique_ptr<TempWorkDir> m_dir;
    QDateTime m_now;

    WorklistFolder folder() { return WorklistFolder(m_dir->path(), "b1", [this] { return m_now; }); }
    QString inFolder(const QString &name) const { return m_dir->filePath(QStringLiteral("worklists/") + name); }
    QStringList files() const { return QDir(m_dir->filePath("worklists")).entryList(QDir::Files, QDir::Name); }
    void drop(const QByteArray &content, const QString &id = "b1") { QVERIFY(writeFile(inFolder(id + ".csv"), content)); }
    // Drops `dropped` as b1's list if given, then two polls: the first sees
    // a dropped file, the second takes it.
    QStringList settle(WorklistFolder &worklists, const std::optional<QByteArray> &dropped = {})
    {
        if (dropped && !writeFile(inFolder("b1.csv"), *dropped))
            return {"cannot write " + inFolder("b1.csv")};
        const QStringList told = worklists.poll();
        return told + worklists.poll();
    }
    // The next `count` samples taken, '|' between them.
    QString take(WorklistFolder &worklists, int count = 1)
    {
        QStringList taken;
        for (QString error; count-- > 0; error.clear()) {
            const std::optional<NextSample> sample = worklists.takeSample(&error);
            taken << (!error.isEmpty() ? "error: " + error : sample ? sampleText(*sample) : QStringLiteral("nothing"));
        }
        return taken.join('|');
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
        QCOMPARE(list.problem().isEmpty(), list.isUsable());
    }

    void problem()
    {
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
        const auto refused = [](const char *name, const QString &pattern, const QString &why) {
            QTest::newRow(name) << pattern << qint64(1) << QString("numbering pattern \"%1\": %2").arg(pattern, why);
        };
        refused("no number", "S-", "there is no {n} for the number");
        refused("another placeholder", "S-{x}", "{x} is not {n}, {n:W} or {n:0W}");
        refused("not closed", "S-{n", "a \"{\" without its \"}\" (write \"{{\" for one)");
        refused("not opened", "S-n}", "a \"}\" without its \"{\" (write \"}}\" for one)");
        refused("width 0", "{n:0}", "{n:0}: the width is a number from 1 to 18");
        refused("width too large", "{n:19}", "{n:19}: the width is a number from 1 to 18");
        refused("width not a number", "{n:+2}", "{n:+2}: the width is a number from 1 to 18");
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
        // "number N", "series S", "worklist F" (F dropped as the list), "peek",
        // "take"; the last two give what the weighing would take.
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("samples");
        const auto row = [](const char *name, const QString &steps, const QString &samples) {
            QTest::newRow(name) << steps.split('|') << samples.split('|');
        };
        row("nothing: an empty ID", "peek|take", " none| none");
        row("typed, taken once", "type A|peek|take|take", "A typed|A typed| none");
        row("typed again replaces", "type A|type  B |take", "B typed");
        row("typed empty withdraws", "type A|type |take", " none");
        row("scanned: trimmed, empty lines ignored", "type A|scan \r\n|peek|scan \x02 B7 \x03\r\n|take",
            "A typed|B7 typed");
        row("numbered", "pattern S-{n:03}|take|take|peek", "S-001 numbered|S-002 numbered|S-003 numbered");
        row("typed before numbered", "pattern S-{n:03}|type X|take|take", "X typed|S-001 numbered");
        row("a refused pattern keeps the one before", "pattern S-{n}|pattern {x}|take", "S-1 numbered");
        row("numbering off", "pattern S-{n}|pattern |take", " none");
        row("numbered from a kept number", "pattern {n:04}|number 41|take", "0041 numbered");
        row("the worklist first, then the rest",
            "series day|pattern S-{n}|type X|worklist W1;1.5\nW2;1.5\n|peek|take|take|take|take",
            "W1 worklist 1.5 [b1.csv 2026-12-09T10:00:00Z]|W1 worklist 1.5 [b1.csv 2026-12-09T10:00:00Z]|"
            "W2 worklist 1.5 [b1.csv 2026-12-09T10:00:00Z]|X typed [day]|S-1 numbered [day]");
    }

    void nextSample()
    {
        QFETCH(QStringList, steps);
        SampleIds ids;
        std::optional<WorklistFolder> list;
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
                list.emplace(m_dir->path(), "b1", [this] { return m_now; });
                settle(*list, argument.toUtf8());
                ids.setWorklist(&*list);
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
        QCOMPARE(settle(worklists, "A\n"), QStringList());
        QVERIFY(worklists.inUse());
    }

    void dropAndConsume()
    {
        WorklistFolder worklists = folder();
        SampleIds ids;
        ids.setTyped("typed");
        ids.setWorklist(&worklists);
        const QByteArray content = "Sample;Nominal\r\nS-1;10,0\r\nS-2;20,0";
        drop(content.left(20));
        QCOMPARE(worklists.poll(), QStringList());
        drop(content);  // still growing
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
        settle(worklists, "A1\nA2\n");
        settle(worklists, "B1\n");
        m_now = m_now.addSecs(60);
        settle(worklists, "C1\n");
        QCOMPARE(worklists.queued(), 2);
        QCOMPARE(files(), (QStringList{"b1.csv.0001.queued", "b1.csv.0002.queued", "b1.csv.done", "b1.csv.inuse",
                                       "b1.csv.taken"}));
        QCOMPARE(take(worklists, 2), "A1 worklist [b1.csv 2026-12-09T10:00:00Z]|A2 worklist [b1.csv 2026-12-09T10:00:00Z]");
        // The next one in drop order is in use at once.
        QCOMPARE(sampleText(*worklists.peekSample()), QStringLiteral("B1 worklist [b1.csv 2026-12-09T10:01:00Z]"));
        m_now = m_now.addSecs(60);
        QCOMPARE(take(worklists, 3),
                 "B1 worklist [b1.csv 2026-12-09T10:01:00Z]|C1 worklist [b1.csv 2026-12-09T10:02:00Z]|nothing");
        QCOMPARE(files(), (QStringList{"b1.csv.2.done", "b1.csv.3.done", "b1.csv.4.done", "b1.csv.done"}));
        QCOMPARE(readFile(inFolder("b1.csv.done")), QByteArray("old\n"));
        QVERIFY(readFile(inFolder("b1.csv.3.done")).startsWith("B1\n# completed 2026-12-09T10:02:00Z, 1 sample,"));
    }

    void refused()
    {
        WorklistFolder worklists = folder();
        QCOMPARE(settle(worklists, "A\n;1\nB;x\n"),
                 QStringList{"worklist b1.csv not used: line 2: no sample ID; line 3: \"x\" is not a nominal value; "
                             "it was moved aside as b1.csv.refused"});
        QCOMPARE(worklists.poll(), QStringList());
        QVERIFY(!worklists.inUse());
        QCOMPARE(settle(worklists, ""),
                 QStringList{"worklist b1.csv not used: no samples; it was moved aside as b1.csv.2.refused"});
        QCOMPARE(settle(worklists, "C\n"), QStringList());
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
        settle(worklists, "A\nB\n");
        QCOMPARE(worklists.size(), 2);
    }

    // A restart goes on where the one before stopped.
    void restart()
    {
        {
            WorklistFolder before = folder();
            settle(before, "A\nB\nC\nD\n");
            QCOMPARE(take(before, 2), "A worklist [b1.csv 2026-12-09T10:00:00Z]|B worklist [b1.csv 2026-12-09T10:00:00Z]");
        }
        m_now = m_now.addSecs(3600);
        WorklistFolder after = folder();
        QVERIFY(!after.peekSample());
        QCOMPARE(after.poll(), QStringList());
        QCOMPARE(after.taken(), 2);
        QCOMPARE(take(after, 2), "C worklist [b1.csv 2026-12-09T10:00:00Z]|D worklist [b1.csv 2026-12-09T10:00:00Z]");
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
        const auto row = [](const char *name, const QByteArray &progress, const QString &next,
                            const QStringList &files = {"b1.csv.inuse", "b1.csv.taken"},
                            const QByteArray &inUseEnd = {}, const QStringList &told = {}) {
            QTest::newRow(name) << progress << inUseEnd << told << next << files;
        };
        const QString first = "A worklist [b1.csv 2026-12-09T10:00:00Z]";
        const QByteArray all = "series X\n1 A\n2 B\n3 C\n4 D\n";
        row("two given", "series X\n1 A\n2 B\n", "C worklist [X]");
        row("a line cut short was not given", "series X\n1 A\n2 B", "B worklist [X]");
        row("no progress: nothing given", "-", first);
        row("the series line cut short", "seri", first);
        row("all given, not yet marked", all, "nothing", {"b1.csv.done"});
        row("marked, not yet renamed", all, "nothing", {"b1.csv.done"},
            "# completed 2026-12-09T09:00:00Z, 4 samples, series X\n");
        row("progress of another list", "series X\n1 A\n2 Z\n", "nothing", {"b1.csv.refused", "b1.csv.taken.refused"}, {},
            {"worklist b1.csv.inuse not used: its progress (b1.csv.taken) does not match its line 2; it was moved "
             "aside as b1.csv.refused"});
        row("only progress left: completed", "series X\n1 A\n", "nothing", {}, "none");
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
        settle(worklists, "A\nB\nC\n");
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
