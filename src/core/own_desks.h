#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

class Outbox;
namespace wire {
class Message;
}

// The desks (computers) the own nickname is used from, where the server keeps it claimed: a
// code that lets another desk use it, the list of them, and one dropped (docs/PROTOCOL.md, "A
// nickname on several desks"). What is asked goes out at once; the answers come as signals.
class OwnDesks : public QObject {
    Q_OBJECT

public:
    struct Desk {
        QString name;
        // When it last logged in; invalid when the server did not say.
        QDateTime used;
    };

    explicit OwnDesks(Outbox &outbox, QObject *parent = nullptr) : QObject(parent), m_outbox(outbox) {}

    // Each false without a connection.
    bool askCode();
    bool askList();
    bool drop(const QString &name);

    // DESKCODE and DESKS from the server.
    void codeArrived(const wire::Message &message);
    void listArrived(const wire::Message &message);

Q_SIGNALS:
    // A code for another desk, grouped for reading, and when it stops holding; or, code empty,
    // why the server made none.
    void code(const QString &code, const QDateTime &expires, const QString &refusal);
    // The desk asking, then every desk in the order they were added; none: the nickname is
    // not held here.
    void listed(const QString &current, const QList<OwnDesks::Desk> &desks);

private:
    Outbox &m_outbox;
};
