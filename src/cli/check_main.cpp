// veltrano-check: the registers of balances and reference weights, the
// status of their routine tests, and a test made on the weighings a
// collector stores meanwhile.
#include "checks/checkregister.h"
#include "checks/checkrun.h"
#include "checks/checkrunner.h"
#include "checks/checkstatus.h"
#include "store/database.h"
#include "store/databaseconfig.h"
#include "store/rowsource.h"
#include "support/commandline.h"
#include "support/osuser.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QLocale>
#include <QLoggingCategory>
#include <QSqlDatabase>

#include <cmath>
#include <cstdio>
#include <functional>

using namespace Veltrano;
using namespace Veltrano::Checks;
using namespace Veltrano::CommandLine;

namespace {

constexpr char kProgram[] = "veltrano-check";
constexpr char kReader[] = "check";
constexpr char kWriter[] = "check-write";
// Exit status of a test that failed, or of a status with a balance overdue or failed.
constexpr int kFailedStatus = 1;
// A test that was not made: refused, timed out, or the database in the way.
constexpr int kNotMadeStatus = 2;
constexpr int kDefaultTimeoutSeconds = 300;

const char kHelp[] =
    "Usage: veltrano-check [--database FILE|URI] balance ID [--maker M] [--model M] [--serial S] [--capacity C] "
    "[--readability D] [--location L] [--every TEST=INTERVAL,...] [--eccentricity-limit X]\n"
    "       veltrano-check [--database FILE|URI] balance list\n"
    "       veltrano-check [--database FILE|URI] weight add ID --nominal N --unit U --class C [--certificate C] "
    "--due YYYY-MM-DD\n"
    "       veltrano-check [--database FILE|URI] weight list\n"
    "       veltrano-check [--database FILE|URI] status\n"
    "       veltrano-check [--database FILE|URI] run ID TEST --weight W [--replicates N] [--timeout S] "
    "[--operator NAME]\n"
    "\n"
    "Keeps the registers of the balances and reference weights in the database and\n"
    "tells whether each balance's routine tests (repeatability, accuracy,\n"
    "eccentricity, after USP <41> and <1251>) are current; makes a test on the\n"
    "weighings that the collector stores meanwhile.\n"
    "\n"
    "  balance ID      registers the instrument ID (its section in settings.ini), or\n"
    "                  changes the options given (the others keep their values)\n"
    "  balance list    the registered balances, tab-separated\n"
    "  weight add ID   registers a reference weight, or changes the options given\n"
    "  weight list     the registered weights, tab-separated\n"
    "  status          one line per balance: its status and each test's\n"
    "  run ID TEST     makes TEST (repeatability, accuracy or eccentricity) on\n"
    "                  balance ID: says what to put on the pan, takes the\n"
    "                  balance's next weighings as the collector stores them,\n"
    "                  prints the figures and the verdict and keeps the record\n"
    "\n"
    "Intervals: a number and h (hours) or d (days) per test, such as\n"
    "repeatability=7d,accuracy=1d.\n"
    "\n"
    "Exit status: 0 done, the test passed, or no balance overdue or failed; 1 the\n"
    "test failed, or a balance is overdue or failed; 2 wrong usage, a test refused\n"
    "or not completed in time, or the database cannot be read or written.\n"
    "\n";

void printError(const QString &text)
{
    std::fprintf(stderr, "%s: %s\n", kProgram, text.toLocal8Bit().constData());
}

void printLine(const QString &text)
{
    std::printf("%s\n", text.toLocal8Bit().constData());
    std::fflush(stdout);
}

struct CheckCommand
{
    enum Kind { SaveBalance, ListBalances, AddWeight, ListWeights, Status, RunTest } kind = Status;
    QString database;  // empty: database.ini's, else sqlite.db
    QString id;
    Check test = Check::Repeatability;
    QString weightId;
    int replicates = kRepeatabilityWeighings;
    int timeoutSeconds = kDefaultTimeoutSeconds;
    QString operatorName;
    // What the command line gives of an entry; the rest keeps its value.
    std::function<void(BalanceEntry *)> applyBalance;
    std::function<void(WeightEntry *)> applyWeight;
    QString usage;

    Outcome parse(const QStringList &arguments, QString *error);
};

Outcome CheckCommand::parse(const QStringList &arguments, QString *error)
{
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption databaseOption = DatabaseConfig::commandLineOption(
        QStringLiteral("use"), QStringLiteral("the uri of database.ini, else sqlite.db here"));
    const auto valued = [](const char *name, const char *description, const char *value) {
        return QCommandLineOption(QLatin1String(name), QLatin1String(description), QLatin1String(value));
    };
    // The options of balance.
    const QList<QCommandLineOption> balanceOptions{
        valued("maker", "balance: its maker.", "M"),
        valued("model", "balance: its model.", "M"),
        valued("serial", "balance: its serial number.", "S"),
        valued("capacity", "balance: its capacity (Max), in the unit of its readings.", "C"),
        valued("readability", "balance: its readability d, in the unit of its readings.", "D"),
        valued("location", "balance: where it stands.", "L"),
        valued("every", "balance: how often each test is due: TEST=INTERVAL,... (empty: none).", "INTERVALS"),
        valued("eccentricity-limit", "balance: the largest deviation from the centre an eccentricity test allows.", "X"),
    };
    const QList<QCommandLineOption> weightOptions{
        valued("nominal", "weight add: its nominal value.", "N"),
        valued("unit", "weight add: the unit of the nominal, as the balance prints it (g, mg, kg).", "U"),
        valued("class", "weight add: its OIML class: E1, E2, F1, F2, M1, M2 or M3.", "C"),
        valued("certificate", "weight add: its calibration certificate.", "C"),
        valued("due", "weight add: the last day its calibration holds, YYYY-MM-DD.", "DATE"),
    };
    const QList<QCommandLineOption> runOptions{
        valued("weight", "run: the reference weight used.", "W"),
        valued("replicates", "run: the weighings of a repeatability test (default and least: 10).", "N"),
        valued("timeout", "run: how long to wait for each weighing, in seconds (default: 300).", "S"),
        valued("operator", "run: who makes the test (default: the user logged in).", "NAME"),
    };
    parser.addOption(databaseOption);
    parser.addOptions(balanceOptions + weightOptions + runOptions);
    // The usage lines and the commands by hand, the options as the parser lists them.
    const QString options = parser.helpText();
    usage = QString::fromLatin1(kHelp) + options.mid(options.indexOf(QLatin1String("Options:")));

    auto usageError = [error](const QString &reason) {
        *error = reason;
        return UsageError;
    };
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        return Help;
    if (parser.isSet(QStringLiteral("version")))
        return Version;
    database = parser.isSet(databaseOption) ? parser.value(databaseOption) : DatabaseConfig::chosenUri({});

    const QStringList words = parser.positionalArguments();
    const QString verb = words.value(0);
    const auto shape = [&](std::initializer_list<const char *> form) {
        return QStringLiteral("%1 takes: %2").arg(verb, QStringList(form.begin(), form.end()).join(QLatin1Char(' ')));
    };
    QList<QCommandLineOption> allowed;
    if (verb == QLatin1String("balance") && words.value(1) == QLatin1String("list") && words.size() == 2) {
        kind = ListBalances;
    } else if (verb == QLatin1String("balance")) {
        if (words.size() != 2)
            return usageError(shape({"ID [options]", "or list"}));
        kind = SaveBalance;
        allowed = balanceOptions;
    } else if (verb == QLatin1String("weight") && words.value(1) == QLatin1String("list") && words.size() == 2) {
        kind = ListWeights;
    } else if (verb == QLatin1String("weight")) {
        if (words.size() != 3 || words.at(1) != QLatin1String("add"))
            return usageError(shape({"add ID [options]", "or list"}));
        kind = AddWeight;
        allowed = weightOptions;
    } else if (verb == QLatin1String("status")) {
        if (words.size() != 1)
            return usageError(QStringLiteral("status takes no arguments"));
        kind = Status;
    } else if (verb == QLatin1String("run")) {
        if (words.size() != 3)
            return usageError(shape({"ID TEST --weight W"}));
        kind = RunTest;
        allowed = runOptions;
    } else {
        return usageError(verb.isEmpty() ? QStringLiteral("no command given (balance, weight, status or run)")
                                         : QStringLiteral("unknown command \"%1\" (balance, weight, status or run)").arg(verb));
    }
    id = words.value(kind == AddWeight ? 2 : 1);
    QStringList allowedNames;
    for (const QCommandLineOption &option : qAsConst(allowed))
        allowedNames << option.names();
    for (const QCommandLineOption &option : balanceOptions + weightOptions + runOptions) {
        if (parser.isSet(option) && !allowedNames.contains(option.names().first()))
            return usageError(QStringLiteral("--%1 is not an option of %2").arg(option.names().first(), verb));
    }

    // A number of the command line, in the C locale whatever the user's.
    const auto number = [&parser](const QString &name, std::optional<double> *value, QString *reason) {
        if (!parser.isSet(name))
            return true;
        bool ok = false;
        const double read = QLocale::c().toDouble(parser.value(name).trimmed(), &ok);
        if (!ok || !std::isfinite(read) || read <= 0) {
            *reason = QStringLiteral("--%1: not a number above 0: %2").arg(name, parser.value(name));
            return false;
        }
        *value = read;
        return true;
    };
    if (kind == SaveBalance) {
        BalanceEntry given;
        QString reason;
        for (const auto &[name, value] :
             {std::pair("capacity", &given.capacity), std::pair("readability", &given.readability),
              std::pair("eccentricity-limit", &given.eccentricityLimit)})
            if (!number(QLatin1String(name), value, &reason))
                return usageError(reason);
        if (parser.isSet(QStringLiteral("every"))) {
            reason = parseIntervals(parser.value(QStringLiteral("every")), &given.intervals);
            if (!reason.isEmpty())
                return usageError(QStringLiteral("--every: ") + reason);
        }
        const QStringList texts{QStringLiteral("maker"), QStringLiteral("model"), QStringLiteral("serial"),
                                QStringLiteral("location")};
        QMap<QString, QString> textValues;
        for (const QString &name : texts)
            if (parser.isSet(name))
                textValues.insert(name, parser.value(name));
        const bool every = parser.isSet(QStringLiteral("every"));
        applyBalance = [given, textValues, every](BalanceEntry *entry) {
            for (const auto &[name, field] :
                 {std::pair("maker", &entry->maker), std::pair("model", &entry->model),
                  std::pair("serial", &entry->serial), std::pair("location", &entry->location)})
                if (textValues.contains(QLatin1String(name)))
                    *field = textValues.value(QLatin1String(name));
            for (const auto &[from, to] : {std::pair(&given.capacity, &entry->capacity),
                                           std::pair(&given.readability, &entry->readability),
                                           std::pair(&given.eccentricityLimit, &entry->eccentricityLimit)})
                if (*from)
                    *to = *from;
            if (every)
                entry->intervals = given.intervals;
        };
    } else if (kind == AddWeight) {
        std::optional<double> nominal;
        QString reason;
        if (!number(QStringLiteral("nominal"), &nominal, &reason))
            return usageError(reason);
        QDate due;
        if (parser.isSet(QStringLiteral("due"))) {
            due = QDate::fromString(parser.value(QStringLiteral("due")), Qt::ISODate);
            if (!due.isValid())
                return usageError(QStringLiteral("--due: not a date YYYY-MM-DD: %1").arg(parser.value(QStringLiteral("due"))));
        }
        QMap<QString, QString> textValues;
        for (const QString &name : {QStringLiteral("unit"), QStringLiteral("class"), QStringLiteral("certificate")})
            if (parser.isSet(name))
                textValues.insert(name, parser.value(name));
        applyWeight = [nominal, due, textValues](WeightEntry *entry) {
            if (nominal)
                entry->nominal = *nominal;
            if (due.isValid())
                entry->due = due;
            for (const auto &[name, field] : {std::pair("unit", &entry->unit), std::pair("class", &entry->weightClass),
                                              std::pair("certificate", &entry->certificate)})
                if (textValues.contains(QLatin1String(name)))
                    *field = textValues.value(QLatin1String(name));
        };
    } else if (kind == RunTest) {
        const std::optional<Check> check = checkFromText(words.at(2));
        if (!check)
            return usageError(
                QStringLiteral("unknown test \"%1\" (repeatability, accuracy or eccentricity)").arg(words.at(2)));
        test = *check;
        weightId = parser.value(QStringLiteral("weight"));
        if (weightId.isEmpty())
            return usageError(QStringLiteral("run needs --weight W, the reference weight used"));
        for (const auto &[name, value, least] : {std::tuple("replicates", &replicates, kRepeatabilityWeighings),
                                                 std::tuple("timeout", &timeoutSeconds, 1)}) {
            if (!parser.isSet(QLatin1String(name)))
                continue;
            bool ok = false;
            *value = parser.value(QLatin1String(name)).toInt(&ok);
            if (!ok || *value < least)
                return usageError(QStringLiteral("--%1: not a whole number of at least %2: %3")
                                      .arg(QLatin1String(name))
                                      .arg(least)
                                      .arg(parser.value(QLatin1String(name))));
        }
        if (parser.isSet(QStringLiteral("replicates")) && test != Check::Repeatability)
            return usageError(QStringLiteral("--replicates is for the repeatability test"));
        operatorName = parser.isSet(QStringLiteral("operator")) ? parser.value(QStringLiteral("operator")) : osUserName();
    }
    return Run;
}

// The connection `name` on the command's database; false, told, when it cannot be used.
bool openDatabase(const CheckCommand &command, Database::Mode mode, const char *name)
{
    const Database::Opened opened = Database::open(command.database, mode, QLatin1String(name));
    if (opened.outcome == Database::Opened::Ready || opened.outcome == Database::Opened::Created)
        return true;
    printError(QStringLiteral("cannot open the database %1: %2")
                   .arg(DatabaseConfig::displayName(command.database),
                        opened.error.isEmpty() ? QStringLiteral("the server does not answer") : opened.error));
    return false;
}

QSqlDatabase connection(const char *name) { return QSqlDatabase::database(QLatin1String(name), false); }

// Tells `error` when there is one; true when there is none.
bool told(const QString &error, const QString &what)
{
    if (!error.isEmpty())
        printError(QStringLiteral("%1: %2").arg(what, error));
    return error.isEmpty();
}

// A balance whose id no recorded row carries is told, as a likely slip of
// the pen: its tests would wait for weighings that never come.
void warnUnrecorded(const QSqlDatabase &db, const QString &instrumentId)
{
    QString error;
    for (const DataRows::Unmatched &missing : DataRows::unmatchedInstruments(db, {instrumentId}, &error))
        printError(QStringLiteral("warning: ") + missing.warning());
}

int saveBalance(const CheckCommand &command)
{
    if (!openDatabase(command, Database::Mode::Record, kWriter))
        return kNotMadeStatus;
    const QSqlDatabase db = connection(kWriter);
    BalanceEntry entry;
    bool found = false;
    if (!told(balance(db, command.id, &entry, &found), QStringLiteral("cannot read the register")))
        return kNotMadeStatus;
    entry.instrumentId = command.id;
    command.applyBalance(&entry);
    if (!told(saveBalance(db, entry), QStringLiteral("balance %1 not saved").arg(command.id)))
        return kNotMadeStatus;
    printLine(QStringLiteral("%1 balance %2").arg(QLatin1String(found ? "changed" : "registered"), command.id));
    if (!found)
        warnUnrecorded(db, command.id);
    return 0;
}

int addWeight(const CheckCommand &command)
{
    if (!openDatabase(command, Database::Mode::Record, kWriter))
        return kNotMadeStatus;
    const QSqlDatabase db = connection(kWriter);
    WeightEntry entry;
    bool found = false;
    if (!told(weight(db, command.id, &entry, &found), QStringLiteral("cannot read the register")))
        return kNotMadeStatus;
    entry.id = command.id;
    command.applyWeight(&entry);
    if (!told(saveWeight(db, entry), QStringLiteral("weight %1 not saved").arg(command.id)))
        return kNotMadeStatus;
    printLine(QStringLiteral("%1 weight %2").arg(QLatin1String(found ? "changed" : "registered"), command.id));
    return 0;
}

int list(const CheckCommand &command)
{
    if (!openDatabase(command, Database::Mode::ReadOnly, kReader))
        return kNotMadeStatus;
    const QSqlDatabase db = connection(kReader);
    const QChar tab(QLatin1Char('\t'));
    if (command.kind == CheckCommand::ListBalances) {
        QVector<BalanceEntry> entries;
        if (!told(balances(db, &entries), QStringLiteral("cannot read the register")))
            return kNotMadeStatus;
        printLine(QStringLiteral("instrument_id\tmaker\tmodel\tserial\tcapacity\treadability\tlocation\tintervals\t"
                                 "eccentricity_limit\tchanged_at\tchanged_by"));
        for (const BalanceEntry &entry : entries)
            printLine(QStringList{entry.instrumentId, entry.maker, entry.model, entry.serial, figureText(entry.capacity),
                                  figureText(entry.readability), entry.location, intervalsText(entry.intervals),
                                  figureText(entry.eccentricityLimit), entry.changedAt, entry.changedBy}
                          .join(tab));
        return 0;
    }
    QVector<WeightEntry> entries;
    if (!told(weights(db, &entries), QStringLiteral("cannot read the register")))
        return kNotMadeStatus;
    printLine(QStringLiteral("id\tnominal\tunit\tclass\tcertificate\tdue\tchanged_at\tchanged_by"));
    for (const WeightEntry &entry : entries)
        printLine(QStringList{entry.id, figureText(entry.nominal), entry.unit, entry.weightClass, entry.certificate,
                              entry.due.toString(Qt::ISODate), entry.changedAt, entry.changedBy}
                      .join(tab));
    return 0;
}

int status(const CheckCommand &command)
{
    if (!openDatabase(command, Database::Mode::ReadOnly, kReader))
        return kNotMadeStatus;
    const QSqlDatabase db = connection(kReader);
    QVector<BalanceEntry> entries;
    QVector<CheckRecord> made;
    if (!told(balances(db, &entries), QStringLiteral("cannot read the register"))
        || !told(records(db, &made), QStringLiteral("cannot read the check records")))
        return kNotMadeStatus;
    const QDateTime now = QDateTime::currentDateTime();
    bool action = false;
    for (const BalanceEntry &entry : qAsConst(entries)) {
        const BalanceStatus status = balanceStatus(&entry, made, now);
        action = action || status.needsAction();
        if (status.state == CheckState::NoInterval) {
            printLine(QStringLiteral("%1: no test interval set").arg(entry.instrumentId));
            continue;
        }
        QStringList tests;
        for (const TestStatus &test : status.tests)
            tests << checkText(test.test) + QStringLiteral(": ") + describe(test.state, test.until, test.since);
        printLine(QStringLiteral("%1: %2 (%3)")
                      .arg(entry.instrumentId, describe(status.state, status.until, status.since),
                           tests.join(QStringLiteral("; "))));
    }
    if (entries.isEmpty())
        printError(QStringLiteral("no balance is registered (veltrano-check balance ID ...)"));
    return action ? kFailedStatus : 0;
}

int runTest(const CheckCommand &command)
{
    if (!openDatabase(command, Database::Mode::ReadOnly, kReader))
        return kNotMadeStatus;
    const QSqlDatabase db = connection(kReader);
    BalanceEntry balanceEntry;
    WeightEntry weightEntry;
    bool balanceFound = false;
    bool weightFound = false;
    if (!told(balance(db, command.id, &balanceEntry, &balanceFound), QStringLiteral("cannot read the register"))
        || !told(weight(db, command.weightId, &weightEntry, &weightFound), QStringLiteral("cannot read the register")))
        return kNotMadeStatus;
    const QDate today = QDate::currentDate();
    QString refused;
    if (!balanceFound)
        refused = QStringLiteral("balance %1 is not registered (veltrano-check balance list)").arg(command.id);
    else if (!weightFound)
        refused = QStringLiteral("weight %1 is not registered (veltrano-check weight list)").arg(command.weightId);
    else
        refused = refusal(command.test, balanceEntry, weightEntry, today);
    if (!refused.isEmpty()) {
        printError(QStringLiteral("refused: ") + refused);
        return kNotMadeStatus;
    }
    warnUnrecorded(db, command.id);
    const int count = weighingsNeeded(command.test, command.replicates);
    printLine(QStringLiteral("%1 test of %2 with %3: %4 %5, waiting for the weighings as they are stored")
                  .arg(checkText(command.test), command.id, command.weightId)
                  .arg(count)
                  .arg(QLatin1String(count == 1 ? "weighing" : "weighings")));
    CheckRunner runner{QLatin1String(kReader)};
    QEventLoop loop;
    std::optional<CheckResult> judged;
    QObject::connect(&runner, &CheckRunner::place, &loop, [](const QString &text) { printLine(text); });
    QObject::connect(&runner, &CheckRunner::weighed, &loop, [](const TakenWeighing &weighing, int index, int count) {
        printLine(QStringLiteral("  weighing %1 of %2: %3 %4 (%5 %6)")
                      .arg(index + 1)
                      .arg(count)
                      .arg(weighing.reading.number, weighing.reading.unit, weighing.date, weighing.time));
    });
    // A database busy for a moment is waited out; the same trouble is told once.
    QObject::connect(&runner, &CheckRunner::readFailed, &loop, [](const QString &error) {
        printError(QStringLiteral("warning: cannot read the weighings: %1").arg(error));
    });
    QObject::connect(&runner, &CheckRunner::timedOut, &loop, &QEventLoop::quit);
    QObject::connect(&runner, &CheckRunner::finished, &loop, [&](const CheckResult &result) {
        judged = result;
        loop.quit();
    });
    const QString notStarted =
        runner.start(command.test, balanceEntry, weightEntry, command.replicates, command.timeoutSeconds);
    if (!notStarted.isEmpty()) {
        printError(QStringLiteral("refused: ") + notStarted);
        return kNotMadeStatus;
    }
    loop.exec();
    if (!judged) {
        printError(QStringLiteral("no weighing of %1 came within %2 s: the test is not made, nothing is recorded")
                       .arg(command.id)
                       .arg(command.timeoutSeconds));
        return kNotMadeStatus;
    }
    const CheckResult &result = *judged;
    const QVector<TakenWeighing> &taken = runner.taken();
    printLine(CheckRunner::figures(result, taken.isEmpty() ? QString() : taken.first().reading.unit));
    printLine(QStringLiteral("criterion: ") + result.criterion);
    printLine(result.reason);
    printLine(QStringLiteral("verdict: ") + verdictText(result.verdict));

    const QDateTime now = QDateTime::currentDateTime();
    const CheckRecord record = CheckRecord::of(result, command.id, weightEntry, now.date().toString(Qt::ISODate),
                                               now.time().toString(QStringLiteral("HH:mm:ss")), command.operatorName, runner.keys());
    qint64 id = 0;
    if (!openDatabase(command, Database::Mode::Record, kWriter)
        || !told(addRecord(connection(kWriter), record, &id), QStringLiteral("the test is not recorded")))
        return kNotMadeStatus;
    printLine(QStringLiteral("recorded as check %1 (its report: veltrano-report --check %1 FILE.pdf)").arg(id));
    switch (result.verdict) {
    case Verdict::Pass: return 0;
    case Verdict::Fail: return kFailedStatus;
    case Verdict::Refused: break;
    }
    return kNotMadeStatus;
}

int run(const CheckCommand &command)
{
    switch (command.kind) {
    case CheckCommand::SaveBalance: return saveBalance(command);
    case CheckCommand::AddWeight: return addWeight(command);
    case CheckCommand::ListBalances:
    case CheckCommand::ListWeights: return list(command);
    case CheckCommand::Status: return status(command);
    case CheckCommand::RunTest: break;
    }
    return runTest(command);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QLatin1String(kProgram));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELTRANO_VERSION));
    QLoggingCategory::defaultCategory()->setEnabled(QtDebugMsg, false);

    CheckCommand command;
    QString error;
    const Outcome outcome = command.parse(QCoreApplication::arguments(), &error);
    if (outcome != Run)
        return answer(kProgram, outcome, command.usage, error);
    const int status = run(command);
    for (const char *name : {kReader, kWriter})
        QSqlDatabase::removeDatabase(QLatin1String(name));
    return status;
}
