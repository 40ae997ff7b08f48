#include "publish/outbox.h"

#include "support/durablefile.h"
#include "support/trace.h"

#include <QList>

namespace Veltrano {

namespace {

struct Line
{
    enum Kind { Unreadable, Message, Acknowledged } kind = Unreadable;
    qint64 seq = 0;
    Veltrano::Message message;
};

QByteArray decoded(const QByteArray &base64, bool *ok)
{
    const auto result = QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
    *ok = *ok && bool(result);
    return result.decoded;
}

// `bytes` is one complete line, with its line feed.
Line parse(QByteArray bytes)
{
    bytes.chop(1);
    const QList<QByteArray> fields = bytes.split(',');
    Line line;
    bool ok = fields.size() >= 2;
    line.seq = ok ? fields.at(1).toLongLong(&ok) : 0;
    ok = ok && line.seq > 0;
    if (ok && fields.size() == 2 && fields.first() == "a") {
        line.kind = Line::Acknowledged;
    } else if (ok && fields.size() == 4 && fields.first() == "m") {
        line.message.topic = decoded(fields.at(2), &ok);
        line.message.payload = decoded(fields.at(3), &ok);
        if (ok && !line.message.topic.isEmpty())
            line.kind = Line::Message;
    }
    return line;
}

} // namespace

Outbox::Outbox(const QString &path, int loadedBound, int unsavedBound)
    : m_path(path)
    , m_loadedBound(qMax(1, loadedBound))
    , m_unsavedBound(qMax(1, unsavedBound))
    , m_file(path)
{
}

Outbox::~Outbox() { close(); }

QByteArray Outbox::line(const Entry &entry)
{
    return "m," + QByteArray::number(entry.seq) + ',' + entry.message.topic.toBase64() + ','
           + entry.message.payload.toBase64() + '\n';
}

Outbox::Opened Outbox::open()
{
    Opened opened;
    QFile in(m_path);
    if (in.exists()) {
        if (!in.open(QIODevice::ReadOnly)) {
            opened.error = in.errorString();
            return opened;
        }
        // First the acknowledgements (each covers the messages before it),
        // then where the first message waiting is, and how many follow it.
        qint64 acked = 0, last = 0, complete = 0;
        while (!in.atEnd()) {
            const QByteArray bytes = in.readLine();
            if (!bytes.endsWith('\n')) {
                opened.torn = true;
                break;
            }
            complete += bytes.size();
            const Line line = parse(bytes);
            if (line.kind == Line::Acknowledged)
                acked = qMax(acked, line.seq);
            else if (line.kind == Line::Message)
                last = qMax(last, line.seq);
            else
                ++opened.unreadable;
        }
        m_size = complete;
        m_readOffset = complete;
        in.seek(0);
        for (qint64 offset = 0; offset < complete;) {
            const QByteArray bytes = in.readLine();
            const Line line = parse(bytes);
            if (line.kind == Line::Message && line.seq > acked) {
                if (m_backlog == 0)
                    m_readOffset = offset;
                ++m_backlog;
            }
            offset += bytes.size();
        }
        m_nextSeq = qMax(acked, last) + 1;
        if (in.error() != QFileDevice::NoError) {
            opened.error = in.errorString();
            return opened;
        }
    }
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        opened.error = m_file.errorString();
        return opened;
    }
    // What a crash cut short never reached the outbox whole.
    if (opened.torn && !m_file.resize(m_size))
        opened.error = m_file.errorString();
    if (m_backlog == 0 && m_size > 0 && m_file.resize(0))
        m_size = m_readOffset = 0;
    opened.waiting = int(m_backlog);
    load();
    return opened;
}

bool Outbox::writeLines(const QByteArray &lines, bool flush, QString *error)
{
    if (!m_file.isOpen() && !m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = m_file.errorString();
        return false;
    }
    if (m_file.write(lines) == lines.size() && (!flush || DurableFile::sync(m_file, error))) {
        m_size += lines.size();
        if (m_backlog == 0)
            m_readOffset = m_size;
        return true;
    }
    if (error->isEmpty())
        *error = m_file.errorString();
    // A line written in part would join the next one: the file goes back to
    // its complete lines.
    if (!m_file.resize(m_size))
        m_file.close();
    return false;
}

void Outbox::keepUnsaved(const QList<Slot> &fresh)
{
    for (const Slot &slot : fresh) {
        if (m_unsaved.size() < m_unsavedBound)
            m_unsaved.append(slot);
        else
            ++m_lost;
    }
}

bool Outbox::saveUnsaved(QString *error)
{
    QByteArray lines;
    for (const Slot &slot : qAsConst(m_unsaved))
        lines += line(slot.entry);
    if (!writeLines(lines, true, error))
        return false;
    if (m_backlog == 0) {
        m_loaded += m_unsaved;
    } else {
        Q_ASSERT(m_handedOut <= m_loaded.size());
        m_backlog += m_unsaved.size();
    }
    m_unsaved.clear();
    return true;
}

bool Outbox::append(const QVector<Message> &messages, QString *error)
{
    QList<Slot> fresh;
    QByteArray lines;
    QVector<qint64> offsets;
    for (const Message &message : messages) {
        fresh.append({{m_nextSeq++, message}, false});
        offsets.append(lines.size());
        lines += line(fresh.last().entry);
    }
    if (!m_unsaved.isEmpty() && !saveUnsaved(error)) {
        keepUnsaved(fresh);
        return false;
    }
    const qint64 base = m_size;
    if (!writeLines(lines, true, error)) {
        keepUnsaved(fresh);
        return false;
    }
    for (int i = 0; i < fresh.size(); ++i) {
        if (m_backlog == 0 && unsent() < m_loadedBound) {
            m_loaded.append(fresh.at(i));
        } else {
            if (m_backlog == 0)  // the first one the file alone holds
                m_readOffset = base + offsets.at(i);
            ++m_backlog;
        }
    }
    return true;
}

void Outbox::load()
{
    if (m_backlog == 0)
        return;
    QFile in(m_path);
    if (!in.open(QIODevice::ReadOnly) || !in.seek(m_readOffset))
        return;  // tried again at the next message out
    const qint64 after = m_loaded.isEmpty() ? 0 : m_loaded.last().entry.seq;
    while (m_backlog > 0 && unsent() < m_loadedBound) {
        const QByteArray bytes = in.readLine();
        if (!bytes.endsWith('\n')) {
            VCRITICAL << "the outbox" << m_path << "ends before its messages:" << m_backlog << "missing";
            m_backlog = 0;
            break;
        }
        m_readOffset += bytes.size();
        Line line = parse(bytes);
        if (line.kind == Line::Message && line.seq > after) {
            m_loaded.append({{line.seq, std::move(line.message)}, false});
            --m_backlog;
        }
    }
    if (m_backlog == 0)
        m_readOffset = m_size;
}

const Outbox::Entry *Outbox::next()
{
    for (;;) {
        if (m_handedOut >= m_loaded.size() && m_backlog > 0)
            load();
        if (m_handedOut >= m_loaded.size() && m_backlog > 0)
            return nullptr;  // the file cannot be read now
        if (m_handedOut >= m_loaded.size() + m_unsaved.size())
            return nullptr;
        Slot &slot = at(m_handedOut++);
        if (!slot.acked)
            return &slot.entry;
    }
}

void Outbox::acknowledge(qint64 seq)
{
    for (int i = 0; i < m_handedOut; ++i) {
        Slot &slot = at(i);
        if (slot.entry.seq == seq) {
            slot.acked = true;
            break;
        }
    }
    qint64 lastInFile = 0;
    while (m_handedOut > 0 && at(0).acked) {
        const bool inFile = !m_loaded.isEmpty();
        const Slot slot = inFile ? m_loaded.takeFirst() : m_unsaved.takeFirst();
        if (inFile)
            lastInFile = slot.entry.seq;
        m_lastAcked = qMax(m_lastAcked, slot.entry.seq);
        --m_handedOut;
        if (m_loaded.isEmpty() && m_backlog > 0)
            load();
    }
    if (lastInFile == 0)
        return;
    if (m_loaded.isEmpty() && m_backlog == 0) {
        // Every message of the file went: it starts again empty.
        if (m_file.isOpen() && m_file.resize(0))
            m_size = m_readOffset = 0;
        return;
    }
    QString error;
    if (!writeLines("a," + QByteArray::number(lastInFile) + '\n', false, &error))
        VTRACE << "acknowledgement not kept in the outbox (sent again after a restart):" << error;
}

void Outbox::restartSending() { m_handedOut = 0; }

qint64 Outbox::firstWaitingSeq() const
{
    if (!m_loaded.isEmpty())
        return m_loaded.first().entry.seq;
    if (m_backlog > 0)  // not read yet: it comes after every one acknowledged
        return m_lastAcked + 1;
    return m_unsaved.isEmpty() ? 0 : m_unsaved.first().entry.seq;
}

void Outbox::close()
{
    if (!m_file.isOpen())
        return;
    QString error;
    if (!DurableFile::sync(m_file, &error))
        VTRACE << "acknowledgements of the outbox not on disk (sent again after a restart):" << error;
    m_file.close();
}

} // namespace Veltrano
