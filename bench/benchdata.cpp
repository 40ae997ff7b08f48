#include "benchdata.h"

#include "harness.h"
#include "pgserver.h"
#include "collect/instrumentconfig.h"
#include "store/measurementdb.h"
#include "ui_mainwindow.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>
#include <QTime>

#include <map>
#include <memory>
#include <stdexcept>

namespace Bench {

QString instrumentId(int index)
{
    return QStringLiteral("b%1").arg(index + 1);
}

namespace {

void exec(QSqlQuery &query, const QString &statement)
{
    if (!query.exec(statement))
        throw std::runtime_error(("bench data: " + statement + ": " + query.lastError().text()).toStdString());
}

// One row a second, the instruments taking turns, both print layouts.
void makeTemplate(const QString &file, qint64 rows, bool indexed)
{
    const QString connection = QStringLiteral("bench-template");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(file);
        if (!db.open())
            throw std::runtime_error("bench data: cannot create " + file.toStdString());
        QSqlQuery query(db);
        exec(query, QString::fromLatin1(Veltrano::MeasurementDb::kCreateTable));
        query.prepare(QStringLiteral(
            "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < ?) "
            "INSERT INTO data SELECT date('2026-01-01', '+' || (i / 86400) || ' days'), "
            "time(i % 86400, 'unixepoch'), 'Balance ' || (i % 16 + 1), "
            "CASE WHEN i % 2 THEN '' ELSE 'N     ' END, printf('%+.4f', (i % 100000) / 1000.0), 'g  ' "
            "FROM n"));
        query.addBindValue(rows);
        if (rows > 0 && !query.exec())
            throw std::runtime_error("bench data: " + query.lastError().text().toStdString());
        if (indexed)
            exec(query, QString::fromLatin1(Veltrano::MeasurementDb::kCreateSortIndex));
    }
    QSqlDatabase::removeDatabase(connection);
}

QTemporaryDir &templateDir()
{
    static QTemporaryDir dir;
    return dir;
}

} // namespace

QString templateDatabase(qint64 rows, bool indexed)
{
    static std::map<std::pair<qint64, bool>, QString> made;
    const auto key = std::make_pair(rows, indexed);
    const auto it = made.find(key);
    if (it != made.end())
        return it->second;

    const QString file =
        templateDir().filePath(QStringLiteral("rows%1%2.db").arg(rows).arg(indexed ? "-indexed" : ""));
    const auto unindexed = made.find(std::make_pair(rows, false));
    if (indexed && unindexed != made.end()) {
        // Same rows, plus the index: copy and index rather than generate again.
        QFile::copy(unindexed->second, file);
        const QString connection = QStringLiteral("bench-template");
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
            db.setDatabaseName(file);
            db.open();
            QSqlQuery query(db);
            exec(query, QString::fromLatin1(Veltrano::MeasurementDb::kCreateSortIndex));
        }
        QSqlDatabase::removeDatabase(connection);
    } else {
        makeTemplate(file, rows, indexed);
    }
    made[key] = file;
    return file;
}

WorkDir::WorkDir(qint64 rows, bool indexed)
    : m_previous(QDir::currentPath())
{
    const QString db = m_dir.filePath(QString::fromLatin1(Veltrano::MeasurementDb::kFileName));
    if (!m_dir.isValid() || !QFile::copy(templateDatabase(rows, indexed), db))
        throw std::runtime_error("bench data: cannot prepare " + db.toStdString());
    QDir::setCurrent(m_dir.path());

    writeSettings([](int i) { return QStringLiteral("ttyUSB%1").arg(i); });
}

void writeSettings(const std::function<QString(int)> &portOf)
{
    using namespace Veltrano::Config;
    QSettings settings(QString::fromLatin1(kFileName), QSettings::IniFormat);
    settings.clear();
    for (int i = 0; i < kInstruments; ++i) {
        const QString id = instrumentId(i);
        const std::pair<const char *, QString> values[] = {
            {Key::active, QStringLiteral("true")},
            {Key::type, QStringLiteral("sartoriusSignum")},
            {Key::name, QStringLiteral("Balance %1").arg(i + 1)},
            {Key::comPort, portOf(i)},
            {Key::samplingInterval, QStringLiteral("1")},
            {Key::transmissionRate, QStringLiteral("19200")},
            {Key::parity, QStringLiteral("odd")},
            {Key::stopBits, QStringLiteral("1")},
            {Key::dataOutputFormat, QStringLiteral("22")},
        };
        for (const auto &[key, value] : values)
            settings.setValue(keyPath(id, key), value);
    }
}

WorkDir::~WorkDir()
{
    QDir::setCurrent(m_previous);
}

bool openDefaultConnection()
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(QString::fromLatin1(Veltrano::MeasurementDb::kFileName));
    return db.open();
}

void closeDefaultConnection()
{
    QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
}

// ---------------------------------------------------------------- ReferenceWindow

ReferenceWindow::ReferenceWindow()
    : m_ui(new Ui::MainWindow)
{
    m_ui->setupUi(this);
    m_model.setTable(QStringLiteral("data"));
    m_model.setSort(1, Qt::DescendingOrder);
    m_model.select();
    const char *labels[] = {"Date", "Time", "Instrument id", "Header id.", "Result", "Unit"};
    for (int column = 0; column < 6; ++column)
        m_model.setHeaderData(column, Qt::Horizontal, QString::fromLatin1(labels[column]));
    view()->setModel(&m_model);
    view()->verticalHeader()->hide();
    view()->resizeColumnsToContents();
    view()->hideColumn(3);
    view()->adjustSize();
}

ReferenceWindow::~ReferenceWindow()
{
    delete m_ui;
}

QTableView *ReferenceWindow::view() const
{
    return m_ui->uTableView;
}

bool ReferenceWindow::insert(const QString &instrumentId)
{
    const QString name =
        QSettings(QStringLiteral("settings.ini"), QSettings::IniFormat).value(instrumentId + "/name").toString();
    const Reading reading;
    const QString statement =
        QStringLiteral("INSERT INTO data(sampling_date, sampling_time, instrument_id, header, result, unit) ") +
        "VALUES('" + QDate::currentDate().toString(Qt::ISODate) + "','" +
        QTime::currentTime().toString(Qt::ISODate) + "','" + name + "','" + reading.header + "','" +
        reading.result + "','" + reading.unit + "');";
    QSqlQuery query;
    return query.exec(statement);
}

void ReferenceWindow::reloadAndRefit()
{
    m_model.select();
    view()->resizeColumnsToContents();
}

void ReferenceWindow::store(const QString &instrumentId)
{
    insert(instrumentId);
    reloadAndRefit();
}

PgServer *sharedServer()
{
    static std::unique_ptr<PgServer> instance;
    if (!instance && PgServer::available()) {
        instance = std::make_unique<PgServer>(true);
        atExit([] { instance.reset(); });
    }
    return instance && instance->error().isEmpty() ? instance.get() : nullptr;
}

bool showAndWait(QWidget *window)
{
    window->show();
    if (!QTest::qWaitForWindowExposed(window))
        return false;
    QCoreApplication::processEvents();
    return true;
}

} // namespace Bench
