#pragma once

#include <QObject>
#include <QString>

#include "core/arrivals.h"
#include "core/availability.h"
#include "core/block_list.h"
#include "core/conversations.h"
#include "core/dispatcher.h"
#include "core/found_servers.h"
#include "core/history_store.h"
#include "core/uplink.h"
#include "core/outbox.h"
#include "core/own_desks.h"
#include "core/secret_store.h"
#include "core/session.h"
#include "core/settings.h"
#include "core/transfers.h"
#include "core/user_list.h"

#include <memory>

class ClientSocket;

// The running client without its windows: who the user is, the connection, what the server sent
// and what the user keeps. It makes the parts, hands each what it works with and connects what
// each says to what follows. Windows observe it through its signals and models and call its
// verbs; it never reaches a window. What needs the user (a question, a box) leaves as a signal
// that a window answers, synchronously where the wire depends on the order.
class Client : public QObject {
    Q_OBJECT

public:
    using BoxKind = ::BoxKind;

    explicit Client(QObject *parent = nullptr);
    ~Client() override;

    Settings &settings() { return *m_settings; }
    SecretStore &secrets() { return *m_secrets; }
    Session &session() { return *m_session; }
    ClientSocket &socket() { return *m_socket; }
    Outbox &outbox() { return *m_outbox; }
    Dispatcher &dispatcher() { return *m_dispatcher; }
    UserList &users() { return *m_users; }
    Conversations &conversations() { return *m_conversations; }
    HistoryStore &history() { return *m_history; }
    Availability &availability() { return *m_availability; }
    // Whose private lines the user refuses; kept with the settings.
    BlockList &blockList() { return *m_blockList; }
    // The files of this run, sent and received.
    Transfers &transfers() { return *m_transfers; }
    // What becomes of the files offered: saved at once, or fetched for a preview.
    Arrivals &arrivals() { return *m_arrivals; }
    // The desks the nickname is used from; the servers announced on the local network.
    OwnDesks &desks() { return *m_desks; }
    FoundServers &foundServers() { return *m_foundServers; }

    // The nickname the user logged in with; empty while logged out.
    QString nickname() const { return m_uplink->nickname(); }
    void setNickname(const QString &nickname) { m_uplink->setNickname(nickname); }
    bool isConnected() { return m_uplink->isConnected(); }

    // Puts one message on the connection while it is up and returns true; otherwise drops it,
    // says so in the status line and returns false.
    bool SendCommand(const QString &message) { return m_uplink->send(message); }
    // "Status : " and the text, for the main window's status line.
    void SetStatus(const QString &text);
    QString statusLine() const { return m_statusLine; }
    // Waits while the event loop runs: every event that comes meanwhile is handled.
    void Pause(double seconds) { m_uplink->pause(seconds); }
    // A modal box with one OK button, shown by whoever listens; returns once it is dismissed.
    void showBox(const QString &title, const QString &text, BoxKind kind = BoxKind::Plain);
    // A refusal of something the user asked, for the Error window.
    void showError(const QString &text) { Q_EMIT errorShown(text); }

    // For a harness that drives the client faster than a person can: pauses end at once and
    // boxes and questions are taken as dismissed as soon as they would open.
    void setInstant(bool instant) { m_uplink->setInstant(instant); }
    bool isInstant() const { return m_uplink->isInstant(); }
    // The program ends: from here nothing is sent and no pause waits.
    void end() { m_uplink->end(); }

    // Whether the room's window is shown: lines and notices of the connection go there, and a
    // log-in enters the room again.
    bool isRoomShown() const { return m_conversations->isRoomShown(); }
    void setRoomShown(bool shown) { m_conversations->setRoomShown(shown); }
    // Whether conversations are kept on disk, and for how many days (0: for ever).
    void keepHistory(bool kept);
    void keepHistoryFor(int days);

    // The user's verbs that go on the wire.
    // The list of users asked for again, only the own nickname listed until it comes; without a
    // connection the status line says "No Conectado" and nothing changes.
    void refreshList();
    // ENTER and LEAVE of the room, as its window opens and closes.
    void enterRoom();
    void leaveRoom();
    // The login window's attempt, and its end when the window goes.
    void logIn(const QString &nickname, const QString &host, const Session::Way &way = {});
    void cancelLogIn();
    // A new log-in is wanted: the retrying after a lost connection ends. Whether it was under way.
    bool stopRetrying();
    // The user leaves: LOGOUT, the logged-out state, and a second later the socket closed.
    // After a lost connection, it only stops the retrying.
    void logOut();
    // After a LOGOUT: a second for it to leave, then the socket closed.
    void closeAfterGoodbye();
    // Logged out, or retrying (then "&Abandonar" stays to stop it): nobody listed, no padlock.
    void showLoggedOut(bool retrying);
    // Logged in on a connection that is not encrypted: every window says so.
    bool isClearText() const { return m_clearText; }
    void setClearText(bool clear);

Q_SIGNALS:
    void statusChanged(const QString &line);
    void errorShown(const QString &text);
    void boxShown(const QString &title, const QString &text, Client::BoxKind kind);
    // The main window's caption and whether "Entrar" and "&Abandonar" may be chosen.
    void captionChanged(const QString &caption);
    void sessionMenusChanged(bool logIn, bool logOut);
    // The own nickname as the login window's box should show it.
    void nicknameChanged(const QString &nickname);
    // The certificate of the encrypted connection; none while in clear or logged out.
    void padlockChanged(const QString &fingerprint);
    void clearTextChanged(bool clear);
    // The login window is wanted on screen (another try), or done with (logged in).
    void loginWanted(bool shown);

private:
    // What follows a LOGIN beside the session's own.
    void loggedIn(const QString &nickname, const QString &fingerprint);
    // The user was expelled: the windows as after logging out.
    void expelled();
    void connectParts();

    Settings *m_settings;
    SecretStore *m_secrets;
    ClientSocket *m_socket;
    Uplink *m_uplink;
    std::unique_ptr<Outbox> m_outbox;
    Session *m_session;
    UserList *m_users;
    HistoryStore *m_history;
    BlockList *m_blockList;
    Conversations *m_conversations;
    Transfers *m_transfers;
    Arrivals *m_arrivals;
    OwnDesks *m_desks;
    FoundServers *m_foundServers;
    Dispatcher *m_dispatcher;
    Availability *m_availability;
    QString m_statusLine = QStringLiteral("Status : Idle");
    bool m_clearText = false;
};
