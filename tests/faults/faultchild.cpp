#include "faultchild.h"

#include <QDir>
#include <QSignalSpy>
#include <QTest>

FaultChild::FaultChild(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<QProcess::ExitStatus>();
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &FaultChild::collect);
}

FaultChild::~FaultChild()
{
    if (m_process.state() != QProcess::NotRunning)
        kill();
}

bool FaultChild::start(const QStringList &arguments)
{
    m_process.setWorkingDirectory(QDir::currentPath());
    // A file, not a pipe: the child may log more than a pipe holds.
    m_stderrPath = QDir::current().filePath(QStringLiteral("faultchild.stderr"));
    m_process.setStandardErrorFile(m_stderrPath);
    m_process.start(QStringLiteral(VELTRANO_FAULTCHILD), arguments);
    return m_process.waitForStarted();
}

void FaultChild::collect()
{
    m_partial += m_process.readAllStandardOutput();
    int end;
    while ((end = m_partial.indexOf('\n')) >= 0) {
        m_lines << m_partial.left(end);
        m_partial.remove(0, end + 1);
    }
}

QList<QByteArray> FaultChild::linesStartingWith(const QByteArray &prefix) const
{
    QList<QByteArray> found;
    for (const QByteArray &line : m_lines) {
        if (line.startsWith(prefix))
            found << line.mid(prefix.size());
    }
    return found;
}

bool FaultChild::waitForLine(const QByteArray &prefix, int timeoutMs)
{
    QSignalSpy finished(&m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    auto seen = [&]() { return !linesStartingWith(prefix).isEmpty(); };
    QDeadlineTimer deadline(timeoutMs);
    while (!seen() && finished.isEmpty() && !deadline.hasExpired())
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    collect();
    return seen();
}

bool FaultChild::finish(int timeoutMs)
{
    m_process.closeWriteChannel();
    const bool done = m_process.waitForFinished(timeoutMs);
    collect();
    return done;
}

void FaultChild::kill()
{
    m_process.kill();
    m_process.waitForFinished(-1);
    collect();
}

int FaultChild::lastStored() const
{
    const QList<QByteArray> stored = linesStartingWith("stored ");
    return stored.isEmpty() ? 0 : stored.last().toInt();
}

QByteArray FaultChild::standardError() const
{
    QFile file(m_stderrPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
