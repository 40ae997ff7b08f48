#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTimer>

#include <functional>
#include <random>

namespace Veltrano::Sim {

// Whose print lines a simulated balance sends; named as the `type` values of
// the instruments ("mettlerToledoSics", ...).
enum class Maker { Sartorius, MettlerToledoSics, AndStandard, Ohaus, RadwagKern, Shimadzu };

// The maker of a type value ("sartoriusBasic" and "sartoriusSignum" are
// Sartorius); false for an unknown name.
bool makerNamed(const QString &name, Maker *maker);

// How a simulated balance behaves. The "every" counts pick print lines by
// their number (1, 2, ...): with errorEvery = 5 lines 5, 10, 15, ... are error
// lines. 0 switches a behaviour off.
struct Scenario
{
    Maker maker = Maker::Sartorius;
    int layout = 16;               // Sartorius print-line length: 16 (no header) or 22 (header)
    int intervalMs = 1000;         // time between two print lines
    double value = 100.0;          // first weight shown
    double drift = 0.05;           // largest change from one line to the next
    int decimals = 2;              // digits after the decimal point
    QByteArray unit = "g";         // up to 3 characters
    QByteArray header = "N";       // up to 6 characters, 22-byte layout only
    // Sartorius only:
    int errorEvery = 0;            // an error line ("Err" and a code at bytes 3-5 of the value field)
    int statusEvery = 0;           // a 22-byte status line ("Stat" header)
    // The other makers' lines are marked unstable, all but every fourth,
    // which repeats the value before it as settled.
    int splitEvery = 0;            // the line is sent in two fragments
    int loneLineFeedEvery = 0;     // a lone line feed follows the line
    int garbageEvery = 0;          // noise bytes (no line feed) come before the line
    int silenceEvery = 0;          // after the line the balance is silent ...
    int silenceMs = 0;             // ... for this long
    int count = 0;                 // lines to play before finishing; 0: forever
    quint32 seed = 1;              // for the drift and the noise
};

// The value field of a print line: 10 bytes, sign first, the number right-aligned.
QByteArray valueField(double value, int decimals);
// A print line of the given layout, ending in carriage return and line feed.
QByteArray printLine(int layout, const QByteArray &header, double value, int decimals, const QByteArray &unit);
// A print line in another maker's layout, with its own line end; `unit` up
// to 3 characters.
QByteArray makerLine(Maker maker, double value, int decimals, const QByteArray &unit, bool stable);
// An error line: "Err" and the two-digit code at bytes 3-8 of the value field.
QByteArray errorLine(int layout, int code);
// A 22-byte status line.
QByteArray statusLine();

// Plays a balance: every intervalMs one print line (or what the scenario puts
// in its place) is handed to the sink, in one or more pieces.
class BalanceSimulator : public QObject
{
    Q_OBJECT
public:
    using Sink = std::function<void(const QByteArray &)>;

    explicit BalanceSimulator(const Scenario &scenario, Sink sink, QObject *parent = nullptr);

    void start();
    void stop();

    // The pieces of the next line event, each one write, without waiting;
    // the drift and the line count move on. start() plays these on its timer.
    QList<QByteArray> nextPieces();

    // The value of the last print line, and how many line events were played.
    double currentValue() const { return m_value; }
    int lines() const { return m_lines; }

signals:
    void finished();

private:
    void tick();
    bool every(int period) const { return period > 0 && m_lines % period == 0; }

    Scenario m_scenario;
    Sink m_sink;
    QTimer m_timer;
    std::mt19937 m_random;
    double m_value;
    int m_lines = 0;
};

} // namespace Veltrano::Sim
