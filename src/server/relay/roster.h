#pragma once

#include "server/net/announcements.h"
#include "server/net/connection.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <utility>

struct Guest;
struct Relay;

// Who is online, and each user's state (away, busy, a short text). A newcomer is sent the list
// and the states, and everyone is told who comes and goes.
class Roster : public QObject {
public:
    explicit Roster(Relay &relay);

    // Logged in now: online, listed, announced; sent the list.
    void join(Guest &guest);
    // Logged out: no longer online, its state forgotten; then, once what it left is settled,
    // announced gone.
    void leave(Guest &guest);
    void announceGone(const Guest &guest);
    // The list, and after it the states, as a newcomer gets them (GETUSER).
    void sendList(Guest &to, bool asked = false);
    // STATE from a framed client; anything but the three words is ignored.
    void changeState(Guest &guest, const QString &state, const QString &text);
    // Nothing it said after its last word passed on is passed on now (booted).
    void dropWaitingState(Guest &guest);

private:
    // Every NICK of the list, framed, in order, in blocks: what a framed newcomer is sent, built
    // once and shared.
    const QList<QByteArray> &framedList();
    void addToFramedList(const Guest &user);
    // Tells every framed guest the state.
    void passOnState(Guest &guest, const QString &state, const QString &text);
    // Passes on the waiting changes the minute allows now; the timer for the next.
    void passWaitingStates();
    // Sends the changes gathered.
    void sendStates();
    void forgetState(Guest &guest);

    Relay &m_relay;
    // Who comes and goes, said once to every reader.
    Announcements m_announcements;
    // The list as framed clients read it, unless it has to be built again.
    QList<QByteArray> m_framedList;
    bool m_listStale = false;
    // Online users whose state others are shown (not available without a text).
    QSet<const Guest *> m_stated;
    // Those with a change of state waiting, and one timer for all of them.
    QList<Guest *> m_waitingStates;
    QTimer m_stateTimer;
    // Changes passed on and not yet sent, in order, each its sender's and its message.
    QList<std::pair<Guest *, QByteArray>> m_gathered;
    QTimer m_gathering;
};
