#pragma once

#include <QObject>

class Program;
namespace wire {
class Message;
}

// Everything the server sends arrives here: one handler per data-arrival event, which reads
// all pending data as one message and runs the branch its command names.
class Incoming : public QObject {
    Q_OBJECT

public:
    Incoming(Program &program, QObject *parent);

    void dataArrival();
    // The handler proper, for one read's text.
    void handle(const QString &text);

private:
    void nick(const wire::Message &message);
    void pm(const wire::Message &message);
    void ignore(const wire::Message &message);
    void logout(const wire::Message &message);
    void message(const wire::Message &message);
    void chat(const wire::Message &message);
    void boot(const wire::Message &message);
    void enter(const wire::Message &message);
    void leave(const wire::Message &message);
    // Our server's own: it will not have this user; what takes the nickname back after a loss.
    void refused(const wire::Message &message);
    void token(const wire::Message &message);

    Program &m_program;
    quint64 m_notices = 0;
};
