#pragma once

#include "server/server_config.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QTimer>

class QTcpSocket;

// One client's TCP connection as the relay sees it: each read is one message, and what is
// sent goes out one message per write, paced, through a bounded queue. A client that floods the
// server or stops reading is closed here, without the server waiting on it.
class Connection : public QObject {
    Q_OBJECT

public:
    // Takes the socket over.
    Connection(QTcpSocket *socket, const ServerConfig &config, QObject *parent = nullptr);
    ~Connection() override;

    // The peer's address and port as the log shows them.
    QString peer() const { return m_peer; }

    // Queues one message. Nothing happens once the connection is closing.
    void send(const QByteArray &message);
    // Closes at once, discarding what is queued; `closed` follows with the reason.
    void drop(const QString &reason);
    // Counts one message against what the client may send in a second. Past the bound the
    // connection is dropped and this returns false. Bytes are counted here on every read; which
    // messages count is the relay's business.
    bool countMessage();

Q_SIGNALS:
    void messageRead(const QByteArray &bytes);
    // Posted, never emitted from inside a call into this object, so that whoever sends to many
    // connections in a loop never sees one of them vanish on the way.
    void closed(const QString &reason);

private:
    void read();
    void written();
    void writeNext();
    void socketClosed();
    void finish();
    void refill();

    QTcpSocket *m_socket;
    QString m_peer;
    ServerConfig m_config;

    QQueue<QByteArray> m_queue;
    qint64 m_queuedBytes = 0;
    // A message has been handed to the socket and has not left it yet.
    bool m_inFlight = false;
    QTimer m_gapTimer;

    QElapsedTimer m_clock;
    qint64 m_lastRefillNs = 0;
    double m_byteAllowance;
    double m_messageAllowance;

    bool m_closing = false;
    bool m_finished = false;
    QString m_reason;
};
