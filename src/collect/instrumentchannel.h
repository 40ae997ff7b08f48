#pragma once

#include "collect/instrumentconfig.h"
#include "collect/link.h"
#include "collect/makerlines.h"
#include "support/operatormessage.h"
#include "support/row.h"
#include "weighing/weighingrecorder.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

namespace Veltrano {

class InstrumentStates;
using Config::InstrumentSettings;

// One instrument of a running collection: its link (a serial port or a
// network link), its receive buffer and line format, its latest reading, its
// sampling timer and its live state. Each tick takes the latest reading as
// a row, stamped with the tick's date and time, and hands it on (sampled());
// the channel never waits for it to be written, nor for anyone to read what
// it tells (problem()).
//
// A link that fails is told once and reopened quietly every kReconnectMs
// until it opens or the channel goes; it is told again only after a line
// came through, so a balance that keeps dropping its connection is one
// message, not one a try. A serial port that cannot be opened at the start
// stays closed, as a start of collection leaves it.
class InstrumentChannel : public QObject
{
    Q_OBJECT
public:
    static constexpr int kReconnectMs = 2000;

    // The latest accepted reading and the line it came in.
    struct Latest
    {
        bool present = false;
        QString header;
        QString result;
        QString unit;
        Stability stability = Stability::Unknown;
        WeightKind weight = WeightKind::Unknown;
        qint64 at = 0;      // when it arrived, ms since the epoch
        QByteArray raw;     // the line as received
        quint64 serial = 0; // its number among this channel's readings
    };

    // Registers with `states` (which must outlive the channel).
    InstrumentChannel(const InstrumentSettings &settings, InstrumentStates *states, QObject *parent = nullptr);
    ~InstrumentChannel() override;

    // Opens the link; what fails at this first open is told.
    void openLink();
    // Starts the sampling timer; an invalid interval is told and no timer runs.
    void startTimer();

    QString id() const { return m_settings.id; }
    const InstrumentSettings &settings() const { return m_settings; }
    const Latest &latest() const { return m_latest; }
    // Bytes received that do not yet make a whole line.
    const QByteArray &unparsed() const { return m_buffer; }
    const Link *link() const { return m_link.get(); }
    const QTimer &timer() const { return m_timer; }
    bool reconnecting() const { return m_reconnecting; }

    // What the link read: appended to the buffer and parsed line by line.
    void receive(const QByteArray &bytes);
    // Takes the latest reading as a row now: a tick, or an immediate read
    // (which leaves the ticks' rhythm alone). On an instrument that records
    // weighings, an immediate read is one; a barcode scanner records none.
    void sample(bool immediate = false);

    // Weighings: an instrument whose `record` is print or stable makes a row
    // of each weighing its lines make, and none at the ticks.
    bool recordsWeighings() const { return m_weighings.records(); }
    // A barcode scanner: its lines are the sample IDs of another instrument.
    bool isScanner() const { return m_format == PrintLine::Format::Barcode; }
    QString scannerFor() const;
    const WeighingRecorder &weighings() const { return m_weighings; }
    // What the window or a scanner sets for the next weighing; each tells
    // nextSampleChanged().
    void setTypedSample(const QString &sampleId);
    void scanned(const QString &sampleId);
    bool setSamplePattern(const QString &pattern, QString *error);
    void startSeries(const QString &series);
    void openWorklist(std::unique_ptr<ListedWorklist> list);
    void setWorklistSource(WorklistSource *source);
    // Tells nextSampleChanged() when the next sample is not what was told last.
    void tellNextSample();
    // Whether the balance's routine checks are current, as every row and
    // weighing from now on carries it (Provenance::check: empty, overdue or
    // failed), the status as the operator reads it (its live state), and
    // the minimum weight its last repeatability test gave.
    void setQualification(const QString &check, const QString &status, std::optional<double> checkedMinimumWeight);
    QString qualification() const { return m_check; }

signals:
    void sampled(const Veltrano::Row &row);
    void problem(const Veltrano::OperatorMessage &message);
    // The link opened at the start, was reopened, or was closed after it failed.
    void opened(const QString &port);
    void reconnected(const QString &port);
    void closedAfterError(const QString &port);
    // A scanner read `sampleId` for the instrument `target`.
    void sampleScanned(const QString &target, const QString &sampleId);
    // What the next weighing will take changed (a weighing took it, or it was set).
    void nextSampleChanged(const Veltrano::NextSample &next);

private:
    void processBuffer();
    void linkConnected();
    void linkFailed(const QString &reason, bool wasOpen);
    void portError(int code);
    void settingFailed(const QString &text);
    void reconnect();
    void tell(OperatorMessage::Kind kind, const QString &line, const QString &text);
    Provenance provenanceAt(const QDateTime &now, bool immediate);
    Row rowAt(const QDateTime &now, bool immediate);
    ScaleReading latestReading() const;
    void weigh(Weighing weighing, const QString &worklistError);

    InstrumentSettings m_settings;
    InstrumentStates *m_states;
    QStringList m_settingErrors;  // the weighing keys' refused values
    PrintLine::Format m_format;
    WeighingRecorder m_weighings;
    std::optional<NextSample> m_nextTold;
    bool m_network;
    std::unique_ptr<Link> m_link;
    QByteArray m_buffer;
    Latest m_latest;
    quint64 m_readings = 0;
    quint64 m_takenAtLastTick = 0;
    QTimer m_timer;
    QTimer m_reconnectTimer;
    bool m_firstOpen = false;     // inside the start's open of the link
    bool m_reconnecting = false;  // the link is closed and being reopened
    bool m_failureTold = false;   // told since the last line came through
    QSet<int> m_errorsTold;       // port error codes told in this run
    QString m_check;              // Provenance::check of the rows it makes
};

} // namespace Veltrano
