#pragma once

#include "protocol/wire.h"
#include "server/server_config.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QSet>
#include <QString>
#include <QTimer>

#include <functional>

class QSslConfiguration;
class QTcpSocket;
class Connection;

// The gaps between messages to plain clients, kept on one timer for them all: with thousands of
// clients, a timer each would cost more than the writing.
class Pacer : public QObject {
    Q_OBJECT

public:
    explicit Pacer(std::chrono::milliseconds gap);
    // Calls the connection back once the gap has passed.
    void wait(Connection *connection);
    bool isWaiting(const Connection *connection) const { return m_waiting.contains(connection); }
    // The connection is going: a new one at the same address must not inherit its wait.
    void forget(const Connection *connection);

private:
    void tick();

    std::chrono::milliseconds m_gap;
    QTimer m_timer;
    QElapsedTimer m_clock;
    struct Due {
        qint64 at;
        const Connection *key;
        QPointer<Connection> connection;
    };
    // In the order they began waiting, which is the order they are due in.
    QList<Due> m_due;
    QSet<const Connection *> m_waiting;
};

// One client's TCP connection as the relay sees it. A plain client's reads are one message
// each, and what it is sent goes out one message per write, paced; a client that accepts the
// framing offer (docs/PROTOCOL.md) is framed both ways and written to without pauses, and
// encrypted if it accepts that too. A client that floods the server or stops reading is closed
// here, without the server waiting on it.
class Connection : public QObject {
    Q_OBJECT

public:
    // Which messages count against what a client may send in a second: the relay's business.
    using Counts = std::function<bool(const QByteArray &message)>;

    // Takes the socket over; offers framing at once, and encryption with this identity when
    // there is one (the socket is then a QSslSocket).
    Connection(QTcpSocket *socket, const ServerConfig &config, quint64 id, Pacer &pacer,
               Counts counts, const QSslConfiguration *tls, QObject *parent = nullptr);
    ~Connection() override;

    quint64 id() const { return m_id; }
    // The peer's address and port as the log shows them.
    QString peer() const { return m_peer; }
    bool isFramed() const { return m_framedOut; }
    bool isEncrypted() const { return m_encrypted; }

    // Queues one message, sent by the connection with this id (0: the server itself). Nothing
    // happens once the connection is closing.
    void send(const QByteArray &message, quint64 from = 0);
    // Closes at once, discarding what is queued; `closed` follows with the reason.
    void drop(const QString &reason);
    // Reads nothing more, sends what is queued, then closes; `closed` follows with the reason.
    void closeAfterSending(const QString &reason);
    // Before log-in a framed client may only send short messages: nobody has said who holds
    // what it sends.
    void setLoggedIn(bool loggedIn);
    // While held (as often as released), what the client sends is read and kept, but not handed
    // on.
    void hold();
    void release();

Q_SIGNALS:
    void messageRead(const QByteArray &bytes);
    // A message has been handed on, and handled: this many bytes of the client's stream.
    void taken(qint64 bytes);
    // Posted, never emitted from inside a call into this object, so that whoever sends to many
    // connections in a loop never sees one of them vanish on the way.
    void closed(const QString &reason);
    // Messages from that connection pile up here; and, later, half of them have gone (also
    // when this connection closes).
    void pilingUp(quint64 from);
    void relieved(quint64 from);

private:
    friend class Pacer;

    struct Outgoing {
        QByteArray bytes;
        bool framed;
        quint64 from;
        // The server's marker for encryption: the handshake follows it.
        bool startsTls = false;
    };

    void read();
    // Finds the client's marker in the read, if it is there: what precedes it is kept as the
    // last plain message and removed with the marker. False if the connection was dropped.
    bool acceptMarker(QByteArray &bytes);
    // Counts one message as it is read (a message held back is not a burst when it is handed on
    // later). Past the bound the connection is dropped and this returns false.
    bool countMessage();
    void keep(const QByteArray &message, qint64 bytes);
    void handOn();
    void written();
    void checkProgress();
    void writeNext();
    void encryptionStarted();
    void socketClosed();
    void finish();
    void refill();
    void forget(const Outgoing &message);

    QTcpSocket *m_socket;
    quint64 m_id;
    QString m_peer;
    ServerConfig m_config;

    QQueue<Outgoing> m_queue;
    qint64 m_queuedBytes = 0;
    QHash<quint64, int> m_waitingFrom;
    // The senders told they pile up here, and not yet relieved.
    QList<quint64> m_pilingUp;
    // Written to the socket and not yet gone from it; whether it was a plain message.
    bool m_inFlight = false;
    bool m_plainInFlight = false;
    Pacer &m_pacer;
    Counts m_counts;
    // Runs while something waits for the client; the client last took something then.
    QTimer m_stallTimer;
    QElapsedTimer m_lastProgress;
    bool m_framedOut = false;
    const QSslConfiguration *m_tls;
    bool m_handshaking = false;
    bool m_encrypted = false;
    // Closing once what is queued has gone.
    bool m_closeWhenSent = false;

    bool m_framedIn = false;
    wire::FrameReader m_frames;
    // Messages read and not yet handed on, each with the bytes of the stream it took.
    QQueue<std::pair<QByteArray, qint64>> m_inbox;
    int m_holds = 0;

    QElapsedTimer m_clock;
    qint64 m_lastRefillNs = 0;
    double m_byteAllowance;
    double m_messageAllowance;

    bool m_closing = false;
    bool m_finished = false;
    QString m_reason;
};
