#pragma once

#include "server/relay/mark_routes.h"
#include "server/store/kept_store.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

struct Guest;
struct Relay;

// Private lines between users, and what our server adds to them where it keeps things: lines
// kept on disk for a claimed nickname that is away, and marks that tell a sender where each of
// its lines is. The rules are in docs/PROTOCOL.md ("Lines kept for those who are away").
class PrivateLines : public QObject {
public:
    using Line = KeptStore::Line;

    explicit PrivateLines(Relay &relay);

    // Opens the store in the state folder, where the configuration keeps things; whether it
    // keeps. Its failures are logged from then on.
    bool openStore();
    // The server stops: what the users online have not answered is kept for them, as when they
    // go.
    void stop();

    // PM from a guest: a recipient, a text, an id of the sender's own (our client) or none.
    void privateMessage(Guest &from, const QString &to, const QString &text, const QString &id);
    // RECEIVED and SEEN: the recipient has stored it, has seen it.
    void received(Guest &guest, const QString &from, const QString &id);
    void seen(Guest &guest, const QString &from, const QString &id);
    // IGNORE answers one PM: each PM delivered lets its recipient send one IGNORE back to that
    // PM's sender; one nothing provoked is dropped.
    void ignore(Guest &blocker, const QString &sender);

    // A guest logging in with a key: whether it holds the nickname's claim, and from which
    // desk, claiming it if nobody has and its address may (the first desk named `desk`, or
    // the store's first name when empty). `owner` is what the store said of its key.
    void holdClaim(Guest &guest, const QString &key, KeptStore::Owner owner,
                   const QString &desk = {});
    // After its log-in: the claim's kept lines and the marks waiting for it, or for the token
    // it presented.
    void loggedIn(Guest &guest, const QString &token);
    // Its lines not answered go as it goes: kept when it holds its claim, else failed; the
    // marks on its own lines wait for its token.
    void loggedOut(Guest &guest);
    // A log-in presents the token its user left with: the identity it wrote its lines under,
    // now its again (empty when not known); the token is spent.
    QString comeBack(const QString &token) { return m_departures.cameBack(token); }

    // For the administrator: drops the claim and its kept lines, telling their senders; the
    // number of lines, or nothing when nobody had claimed it.
    std::optional<qsizetype> release(const QString &nickname);
    // Logs a summary of the store's failures not logged one by one, and counts anew.
    void summarize();

private:
    void sendMark(Guest &to, const KeptStore::Report &report);
    // Sends a line with its id and time to a guest that agreed on keeping, which owes an answer
    // for it.
    bool sendLine(Guest &to, const Line &line, const Guest *from = nullptr);
    // One of those lines, as when it goes.
    void letGo(const Guest &guest, Line line, const QString &why);
    // Keeps the line for its claimed recipient, or tells its sender why not.
    void keepLine(const Line &line);
    // Tells the line's sender where it is: at once when online, otherwise on disk for the
    // holder of a claim, or under the token of a sender without one.
    void tell(const Line &line, const QString &state, const QString &text = {});
    // The user online who wrote the line: the same log-in, one that came back with its token,
    // or the holder of the claim the line was written under; nobody else of that nickname.
    Guest *senderOf(const Line &line);
    // A line its sender sent again, not having heard where it went: it hears it now, and the
    // line is not relayed twice. False for a line not known here.
    bool resent(const Line &line);
    // Why the guest may not write to that user now, or nothing: a guest may write to only so
    // many new correspondents a minute, each a window opening on someone's desktop. A plain
    // writer is told at most once a minute.
    QString mayWriteTo(Guest &from, const QString &to);
    // Its claim is gone (released, lapsed) while it is online.
    void unclaimed(Guest &user);
    void expire();
    // A failure of the store, for the log: so many an interval, then counted.
    void storeFailed(const QString &what);

    Relay &m_relay;
    // Where marks on lines go: those relayed lately, and those who left with a token.
    RecentLines m_recent;
    Departures m_departures;
    QTimer m_expiry;
    int m_storeFailures = 0;
    int m_storeFailuresUnlogged = 0;
};
