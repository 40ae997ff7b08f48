#include "report/reportsource.h"

#include "report/reportwriter.h"

#include "checks/checkregister.h"
#include "checks/checkstatus.h"
#include "store/audit.h"
#include "store/database.h"
#include "store/sqlbackend.h"
#include "support/inifile.h"
#include "support/row.h"
#include "weighing/scalereading.h"
#include "weighing/seriesstats.h"
#include "weighing/tolerance.h"
#include "weighing/weighingsettings.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonObject>
#include <QSet>
#include <QSettings>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <memory>
#include <set>

namespace Veltrano::ReportSource {

namespace {

WeightKind weightKindOf(const QString &text)
{
    if (text == QLatin1String(Weighing::kGross))
        return WeightKind::Gross;
    if (text == QLatin1String(Weighing::kNet))
        return WeightKind::Net;
    if (text == QLatin1String(Weighing::kTare))
        return WeightKind::Tare;
    return WeightKind::Unknown;
}

// settings.ini: the id of the instrument called `name`, and the keys of its
// section. A name given as a list (an unquoted comma) reads as empty.
struct Instruments
{
    explicit Instruments(const QString &path) : m_settings(IniFile::open(path)) {}

    QString idOf(const QString &name) const
    {
        const QStringList groups = m_settings->childGroups();
        for (const QString &group : groups) {
            const QVariant value = m_settings->value(group + QLatin1String("/name"));
            if (value.userType() == QMetaType::QString && value.toString() == name)
                return group;
        }
        return {};
    }

    QMap<QString, QString> keys(const QString &id) const
    {
        QMap<QString, QString> keys;
        m_settings->beginGroup(id);
        for (const QString &key : m_settings->childKeys()) {
            const QVariant value = m_settings->value(key);
            keys.insert(key, value.userType() == QMetaType::QString ? value.toString() : QString());
        }
        m_settings->endGroup();
        return keys;
    }

private:
    std::unique_ptr<QSettings> m_settings;
};

// The figures of the series' rows; the limits those of the one balance they
// come from, around the nominal they were weighed against.
ReportStatistics statisticsOf(const QVector<ReportRow> &rows, const QString &nominalText,
                              const std::optional<WeighingSettings> &settings)
{
    SeriesStats stats;
    QString unit;
    for (const ReportRow &row : rows) {
        const ScaleReading reading = ScaleReading::fromResult(row.result, row.unit, Stability::Unknown, row.kind);
        const std::optional<ToleranceClass> toleranceClass = toleranceClassOf(resultClassText(row.resultClass));
        stats.add(reading, toleranceClass.value_or(ToleranceClass::None));
        if (unit.isEmpty())
            unit = reading.unit;
    }
    std::optional<double> nominal;
    if (!nominalText.isEmpty())
        nominal = parseNumber(nominalText, nullptr);
    return seriesFigures(stats, unit, ToleranceLimits::of(settings.value_or(WeighingSettings()), nominal));
}

QDateTime momentOf(const ReportRow &row)
{
    return QDateTime(QDate::fromString(row.date, Qt::ISODate), QTime::fromString(row.time, QStringLiteral("HH:mm:ss")));
}

QString failed(const QString &what, const QSqlQuery &query)
{
    return QStringLiteral("cannot read %1: %2").arg(what, query.lastError().text());
}

// The check record `id`, or why there is none.
QString checkRecord(const QSqlDatabase &db, qint64 id, Checks::CheckRecord *record)
{
    QVector<Checks::CheckRecord> records;
    if (const QString error = Checks::records(db, &records); !error.isEmpty())
        return QStringLiteral("cannot read the check records: %1").arg(error);
    for (const Checks::CheckRecord &each : qAsConst(records)) {
        if (each.id == id) {
            *record = each;
            return {};
        }
    }
    return QStringLiteral("no check record %1 is recorded").arg(id);
}

// What the report of `record` says of it: the test, its reference weight
// (from the weight register when it is there), the figures and the verdict.
QString verdictOf(const QSqlDatabase &db, const Checks::CheckRecord &record, const QString &rowsUnit,
                  ReportVerdict *verdict)
{
    Checks::WeightEntry weight;
    bool found = false;
    if (const QString error = Checks::weight(db, record.weightId, &weight, &found); !error.isEmpty())
        return QStringLiteral("cannot read the weight register: %1").arg(error);
    const QString unit = found && !weight.unit.isEmpty() ? weight.unit : rowsUnit;
    verdict->test = Checks::checkText(record.test);
    verdict->weight = found ? QStringLiteral("%1, nominal %2 %3, class %4, certificate %5, calibration due %6")
                                  .arg(weight.id, Checks::figureText(weight.nominal), weight.unit, weight.weightClass,
                                       weight.certificate, weight.due.toString(Qt::ISODate))
                            : QStringLiteral("%1, nominal %2 %3 (not in the weight register)")
                                  .arg(record.weightId, Checks::figureText(record.nominal), unit);
    const bool repeatability = record.test == Checks::Check::Repeatability;
    verdict->figures = Checks::figuresText({record.test, record.n, record.mean, record.sd, record.deviation,
                                            repeatability ? record.minimumWeight : std::nullopt},
                                           unit);
    verdict->criterion = record.criterion;
    const char *word = record.verdict == Checks::Verdict::Pass   ? "Passed"
                       : record.verdict == Checks::Verdict::Fail ? "Failed"
                                                                 : "Refused";
    verdict->verdict = record.reason.trimmed().isEmpty() ? QLatin1String(word)
                                                         : QStringLiteral("%1: %2").arg(QLatin1String(word), record.reason);
    return {};
}

// The check's weighings in the order it took them, each eccentricity
// weighing with its place on the pan; those `data` no longer holds are told.
void orderAsTaken(const Checks::CheckRecord &record, QVector<ReportRow> *rows, QStringList *warnings)
{
    QHash<qint64, int> taken;
    for (int i = 0; i < record.rowKeys.size(); ++i)
        taken.insert(record.rowKeys[i], i);
    std::stable_sort(rows->begin(), rows->end(),
                     [&taken](const ReportRow &a, const ReportRow &b) { return taken.value(a.key) < taken.value(b.key); });
    QSet<qint64> present;
    for (ReportRow &row : *rows) {
        present.insert(row.key);
        const int at = taken.value(row.key);
        if (record.test == Checks::Check::Eccentricity && at < Checks::kEccentricityPositions)
            row.position = QCoreApplication::translate("Checks", Checks::kEccentricityPositionNames[at]);
    }
    for (const qint64 key : record.rowKeys) {
        if (!present.contains(key))
            *warnings << QStringLiteral("the weighing in row %1 of the check is no longer in the database").arg(key);
    }
}

// The register's maker, model and serial of `balance`, registered under the
// first of `ids` that the register holds, and for a series the status of its
// checks at `moment`.
QString fromRegister(const QSqlDatabase &db, const QStringList &ids, const QDateTime &moment, ReportBalance *balance,
                     QString *status)
{
    Checks::BalanceEntry entry;
    bool found = false;
    for (const QString &id : ids) {
        if (id.isEmpty())
            continue;
        if (const QString error = Checks::balance(db, id, &entry, &found); !error.isEmpty())
            return QStringLiteral("cannot read the balance register: %1").arg(error);
        if (found)
            break;
    }
    if (!found)
        return {};
    const QString id = entry.instrumentId;
    balance->maker = entry.maker;
    balance->model = entry.model;
    balance->serial = entry.serial;
    if (!status || !moment.isValid())
        return {};
    QVector<Checks::CheckRecord> records;
    if (const QString error = Checks::records(db, &records, id); !error.isEmpty())
        return QStringLiteral("cannot read the check records: %1").arg(error);
    const Checks::BalanceStatus checks = Checks::balanceStatus(&entry, records, moment);
    *status = Checks::describe(checks.state, checks.until, checks.since);
    return {};
}

QString readRows(const QSqlDatabase &db, const Request &request, const QString &settingsPath, ReportData *data,
                 QStringList *warnings)
{
    const QString key = SqlBackend::keyColumn(db);
    const bool provenance = SqlBackend::tableExists(db, QStringLiteral("provenance"));
    const bool weighing = SqlBackend::tableExists(db, QLatin1String("weighing"));
    if (!request.series.isEmpty() && !weighing)
        return QStringLiteral("no weighings of the series \"%1\" are recorded").arg(request.series);

    std::optional<Checks::CheckRecord> check;
    if (request.check != 0) {
        check.emplace();
        if (const QString error = checkRecord(db, request.check, &*check); !error.isEmpty())
            return error;
    }

    QString sql = QStringLiteral("SELECT d.%1, d.sampling_date, d.sampling_time, d.instrument_id, d.result, d.unit, %2, %3 "
                                 "FROM data d")
                      .arg(key, QLatin1String(provenance ? "p.hash, p.instrument" : "NULL, NULL"),
                           QLatin1String(weighing ? "w.sample, w.kind, w.operator, w.class, w.nominal"
                                                  : "NULL, NULL, NULL, NULL, NULL"));
    if (provenance)
        sql += QStringLiteral(" LEFT JOIN provenance p ON p.row_key = d.%1").arg(key);
    if (weighing)
        sql += QStringLiteral(" LEFT JOIN weighing w ON w.row_key = d.%1").arg(key);
    QStringList conditions;
    QVariantList values;
    if (check) {
        QStringList marks;
        for (const qint64 rowKey : qAsConst(check->rowKeys)) {
            marks << QStringLiteral("?");
            values << rowKey;
        }
        conditions << (marks.isEmpty() ? QStringLiteral("1 = 0")
                                       : QStringLiteral("d.%1 IN (%2)").arg(key, marks.join(QLatin1Char(','))));
    } else if (!request.series.isEmpty()) {
        conditions << QStringLiteral("w.series = ?");
        values << request.series;
    } else {
        if (request.from.isValid()) {
            conditions << QStringLiteral("(d.sampling_date, d.sampling_time) >= (?, ?)");
            values << request.from.date().toString(Qt::ISODate) << request.from.time().toString(QStringLiteral("HH:mm:ss"));
        }
        if (request.to.isValid()) {
            conditions << QStringLiteral("(d.sampling_date, d.sampling_time) <= (?, ?)");
            values << request.to.date().toString(Qt::ISODate) << request.to.time().toString(QStringLiteral("HH:mm:ss"));
        }
        if (!request.instruments.isEmpty()) {
            QStringList marks;
            for (const QString &name : request.instruments) {
                marks << QStringLiteral("?");
                values << name;
            }
            conditions << QStringLiteral("d.instrument_id IN (%1)").arg(marks.join(QLatin1Char(',')));
        }
    }
    if (!conditions.isEmpty())
        sql += QStringLiteral(" WHERE ") + conditions.join(QStringLiteral(" AND "));
    sql += QStringLiteral(" ORDER BY d.sampling_date, d.sampling_time, d.%1").arg(key);

    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        return failed(QStringLiteral("the recorded rows"), query);
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec())
        return failed(QStringLiteral("the recorded rows"), query);

    std::set<QString> operators;
    QStringList names;
    QStringList registerIds;  // the provenance's instrument id of each name
    QString nominal;
    while (query.next()) {
        ReportRow row;
        row.key = query.value(0).toLongLong();
        row.date = query.value(1).toString();
        row.time = query.value(2).toString();
        row.instrument = query.value(3).toString();
        row.result = query.value(4).toString();
        row.unit = query.value(5).toString();
        row.hash = query.value(6).toString();
        row.sampleId = query.value(8).toString();
        row.kind = weightKindOf(query.value(9).toString());
        const QString operatorName = query.value(10).toString();
        if (!operatorName.isEmpty())
            operators.insert(operatorName);
        row.resultClass = resultClassOf(toleranceClassOf(query.value(11).toString()).value_or(ToleranceClass::None));
        if (nominal.isEmpty())
            nominal = query.value(12).toString();
        if (!names.contains(row.instrument)) {
            names << row.instrument;
            registerIds << query.value(7).toString();
        }
        data->rows.append(row);
    }
    if (query.lastError().isValid())
        return failed(QStringLiteral("the recorded rows"), query);
    if (!request.series.isEmpty() && data->rows.isEmpty())
        return QStringLiteral("no weighings of the series \"%1\" are recorded").arg(request.series);

    const Instruments instruments(settingsPath);
    if (check) {
        orderAsTaken(*check, &data->rows, warnings);
        names = QStringList{names.value(0)};
        registerIds = QStringList{check->instrumentId};
    }
    for (int i = 0; i < names.size(); ++i) {
        ReportBalance balance{names[i], instruments.idOf(names[i]), {}, {}, {}};
        if (balance.id.isEmpty())
            balance.id = registerIds[i];
        // The register names a balance by the id its rows' provenance gives,
        // else (rows from before provenance) by its settings' id or its name.
        const QStringList ids = {registerIds[i].isEmpty() ? balance.id : registerIds[i], names[i]};
        const bool withStatus = !request.series.isEmpty() && names.size() == 1;
        const QString error = fromRegister(db, ids, data->rows.isEmpty() ? QDateTime() : momentOf(data->rows.last()),
                                           &balance, withStatus ? &data->balanceChecks : nullptr);
        if (!error.isEmpty())
            return error;
        data->balances.append(balance);
    }
    data->operators = QStringList(operators.begin(), operators.end());
    data->from = request.from;
    data->to = request.to;
    if (check) {
        data->operators = QStringList{check->operatorName};
        // From the first of its weighings to the moment it was recorded.
        const QDateTime recorded = Checks::recordMoment(*check);
        data->from = data->to = recorded;
        for (const ReportRow &row : qAsConst(data->rows)) {
            data->from = std::min(data->from, momentOf(row));
            data->to = std::max(data->to, momentOf(row));
        }
        data->coverage.kind = ReportCoverage::Check;
        data->coverage.name = QStringLiteral("%1, record %2").arg(Checks::checkText(check->test)).arg(check->id);
        data->verdict.emplace();
        const QString error = verdictOf(db, *check, data->rows.isEmpty() ? QString() : data->rows.first().unit,
                                        &*data->verdict);
        if (!error.isEmpty())
            return error;
    } else if (!data->rows.isEmpty()) {
        if (!data->from.isValid() || !request.series.isEmpty())
            data->from = momentOf(data->rows.first());
        if (!data->to.isValid() || !request.series.isEmpty())
            data->to = momentOf(data->rows.last());
    }
    if (!check) {
        data->coverage.kind = request.series.isEmpty() ? ReportCoverage::Range : ReportCoverage::Series;
        data->coverage.name = request.series;
        data->coverage.instruments = request.instruments;
    }

    if (!request.series.isEmpty()) {
        std::optional<WeighingSettings> settings;
        const QString id = data->balances.size() == 1 ? data->balances.first().id : QString();
        if (!id.isEmpty()) {
            QStringList errors;
            settings = WeighingSettings::fromTexts(instruments.keys(id), &errors);
            for (const QString &error : errors)
                *warnings << QStringLiteral("settings.ini [%1]: %2").arg(id, error);
        }
        data->statistics = statisticsOf(data->rows, nominal, settings);
    }

    if (provenance) {
        QSqlQuery head(db);
        if (!head.exec(QStringLiteral("SELECT hash FROM provenance ORDER BY row_key DESC LIMIT 1;")))
            return failed(QStringLiteral("the chain head"), head);
        data->chainHead = head.next() ? head.value(0).toString() : QString();
    }
    return {};
}

} // namespace

QString read(const QSqlDatabase &db, const Request &request, const QString &settingsPath, ReportData *data,
             QStringList *warnings)
{
    // The rows and the chain head as of one moment.
    QSqlDatabase connection = db;
    if (!connection.transaction())
        return QStringLiteral("cannot read the recorded rows: %1").arg(connection.lastError().text());
    const QString error = readRows(db, request, settingsPath, data, warnings);
    connection.rollback();
    return error;
}

QHash<qint64, QString> currentHashes(const QSqlDatabase &db, const QVector<QPair<qint64, qint64>> &keyRanges,
                                     QString *error)
{
    constexpr int kRangesPerStatement = 200;
    const QString key = SqlBackend::keyColumn(db);
    const bool provenance = SqlBackend::tableExists(db, QStringLiteral("provenance"));
    const QString select =
        provenance ? QStringLiteral("SELECT d.%1, p.hash FROM data d LEFT JOIN provenance p ON p.row_key = d.%1 WHERE ")
                   : QStringLiteral("SELECT d.%1, NULL FROM data d WHERE ");
    QHash<qint64, QString> hashes;
    error->clear();
    for (int first = 0; first < keyRanges.size(); first += kRangesPerStatement) {
        const int count = qMin(kRangesPerStatement, int(keyRanges.size()) - first);
        QStringList conditions;
        for (int i = 0; i < count; ++i)
            conditions << QStringLiteral("d.%1 BETWEEN ? AND ?").arg(key);
        QSqlQuery query(db);
        query.setForwardOnly(true);
        bool ok = query.prepare(select.arg(key) + conditions.join(QStringLiteral(" OR ")));
        for (int i = first; i < first + count; ++i) {
            query.addBindValue(keyRanges[i].first);
            query.addBindValue(keyRanges[i].second);
        }
        ok = ok && query.exec();
        while (ok && query.next())
            hashes.insert(query.value(0).toLongLong(), query.value(1).toString());
        if (!ok || query.lastError().isValid()) {
            *error = failed(QStringLiteral("the recorded rows"), query);
            return {};
        }
    }
    return hashes;
}

QString writeReport(const QSqlDatabase &db, const Request &request, std::optional<PaperSize> paper,
                    const QString &output, Written *written)
{
    QString problem;
    const ReportSettings settings = readReportSettings(QLatin1String(kReportIni), &problem);
    if (!problem.isEmpty())
        written->warnings << problem;
    ReportData data;
    data.lab = settings.lab;
    data.version = QCoreApplication::applicationVersion();
    data.madeAt = QDateTime::currentDateTime();
    const QString error = read(db, request, QStringLiteral("settings.ini"), &data, &written->warnings);
    if (!error.isEmpty())
        return error;
    written->rows = data.rows.size();
    ReportWriter writer(std::move(data));
    writer.setPaperSize(paper.value_or(settings.paper));
    const QString failure = writer.write(output);
    written->pages = writer.pageCount();
    if (!failure.isEmpty())
        return failure;
    // The report is written whatever the audit trail says: a refusal is told only.
    const QJsonObject details{{QStringLiteral("file"), QFileInfo(output).fileName()},
                              {QStringLiteral("chainHead"), writer.seal().chainHead},
                              {QStringLiteral("rows"), qint64(written->rows)}};
    const QString refused = Database::recordAudit(db.connectionName(), QLatin1String(Audit::kReported), details);
    if (!refused.isEmpty())
        written->warnings << QStringLiteral("the report is not in the audit trail: %1").arg(refused);
    return QString();
}

} // namespace Veltrano::ReportSource
