#include "server/relay/mark_routes.h"

#include <QCryptographicHash>
#include <QHashFunctions>

RecentLines::RecentLines(qsizetype capacity) : m_capacity(capacity) {}

quint64 RecentLines::key(const QString &sender, const QString &id) const
{
    const size_t seed = QHashSeed::globalSeed();
    return quint64(qHashMulti(seed, sender, id));
}

std::optional<RecentLines::Where> RecentLines::find(const QString &sender,
                                                    const QString &id) const
{
    const auto found = m_where.constFind(key(sender, id));
    if (found == m_where.cend())
        return std::nullopt;
    return *found;
}

void RecentLines::note(const QString &sender, const QString &id, Where where)
{
    const quint64 k = key(sender, id);
    if (const auto found = m_where.find(k); found != m_where.end()) {
        *found = where;
        return;
    }
    if (qsizetype(m_order.size()) >= m_capacity) {
        m_where.remove(m_order.front());
        m_order.pop_front();
    }
    m_where.insert(k, where);
    m_order.push_back(k);
}

Departures::Departures(qsizetype capacity) : m_capacity(capacity) {}

QString Departures::boxOf(const QString &token)
{
    return QStringLiteral("token ")
        + QString::fromLatin1(
              QCryptographicHash::hash(token.toLatin1(), QCryptographicHash::Sha256).toHex());
}

void Departures::left(const QString &identity, const QString &token)
{
    if (identity.isEmpty() || token.isEmpty())
        return;
    const QString box = boxOf(token);
    while (qsizetype(m_order.size()) >= m_capacity) {
        const auto [oldest, itsBox] = m_order.front();
        m_order.pop_front();
        // Only the departure it stands for: not a later one of the same identity.
        if (m_boxes.value(oldest) == itsBox) {
            m_boxes.remove(oldest);
            m_identities.remove(itsBox);
        }
    }
    m_identities.remove(m_boxes.value(identity));
    m_boxes.insert(identity, box);
    m_identities.insert(box, identity);
    m_order.emplace_back(identity, box);
}

QString Departures::cameBack(const QString &token)
{
    const QString identity = m_identities.take(boxOf(token));
    m_boxes.remove(identity);
    return identity;
}

QString Departures::boxFor(const QString &identity) const
{
    return m_boxes.value(identity);
}
