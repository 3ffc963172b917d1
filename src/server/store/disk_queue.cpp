#include "server/store/disk_queue.h"

#include <QMetaObject>
#include <QPointer>

#include <sys/resource.h>
#include <unistd.h>

DiskQueue::DiskQueue(QObject *parent) : QObject(parent)
{
    for (Worker &lane : m_lanes) {
        lane.object = new QObject;
        lane.thread.setObjectName(QStringLiteral("disk"));
        lane.object->moveToThread(&lane.thread);
        lane.thread.start();
        QMetaObject::invokeMethod(lane.object, &yieldToTheChat);
    }
}

DiskQueue::~DiskQueue()
{
    for (Worker &lane : m_lanes) {
        // Behind everything given so far.
        QMetaObject::invokeMethod(lane.object, [&lane] { lane.thread.quit(); },
                                  Qt::QueuedConnection);
        lane.thread.wait();
        delete lane.object;
    }
}

void DiskQueue::run(const QObject *context, std::function<void()> work, std::function<void()> then,
                    Lane lane)
{
    QPointer<const QObject> guard(context);
    QMetaObject::invokeMethod(
        m_lanes[int(lane)].object,
        [this, guard, work = std::move(work), then = std::move(then)]() mutable {
            work();
            if (!then)
                return;
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

void yieldToTheChat()
{
    // Allowed to any user; a failure leaves the thread as it was.
    ::setpriority(PRIO_PROCESS, ::gettid(), 10);
}
