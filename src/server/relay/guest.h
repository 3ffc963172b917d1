#pragma once

#include "protocol/wire.h"
#include "server/store/kept_store.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

class Connection;

// One client's connection as the relay knows it: who it is once logged in, what it may still
// send, and what it owes and is owed. Its connection outlives it.
struct Guest {
    // A line sent with an id to a guest that agreed on keeping, until it answers RECEIVED; and
    // one it answered, which it may still say it has seen.
    using Line = KeptStore::Line;

    Connection *connection = nullptr;
    QHostAddress address;
    QString nickname;
    bool loggedIn = false;
    bool inRoom = false;
    bool booted = false;
    // Tells one log-in of a connection from the next.
    quint64 session = 0;
    // Who wrote its lines, for their marks: made at a log-in, and carried on by one that
    // presents its token (a client back after a loss).
    QString identity;
    // For each sender's nickname, how many of its PMs this guest may still answer with IGNORE.
    QHash<QString, int> unansweredPms;
    // When it logged in lately, in milliseconds of the relay's clock.
    QList<qint64> logIns;
    // Whom it wrote to lately and when; when it first wrote to someone new lately; when it was
    // last told that a PM was refused for that.
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
    // What lets this guest's user take the nickname back from a new connection.
    QByteArray token;
    // It agreed on keeping (framed, encrypted, offered it, logged in with a valid key): it gets
    // ids and times and sends RECEIVED, SEEN and ids of its own. It holds the claim on its
    // nickname.
    bool keeps = false;
    bool holder = false;
    // The desk of the claim whose key it logged in with, while it holds the claim.
    QString desk;
    // A LOGIN with a code for a new desk, waiting for its turn to be checked as a password does.
    struct DeskLogIn {
        QString nickname, token, key, code, desk;
    };
    std::optional<DeskLogIn> deskLogIn;
    // Its nickname folded as nicknames are compared, while logged in; its NICK, encoded.
    QString form;
    QByteArray nick;
    // Lines sent to it that it has not answered with RECEIVED, in the order sent (a row when it
    // came from the store), and the bytes of their text; the latest it answered, for SEEN.
    QList<Line> awaiting;
    qint64 awaitingBytes = 0;
    QList<Line> answered;
    // How many RECEIVED and SEEN it may still send without counting as messages.
    int answers = 0;
    // When it was last told, for each nickname, that a line to it found nobody.
    QHash<QString, qint64> toldAway;
    // Its state as last passed on, and when its changes were passed on lately; the latest change
    // that waits for the minute to allow it.
    QString state = wire::StateAvailable;
    QString stateText;
    QList<qint64> stateChanges;
    bool statePending = false;
    QString pendingState;
    QString pendingText;
    // It takes and sends files (FILES|); its connection has become a transfer's.
    bool takesFiles = false;
    bool handedOver = false;
    // It has changes gathered, not yet sent.
    bool gathered = false;
};
