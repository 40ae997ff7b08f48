#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

#include <optional>
#include <utility>

namespace Veltrano {

// How a row came about, kept beside it (table `provenance`): what the tick
// knew of the reading it holds, and who recorded it. The collector, the place
// in its chain and the hashes are added when the row is written.
struct Provenance
{
    // The link at the tick, as stored and shown.
    static constexpr char kLive[] = "live";                 // a line arrived since the last tick
    static constexpr char kRepeated[] = "repeated";         // the balance is silent: the last reading again
    static constexpr char kAway[] = "away";                 // the port is closed or being reopened
    static constexpr char kNoReading[] = "no reading yet";
    static constexpr char kImmediate[] = "immediate read";

    QString instrument;   // the instrument id
    QString tickUtc;      // the tick, ISO 8601 UTC with milliseconds: 2026-12-07T21:35:00.123Z
    int offsetSeconds = 0;  // local time minus UTC at the tick
    QString receivedUtc;  // when the reading arrived, as tickUtc; empty: no reading yet
    qint64 ageMs = -1;    // the reading's age at the tick; -1: no reading yet
    QByteArray raw;       // the reading's line as received
    QString state;        // one of the texts above; empty: not known (rows from elsewhere)
    QString host;
    QString user;
    // Whether the balance's routine checks were current: empty, or "overdue"
    // or "failed" (see the balance checks).
    QString check;
    static constexpr char kCheckOverdue[] = "overdue";
    static constexpr char kCheckFailed[] = "failed";
};

// What makes a row a weighing: one result of one sample (table `weighing`,
// beside the row, in the same transaction and covered by the row's hash).
struct Weighing
{
    // How it came about.
    static constexpr char kPrint[] = "print";          // a line the balance printed on its own
    static constexpr char kStable[] = "stable";        // the reading settled at a new load
    static constexpr char kImmediate[] = "immediate";  // an immediate read
    // What the weight is, from the line's own mark.
    static constexpr char kGross[] = "gross";
    static constexpr char kNet[] = "net";
    static constexpr char kTare[] = "tare";
    static constexpr char kUnknown[] = "unknown";

    QString sample;        // the sample's ID; empty: none was waiting
    QString series;
    QString trigger;
    QString kind;
    QString operatorName;  // the operating-system user
    QString weighingClass; // within, warning, outside, below minimum; empty without limits
    QString nominal;       // the nominal it was checked against, as written; empty: none

    bool operator==(const Weighing &other) const
    {
        return sample == other.sample && series == other.series && trigger == other.trigger && kind == other.kind
               && operatorName == other.operatorName && weighingClass == other.weighingClass && nominal == other.nominal;
    }
};

// One recorded row of `data`, all six columns as text: what a sampling tick
// hands to the store, what the store writes and the exports read. The
// provenance travels with a row on its way in; rows read back leave it empty.
struct Row
{
    Row() = default;
    Row(QString date, QString time, QString name, QString header, QString result, QString unit,
        Provenance provenance = {})
        : date(std::move(date)), time(std::move(time)), name(std::move(name)), header(std::move(header)),
          result(std::move(result)), unit(std::move(unit)), provenance(std::move(provenance))
    {
    }

    QString date;    // ISO date, 2014-06-30
    QString time;    // ISO time to the second, 14:05:09
    QString name;    // the instrument's display name
    QString header;
    QString result;
    QString unit;
    Provenance provenance;
    std::optional<Weighing> weighing;  // nothing: a row of the time series
};

} // namespace Veltrano

Q_DECLARE_METATYPE(Veltrano::Row)
