// veltrano-balance-sim: plays a laboratory balance on a pseudo-terminal, or
// on a TCP port as a serial device server in raw TCP mode would, so that
// Veltrano can collect from it without a balance at hand.
#include "balancesimulator.h"
#include "pseudoterminal.h"
#include "simoptions.h"
#include "support/commandline.h"

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

// A failure of the run itself, not of its command line.
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

    Veltrano::Sim::Options options;
    QString text;
    const Veltrano::CommandLine::Outcome outcome = Veltrano::Sim::readOptions(app.arguments(), &options, &text);
    if (outcome != Veltrano::CommandLine::Run)
        return Veltrano::CommandLine::answer("veltrano-balance-sim", outcome, text, text);

    if (!catchTerminationSignals())
        return fail(QStringLiteral("cannot catch SIGINT and SIGTERM"));
    QSocketNotifier signalled(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalled, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

    Veltrano::Sim::PseudoTerminal line;
    // Before the server: its clients tell of their end while it goes.
    QList<QTcpSocket *> clients;
    QTcpServer server;
    QString error;
    QString target;
    const bool network = options.listenPort >= 0;
    if (network) {
        if (!server.listen(QHostAddress::Any, quint16(options.listenPort)))
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
        if (!options.link.isEmpty() && !line.makeLink(options.link, &error))
            return fail(error);
        target = line.devicePath();
    }

    std::printf("%s\n", target.toLocal8Bit().constData());
    std::fflush(stdout);

    Veltrano::Sim::BalanceSimulator balance(options.scenario, [&](const QByteArray &bytes) {
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
