#pragma once

#include <QObject>
#include <QString>

class ClientSocket;

// How a box the user must dismiss looks.
enum class BoxKind { Plain, Information, Warning };

// The connection as the parts of the client use it: the socket messages go out on, the nickname
// they are sent as, and how the run waits. It reaches no other part.
class Uplink : public QObject {
    Q_OBJECT

public:
    Uplink(ClientSocket &socket, QObject *parent = nullptr);

    ClientSocket &socket() const { return m_socket; }
    bool isConnected() const;

    // The nickname the user logged in with; empty while logged out.
    QString nickname() const { return m_nickname; }
    void setNickname(const QString &nickname);

    // Puts one message on the connection while it is up and returns true; otherwise drops it,
    // says so (notConnected) and returns false.
    bool send(const QString &message);
    // Waits while the event loop runs: every event that comes meanwhile is handled.
    void pause(double seconds);

    // For a harness that drives the client faster than a person can: pauses end at once and
    // boxes and questions are taken as dismissed as soon as they would open.
    void setInstant(bool instant) { m_instant = instant; }
    bool isInstant() const { return m_instant; }
    // The program ends: from here nothing is sent and no pause waits.
    void end() { m_ending = true; }

Q_SIGNALS:
    void nicknameChanged(const QString &nickname);
    // A message was dropped for want of a connection.
    void notConnected();

private:
    ClientSocket &m_socket;
    QString m_nickname;
    bool m_instant = false;
    bool m_ending = false;
};
