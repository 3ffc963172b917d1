#pragma once

#include <QAbstractEventDispatcher>
#include <QHash>
#include <QList>

#include <array>
#include <atomic>
#include <chrono>
#include <set>
#include <utility>

class QSocketNotifier;

// The server's event loop underneath Qt's sockets and timers. Qt's own waits by handing the
// system every watched descriptor on every turn, so with thousands of idle clients a single
// line costs as much as all of them; this one keeps the descriptors in an epoll set, so a turn
// costs what is ready and what is due, however many clients wait.
class EpollDispatcher : public QAbstractEventDispatcher {
    Q_OBJECT

public:
    explicit EpollDispatcher(QObject *parent = nullptr);
    ~EpollDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;

    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                       QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;

private:
    using Clock = std::chrono::steady_clock;

    // The notifiers of one descriptor, by QSocketNotifier::Type (Read, Write, Exception).
    struct Watched {
        std::array<QSocketNotifier *, 3> notifiers{};
        // Tells this entry's events from those of an earlier one for the same number, closed
        // and reused within one batch.
        quint32 generation = 0;
        // epoll refuses regular files (standard input from a file or /dev/null); poll calls
        // them always ready, and so does this.
        bool refused = false;
    };
    struct Timer {
        qint64 interval;
        Qt::TimerType type;
        QObject *object;
        Clock::time_point deadline;
    };

    void updateEpoll(int fd, bool added);
    int activateNotifiers(int fd, quint32 generation, quint32 events);
    int activateTimers();

    int m_epoll = -1;
    int m_wakeFd = -1;
    std::atomic<bool> m_woken{false};
    std::atomic<bool> m_interrupted{false};

    QHash<int, Watched> m_watched;
    QList<int> m_refused;
    quint32 m_generations = 0;

    QHash<int, Timer> m_timers;
    std::set<std::pair<Clock::time_point, int>> m_queue;
    QMultiHash<QObject *, int> m_timersOf;
};
