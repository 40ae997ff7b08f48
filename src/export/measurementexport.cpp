#include "export/measurementexport.h"

#include "export/csvwriter.h"
#include "export/serieslines.h"
#include "support/sha256.h"
#include "export/xlsworkbook.h"
#include "support/reading.h"
#include "export/xlsxbook.h"

#include <QDir>
#include <QJsonArray>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QVariant>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <system_error>

namespace Veltrano::MeasurementExport {

namespace {
// How often the progress function is called, in rows.
constexpr qint64 kProgressStep = 1024;
} // namespace

QStringList columnNames()
{
    return {QStringLiteral("sampling_date"), QStringLiteral("sampling_time"), QStringLiteral("instrument_id"),
            QStringLiteral("result"), QStringLiteral("unit")};
}

// --- Formats and writers ---------------------------------------------------

namespace {
struct FormatSuffix
{
    Format format;
    const char *suffix;
};
constexpr FormatSuffix kSuffixes[] = {{Format::Csv, "csv"}, {Format::Xlsx, "xlsx"}, {Format::Xls, "xls"}};
} // namespace

bool formatForFileName(const QString &fileName, Format *format)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    for (const FormatSuffix &known : kSuffixes) {
        if (suffix == QLatin1String(known.suffix)) {
            *format = known.format;
            return true;
        }
    }
    return false;
}

QString fileSuffix(Format format)
{
    for (const FormatSuffix &known : kSuffixes) {
        if (known.format == format)
            return QLatin1String(known.suffix);
    }
    return QString();
}

QString fileNameForFormat(const QString &fileName, Format *format)
{
    if (formatForFileName(fileName, format))
        return fileName;
    return fileName + QLatin1Char('.') + fileSuffix(*format);
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

// The columns a CSV or .xlsx export writes: the five, then the value, or
// for weighings the header before the result and the weighing's columns
// after the unit; then the provenance's.
QVector<XlsxBook::Column> writtenColumns(bool provenance, bool weighings)
{
    QVector<XlsxBook::Column> columns{{QStringLiteral("sampling_date"), XlsxBook::Date},
                                    {QStringLiteral("sampling_time"), XlsxBook::Time},
                                    {QStringLiteral("instrument_id"), XlsxBook::Text}};
    if (weighings)
        columns.append({QStringLiteral("header"), XlsxBook::Text});
    columns.append({{QStringLiteral("result"), XlsxBook::Text}, {QStringLiteral("unit"), XlsxBook::Text}});
    if (weighings) {
        for (const QString &name : weighingColumnNames().mid(1))
            columns.append({name, XlsxBook::Text});
    } else {
        columns.append({QString::fromLatin1(kValueColumn), XlsxBook::Number});
    }
    if (provenance) {
        const QStringList names = provenanceColumnNames();
        for (int i = 0; i < names.size(); ++i)
            columns.append({names.at(i), i == 2 ? XlsxBook::Number : XlsxBook::Text});
    }
    return columns;
}

class CsvSink : public Sink
{
public:
    CsvSink(QIODevice *device, QChar separator, const QVector<XlsxBook::Column> &columns)
        : m_csv(device, separator)
        , m_cells(columns.size())
    {
        QVector<QString> header;
        for (const XlsxBook::Column &column : columns)
            header << column.name;
        m_csv.appendRow(header.constData(), header.size());
    }
    bool append(const QString *cells) override { return m_csv.appendRow(cells, m_cells); }
    bool finish() override { return m_csv.flush(); }
    QString errorString() const override { return m_csv.errorString(); }

private:
    CsvWriter m_csv;
    int m_cells;
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
    XlsxSink(const QString &fileName, const QVector<XlsxBook::Column> &columns,
             const QString &sheet = QString::fromLatin1(kSheetName))
        : m_book(fileName, sheet, columns)
        , m_cells(columns.size())
    {
    }
    bool append(const QString *cells) override { return m_book.appendRow(cells, m_cells); }
    bool finish() override { return m_book.close(); }
    QString errorString() const override { return m_book.errorString(); }
    quint64 cutCells() const override { return m_book.cutCellCount(); }

private:
    XlsxBook m_book;
    int m_cells;
};

// Where the file is written until it is complete: a file of our own beside
// the target, made with the usual permissions (a temporary file's are the
// owner's only) or those of the file it will replace, and renamed over it at
// the end. A symbolic link's target is replaced, not the link. A device, a
// FIFO or a socket is no file to replace: it is written directly, an .xlsx
// by way of a temporary file in the temporary folder (libxlsxwriter writes
// to a path and seeks in it), copied to it at the end.
class Target
{
public:
    explicit Target(const Request &request)
        : m_request(request)
    {
    }
    ~Target() { removeTemp(); }

    bool open()
    {
        if (m_request.device) {
            m_device = m_request.device;
            return true;
        }
        QFileInfo target(m_request.fileName);
        if (target.isDir())
            return fail(qt_error_string(EISDIR));
        m_special = target.exists() && !target.isFile();
        if (m_special && m_request.format != Format::Xlsx)
            return openDevice();
        if (m_special)
            return makeTemp(QDir::tempPath() + QStringLiteral("/veltrano-export.xlsx."));
        for (int links = 0; target.isSymLink() && links < 32; ++links)
            target.setFile(target.symLinkTarget());
        m_finalPath = target.absoluteFilePath();
        if (!makeTemp(target.absolutePath() + QStringLiteral("/.") + target.fileName() + QLatin1Char('.')))
            return false;
        if (target.exists())
            QFile::setPermissions(m_tempPath, target.permissions());
        if (m_request.format != Format::Xlsx)
            m_device = &m_file;
        return true;
    }

    QIODevice *device() const { return m_device; }
    // Where libxlsxwriter writes the workbook.
    QString bookPath() const { return m_tempPath; }
    QString errorString() const { return m_error; }

    // Whether the written file is complete; a device's write error shows here.
    bool finish()
    {
        if (m_special && !m_tempPath.isEmpty())
            return copyToDevice();
        if (m_device != &m_file)
            return true;
        if (!m_file.flush())
            return fail(m_file.errorString());
        m_file.close();
        return true;
    }

    bool commit()
    {
        if (m_tempPath.isEmpty() || m_special)
            return true;
#ifdef Q_OS_UNIX
        QFile written(m_tempPath);  // on the disk before it replaces the old file
        if (written.open(QIODevice::ReadOnly))
            ::fsync(written.handle());
#endif
        std::error_code error;
        std::filesystem::rename(std::filesystem::path(m_tempPath.toStdWString()),
                                std::filesystem::path(m_finalPath.toStdWString()), error);
        if (error)
            return fail(QString::fromStdString(error.message()));
        m_tempPath.clear();
        announce(QString());
        return true;
    }

private:
    bool fail(const QString &error)
    {
        m_error = error;
        return false;
    }

    void announce(const QString &path) const
    {
        if (m_request.temporaryFile)
            m_request.temporaryFile(path);
    }

    bool openDevice()
    {
        m_file.setFileName(m_request.fileName);
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return fail(m_file.errorString());
        m_device = &m_file;
        return true;
    }

    // A new file of our own at `prefix` and a random ending.
    bool makeTemp(const QString &prefix)
    {
        for (int attempt = 0; attempt < 16; ++attempt) {
            m_file.setFileName(prefix + QString::number(QRandomGenerator::global()->generate(), 36));
            if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
                m_tempPath = m_file.fileName();
                announce(m_tempPath);
                if (m_request.format == Format::Xlsx)
                    m_file.close();  // libxlsxwriter writes it anew
                return true;
            }
            m_error = m_file.errorString();
            if (!m_file.exists())
                return false;  // not a clash of names
        }
        return false;
    }

    bool copyToDevice()
    {
        QFile book(m_tempPath);
        if (!book.open(QIODevice::ReadOnly))
            return fail(book.errorString());
        if (!openDevice())
            return false;
        while (!book.atEnd()) {
            const QByteArray block = book.read(1 << 16);
            if (block.isEmpty() && book.error() != QFileDevice::NoError)
                return fail(book.errorString());
            if (m_file.write(block) != block.size())
                return fail(m_file.errorString());
        }
        m_file.close();
        return true;
    }

    void removeTemp()
    {
        if (m_tempPath.isEmpty())
            return;
        m_file.close();
        QFile::remove(m_tempPath);
        announce(QString());
    }

    const Request &m_request;
    QFile m_file;  // the temporary file, or the device
    QIODevice *m_device = nullptr;
    bool m_special = false;
    QString m_finalPath;
    QString m_tempPath;
    QString m_error;
};

// Closes the writer and puts its file in place: `result` as it ends.
Result finished(Result result, Sink &sink, Target &target, const Request &request)
{
    const auto stop = [&result](Result::Step step, const QString &error) {
        result.step = step;
        result.error = error;
        return result;
    };
    if (!sink.finish())
        return stop(Result::WriteFile, sink.errorString());
    if (!target.finish())
        return stop(Result::WriteFile, target.errorString());
    result.cutCells = sink.cutCells();
    if (!target.commit())
        return stop(Result::ReplaceTarget, target.errorString());
    result.sha256 = fileHash(request);
    return result;
}

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

    // The defined .xls workbook keeps its five columns.
    const bool series = request.series && request.format != Format::Xls;
    const bool provenance = request.provenance && request.format != Format::Xls && !series;
    const bool weighings = (request.weighings || series) && request.format != Format::Xls;
    RowSource source(db, request.selection, provenance, weighings);
    qint64 total = 0;
    if (progress) {
        total = source.count();
        if (total < 0)
            return stop(Result::ReadRows, source.error());
        if (!progress(0, total))
            return stop(Result::Cancelled, QString());
    }

    QVector<XlsxBook::Column> columns = writtenColumns(provenance, weighings);
    if (series) {
        columns.clear();
        const QStringList names = SeriesLines::columnNames();
        for (int c = 0; c < names.size(); ++c)
            columns.append({names.at(c), SeriesLines::isNumber(c) ? XlsxBook::Number : XlsxBook::Text});
    }
    std::unique_ptr<Sink> sink;
    switch (request.format) {
    case Format::Csv:
        sink = std::make_unique<CsvSink>(target.device(), request.separator, columns);
        break;
    case Format::Xls:
        sink = std::make_unique<XlsSink>(target.device());
        break;
    case Format::Xlsx:
        sink = std::make_unique<XlsxSink>(target.bookPath(), columns,
                                          series ? QStringLiteral("series") : QString::fromLatin1(kSheetName));
        break;
    }

    // Read: the five columns, the weighing's, then the provenance; written
    // as writtenColumns() says (the age in seconds).
    constexpr int kMostCells = std::max(ColumnCount + 1 + DataRows::WeighingColumnCount + kProvenanceColumnCount,
                                        SeriesLines::kColumnCount);
    QString read[kMostCells];
    QString cells[kMostCells];
    const int provenanceRead = ColumnCount + (weighings ? DataRows::WeighingColumnCount : 0);
    const int provenanceWritten = columns.size() - (provenance ? kProvenanceColumnCount : 0);
    SeriesLines summary;
    qint64 weighed = 0;
    while (series && source.next(read)) {
        const QString *w = read + ColumnCount;
        summary.add(w[DataRows::SeriesColumn], read[NameColumn], read[DateColumn], read[TimeColumn], read[ResultColumn],
                    read[UnitColumn], w[DataRows::ClassColumn], w[DataRows::NominalColumn]);
        if (progress && ++weighed % kProgressStep == 0 && !progress(weighed, qMax(total, weighed)))
            return stop(Result::Cancelled, QString());
    }
    for (int i = 0; i < summary.size(); ++i) {
        const QStringList line = summary.line(i);
        std::copy(line.cbegin(), line.cend(), cells);
        if (request.decimalComma) {
            for (int c = 0; c < line.size(); ++c) {
                if (SeriesLines::isNumber(c))
                    cells[c].replace(QLatin1Char('.'), QLatin1Char(','));
            }
        }
        if (!sink->append(cells))
            return stop(Result::WriteFile, sink->errorString());
        ++result.rows;
    }
    while (!series && source.next(read)) {
        if (weighings) {
            std::copy(read, read + ResultColumn, cells);
            cells[ResultColumn] = read[ColumnCount + DataRows::HeaderColumn];
            cells[ResultColumn + 1] = read[ResultColumn];
            cells[ResultColumn + 2] = read[UnitColumn];
            std::copy(read + ColumnCount + DataRows::SampleColumn, read + ColumnCount + DataRows::NominalColumn,
                      cells + ColumnCount + 1);
        } else {
            std::copy(read, read + ColumnCount, cells);
            cells[ColumnCount] = numericValue(cells[ResultColumn]);
            if (request.decimalComma)
                cells[ColumnCount].replace(QLatin1Char('.'), QLatin1Char(','));
        }
        if (provenance) {
            std::copy(read + provenanceRead, read + provenanceRead + kProvenanceColumnCount, cells + provenanceWritten);
            QString &age = cells[provenanceWritten + 2];
            if (!age.isEmpty())
                age = QString::number(age.toLongLong() / 1000.0, 'f', 3);
        }
        if (!sink->append(cells))
            return stop(Result::WriteFile, sink->errorString());
        ++result.rows;
        if (progress && result.rows % kProgressStep == 0 && !progress(result.rows, qMax(total, result.rows)))
            return stop(Result::Cancelled, QString());
    }
    if (!source.error().isEmpty())
        return stop(Result::ReadRows, source.error());
    if (progress && !progress(result.rows, result.rows))
        return stop(Result::Cancelled, QString());
    return finished(result, *sink, target, request);
}

Result exportTable(const Request &request, const QString &sheetName, const QVector<XlsxBook::Column> &columns,
                   const QVector<QStringList> &rows)
{
    Result result;
    auto stop = [&result](Result::Step step, const QString &error) {
        result.step = step;
        result.error = error;
        return result;
    };
    if (request.format == Format::Xls)
        return stop(Result::OpenTarget, QStringLiteral("the .xls workbook keeps its five columns: write CSV or xlsx"));
    Target target(request);
    if (!target.open())
        return stop(Result::OpenTarget, target.errorString());
    std::unique_ptr<Sink> sink;
    if (request.format == Format::Csv)
        sink = std::make_unique<CsvSink>(target.device(), request.separator, columns);
    else
        sink = std::make_unique<XlsxSink>(target.bookPath(), columns, sheetName);
    QVector<QString> cells(columns.size());
    for (const QStringList &row : rows) {
        for (int c = 0; c < cells.size(); ++c) {
            cells[c] = row.value(c);
            if (request.decimalComma && columns.at(c).kind == XlsxBook::Number)
                cells[c].replace(QLatin1Char('.'), QLatin1Char(','));
        }
        if (!sink->append(cells.constData()))
            return stop(Result::WriteFile, sink->errorString());
        ++result.rows;
    }
    return finished(result, *sink, target, request);
}

QString fileHash(const Request &request)
{
    QFile file(request.fileName);
    if (request.device || !QFileInfo(request.fileName).isFile() || !file.open(QIODevice::ReadOnly))
        return QString();
    Sha256 hash;
    QByteArray chunk(1 << 16, Qt::Uninitialized);
    for (qint64 read; (read = file.read(chunk.data(), chunk.size())) != 0;) {
        if (read < 0)
            return QString();
        hash.addData(chunk.constData(), read);
    }
    return QString::fromLatin1(hash.result().toHex());
}

QStringList weighingColumnNames()
{
    return {QStringLiteral("header"), QStringLiteral("sample"), QStringLiteral("series"), QStringLiteral("trigger"),
            QStringLiteral("kind"), QStringLiteral("operator"), QStringLiteral("class")};
}

QStringList provenanceColumnNames()
{
    return {QStringLiteral("state"), QStringLiteral("received (UTC)"), QStringLiteral("age (s)"), QStringLiteral("hash"),
            QStringLiteral("check")};
}

QJsonObject auditDetails(const Request &request, const Result &result)
{
    const auto moment = [](const QDateTime &end) {
        return end.isValid() ? QJsonValue(end.toString(Qt::ISODate)) : QJsonValue();
    };
    QJsonObject details{{QStringLiteral("file"), request.device ? QStringLiteral("-") : QFileInfo(request.fileName).absoluteFilePath()},
            {QStringLiteral("format"), fileSuffix(request.format)},
            {QStringLiteral("from"), moment(request.selection.from)},
            {QStringLiteral("to"), moment(request.selection.to)},
            {QStringLiteral("instruments"), QJsonArray::fromStringList(request.selection.instruments)},
            {QStringLiteral("provenance"), request.provenance && request.format != Format::Xls},
            {QStringLiteral("rows"), result.rows},
            {QStringLiteral("sha256"), result.sha256}};
    // Only where chosen: the entries of plain exports keep their keys.
    if (request.format != Format::Xls) {
        if (request.series)
            details.insert(QStringLiteral("series"), true);
        else if (request.weighings)
            details.insert(QStringLiteral("weighings"), true);
    }
    return details;
}

} // namespace Veltrano::MeasurementExport
