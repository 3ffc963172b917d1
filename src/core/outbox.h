#pragma once

#include <QString>

class Uplink;

// Every message the user's actions send, built in one place. Each is sent only while the
// connection is up (see Uplink::send) and says whether it went. The own nickname is the
// one of the current log-in.
class Outbox {
public:
    explicit Outbox(Uplink &uplink) : m_uplink(uplink) {}

    // With the secret of the last log-in when taking the nickname back after a loss, and the
    // key that claims the nickname where the server keeps claims; with a code from another desk
    // and this desk's name, the key is recorded as this desk's.
    bool logIn(const QString &nickname, const QString &token, const QString &key = {},
               const QString &code = {}, const QString &desk = {});
    bool refreshList();
    // With its id where the server keeps lines.
    bool privateLine(const QString &to, const QString &from, const QString &text,
                     const QString &id = {});
    // A line received with an id: stored (RECEIVED), or seen by the user (SEEN).
    bool acknowledge(const QString &command, const QString &from, const QString &id);
    // The answer to a private line from someone the user blocks.
    bool ignore(const QString &sender);
    bool enterRoom();
    bool roomLine(const QString &text);
    bool leaveRoom();
    bool logOut();
    // What the others are shown: a state word of the wire and its text.
    bool state(const QString &word, const QString &text);
    // Files: FILES| once logged in, a file offered (SENDFILE), and GETFILE, GOTFILE or DROPFILE
    // about one by its id.
    bool takeFiles();
    bool sendFile(const QString &to, const QString &id, const QString &name, qint64 size,
                  const QString &sha256);
    bool aboutFile(const QString &command, const QString &id);
    // The nickname's desks: a code for another (DESKCODE|), the list (DESKS|), one dropped.
    bool askDeskCode();
    bool askDesks();
    bool dropDesk(const QString &name);

private:
    Uplink &m_uplink;
};
