#pragma once

#include <QString>

#include "server/net/connection.h"

struct Guest;
struct Relay;

// The one chat room: who entered and has not left. A line from outside the room is dropped (its
// user does not see the room, while its client shows the line as said); ENTER from a member and
// LEAVE from a non-member change nothing.
class Room {
public:
    explicit Room(Relay &relay) : m_relay(relay) {}

    void enter(Guest &guest);
    void say(Guest &guest, const QString &text);
    // The member is told too.
    void leave(Guest &guest);
    // Its user logs out or disconnects: the members left are told.
    void gone(Guest &guest);

private:
    // To everyone in the room; those whose queues are full of others' lines are named to the
    // writer.
    void send(const QString &message, Guest &from, Presence presence = Presence::None);

    Relay &m_relay;
};
