#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

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
};

} // namespace Veltrano

Q_DECLARE_METATYPE(Veltrano::Row)
