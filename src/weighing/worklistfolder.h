#pragma once

#include "weighing/sampleids.h"
#include "weighing/worklist.h"

#include <QDateTime>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The worklists of one instrument of an unattended collector: files dropped
// into the folder "worklists" beside its database as worklists/ID.csv (ID the
// instrument's id). In that folder, for instrument ID:
//
//   ID.csv               a dropped worklist, taken at the first poll that
//                        finds it as the poll before did (same size and
//                        time), so that a file still being copied waits
//   ID.csv.NNNN.queued   worklists waiting, in the order they were dropped
//   ID.csv.inuse         the worklist in use
//   ID.csv.taken         its progress: "series <name>", then one line
//                        "<number> <sample ID>" per sample given, each
//                        written to disk before the sample is given
//   ID.csv.done          a completed worklist (ID.csv.2.done, ... where the
//                        name is taken), ending in a comment line
//                        "# completed 2026-12-09T10:12:00Z, 20 samples, series ..."
//   ID.csv.refused       a dropped worklist that could not be used (ID.csv.2.refused, ...)
//
// Each worklist starts a series of its own, named by the file and the moment
// it was taken into use ("ID.csv 2026-12-09T10:00:00Z"). After a crash or a
// restart the worklist in use goes on at the first sample not given, and
// none is given twice: a sample whose progress line was cut short by the
// crash was not given. A worklist whose progress does not match its lines
// (edited while in use) is refused rather than guessed at.
//
// A missing folder is no error. Each problem is told once (by poll()), until
// the file it concerns changes.
namespace Veltrano {

class WorklistFolder : public WorklistSource
{
public:
    static constexpr char kFolderName[] = "worklists";
    using Clock = std::function<QDateTime()>;

    // `folder` holds the "worklists" folder (the collector's folder); the
    // clock gives the moments written into the files (UTC; now by default).
    WorklistFolder(const QString &folder, const QString &instrumentId, Clock clock = {});
    // One object per instrument's files: two would give the same samples.
    WorklistFolder(const WorklistFolder &) = delete;
    WorklistFolder &operator=(const WorklistFolder &) = delete;

    // Looks for a dropped worklist and the next one to use, and, the first
    // time, takes up the worklist that was in use. Meant to be called every
    // couple of seconds and once at the start. Returns what the user must be
    // told now.
    QStringList poll();

    std::optional<NextSample> peekSample() const override;
    std::optional<NextSample> takeSample(QString *error) override;

    bool inUse() const { return m_current.has_value(); }
    QString series() const { return m_current ? m_current->series : QString(); }
    int taken() const { return m_current ? m_current->taken : 0; }
    int size() const { return m_current ? int(m_current->list.entries.size()) : 0; }
    int queued() const;

    QString dropPath() const;

private:
    struct Current
    {
        Worklist list;
        QString series;
        int taken = 0;
    };
    struct Signature
    {
        qint64 size = -1;
        qint64 modified = 0;
        bool operator==(const Signature &other) const { return size == other.size && modified == other.modified; }
    };

    QString path(const QString &suffix) const;
    QStringList queuedNames() const;
    void recover();
    void acceptDrop();
    void startNext();
    bool start(const QString &queuedPath);
    bool complete();
    void refuse(const QString &filePath, const QString &why);
    void tell(const QString &key, const QString &message);
    bool appendProgress(const QByteArray &line, QString *error);

    QString m_dir;
    QString m_id;
    Clock m_clock;
    bool m_recovered = false;
    std::optional<Current> m_current;
    std::optional<Signature> m_dropSeen;
    QSet<QString> m_told;
    QStringList m_messages;
    bool m_progressFailing = false;
};

} // namespace Veltrano
