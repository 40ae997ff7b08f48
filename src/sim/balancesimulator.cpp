#include "balancesimulator.h"

#include <QtMath>

#include <algorithm>
#include <cmath>

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

} // namespace

bool makerNamed(const QString &name, Maker *maker)
{
    static const QList<QPair<QString, Maker>> names = {
        {"sartoriusBasic", Maker::Sartorius}, {"sartoriusSignum", Maker::Sartorius},
        {"mettlerToledoSics", Maker::MettlerToledoSics}, {"andStandard", Maker::AndStandard},
        {"ohaus", Maker::Ohaus}, {"radwagKern", Maker::RadwagKern}, {"shimadzu", Maker::Shimadzu},
    };
    for (const auto &[known, value] : names) {
        if (name == known) {
            *maker = value;
            return true;
        }
    }
    return false;
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
    , m_value(scenario.value)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &BalanceSimulator::tick);
}

void BalanceSimulator::start()
{
    m_timer.start(std::max(0, m_scenario.intervalMs));
}

void BalanceSimulator::stop()
{
    m_timer.stop();
}

QList<QByteArray> BalanceSimulator::nextPieces()
{
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
    if (sartorius && every(m_scenario.errorEvery)) {
        line = errorLine(m_scenario.layout, 1 + m_lines % 99);
    } else if (sartorius && every(m_scenario.statusEvery)) {
        line = statusLine();
    } else {
        const bool stable = sartorius || m_lines % 4 == 0;
        std::uniform_real_distribution<double> step(-m_scenario.drift, m_scenario.drift);
        if (m_lines > 1 && (sartorius || !stable))
            m_value += step(m_random);
        line = sartorius ? printLine(m_scenario.layout, m_scenario.header, m_value, m_scenario.decimals, m_scenario.unit)
                         : makerLine(m_scenario.maker, m_value, m_scenario.decimals, m_scenario.unit, stable);
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
    const bool last = m_scenario.count > 0 && m_lines >= m_scenario.count;

    // The pieces of one event go out apart from each other, all within the interval.
    const int gap = std::max(1, m_scenario.intervalMs / (2 * int(pieces.size())));
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
    m_timer.start(std::max(0, m_scenario.intervalMs) + (silent ? std::max(0, m_scenario.silenceMs) : 0));
}

} // namespace Veltrano::Sim
