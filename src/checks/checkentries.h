#pragma once

#include "checks/checkrules.h"

#include <QDate>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

#include <optional>

// What the registers hold: the balances with the intervals of their routine
// tests, the reference weights with their certificates, and the record of
// every test made. Plain values: the database side is checkregister.h, the
// status they give checkstatus.h.
namespace Veltrano::Checks {

// How often each test is due, in seconds, by test.
using Intervals = QMap<Check, qint64>;

inline constexpr qint64 kHourSeconds = 3600;
inline constexpr qint64 kDaySeconds = 24 * kHourSeconds;

// The test a stored or typed name stands for ("repeatability", ...).
std::optional<Check> checkFromText(const QString &text);

// Intervals as they are typed and stored: "repeatability=7d,accuracy=1d", a
// number with h (hours) or d (days) for each test, each test at
// most once. An empty text is no interval. The error names the first part
// that is not understood (an unknown test among them); empty when read.
QString parseIntervals(const QString &text, Intervals *intervals);
// The same text back, tests in their order, each in the largest unit that
// holds it whole (7d, 36h).
QString intervalsText(const Intervals &intervals);

// The classes of OIML R 111 weights, as written on their certificates.
inline constexpr const char *kWeightClasses[] = {"E1", "E2", "F1", "F2", "M1", "M2", "M3"};
bool isWeightClass(const QString &text);

struct BalanceEntry
{
    QString instrumentId;  // as its rows name it in `data`
    QString maker;
    QString model;
    QString serial;
    std::optional<double> capacity;     // Max, in its unit
    std::optional<double> readability;  // d, in its unit
    QString location;
    Intervals intervals;
    std::optional<double> eccentricityLimit;  // in its unit
    QString changedAt;  // UTC, as audit entries write moments; set when saved
    QString changedBy;

    Balance balance() const { return Balance{readability, capacity}; }
};

struct WeightEntry
{
    QString id;  // as its certificate names it
    double nominal = 0;
    QString unit;
    QString weightClass;  // one of kWeightClasses
    QString certificate;
    QDate due;  // the last day its calibration holds
    QString changedAt;
    QString changedBy;

    TestWeight testWeight() const;
};

// One test as made: its figures and verdict, and the weighings it used.
struct CheckRecord
{
    qint64 id = 0;  // given when stored
    QString instrumentId;
    Check test = Check::Repeatability;
    QString date;  // local, as the rows of `data`: 2026-12-10
    QString time;  // 14:05:09
    QString operatorName;
    QString weightId;
    double nominal = 0;
    int n = 0;
    std::optional<double> mean;
    std::optional<double> sd;
    std::optional<double> deviation;
    QString criterion;
    Verdict verdict = Verdict::Refused;
    QString reason;
    QVector<qint64> rowKeys;  // the rows of `data` weighed
    std::optional<double> minimumWeight;

    // The record of `result`, made with `weight` at `date` and `time`.
    static CheckRecord of(const CheckResult &result, const QString &instrumentId, const WeightEntry &weight,
                          const QString &date, const QString &time, const QString &operatorName,
                          const QVector<qint64> &rowKeys);
};

// A figure of an entry or record as listed and exported: plain decimals,
// no exponent, no trailing zeros (0.00001, 100.00009); empty for none.
QString figureText(const std::optional<double> &value);

// A record as exported and handed over: instrument_id, test, date, time,
// operator, weight, nominal, n, mean, sd, deviation, criterion, verdict.
QStringList recordTexts(const CheckRecord &record);

// The figures of a check, from a fresh result or a stored record.
struct CheckFigures
{
    Check test = Check::Repeatability;
    int n = 0;
    std::optional<double> mean;
    std::optional<double> sd;
    std::optional<double> deviation;  // repeatability: 2 s / m in %; else in the weight's unit
    std::optional<double> minimumWeight;
};

// The figures on one line, as the window, veltrano-check and the report show
// them: "n = 10; mean = 100.00002 g; s = 0.00012 g; deviation = 0.002 %".
// With `decimals` the amounts show that many and a percentage three; without,
// each is shown as figureText shows it.
QString figuresText(const CheckFigures &figures, const QString &unit, int decimals = -1);

// Row keys as stored: "12,13,14"; and back (false on anything else).
QString rowKeysText(const QVector<qint64> &keys);
bool parseRowKeys(const QString &text, QVector<qint64> *keys);

} // namespace Veltrano::Checks
