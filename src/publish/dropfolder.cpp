#include "publish/dropfolder.h"

#include "support/durablefile.h"
#include "publish/workerthread.h"
#include "support/trace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSemaphore>
#include <QSet>
#include <QTimer>

#include <functional>
#include <memory>
#include <thread>

namespace Veltrano {

namespace {

// Spooled files are named SEQ-NAME, SEQ of this many digits.
constexpr int kSeqDigits = 12;

QString withSerial(const QString &name, int serial)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const int at = dot > 0 ? dot : name.size();
    return name.left(at) + QLatin1Char('-') + QString::number(serial) + name.mid(at);
}

struct Delivery
{
    QString error;       // empty: the file is in the folder
    QString name;        // under this name
    bool spoolUnreadable = false;
};

// Runs on a thread of its own: the folder may be a share that hangs.
Delivery deliver(const QString &folder, const QString &name, const QString &spooled, QByteArray content)
{
    Delivery delivery;
    if (!spooled.isEmpty()) {
        QFile file(spooled);
        if (!file.open(QIODevice::ReadOnly)) {
            delivery.error = file.errorString();
            delivery.spoolUnreadable = true;
            return delivery;
        }
        content = file.readAll();
    }
    if (!QFileInfo(folder).isDir()) {
        delivery.error = QStringLiteral("the folder is not there");
        return delivery;
    }
    for (int serial = 1;; ++serial) {
        delivery.name = serial == 1 ? name : withSerial(name, serial);
        QFile existing(QDir(folder).filePath(delivery.name));
        if (!existing.exists()) {
            delivery.error = DurableFile::writeWhole(folder, delivery.name, content);
            return delivery;
        }
        // Written before a crash took the spooled copy's removal: it counts.
        if (existing.open(QIODevice::ReadOnly) && existing.readAll() == content)
            return delivery;
    }
}

} // namespace

class DropFolder::Worker : public QObject
{
public:
    Worker(DropFolder *owner, const DropConfig &config, const QString &spoolPath, int retryMs)
        : m_owner(owner)
        , m_config(config)
        , m_spool(spoolPath)
        , m_retryMs(retryMs)
        , m_mailbox(std::make_shared<Mailbox>(this))
        , m_retry(this)
        , m_patience(this)
    {
        m_retry.setSingleShot(true);
        connect(&m_retry, &QTimer::timeout, this, [this] {
            spoolWaiting();
            deliverNext();
        });
        m_patience.setSingleShot(true);
        connect(&m_patience, &QTimer::timeout, this, [this] { complete(); });
    }

    ~Worker() override { m_mailbox->close(); }

    void open()
    {
        if (!QDir().mkpath(m_spool))
            emit m_owner->problem((VLINE << QStringLiteral("the spool folder %1 cannot be made; files for the drop "
                                                           "folder wait in memory only").arg(m_spool))
                                      .text());
        const QStringList names = QDir(m_spool).entryList(QDir::Files | QDir::Hidden, QDir::Name);
        for (const QString &spooled : names) {
            if (DurableFile::isPartName(spooled)) {
                QFile::remove(QDir(m_spool).filePath(spooled));  // cut short by a crash; kept whole otherwise
                continue;
            }
            bool ok = false;
            const qint64 seq = spooled.left(kSeqDigits).toLongLong(&ok);
            if (!ok || spooled.mid(kSeqDigits, 1) != QLatin1String("-")) {
                VTRACE << "not a spooled file, left alone:" << spooled;
                continue;
            }
            m_nextSeq = qMax(m_nextSeq, seq + 1);
            const QString name = spooled.mid(kSeqDigits + 1);
            m_used.insert(name);
            m_queue.append({name, spooled, {}});
        }
        if (!m_queue.isEmpty())
            VTRACE << "files from an earlier run wait for the drop folder:" << m_queue.size();
        deliverNext();
    }

    // `name` gives the file's name for a serial (1, 2, ...): the first one
    // not used yet is taken.
    void add(const std::function<QString(int)> &name, const QByteArray &content)
    {
        QString chosen;
        for (int serial = 1; chosen.isEmpty() || m_used.contains(chosen); ++serial)
            chosen = name(serial);
        m_used.insert(chosen);
        spoolWaiting();
        Entry entry{chosen, {}, content};
        if (!hasUnspooled())
            spool(entry);
        if (entry.spooled.isEmpty() && unspooled() >= kUnspooled) {
            ++m_lost;
            return;
        }
        m_queue.append(entry);
        deliverNext();
    }

    void finish(int patienceMs, std::shared_ptr<QSemaphore> done)
    {
        m_done = std::move(done);
        m_finishing = true;
        m_retry.stop();
        if (!m_busy && (m_queue.isEmpty() || m_away)) {
            complete();
            return;
        }
        m_patience.start(patienceMs);
        deliverNext();
    }

private:
    struct Entry
    {
        QString name;
        QString spooled;     // its name in the spool; empty: in memory only
        QByteArray content;  // only while it is not in the spool
    };

    bool hasUnspooled() const { return unspooled() > 0; }
    int unspooled() const
    {
        int count = 0;
        for (const Entry &entry : m_queue)
            count += entry.spooled.isEmpty();
        return count;
    }

    bool spool(Entry &entry)
    {
        const QString spooled = QStringLiteral("%1-%2").arg(m_nextSeq, kSeqDigits, 10, QLatin1Char('0')).arg(entry.name);
        const QString error = DurableFile::writeWhole(m_spool, spooled, entry.content);
        if (!error.isEmpty()) {
            if (!std::exchange(m_spoolRefusing, true))
                emit m_owner->problem((VLINE << QStringLiteral("the spool folder %1 takes no files: %2; files for the "
                                                               "drop folder wait in memory (up to %3)")
                                                    .arg(m_spool, error).arg(kUnspooled))
                                          .text());
            return false;
        }
        ++m_nextSeq;
        entry.spooled = spooled;
        entry.content.clear();
        if (std::exchange(m_spoolRefusing, false))
            VTRACE << "the spool folder takes files again";
        return true;
    }

    // Files kept in memory go into the spool, in order, once it takes them.
    void spoolWaiting()
    {
        for (Entry &entry : m_queue) {
            if (entry.spooled.isEmpty() && !spool(entry))
                return;
        }
        reportLost();
    }

    void reportLost()
    {
        if (const int lost = std::exchange(m_lost, 0))
            emit m_owner->problem((VLINE << QStringLiteral("files for the drop folder %1 lost, neither the spool nor "
                                                           "the memory took them: %2").arg(m_config.dir).arg(lost))
                                      .text());
    }

    void deliverNext()
    {
        if (m_busy || m_queue.isEmpty() || m_retry.isActive() || m_completed)
            return;
        m_busy = true;
        const Entry &entry = m_queue.first();
        const QString spooled = entry.spooled.isEmpty() ? QString() : QDir(m_spool).filePath(entry.spooled);
        std::thread([mailbox = m_mailbox, folder = m_config.dir, name = entry.name, spooled, content = entry.content] {
            const Delivery delivery = deliver(folder, name, spooled, content);
            mailbox->post([delivery](QObject *worker) { static_cast<Worker *>(worker)->delivered(delivery); });
        }).detach();
    }

    void delivered(const Delivery &delivery)
    {
        m_busy = false;
        if (m_completed)
            return;
        if (delivery.spoolUnreadable) {
            const Entry entry = m_queue.takeFirst();
            emit m_owner->problem((VLINE << QStringLiteral("the spooled file %1 cannot be read: %2; left in the "
                                                           "spool, tried again at the next start")
                                                .arg(QDir(m_spool).filePath(entry.spooled), delivery.error))
                                      .text());
        } else if (!delivery.error.isEmpty()) {
            m_away = true;
            VTRACE << "the drop folder does not take files:" << m_config.dir << delivery.error;
            if (!std::exchange(m_outageTold, true))
                emit m_owner->outageBegan(QStringLiteral("%1: %2").arg(m_config.dir, delivery.error));
            if (m_finishing) {
                complete();
                return;
            }
            m_retry.start(m_retryMs);
            return;
        } else {
            m_away = false;
            const Entry entry = m_queue.takeFirst();
            if (!entry.spooled.isEmpty() && !QFile::remove(QDir(m_spool).filePath(entry.spooled)))
                VTRACE << "written, but its spooled copy stays (written again as the same file):" << entry.spooled;
            m_used.remove(entry.name);
            ++m_writtenInOutage;
            emit m_owner->fileWritten(delivery.name);
        }
        if (m_queue.isEmpty() && m_outageTold) {
            m_outageTold = false;
            emit m_owner->outageEnded(std::exchange(m_writtenInOutage, 0));
        }
        if (!m_outageTold)
            m_writtenInOutage = 0;
        if (m_finishing && m_queue.isEmpty())
            complete();
        else
            deliverNext();
    }

    void complete()
    {
        if (std::exchange(m_completed, true))
            return;
        m_patience.stop();
        m_mailbox->close();
        reportLost();
        if (const int unspooled = this->unspooled())
            emit m_owner->problem((VLINE << QStringLiteral("files not written into the drop folder %1 and not kept, "
                                                           "the spool %2 did not take them: %3")
                                                .arg(m_config.dir, m_spool).arg(unspooled))
                                      .text());
        if (m_queue.size() > unspooled())
            VTRACE << "files left in the spool for the next start:" << m_queue.size() - unspooled();
        if (m_done)
            m_done->release();
    }

    DropFolder *m_owner;
    const DropConfig m_config;
    const QString m_spool;
    const int m_retryMs;
    std::shared_ptr<Mailbox> m_mailbox;
    QList<Entry> m_queue;
    QSet<QString> m_used;  // names waiting, so that no two get the same
    qint64 m_nextSeq = 1;
    bool m_busy = false;   // a file is being written into the folder
    bool m_away = false;   // the last try failed
    bool m_outageTold = false;
    int m_writtenInOutage = 0;
    bool m_spoolRefusing = false;
    int m_lost = 0;
    bool m_finishing = false;
    bool m_completed = false;
    std::shared_ptr<QSemaphore> m_done;
    QTimer m_retry;
    QTimer m_patience;
};

DropFolder::DropFolder(const DropConfig &config, const QString &spoolPath, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_spoolPath(spoolPath)
{
    m_thread.setObjectName(QStringLiteral("drop folder"));
}

DropFolder::~DropFolder() { stop(); }

void DropFolder::start()
{
    if (m_worker || m_stopped)
        return;
    m_worker = new Worker(this, m_config, m_spoolPath, m_retryMs);
    startWorker(m_thread, m_worker);
}

template<typename File>
void DropFolder::queue(const File &file)
{
    if (!m_worker || m_stopped)
        return;
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, file, format = m_config.format] {
        const QDateTime at = QDateTime::currentDateTime();
        worker->add([&](int serial) { return DropFiles::name(file, at, format, serial); }, DropFiles::content(file, format));
    }, Qt::QueuedConnection);
}

void DropFolder::write(const SeriesFile &file) { queue(file); }

void DropFolder::write(const CheckFile &file) { queue(file); }

void DropFolder::stop(int patienceMs)
{
    if (std::exchange(m_stopped, true) || !m_worker)
        return;
    finishWorker(m_thread, m_worker, patienceMs);
}

} // namespace Veltrano
