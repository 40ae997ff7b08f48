// Cutting and classifying print lines: what the balances send, in the pieces
// a serial port hands over, through the receive buffer and the parser.

#include "balancesimulator.h"
#include "benchprobe.h"
#include "harness.h"
#include "collect/makerlines.h"
#include "collect/printline.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QMap>

#include <memory>
#include <random>
#include <vector>

namespace Bench {
namespace {

// A day of a busy line, compressed: mostly readings in both layouts, some
// error codes and status lines, tails of lines cut by a start in mid-line,
// and noise of any length.
std::vector<QByteArray> printStream(qint64 bytes)
{
    std::mt19937 random(20140630);
    auto pick = [&](int n) { return int(random() % unsigned(n)); };
    QByteArray stream;
    while (stream.size() < bytes) {
        const int kind = pick(100);
        const QByteArray value = QByteArray::number(pick(100000) / 100.0, 'f', 2).rightJustified(9, ' ');
        if (kind < 60)
            stream += "N     +" + value + " g  \r\n";  // 22 bytes with header
        else if (kind < 82)
            stream += "+" + value + " g  \r\n";  // 16 bytes
        else if (kind < 88)
            stream += "   Err 54      \n";
        else if (kind < 93)
            stream += "Stat    Busy    ---\r\n";
        else if (kind < 97)
            stream += QByteArray("N     +" + value + " g  \r\n").mid(pick(20) + 1);  // a tail
        else {
            QByteArray noise(pick(40), '\0');
            for (char &c : noise)
                c = char(pick(256) == '\n' ? 'x' : pick(256));
            stream += noise + '\n';
        }
    }
    // The pieces one readyRead gets at a time.
    std::vector<QByteArray> pieces;
    for (int at = 0; at < stream.size();) {
        const int length = 1 + pick(48);
        pieces.push_back(stream.mid(at, length));
        at += length;
    }
    return pieces;
}

struct Latest
{
    QMap<QString, QString> headers, results, units;
};

// The parser as described: qDebug traces of the whole buffer and of every
// line, fields read with mid() and fromUtf8() on the zero-terminated copy.
void referenceProcessBuffer(const QString &id, QByteArray &buffer, Latest &latest)
{
    qDebug() << __FILE__ << "(" << __LINE__ << ")" << Q_FUNC_INFO;
    qDebug() << "buffer=" << buffer;
    while (buffer.contains('\n')) {
        const int n = buffer.indexOf('\n');
        const QByteArray oneMessage = buffer.left(n + 1);
        buffer.remove(0, n + 1);
        qDebug() << "oneMessage.size()" << oneMessage.size();
        qDebug() << "oneMessage:" << oneMessage;
        QString header, result, unit;
        if (oneMessage.size() == 16) {
            header = QString::fromUtf8("");
            result = QString::fromUtf8(oneMessage.mid(0, 10).constData());
            if (result.mid(3, 3) == QLatin1String("ERR") || result.mid(3, 3) == QLatin1String("Err")) {
                qDebug() << "error code arrived... skipping";
                continue;
            }
            result.remove(QLatin1Char(' '));
            unit = QString::fromUtf8(oneMessage.mid(11, 3).constData());
        } else if (oneMessage.size() == 22) {
            header = QString::fromUtf8(oneMessage.mid(0, 6).constData());
            result = QString::fromUtf8(oneMessage.mid(6, 10).constData()).remove(QLatin1Char(' '));
            unit = QString::fromUtf8(oneMessage.mid(17, 3).constData());
            if (header.left(4) == QLatin1String("Stat")) {
                qDebug() << "status message arrived... skipping";
                continue;
            }
        } else {
            qDebug() << "skipping. protocol length error: " << oneMessage.size() << "\n***" << oneMessage << "***";
            continue;
        }
        qDebug() << "header:" << header;
        qDebug() << "result:" << result;
        qDebug() << "unit:" << unit;
        latest.headers.insert(id, header);
        latest.results.insert(id, result);
        latest.units.insert(id, unit);
        qDebug() << "remaining buffer.size()" << buffer.size();
    }
}

const QString kId = QStringLiteral("b1");

// Appends each piece and parses once 16 bytes are there, as readyRead does.
double feed(Variant variant, const std::vector<QByteArray> &pieces, MainWindow *window)
{
    QElapsedTimer timer;
    if (variant == Variant::Ours) {
        Veltrano::InstrumentChannel &channel = MainWindowProbe::channel(*window, kId);
        timer.start();
        for (const QByteArray &piece : pieces)
            channel.receive(piece);
        return timer.nsecsElapsed() / 1e9;
    }
    QByteArray buffer;
    Latest latest;
    timer.start();
    for (const QByteArray &piece : pieces) {
        buffer.append(piece);
        if (buffer.size() > 15)
            referenceProcessBuffer(kId, buffer, latest);
    }
    return timer.nsecsElapsed() / 1e9;
}

void parse(benchmark::State &state, Variant variant, qint64 bytes, bool traced)
{
    const std::vector<QByteArray> pieces = printStream(bytes);
    static std::unique_ptr<MainWindow> window;
    if (!window) {
        window = std::make_unique<MainWindow>();
        atExit([] { window.reset(); });
    }
    const DebugOutput output(traced);
    for (auto _ : state) {
        const double seconds = feed(variant, pieces, window.get());
        state.SetIterationTime(seconds);
        state.counters["MB_per_s"] = bytes / seconds / 1e6;
    }
}

// The core's cutting and reading alone, without the window or traces.
void parseCore(benchmark::State &state, Variant, qint64 bytes)
{
    const std::vector<QByteArray> pieces = printStream(bytes);
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        QByteArray buffer;
        int readings = 0;
        for (const QByteArray &piece : pieces) {
            buffer.append(piece);
            for (QByteArray line = Veltrano::PrintLine::takeLine(buffer); !line.isEmpty();
                 line = Veltrano::PrintLine::takeLine(buffer))
                readings += Veltrano::PrintLine::parse(line).kind == Veltrano::PrintLine::Kind::Reading;
        }
        const double seconds = timer.nsecsElapsed() / 1e9;
        benchmark::DoNotOptimize(readings);
        state.SetIterationTime(seconds);
        state.counters["MB_per_s"] = bytes / seconds / 1e6;
    }
}

// The makers' layouts by argument; then every layout mixed, read by the
// automatic format; last the lines of no maker's layout that the automatic
// format reads as generic readings, after trying every layout. Sartorius (0)
// is read by the one-argument parse().
using Veltrano::Sim::Maker;
const std::vector<std::pair<Maker, const char *>> kMakers = {
    {Maker::Sartorius, "Sartorius"}, {Maker::MettlerToledoSics, "Mettler-Toledo"}, {Maker::AndStandard, "A&D"},
    {Maker::Ohaus, "Ohaus"}, {Maker::RadwagKern, "Radwag/Kern"}, {Maker::Shimadzu, "Shimadzu"},
};
const qint64 kAutomatic = qint64(kMakers.size());
const qint64 kGeneric = kAutomatic + 1;
constexpr int kMakerLines = 4096;

// Lines cut by takeLine() beforehand, so that only the reading is timed.
void parseMaker(benchmark::State &state, Variant, qint64 maker)
{
    std::mt19937 random(20240501);
    std::vector<QByteArray> lines;
    for (int i = 0; i < kMakerLines; ++i) {
        const Maker layout = maker >= kAutomatic ? kMakers.at(i % kMakers.size()).first : kMakers.at(maker).first;
        const double value = int(random() % 2000000) / 100.0 - 10000.0;
        if (maker == kGeneric)
            lines.push_back(QByteArray::number(value, 'f', 2).rightJustified(i % 12, ' ') + (i % 2 ? " kg\r\n" : "g\n"));
        else
            lines.push_back(layout == Maker::Sartorius
                                ? Veltrano::Sim::printLine(i % 2 ? 16 : 22, "N", value, 2, i % 3 ? "g" : "")
                                : Veltrano::Sim::makerLine(layout, value, 2, "g", i % 3));
    }
    const Veltrano::PrintLine::Format format =
        maker >= kAutomatic ? Veltrano::PrintLine::Format::Automatic : kMakers.at(maker).first;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        int readings = 0;
        for (const QByteArray &line : lines) {
            const Veltrano::PrintLine::Parsed parsed =
                maker == 0 ? Veltrano::PrintLine::parse(line) : Veltrano::PrintLine::parse(line, format);
            readings += parsed.kind == Veltrano::PrintLine::Kind::Reading;
        }
        const qint64 ns = timer.nsecsElapsed();
        if (readings != kMakerLines)
            state.SkipWithError("a line was not read");
        state.SetIterationTime(ns / 1e9);
        state.counters["ns_per_line"] = double(ns) / kMakerLines;
    }
}

constexpr qint64 kBytes = 256 * 1024;

const int kRegistered = [] {
    registerPair("parse_traced", {kBytes}, 5,
                 [](benchmark::State &s, Variant v, qint64 n) { parse(s, v, n, true); });
    registerPair("parse_quiet", {kBytes}, 5,
                 [](benchmark::State &s, Variant v, qint64 n) { parse(s, v, n, false); });
    registerOurs("parse_core", {kBytes}, 5, parseCore);
    std::vector<qint64> makers;
    for (qint64 maker = 0; maker <= kGeneric; ++maker)
        makers.push_back(maker);
    registerOurs("parse_maker", makers, 5, parseMaker);
    return 0;
}();

// Each maker's reading against the Sartorius one, per line: within 2 times.
const int kMakerChecks = [] {
    for (qint64 maker = 1; maker <= kAutomatic; ++maker) {
        const std::string title = maker == kAutomatic ? std::string("automatic, mixed")
                                                      : std::string(kMakers.at(maker).second);
        CheckRegistrar(45 + int(maker), growth("reading a line, " + title + " / Sartorius",
                                               name("parse_maker", Variant::Ours, maker),
                                               name("parse_maker", Variant::Ours, 0), 2.0));
    }
    CheckRegistrar(45 + int(kGeneric), figure("reading a generic line, automatic",
                                              name("parse_maker", Variant::Ours, kGeneric), "ns_per_line", "ns"));
    CheckRegistrar(45, figure("reading a Sartorius line", name("parse_maker", Variant::Ours, 0), "ns_per_line", "ns"));
    return 0;
}();

CheckRegistrar c1(40, speedup("parser with debug output on, speed-up", name("parse_traced", Variant::Ours, kBytes),
                              name("parse_traced", Variant::Reference, kBytes)));
CheckRegistrar c2(41, figure("parser with debug output on, ours", name("parse_traced", Variant::Ours, kBytes),
                             "MB_per_s", "MB/s"));
CheckRegistrar c3(42, speedup("parser with debug output off, speed-up", name("parse_quiet", Variant::Ours, kBytes),
                              name("parse_quiet", Variant::Reference, kBytes)));
CheckRegistrar c4(43, figure("parser with debug output off, ours", name("parse_quiet", Variant::Ours, kBytes),
                             "MB_per_s", "MB/s"));
CheckRegistrar c5(44, figure("line cutting and reading alone (core)", name("parse_core", Variant::Ours, kBytes),
                             "MB_per_s", "MB/s"));

} // namespace
} // namespace Bench
