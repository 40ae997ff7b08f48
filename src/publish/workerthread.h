#pragma once

#include <QMetaObject>
#include <QObject>
#include <QSemaphore>
#include <QThread>

#include <functional>
#include <memory>
#include <mutex>

namespace Veltrano {

// Where a thread that is no QThread (one waiting for the network or a share
// that may hang, and that may outlive its receiver) sends what happened: to
// the receiver's thread, as long as the receiver has not closed it.
class Mailbox
{
public:
    explicit Mailbox(QObject *receiver)
        : m_receiver(receiver)
    {
    }

    // `event` runs on the receiver's thread, with the receiver, unless the
    // receiver closed the mailbox first (or is gone by then).
    void post(std::function<void(QObject *)> event)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_receiver)
            QMetaObject::invokeMethod(
                m_receiver, [receiver = m_receiver, event = std::move(event)] { event(receiver); }, Qt::QueuedConnection);
    }

    // Nothing posted after this arrives; call before the receiver goes.
    void close()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_receiver = nullptr;
    }

private:
    std::mutex m_mutex;
    QObject *m_receiver;
};

// A publishing object's worker lives on a thread of its own: started there
// with its open(), and ended with its finish(patienceMs, done), which
// releases `done` once what it can do is done.
template<typename Worker>
void startWorker(QThread &thread, Worker *worker)
{
    worker->moveToThread(&thread);
    thread.start();
    QMetaObject::invokeMethod(worker, [worker] { worker->open(); }, Qt::QueuedConnection);
}

// Waits for the worker's finish(), then ends the thread and deletes the worker.
template<typename Worker>
void finishWorker(QThread &thread, Worker *&worker, int patienceMs)
{
    auto done = std::make_shared<QSemaphore>();
    QMetaObject::invokeMethod(worker, [worker, done, patienceMs] { worker->finish(patienceMs, done); },
                              Qt::QueuedConnection);
    done->acquire();
    thread.quit();
    thread.wait();
    delete worker;
    worker = nullptr;
}

} // namespace Veltrano
