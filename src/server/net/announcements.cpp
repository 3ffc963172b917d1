#include "server/net/announcements.h"

#include "server/net/connection.h"

Announcements::Announcements()
{
    m_wait.setSingleShot(true);
    m_wait.setTimerType(Qt::PreciseTimer);
    connect(&m_wait, &QTimer::timeout, this, &Announcements::tellEveryone);
    m_clock.start();
}

void Announcements::add(const QByteArray &message, quint64 from, const QString &about,
                        Presence presence)
{
    if (m_said.empty()) {
        const qint64 rest = m_told + m_took - m_clock.nsecsElapsed();
        if (rest > 1'000'000)
            m_wait.start(std::chrono::milliseconds(rest / 1'000'000));
        else
            QMetaObject::invokeMethod(this, &Announcements::tellEveryone, Qt::QueuedConnection);
    }
    m_said.push_back({message, from, about, presence});
}

qsizetype Announcements::join(Connection *reader)
{
    const Reader joined{reader, m_round, m_said.size()};
    if (m_free.empty()) {
        m_readers.push_back(joined);
        return qsizetype(m_readers.size()) - 1;
    }
    const qsizetype place = m_free.back();
    m_free.pop_back();
    m_readers[size_t(place)] = joined;
    return place;
}

std::span<const Announcements::Said> Announcements::unheard(qsizetype place)
{
    Reader &reader = m_readers[size_t(place)];
    if (reader.round != m_round) {
        reader.round = m_round;
        reader.heard = 0;
    }
    const size_t from = std::min(reader.heard, m_said.size());
    reader.heard = m_said.size();
    return std::span<const Said>(m_said).subspan(from);
}

void Announcements::forget(qsizetype place)
{
    m_readers[size_t(place)] = {};
    m_free.push_back(place);
}

void Announcements::tellEveryone()
{
    const qint64 start = m_clock.nsecsElapsed();
    for (const Reader &reader : m_readers) {
        if (reader.connection)
            reader.connection->hear();
    }
    m_said.clear();
    ++m_round;
    m_told = m_clock.nsecsElapsed();
    m_took = m_told - start;
}
