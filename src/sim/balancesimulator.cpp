#include "balancesimulator.h"

#include <QtMath>

#include <algorithm>
#include <cmath>
#include <utility>

namespace Veltrano::Sim {

namespace {

constexpr int kFieldWidth = 10;
constexpr int kMaxDecimals = 7;

QByteArray fixed(const QByteArray &text, int width)
{
    return text.leftJustified(width, ' ', true);
}

// Separator, unit and line end behind a value field.
QByteArray tail(const QByteArray &unit)
{
    return ' ' + fixed(unit, 3) + "\r\n";
}

QByteArray headerFor(int layout, const QByteArray &header)
{
    return layout == 22 ? fixed(header, 6) : QByteArray();
}

// The value within `places` characters (sign not counted): whether it is
// negative, and its digits.
QPair<bool, QByteArray> number(double value, int decimals, int places)
{
    decimals = std::clamp(decimals, 0, kMaxDecimals);
    const int integerDigits = std::max(1, places - (decimals > 0 ? decimals + 1 : 0));
    const double largest = std::pow(10.0, integerDigits) - std::pow(10.0, -decimals);
    value = std::clamp(value, -largest, largest);
    const bool negative = std::round(value * std::pow(10.0, decimals)) < 0;
    return {negative, QByteArray::number(std::fabs(value), 'f', decimals)};
}

// A weight as the balance shows it: to its decimals.
double rounded(double value, int decimals)
{
    const double scale = std::pow(10.0, std::clamp(decimals, 0, kMaxDecimals));
    return std::round(value * scale) / scale;
}

} // namespace

bool makerNamed(const QString &name, Maker *maker)
{
    const Makers::Type *type = Makers::typeNamed(name);
    if (!type || !type->simulated)
        return false;
    *maker = type->format;
    return true;
}

bool printOnNamed(const QString &name, PrintOn *printOn)
{
    for (const auto &[known, mode] : {std::pair{"interval", PrintOn::Interval}, {"key", PrintOn::Key},
                                      {"stable", PrintOn::Stable}, {"continuous-loads", PrintOn::ContinuousLoads}}) {
        if (name == QLatin1String(known)) {
            *printOn = mode;
            return true;
        }
    }
    return false;
}

QByteArray scanLine(const QList<QByteArray> &ids, int number)
{
    QByteArray id = ids.isEmpty() ? QByteArray("####") : ids.at(std::max(0, number - 1) % int(ids.size()));
    const int run = id.indexOf('#');
    if (run >= 0) {
        int end = run;
        while (end < id.size() && id.at(end) == '#')
            ++end;
        id.replace(run, end - run, QByteArray::number(number).rightJustified(end - run, '0'));
    }
    return id + "\r\n";
}

QByteArray valueField(double value, int decimals)
{
    // Nine places for the number: keep within them.
    const auto [negative, digits] = number(value, decimals, kFieldWidth - 1);
    return (negative ? '-' : '+') + digits.rightJustified(kFieldWidth - 1, ' ');
}

QByteArray makerLine(Maker maker, double value, int decimals, const QByteArray &unit, bool stable)
{
    const QByteArray crlf = "\r\n";
    switch (maker) {
    case Maker::Sartorius:
    case Maker::Automatic:
    case Maker::Barcode:
        break;
    case Maker::MettlerToledoSics: {
        // "S S     100.00 g": the weight right-aligned in 10 places, sign at the digits.
        const auto [negative, digits] = number(value, decimals, 9);
        return (stable ? "S S " : "S D ") + ((negative ? "-" : "") + digits).rightJustified(10) + ' ' + unit + crlf;
    }
    case Maker::AndStandard: {
        // "ST,+00012.78  g": sign and 8 places padded with zeros, unit in 3.
        const auto [negative, digits] = number(value, decimals, 8);
        return (stable ? "ST," : "US,") + QByteArray(1, negative ? '-' : '+') + digits.rightJustified(8, '0')
               + unit.right(3).rightJustified(3) + crlf;
    }
    case Maker::Ohaus: {
        // "    192.21 g      ?": weight in 10 places, unit in 5, "?" while unstable.
        const auto [negative, digits] = number(value, decimals, 9);
        return ((negative ? "-" : "") + digits).rightJustified(10) + ' ' + fixed(unit, 5) + ' ' + (stable ? ' ' : '?')
               + crlf;
    }
    case Maker::RadwagKern: {
        // "? -    2.237 lb ": mark, sign, mass in 9 places, unit in 3.
        const auto [negative, digits] = number(value, decimals, 9);
        return QByteArray(stable ? "  " : "? ") + (negative ? '-' : ' ') + digits.rightJustified(9) + ' '
               + fixed(unit, 3) + crlf;
    }
    case Maker::Shimadzu: {
        // "S-  186.65g ": stability, sign, 8 places, the unit right after them, CR.
        const auto [negative, digits] = number(value, decimals, 8);
        return (stable ? 'S' : 'U') + QByteArray(1, negative ? '-' : ' ') + digits.rightJustified(8)
               + fixed(unit, 2) + '\r';
    }
    }
    return printLine(16, QByteArray(), value, decimals, unit);
}

QByteArray printLine(int layout, const QByteArray &header, double value, int decimals, const QByteArray &unit)
{
    return headerFor(layout, header) + valueField(value, decimals) + tail(unit);
}

QByteArray errorLine(int layout, int code)
{
    const QByteArray field = "   Err " + QByteArray::number(code % 100).rightJustified(2, '0');
    return headerFor(layout, QByteArray()) + fixed(field, kFieldWidth) + tail(QByteArray());
}

QByteArray statusLine()
{
    return "Stat  " + fixed("    Busy", kFieldWidth) + tail(QByteArray());
}

BalanceSimulator::BalanceSimulator(const Scenario &scenario, Sink sink, QObject *parent)
    : QObject(parent)
    , m_scenario(scenario)
    , m_sink(std::move(sink))
    , m_random(scenario.seed)
    , m_loadRandom(scenario.seed + 1000003u)
    , m_momentRandom(scenario.seed + 2000003u)
    , m_value(scenario.value)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &BalanceSimulator::tick);
}

void BalanceSimulator::start()
{
    m_timer.start(nextGapMs());
}

void BalanceSimulator::stop()
{
    m_timer.stop();
}

int BalanceSimulator::nextGapMs()
{
    const int interval = std::max(0, m_scenario.intervalMs);
    if (m_scenario.maker != Maker::Barcode && m_scenario.printOn != PrintOn::Key)
        return interval;
    std::uniform_int_distribution<int> gap(interval / 2, interval + interval / 2);
    return gap(m_momentRandom);
}

double BalanceSimulator::nextLoad()
{
    if (++m_loadsPut == 1)
        return m_scenario.value;
    const double base = m_scenario.value != 0 ? m_scenario.value : 100.0;
    std::uniform_real_distribution<double> factor(0.5, 1.5);
    double load = m_load;
    for (int tries = 0; load == m_load && tries < 10; ++tries)
        load = rounded(base * factor(m_loadRandom), m_scenario.decimals);
    return load == m_load ? rounded(load + 1, m_scenario.decimals) : load;
}

std::optional<BalanceSimulator::Shown> BalanceSimulator::weigh()
{
    if (m_scenario.printOn == PrintOn::Key) {
        m_load = nextLoad();
        return Shown{m_load, true};
    }
    if (m_step >= m_phaseSteps) {
        m_step = 0;
        switch (m_phase) {
        case Phase::Empty:
            m_phase = Phase::Settling;
            m_load = nextLoad();
            m_phaseSteps = std::uniform_int_distribution<int>(3, 5)(m_loadRandom);
            break;
        case Phase::Settling:
            m_phase = Phase::Settled;
            m_phaseSteps = 3;
            break;
        case Phase::Settled:
            m_phase = Phase::Removing;
            m_phaseSteps = 2;
            break;
        case Phase::Removing:
            m_phase = Phase::Empty;
            m_phaseSteps = 3;
            break;
        }
    }
    ++m_step;
    const int remaining = m_phaseSteps - m_step + 1;
    Shown shown{0.0, true};
    switch (m_phase) {
    case Phase::Settling: {
        // Swinging about the load, less at each step, never on it.
        const double spread = std::max(10 * m_scenario.drift, 10 * std::pow(10.0, -m_scenario.decimals));
        const double side = std::bernoulli_distribution(0.5)(m_loadRandom) ? 1 : -1;
        shown = {m_load + side * spread * remaining / m_phaseSteps, false};
        break;
    }
    case Phase::Settled:
        shown = {m_load, true};
        if (m_scenario.printOn == PrintOn::Stable && m_step > 1)
            return std::nullopt;
        break;
    case Phase::Removing:
        shown = {m_load * remaining / (m_phaseSteps + 1), false};
        break;
    case Phase::Empty:
        shown = {0.0, true};
        break;
    }
    if (m_scenario.printOn == PrintOn::Stable && m_phase != Phase::Settled)
        return std::nullopt;
    shown.value = rounded(shown.value, m_scenario.decimals);
    return shown;
}

QByteArray BalanceSimulator::weightLine(double value, bool stable) const
{
    // A Sartorius balance prints the unit only once the weight has settled.
    if (m_scenario.maker == Maker::Sartorius)
        return printLine(m_scenario.layout, m_scenario.header, value, m_scenario.decimals,
                         stable ? m_scenario.unit : QByteArray());
    return makerLine(m_scenario.maker, value, m_scenario.decimals, m_scenario.unit, stable);
}

QList<QByteArray> BalanceSimulator::nextPieces()
{
    const bool scanner = m_scenario.maker == Maker::Barcode;
    std::optional<Shown> shown;
    if (!scanner && m_scenario.printOn != PrintOn::Interval) {
        shown = weigh();
        if (!shown)
            return {};
    }
    ++m_lines;
    QList<QByteArray> pieces;

    if (every(m_scenario.garbageEvery)) {
        std::uniform_int_distribution<int> length(3, 24);
        std::uniform_int_distribution<int> byte(0, 255);
        QByteArray noise;
        for (int i = length(m_random); i > 0; --i) {
            const char c = char(byte(m_random));
            noise += c == '\n' ? '?' : c;
        }
        pieces << noise;
    }

    QByteArray line;
    const bool sartorius = m_scenario.maker == Maker::Sartorius;
    if (scanner) {
        line = scanLine(m_scenario.ids, m_lines);
    } else if (sartorius && every(m_scenario.errorEvery)) {
        line = errorLine(m_scenario.layout, 1 + m_lines % 99);
    } else if (sartorius && every(m_scenario.statusEvery)) {
        line = statusLine();
    } else if (shown) {
        m_value = shown->value;
        line = weightLine(m_value, shown->stable);
    } else {
        const bool stable = sartorius || m_lines % 4 == 0;
        std::uniform_real_distribution<double> step(-m_scenario.drift, m_scenario.drift);
        if (m_lines > 1 && (sartorius || !stable))
            m_value += step(m_random);
        line = weightLine(m_value, stable);
    }

    if (every(m_scenario.splitEvery)) {
        const int cut = line.size() / 2 + 2;
        pieces << line.left(cut) << line.mid(cut);
    } else {
        pieces << line;
    }

    if (every(m_scenario.loneLineFeedEvery))
        pieces << QByteArray("\n");
    return pieces;
}

void BalanceSimulator::tick()
{
    const QList<QByteArray> pieces = nextPieces();
    const int gapMs = nextGapMs();
    if (pieces.isEmpty()) {
        m_timer.start(gapMs);
        return;
    }
    const bool last = m_scenario.count > 0 && m_lines >= m_scenario.count;

    // The pieces of one event go out apart from each other, all before the next event.
    const int gap = std::max(1, gapMs / (2 * int(pieces.size())));
    m_sink(pieces.constFirst());
    for (int i = 1; i < pieces.size(); ++i) {
        const QByteArray piece = pieces.at(i);
        QTimer::singleShot(i * gap, this, [this, piece]() { m_sink(piece); });
    }

    if (last) {
        QTimer::singleShot(int(pieces.size()) * gap, this, &BalanceSimulator::finished);
        return;
    }
    const bool silent = every(m_scenario.silenceEvery);
    m_timer.start(gapMs + (silent ? std::max(0, m_scenario.silenceMs) : 0));
}

} // namespace Veltrano::Sim
