#include "startup.h"


#include "store/database.h"
#include "store/databaseconfig.h"
#include "support/commandline.h"
#include "support/logformat.h"
#include "mainwindow.h"
#include "store/measurementdb.h"
#include "support/logfile.h"
#include "support/trace.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QPointer>
#include <QQueue>
#include <QThread>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <cstdio>

namespace {

// The boxes of the message handler, shown one after the other and never
// waited for: whatever raised the message (a tick, a store, a port error)
// goes on at once, and the next box opens when the operator has answered the
// one before. Notices, which ask nothing, are shown at once beside the
// window and block nothing.
class BoxQueue : public QObject
{
public:
    static void post(QMessageBox::Icon icon, const QString &title, const QString &text)
    {
        auto *app = QCoreApplication::instance();
        QMetaObject::invokeMethod(app, [icon, title, text] { instance().add({icon, title, text}); },
                                  QThread::currentThread() == app->thread() ? Qt::DirectConnection : Qt::QueuedConnection);
    }

    // On the windows' thread.
    static QMessageBox *notice(QMessageBox::Icon icon, QWidget *parent, const QString &title, const QString &text)
    {
        return instance().showNotice(icon, parent, title, text);
    }

    // Boxes shown or waiting to be.
    static int waiting()
    {
        BoxQueue &queue = instance();
        queue.m_notices.removeAll(QPointer<QMessageBox>());
        return queue.m_waiting.size() + (queue.m_shown ? 1 : 0) + queue.m_notices.size();
    }

private:
    struct Box
    {
        QMessageBox::Icon icon;
        QString title;
        QString text;
    };

    static BoxQueue &instance()
    {
        static QPointer<BoxQueue> queue;
        if (!queue)
            queue = new BoxQueue(QCoreApplication::instance());
        return *queue;
    }
    using QObject::QObject;

    void add(const Box &box)
    {
        m_waiting.enqueue(box);
        if (!m_shown)
            showNext();
    }

    void showNext()
    {
        if (m_shown || m_waiting.isEmpty())
            return;
        const Box next = m_waiting.dequeue();
        m_shown = new QMessageBox(next.icon, next.title, next.text, QMessageBox::Ok);
        m_shown->setAttribute(Qt::WA_DeleteOnClose);
        m_shown->setWindowModality(Qt::ApplicationModal);
        connect(m_shown, &QMessageBox::finished, this, [this] {
            m_shown = nullptr;
            QMetaObject::invokeMethod(this, [this] { showNext(); }, Qt::QueuedConnection);
        });
        m_shown->show();
    }

    QMessageBox *showNotice(QMessageBox::Icon icon, QWidget *parent, const QString &title, const QString &text)
    {
        auto *box = new QMessageBox(icon, title, text, QMessageBox::Ok, parent);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::NonModal);
        m_notices.append(box);
        box->show();
        return box;
    }

    QQueue<Box> m_waiting;
    QPointer<QMessageBox> m_shown;
    QList<QPointer<QMessageBox>> m_notices;
};

// Where the handler's lines go: standard error, or the trace file of a
// program started from the desktop.
Veltrano::Log::TraceFile *g_traceFile = nullptr;

bool writeLine(const QByteArray &line)
{
    if (g_traceFile)
        return g_traceFile->write(line);
    const bool written = std::fwrite(line.constData(), 1, size_t(line.size()), stderr) == size_t(line.size());
    return std::fflush(stderr) == 0 && written;
}

} // namespace

void msgHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    // Warnings of Qt's modules while the recording runs go to the trace too:
    // the recording never waits for a box.
    if (type == QtWarningMsg && (Veltrano::Log::isDemotedWarning(msg) || Veltrano::Log::RecordingScope::active())) {
        VTRACE << msg;
        return;
    }

    const QByteArray line = Veltrano::Log::stderrLine(type, msg);
    if (line.isEmpty())
        return;
    if (!writeLine(line)) {
        // Nobody can read standard error (a windowed program started without
        // a console, a closed stream): stop building debug lines at all. They
        // are most of the work of parsing what the balances send.
        QLoggingCategory::defaultCategory()->setEnabled(QtDebugMsg, false);
    }

    // Only this program's own messages are boxes: what Qt's modules say
    // (a missing runtime folder, an X server's error) is for the trace.
    const QString title = Veltrano::Log::boxTitle(type);
    if (title.isEmpty() || !qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    if (type != QtFatalMsg && !Veltrano::Trace::isOwn(context))
        return;
    // Qt ends the process when a fatal message returns: that box is waited for.
    if (type == QtFatalMsg)
        QMessageBox::critical(nullptr, title, msg);
    else
        BoxQueue::post(type == QtWarningMsg ? QMessageBox::Warning : QMessageBox::Critical, title, msg);
}

namespace Startup {

int boxesWaiting()
{
    return BoxQueue::waiting();
}

QMessageBox *notify(QWidget *parent, const QString &title, const QString &text)
{
    return BoxQueue::notice(QMessageBox::Information, parent, title, text);
}

namespace {

// Status of a start-up that could not reach the main window.
constexpr int kDatabaseFailure = 1;

// Reports why the database cannot be used: the driver's text on standard
// error, and the box. A server is named in both (never its password), so the
// operator knows which machine to ask about; a file other than sqlite.db on
// standard error.
int databaseError(const QString &uri, const QString &driverError)
{
    const bool server = Veltrano::DatabaseConfig::isServerUri(uri);
    QString text = server ? QObject::tr("Cannot use the database on the server! Exiting...")
                          : QObject::tr("Cannot open the database! (SQLITE error) Exiting...");
    QString line = driverError;
    if (!uri.isEmpty())
        line = Veltrano::DatabaseConfig::displayName(uri) + QLatin1String(": ") + line;
    if (server)
        text += QLatin1String("\n\n") + Veltrano::DatabaseConfig::serverName(uri);
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    QMessageBox::critical(nullptr, QObject::tr("Error"), text);
    return kDatabaseFailure;
}

// The options QApplication takes for itself, with a value and without, as
// its manual lists them; a single or a double dash, "-style=fusion" too.
const char *const kQtValueOptions[] = {"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
                                       "geometry", "qwindowicon", "icon", "qwindowtitle", "title", "display", "name",
                                       "style", "stylesheet", "session", "qmljsdebugger"};
const char *const kQtFlagOptions[] = {"reverse", "widgetcount", "nograb", "dograb", "sync", "testability"};

// The command line without Qt's own options, read before there is an
// application object (which needs a display to be made).
QStringList withoutQtOptions(const QStringList &arguments)
{
    QStringList kept = arguments.mid(0, 1);
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--")) {
            kept += arguments.mid(i);
            break;
        }
        QString name = argument.startsWith(QLatin1String("--")) ? argument.mid(2)
                       : argument.startsWith(QLatin1Char('-')) ? argument.mid(1)
                                                               : QString();
        const int equals = name.indexOf(QLatin1Char('='));
        const bool hasValue = equals >= 0;
        if (hasValue)
            name.truncate(equals);
        const auto named = [&name](const char *option) { return name == QLatin1String(option); };
        if (std::any_of(std::begin(kQtValueOptions), std::end(kQtValueOptions), named)) {
            if (!hasValue)
                ++i;
            continue;
        }
        if (!hasValue && std::any_of(std::begin(kQtFlagOptions), std::end(kQtFlagOptions), named))
            continue;
        kept << argument;
    }
    return kept;
}

// The program's own command line: --help, --version, --database, --desktop.
class ProgramOptions
{
public:
    ProgramOptions()
    {
        m_parser.setApplicationDescription(
            QObject::tr("Collects the results of laboratory balances into a database and exports them."));
        m_parser.addHelpOption();
        m_parser.addVersionOption();
        m_parser.addOption(Veltrano::DatabaseConfig::commandLineOption(
            QStringLiteral("record into"), QStringLiteral("the uri of database.ini, else sqlite.db here")));
        m_parser.addOption({QStringLiteral("desktop"),
                            QObject::tr("Started from the desktop entry: the trace goes to veltrano.log in "
                                        "$XDG_STATE_HOME/veltrano (~/.local/state/veltrano), capped at 1 MiB with "
                                        "two older files, instead of standard error.")});
    }

    // Any line, Qt's own options among the rest.
    Veltrano::CommandLine::Outcome parse(const QStringList &arguments)
    {
        // Asked for help, the user gets it, whatever else the line holds.
        const bool understood = m_parser.parse(withoutQtOptions(arguments));
        if (m_parser.isSet(QStringLiteral("help")) || m_parser.isSet(QStringLiteral("help-all")))
            return Veltrano::CommandLine::Help;
        if (m_parser.isSet(QStringLiteral("version")))
            return Veltrano::CommandLine::Version;
        if (!understood) {
            m_error = m_parser.errorText();
            return Veltrano::CommandLine::UsageError;
        }
        if (!m_parser.positionalArguments().isEmpty()) {
            m_error = QStringLiteral("unexpected argument '%1'").arg(m_parser.positionalArguments().first());
            return Veltrano::CommandLine::UsageError;
        }
        return Veltrano::CommandLine::Run;
    }

    // Needs the application object: the text names the program as started.
    QString helpText() const { return m_parser.helpText(); }
    QString error() const { return m_error; }
    bool desktop() const { return m_parser.isSet(QStringLiteral("desktop")); }

private:
    QCommandLineParser m_parser;
    QString m_error;
};

// Start-up's lines before the window is there: written, never a box.
void lineHandler(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    const QByteArray line = Veltrano::Log::stderrLine(type, msg);
    if (!line.isEmpty())
        writeLine(line);
}

} // namespace

int openDatabase(const QString &uri)
{
    using Veltrano::Database::Opened;
    const Opened opened = Veltrano::Database::open(uri, Veltrano::Database::Mode::Record);
    switch (opened.outcome) {
    case Opened::ServerAway:
        // A collector records all the same: its rows wait on this PC.
        std::fprintf(stderr, "%s\n", (opened.where + QLatin1String(": ") + opened.error).toUtf8().constData());
        BoxQueue::notice(QMessageBox::Warning, nullptr, QObject::tr("Warning"),
                       QObject::tr("The database server does not answer: %1.\n\n"
                                   "Veltrano records all the same: the rows are kept on this PC and written to the "
                                   "server as soon as it answers.")
                           .arg(opened.where));
        return -1;
    case Opened::Ready:
        return -1;
    case Opened::Created:
        QMessageBox::information(nullptr, QObject::tr("Information"),
                                 QObject::tr("Database initialization: OK"));
        return -1;
    case Opened::Failed:
        break;
    }
    return databaseError(uri, opened.error);
}

int run(int argc, char *argv[])
{
    QCoreApplication::setApplicationVersion(QStringLiteral(VELTRANO_VERSION));
    // The whole line is read before the application object, which needs a
    // display: --help, --version and a usage error need none.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    ProgramOptions options;
    const Veltrano::CommandLine::Outcome outcome = options.parse(arguments);
    if (outcome != Veltrano::CommandLine::Run) {
        const QCoreApplication app(argc, argv);
        return Veltrano::CommandLine::answer("veltrano", outcome, options.helpText(), options.error());
    }
    if (options.desktop()) {
        // Kept to the end of the process: Qt logs while it goes, too.
        static Veltrano::Log::TraceFile *traceFile = new Veltrano::Log::TraceFile;
        QString error;
        const QString path = Veltrano::Log::stateFolder() + QLatin1String("/veltrano.log");
        if (traceFile->open(path, &error))
            g_traceFile = traceFile;
        else
            std::fprintf(stderr, "veltrano: the trace stays on standard error: %s\n", error.toLocal8Bit().constData());
    }
    // What Qt says while it makes the application object is a line too.
    qInstallMessageHandler(lineHandler);
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral("./ico/scale-32.ico")));

    int status = openDatabase(Veltrano::DatabaseConfig::chosenUri(QCoreApplication::arguments()));
    if (status < 0) {
        qInstallMessageHandler(msgHandler);
        MainWindow window;
        window.show();
        status = app.exec();
    }
    // The window is gone; let go of the connection.
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    return status;
}

} // namespace Startup
