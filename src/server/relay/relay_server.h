#pragma once

#include "server/relay/address_limits.h"
#include "server/admin_channel.h"
#include "server/net/connection.h"
#include "server/event_log.h"
#include "server/store/kept_store.h"
#include "server/relay/mark_routes.h"
#include "server/server_config.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSslConfiguration>
#include <QString>
#include <QTcpServer>
#include <QTimer>

#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_map>

class QTextStream;

// The messenger's relay: keeps who is online and who is in the chat room, and passes the
// clients' messages on. What a client claims about itself is never relayed: every field that
// names the sender is replaced by the nickname the connection logged in with, and every relayed
// message is rebuilt from its fields.
//
// Rules the protocol leaves open, as this server settles them:
// - A nickname is online on one connection at most, whatever its letter case, and so is any
//   that looks like it (I, l and 1 alike, O and 0 alike): a LOGIN as a nickname online
//   elsewhere, or one that looks like it, is refused and its connection closed, unless it
//   presents the secret that nickname's last log-in was given (a client back after a lost
//   connection); then it takes the nickname over and the old connection is closed.
// - A client that must encrypt, or give the group's password, and has not is refused at its
//   LOGIN the same way.
// - LOGIN on a connection already logged in logs the old name out (announced as usual) and the
//   new one in. LOGIN without a nickname is ignored.
// - CHAT from a connection outside the room is dropped: its user does not see the room, while
//   its client shows the line as said. ENTER from a member and LEAVE from a non-member change
//   nothing and are dropped too.
// - A user who logs out or disconnects while in the room leaves it: the members left get
//   LEAVE, then every other user gets LOGOUT.
// - A nickname that starts or ends with a blank, or holds a character that shows as nothing, is
//   refused: it would pass for another.
// - A booted user may only log out, which closes it; anything else it sends is ignored until
//   it is closed.
// - A connection on which nobody logs in for a while is closed; one that has not even given a
//   password or logged in shortly after connecting is closed sooner.
// - The connections from one address may only be so many, so many of them not logged in, and
//   log in only so often a minute together. A password after wrong ones from the same address
//   waits longer and longer to be checked, and each wrong one is refused after a while; after
//   too many the address is locked out for a while. Such refusals repeated from one address are
//   counted in the log rather than logged each.
// - A connection may log in only so often a minute: each log-in is announced to everyone.
// - A connection, and all connections from one address together, may write PMs to only so many
//   new correspondents a minute: each opens a window on someone's desktop. The PMs past that are
//   not delivered, and the writer is told why.
// - What one client makes the server send to others is its own to wait for: what may wait at
//   one reader is shared among those whose messages wait there, and one with its share waiting
//   is not read until that reader has taken half of it. A reader never pays for others' traffic
//   by being closed: a line that finds twice the bound waiting is not delivered, and its writer
//   is told. A reader is closed for not reading only when nothing leaves the kernel's queue
//   towards it for the stall timeout.
// - Who is online and in the room is state: a NICK and a later LOGOUT of one nickname (ENTER
//   and LEAVE likewise) both still waiting for a reader cancel out, as do a LOGOUT and a NICK of
//   the very same nickname (the reader still has it online; another spelling must be shown), so
//   that a queue holds one change per nickname however often users come and go. A change with a
//   line of that user behind it stays: the reader must see who said it.
// - IGNORE answers a private message: each PM delivered to a connection lets it send one IGNORE
//   back to that PM's sender, and an IGNORE nothing provoked is dropped. So IGNORE cannot flood
//   anyone, and it does not count against the client's messages per second: a client that
//   answers every PM of a blocked user must not be closed for it.
// - A nickname claimed with a key (where the server keeps things) is taken only with that key,
//   online or not, the token too; a key in clear or malformed is refused. An address claims only
//   so many new nicknames an hour; past that the log-in goes on unclaimed.
// - Lines to a claimed nickname that is away, and lines left unanswered (no RECEIVED) when its
//   holder goes, are kept on disk and sent at its next log-in; to an unclaimed one away, the
//   sender is told they failed ("TO no está conectado."; a plain sender by a notice, at most
//   once a minute per name). A claim does not lapse while its holder is online.
// - The lines a client has not answered are bounded in number and bytes: past that the oldest
//   goes as at its log-out (kept for a holder, otherwise failed), never told delivered.
// - Marks for a sender who is away wait on disk: failures always, delivered and read only for a
//   claimed nickname; 1000 a sender and 100,000 in all, delivered and read going first when
//   past that. RECEIVED and SEEN count for nothing but the lines sent with an id, and like
//   IGNORE not against the messages per second, as many as such lines were sent.
// - A user's state (away, busy, a short text) goes to every framed client, its sender too, and
//   follows the list; a plain client never sees one. A state that repeats the last one passed
//   on is dropped. Only so many changes a minute from a client are passed on; the latest past
//   that waits, on one timer for all, and a newcomer is shown the last one passed on. Changes
//   passed on are gathered for a moment and written together to each reader with nothing
//   waiting (one write, not thousands); a reader with a queue gets them one by one. A log-out
//   forgets it; a reader that never saw the log-out (it and the next log-in cancelled out) is
//   told the state is gone.
// Hands each connection's descriptor on as it is accepted: the relay makes its own streams.
class Listener : public QTcpServer {
public:
    std::function<void(qintptr)> accepted;

protected:
    void incomingConnection(qintptr descriptor) override;
};

// Connections to look at again a fixed time after each was added, on one timer for them all:
// they are due in the order they were added. A timer each would cost more than the clients.
class Deadlines : public QObject {
public:
    struct Entry {
        qint64 at;
        quint64 connection;
        quint64 session;
        bool loggedIn;
    };
    Deadlines(std::chrono::milliseconds after, std::function<void(const Entry &)> due);
    void add(quint64 connection, quint64 session, bool loggedIn);

private:
    void tick();

    std::chrono::milliseconds m_after;
    std::function<void(const Entry &)> m_due;
    QTimer m_timer;
    QElapsedTimer m_clock;
    std::deque<Entry> m_entries;
};

class RelayServer : public QObject {
    Q_OBJECT

public:
    RelayServer(const ServerConfig &config, QTextStream &log, QObject *parent = nullptr);
    ~RelayServer() override;

    bool listen();

    // One administrator command line: "msg TEXT", "boot NICK", "users", "claims" or
    // "release NICK". Answers with the lines it wrote to the log, each behind where it happened.
    AdminAnswer admin(const QString &line);

    // What the administrator may type, one line.
    static QString adminHelp();

Q_SIGNALS:
    // Part of what a client sent has been handled, whether it had an effect or not: this many
    // bytes of its stream. `peer` is the client's address as the log shows it.
    void readHandled(const QString &peer, qint64 bytes);

private:
    // A line sent with an id to a client that agreed on keeping, until it answers RECEIVED; and
    // one it answered, which it may still say it has seen.
    using Line = KeptStore::Line;

    struct Client {
        Connection *connection = nullptr;
        QString nickname;
        bool loggedIn = false;
        bool inRoom = false;
        bool booted = false;
        // Tells one log-in of a connection from the next.
        quint64 session = 0;
        // Who wrote its lines, for their marks: made at a log-in, and carried on by one that
        // presents its token (a client back after a loss).
        QString identity;
        // For each sender's nickname, how many of its PMs this client may still answer with
        // IGNORE.
        QHash<QString, int> unansweredPms;
        // When it logged in lately, in milliseconds of the server's clock.
        QList<qint64> logIns;
        // Whom it wrote to lately and when; when it first wrote to someone new lately; when it
        // was last told that a PM was refused for that.
        QHash<QString, qint64> correspondents;
        QList<qint64> newCorrespondents;
        qint64 toldRefused = -1;
        bool gavePassword = false;
        // A password from it waits to be checked; which.
        bool checking = false;
        QString guess;
        // It has given a password or logged in.
        bool spoke = false;
        // Its connection is in the log; not while its address is being quiet.
        bool announced = true;
        QHostAddress address;
        // What lets this client's user take the nickname back from a new connection.
        QByteArray token;
        // It agreed on keeping (framed, encrypted, offered it, logged in with a valid key): it
        // gets ids and times and sends RECEIVED, SEEN and ids of its own. It holds the claim
        // on its nickname.
        bool keeps = false;
        bool holder = false;
        // Its nickname folded as nicknames are compared, while logged in; its NICK, encoded.
        QString form;
        QByteArray nick;
        // Lines sent to it that it has not answered with RECEIVED, in the order sent (a row
        // when it came from the store), and the bytes of their text; the latest it answered,
        // for SEEN.
        QList<Line> awaiting;
        qint64 awaitingBytes = 0;
        QList<Line> answered;
        // How many RECEIVED and SEEN it may still send without counting as messages; shared
        // with its connection, which counts what it reads.
        std::shared_ptr<int> answers = std::make_shared<int>(0);
        // When it was last told, for each nickname, that a line to it found nobody.
        QHash<QString, qint64> toldAway;
        // Its state as last passed on, and when its changes were passed on lately; the latest
        // change that waits for the minute to allow it.
        QString state = wire::StateAvailable;
        QString stateText;
        QList<qint64> stateChanges;
        bool statePending = false;
        QString pendingState;
        QString pendingText;
        // It has changes gathered, not yet sent.
        bool gathered = false;
    };

    void accept(qintptr descriptor);
    // Closes a connection refused for its address after a while.
    void refuseLater(qintptr descriptor);
    void handle(Connection *connection, const QByteArray &bytes);
    void closed(Connection *connection, const QString &reason);

    void logIn(Client &client, const QString &nickname, const QString &token, const QString &key);
    // Whether the nickname's key may be taken as it came (encrypted, well formed); if not, the
    // client is refused.
    bool keyAdmitted(Client &client, const QString &nickname, const QString &key);
    // After a log-in: whether the client holds the nickname's claim, claiming it if nobody has
    // and it may.
    void holdClaim(Client &client, const QString &key, KeptStore::Owner owner);
    // Sends the claim's kept lines and the marks waiting for the nickname, or for the token the
    // log-in presented, after a log-in.
    void sendKept(Client &client, const QString &token);
    // A mark on one of its lines: MARK to a client that keeps, a failure as a notice to any.
    void sendMark(Client &to, const KeptStore::Report &report);
    // Whether the client has encrypted and given the password as this server asks; if not, it
    // is refused.
    bool admitted(Client &client);
    void checkPassword(Client &client, const QString &password);
    // Checks the first password waiting from the address (AddressLimits::key) when its turn
    // comes; then the next.
    void nextGuess(const QHostAddress &from);
    void check(Client &client);
    // Tells the client why (REFUSED when framed, a notice when plain) and closes it; a refusal
    // of a kind repeated from the same address is counted rather than logged.
    void refuse(Client &client, const QString &reason, const QString &why, const QString &text,
                std::optional<AddressLimits::Refusal> quietly = std::nullopt);
    // Tells the log about the client's connection, unless it already has.
    void announce(Client &client);
    void logOut(Client &client, const QString &how);
    // Closes the connection unless someone logs in on it in time.
    void awaitLogIn(const Client &client);
    // Closes the client's connection after a while, unless it has logged in or out meanwhile.
    void dropUnlessChanged(const Client &client, std::chrono::milliseconds after,
                           const QString &reason);
    void sendUserList(Client &to, bool asked = false);
    // Every NICK of the list, framed, in order, in blocks: what a framed newcomer is sent, built
    // once and shared.
    const QList<QByteArray> &framedList();
    void addToFramedList(const Client &user);
    void changeState(Client &client, const QString &state, const QString &text);
    // Tells every framed client the state.
    void passOnState(Client &client, const QString &state, const QString &text);
    // Passes on the waiting changes the minute allows now; the timer for the next.
    void passWaitingStates();
    // Sends the changes gathered.
    void sendStates();
    // Its change waiting for the minute is not passed on.
    void dropWaitingState(Client &client);
    void forgetState(Client &client);
    void privateMessage(Client &from, const QString &to, const QString &text, const QString &id);
    // Sends a line with its id and time to a client that agreed on keeping, which owes an
    // answer for it.
    bool sendLine(Client &to, const Line &line, const Client *from = nullptr);
    void received(Client &client, const QString &from, const QString &id);
    void seen(Client &client, const QString &from, const QString &id);
    // The lines it had not answered when it goes: kept when it holds its claim, else failed.
    void keepAwaiting(Client &client);
    // One of those lines, as when it goes.
    void letGo(const Client &client, Line line, const QString &why);
    // Keeps the line for its claimed recipient, or tells its sender why not.
    void keepLine(const Line &line);
    // Tells the line's sender where it is: at once when online, otherwise on disk when it is a
    // failure or the sender holds a claim.
    void tell(const Line &line, const QString &state, const QString &text = {});
    // The user online who wrote the line: the same log-in, one that came back with its token,
    // or the holder of the claim the line was written under; nobody else of that nickname.
    Client *senderOf(const Line &line);
    // A line its sender sent again, not having heard where it went: it hears it now, and the
    // line is not relayed twice. False for a line not known here.
    bool resent(const Line &line);
    // A failure of the store, for the log: so many a minute, then counted.
    void storeFailed(const QString &what);
    // Its claim is gone (released, lapsed) while it is online.
    void unclaimed(Client &user);
    Client *onlineAs(const QString &form);
    void expire();
    // Why the client may not write to that user now, or nothing: a client may write to only so
    // many new correspondents a minute, each a window opening on someone's desktop. A plain
    // writer is told at most once a minute.
    QString mayWriteTo(Client &from, const QString &to);
    void ignore(Client &blocker, const QString &sender);
    void sendToNickname(const QString &nickname, const QString &message, const Client &from);
    // To everyone in the room; those whose queues are full of others' lines are named to the
    // writer.
    void sendToRoom(const QString &message, Client &from, Presence presence = Presence::None);
    void send(Client &to, const QString &message, const Client *from = nullptr,
              Presence presence = Presence::None);
    void holdBack(quint64 id, const Connection &reader, bool hold);

    void answer(const QString &where, const QString &what);
    void notice(const QString &text);
    // Whether anyone was booted.
    bool boot(const QString &nickname);
    void listUsers();
    void listClaims();
    bool release(const QString &nickname);

    ServerConfig m_config;
    EventLog m_log;
    AddressLimits m_limits;
    QTimer m_summaries;
    // Refused connections waiting to be closed.
    int m_refusing = 0;
    Listener m_listener;
    std::optional<QSslConfiguration> m_tls;
    Pacer m_pacer;
    std::unordered_map<const Connection *, Client> m_clients;
    QHash<quint64, Connection *> m_byId;
    quint64 m_ids = 0;
    // The highest descriptor a connection may have; whether the last one was past it.
    qintptr m_lastDescriptor = std::numeric_limits<qintptr>::max();
    bool m_full = false;
    QElapsedTimer m_clock;
    // Logged-in clients in the order they logged in, and by their folded nicknames; the list as
    // framed clients read it, unless it has to be built again.
    QList<Client *> m_online;
    QHash<QString, Client *> m_byForm;
    QList<QByteArray> m_framedList;
    bool m_listStale = false;
    // Online users whose state others are shown (not available without a text).
    QSet<const Client *> m_stated;
    Announcements m_announcements;
    Deadlines m_hellos;
    Deadlines m_logIns;
    quint64 m_sessions = 0;
    // Those with a change of state waiting, and one timer for all of them.
    QList<Client *> m_waitingStates;
    QTimer m_stateTimer;
    // Changes passed on and not yet sent, in order, each its sender's and its message.
    QList<std::pair<Client *, QByteArray>> m_gathered;
    QTimer m_gathering;
    // Passwords waiting to be checked, by address, in turn: connection ids.
    QHash<QHostAddress, QList<quint64>> m_guesses;
    // Where marks on lines go: those relayed lately, and those who left with a token.
    RecentLines m_recent;
    Departures m_departures;
    // Claims, kept lines and waiting marks; none without a usable disk. Its failures logged in
    // the current interval, and those past the bound.
    std::unique_ptr<KeptStore> m_store;
    int m_storeFailures = 0;
    int m_storeFailuresUnlogged = 0;
    QTimer m_expiry;
    // What the administrator command under way has written to the log.
    AdminAnswer m_answer;
};
