#pragma once

#include "server/server_config.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>

#include <array>

// What the connections from one address may do together: a client that opens more connections
// gets no more log-ins, password guesses or half-open connections for it. Loopback is no
// exception. An address is remembered only while it has a connection or something to answer
// for, so that many addresses cannot grow the server.
class AddressLimits {
public:
    // What counts as one address: an IPv4 address (mapped ones too), or an IPv6 /64.
    static QHostAddress key(const QHostAddress &address);
    // What is refused quietly: the first refusal of a kind from an address is logged, then only
    // a count at most once per ServerConfig::logSummaryInterval.
    enum class Refusal { Connection, LogIn, Password, Locked, Claim };

    explicit AddressLimits(const ServerConfig &config);

    // Milliseconds of this object's clock.
    qint64 now() const { return m_clock.elapsed(); }

    // Why a new connection from the address is refused, or empty: then it counts, not logged
    // in, until gone().
    QString admit(const QHostAddress &address);
    void gone(const QHostAddress &address, bool loggedIn);
    void loggedIn(const QHostAddress &address);
    void loggedOut(const QHostAddress &address);

    // Whether one more log-in, or PM to someone new, from the address fits in the minute; it is
    // counted if so.
    bool mayLogIn(const QHostAddress &address);
    bool mayWriteToSomeoneNew(const QHostAddress &address);
    // Whether the address may claim one more nickname within the hour; it is counted if so.
    bool mayClaim(const QHostAddress &address);

    // How long a password from the address waits before it may be checked: the delay its last
    // wrong password earned, or a gap after the last check once one was wrong; 0: now.
    qint64 passwordWait(const QHostAddress &address) const;
    // A password from the address is checked now: the next waits its turn.
    void checkingPassword(const QHostAddress &address);
    // Whether the address may give no password, right or wrong, for now.
    bool isLocked(const QHostAddress &address) const;
    // A wrong password from the address was checked now; returns how long its refusal waits.
    qint64 wrongPassword(const QHostAddress &address);

    // Whether this refusal is logged as it happens; otherwise it is only counted.
    bool logNow(const QHostAddress &address, Refusal kind);
    // Whether refusals from the address are being counted rather than logged: its connections
    // come and go without a line each.
    bool isQuiet(const QHostAddress &address) const;
    // One line for each address and kind whose refusals went uncounted for an interval:
    // the address as the log shows it, and what happened.
    QList<std::pair<QString, QString>> summaries();

private:
    struct Quiet {
        qint64 loggedAt = -1;
        int unlogged = 0;
    };
    struct State {
        int connections = 0;
        int notLoggedIn = 0;
        QList<qint64> logIns;
        QList<qint64> newCorrespondents;
        QList<qint64> claims;
        QList<qint64> failures;
        qint64 nextCheck = 0;
        qint64 lockedUntil = -1;
        std::array<Quiet, 5> quiet;
    };

    // Whether one more fits in the window (a minute unless said), counting it if so.
    bool fitsInWindow(QList<qint64> &times, int most, qint64 window = 60'000);
    // Drops what has expired, and the addresses left with nothing.
    void sweep();

    ServerConfig m_config;
    QElapsedTimer m_clock;
    QHash<QHostAddress, State> m_states;
    qint64 m_swept = 0;
};
