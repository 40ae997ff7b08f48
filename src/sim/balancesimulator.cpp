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

} // namespace

QByteArray valueField(double value, int decimals)
{
    decimals = std::clamp(decimals, 0, kMaxDecimals);
    // Nine places for the number: keep within them.
    const int integerDigits = 9 - (decimals > 0 ? decimals + 1 : 0);
    const double largest = std::pow(10.0, integerDigits) - std::pow(10.0, -decimals);
    value = std::clamp(value, -largest, largest);
    const bool negative = std::round(value * std::pow(10.0, decimals)) < 0;
    const QByteArray number = QByteArray::number(std::fabs(value), 'f', decimals);
    return (negative ? '-' : '+') + number.rightJustified(kFieldWidth - 1, ' ');
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
    if (every(m_scenario.errorEvery)) {
        line = errorLine(m_scenario.layout, 1 + m_lines % 99);
    } else if (every(m_scenario.statusEvery)) {
        line = statusLine();
    } else {
        std::uniform_real_distribution<double> step(-m_scenario.drift, m_scenario.drift);
        if (m_lines > 1)
            m_value += step(m_random);
        line = printLine(m_scenario.layout, m_scenario.header, m_value, m_scenario.decimals, m_scenario.unit);
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
