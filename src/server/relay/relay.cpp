#include "server/relay/relay.h"

Relay::Relay(const ServerConfig &config, QTextStream &log)
    : config(config), log(log), limits(config)
{
    clock.start();
}

Guest *Relay::find(const Connection *connection)
{
    const auto found = guests.find(connection);
    return found == guests.end() ? nullptr : &found->second;
}

Guest *Relay::find(quint64 connection)
{
    return find(connections.value(connection));
}

Guest *Relay::onlineNamed(const QString &nickname) const
{
    Guest *user = onlineAs(wire::nicknameForm(nickname));
    return user && user->nickname == nickname ? user : nullptr;
}

void Relay::send(Guest &to, const QString &message, const Guest *from, Presence presence)
{
    to.connection->send(wire::toCodePage(message), from ? from->connection->id() : 0,
                        from && presence != Presence::None ? from->nickname : QString(),
                        presence);
}
