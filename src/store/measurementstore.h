#pragma once

#include "store/measurementdb.h"
#include "support/operatormessage.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

namespace Veltrano {

// The write path of recorded rows. A row the database refuses (locked by
// another program, disk full, read-only file, server gone) is kept, in
// sampling order, in memory and appended to the pending-rows file (flushed to
// disk), and written as soon as the database takes rows again: at a later
// store and on a retry timer, oldest first, several in one transaction. The
// operator is told once per outage; the rest goes to the trace.
//
// Works on whatever connection it is given, by name, in the thread that owns
// it (see Storage, which runs one on a thread of its own). It never shows
// anything itself: what the operator must know comes out of problem().
class MeasurementStore : public QObject
{
    Q_OBJECT

public:
    // How often kept rows are tried again while nothing is stored.
    static constexpr int kRetryMs = 3000;
    // Stores during an outage try the database at most this often, so that a
    // refusing database cannot take the window's time at every sampling tick.
    static constexpr int kAttemptGapMs = 1000;
    // Rows kept in memory alone when the pending file refuses them too
    // (about 30 MB); past it rows are counted as lost and the operator told.
    static constexpr int kMemoryBound = 100000;

    explicit MeasurementStore(const QString &pendingPath,
                              const QString &connection = QLatin1String(QSqlDatabase::defaultConnection),
                              QObject *parent = nullptr);

    // Writes the rows of a pending file left behind by an earlier run; they
    // stay kept when the database refuses them. Returns how many were written.
    int recover();
    // Writes `rows` after the kept rows, in one transaction, or keeps them.
    void store(const QVector<MeasurementDb::Row> &rows);
    void store(const MeasurementDb::Row &row) { store(QVector<MeasurementDb::Row>{row}); }
    // Keeps `rows` without trying the database (it is known to be away).
    void keepOnly(const QVector<MeasurementDb::Row> &rows);
    // The operator knows of the outage already (told at start-up): its first
    // refused row is not told again.
    void outageTold() { m_outage = true; }
    // Forgets the kept rows (the recorded data is being deleted).
    void clear();
    // Says what stays behind at quit: kept rows stay in the pending file for
    // the next start (a trace line); rows only in memory are lost (reported).
    void leave();

    int keptCount() const { return m_kept.size(); }
    bool inOutage() const { return m_outage; }
    void setMemoryBound(int rows) { m_memoryBound = qMax(1, rows); }
    // Whether rowsStored() tells each written row with its key and hash.
    void setTellStored(bool tell) { m_tellStored = tell; }

signals:
    // Rows reached the database.
    void rowsWritten(int count);
    // The same rows with their keys and hashes, when asked for.
    void rowsStored(const QVector<Veltrano::MeasurementDb::StoredRow> &rows);
    // Something the operator must know: a trace line with its prefix.
    void problem(const Veltrano::OperatorMessage &message);
    // The database refused rows for the first time since it last took them,
    // and took them again (with the kept rows it wrote then).
    void outageBegan(const QString &reason);
    void outageEnded(int keptRowsWritten);

private:
    // Tells the operator `text` (no instrument).
    void tell(const QString &text);
    bool flush();
    bool insert(const QVector<MeasurementDb::Row> &rows, QString *error, int *failedAt);
    bool keep(const MeasurementDb::Row &row);
    bool saveKept(const QVector<MeasurementDb::Row> &rows, bool append);
    void emptyPendingFile();
    void refused(const MeasurementDb::Row &row, const QString &error);
    void written(int count, int kept);
    void reportLost();

    QString m_pendingPath;
    QString m_connection;
    QVector<MeasurementDb::Row> m_kept;
    int m_unsaved = 0;  // the last kept rows, in memory only
    int m_lost = 0;     // rows nothing could take in this outage
    int m_memoryBound = kMemoryBound;
    bool m_outage = false;
    bool m_tableChecked = false;
    QTimer m_retry;
    QElapsedTimer m_lastAttempt;
    bool m_tellStored = false;
};

} // namespace Veltrano
