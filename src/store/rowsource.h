#pragma once

#include <QDateTime>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>

// The recorded rows read out of `data` in order, for the exports and for
// whoever presets a choice of rows.
namespace Veltrano::DataRows {

// What a row gives: the five exported columns (the stored `header` is not
// read) and, when asked, its provenance: its state, when its reading was
// received (UTC), its age at the tick in milliseconds, its hash in the
// chain, and whether its balance was qualified (empty, overdue, failed);
// empty for rows without provenance.
enum Column { DateColumn, TimeColumn, NameColumn, ResultColumn, UnitColumn, ColumnCount };
inline constexpr int kProvenanceColumnCount = 5;
// Rows that are weighings can give, after the five columns, the stored
// header and the weighing's sample, series, trigger, kind, operator, class
// and the nominal it was checked against.
enum WeighingColumn { HeaderColumn, SampleColumn, SeriesColumn, TriggerColumn, KindColumn, OperatorColumn, ClassColumn,
                      NominalColumn, WeighingColumnCount };

// Which rows go out: both ends inclusive to the second, an invalid end is
// open; no names means every instrument, otherwise exact stored names.
struct Selection
{
    QDateTime from;
    QDateTime to;
    QStringList instruments;
};

// The selected rows of `data`, oldest first by date, time and row key, read
// forward only through the sort index. The rows are fetched in pages, each a
// short statement of its own, so that a long export never keeps a writer out
// of the database for longer than one page takes.
class PageReader;

class RowSource
{
public:
    // `weighings`: only the rows that are weighings, each also giving
    // WeighingColumnCount texts; `provenance`: each row then also gives
    // kProvenanceColumnCount texts.
    RowSource(const QSqlDatabase &db, const Selection &selection, bool provenance = false, bool weighings = false);
    ~RowSource();
    RowSource(const RowSource &) = delete;
    RowSource &operator=(const RowSource &) = delete;

    // How many rows are selected; -1 on failure (see error()).
    qint64 count();
    // Steps to the next row and puts its ColumnCount texts (and the
    // provenance's) into `values`;
    // false at the end or on failure (see error()).
    bool next(QString *values);
    // The database's text of the last failure, empty when there was none.
    QString error() const { return m_error; }

private:
    QString from() const;
    QString conditions(bool afterKey) const;
    QVariantList bindings(bool afterKey) const;
    bool fail(const QString &error);

    QSqlDatabase m_db;
    Selection m_selection;
    QString m_key;
    bool m_provenance = false;
    bool m_provenanceTable = false;
    bool m_checkColumn = false;
    bool m_weighings = false;
    bool m_weighingTable = false;
    std::unique_ptr<PageReader> m_page;
    bool m_pageOpen = false;
    bool m_atEnd = false;
    int m_pageRows = 0;
    QVariant m_lastKey;
    QString m_lastDate;
    QString m_lastTime;
    QString m_error;
};

// What the table holds, to preset a choice of rows: the first and the last
// recorded date-time (invalid without rows) and the names, sorted.
struct Recorded
{
    QDateTime first;
    QDateTime last;
    QStringList instruments;
    QString error;  // the database's text when it could not be read
};
Recorded recorded(const QSqlDatabase &db);

// Of the exact names given, those that no recorded row carries, each with the
// recorded names that differ from it only in case.
struct Unmatched
{
    QString name;
    QStringList otherCase;
    // no row of the instrument "b1" is recorded (names are case-sensitive, recorded: "B1")
    QString warning() const;
};
QList<Unmatched> unmatchedInstruments(const QSqlDatabase &db, const QStringList &names, QString *error);

} // namespace Veltrano::DataRows
