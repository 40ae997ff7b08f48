#include "measurementexport.h"

#include "csvwriter.h"
#include "measurementdb.h"
#include "xlsworkbook.h"
#include "xlsxbook.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSqlError>
#include <QSqlRecord>
#include <QRandomGenerator>
#include <QVariant>

#include <filesystem>
#include <memory>
#include <system_error>

namespace Veltrano::MeasurementExport {

namespace {
// Rows fetched by one statement: long enough to cost nothing per row, short
// enough to keep the database free for the collection.
constexpr int kPageRows = 10000;
// How often the progress function is called, in rows.
constexpr qint64 kProgressStep = 1024;
} // namespace

QStringList columnNames()
{
    return {QStringLiteral("sampling_date"), QStringLiteral("sampling_time"), QStringLiteral("instrument_id"),
            QStringLiteral("result"), QStringLiteral("unit")};
}

QString numericValue(QStringView result)
{
    QString number;
    number.reserve(result.size() + 1);
    bool digits = false, point = false, sign = false;
    for (const QChar c : result) {
        if (c.isSpace())
            continue;
        if ((c == QLatin1Char('+') || c == QLatin1Char('-')) && !sign && !digits && !point) {
            sign = true;
            if (c == QLatin1Char('-'))
                number += c;
        } else if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            digits = true;
            number += c;
        } else if ((c == QLatin1Char('.') || c == QLatin1Char(',')) && !point) {
            point = true;
            if (!digits)
                number += QLatin1Char('0');
            number += QLatin1Char('.');
        } else {
            return {};
        }
    }
    if (!digits)
        return {};
    if (number.endsWith(QLatin1Char('.')))
        number.chop(1);
    return number;
}

// --- RowSource -------------------------------------------------------------

RowSource::RowSource(const QSqlDatabase &db, const Selection &selection)
    : m_db(db)
    , m_selection(selection)
    , m_key(MeasurementDb::keyColumn(db))
    , m_page(db)
{
    m_page.setForwardOnly(true);
}

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

void RowSource::bindSelection(QSqlQuery &query, bool afterKey) const
{
    for (const QDateTime *end : {&m_selection.from, &m_selection.to}) {
        if (end->isValid() && !(afterKey && end == &m_selection.from)) {
            query.addBindValue(end->date().toString(Qt::ISODate));
            query.addBindValue(end->time().toString(QStringLiteral("HH:mm:ss")));
        }
    }
    for (const QString &name : m_selection.instruments)
        query.addBindValue(name);
}

bool RowSource::fail(const QSqlQuery &query)
{
    const QSqlError error = query.lastError();
    m_error = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    if (m_error.isEmpty())
        m_error = QStringLiteral("unknown database error");
    m_atEnd = true;
    return false;
}

qint64 RowSource::count()
{
    QSqlQuery query(m_db);
    if (!query.prepare(QStringLiteral("SELECT count(*) FROM data") + conditions(false)))
        return fail(query), -1;
    bindSelection(query, false);
    if (!query.exec() || !query.next())
        return fail(query), -1;
    return query.value(0).toLongLong();
}

bool RowSource::next(QString *values)
{
    while (!m_atEnd) {
        if (!m_pageOpen) {
            const bool after = m_lastKey.isValid();
            const QString sql = QStringLiteral("SELECT sampling_date, sampling_time, instrument_id, result, unit, %1 "
                                               "FROM data%2 ORDER BY sampling_date, sampling_time, %1 LIMIT %3")
                                    .arg(m_key, conditions(after))
                                    .arg(kPageRows);
            if (!m_page.prepare(sql))
                return fail(m_page);
            bindSelection(m_page, after);
            if (after) {
                m_page.addBindValue(m_lastDate);
                m_page.addBindValue(m_lastTime);
                m_page.addBindValue(m_lastKey);
            }
            if (!m_page.exec())
                return fail(m_page);
            m_pageOpen = true;
            m_pageRows = 0;
        }
        if (m_page.next()) {
            for (int c = 0; c < ColumnCount; ++c)
                values[c] = m_page.value(c).toString();
            if (++m_pageRows == kPageRows) {  // where the next page starts
                m_lastDate = values[DateColumn];
                m_lastTime = values[TimeColumn];
                m_lastKey = m_page.value(ColumnCount);
            }
            return true;
        }
        if (m_page.lastError().isValid())
            return fail(m_page);
        m_pageOpen = false;
        m_page.finish();
        m_atEnd = m_pageRows < kPageRows;
    }
    return false;
}

// --- Formats and writers ---------------------------------------------------

bool formatForFileName(const QString &fileName, Format *format)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("csv"))
        *format = Format::Csv;
    else if (suffix == QLatin1String("xlsx"))
        *format = Format::Xlsx;
    else if (suffix == QLatin1String("xls"))
        *format = Format::Xls;
    else
        return false;
    return true;
}

namespace {

// One writer behind the job: rows of the five columns and the value.
class Sink
{
public:
    virtual ~Sink() = default;
    virtual bool append(const QString *cells) = 0;
    virtual bool finish() = 0;
    virtual QString errorString() const = 0;
    virtual quint64 cutCells() const { return 0; }
};

QStringList headerWithValue()
{
    return columnNames() << QString::fromLatin1(kValueColumn);
}

class CsvSink : public Sink
{
public:
    CsvSink(QIODevice *device, QChar separator)
        : m_csv(device, separator)
    {
        const QVector<QString> header = headerWithValue().toVector();
        m_csv.appendRow(header.constData(), header.size());
    }
    bool append(const QString *cells) override { return m_csv.appendRow(cells, ColumnCount + 1); }
    bool finish() override { return m_csv.flush(); }
    QString errorString() const override { return m_csv.errorString(); }

private:
    CsvWriter m_csv;
};

class XlsSink : public Sink
{
public:
    explicit XlsSink(QIODevice *device)
        : m_device(device)
        , m_book(QString::fromLatin1(kSheetName), columnNames())
    {
    }
    bool append(const QString *cells) override
    {
        m_row.clear();
        for (int c = 0; c < ColumnCount; ++c)
            m_row << cells[c];
        m_book.appendRow(m_row);
        return true;
    }
    bool finish() override { return m_book.write(m_device); }
    QString errorString() const override { return m_book.errorString(); }
    quint64 cutCells() const override { return m_book.cutCellCount(); }

private:
    QIODevice *m_device;
    XlsWorkbook m_book;
    QStringList m_row;
};

class XlsxSink : public Sink
{
public:
    explicit XlsxSink(const QString &fileName)
        : m_book(fileName, QString::fromLatin1(kSheetName),
                 {{QStringLiteral("sampling_date"), XlsxBook::Date},
                  {QStringLiteral("sampling_time"), XlsxBook::Time},
                  {QStringLiteral("instrument_id"), XlsxBook::Text},
                  {QStringLiteral("result"), XlsxBook::Text},
                  {QStringLiteral("unit"), XlsxBook::Text},
                  {QString::fromLatin1(kValueColumn), XlsxBook::Number}})
    {
    }
    bool append(const QString *cells) override { return m_book.appendRow(cells, ColumnCount + 1); }
    bool finish() override { return m_book.close(); }
    QString errorString() const override { return m_book.errorString(); }
    quint64 cutCells() const override { return m_book.cutCellCount(); }

private:
    XlsxBook m_book;
};

// Where the file is written until it is complete. QIODevice writers go
// through a QSaveFile; libxlsxwriter wants a path, so it gets a temporary
// file in the target's folder, renamed over the target at the end.
class Target
{
public:
    explicit Target(const Request &request)
        : m_request(request)
    {
    }
    ~Target()
    {
        if (!m_tempPath.isEmpty())
            QFile::remove(m_tempPath);
    }

    bool open()
    {
        if (m_request.device) {
            m_device = m_request.device;
            return true;
        }
        if (m_request.format == Format::Xlsx) {
            // A file of our own in the target's folder, made with the usual
            // permissions (a temporary file's are the owner's only), or
            // those of the file it will replace.
            const QFileInfo target(m_request.fileName);
            for (int attempt = 0; attempt < 16; ++attempt) {
                QFile temp(target.absolutePath() + QStringLiteral("/.") + target.fileName() + QLatin1Char('.')
                           + QString::number(QRandomGenerator::global()->generate(), 36));
                if (temp.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
                    m_tempPath = temp.fileName();
                    break;
                }
                m_error = temp.errorString();
                if (!temp.exists())
                    break;  // not a clash of names
            }
            if (m_tempPath.isEmpty())
                return false;
            if (target.exists())
                QFile::setPermissions(m_tempPath, target.permissions());
            return true;
        }
        m_saveFile = std::make_unique<QSaveFile>(m_request.fileName);
        if (!m_saveFile->open(QIODevice::WriteOnly)) {
            m_error = m_saveFile->errorString();
            return false;
        }
        m_device = m_saveFile.get();
        return true;
    }

    QIODevice *device() const { return m_device; }
    QString tempPath() const { return m_tempPath; }
    QString errorString() const { return m_error; }

    bool commit()
    {
        if (m_saveFile && !m_saveFile->commit()) {
            m_error = m_saveFile->errorString();
            return false;
        }
        if (!m_tempPath.isEmpty()) {
            std::error_code error;
            std::filesystem::rename(std::filesystem::path(m_tempPath.toStdWString()),
                                    std::filesystem::path(m_request.fileName.toStdWString()), error);
            if (error) {
                m_error = QString::fromStdString(error.message());
                return false;
            }
            m_tempPath.clear();
        }
        return true;
    }

private:
    const Request &m_request;
    std::unique_ptr<QSaveFile> m_saveFile;  // discarded unless committed
    QIODevice *m_device = nullptr;
    QString m_tempPath;
    QString m_error;
};

} // namespace

QString describeFailure(const Result &result, const QString &fileName)
{
    const QString file = QDir::toNativeSeparators(fileName);
    switch (result.step) {
    case Result::Done:
        return QString();
    case Result::OpenTarget:
        return QStringLiteral("cannot create %1: %2").arg(file, result.error);
    case Result::ReadRows:
        return QStringLiteral("cannot read the recorded rows: %1").arg(result.error);
    case Result::WriteFile:
        return QStringLiteral("cannot write %1: %2").arg(file, result.error);
    case Result::ReplaceTarget:
        return QStringLiteral("cannot put %1 in place: %2").arg(file, result.error);
    case Result::Cancelled:
        return QStringLiteral("the export was cancelled");
    }
    return QString();
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

Result exportRows(const QSqlDatabase &db, const Request &request, const Progress &progress)
{
    Result result;
    auto stop = [&result](Result::Step step, const QString &error) {
        result.step = step;
        result.error = error;
        return result;
    };

    Target target(request);
    if (!target.open())
        return stop(Result::OpenTarget, target.errorString());

    RowSource source(db, request.selection);
    qint64 total = 0;
    if (progress) {
        total = source.count();
        if (total < 0)
            return stop(Result::ReadRows, source.error());
        if (!progress(0, total))
            return stop(Result::Cancelled, QString());
    }

    std::unique_ptr<Sink> sink;
    switch (request.format) {
    case Format::Csv:
        sink = std::make_unique<CsvSink>(target.device(), request.separator);
        break;
    case Format::Xls:
        sink = std::make_unique<XlsSink>(target.device());
        break;
    case Format::Xlsx:
        sink = std::make_unique<XlsxSink>(target.tempPath());
        break;
    }

    QString cells[ColumnCount + 1];
    while (source.next(cells)) {
        cells[ColumnCount] = numericValue(cells[ResultColumn]);
        if (!sink->append(cells))
            return stop(Result::WriteFile, sink->errorString());
        ++result.rows;
        if (progress && result.rows % kProgressStep == 0 && !progress(result.rows, qMax(total, result.rows)))
            return stop(Result::Cancelled, QString());
    }
    if (!source.error().isEmpty())
        return stop(Result::ReadRows, source.error());
    if (!sink->finish())
        return stop(Result::WriteFile, sink->errorString());
    result.cutCells = sink->cutCells();
    if (!target.commit())
        return stop(Result::ReplaceTarget, target.errorString());
    if (progress)
        progress(result.rows, result.rows);
    return result;
}

} // namespace Veltrano::MeasurementExport
