#include "weighing/worklistfolder.h"

#include "support/durablefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <utility>

namespace Veltrano {

namespace {

constexpr char kSeriesLine[] = "series ";
constexpr char kCompletedLine[] = "# completed ";

QString signatureKey(const QString &path)
{
    const QFileInfo info(path);
    return path + QLatin1Char(' ') + QString::number(info.size()) + QLatin1Char(' ')
           + QString::number(info.lastModified().toMSecsSinceEpoch());
}

} // namespace

WorklistFolder::WorklistFolder(const QString &folder, const QString &instrumentId, Clock clock)
    : m_dir(QDir(folder).filePath(QLatin1String(kFolderName)))
    , m_id(instrumentId)
    , m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentDateTimeUtc(); }))
{
}

QString WorklistFolder::path(const QString &suffix) const
{
    return m_dir + QLatin1Char('/') + m_id + QLatin1String(".csv") + suffix;
}

QString WorklistFolder::dropPath() const { return path(QString()); }

QStringList WorklistFolder::poll()
{
    if (QFileInfo(m_dir).isDir()) {
        if (!m_recovered)
            recover();
        if (m_recovered) {
            acceptDrop();
            startNext();
        }
    }
    return std::exchange(m_messages, {});
}

int WorklistFolder::queued() const { return int(queuedNames().size()); }

// The queued files' names, first dropped first.
QStringList WorklistFolder::queuedNames() const
{
    const QString prefix = m_id + QLatin1String(".csv."), suffix = QStringLiteral(".queued");
    QList<std::pair<qint64, QString>> numbered;
    for (const QString &name : QDir(m_dir).entryList(QDir::Files)) {
        if (!name.startsWith(prefix) || !name.endsWith(suffix))
            continue;
        bool ok = false;
        const qint64 number = name.mid(prefix.size(), name.size() - prefix.size() - suffix.size()).toLongLong(&ok);
        if (ok)
            numbered.append({number, name});
    }
    std::sort(numbered.begin(), numbered.end());
    QStringList names;
    for (const auto &item : qAsConst(numbered))
        names << item.second;
    return names;
}

void WorklistFolder::tell(const QString &key, const QString &message)
{
    if (!m_told.contains(key)) {
        m_told.insert(key);
        m_messages << message;
    }
}

void WorklistFolder::refuse(const QString &filePath, const QString &why)
{
    const QString name = QFileInfo(filePath).fileName();
    const QString key = QLatin1String("refuse ") + signatureKey(filePath);
    QString target = path(QStringLiteral(".refused"));
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = path(QStringLiteral(".%1.refused").arg(n));
    QFile file(filePath);
    if (file.rename(target)) {
        DurableFile::syncFolder(m_dir);
        tell(key, QStringLiteral("worklist %1 not used: %2; it was moved aside as %3")
                      .arg(name, why, QFileInfo(target).fileName()));
    } else {
        tell(key, QStringLiteral("worklist %1 not used: %2; it could not be moved aside: %3")
                      .arg(name, why, file.errorString()));
    }
}

void WorklistFolder::recover()
{
    const QString inUse = path(QStringLiteral(".inuse")), progressPath = path(QStringLiteral(".taken"));
    if (!QFileInfo::exists(inUse)) {
        QFile::remove(progressPath);  // left by a completion cut short
        m_recovered = true;
        return;
    }
    QString error;
    const std::optional<Worklist> list = Worklist::read(inUse, &error);
    if (!list) {
        tell(QLatin1String("read ") + signatureKey(inUse), QStringLiteral("worklist in use: %1").arg(error));
        return;  // tried again at the next poll
    }
    m_recovered = true;
    if (!list->isUsable()) {
        QFile::remove(progressPath);
        refuse(inUse, list->problem());
        return;
    }

    QFile progress(progressPath);
    QByteArray bytes;
    if (progress.open(QIODevice::ReadWrite)) {
        bytes = progress.readAll();
        // A line cut short by a crash was not given: drop it.
        const int complete = bytes.lastIndexOf('\n') + 1;
        if (complete < bytes.size()) {
            bytes.truncate(complete);
            progress.resize(complete);
        }
        progress.close();
    }
    QList<QByteArray> lines = bytes.split('\n');
    lines.removeLast();  // after the last line feed
    Current current;
    current.list = *list;
    if (!lines.isEmpty() && lines.first().startsWith(kSeriesLine)) {
        current.series = QString::fromUtf8(lines.takeFirst().mid(int(qstrlen(kSeriesLine))));
    } else {
        // Nothing was given from it yet: a fresh start.
        lines.clear();
        QFile::remove(progressPath);
        current.series = m_id + QLatin1String(".csv ") + m_clock().toUTC().toString(Qt::ISODate);
        if (!appendProgress(QByteArray(kSeriesLine) + current.series.toUtf8() + '\n', &error))
            tell(QLatin1String("progress ") + inUse, QStringLiteral("worklist in use: %1").arg(error));
    }
    for (const QByteArray &line : qAsConst(lines)) {
        const int space = line.indexOf(' ');
        const int number = current.taken + 1;
        const bool matches = number <= list->entries.size() && space > 0
            && line.left(space) == QByteArray::number(number)
            && QString::fromUtf8(line.mid(space + 1)) == list->entries.at(number - 1).sampleId;
        if (!matches) {
            const QString why = QStringLiteral("its progress (%1) does not match its line %2")
                                    .arg(QFileInfo(progressPath).fileName())
                                    .arg(number);
            refuse(inUse, why);
            QFile::rename(progressPath, progressPath + QStringLiteral(".refused"));
            return;
        }
        ++current.taken;
    }
    m_current = current;
    if (m_current->taken == m_current->list.entries.size())
        complete();
}

void WorklistFolder::acceptDrop()
{
    const QString drop = dropPath();
    const QFileInfo info(drop);
    if (!info.exists()) {
        m_dropSeen.reset();
        return;
    }
    if (!info.isFile()) {  // a folder, or a pipe that would block the reading
        tell(QLatin1String("not a file ") + drop, QStringLiteral("worklist %1 is not a file").arg(info.fileName()));
        return;
    }
    const Signature seen{info.size(), info.lastModified().toMSecsSinceEpoch()};
    if (!m_dropSeen || !(*m_dropSeen == seen)) {
        m_dropSeen = seen;  // taken once it stays so until the next poll
        return;
    }
    QString error;
    const std::optional<Worklist> list = Worklist::read(drop, &error);
    if (!list) {
        tell(QLatin1String("read ") + signatureKey(drop), QStringLiteral("worklist: %1").arg(error));
        return;
    }
    m_dropSeen.reset();
    if (!list->isUsable())
        return refuse(drop, list->problem());
    // After the last one waiting: ID.csv.NNNN.queued.
    const QStringList waiting = queuedNames();
    const qint64 lastNumber =
        waiting.isEmpty() ? 0 : waiting.last().mid(m_id.size() + 5).section(QLatin1Char('.'), 0, 0).toLongLong();
    const QString target = path(QStringLiteral(".%1.queued").arg(lastNumber + 1, 4, 10, QLatin1Char('0')));
    QFile file(drop);
    if (!file.rename(target)) {
        tell(QLatin1String("queue ") + signatureKey(drop),
             QStringLiteral("worklist %1 could not be taken: %2").arg(info.fileName(), file.errorString()));
        return;
    }
    DurableFile::syncFolder(m_dir);
}

void WorklistFolder::startNext()
{
    while (!m_current) {
        const QStringList waiting = queuedNames();
        if (waiting.isEmpty() || !start(m_dir + QLatin1Char('/') + waiting.first()))
            return;
    }
}

// False where it cannot go on now (told); true when it started the worklist
// or moved it aside.
bool WorklistFolder::start(const QString &queuedPath)
{
    QString error;
    const std::optional<Worklist> list = Worklist::read(queuedPath, &error);
    if (!list) {
        tell(QLatin1String("read ") + signatureKey(queuedPath), QStringLiteral("worklist: %1").arg(error));
        return false;
    }
    if (!list->isUsable()) {
        refuse(queuedPath, list->problem());
        return true;
    }
    QFile file(queuedPath);
    const QString inUse = path(QStringLiteral(".inuse"));
    if (!file.rename(inUse)) {
        tell(QLatin1String("start ") + signatureKey(queuedPath),
             QStringLiteral("worklist %1 could not be taken into use: %2")
                 .arg(QFileInfo(queuedPath).fileName(), file.errorString()));
        return false;
    }
    DurableFile::syncFolder(m_dir);
    Current current;
    current.list = *list;
    current.series = m_id + QLatin1String(".csv ") + m_clock().toUTC().toString(Qt::ISODate);
    QFile::remove(path(QStringLiteral(".taken")));
    if (!appendProgress(QByteArray(kSeriesLine) + current.series.toUtf8() + '\n', &error))
        tell(QLatin1String("progress ") + signatureKey(inUse), QStringLiteral("worklist in use: %1").arg(error));
    m_current = current;
    return true;
}

bool WorklistFolder::appendProgress(const QByteArray &line, QString *error)
{
    QFile progress(path(QStringLiteral(".taken")));
    if (progress.open(QIODevice::WriteOnly | QIODevice::Append) && progress.write(line) == line.size()
        && DurableFile::sync(progress))
        return true;
    *error = QStringLiteral("cannot keep the progress in %1: %2").arg(progress.fileName(), progress.errorString());
    return false;
}

std::optional<NextSample> WorklistFolder::peekSample() const
{
    if (!m_current)
        return std::nullopt;
    const WorklistEntry &entry = m_current->list.entries.at(m_current->taken);
    return NextSample{entry.sampleId, entry.nominal, m_current->series, NextSample::Source::Worklist};
}

std::optional<NextSample> WorklistFolder::takeSample(QString *error)
{
    const std::optional<NextSample> next = peekSample();
    if (!next)
        return std::nullopt;
    const int number = ++m_current->taken;
    QString why;
    const QByteArray line = QByteArray::number(number) + ' ' + next->sampleId.toUtf8() + '\n';
    if (appendProgress(line, &why)) {
        m_progressFailing = false;
    } else {
        if (!m_progressFailing && error)
            *error = why + QStringLiteral("; after a restart its samples may be given again");
        m_progressFailing = true;
    }
    if (m_current->taken == m_current->list.entries.size()) {
        complete();
        startNext();
    }
    return next;
}

// Marks the worklist in use completed and moves it aside.
bool WorklistFolder::complete()
{
    const QString inUse = path(QStringLiteral(".inuse"));
    const Current current = *std::exchange(m_current, std::nullopt);
    QFile file(inUse);
    bool written = false;
    if (file.open(QIODevice::ReadWrite)) {
        const QByteArray content = file.readAll();
        const int lastLine = content.lastIndexOf('\n', content.size() - 2) + 1;
        written = content.mid(lastLine).startsWith(kCompletedLine);  // already marked before a crash
        if (!written) {
            const QByteArray line = QByteArray(content.isEmpty() || content.endsWith('\n') ? "" : "\n")
                                    + kCompletedLine + m_clock().toUTC().toString(Qt::ISODate).toUtf8() + ", "
                                    + QByteArray::number(current.list.entries.size())
                                    + (current.list.entries.size() == 1 ? " sample" : " samples") + ", series "
                                    + current.series.toUtf8() + '\n';
            written = file.write(line) == line.size() && DurableFile::sync(file);
        }
        file.close();
    }
    if (!written)
        tell(QLatin1String("complete ") + inUse,
             QStringLiteral("worklist %1: its completion could not be written: %2")
                 .arg(current.series, file.errorString()));
    QString target = path(QStringLiteral(".done"));
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = path(QStringLiteral(".%1.done").arg(n));
    if (!file.rename(target)) {
        tell(QLatin1String("done ") + inUse, QStringLiteral("worklist %1 is complete but could not be renamed: %2")
                                                 .arg(current.series, file.errorString()));
        return false;
    }
    QFile::remove(path(QStringLiteral(".taken")));
    DurableFile::syncFolder(m_dir);
    return true;
}

} // namespace Veltrano
