#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>

// Keys to look at again a fixed time after each was added, on one timer for them all: they are
// due in the order they were added. A timer each would cost more than the clients. Those due
// within the slack of the first are looked at together: a storm of connections wakes the server
// a few times, not once a connection.
class TimerQueue : public QObject {
public:
    // What is due: the key and the tag it was added with.
    using Due = std::function<void(quint64 key, quint64 tag)>;

    TimerQueue(std::chrono::milliseconds after, std::chrono::milliseconds slack, Due due);

    void add(quint64 key, quint64 tag = 0);

private:
    void tick();

    struct Entry {
        qint64 at;
        quint64 key;
        quint64 tag;
    };

    std::chrono::milliseconds m_after;
    std::chrono::milliseconds m_slack;
    Due m_due;
    QTimer m_timer;
    QElapsedTimer m_clock;
    std::deque<Entry> m_entries;
};
