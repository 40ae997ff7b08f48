#include "store/measurementmodel.h"
#include "store/sqlbackend.h"

#include "store/measurementdb.h"
#include "store/rowreader.h"
#include "support/row.h"
#include "support/trace.h"

#include <algorithm>
#include <climits>

namespace Veltrano {

namespace {

// Rows read at once, and pages kept: a few screens around every place the
// user has looked at lately, whatever the size of the table.
constexpr int kPageRows = 256;
constexpr std::size_t kMaxPages = 16;
// Tables whose keys span at most this many rows are counted at every load;
// larger ones start from the key span and are counted when first needed (a
// million rows take some 20 ms to count).
constexpr qint64 kCountAtOnce = 10000;
// More rows than this written between two looks: the table is read afresh.
constexpr int kMaxArrivals = 10000;

const char kColumns[] = "sampling_date, sampling_time, instrument_id, header, result, unit";

} // namespace

void MeasurementModel::bindKey(QVariantList &values, const SortKey &key)
{
    values << key.date << key.time << key.key;
}

QString MeasurementModel::orderBy(const QString &key, Order order)
{
    const QLatin1String direction(order == Order::NewestFirst ? " DESC" : " ASC");
    return QLatin1String(" ORDER BY sampling_date") + direction + QLatin1String(", sampling_time") + direction
           + QLatin1String(", ") + key + direction;
}

bool MeasurementModel::fetch(const QString &statement, const QVariantList &values, QVector<Row> *rows) const
{
    QVector<QVariantList> result;
    if (!select(statement, values, &result))
        return false;
    for (const QVariantList &values : qAsConst(result)) {
        Row row;
        for (int column = 0; column < ColumnCount; ++column)
            row.text[column] = values.value(column).toString();
        row.key = values.value(ColumnCount).toLongLong();
        row.state = values.value(ColumnCount + 1).toString();
        const QVariant age = values.value(ColumnCount + 2);
        row.ageMs = age.isNull() ? -1 : age.toLongLong();
        rows->append(row);
    }
    return true;
}

bool MeasurementModel::SortKey::isNewerThan(const SortKey &other) const
{
    if (const int byDate = date.compare(other.date))
        return byDate > 0;
    if (const int byTime = time.compare(other.time))
        return byTime > 0;
    return key > other.key;
}

bool MeasurementModel::SortKey::operator==(const SortKey &other) const
{
    return key == other.key && date == other.date && time == other.time;
}

MeasurementModel::MeasurementModel(QObject *parent, const QSqlDatabase &db)
    : QAbstractTableModel(parent)
    , m_connection(db.isValid() ? db.connectionName() : QString::fromLatin1(QSqlDatabase::defaultConnection))
    , m_key(SqlBackend::keyColumn(database()))
{
}

MeasurementModel::~MeasurementModel() = default;

RowReader &MeasurementModel::reader() const
{
    if (!m_reader) {
        m_reader = std::make_unique<RowReader>(database());
        connect(m_reader.get(), &RowReader::caughtUp, this, &MeasurementModel::caughtUp);
    }
    return *m_reader;
}

// Reads that failed for want of time are done again: the new rows come in,
// and the view asks again for the rows it could not show.
void MeasurementModel::caughtUp()
{
    refresh();
    if (m_count > 0)
        emit dataChanged(index(0, 0), index(m_count - 1, ColumnCount - 1));
}

int MeasurementModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_count;
}

int MeasurementModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant MeasurementModel::data(const QModelIndex &index, int role) const
{
    if (index.isValid() && role == Qt::TextAlignmentRole)
        return index.column() == Result ? QVariant(int(Qt::AlignRight | Qt::AlignVCenter)) : QVariant();
    if (index.isValid() && (role == StateRole || role == StaleRole)) {
        const Row *row = rowAt(index.row());
        const QString state = row ? row->state : QString();
        if (role == StateRole)
            return state;
        // An immediate read of a reading that just came is as live as a tick's.
        if (state == QLatin1String(Provenance::kImmediate) && row->ageMs >= 0 && row->ageMs <= kFreshImmediateMs)
            return false;
        return !state.isEmpty() && state != QLatin1String(Provenance::kLive);
    }
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole))
        return QVariant();
    const Row *row = rowAt(index.row());
    return row ? QVariant(row->text[index.column()]) : QVariant();
}

QVariant MeasurementModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || (role != Qt::DisplayRole && role != Qt::EditRole))
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Date: return tr("Date");
    case Time: return tr("Time");
    case InstrumentName: return tr("Instrument id");
    case Header: return tr("Header id.");
    case Result: return tr("Result");
    case Unit: return tr("Unit");
    default: return QVariant();
    }
}

QString MeasurementModel::newestRowsStatement(const QSqlDatabase &db)
{
    return selectRows(SqlBackend::keyColumn(db), Order::NewestFirst, 0);
}

void MeasurementModel::reload()
{
    load(false);
}

// Whether the rows' provenance can be read: a database from before it, or
// one opened read-only, has no table of it.
void MeasurementModel::checkState() const
{
    RowReader::Rows found;
    m_withState = reader().select(QStringLiteral("SELECT count(*) FROM provenance WHERE row_key < 0"), {}, &found);
}

void MeasurementModel::refresh()
{
    if (!m_withState)
        checkState();
    if (m_count == 0) {
        // Nothing to keep in place: every row there is new.
        QVector<Row> rows;
        if (rowsByKey(QString(), {}, &rows))
            takeIn(rows);
        return;
    }
    // The rows known at the ends and the last one written must still be
    // there as they were; else rows were deleted (or the table cleared) by
    // someone else, and what the view shows no longer matches the table.
    QVector<Row> known;
    if (!rowsByKey(m_key + QLatin1String(" IN (?, ?, ?)"), {m_newest.key, m_oldest.key, m_last.key}, &known))
        return;
    for (const SortKey &expected : {m_newest, m_oldest, m_last}) {
        if (std::none_of(known.cbegin(), known.cend(), [&](const Row &row) { return row.sortKey() == expected; })) {
            reload();
            return;
        }
    }
    QVector<Row> rows;
    if (rowsByKey(m_key + QLatin1String(" > ?"), {m_last.key}, &rows))
        takeIn(rows);
}

// New rows, in any order: the ones newer than every row shown come in at the
// top in one go, the others (written late, with the time they were taken)
// one by one at their sorted place.
void MeasurementModel::takeIn(const QVector<Row> &arrived)
{
    if (arrived.size() > kMaxArrivals) {
        load(true);
        return;
    }
    if (arrived.isEmpty())
        return;
    QVector<Row> rows = arrived;
    std::sort(rows.begin(), rows.end(),
              [](const Row &a, const Row &b) { return a.sortKey().isNewerThan(b.sortKey()); });
    const bool wasEmpty = m_count == 0;
    int top = 0;
    while (top < rows.size() && (wasEmpty || rows.at(top).sortKey().isNewerThan(m_newest)))
        ++top;

    m_last = std::max_element(rows.cbegin(), rows.cend(), [](const Row &a, const Row &b) { return a.key < b.key; })
                 ->sortKey();
    if (wasEmpty)
        m_oldest = rows.constLast().sortKey();
    if (top > 0) {
        m_newest = rows.constFirst().sortKey();
        placeRows(0, rows.mid(0, top));
    }
    for (int i = top; i < rows.size(); ++i) {
        const int position = countNewerThan(rows.at(i).sortKey());
        if (position < 0 || position > m_count) {
            load(true);
            return;
        }
        if (m_oldest.isNewerThan(rows.at(i).sortKey()))
            m_oldest = rows.at(i).sortKey();
        placeRows(position, {rows.at(i)});
    }
}

// Announces `rows` as inserted at `position`; the pages below move down, and
// a page the rows fall into (or that starts right below the top) takes them.
void MeasurementModel::placeRows(int position, const QVector<Row> &rows)
{
    const int count = rows.size();
    beginInsertRows(QModelIndex(), position, position + count - 1);
    bool kept = false;
    for (Page &page : m_pages) {
        if (page.first > position || (page.first == position && position > 0)) {
            page.first += count;
        } else if (!kept && position <= page.end()) {
            page.rows.insert(position - page.first, count, Row());
            std::copy(rows.cbegin(), rows.cend(), page.rows.begin() + (position - page.first));
            // The oldest rows of a page that grew on top are read again when needed.
            if (page.rows.size() > 2 * kPageRows)
                page.rows.resize(kPageRows);
            kept = true;
        }
    }
    if (!kept && position == 0)
        keepPage({0, rows.mid(0, kPageRows)});
    m_count += count;
    endInsertRows();
}

void MeasurementModel::load(bool exactCount)
{
    beginResetModel();
    m_pages.clear();
    m_reloadQueued = false;
    m_count = 0;
    m_countExact = true;
    const QSqlDatabase db = database();
    m_key = SqlBackend::keyColumn(db);
    checkState();

    QVector<QVariantList> spans;
    if (select(QStringLiteral("SELECT (SELECT MIN(%1) FROM data), (SELECT MAX(%1) FROM data)").arg(m_key), {}, &spans)
        && !spans.isEmpty() && !spans.first().value(0).isNull()) {
        const QVariantList &span = spans.first();
        const qint64 keys = span.value(1).toLongLong() - span.value(0).toLongLong() + 1;
        if (!exactCount && keys > kCountAtOnce && keys < INT_MAX) {
            m_count = int(keys);
            m_countExact = false;
        } else {
            m_count = countNewerThan({});
        }
        QVector<Row> last;
        const QVector<Row> newest = readRows(Order::NewestFirst, nullptr, false, nullptr, kPageRows);
        if (m_count > 0 && !newest.isEmpty() && keyAt(Order::OldestFirst, 0, &m_oldest)
            && rowsByKey(m_key + QLatin1String(" = ?"), {span.value(1)}, &last) && !last.isEmpty()) {
            m_newest = newest.constFirst().sortKey();
            m_last = last.constFirst().sortKey();
            keepPage({0, newest.mid(0, m_count)});
        } else {
            m_count = 0;
        }
    }
    endResetModel();
}

const MeasurementModel::Row *MeasurementModel::rowAt(int row) const
{
    if (row < 0 || row >= m_count)
        return nullptr;
    auto page = std::find_if(m_pages.cbegin(), m_pages.cend(),
                             [row](const Page &page) { return page.first <= row && row < page.end(); });
    const Page *found = page != m_pages.cend() ? &*page : readPage(row);
    if (!found || row >= found->end() || row < found->first)
        return nullptr;
    found->used = ++m_clock;
    return &found->rows.at(row - found->first);
}

// Reads the page holding `row` (pages start at a multiple of the page size,
// or where the page above ends): on from the page above it or back from the
// page below it when the new page touches one of them, else from the key of
// the page's first (or last) row, looked up in the index from the nearer end.
// Reads stop at the neighbouring pages; a page that comes out short means the
// table changed behind the model, which is then read afresh.
const MeasurementModel::Page *MeasurementModel::readPage(int row) const
{
    const Page *above = nullptr;
    const Page *below = nullptr;
    for (const Page &page : m_pages) {
        if (page.end() <= row && (!above || page.end() > above->end()))
            above = &page;
        if (page.first > row && (!below || page.first < below->first))
            below = &page;
    }
    const int gapStart = above ? above->end() : 0;
    const int gapEnd = below ? below->first : m_count;
    const SortKey aboveKey = above ? above->rows.constLast().sortKey() : SortKey();
    const SortKey belowKey = below ? below->rows.constFirst().sortKey() : SortKey();
    const SortKey *upper = above ? &aboveKey : nullptr;
    const SortKey *lower = below ? &belowKey : nullptr;

    Page page;
    page.first = std::max(gapStart, row - row % kPageRows);
    const int wanted = std::min(kPageRows, gapEnd - page.first);
    if (above && page.first == gapStart) {
        page.rows = readRows(Order::NewestFirst, upper, false, lower, wanted);
    } else if (below && page.first + wanted == gapEnd) {
        page.rows = readRows(Order::OldestFirst, lower, false, upper, wanted);
        page.first = gapEnd - page.rows.size();
    } else {
        const int fromBottom = m_count - (page.first + wanted);
        const Order order = fromBottom < page.first ? Order::OldestFirst : Order::NewestFirst;
        if (order == Order::OldestFirst && !countIsExact())
            return nullptr;
        SortKey anchor;
        if (!keyAt(order, order == Order::OldestFirst ? fromBottom : page.first, &anchor)) {
            tableChanged();
            return nullptr;
        }
        page.rows = readRows(order, &anchor, true, order == Order::OldestFirst ? upper : lower, wanted);
        if (order == Order::OldestFirst)
            page.first = page.first + wanted - page.rows.size();
    }
    if (page.rows.size() != wanted)
        tableChanged();
    return page.rows.isEmpty() ? nullptr : keepPage(std::move(page));
}

const MeasurementModel::Page *MeasurementModel::keepPage(Page page) const
{
    if (page.rows.isEmpty())
        return nullptr;
    page.used = ++m_clock;
    m_pages.push_back(std::move(page));
    while (m_pages.size() > kMaxPages) {
        m_pages.erase(std::min_element(m_pages.begin(), m_pages.end(),
                                       [](const Page &a, const Page &b) { return a.used < b.used; }));
    }
    return &*std::max_element(m_pages.cbegin(), m_pages.cend(),
                              [](const Page &a, const Page &b) { return a.used < b.used; });
}

// Pages counted from the bottom need the exact count.
bool MeasurementModel::countIsExact() const
{
    if (!m_countExact) {
        const int count = countNewerThan({});
        m_countExact = count == m_count;
        if (!m_countExact)
            tableChanged();
    }
    return m_countExact;
}

// The table no longer matches what the model shows: read it afresh once the
// view is done painting (a reset cannot happen while it asks for data).
void MeasurementModel::tableChanged() const
{
    if (m_reloadQueued)
        return;
    m_reloadQueued = true;
    auto *self = const_cast<MeasurementModel *>(this);
    QMetaObject::invokeMethod(self, [self] { self->load(true); }, Qt::QueuedConnection);
}

QSqlDatabase MeasurementModel::database() const
{
    return QSqlDatabase::database(m_connection, false);
}

bool MeasurementModel::select(const QString &statement, const QVariantList &values,
                              QVector<QVariantList> *result) const
{
    QString error;
    if (reader().select(statement, values, result, &error)) {
        m_failing = false;
        return true;
    }
    // Traced once per spell of failures (the view asks again at every
    // repaint), not shown in a box: a box would open in the middle of a
    // repaint, and what keeps the table from being read (a locked or damaged
    // file) is reported by the store that meets it.
    if (!m_failing) {
        VTRACE << "cannot read the recorded rows:" << error;
        m_failing = true;
    }
    return false;
}

// The rows in `order`, with as many bounds on the sort key as given (each
// bound is the row key triple after the first one).
QString MeasurementModel::columns(const QString &key, bool withState)
{
    QString columns = QLatin1String(kColumns) + QLatin1String(", ") + key;
    if (withState)
        columns += QStringLiteral(", (SELECT state FROM provenance WHERE provenance.row_key = data.%1)"
                                  ", (SELECT age_ms FROM provenance WHERE provenance.row_key = data.%1)")
                       .arg(key);
    return columns;
}

QString MeasurementModel::selectRows(const QString &key, Order order, int bounds, bool withState)
{
    const QString tuple = QStringLiteral("(sampling_date, sampling_time, %1)").arg(key);
    const bool newestFirst = order == Order::NewestFirst;
    QStringList where;
    if (bounds > 0)
        where << tuple + QLatin1String(newestFirst ? " <%1 (?, ?, ?)" : " >%1 (?, ?, ?)");
    if (bounds > 1)
        where << tuple + QLatin1String(newestFirst ? " > (?, ?, ?)" : " < (?, ?, ?)");
    return QLatin1String("SELECT ") + columns(key, withState) + QLatin1String(" FROM data")
           + (where.isEmpty() ? QString() : QLatin1String(" WHERE ") + where.join(QLatin1String(" AND ")))
           + orderBy(key, order) + QLatin1String(" LIMIT ?");
}

QVector<MeasurementModel::Row> MeasurementModel::readRows(Order order, const SortKey *from, bool fromIncluded,
                                                          const SortKey *to, int limit) const
{
    QVector<Row> rows;
    if (limit <= 0)
        return rows;
    // Every caller that bounds the far end bounds the near end too.
    Q_ASSERT(from || !to);
    QString statement = selectRows(m_key, order, from ? (to ? 2 : 1) : 0, m_withState);
    if (from)
        statement = statement.arg(QLatin1String(fromIncluded ? "=" : ""));
    QVariantList values;
    for (const SortKey *bound : {from, to}) {
        if (bound)
            bindKey(values, *bound);
    }
    values << limit;
    rows.reserve(limit);
    fetch(statement, values, &rows);
    if (order == Order::OldestFirst)
        std::reverse(rows.begin(), rows.end());
    return rows;
}

bool MeasurementModel::keyAt(Order order, int offset, SortKey *key) const
{
    QVector<QVariantList> found;
    if (!select(QLatin1String("SELECT sampling_date, sampling_time, ") + m_key + QLatin1String(" FROM data")
                    + orderBy(m_key, order) + QLatin1String(" LIMIT 1 OFFSET ?"),
                {offset}, &found)
        || found.isEmpty())
        return false;
    const QVariantList &first = found.first();
    *key = {first.value(0).toString(), first.value(1).toString(), first.value(2).toLongLong()};
    return true;
}

// Rows picked by their key, in no particular order (a range on the key is
// served by the key's own index, not by the sort index).
bool MeasurementModel::rowsByKey(const QString &where, const QVariantList &values, QVector<Row> *rows) const
{
    return fetch(QLatin1String("SELECT ") + columns(m_key, m_withState) + QLatin1String(" FROM data") + (where.isEmpty() ? QString() : QLatin1String(" WHERE ") + where)
                     + QLatin1String(" LIMIT ?"),
                 values + QVariantList{kMaxArrivals + 1}, rows);
}

// How many rows sort above `key`; with an empty key, all rows. -1 on failure.
int MeasurementModel::countNewerThan(const SortKey &key) const
{
    const bool all = key.date.isNull();
    QVariantList values;
    if (!all)
        bindKey(values, key);
    QVector<QVariantList> count;
    if (!select(all ? QStringLiteral("SELECT COUNT(*) FROM data")
                    : QStringLiteral("SELECT COUNT(*) FROM data WHERE (sampling_date, sampling_time, %1) > (?, ?, ?)")
                          .arg(m_key),
                values, &count)
        || count.isEmpty())
        return -1;
    return int(std::min<qint64>(count.first().value(0).toLongLong(), INT_MAX));
}

} // namespace Veltrano
