#pragma once

#include "report/reportdata.h"
#include "report/reportsettings.h"

#include <QDateTime>
#include <QHash>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// The rows a report shows, read out of the database: those of one series, or
// those of a period (both ends inclusive to the second, an invalid end open)
// from some instruments (none: all), oldest first by date, time and key; or
// the weighings of one balance check, in the order the check took them.
namespace Veltrano::ReportSource {

struct Request
{
    QString series;  // not empty: the series' weighings, whatever the period
    QDateTime from;
    QDateTime to;
    QStringList instruments;
    qint64 check = 0;  // not 0: the check record of this id, its weighings and its verdict
};

// Fills `data` with the rows, the balances they come from (their ids from the
// sections of `settingsPath` of the same name), the operators, the period,
// the statistics of a series (its limits from its balance's section) and the
// chain head, all read in one transaction. Each balance's maker, model and
// serial come from the balance register where it has the balance (looked up
// by the id its rows' provenance names), and for a series its checks' status
// at the newest row. A check fills the verdict, with its reference weight
// from the weight register; a weighing it used that `data` no longer holds
// goes to `warnings`. `data`'s lab, version and madeAt
// are left as they are. Empty on success, else what went wrong; a series
// without weighings, or a check not recorded, is an error. What of settings.ini cannot be used for
// the limits goes to `warnings`.
QString read(const QSqlDatabase &db, const Request &request, const QString &settingsPath, ReportData *data,
             QStringList *warnings);

// The hash each of `keys` has in the database now (empty: a row without
// provenance); keys that `data` no longer holds are left out.
QHash<qint64, QString> currentHashes(const QSqlDatabase &db, const QVector<QPair<qint64, qint64>> &keyRanges,
                                     QString *error);

// What writeReport() made.
struct Written
{
    qsizetype rows = 0;
    int pages = 0;
    QStringList warnings;  // what of report.ini or settings.ini could not be used
};

// The report of `request` written to `output` (replacing a file there only
// once complete): the lab and the paper from report.ini in the working
// folder (`paper`, when given, wins), the balances' ids and limits from its
// settings.ini, the application's version, made now. Empty on success, else
// what went wrong.
QString writeReport(const QSqlDatabase &db, const Request &request, std::optional<PaperSize> paper,
                    const QString &output, Written *written);

} // namespace Veltrano::ReportSource
