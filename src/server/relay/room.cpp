#include "server/relay/room.h"

#include "server/relay/relay.h"

void Room::enter(Guest &guest)
{
    if (guest.inRoom)
        return;
    guest.inRoom = true;
    send(wire::buildMessage(wire::Enter, {guest.nickname}), guest, Presence::InRoom);
}

void Room::say(Guest &guest, const QString &text)
{
    if (guest.inRoom)
        send(wire::buildMessage(wire::Chat, {guest.nickname, text}), guest);
}

void Room::leave(Guest &guest)
{
    if (!guest.inRoom)
        return;
    send(wire::buildMessage(wire::Leave, {guest.nickname}), guest, Presence::OutOfRoom);
    guest.inRoom = false;
}

void Room::gone(Guest &guest)
{
    if (std::exchange(guest.inRoom, false))
        send(wire::buildMessage(wire::Leave, {guest.nickname}), guest, Presence::OutOfRoom);
}

void Room::send(const QString &message, Guest &from, Presence presence)
{
    const QByteArray bytes = wire::toCodePage(message);
    QStringList missed;
    for (Guest *user : std::as_const(m_relay.online)) {
        if (user->inRoom
            && !user->connection->send(bytes, from.connection->id(), from.nickname, presence))
            missed << user->nickname;
    }
    if (missed.isEmpty())
        return;
    // Too many others write to those readers: the writer hears of it, the readers are not
    // closed.
    const QString why = QStringLiteral("Tu mensaje a la sala no le llegó a ")
        + missed.join(QStringLiteral(", "))
        + QStringLiteral(": tiene demasiados mensajes por leer. Prueba de nuevo en un momento.");
    m_relay.send(from, wire::buildMessage(wire::Notice, {why}), &from);
}
