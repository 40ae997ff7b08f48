#pragma once

#include "publish/publishconfig.h"
#include "weighing/seriesstats.h"

#include <QByteArray>
#include <QDateTime>
#include <QPair>
#include <QString>
#include <QVector>

// The files written into the drop folder, one per finished series and one
// per check result, and the one place that says how they look: CSV (comma
// separated, quoted where needed, UTF-8, CRLF) or JSON (UTF-8, indented).
namespace Veltrano {

struct SeriesWeighing
{
    QString sample;
    QString date;  // ISO date
    QString time;  // ISO time
    QString result;
    QString unit;
    QString kind;
    QString weighingClass;
    QString hash;  // of its row
};

// Every figure as the text the program shows: nothing is formatted again here.
struct SeriesSummary : SeriesFigures
{
    QString nominal;
    QVector<QPair<QString, QString>> classCounts;  // class, how many, in the order shown
};

struct SeriesFile
{
    QString instrument;  // the instrument id
    QString name;        // its display name
    QString series;
    QString first;  // of the first and last weighing, as shown
    QString last;
    QString unit;
    QVector<SeriesWeighing> weighings;
    SeriesSummary summary;
};

struct CheckFile
{
    QString instrument;
    QString test;
    QString date;
    QString time;
    QString operatorName;
    QString weight;
    QString nominal;
    QString n;
    QString mean;
    QString sd;
    QString deviation;
    QString criterion;
    QString verdict;
};

namespace DropFiles {

// CSV: a header line, one line per weighing (instrument, name and series on
// each), an empty line, then the summary as "figure,value" lines.
QByteArray content(const SeriesFile &file, DropConfig::Format format);
// CSV: a header line and the one line of the check.
QByteArray content(const CheckFile &file, DropConfig::Format format);

// The file's name: instrument, series (or "check" and the test) and `at` as
// yyyyMMdd-HHmmss, each reduced to letters, digits, '-' and '_' (anything
// else becomes '_', each part at most 60 characters), and the format's
// extension. `serial` above 1 is appended as -2, -3, ... for uniqueness.
QString name(const SeriesFile &file, const QDateTime &at, DropConfig::Format format, int serial = 1);
QString name(const CheckFile &file, const QDateTime &at, DropConfig::Format format, int serial = 1);

// One field of a CSV line: quoted (quotes doubled) when it holds a comma, a
// quote, a line break or leading or trailing blanks.
QString csvField(const QString &text);

} // namespace DropFiles

} // namespace Veltrano
