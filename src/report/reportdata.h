#pragma once

#include "support/reading.h"
#include "weighing/seriesstats.h"
#include "weighing/tolerance.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// What a printed weighing report shows, gathered before it is drawn: who
// and what it is about, the rows, their figures and, for its seal, each
// row's key and hash in the chain. Plain values, filled by whoever reads
// the database; the report draws the texts as they are given.
namespace Veltrano {

// Where a result stands against the series' limits.
enum class ResultClass { None, Within, Warning, Outside, BelowMinimum };

// The words the report prints: "within", "warning", "outside",
// "below minimum"; "gross", "net", "tare" (the stored words, see
// weightKindText()). Empty for None and Unknown.
QString resultClassText(ResultClass resultClass);
QString shownKindText(WeightKind kind);
ResultClass resultClassOf(ToleranceClass toleranceClass);

// One instrument as the report names it; any text may be empty.
struct ReportBalance
{
    QString name;
    QString id;
    QString maker;
    QString model;
    QString serial;
};

struct ReportRow
{
    qint64 key = 0;      // the row's key in `data`
    QString hash;        // its hash in the chain, 64 hex digits; empty: no provenance
    QString instrument;  // the balance's name; shown when the rows come from several
    QString sampleId;
    QString date;        // 2026-03-02
    QString time;        // 14:05:09
    QString result;      // as recorded
    QString unit;
    WeightKind kind = WeightKind::Unknown;
    ResultClass resultClass = ResultClass::None;
    QString position;    // where on the pan it was weighed (a balance check's); empty: not told
};

// The figures of a series, each already formatted with its unit. An empty
// text is printed as a dash; the chart takes the nominal value and the limits
// from the number each text starts with, and leaves out a line without one.
struct ReportStatistics : SeriesFigures
{
    QString nominal;
    QString t1Lower;
    QString t1Upper;
    QString t2Lower;
    QString t2Upper;
    // How many results fall in each class.
    QString within;
    QString warning;
    QString outside;
    QString belowMinimum;
};

// The figures of `stats`, in `unit`: the mean and SD with the readings'
// decimals plus one, the RSD with two, min, max and range with the readings'
// decimals, and the nominal and the T1 and T2 limits of `limits` where set.
ReportStatistics seriesFigures(const SeriesStats &stats, const QString &unit, const ToleranceLimits &limits);

// The outcome of a check of the balance (repeatability, eccentricity, a
// test weight): what was tested, with what, the figures found (lines), the
// criterion and the verdict ("passed", "failed").
struct ReportVerdict
{
    QString test;
    QString weight;
    QString figures;
    QString criterion;
    QString verdict;
};

// What the report covers: one series, one check, or the rows of a period
// from some instruments (`name` is the series' or the check's name).
struct ReportCoverage
{
    enum Kind { Series, Check, Range };
    Kind kind = Range;
    QString name;
    QStringList instruments;  // for a range: the instruments asked for; empty: all
};

struct ReportData
{
    QString lab;                      // report.ini [report] lab; may be empty
    QVector<ReportBalance> balances;  // the instruments the rows come from
    QString version;                  // Veltrano's
    QDateTime from;                   // the period; an invalid end is open
    QDateTime to;
    QStringList operators;
    QDateTime madeAt;                 // when the report was made
    ReportCoverage coverage;
    QVector<ReportRow> rows;          // in the order shown
    std::optional<ReportStatistics> statistics;
    std::optional<ReportVerdict> verdict;
    // The balance's checks at the newest row, as Checks::describe() words
    // it ("qualified until 2026-12-17"); empty: no status to tell.
    QString balanceChecks;
    QString chainHead;                // the chain head (hash) the rows were read under
};

} // namespace Veltrano
