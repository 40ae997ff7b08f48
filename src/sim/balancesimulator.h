#pragma once

#include "support/makers.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>
#include <random>

namespace Veltrano::Sim {

// Whose print lines a simulated balance sends: the line format of the
// instruments' types (support/makers.h); Barcode plays a barcode scanner.
using Maker = Makers::Format;

// The maker of a type value that the simulator plays: every type but
// "automatic" ("sartoriusBasic" and "sartoriusSignum" are Sartorius, "barcode"
// a scanner); false for another name.
bool makerNamed(const QString &name, Maker *maker);

// When a simulated balance prints.
enum class PrintOn {
    Interval,         // a line every intervalMs: Sartorius's all stable, the
                      // others' three unstable, then one settled
    Key,              // at each press of its print key, at random moments:
                      // one stable line of the load on it, a new load each time
    Stable,           // once a load settles: one stable line, then nothing
                      // while the load is taken off and the next put on
    ContinuousLoads,  // a line every intervalMs while loads come and go: each
                      // put on, unstable until it settles, stable lines, taken
                      // off, stable zero lines
};

// The print mode of a --print-on value ("interval", "key", "stable",
// "continuous-loads"); false for another name.
bool printOnNamed(const QString &name, PrintOn *printOn);

// How a simulated balance behaves. The "every" counts pick print lines by
// their number (1, 2, ...): with errorEvery = 5 lines 5, 10, 15, ... are error
// lines. 0 switches a behaviour off.
struct Scenario
{
    Maker maker = Maker::Sartorius;
    int layout = 16;               // Sartorius print-line length: 16 (no header) or 22 (header)
    PrintOn printOn = PrintOn::Interval;
    int intervalMs = 1000;         // time between two print lines; between key presses and
                                   // scans, on average
    double value = 100.0;          // first weight shown (the first load)
    double drift = 0.05;           // largest change from one line to the next
    int decimals = 2;              // digits after the decimal point
    QByteArray unit = "g";         // up to 3 characters
    QByteArray header = "N";       // up to 6 characters, 22-byte layout only
    // Sartorius only:
    int errorEvery = 0;            // an error line ("Err" and a code at bytes 3-5 of the value field)
    int statusEvery = 0;           // a 22-byte status line ("Stat" header)
    // Any maker, and the scanner:
    int splitEvery = 0;            // the line is sent in two fragments
    int loneLineFeedEvery = 0;     // a lone line feed follows the line
    int garbageEvery = 0;          // noise bytes (no line feed) come before the line
    int silenceEvery = 0;          // after the line the balance is silent ...
    int silenceMs = 0;             // ... for this long
    int count = 0;                 // lines to play before finishing; 0: forever
    quint32 seed = 1;              // for the drift, the loads, the moments and the noise
    // A scanner's sample IDs, sent in turn and again from the first; a run of
    // "#" in one stands for the number of the scan, zero-padded ("S-####":
    // S-0001, S-0002, ...).
    QList<QByteArray> ids = {"S-####"};
};

// The value field of a print line: 10 bytes, sign first, the number right-aligned.
QByteArray valueField(double value, int decimals);
// A print line of the given layout, ending in carriage return and line feed.
QByteArray printLine(int layout, const QByteArray &header, double value, int decimals, const QByteArray &unit);
// A print line in another maker's layout, with its own line end; `unit` up
// to 3 characters. A Sartorius 16-byte line for a format that is no
// balance's own (Automatic, Barcode).
QByteArray makerLine(Maker maker, double value, int decimals, const QByteArray &unit, bool stable);
// A scanner's line: the sample ID of scan `number` (1, 2, ...) of `ids`, as
// Scenario::ids tells, and CR LF.
QByteArray scanLine(const QList<QByteArray> &ids, int number);
// An error line: "Err" and the two-digit code at bytes 3-8 of the value field.
QByteArray errorLine(int layout, int code);
// A 22-byte status line.
QByteArray statusLine();

// Plays a balance: at each line event (every intervalMs, or at random
// moments for key presses and scans) one print line, or what the scenario puts
// in its place, is handed to the sink, in one or more pieces.
class BalanceSimulator : public QObject
{
    Q_OBJECT
public:
    using Sink = std::function<void(const QByteArray &)>;

    explicit BalanceSimulator(const Scenario &scenario, Sink sink, QObject *parent = nullptr);

    void start();
    void stop();

    // The pieces of the next line event, each one write, without waiting;
    // the drift, the loads and the line count move on. Empty where the
    // balance prints nothing at this step (PrintOn::Stable while a load
    // settles or is taken off). start() plays these on its timer.
    QList<QByteArray> nextPieces();
    // How long to wait for the next line event: intervalMs, or for key
    // presses and scans a random time from half of it to one and a half.
    int nextGapMs();

    // The value of the last print line, and how many lines were played.
    double currentValue() const { return m_value; }
    int lines() const { return m_lines; }

signals:
    void finished();

private:
    enum class Phase { Settling, Settled, Removing, Empty };
    struct Shown
    {
        double value;
        bool stable;
    };

    void tick();
    bool every(int period) const { return period > 0 && m_lines % period == 0; }
    // What the balance shows at the next step of its loads, and whether it
    // prints it in its mode.
    std::optional<Shown> weigh();
    double nextLoad();
    QByteArray weightLine(double value, bool stable) const;

    Scenario m_scenario;
    Sink m_sink;
    QTimer m_timer;
    std::mt19937 m_random;
    std::mt19937 m_loadRandom;     // the loads and their settling
    std::mt19937 m_momentRandom;   // when keys are pressed and codes scanned
    double m_value;
    int m_lines = 0;
    double m_load = 0;
    int m_loadsPut = 0;
    Phase m_phase = Phase::Empty;
    int m_step = 0;                // steps into the phase
    int m_phaseSteps = 0;          // how long the phase lasts
};

} // namespace Veltrano::Sim
