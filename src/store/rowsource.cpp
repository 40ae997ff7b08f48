#include "store/rowsource.h"

#include "store/measurementdb.h"
#include "store/provenance.h"
#include "store/sqlbackend.h"
#include "store/weighingtable.h"

#include <QSqlError>
#include <QSqlQuery>

#include <sqlite3.h>

namespace Veltrano::DataRows {

namespace {
// Rows fetched by one statement: long enough to cost nothing per row, short
// enough to keep the database free for the collection.
constexpr int kPageRows = 10000;
} // namespace

// Runs one page's statement and steps through its rows.
class PageReader
{
public:
    virtual ~PageReader() = default;
    virtual bool open(const QString &sql, const QVariantList &bindings) = 0;
    // 1: a row in `values` (`texts` of them) and `key`; 0: the end; -1: failed.
    virtual int step(QString *values, QVariant *key) = 0;
    virtual QString error() const = 0;
    int texts = ColumnCount;
};

namespace {

QString databaseText(const QSqlError &error)
{
    const QString text = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    return text.isEmpty() ? QStringLiteral("unknown database error") : text;
}

// Through the Qt driver, for any database.
class QtPageReader : public PageReader
{
public:
    explicit QtPageReader(const QSqlDatabase &db)
        : m_query(db)
    {
        m_query.setForwardOnly(true);
    }
    bool open(const QString &sql, const QVariantList &bindings) override
    {
        if (!m_query.prepare(sql))
            return false;
        for (const QVariant &value : bindings)
            m_query.addBindValue(value);
        return m_query.exec();
    }
    int step(QString *values, QVariant *key) override
    {
        if (!m_query.next()) {
            if (m_query.lastError().isValid())
                return -1;
            m_query.finish();  // ends the read (and clears the error)
            return 0;
        }
        for (int c = 0; c < texts; ++c)
            values[c] = m_query.value(c).toString();
        *key = m_query.value(texts);
        return 1;
    }
    QString error() const override { return databaseText(m_query.lastError()); }

private:
    QSqlQuery m_query;
};

// Straight through SQLite on the Qt connection's own handle: the texts come
// as UTF-8 without a QVariant each, which is most of the Qt driver's cost
// per row (the same statement, the same rows).
class SqlitePageReader : public PageReader
{
public:
    explicit SqlitePageReader(sqlite3 *handle)
        : m_db(handle)
    {
    }
    ~SqlitePageReader() override { sqlite3_finalize(m_statement); }
    bool open(const QString &sql, const QVariantList &bindings) override
    {
        sqlite3_finalize(m_statement);
        m_statement = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &m_statement, nullptr) != SQLITE_OK)
            return false;
        for (int i = 0; i < bindings.size(); ++i) {
            const QVariant &value = bindings.at(i);
            const int rc = value.userType() == QMetaType::QString
                               ? sqlite3_bind_text(m_statement, i + 1, value.toString().toUtf8().constData(), -1,
                                                   SQLITE_TRANSIENT)
                               : sqlite3_bind_int64(m_statement, i + 1, value.toLongLong());
            if (rc != SQLITE_OK)
                return false;
        }
        return true;
    }
    int step(QString *values, QVariant *key) override
    {
        const int rc = sqlite3_step(m_statement);
        if (rc != SQLITE_ROW) {
            sqlite3_reset(m_statement);  // ends the read, lets writers in
            return rc == SQLITE_DONE ? 0 : -1;
        }
        for (int c = 0; c < texts; ++c) {
            const char *text = reinterpret_cast<const char *>(sqlite3_column_text(m_statement, c));
            values[c] = text ? QString::fromUtf8(text, sqlite3_column_bytes(m_statement, c)) : QString();
        }
        *key = qint64(sqlite3_column_int64(m_statement, texts));
        return 1;
    }
    QString error() const override { return QString::fromUtf8(sqlite3_errmsg(m_db)); }

private:
    sqlite3 *m_db;
    sqlite3_stmt *m_statement = nullptr;
};

} // namespace

RowSource::RowSource(const QSqlDatabase &db, const Selection &selection, bool provenance, bool weighings)
    : m_db(db)
    , m_selection(selection)
    , m_key(QLatin1String("data.") + SqlBackend::keyColumn(db))
    , m_provenance(provenance)
    , m_weighings(weighings)
{
    if (sqlite3 *handle = SqlBackend::sqliteHandle(db))  // null while closed: the Qt driver reports it
        m_page = std::make_unique<SqlitePageReader>(handle);
    else
        m_page = std::make_unique<QtPageReader>(db);
    m_page->texts = ColumnCount + (weighings ? WeighingColumnCount : 0) + (provenance ? kProvenanceColumnCount : 0);
    // A database from before provenance has none to give; one from before
    // weighings has no weighing.
    m_provenanceTable = provenance && MeasurementDb::sideTablesExist(db);
    // Whether the balance was qualified: kept since the balance checks came.
    m_checkColumn = m_provenanceTable
                    && SqlBackend::columnExists(db, QLatin1String(Chain::kProvenanceTable), QStringLiteral("check"));
    m_weighingTable = weighings && SqlBackend::tableExists(db, QLatin1String(WeighingTable::kTable));
}

QString RowSource::from() const
{
    QString tables = QStringLiteral("data");
    if (m_weighings)
        tables += QStringLiteral(" JOIN weighing w ON w.row_key = %1").arg(m_key);
    if (m_provenanceTable)
        tables += QStringLiteral(" LEFT JOIN provenance p ON p.row_key = %1").arg(m_key);
    return tables;
}

RowSource::~RowSource() = default;

QString RowSource::conditions(bool afterKey) const
{
    // After the first page the last row's key bounds the range from below,
    // closer than the start; given both, SQLite would scan from the start.
    QStringList parts;
    if (m_selection.from.isValid() && !afterKey)
        parts << QStringLiteral("(sampling_date, sampling_time) >= (?, ?)");
    if (m_selection.to.isValid())
        parts << QStringLiteral("(sampling_date, sampling_time) <= (?, ?)");
    if (!m_selection.instruments.isEmpty()) {
        QStringList marks;
        for (int i = 0; i < m_selection.instruments.size(); ++i)
            marks << QStringLiteral("?");
        parts << QStringLiteral("instrument_id IN (%1)").arg(marks.join(QLatin1Char(',')));
    }
    if (afterKey)
        parts << QStringLiteral("(sampling_date, sampling_time, %1) > (?, ?, ?)").arg(m_key);
    return parts.isEmpty() ? QString() : QStringLiteral(" WHERE ") + parts.join(QStringLiteral(" AND "));
}

QVariantList RowSource::bindings(bool afterKey) const
{
    QVariantList values;
    for (const QDateTime *end : {&m_selection.from, &m_selection.to}) {
        if (end->isValid() && !(afterKey && end == &m_selection.from))
            values << end->date().toString(Qt::ISODate) << end->time().toString(QStringLiteral("HH:mm:ss"));
    }
    for (const QString &name : m_selection.instruments)
        values << name;
    if (afterKey)
        values << m_lastDate << m_lastTime << m_lastKey;
    return values;
}

bool RowSource::fail(const QString &error)
{
    m_error = error;
    m_atEnd = true;
    return false;
}

qint64 RowSource::count()
{
    if (m_weighings && !m_weighingTable)
        return 0;
    QSqlQuery query(m_db);
    bool ok = query.prepare(QStringLiteral("SELECT count(*) FROM ") + from() + conditions(false));
    for (const QVariant &value : bindings(false))
        query.addBindValue(value);
    if (!ok || !query.exec() || !query.next())
        return fail(databaseText(query.lastError())), -1;
    return query.value(0).toLongLong();
}

bool RowSource::next(QString *values)
{
    if (m_weighings && !m_weighingTable)
        m_atEnd = true;
    while (!m_atEnd) {
        if (!m_pageOpen) {
            const bool after = m_lastKey.isValid();
            const QString provenance =
                !m_provenance        ? QString()
                : m_provenanceTable ? (m_checkColumn ? QStringLiteral("p.state, p.received_utc, p.age_ms, p.hash, p.\"check\", ")
                                                     : QStringLiteral("p.state, p.received_utc, p.age_ms, p.hash, NULL, "))
                                    : QStringLiteral("NULL, NULL, NULL, NULL, NULL, ");
            const QString weighing = m_weighings ? QStringLiteral("header, w.sample, w.series, w.trigger, w.kind, "
                                                                  "w.operator, w.class, w.nominal, ")
                                                 : QString();
            const QString sql = QStringLiteral("SELECT sampling_date, sampling_time, instrument_id, result, unit, %4%5%1 "
                                               "FROM %6%2 ORDER BY sampling_date, sampling_time, %1 LIMIT %3")
                                    .arg(m_key, conditions(after))
                                    .arg(kPageRows)
                                    .arg(weighing, provenance, from());
            if (!m_page->open(sql, bindings(after)))
                return fail(m_page->error());
            m_pageOpen = true;
            m_pageRows = 0;
        }
        QVariant key;
        const int stepped = m_page->step(values, &key);
        if (stepped > 0) {
            if (++m_pageRows == kPageRows) {  // where the next page starts
                m_lastDate = values[DateColumn];
                m_lastTime = values[TimeColumn];
                m_lastKey = key;
            }
            return true;
        }
        if (stepped < 0)
            return fail(m_page->error());
        m_pageOpen = false;
        m_atEnd = m_pageRows < kPageRows;
    }
    return false;
}

Recorded recorded(const QSqlDatabase &db)
{
    Recorded found;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    auto fail = [&]() {
        found.error = query.lastError().databaseText();
        return found;
    };
    for (const char *order : {"", " DESC"}) {
        if (!query.exec(QStringLiteral("SELECT sampling_date, sampling_time FROM data "
                                       "ORDER BY sampling_date%1, sampling_time%1 LIMIT 1")
                            .arg(QLatin1String(order))))
            return fail();
        if (query.next()) {
            const QDateTime at(QDate::fromString(query.value(0).toString(), Qt::ISODate),
                               QTime::fromString(query.value(1).toString(), Qt::ISODate));
            (*order ? found.last : found.first) = at;
        }
    }
    if (!query.exec(QStringLiteral("SELECT DISTINCT instrument_id FROM data ORDER BY instrument_id")))
        return fail();
    while (query.next())
        found.instruments << query.value(0).toString();
    return found;
}

QString Unmatched::warning() const
{
    return QStringLiteral("no row of the instrument \"%1\" is recorded (names are case-sensitive%2)")
        .arg(name, otherCase.isEmpty() ? QString()
                                       : QStringLiteral(", recorded: \"%1\"").arg(otherCase.join(QStringLiteral("\", \""))));
}

QList<Unmatched> unmatchedInstruments(const QSqlDatabase &db, const QStringList &names, QString *error)
{
    QList<Unmatched> unmatched;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    for (const QString &name : names) {
        if (!query.prepare(QStringLiteral("SELECT 1 FROM data WHERE instrument_id = ? LIMIT 1")))
            break;
        query.addBindValue(name);
        if (!query.exec())
            break;
        if (!query.next())
            unmatched << Unmatched{name, {}};
    }
    // Rare, and then worth a scan: the names that differ only in case.
    if (!query.lastError().isValid() && !unmatched.isEmpty()
        && query.exec(QStringLiteral("SELECT DISTINCT instrument_id FROM data"))) {
        while (query.next()) {
            const QString recordedName = query.value(0).toString();
            for (Unmatched &missing : unmatched) {
                if (missing.name.compare(recordedName, Qt::CaseInsensitive) == 0)
                    missing.otherCase << recordedName;
            }
        }
    }
    if (query.lastError().isValid())
        *error = databaseText(query.lastError());
    return unmatched;
}

} // namespace Veltrano::DataRows
