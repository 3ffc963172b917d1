#include "server/store/disk_queue.h"

#include <QMetaObject>
#include <QPointer>

DiskQueue::DiskQueue(QObject *parent) : QObject(parent), m_worker(new QObject)
{
    m_thread.setObjectName(QStringLiteral("disk"));
    m_worker->moveToThread(&m_thread);
    m_thread.start();
}

DiskQueue::~DiskQueue()
{
    // Behind everything given so far.
    QMetaObject::invokeMethod(m_worker, [this] { m_thread.quit(); }, Qt::QueuedConnection);
    m_thread.wait();
    delete m_worker;
}

void DiskQueue::run(const QObject *context, std::function<void()> work, std::function<void()> then)
{
    QPointer<const QObject> guard(context);
    QMetaObject::invokeMethod(
        m_worker,
        [this, guard, work = std::move(work), then = std::move(then)]() mutable {
            work();
            // Back here, where the context lives and dies: checked where it cannot vanish.
            QMetaObject::invokeMethod(
                this, [guard, then = std::move(then)] {
                    if (guard)
                        then();
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}
