#pragma once

#include <QObject>
#include <QThread>

#include <functional>

// The disk's part of the uploads, on a thread of its own: under four uploads, writes past the
// page cache's dirty limit and the syncs held the event loop, and every chat line with it, for
// hundreds of milliseconds. Work runs there in the order given; what follows it runs here, on
// the queue's own thread, unless the object it was given for is gone by then.
class DiskQueue : public QObject {
public:
    explicit DiskQueue(QObject *parent = nullptr);
    // Waits for the work given so far.
    ~DiskQueue() override;

    void run(const QObject *context, std::function<void()> work, std::function<void()> then);

private:
    QThread m_thread;
    QObject *m_worker;
};
