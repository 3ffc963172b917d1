#include "server/net/timer_queue.h"

TimerQueue::TimerQueue(std::chrono::milliseconds after, std::chrono::milliseconds slack, Due due)
    : m_after(after), m_slack(slack), m_due(std::move(due))
{
    m_timer.setSingleShot(true);
    // Without slack, on time: a gap between two messages is a promise to a plain client.
    m_timer.setTimerType(slack.count() == 0 ? Qt::PreciseTimer : Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, &TimerQueue::tick);
    m_clock.start();
}

void TimerQueue::add(quint64 key, quint64 tag)
{
    m_entries.push_back({m_clock.elapsed() + m_after.count(), key, tag});
    if (!m_timer.isActive())
        m_timer.start(m_after + m_slack);
}

void TimerQueue::tick()
{
    const qint64 now = m_clock.elapsed();
    while (!m_entries.empty() && m_entries.front().at <= now) {
        const Entry entry = m_entries.front();
        m_entries.pop_front();
        m_due(entry.key, entry.tag);
    }
    if (!m_entries.empty())
        m_timer.start(std::chrono::milliseconds(m_entries.front().at - now) + m_slack);
}
