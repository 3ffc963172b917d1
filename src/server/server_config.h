#pragma once

#include <QHostAddress>

#include <chrono>

// What the relay server is told when it starts. Every bound has a reason: the client has no
// framing, so the server paces what it writes, and a client that does not keep up or floods the
// server must not cost the others anything.
struct ServerConfig {
    QHostAddress listenAddress{QHostAddress::Any};

    // Pause after one message has left for a client before the next one goes to that client.
    // The client takes whatever is pending at a read as one message, so two messages that reach
    // it together are lost.
    std::chrono::milliseconds gap{5};

    // A client whose outgoing queue would grow past either bound is not reading; it is closed.
    // The message bound must stay above the number of users online, since a newcomer is sent
    // one NICK per user at once.
    qsizetype maxQueuedMessages = 10'000;
    qint64 maxQueuedBytes = 4 * 1024 * 1024;

    // A client that sends more than either in any one second is closed.
    qint64 maxBytesPerSecond = 64 * 1024;
    int maxMessagesPerSecond = 20;

    // How long a booted user's connection stays open for its client to take the hint.
    std::chrono::milliseconds bootGrace{3000};
};
