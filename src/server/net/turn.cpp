#include "server/net/turn.h"

#include "server/net/connection.h"

void Turn::add(Connection *connection)
{
    if (m_connections.empty())
        QMetaObject::invokeMethod(this, &Turn::end, Qt::QueuedConnection);
    m_connections.push_back(connection);
}

void Turn::remove(Connection *connection)
{
    std::erase(m_connections, connection);
}

void Turn::end()
{
    for (Connection *connection : std::exchange(m_connections, {}))
        connection->turnEnded();
}
