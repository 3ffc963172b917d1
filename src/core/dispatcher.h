#pragma once

#include <QObject>

#include "core/uplink.h"

class BlockList;
class Conversations;
class HistoryStore;
class Outbox;
class OwnDesks;
class Session;
class Settings;
class Transfers;
class UserList;
namespace wire {
class Message;
}

// Everything the server sends arrives here: one handler per data-arrival event, which reads
// all pending data as one message and runs the branch its command names. The branches update
// the client's models and tell through signals; no window is reached from here.
class Dispatcher : public QObject {
    Q_OBJECT

public:
    Dispatcher(Uplink &uplink, Session &session, Outbox &outbox, UserList &users,
               Conversations &conversations, HistoryStore &history, BlockList &blockList,
               Settings &settings, Transfers &transfers, OwnDesks &desks,
               QObject *parent = nullptr);

    void dataArrival();
    // The handler proper, for one read's text.
    void handle(const QString &text);

Q_SIGNALS:
    // A notice of the administrator, numbered on arrival: one that comes while an earlier one
    // is being shown must not be overwritten by it.
    void noticeArrived(quint64 number, const QString &text);
    // For the status line.
    void status(const QString &text);
    // A modal box, answered before the handler goes on.
    void boxWanted(const QString &title, const QString &text, BoxKind kind);
    // The user was expelled: the session is left and the server told; the windows are to show
    // the user logged out, and the connection to close after the goodbye.
    void expelled();

private:
    void nick(const wire::Message &message);
    void pm(const wire::Message &message);
    void ignore(const wire::Message &message);
    void logout(const wire::Message &message);
    void message(const wire::Message &message);
    // A notice from the server that belongs to no conversation: kept, and shown.
    void notify(const QString &text);
    void chat(const wire::Message &message);
    void boot(const wire::Message &message);
    void enter(const wire::Message &message);
    void leave(const wire::Message &message);
    // Our server's own: it will not have this user; what takes the nickname back after a loss.
    void refused(const wire::Message &message);
    void token(const wire::Message &message);
    // Where the user's private line or file is.
    void mark(const wire::Message &message);
    // Files: the server's limits, a ticket to upload one, one offered to the user, a ticket to
    // download it.
    void files(const wire::Message &message);
    void upload(const wire::Message &message);
    void file(const wire::Message &message);
    void download(const wire::Message &message);
    // Whether a user is at their desk.
    void state(const wire::Message &message);
    // The nickname's other desks: a code for one, the list; another desk took the nickname.
    void deskCode(const wire::Message &message);
    void desks(const wire::Message &message);
    void taken(const wire::Message &message);

    Uplink &m_uplink;
    Session &m_session;
    Outbox &m_outbox;
    UserList &m_users;
    Conversations &m_conversations;
    HistoryStore &m_history;
    BlockList &m_blockList;
    Settings &m_settings;
    Transfers &m_transfers;
    OwnDesks &m_desks;
    quint64 m_notices = 0;
};
