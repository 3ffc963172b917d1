#pragma once

#include <QObject>
#include <QThread>

#include <functional>

// The disk's part of the uploads, on a thread of its own: under four uploads, writes past the
// page cache's dirty limit and the syncs held the event loop, and every chat line with it, for
// hundreds of milliseconds. Work runs there in the order given; what follows it runs here, on
// the queue's own thread, unless the object it was given for is gone by then.
// Syncs have a lane of their own: a sync of 4 MiB waits for the disk (tens of milliseconds on a
// virtual disk), and appends behind it waited too; so do removals: unlinking a GiB took up to
// 0.55 s, which every upload would wait for; so do the uploads' SHA-256s, which take a processor
// as long as their writes, and the downloads' reading ahead.
class DiskQueue : public QObject {
public:
    enum class Lane { Writes, Syncs, Removals, Digests, Reads };

    explicit DiskQueue(QObject *parent = nullptr);
    // Waits for the work given so far.
    ~DiskQueue() override;

    // `then` may be empty: nothing follows.
    void run(const QObject *context, std::function<void()> work, std::function<void()> then,
             Lane lane = Lane::Writes);

private:
    struct Worker {
        QThread thread;
        QObject *object = nullptr;
    };
    Worker m_lanes[5];
};

// Lowers the calling thread to nice 10, for the bytes of files: the chat's loop then takes a
// processor first. Four uploads on two busy cores put a private line at 4 to 10 times its p99
// at rest with the file threads at nice 0, 2.4 to 4.6 times with them at 10.
void yieldToTheChat();
