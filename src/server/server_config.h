#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <chrono>

// What the relay server is told when it starts. Every bound has a reason: a plain client has no
// framing, so the server paces what it writes to it; a client that does not keep up, floods the
// server or makes it flood others must not cost the others anything.
struct ServerConfig {
    QHostAddress listenAddress{QHostAddress::Any};

    // Pause after one message has left for a plain client before the next one goes to it. Such a
    // client takes whatever is pending at a read as one message, so two messages that reach it
    // together are lost. Framed clients are written to without pauses.
    std::chrono::milliseconds gap{5};
    // Whether clients are offered framing; without it every client is plain, as with a server
    // that does not know the extension.
    bool offerFraming = true;
    // Whether framed clients are also offered encryption, and whether a client that does not
    // take it is refused. The server's key and certificate live in the state folder.
    bool offerTls = true;
    bool requireTls = false;
    QString stateFolder;
    // The group's password, when it has one: a client presents it, encrypted, before LOGIN.
    QByteArray password;
    // Whether nicknames may be claimed and lines kept for those who are away, in the state
    // folder; only with encryption, since a claim's key must not travel in clear. The relay
    // clears it when its store cannot be used.
    bool keep = true;
    // How long kept lines wait, and how long a claim holds unused; how many lines may be kept
    // for one recipient, from one sender to one recipient, and in all.
    int keepDays = 30;
    int claimDays = 180;
    int keptPerRecipient = 2000;
    int keptPerSender = 500;
    int keptInAll = 200'000;
    // And from one address, whatever nicknames it writes as: for one recipient, and in all.
    int keptPerAddress = 500;
    int keptFromAddress = 5000;
    // Whether files may be sent through the server, kept in the state folder until fetched, and
    // for how many days at most; only where things are kept. The largest file, what may wait
    // from one sender, for one recipient and in all, in bytes; bytes a second a transfer
    // connection, and all those of one address together, may move (0: no bound).
    bool files = true;
    int fileDays = 7;
    qint64 maxFileSize = qint64(2) * 1024 * 1024 * 1024;
    qint64 filesFromOne = qint64(4) * 1024 * 1024 * 1024;
    qint64 filesForOne = qint64(4) * 1024 * 1024 * 1024;
    qint64 filesInAll = qint64(16) * 1024 * 1024 * 1024;
    qint64 fileRate = 0;
    qint64 fileRatePerAddress = 0;
    // New nicknames one address may claim in an hour: each is a row on disk for half a year.
    int maxClaimsPerHour = 5;
    // How long a code that lets another desk log in with a claimed nickname holds; how many
    // desks one claim may have, each a key kept as long as the claim.
    std::chrono::milliseconds deskCodeLifetime{600'000};
    int desksPerClaim = 10;
    // Whether the server announces itself on the local network (DNS-SD), and under what name;
    // the machine's host name when empty.
    bool announce = true;
    QString name;

    // What may wait for one client, shared among those whose messages wait there: a sender
    // with its share waiting (at most maxWaitingFromOne messages) is held back, its input left
    // unread, until half of its share has gone. Others' lines past twice either bound are
    // refused and their writers told; the reader is not closed for them. The message bound must
    // stay above the number of users online, since a newcomer is sent one NICK per user at once.
    qsizetype maxQueuedMessages = 10'000;
    qint64 maxQueuedBytes = 4 * 1024 * 1024;
    int maxWaitingFromOne = 100;
    // A client with messages waiting that takes nothing for this long (nothing leaves the
    // kernel's queue towards it) is not reading: it is closed.
    std::chrono::milliseconds stallTimeout{20'000};

    // A client that sends more than either in any one second is closed.
    qint64 maxBytesPerSecond = 64 * 1024;
    int maxMessagesPerSecond = 20;
    // Every log-in is announced to everyone: a client that logs in more often than this in a
    // minute is closed.
    int maxLoginsPerMinute = 6;
    // Each PM to someone new opens a window on that person's desktop: so many a minute from a
    // connection, and from all connections from one address together.
    int maxNewCorrespondentsPerMinute = 10;
    int maxNewCorrespondentsPerAddress = 10;
    // Each change of state is sent to everyone: so many a minute from a client are passed on
    // at once; the last one past that waits until the minute allows it.
    int maxStatesPerMinute = 6;
    // The minute of that bound; shorter in tests. Changes passed on are gathered this long, so
    // that a client that reads is written them once, not once each.
    std::chrono::milliseconds stateWindow{60'000};
    std::chrono::milliseconds stateGathering{100};

    // Together, the connections from one address (IPv6: one /64), loopback too: how many there
    // may be, and how many of them not logged in; how often they may log in in a minute.
    int maxConnectionsPerAddress = 16;
    int maxNotLoggedInPerAddress = 8;
    int maxLoginsPerAddress = 30;
    // A connection refused for its address is closed this long after it came, unread, so that
    // a client that comes straight back when closed does not keep the server busy refusing it;
    // past maxRefusing such connections waiting, the next ones are closed at once.
    std::chrono::milliseconds refusalDelay{1000};
    int maxRefusing = 256;
    // A wrong password from an address is refused this long after it was checked, and the next
    // password from there waits as long before it is checked; the delay doubles with each wrong
    // one. So many wrong ones within passwordLock lock the address out for that long, the right
    // password too.
    std::chrono::milliseconds passwordDelay{1000};
    int maxPasswordFailures = 10;
    std::chrono::milliseconds passwordLock{600'000};
    // Refusals repeated from one address are logged the first time, then counted in one line
    // at most this often.
    std::chrono::milliseconds logSummaryInterval{60'000};
    // A connection that has neither given a password nor logged in this long after connecting
    // is closed: a client that means to log in does so at once.
    std::chrono::milliseconds helloTimeout{15'000};
    // Before log-in, a framed client may send no longer message than this.
    qint64 maxMessageBeforeLogIn = 1024;

    // A connection on which nobody logs in for this long (from connecting, or from the last
    // log-out) is closed: it holds a descriptor for nothing. Long enough to type the password.
    std::chrono::milliseconds logInTimeout{120'000};
    // How long a booted user's connection stays open for its client to take the hint.
    std::chrono::milliseconds bootGrace{3000};
};
