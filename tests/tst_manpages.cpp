// The installed manual pages against the program: settings.ini(5) names
// every key and every choice the settings code knows, each page refers to
// the others, the hand-written pages are clean roff, help2man's include files
// hold only sections, and every usage line of a program's --help reaches
// SYNOPSIS.
#include "collect/instrumentconfig.h"
#include "support/inifile.h"
#include "tempworkdir.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include <algorithm>

namespace Config = Veltrano::Config;

namespace {

QString distFile(const QString &name)
{
    return qEnvironmentVariable("VELTRANO_SOURCE_DIR") + QLatin1String("/dist/") + name;
}

QStringList lines(const QString &name)
{
    QFile file(distFile(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
}

// A roff line as it reads: without font changes, quotes, \- and \e.
QString plain(QString line)
{
    line.remove(QRegularExpression(QStringLiteral("\\\\f[BIRP]")));
    line.replace(QLatin1String("\\-"), QLatin1String("-")).replace(QLatin1String("\\e"), QLatin1String("\\"));
    line.remove(QLatin1Char('"'));
    return line;
}

// The tag line of a key's entry: ".B key", ".BR key ...", ".BI key ...".
bool isEntryOf(const QString &line, const QString &key)
{
    return QRegularExpression(QStringLiteral("^\\.B[IR]? %1( |$)").arg(QRegularExpression::escape(key)))
        .match(line)
        .hasMatch();
}

// Whether line `i` of `page` is a tag of the entry of `key`.
bool isTagOf(const QStringList &page, int i, const QString &key)
{
    return i > 0 && (page.at(i - 1) == QLatin1String(".TP") || page.at(i - 1) == QLatin1String(".TQ"))
           && isEntryOf(page.at(i), key);
}

// The entry of `key` in settings.ini(5): its tag line and its text, up to the
// tag of another key of `keys`, or the next heading.
QString entry(const QString &key, const QStringList &keys)
{
    const QStringList page = lines(QStringLiteral("settings.ini.5"));
    QString text;
    bool inside = false;
    for (int i = 1; i < page.size(); ++i) {
        if (isTagOf(page, i, key)) {
            inside = true;
        } else if (inside && (page.at(i).startsWith(QLatin1String(".SH")) || page.at(i).startsWith(QLatin1String(".SS"))
                              || std::any_of(keys.cbegin(), keys.cend(), [&](const QString &other) {
                                     return other != key && isTagOf(page, i, other);
                                 }))) {
            inside = false;
        }
        if (inside)
            text += plain(page.at(i)) + QLatin1Char('\n');
    }
    return text;
}

QStringList instrumentKeys()
{
    QStringList keys;
    for (const char *key : Config::kKeys)
        keys << QLatin1String(key);
    keys << QLatin1String(Config::Key::dataBits);
    return keys;
}

const QStringList kWeighingKeys = QStringLiteral("record stableCount afterZero zeroBand scannerFor nominal warning "
                                                 "tolerance minimumWeight minimumWeightFactor")
                                      .split(QLatin1Char(' '));

// The section a page's SEE ALSO holds: for help2man's include files the
// lines after [SEE ALSO], for the pages the lines after .SH "SEE ALSO".
QString seeAlsoSection(const QString &name)
{
    QString text;
    bool inside = false;
    for (const QString &line : lines(name)) {
        if (line.startsWith(QLatin1String(".SH")) || line.startsWith(QLatin1Char('[')))
            inside = line.contains(QLatin1String("SEE ALSO"));
        else if (inside)
            text += plain(line) + QLatin1Char('\n');
    }
    return text;
}

const QStringList kPages = QStringLiteral("veltrano.1 veltrano-collect.h2m veltrano-export.h2m veltrano-verify.h2m "
                                         "veltrano-report.h2m veltrano-check.h2m veltrano-balance-sim.h2m settings.ini.5")
                              .split(QLatin1Char(' '));

// "veltrano-collect.h2m" -> "veltrano-collect (1)", "settings.ini.5" -> "settings.ini (5)".
QString reference(const QString &page)
{
    if (page.endsWith(QLatin1String(".h2m")))
        return page.chopped(4) + QLatin1String(" (1)");
    return page.chopped(2) + QLatin1String(" (") + page.right(1) + QLatin1Char(')');
}

// Runs `program` with `arguments`, its standard output.
QByteArray run(const QString &program, const QStringList &arguments, QByteArray *errors = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(30000))
        return {};
    if (errors)
        *errors = process.readAllStandardError();
    return process.readAllStandardOutput();
}

} // namespace

class TestManPages : public QObject
{
    Q_OBJECT
    std::unique_ptr<TempWorkDir> m_dir;

private slots:
    void init() { m_dir = std::make_unique<TempWorkDir>(); }
    void cleanup() { m_dir.reset(); }

    void settingsChoices_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");  // empty: only the key's entry
        for (const QString &key : instrumentKeys())
            QTest::addRow("%s", qPrintable(key)) << key << QString();
        auto choices = [](const char *key, const auto &table) {
            for (const Config::Choice &choice : table)
                QTest::addRow("%s=%s", key, choice.value) << QString::fromLatin1(key) << QString::fromLatin1(choice.value);
        };
        for (const Veltrano::Makers::Type &type : Veltrano::Makers::kTypes)
            QTest::addRow("type=%s", type.value) << QString::fromLatin1(Config::Key::type) << QString::fromLatin1(type.value);
        choices(Config::Key::transmissionRate, Config::kTransmissionRates);
        choices(Config::Key::parity, Config::kParities);
        choices(Config::Key::stopBits, Config::kStopBits);
        choices(Config::Key::dataBits, Config::kDataBits);
        choices(Config::Key::dataOutputFormat, Config::kDataOutputFormats);
        for (const QString &key : kWeighingKeys)
            QTest::addRow("%s", qPrintable(key)) << key << QString();
        for (const char *choice : {"active=true", "active=false", "comPort=ttyUSB0", "comPort=/dev/ttyUSB0",
                                   "comPort=/dev/serial/by-id/", "comPort=./NAME", "comPort=tcp://HOST:PORT[?idle=SECONDS]",
                                   "record=interval", "record=print", "record=stable", "tolerance=%"})
            QTest::newRow(choice) << QString(choice).section('=', 0, 0) << QString(choice).section('=', 1);
    }

    // Every key has an entry of its own in settings.ini(5) that names each
    // value the program takes for it.
    void settingsChoices()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        const QString text = entry(key, instrumentKeys() + kWeighingKeys);
        QVERIFY2(!text.isEmpty(), qPrintable(key + QLatin1String(" has no entry")));
        if (!value.isEmpty())
            QVERIFY2(text.contains(QRegularExpression(QStringLiteral("(^|[\\s|,(=])%1").arg(QRegularExpression::escape(value)))),
                     qPrintable(QStringLiteral("%1 does not name %2:\n%3").arg(key, value, text)));
    }

    void pages_data()
    {
        QTest::addColumn<QString>("page");
        for (const QString &page : kPages)
            QTest::addRow("%s", qPrintable(page)) << page;
    }

    // Each page's SEE ALSO leads to every other page of the package. help2man
    // takes every include line that starts with "[" for a section name, so a
    // stray one ("[--dir DIR]" at the start of a line) would make a section;
    // groff with all warnings on reads the hand-written pages without one.
    void pages()
    {
        QFETCH(QString, page);
        const QString section = seeAlsoSection(page);
        for (const QString &other : kPages)
            QVERIFY2(section.contains(reference(other)) == (other != page), qPrintable(other + QLatin1String(":\n") + section));
        if (page.endsWith(QLatin1String(".h2m"))) {
            for (const QString &line : lines(page))
                if (line.startsWith(QLatin1Char('[')))
                    QVERIFY2(QRegularExpression(QStringLiteral("^\\[[<=>]?[A-Z][A-Z ]*\\]$")).match(line).hasMatch(),
                             qPrintable(line));
            return;
        }
        const QString groff = QStandardPaths::findExecutable(QStringLiteral("groff"));
        if (groff.isEmpty())
            QSKIP("groff is not installed");
        QByteArray errors;
        run(groff, {QStringLiteral("-man"), QStringLiteral("-ww"), QStringLiteral("-z"), QStringLiteral("-rLL=78n"),
                    distFile(page)},
            &errors);
        QCOMPARE(QString::fromUtf8(errors), QString());
    }

    void usageLines_data()
    {
        QTest::addColumn<QByteArray>("help");
        QTest::addColumn<QByteArray>("handed");  // what help2man gets
        QTest::newRow("two usage lines")
            << QByteArray("Usage: prog [--dir DIR]\n       prog --status [DIR]\n\nRecords.\n")
            << QByteArray("Usage: prog [--dir DIR]\n  or: prog --status [DIR]\n\nRecords.\n");
        QTest::newRow("text right after the usage")
            << QByteArray("Usage: /build/src/prog [options] OUTPUT\nExports the rows.\n\nOptions:\n  -h, --help  help\n")
            << QByteArray("Usage: /build/src/prog [options] OUTPUT\nExports the rows.\n\nOptions:\n  -h, --help  help\n");
        QTest::newRow("another program's name")
            << QByteArray("Usage: prog\n       program --status\n")
            << QByteArray("Usage: prog\n       program --status\n");
    }

    // dist/help2man-usage.sh hands help2man each further usage line in the
    // one form it takes into SYNOPSIS, and nothing else changed.
    void usageLines()
    {
        QFETCH(QByteArray, help);
        QFETCH(QByteArray, handed);
        QVERIFY(writeFile(QStringLiteral("help"), help));
        QVERIFY(writeFile(QStringLiteral("prog"), "#!/bin/sh\ncat \"$(dirname \"$0\")/help\"\n"));
        QVERIFY(QFile::setPermissions(QStringLiteral("prog"), QFile::ReadOwner | QFile::ExeOwner));
        QCOMPARE(run(QStringLiteral("sh"), {distFile(QStringLiteral("help2man-usage.sh")), m_dir->filePath(QStringLiteral("prog")),
                                             QStringLiteral("--help")}),
                 handed);
    }

    // veltrano-collect's own --help: its second usage line reaches SYNOPSIS.
    void collectorUsage()
    {
        const QByteArray handed =
            run(QStringLiteral("sh"), {distFile(QStringLiteral("help2man-usage.sh")), QStringLiteral(VELTRANO_COLLECT),
                                       QStringLiteral("--help")});
        QVERIFY2(handed.contains("\n  or: veltrano-collect --status"), handed.constData());
    }

    void quoting_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("name");
        QTest::newRow("comma, unquoted: a list, read as empty") << QByteArray("name=Balance 3, room 12") << QString();
        QTest::newRow("comma, quoted") << QByteArray("name=\"Balance 3, room 12\"") << "Balance 3, room 12";
        QTest::newRow("semicolon, unquoted: a comment") << QByteArray("name=Balance 3; room 12") << "Balance 3";
        QTest::newRow("blanks around =") << QByteArray("name = Balance 3") << "Balance 3";
    }

    // What settings.ini(5) says of commas, semicolons and blanks holds.
    void quoting()
    {
        QFETCH(QByteArray, line);
        QVERIFY(writeFile(QStringLiteral("settings.ini"), "[b1]\n" + line + "\n"));
        const std::unique_ptr<QSettings> settings = Veltrano::IniFile::open(QStringLiteral("settings.ini"));
        QTEST(Config::readText(*settings, QStringLiteral("b1"), Config::Key::name), "name");
    }
};

QTEST_GUILESS_MAIN(TestManPages)
#include "tst_manpages.moc"
