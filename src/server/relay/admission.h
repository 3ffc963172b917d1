#pragma once

#include "server/net/timer_queue.h"
#include "server/relay/address_limits.h"
#include "server/store/kept_store.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

class Desks;
class PrivateLines;
class Room;
class Roster;
struct Guest;
struct Relay;

// Who may log in, as whom, and when: encryption and the group's password where the server asks
// for them, nicknames (one connection each, claimed ones by their key), the limits per address,
// and the deadlines of a connection on which nobody logs in. Logging in and out is settled here,
// each topic told in turn.
class Admission : public QObject {
public:
    Admission(Relay &relay, Roster &roster, Room &room, PrivateLines &lines, Desks &desks);

    // A connection accepted: it must speak soon, and log in in time.
    void accepted(Guest &guest);
    // PASSWORD before a log-in, taken only encrypted.
    void checkPassword(Guest &guest, const QString &password);
    // LOGIN, also on a connection logged in already: the old name goes, the new one comes. A
    // code (with a key) records the key as a new desk of the nickname's claim, named `desk`;
    // `desk` also names the first desk of a claim made now.
    void logIn(Guest &guest, const QString &nickname, const QString &token, const QString &key,
               const QString &code = {}, const QString &desk = {});
    // LOGOUT, and a connection gone while logged in.
    void logOut(Guest &guest, const QString &how);
    // Closes the guest's connection after a while, unless it has logged in or out meanwhile.
    void dropUnlessChanged(const Guest &guest, std::chrono::milliseconds after,
                           const QString &reason);
    // Closes the connection unless someone logs in on it in time.
    void awaitLogIn(const Guest &guest);
    // Logs the refusals counted rather than logged, per address.
    void summarize();

private:
    // Whether the guest has encrypted and given the password as this server asks; if not, it is
    // refused.
    bool admitted(Guest &guest);
    // Checks the first password waiting from the address (AddressLimits::key) when its turn
    // comes; then the next.
    void nextGuess(const QHostAddress &from);
    // The guest's password or desk code waits for its turn, the guest reading nothing meanwhile.
    void awaitTurn(Guest &guest);
    void check(Guest &guest);
    // Refuses the guest after a while, unless it is gone meanwhile.
    void refuseAfter(Guest &guest, qint64 milliseconds, std::function<void(Guest &)> refusal);
    // The log-in once the key is known to be welcome where it came: the nickname taken, from
    // its holder's other desk or a lost connection's, or refused if online elsewhere.
    void enter(Guest &guest, const QString &nickname, const QString &token, const QString &key,
               const QString &desk);
    // Whether the nickname's key may be taken as it came (encrypted, well formed); if not, the
    // guest is refused.
    bool keyAdmitted(Guest &guest, const QString &nickname, const QString &key);
    // Tells the guest why (REFUSED when framed, a notice when plain) and closes it; a refusal
    // of a kind repeated from the same address is counted rather than logged.
    void refuse(Guest &guest, const QString &reason, const QString &why, const QString &text,
                std::optional<AddressLimits::Refusal> quietly = std::nullopt);
    // Tells the log about the guest's connection, unless it already has.
    void announce(Guest &guest);

    Relay &m_relay;
    Roster &m_roster;
    Room &m_room;
    PrivateLines &m_lines;
    Desks &m_desks;
    // A connection that has neither given a password nor logged in shortly after connecting is
    // closed; one on which nobody logs in for a while is closed too.
    TimerQueue m_hellos;
    TimerQueue m_logIns;
    quint64 m_sessions = 0;
    // Passwords waiting to be checked, by address, in turn: connection ids.
    QHash<QHostAddress, QList<quint64>> m_guesses;
};
