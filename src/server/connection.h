#pragma once

#include "protocol/wire.h"
#include "server/server_config.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QTimer>

class QTcpSocket;

// One client's TCP connection as the relay sees it. A plain client's reads are one message
// each, and what it is sent goes out one message per write, paced; a client that accepts the
// framing offer (docs/PROTOCOL.md) is framed both ways and written to without pauses. A client
// that floods the server or stops reading is closed here, without the server waiting on it.
class Connection : public QObject {
    Q_OBJECT

public:
    // Takes the socket over; offers framing at once.
    Connection(QTcpSocket *socket, const ServerConfig &config, quint64 id,
               QObject *parent = nullptr);
    ~Connection() override;

    quint64 id() const { return m_id; }
    // The peer's address and port as the log shows them.
    QString peer() const { return m_peer; }
    bool isFramed() const { return m_framedOut; }

    // Queues one message, sent by the connection with this id (0: the server itself). Nothing
    // happens once the connection is closing.
    void send(const QByteArray &message, quint64 from = 0);
    // Closes at once, discarding what is queued; `closed` follows with the reason.
    void drop(const QString &reason);
    // Counts one message against what the client may send in a second. Past the bound the
    // connection is dropped and this returns false. Bytes are counted here on every read; which
    // messages count is the relay's business.
    bool countMessage();
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
    struct Outgoing {
        QByteArray bytes;
        bool framed;
        quint64 from;
    };

    void read();
    void handOn();
    void written();
    void writeNext();
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
    QTimer m_gapTimer;
    QTimer m_stallTimer;
    bool m_framedOut = false;

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
