#include "store/measurementstore.h"

#include "store/pendingrows.h"
#include "support/durablefile.h"
#include "store/sqlbackend.h"
#include "support/trace.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSqlError>
#include <QSqlQuery>

namespace Veltrano {

MeasurementStore::MeasurementStore(const QString &pendingPath, const QString &connection, QObject *parent)
    : QObject(parent)
    , m_pendingPath(pendingPath)
    , m_connection(connection)
{
    m_retry.setInterval(kRetryMs);
    connect(&m_retry, &QTimer::timeout, this, &MeasurementStore::flush);
}

void MeasurementStore::tell(const QString &text)
{
    emit problem(OperatorMessage::general(OperatorMessage::Kind::Storage, (VLINE << text).text(), text));
}

void MeasurementStore::leave()
{
    if (!m_kept.isEmpty())
        VTRACE << "rows left in the pending file for the next start:" << m_kept.size() - m_unsaved;
    if (m_unsaved || m_lost)
        tell(QStringLiteral("recorded rows lost at quit, neither the database nor the pending file took them: %1")
                 .arg(m_unsaved + m_lost));
}

int MeasurementStore::recover()
{
    QFile file(m_pendingPath);
    if (!file.exists())
        return 0;
    if (!file.open(QIODevice::ReadOnly)) {
        tell(QStringLiteral("cannot read the pending rows file %1: %2").arg(m_pendingPath, file.errorString()));
        return 0;
    }
    const PendingRows::Content content = PendingRows::decode(file.readAll());
    file.close();
    if (content.torn)
        VTRACE << "pending rows file: the last line was cut short and is ignored";
    if (content.unreadable)
        VTRACE << "pending rows file: lines that are no rows, ignored:" << content.unreadable;
    VTRACE << "pending rows found:" << content.rows.size();
    m_kept = content.rows + m_kept;
    // Later rows are appended: the file must hold complete rows only.
    if (m_kept.isEmpty())
        emptyPendingFile();
    else if (content.torn || content.unreadable)
        saveKept(m_kept, false);
    const int count = m_kept.size();
    if (!flush())
        return 0;
    VTRACE << "rows recovered from the pending rows file:" << count;
    return count;
}

// With rows kept, the new rows join them, and the database is tried at most
// once a gap: each try can cost the busy wait.
void MeasurementStore::store(const QVector<MeasurementDb::Row> &rows)
{
    if (rows.isEmpty())
        return;
    if (m_kept.isEmpty()) {
        QString error;
        int failedAt = 0;
        if (insert(rows, &error, &failedAt)) {
            written(rows.size(), 0);
            return;
        }
        m_lastAttempt.start();
        keepOnly(rows);
        refused(rows.at(failedAt), error);
        return;
    }
    keepOnly(rows);
    if (!m_lastAttempt.isValid() || m_lastAttempt.hasExpired(kAttemptGapMs))
        flush();
}

void MeasurementStore::keepOnly(const QVector<MeasurementDb::Row> &rows)
{
    bool allKept = true;
    for (const MeasurementDb::Row &row : rows)
        allKept = keep(row) && allKept;
    if (!m_retry.isActive())
        m_retry.start();
    if (!allKept)
        reportLost();
}

// A server that was away at start-up may not have the table yet: it is
// made sure of once the connection is open.
bool MeasurementStore::insert(const QVector<MeasurementDb::Row> &rows, QString *error, int *failedAt)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!m_tableChecked && SqlBackend::isServer(db)) {
        *failedAt = 0;
        if (!db.isOpen() && !db.open()) {
            *error = db.lastError().text();
            return false;
        }
        QSqlQuery query(db);
        if (MeasurementDb::ensureTable(query, error) == MeasurementDb::TableState::Failed)
            return false;
        m_tableChecked = true;
    }
    if (!m_tellStored)
        return MeasurementDb::insertRows(rows, error, failedAt, db);
    QVector<MeasurementDb::StoredRow> stored;
    if (!MeasurementDb::insertRows(rows, error, failedAt, db, &stored))
        return false;
    emit rowsStored(stored);
    return true;
}

void MeasurementStore::clear()
{
    VTRACE << "kept rows deleted:" << m_kept.size();
    m_kept.clear();
    m_unsaved = 0;
    emptyPendingFile();
}

// Tries the kept rows; true when none is left.
bool MeasurementStore::flush()
{
    if (m_kept.isEmpty())
        return true;
    m_lastAttempt.start();
    QString error;
    int failedAt = 0;
    if (!insert(m_kept, &error, &failedAt)) {
        refused(m_kept.at(failedAt), error);
        return false;
    }
    const int count = m_kept.size();
    m_kept.clear();
    m_unsaved = 0;
    emptyPendingFile();
    VTRACE << "kept rows written:" << count;
    written(count, count);
    return true;
}

// Keeps `row` after the others: in the pending file when it takes it, else in
// memory up to the bound. False when the row could not be kept at all.
bool MeasurementStore::keep(const MeasurementDb::Row &row)
{
    // Once a row missed the file, the file is rewritten whole, so that it
    // never holds later rows without the earlier ones.
    QVector<MeasurementDb::Row> toSave{row};
    if (m_unsaved)
        toSave = m_kept + toSave;
    if (saveKept(toSave, m_unsaved == 0)) {
        m_kept.append(row);
        m_unsaved = 0;
        return true;
    }
    if (m_unsaved < m_memoryBound) {
        m_kept.append(row);
        ++m_unsaved;
        VTRACE << "the pending rows file refuses rows; kept in memory:" << m_unsaved;
        return true;
    }
    ++m_lost;
    return false;
}

bool MeasurementStore::saveKept(const QVector<MeasurementDb::Row> &rows, bool append)
{
    QByteArray bytes;
    for (const MeasurementDb::Row &row : rows)
        bytes += PendingRows::encode(row);
    if (append) {
        QFile file(m_pendingPath);
        // A write cut short (disk full) is cut off again, so that the
        // next row starts on a line of its own.
        const qint64 size = file.size();
        if (file.open(QIODevice::WriteOnly | QIODevice::Append) && file.write(bytes) == bytes.size()
            && DurableFile::sync(file))
            return true;
        file.close();
        file.resize(size);
        return false;
    }
    QSaveFile file(m_pendingPath);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && DurableFile::sync(file) && file.commit();
}

void MeasurementStore::emptyPendingFile()
{
    // Something else in its place (a directory) holds none of our rows.
    if (!QFileInfo(m_pendingPath).isFile() || QFile::remove(m_pendingPath) || QFile::resize(m_pendingPath, 0))
        return;
    tell(QStringLiteral("cannot empty the pending rows file %1: its rows are in the database already "
                        "and would be written again at the next start")
             .arg(m_pendingPath));
}

void MeasurementStore::refused(const MeasurementDb::Row &row, const QString &error)
{
    if (!m_retry.isActive())
        m_retry.start();
    if (m_outage) {
        VTRACE << "the database still refuses rows; kept:" << m_kept.size() << error;
        return;
    }
    m_outage = true;
    emit outageBegan(error);
    const QString text = QLatin1String("error occured during:\n") + MeasurementDb::describeInsert(row) + QLatin1Char('\n') + error;
    emit problem(OperatorMessage::general(OperatorMessage::Kind::RowRefused, (VLINE << text).text(), text));
}

void MeasurementStore::written(int count, int kept)
{
    const int lost = m_lost;
    m_retry.stop();
    if (m_outage) {
        m_outage = false;
        m_lost = 0;
        VTRACE << "the database takes rows again";
        emit outageEnded(kept);
    }
    emit rowsWritten(count);
    if (lost)
        tell(QStringLiteral("recorded rows lost while the database refused them: %1").arg(lost));
}

void MeasurementStore::reportLost()
{
    if (m_lost > 1) {
        VTRACE << "recorded rows lost in this outage:" << m_lost;
        return;
    }
    tell(QStringLiteral("neither the database nor the pending rows file takes rows: recorded rows "
                        "are being lost (kept in memory: %1)")
             .arg(m_kept.size()));
}

} // namespace Veltrano
