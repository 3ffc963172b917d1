#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>

class ClientSocket;
class Program;

// The program's one connection over time. The user logs in and out; a connection lost without
// the user asking (the server gone, a reset, a dead peer, the server closing the client) leaves
// the user logged out with every window kept, and is tried again by itself, sooner at first and
// then at most a minute apart, with some jitter so that a whole group does not come back in one
// instant. Logging out, an expulsion and the login window's own attempts end the retrying.
//
// A reconnection presents the secret the server gave at the last log-in, so that the server,
// which may still hold the old connection, lets the same user take the nickname back. A server
// that refuses the user (the nickname taken, the password wrong) is not retried; a certificate
// other than the one remembered for the address is refused until the user accepts it.
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

    static constexpr std::chrono::seconds FirstRetry{1};
    static constexpr std::chrono::seconds LastRetry{60};

    explicit Session(Program &program);
    ~Session() override;

    ClientSocket &socket() { return *m_socket; }
    State state() const { return m_state; }

    // The login window's attempt, to the address its boxes hold now.
    void logIn();
    // The user leaves, or is expelled: nothing is retried, whatever happens to the connection;
    // an attempt under way ends.
    void leave();
    // Tells the open conversations and the room; for a notice line in each.
    void tellWindows(const QString &notice);

    // From the server: what lets this log-in be taken back after a loss; a refusal, with its
    // reason and the server's text.
    void setToken(const QString &token);
    void refused(const QString &reason, const QString &text);

private:
    void connectTo();
    void connected();
    void failed();
    void lost();
    void certificateRefused(const QString &known, const QString &seen);
    void askPassword();
    // The windows as after logging out, and the login window open for another try.
    void showLoggedOut(const QString &status);
    void retry();
    void scheduleRetry();
    // The state of another try at the same log-in: a reconnection stays one.
    State attemptState() const { return m_retrying ? State::Lost : State::Connecting; }

    Program &m_program;
    ClientSocket *m_socket;
    State m_state = State::LoggedOut;
    QTimer m_retryTimer;
    std::chrono::milliseconds m_nextDelay{FirstRetry};
    // Who the user was and where, for the reconnections.
    QString m_nickname;
    QString m_host;
    QString m_token;
    // The certificate the secret came under (none: in clear); it goes back under no other.
    QString m_tokenCertificate;
    // The group's password for this session, remembered or not; whether the last was refused.
    QString m_password;
    bool m_passwordRefused = false;
    // Password windows open.
    int m_asking = 0;
    // Counts the user's log-ins and leavings: a question answered after one is out of date.
    quint64 m_choices = 0;
    // Coming back after a loss, until the user logs in or leaves: the connection settles
    // before the server has said yes, and a password refused then is asked and tried again.
    bool m_retrying = false;
};
