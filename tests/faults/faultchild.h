#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>

// The parent's side of veltrano-faultchild: a second process that holds the
// database, writes to it under a file-size limit, or gets killed mid-write.
// The child reports one line per event on its standard output ("stored 17",
// "box Critical|...", "status 1"); this class collects those lines.
class FaultChild : public QObject
{
    Q_OBJECT
public:
    explicit FaultChild(QObject *parent = nullptr);
    ~FaultChild() override;

    // Starts the child in the current directory with these arguments.
    bool start(const QStringList &arguments);
    // Waits until the child has printed a line that starts with `prefix`.
    bool waitForLine(const QByteArray &prefix, int timeoutMs = 120000);
    // Closes the child's standard input (which ends a "lock") and waits for its end.
    bool finish(int timeoutMs = 120000);
    // SIGKILL, then waits until the process is gone.
    void kill();

    QList<QByteArray> lines() const { return m_lines; }
    // The lines that start with `prefix`, without it.
    QList<QByteArray> linesStartingWith(const QByteArray &prefix) const;
    // The number in the last "stored N" line, or 0.
    int lastStored() const;
    // Everything the child wrote to its standard error.
    QByteArray standardError() const;
    int exitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }

private:
    void collect();

    QProcess m_process;
    QByteArray m_partial;
    QList<QByteArray> m_lines;
    QString m_stderrPath;
};
