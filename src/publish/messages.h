#pragma once

#include "support/reading.h"
#include "support/row.h"

#include <QByteArray>
#include <QString>

#include <optional>

// What is published over MQTT, and the one place that says how each looks:
// compact JSON in UTF-8, under PREFIX/ID/reading, PREFIX/ID/row and
// PREFIX/ID/weighing, ID being the instrument id as one topic level.
namespace Veltrano {

// An instrument's latest reading, as the live view shows it.
struct LiveReading
{
    QString instrument;  // the instrument id
    QString name;        // its display name
    QString result;
    QString unit;
    Stability stability = Stability::Unknown;
    QString atUtc;       // when it arrived, ISO 8601 UTC with milliseconds
};

// What a weighing adds to its row; empty texts are left out of the message.
struct PublishedWeighing
{
    QString sample;
    QString series;
    QString trigger;
    QString kind;
    QString operatorName;
    QString weighingClass;
};

// A row as the database took it: its values, its provenance, its key and the
// hash that links it into its collector's chain; with the weighing it was,
// if it was one.
struct PublishedRow
{
    QString instrument;  // the instrument id
    Row row;
    qint64 key = 0;
    QString hash;
    std::optional<PublishedWeighing> weighing;
};

// One message: where it goes and what it says.
struct Message
{
    QByteArray topic;
    QByteArray payload;
};

namespace Messages {

// `text` as one topic level: '/', '+', '#', '%' and the zero character
// percent-encoded (so no id can break the topic tree or pose as a wildcard),
// and a leading '$' too (the broker's own topics begin with it).
QString topicLevel(const QString &text);

// {instrument, name, result, unit, stable (true, false or null), at}
Message reading(const QString &prefix, const LiveReading &reading);
// {sampling_date, sampling_time, instrument_id (the name), header, result,
//  unit, state, key, hash}
Message row(const QString &prefix, const PublishedRow &row);
// The row's six values, then sample, series, trigger, kind, operator, class
// where given, and hash.
Message weighing(const QString &prefix, const PublishedRow &row);

} // namespace Messages

using Messages::topicLevel;

} // namespace Veltrano
