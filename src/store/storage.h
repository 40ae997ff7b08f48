#pragma once

#include "store/connectionwatch.h"
#include "store/measurementdb.h"
#include "support/operatormessage.h"
#include "support/row.h"

#include <QJsonObject>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QThread>
#include <QTimer>
#include <QVector>

#include <functional>

namespace Veltrano {

class MeasurementStore;

// The recorded rows' way into the database, on a thread of its own. That
// thread owns its connection (to sqlite.db or a server), the rows kept while
// the database refuses them and the pending-rows file, and does every insert,
// retry, reconnect and wait for a server. Whoever hands rows over never waits
// for any of it: store() only queues the row.
//
// Rows handed over together (the ticks of many instruments) are written in
// one transaction. What the operator must know comes out of problem(), once
// per outage; what was written, out of rowsWritten().
class Storage : public QObject
{
    Q_OBJECT

public:
    // How long a quit waits for a server that stopped answering.
    static constexpr int kQuitPatienceMs = 2000;

    // Writes into the database of the connection `source` (registered by
    // DatabaseConfig, open or not): the thread works on a clone of it.
    explicit Storage(const QString &source = QLatin1String(QSqlDatabase::defaultConnection), QObject *parent = nullptr);
    // Writes what it can of the rows handed over, leaves the rest in the
    // pending-rows file for the next start, and ends the thread.
    ~Storage() override;

    // Opens the connection and writes the rows an earlier run left in the
    // pending-rows file. `serverAway`: the operator was told at start-up that
    // the server does not answer; its first refused row is not told again.
    void start(bool serverAway = false);
    // Before start(): whether rowsStored() tells each written row.
    void setTellStored(bool tell) { m_tellStored = tell; }
    // Queues a row for writing; returns at once.
    void store(const Veltrano::Row &row);
    // Moves every row of the table into the archive (see Archive), after
    // the rows handed over before; cleared() tells how it went. Rows the
    // database still refuses stay kept and are written after the clear.
    void clear();
    // Appends an entry to the audit trail (see Chain) after the rows handed
    // over before; kept and tried again while the database refuses it. A
    // stop's entry gets the head of the rows' chain.
    void audit(const QString &kind, const QJsonObject &details);
    // Waits until every row handed over so far was written or kept; false
    // when `timeoutMs` passed first. For a stop that must not lose rows.
    bool drain(int timeoutMs);
    // Runs `job` on the storage thread once every row handed over so far was
    // written or kept; returns at once.
    void afterWritten(std::function<void()> job);

signals:
    void rowsWritten(int count);
    // Each written row with its key and hash in the chain (see setTellStored()),
    // told on the storage thread as the transaction is committed.
    void rowsStored(const QVector<Veltrano::MeasurementDb::StoredRow> &rows);
    void problem(const Veltrano::OperatorMessage &message);
    void outageBegan(const QString &reason);
    void outageEnded(int keptRowsWritten);
    // Whether the rows are gone; else the database's reason.
    void cleared(bool ok, const QString &error);

private:
    QString m_source;
    bool m_tellStored = false;
    QThread m_thread;
    // Cuts the storage thread's server connection when a statement hangs.
    ConnectionWatch m_watch;
    QTimer m_watchTimer;
    class Worker;
    Worker *m_worker = nullptr;
};

} // namespace Veltrano
