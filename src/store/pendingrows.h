#pragma once

#include "store/measurementdb.h"

#include <QByteArray>
#include <QVector>

class QFileDevice;

namespace Veltrano {

// The pending-rows file: rows the database refused, kept on disk until they
// are written. One row per line, its six texts as UTF-8 in Base64 separated
// by commas, so that any text (line breaks, commas, zero characters, any
// length) comes back exactly, followed by the row's provenance in the same
// form (lines of six fields, from before rows carried it, are read too). A
// line is complete only with its line feed.
namespace PendingRows {

QByteArray encode(const MeasurementDb::Row &row);

struct Content
{
    QVector<MeasurementDb::Row> rows;  // the complete, readable lines, in order
    bool torn = false;                 // the last line lacks its line feed (cut by a crash)
    int unreadable = 0;                // complete lines that are not rows
};
Content decode(const QByteArray &bytes);

} // namespace PendingRows

} // namespace Veltrano
