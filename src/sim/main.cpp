// veltrano-balance-sim: plays a laboratory balance on a pseudo-terminal, or
// on a TCP port as a serial device server in raw TCP mode would, so that
// Veltrano can collect from it without a balance at hand.
#include "balancesimulator.h"
#include "pseudoterminal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the event loop, so the link is removed on the way out.
bool catchTerminationSignals()
{
    if (::pipe(signalPipe) != 0)
        return false;
    ::fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

int fail(const QString &text)
{
    std::fprintf(stderr, "veltrano-balance-sim: %s\n", text.toLocal8Bit().constData());
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("veltrano-balance-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELTRANO_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Plays a laboratory balance on a pseudo-terminal (or, with --listen, on a TCP port) and prints the\n"
        "device (or the address) to collect from.\n"
        "Sartorius lines are all stable; the other makers' lines drift unstable and settle every fourth line."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QList<QCommandLineOption> options = {
        {"link", "Also make PATH a symbolic link to the device.", "PATH"},
        {"listen", "Serve the balance on TCP port PORT (0: any free one) instead of a pseudo-terminal, "
                   "to every client that connects, as a serial device server in raw TCP mode.",
         "PORT"},
        {"maker", "Whose print lines to send: sartoriusBasic, sartoriusSignum, mettlerToledoSics, andStandard, "
                  "ohaus, radwagKern or shimadzu (the instrument types). Default sartoriusBasic.",
         "NAME", "sartoriusBasic"},
        {"layout", "Sartorius print-line length: 16 (no header) or 22 (with header). Default 16.", "N", "16"},
        {"interval", "Milliseconds between print lines. Default 1000.", "MS", "1000"},
        {"value", "First weight. Default 100.", "X", "100"},
        {"drift", "Largest change from one line to the next. Default 0.05.", "X", "0.05"},
        {"decimals", "Digits after the decimal point. Default 2.", "N", "2"},
        {"unit", "Unit, up to 3 characters. Default g.", "TEXT", "g"},
        {"header", "Header of 22-byte lines, up to 6 characters. Default N.", "TEXT", "N"},
        {"errors", "Sartorius: every N-th line is an error line (Err and a code).", "N", "0"},
        {"status", "Sartorius: every N-th line is a status line (Stat).", "N", "0"},
        {"split", "Every N-th line is sent in two fragments.", "N", "0"},
        {"lone-lf", "Every N-th line is followed by a lone line feed.", "N", "0"},
        {"garbage", "Every N-th line comes after noise bytes.", "N", "0"},
        {"silence", "After every N-th line stay silent for MS milliseconds.", "N:MS"},
        {"count", "Stop after N lines. Default 0: never.", "N", "0"},
        {"seed", "Seed for the drift and the noise. Default 1.", "N", "1"},
    };
    parser.addOptions(options);
    parser.process(app);

    bool ok = true;
    auto integer = [&](const char *name) {
        bool fine = false;
        const int result = parser.value(QLatin1String(name)).toInt(&fine);
        ok = ok && fine && result >= 0;
        return result;
    };
    Veltrano::Sim::Scenario scenario;
    scenario.layout = integer("layout");
    scenario.intervalMs = integer("interval");
    scenario.decimals = integer("decimals");
    scenario.errorEvery = integer("errors");
    scenario.statusEvery = integer("status");
    scenario.splitEvery = integer("split");
    scenario.loneLineFeedEvery = integer("lone-lf");
    scenario.garbageEvery = integer("garbage");
    scenario.count = integer("count");
    scenario.seed = quint32(integer("seed"));
    bool fine = false;
    scenario.value = parser.value(QStringLiteral("value")).toDouble(&fine);
    ok = ok && fine;
    scenario.drift = parser.value(QStringLiteral("drift")).toDouble(&fine);
    ok = ok && fine && scenario.drift >= 0;
    scenario.unit = parser.value(QStringLiteral("unit")).toUtf8();
    scenario.header = parser.value(QStringLiteral("header")).toUtf8();
    if (parser.isSet(QStringLiteral("silence"))) {
        const QStringList parts = parser.value(QStringLiteral("silence")).split(QLatin1Char(':'));
        scenario.silenceEvery = parts.value(0).toInt(&fine);
        ok = ok && fine && scenario.silenceEvery >= 0;
        scenario.silenceMs = parts.value(1).toInt(&fine);
        ok = ok && fine && parts.size() == 2 && scenario.silenceMs >= 0;
    }
    ok = ok && Veltrano::Sim::makerNamed(parser.value(QStringLiteral("maker")), &scenario.maker);
    if (!ok || (scenario.layout != 16 && scenario.layout != 22))
        return fail(QStringLiteral("invalid option value (see --help)"));

    if (!catchTerminationSignals())
        return fail(QStringLiteral("cannot catch SIGINT and SIGTERM"));
    QSocketNotifier signalled(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalled, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

    Veltrano::Sim::PseudoTerminal line;
    QTcpServer server;
    QList<QTcpSocket *> clients;
    QString error;
    QString target;
    const bool network = parser.isSet(QStringLiteral("listen"));
    if (network) {
        const int port = parser.value(QStringLiteral("listen")).toInt(&fine);
        if (!fine || port < 0 || port > 65535 || parser.isSet(QStringLiteral("link")))
            return fail(QStringLiteral("--listen takes a port from 0 to 65535 and goes without --link"));
        if (!server.listen(QHostAddress::Any, quint16(port)))
            return fail(server.errorString());
        QObject::connect(&server, &QTcpServer::newConnection, [&server, &clients] {
            while (QTcpSocket *client = server.nextPendingConnection()) {
                clients.append(client);
                QObject::connect(client, &QTcpSocket::disconnected, client, [client, &clients] {
                    clients.removeAll(client);
                    client->deleteLater();
                });
            }
        });
        target = QStringLiteral("tcp://localhost:%1").arg(server.serverPort());
    } else {
        if (!line.open(&error))
            return fail(error);
        if (parser.isSet(QStringLiteral("link")) && !line.makeLink(parser.value(QStringLiteral("link")), &error))
            return fail(error);
        target = line.devicePath();
    }

    std::printf("%s\n", target.toLocal8Bit().constData());
    std::fflush(stdout);

    Veltrano::Sim::BalanceSimulator balance(scenario, [&](const QByteArray &bytes) {
        if (!network) {
            line.write(bytes);
            return;
        }
        for (QTcpSocket *client : qAsConst(clients))
            client->write(bytes);
    });
    QObject::connect(&balance, &Veltrano::Sim::BalanceSimulator::finished, &app, &QCoreApplication::quit);
    balance.start();
    return app.exec();
}
