#pragma once

// Databases, working directories and the reference main window shared by the
// benchmarks.

#include <QMainWindow>
#include <QSqlTableModel>
#include <QString>
#include <QTemporaryDir>

#include <functional>

class PgServer;
class QTableView;

namespace Ui {
class MainWindow;
}

namespace Bench {

// Readings of balances "Balance 1".."Balance 16", one row a second from
// 2026-01-01 on. The ids of the instruments in settings.ini are b1..b16.
constexpr int kInstruments = 16;
QString instrumentId(int index);  // 0-based

// A database file with the table and `rows` rows, made once per run and
// copied by every user; `indexed` adds the program's sort index.
QString templateDatabase(qint64 rows, bool indexed);

// A fresh directory, current while it lives, holding a copy of a template
// database as sqlite.db and a settings.ini describing the instruments.
class WorkDir
{
public:
    WorkDir(qint64 rows, bool indexed);
    ~WorkDir();
    WorkDir(const WorkDir &) = delete;
    WorkDir &operator=(const WorkDir &) = delete;
    QString path() const { return m_dir.path(); }

private:
    QString m_previous;
    QTemporaryDir m_dir;
};

// Writes ./settings.ini: instruments b1..b16, all active, sampled every
// second, on the ports that `portOf(index)` names.
void writeSettings(const std::function<QString(int)> &portOf);

// The default connection on ./sqlite.db, as start-up opens it.
bool openDefaultConnection();
void closeDefaultConnection();

// The main window's table part done the straightforward way: the same form, a
// plain table model sorted on the time column alone (no index can serve it),
// the whole table re-selected and every column refitted after each row, the
// row statement pasted together from its values.
class ReferenceWindow : public QMainWindow
{
public:
    ReferenceWindow();
    ~ReferenceWindow() override;

    QTableView *view() const;
    QSqlTableModel &model() { return m_model; }

    // One stored row: name from settings.ini, statement text, reload, refit.
    void store(const QString &instrumentId);
    bool insert(const QString &instrumentId);
    void reloadAndRefit();

private:
    QSqlTableModel m_model;
    Ui::MainWindow *m_ui;
};

// The reading every benchmark stores: a 22-byte line's fields.
struct Reading
{
    QString header = QStringLiteral("N     ");
    QString result = QStringLiteral("+123.4567");
    QString unit = QStringLiteral("g  ");
};

// One PostgreSQL server for the whole run, started at first use, flushing
// every commit to disk as a lab's server does (and as SQLite does); null when
// the server is not installed or did not start.
PgServer *sharedServer();

// Shows a window and waits until the platform has exposed and painted it.
bool showAndWait(QWidget *window);

} // namespace Bench
