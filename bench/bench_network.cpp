// Balances on the network: 16 balances each behind a TCP port on loopback,
// printing short lines as fast as a 19200-baud line carries them, against
// the same 16 balances on pseudo-terminals, in the same run. What is
// compared is the processor time the collection engine takes on its thread
// (it reads, cuts and parses every line there, and takes a row a second of
// each balance).

#include "benchdata.h"
#include "harness.h"
#include "linefeeder.h"
#include "collect/collectionengine.h"
#include "pseudoterminal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <functional>
#include <iomanip>
#include <memory>
#include <sstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Bench {
namespace {

// A loopback TCP port that one client (the collection) connects to; the
// feeding thread accepts it and sends the balance's lines, as a serial
// device server in raw TCP mode passes them on.
class Listener
{
public:
    ~Listener()
    {
        for (int fd : {m_listen, m_client}) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    bool open()
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        return m_listen >= 0 && ::bind(m_listen, reinterpret_cast<sockaddr *>(&address), size) == 0
               && ::listen(m_listen, 1) == 0
               && ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&address), &size) == 0
               && (m_port = ntohs(address.sin_port)) > 0;
    }
    QString address() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(m_port); }
    bool write(const QByteArray &bytes)
    {
        if (m_client < 0)
            m_client = ::accept(m_listen, nullptr, nullptr);
        return m_client >= 0 && ::send(m_client, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }

private:
    int m_listen = -1;
    int m_client = -1;
    quint16 m_port = 0;
};

// Ours: network links; the reference: pseudo-terminals.
void collect(benchmark::State &state, Variant variant, qint64 seconds)
{
    const bool network = variant == Variant::Ours;
    for (auto _ : state) {
        WorkDir dir(0, false);
        std::vector<std::unique_ptr<Listener>> listeners;
        std::vector<std::unique_ptr<Veltrano::Sim::PseudoTerminal>> lines;
        LineFeeder feeder;
        for (int i = 0; i < kInstruments; ++i) {
            if (network) {
                listeners.push_back(std::make_unique<Listener>());
                Listener *listener = listeners.back().get();
                if (!listener->open())
                    return state.SkipWithError("cannot listen on loopback");
                feeder.add([listener](const QByteArray &bytes) { return listener->write(bytes); });
            } else {
                lines.push_back(std::make_unique<Veltrano::Sim::PseudoTerminal>());
                Veltrano::Sim::PseudoTerminal *line = lines.back().get();
                if (!line->open())
                    return state.SkipWithError("cannot open pseudo-terminals");
                feeder.add([line](const QByteArray &bytes) { return line->write(bytes); });
            }
        }
        writeSettings([&](int i) { return network ? listeners[size_t(i)]->address() : lines[size_t(i)]->devicePath(); });

        const DebugOutput quiet(false);
        Veltrano::CollectionEngine engine;
        int opened = 0, rows = 0;
        QObject::connect(&engine, &Veltrano::CollectionEngine::opened, [&opened] { ++opened; });
        QObject::connect(&engine, &Veltrano::CollectionEngine::sampled, [&rows] { ++rows; });
        engine.start(QStringLiteral("settings.ini"));
        runEventLoop(10000, [&opened] { return opened == kInstruments; });
        if (opened != kInstruments)
            return state.SkipWithError("not every balance was opened");
        const int failuresBefore = reportedFailures();

        const double cpuBefore = threadCpuSeconds();
        const double processBefore = processCpuSeconds();
        QElapsedTimer wall;
        wall.start();
        feeder.start();
        runEventLoop(int(seconds * 1000), [] { return false; });
        const double cpu = threadCpuSeconds() - cpuBefore;
        const double elapsed = wall.nsecsElapsed() / 1e9;
        feeder.stop();
        const double processCpu = processCpuSeconds() - processBefore - feeder.cpuSeconds();
        runEventLoop(500, [] { return false; });  // what is still on its way
        qint64 received = 0;
        for (const Veltrano::InstrumentState &balance : engine.states().states())
            received += balance.lines();
        engine.stop();

        state.SetIterationTime(elapsed);
        state.counters["lines_sent"] = double(feeder.sent());
        state.counters["lines_lost"] = double(feeder.sent() - received);
        state.counters["write_failures"] = double(feeder.failedWrites());
        state.counters["rows"] = rows;
        state.counters["cpu_percent"] = 100.0 * cpu / elapsed;
        state.counters["process_cpu_percent"] = 100.0 * processCpu / elapsed;
        state.counters["failures_reported"] = double(reportedFailures() - failuresBefore);
    }
}

// numerator's counter / denominator's, against an upper bound; laid out as
// the harness's own lines.
Check counterRatio(const std::string &title, const std::string &numerator, const std::string &denominator,
                   const std::string &counter, double limit)
{
    return [=](const Results &r) -> std::string {
        if (!r.has(numerator) || !r.has(denominator))
            return {};
        const double top = r.counter(numerator, counter), bottom = r.counter(denominator, counter);
        std::ostringstream value, target;
        value << std::setprecision(3) << top << " / " << bottom << " % = " << top / bottom << "x";
        target << "<= " << limit << "x";
        std::ostringstream out;
        out << std::left << std::setw(52) << title << std::setw(38) << value.str() << std::setw(22) << target.str()
            << (top / bottom <= limit ? "met" : "MISSED");
        return out.str();
    };
}

const int kRegistered = [] {
    registerPair("network", {30}, 3, collect);
    return 0;
}();

const std::string kTcp = name("network", Variant::Ours, 30), kPty = name("network", Variant::Reference, 30);
CheckRegistrar n1(70, figure("network: lines sent (16 balances, 30 s)", kTcp, "lines_sent", "lines"));
CheckRegistrar n2(71, atMost("network: lines lost", kTcp, "lines_lost", 0, "lines"));
CheckRegistrar n3(72, figure("network: processor use, TCP links", kTcp, "cpu_percent", "% of a core"));
CheckRegistrar n4(73, figure("network: processor use, pseudo-terminals", kPty, "cpu_percent", "% of a core"));
CheckRegistrar n5(74, counterRatio("network: processor use, TCP / pseudo-terminals", kTcp, kPty, "cpu_percent", 1.2));
CheckRegistrar n6(75, atMost("network: pseudo-terminal lines lost", kPty, "lines_lost", 0, "lines"));

} // namespace
} // namespace Bench
