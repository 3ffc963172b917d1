#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>

#include "core/uplink.h"

class ClientSocket;
class Outbox;
class SecretStore;
class Settings;

// The program's one connection over time. The user logs in and out; a connection lost without
// the user asking (the server gone, a reset, a dead peer, the server closing the client) leaves
// the user logged out with every window kept, and is tried again by itself, sooner at first and
// then at most a minute apart, with some jitter so that a whole group does not come back in one
// instant. Logging out, an expulsion and the login window's own attempts end the retrying.
//
// A reconnection presents the secret the server gave at the last log-in, so that the server,
// which may still hold the old connection, lets the same user take the nickname back; the secret
// is kept in the SecretStore until the user leaves, so a log-in after a run that ended without
// leaving (a crash) presents it too. Secrets and the group's password go back only under the
// certificate they were given under (none: in clear). A server
// that refuses the user (the nickname taken, the password wrong) is not retried; a certificate
// other than the one remembered for the address is refused until the user accepts it.
//
// Where the server keeps claims (encrypted, `keep` offered), every LOGIN carries the nickname's
// key for that server's certificate, made once and kept in the SecretStore before it first
// leaves; when the store cannot be read, the LOGIN goes without one and nothing is made, and a
// new key the store could not keep (a full disk) is not sent either. A log-in with a code from
// another desk makes this desk's key anew, kept the same way, and sends the code with it once.
//
// A server chosen from those announced on the network must show a certificate that begins
// with the digits announced, on every connection of that log-in, until the user accepts the
// one it shows. Another desk taking the nickname over ends the log-in as leaving does.
//
// Questions to the user leave as signals; whoever shows them answers through the matching verb,
// at once or later. An answer that comes after the user has logged in anew or left is out of date
// and changes nothing. What the windows are to show leaves as signals too.
//
// Where a log-in stands is one Step, changed only by move(); state() is what it means to the
// rest of the client:
//   Out -> Opening             the user logs in, or accepts a certificate or clear text
//   Opening -> AwaitingKey     connected where the server keeps claims
//   Opening, AwaitingKey -> In the LOGIN sent
//   Opening -> Out             the attempt failed, was refused or cancelled
//   Opening -> Waiting         a try after a loss failed: the next one waits for its time
//   AwaitingKey -> Opening     the connection gone before the key came (then as a failure)
//   In -> Waiting              the connection lost
//   In -> Opening              encryption offered on a connection in clear: back at once
//   In, Opening -> Out -> Opening  a password refused: asked again on a new connection
//   Waiting -> Opening         the next try
//   any -> Out                 the user leaves or is expelled
class Session : public QObject {
    Q_OBJECT

public:
    enum class State {
        LoggedOut,
        Connecting,
        LoggedIn,
        // Lost; a reconnection is pending or under way.
        Lost,
    };

    enum class Step {
        Out,
        // The secret read, the connection made and its offers settled.
        Opening,
        // Connected where the server keeps claims: the LOGIN waits for the nickname's key.
        AwaitingKey,
        // The LOGIN has gone.
        In,
        // Lost: the next try waits for its time.
        Waiting,
    };
    // What the log-in is beside its step; it outlives the steps (a return stays one through a
    // refusal, a question and the log-in itself) until the user logs in or leaves. None: the
    // user's own; Told: a return after a loss, told when back; Quiet: back after encryption was
    // offered, which is no loss to tell (once, then Told).
    enum class Return { None, Told, Quiet };

    // How the user came to a log-in, beside the nickname and the address.
    struct Way {
        // Chosen from the servers announced on the network: the first digits of its
        // certificate's fingerprint, as announced (none: typed, or not said).
        QString announced;
        // A code from a desk that uses the nickname already, and a name for this desk.
        QString code;
        QString desk;
    };

    static constexpr std::chrono::seconds FirstRetry{1};
    static constexpr std::chrono::seconds LastRetry{60};

    // The socket and the nickname come with the uplink; the LOGIN goes through the outbox; the
    // certificates, clear-text permissions and the last log-in are kept in the settings, secrets
    // in the store.
    Session(Uplink &uplink, Outbox &outbox, Settings &settings, SecretStore &secrets,
            QObject *parent = nullptr);
    ~Session() override;

    ClientSocket &socket() { return *m_socket; }
    State state() const;
    Step step() const { return m_step; }
    Return returning() const { return m_return; }
    // The address of the log-in, or of the last one.
    QString host() const { return m_host; }
    // This connection's LOGIN carried the nickname's key: only then does the server mark lines.
    bool keyed() const { return m_keyed; }

    // The login window's attempt.
    void logIn(const QString &nickname, const QString &host, const Way &way = {});
    // The user leaves, or is expelled: nothing is retried, whatever happens to the connection;
    // an attempt under way ends.
    void leave();
    // Tells the open conversations and the room; for a notice line in each (windowsTold).
    void tellWindows(const QString &notice);

    // From the server: what lets this log-in be taken back after a loss; a refusal, with its
    // reason and the server's text.
    void setToken(const QString &token);
    void refused(const QString &reason, const QString &text);
    // Another desk of the nickname has taken it over: logged out, told, nothing retried.
    void taken(const QString &text);

    // The answers to the questions below.
    void answerCertificate(quint64 question, bool accepted);
    void answerPassword(quint64 question, bool given, const QString &password, bool remember);

Q_SIGNALS:
    // The server at host shows another certificate than the one remembered (seen: none, it no
    // longer encrypts). Answered by answerCertificate with this question's number.
    void certificateQuestion(quint64 question, const QString &host, const QString &known,
                             const QString &seen);
    // The server wants the group's password; again: the last one was refused.
    void passwordQuestion(quint64 question, const QString &host, bool again);

    void stepChanged(Session::Step step);
    // A log-in begins under this address and nickname.
    void accountChosen(const QString &host, const QString &nickname);
    // For the status line, a box, and a notice line in every conversation.
    void status(const QString &text);
    void boxWanted(const QString &title, const QString &text, BoxKind kind);
    void windowsTold(const QString &notice);
    // The LOGIN has gone on a connection under this certificate (none: in clear).
    void loggedIn(const QString &nickname, const QString &fingerprint);
    // It carried the nickname's key: lines no mark reached may go again.
    void keyedLogIn();
    // The windows as after logging out; retrying: "&Abandonar" stays to stop it.
    void loggedOut(bool retrying);
    // The login window is wanted on screen (another try), or done with.
    void loginWanted(bool shown);
    void padlockChanged(const QString &fingerprint);
    void clearText(bool clear);

private:
    void connectTo();
    void connected();
    // The LOGIN, with the nickname's key where the server keeps claims, and what follows it.
    void sendLogIn(const QString &key);
    void failed();
    void lost();
    void certificateRefused(const QString &known, const QString &seen);
    // A server taken for a plain one offered encryption late: the same log-in, again, encrypted.
    void encryptAfterAll();
    // The password for the connection's certificate: the session's, the remembered one, or the
    // user's answer.
    void askPassword();
    void askUser(const QString &certificate);
    void forgetToken();
    // The windows as after logging out, and the login window open for another try.
    void showLoggedOut(const QString &text);
    void retry();
    void scheduleRetry();
    // Every change of step goes through here.
    void move(Step to);

    Uplink &m_uplink;
    ClientSocket *m_socket;
    Outbox &m_outbox;
    Settings &m_settings;
    SecretStore &m_secrets;
    Step m_step = Step::Out;
    Return m_return = Return::None;
    QTimer m_retryTimer;
    std::chrono::milliseconds m_nextDelay{FirstRetry};
    // Who the user was and where, for the reconnections.
    QString m_nickname;
    QString m_host;
    Way m_way;
    QString m_token;
    // The certificates a question is about: the one remembered (none: never encrypted) and the
    // one shown (none: no encryption offered).
    QString m_knownCertificate;
    QString m_seenCertificate;
    // What the next connection of this log-in may do, options beside the step that last until
    // the user logs in or leaves: the user agreed to go on in clear with a server whose
    // certificate is remembered; the server offered encryption late, so connections must
    // encrypt until one has. Both may hold: the second wins, and once it ends the first holds.
    bool m_clearOnce = false;
    bool m_encryptOnly = false;
    // The certificate the secret came under (none: in clear); it goes back under no other.
    QString m_tokenCertificate;
    // The group's password for this session, remembered or not, and the certificate it goes
    // under; the certificate the open question is about; whether the last was refused.
    QString m_password;
    QString m_passwordCertificate;
    QString m_askedCertificate;
    bool m_passwordRefused = false;
    // Password questions unanswered.
    int m_asking = 0;
    // Counts the user's log-ins and leavings: a question answered after one is out of date.
    quint64 m_choices = 0;
    // Counts connections: the key read for one is for no other.
    quint64 m_connections = 0;
    bool m_keyed = false;
};
