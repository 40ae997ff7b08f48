#pragma once

#include <QString>

namespace Veltrano {

// One recorded row of `data`, all six columns as text: what a sampling tick
// hands to the store, what the store writes and the exports read.
struct Row
{
    QString date;    // ISO date, 2014-06-30
    QString time;    // ISO time to the second, 14:05:09
    QString name;    // the instrument's display name
    QString header;
    QString result;
    QString unit;
};

} // namespace Veltrano
