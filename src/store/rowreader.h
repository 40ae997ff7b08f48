#pragma once

#include "store/connectionwatch.h"

#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QThread>
#include <QVariant>
#include <QVector>

#include <memory>

namespace Veltrano {

// Reads rows for a window without letting it wait: statements run on a
// connection of their own (a clone of the one given) on a thread of their
// own, and select() waits for an answer at most kWaitMs. A statement that
// takes longer (a locked file, a server that hangs) is left to finish there;
// until it has, select() fails at once, and caughtUp() says when it did. Its
// answer is kept, so the same statement asked again gets it at once. A
// server that hangs in a statement has its connection cut after
// ConnectionWatch::kDeadlineMs, and at once when the reader goes.
class RowReader : public QObject
{
    Q_OBJECT

public:
#ifdef VELTRANO_SLOW_BUILD
    // Instrumented builds (sanitizers) run statements many times slower.
    static constexpr int kWaitMs = 2000;
#else
    static constexpr int kWaitMs = 50;
#endif
    using Rows = QVector<QVariantList>;

    explicit RowReader(const QSqlDatabase &source, QObject *parent = nullptr);
    ~RowReader() override;

    // Runs `statement` with `values` bound in order; the rows it yields, each
    // as its column values. False when it failed or did not answer in time.
    bool select(const QString &statement, const QVariantList &values, Rows *rows, QString *error = nullptr);
    // The driver of the connection (the statements differ by database).
    QString driverName() const { return m_driverName; }

signals:
    // A statement that did not answer in time has finished.
    void caughtUp();

private:
    struct Job;
    class Worker;
    QString m_driverName;
    QThread m_thread;
    ConnectionWatch m_watch;
    Worker *m_worker = nullptr;
    std::shared_ptr<Job> m_late;  // the statement still running after its wait
    std::shared_ptr<Job> m_kept;  // the last late statement's answer
};

} // namespace Veltrano
