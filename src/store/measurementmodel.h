#pragma once

#include <QAbstractTableModel>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>
#include <QVector>

#include <memory>
#include <vector>

namespace Veltrano {

class RowReader;

// The rows of `data` as the main window shows them: newest first (by date,
// then time, then the order of storing) and read-only.
//
// The model reads the table in pages by sort key, along the sort index, and
// keeps a bounded number of pages: the rows on screen cost the same to show
// at row 10 and at row 900,000 of a million. The row count is known from the
// start, so a view's scroll bar covers the whole table; a jump far down looks
// up the key of the page's first row in the index and reads the page from
// there.
//
// Every read goes through a RowReader: the window never waits for a database
// that is locked or a server that hangs. Rows it could not read in time show
// empty and are filled in once the reader has caught up.
//
// refresh() takes in the rows written since the last look as inserted rows
// (at the top, or at their sorted place when they carry an older time), so a
// view keeps its selection. A table emptied or cut from outside is shown
// again from scratch (a model reset).
class MeasurementModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { Date = 0, Time, InstrumentName, Header, Result, Unit, ColumnCount };
    // The row's provenance state ("live", "repeated", ...; see Provenance),
    // empty for rows without provenance; true under StaleRole for a row
    // that does not hold a line received since the tick before.
    // An immediate read counts as fresh (not stale) when its reading had
    // come at most this long before.
    enum Role { StateRole = Qt::UserRole + 1, StaleRole };
    static constexpr qint64 kFreshImmediateMs = 5000;

    explicit MeasurementModel(QObject *parent = nullptr, const QSqlDatabase &db = QSqlDatabase());
    ~MeasurementModel() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The statement that reads the newest rows (the first page) on `db`.
    static QString newestRowsStatement(const QSqlDatabase &db);

public slots:
    // Takes in the rows written since the last look.
    void refresh();
    // Shows the table from scratch.
    void reload();

private:
    // Where a row sorts: date, time, and the row key for rows of one second.
    struct SortKey
    {
        QString date;
        QString time;
        qint64 key = 0;
        bool isNewerThan(const SortKey &other) const;
        bool operator==(const SortKey &other) const;
    };
    struct Row
    {
        QString text[ColumnCount];
        qint64 key = 0;
        QString state;
        qint64 ageMs = -1;  // of the reading at the tick; -1: not known
        SortKey sortKey() const { return {text[Date], text[Time], key}; }
    };
    // Rows first .. first + rows.size() - 1 of the view, as read.
    struct Page
    {
        int first = 0;
        QVector<Row> rows;
        mutable quint64 used = 0;
        int end() const { return first + rows.size(); }
    };
    enum class Order { NewestFirst, OldestFirst };

    QSqlDatabase database() const;
    RowReader &reader() const;
    // Runs a statement through the reader; false (traced once per spell of
    // failures) when it failed or did not answer in time.
    bool select(const QString &statement, const QVariantList &values, QVector<QVariantList> *result) const;
    // The rows a statement on the columns and the key yields, appended to `rows`.
    bool fetch(const QString &statement, const QVariantList &values, QVector<Row> *rows) const;
    static void bindKey(QVariantList &values, const SortKey &key);
    void caughtUp();
    static QString orderBy(const QString &key, Order order);
    static QString selectRows(const QString &key, Order order, int bounds, bool withState = false);
    // The columns read: the six, the key and, where the table exists, the state.
    static QString columns(const QString &key, bool withState);
    void checkState() const;
    // Up to `limit` rows in `order` after `from` (or from the start) and
    // before `to`, newest first in the result.
    QVector<Row> readRows(Order order, const SortKey *from, bool fromIncluded, const SortKey *to, int limit) const;
    bool keyAt(Order order, int offset, SortKey *key) const;
    bool rowsByKey(const QString &where, const QVariantList &values, QVector<Row> *rows) const;
    int countNewerThan(const SortKey &key) const;

    void load(bool exactCount);
    const Row *rowAt(int row) const;
    const Page *readPage(int row) const;
    const Page *keepPage(Page page) const;
    bool countIsExact() const;
    void tableChanged() const;
    void placeRows(int position, const QVector<Row> &rows);
    void takeIn(const QVector<Row> &rows);

    QString m_connection;
    mutable std::unique_ptr<RowReader> m_reader;
    QString m_key;
    mutable bool m_withState = false;
    int m_count = 0;
    mutable bool m_countExact = true;
    mutable std::vector<Page> m_pages;
    mutable quint64 m_clock = 0;
    mutable bool m_reloadQueued = false;
    mutable bool m_failing = false;
    // The newest and the oldest row, and the one with the highest key (the
    // last written); refresh() checks they are still there.
    SortKey m_newest;
    SortKey m_oldest;
    SortKey m_last;
};

} // namespace Veltrano
