#pragma once

#include <QObject>

class Client;
namespace wire {
class Message;
}

// Everything the server sends arrives here: one handler per data-arrival event, which reads
// all pending data as one message and runs the branch its command names. The branches update
// the client's models and tell through signals; no window is reached from here.
class Dispatcher : public QObject {
    Q_OBJECT

public:
    explicit Dispatcher(Client &client);

    void dataArrival();
    // The handler proper, for one read's text.
    void handle(const QString &text);

Q_SIGNALS:
    // A notice of the administrator, numbered on arrival: one that comes while an earlier one
    // is being shown must not be overwritten by it.
    void noticeArrived(quint64 number, const QString &text);

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
    // Where the user's private line is.
    void mark(const wire::Message &message);
    // Whether a user is at their desk.
    void state(const wire::Message &message);

    Client &m_client;
    quint64 m_notices = 0;
};
