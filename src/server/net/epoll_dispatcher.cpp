#include "server/net/epoll_dispatcher.h"

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QTimerEvent>

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace {

using std::chrono::milliseconds;

// Whole milliseconds until then, rounded up so that a wait never ends before it is due.
int msUntil(std::chrono::steady_clock::duration left)
{
    if (left <= left.zero())
        return 0;
    const auto ms = std::chrono::ceil<milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : int(ms);
}

// What an entry's event carries: the descriptor, and which entry for it (0: the wake-up).
quint64 eventData(int fd, quint32 generation)
{
    return quint64(generation) << 32 | quint32(fd);
}

} // namespace

EpollDispatcher::EpollDispatcher(QObject *parent)
    : QAbstractEventDispatcher(parent),
      m_epoll(::epoll_create1(EPOLL_CLOEXEC)),
      m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = eventData(m_wakeFd, 0);
    if (m_epoll < 0 || m_wakeFd < 0 || ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wakeFd, &event) != 0)
        qFatal("no event loop: %s", std::strerror(errno));
}

EpollDispatcher::~EpollDispatcher()
{
    ::close(m_wakeFd);
    ::close(m_epoll);
}

bool EpollDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    m_interrupted.store(false);
    Q_EMIT awake();
    QCoreApplication::sendPostedEvents();

    const bool notifiers = !(flags & QEventLoop::ExcludeSocketNotifiers);
    const bool timers = !(flags & QEventLoop::X11ExcludeTimers);
    // Asked again after aboutToBlock, whose handlers may interrupt or start a timer.
    const auto timeout = [&] {
        const bool mayWait = (flags & QEventLoop::WaitForMoreEvents) && !m_interrupted.load()
                             && !(notifiers && !m_refused.isEmpty());
        if (!mayWait)
            return 0;
        return timers && !m_queue.empty() ? msUntil(m_queue.begin()->first - Clock::now()) : -1;
    };
    int waitMs = timeout();
    if (waitMs != 0) {
        Q_EMIT aboutToBlock();
        waitMs = timeout();
    }
    // A loop told to end, by a posted event's handler or another thread, ends without a wait.
    if (m_interrupted.load())
        return false;

    // Local: a handler may run a nested loop, which waits again.
    std::array<epoll_event, 256> events;
    int ready = ::epoll_wait(m_epoll, events.data(), int(events.size()), waitMs);
    if (ready < 0) {
        // A signal: whatever became due meanwhile is handled now, and the caller asks again.
        if (errno != EINTR)
            qWarning("epoll_wait: %s", std::strerror(errno));
        ready = 0;
    }
    int handled = 0;
    for (int i = 0; i < ready; ++i) {
        const quint64 data = events[i].data.u64;
        const quint32 generation = quint32(data >> 32);
        if (generation == 0) {
            // Drained before the flag is cleared: a wake-up in between is not lost.
            eventfd_t count;
            (void)::eventfd_read(m_wakeFd, &count);
            m_woken.store(false);
            ++handled;
        } else if (notifiers) {
            handled += activateNotifiers(int(quint32(data)), generation, events[i].events);
        }
    }
    if (notifiers) {
        const QList<int> refused = m_refused;
        for (const int fd : refused) {
            const auto it = m_watched.constFind(fd);
            if (it != m_watched.cend() && it->refused)
                handled += activateNotifiers(fd, it->generation, EPOLLIN | EPOLLOUT);
        }
    }
    if (timers)
        handled += activateTimers();
    return handled > 0;
}

int EpollDispatcher::activateNotifiers(int fd, quint32 generation, quint32 events)
{
    static constexpr struct {
        QSocketNotifier::Type type;
        quint32 events;
    } kinds[] = {
        {QSocketNotifier::Read, EPOLLIN | EPOLLHUP | EPOLLERR},
        {QSocketNotifier::Write, EPOLLOUT | EPOLLERR | EPOLLHUP},
        {QSocketNotifier::Exception, EPOLLPRI},
    };
    int activated = 0;
    for (const auto &kind : kinds) {
        if (!(events & kind.events))
            continue;
        // Looked up again each time: the previous handler may have disabled or deleted this
        // notifier, or closed the descriptor and opened another under the same number.
        const auto it = m_watched.constFind(fd);
        if (it == m_watched.cend() || it->generation != generation)
            break;
        QSocketNotifier *notifier = it->notifiers[kind.type];
        if (!notifier)
            continue;
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(notifier, &event);
        ++activated;
    }
    return activated;
}

void EpollDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    const int type = int(notifier->type());
    if (fd < 0 || type < 0 || type > 2)
        return;
    auto it = m_watched.find(fd);
    const bool added = it == m_watched.end();
    if (added) {
        it = m_watched.insert(fd, Watched{});
        // 0 stands for the wake-up.
        it->generation = ++m_generations ? m_generations : ++m_generations;
    }
    if (it->notifiers[type] && it->notifiers[type] != notifier)
        qWarning("a second notifier of one type for descriptor %d", fd);
    it->notifiers[type] = notifier;
    updateEpoll(fd, added);
}

void EpollDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    const int type = int(notifier->type());
    const auto it = m_watched.find(fd);
    if (it == m_watched.end() || type < 0 || type > 2 || it->notifiers[type] != notifier)
        return;
    it->notifiers[type] = nullptr;
    updateEpoll(fd, false);
}

void EpollDispatcher::updateEpoll(int fd, bool added)
{
    const auto it = m_watched.find(fd);
    Watched &watched = *it;
    epoll_event event{};
    event.events = (watched.notifiers[QSocketNotifier::Read] ? quint32(EPOLLIN) : 0)
        | (watched.notifiers[QSocketNotifier::Write] ? quint32(EPOLLOUT) : 0)
        | (watched.notifiers[QSocketNotifier::Exception] ? quint32(EPOLLPRI) : 0);
    event.data.u64 = eventData(fd, watched.generation);
    if (!event.events) {
        // It may be closed already, which took it out of the set.
        if (watched.refused)
            m_refused.removeOne(fd);
        else
            (void)::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, &event);
        m_watched.erase(it);
        return;
    }
    if (watched.refused)
        return;
    // The set may disagree with the table: a descriptor closed without its notifiers being
    // disabled has left the set by itself, and its number may come back for another file.
    if (::epoll_ctl(m_epoll, added ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event) == 0)
        return;
    if (errno == (added ? EEXIST : ENOENT)
        && ::epoll_ctl(m_epoll, added ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) == 0)
        return;
    if (errno == EPERM) {
        watched.refused = true;
        m_refused.append(fd);
    } else {
        qWarning("epoll_ctl on descriptor %d: %s", fd, std::strerror(errno));
    }
}

void EpollDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                                    QObject *object)
{
    unregisterTimer(timerId);
    const Clock::time_point deadline = Clock::now() + milliseconds(interval);
    m_timers.insert(timerId, Timer{interval, timerType, object, deadline});
    m_queue.emplace(deadline, timerId);
    m_timersOf.insert(object, timerId);
}

bool EpollDispatcher::unregisterTimer(int timerId)
{
    const auto it = m_timers.find(timerId);
    if (it == m_timers.end())
        return false;
    m_queue.erase({it->deadline, timerId});
    m_timersOf.remove(it->object, timerId);
    m_timers.erase(it);
    return true;
}

bool EpollDispatcher::unregisterTimers(QObject *object)
{
    const QList<int> ids = m_timersOf.values(object);
    for (const int id : ids)
        unregisterTimer(id);
    return !ids.isEmpty();
}

QList<QAbstractEventDispatcher::TimerInfo> EpollDispatcher::registeredTimers(QObject *object) const
{
    QList<TimerInfo> infos;
    for (auto it = m_timersOf.constFind(object); it != m_timersOf.cend() && it.key() == object;
         ++it) {
        const Timer &timer = *m_timers.constFind(*it);
        infos.append(TimerInfo(*it, int(timer.interval), timer.type));
    }
    return infos;
}

int EpollDispatcher::remainingTime(int timerId)
{
    const auto it = m_timers.constFind(timerId);
    return it == m_timers.cend() ? -1 : msUntil(it->deadline - Clock::now());
}

int EpollDispatcher::activateTimers()
{
    const Clock::time_point now = Clock::now();
    // The due ones first, each to fire at most once a turn: a 0 ms timer must not keep the
    // loop from the sockets, nor a handler's new timers from them.
    std::vector<int> due;
    for (auto it = m_queue.begin(); it != m_queue.end() && it->first <= now; ++it)
        due.push_back(it->second);
    int fired = 0;
    for (const int id : due) {
        // An earlier handler may have stopped this one, or started it again.
        const auto it = m_timers.find(id);
        if (it == m_timers.end() || it->deadline > now)
            continue;
        // Rescheduled before its handler runs, which may stop or restart it.
        m_queue.erase({it->deadline, id});
        const Clock::time_point next = it->deadline + milliseconds(it->interval);
        it->deadline = next > now ? next : now + milliseconds(it->interval);
        m_queue.emplace(it->deadline, id);
        QTimerEvent event(id);
        QCoreApplication::sendEvent(it->object, &event);
        ++fired;
    }
    return fired;
}

void EpollDispatcher::wakeUp()
{
    // One write until the loop reads it: posting many events costs one system call.
    if (!m_woken.exchange(true))
        (void)::eventfd_write(m_wakeFd, 1);
}

void EpollDispatcher::interrupt()
{
    m_interrupted.store(true);
    wakeUp();
}
