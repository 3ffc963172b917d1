#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <utility>

class QSocketNotifier;
class QSslConfiguration;
class QSslSocket;

// The peer's address and port of a connected descriptor.
std::pair<QHostAddress, quint16> peerOf(qintptr descriptor);

// The bytes of one client's TCP connection. In clear it is the bare descriptor: what the kernel
// takes is handed to it at once, only what it cannot take yet is kept, and a read keeps nothing
// once taken, so that a quiet client costs next to nothing. When the client takes encryption,
// Qt's TLS socket takes the descriptor over.
class Stream : public QObject {
    Q_OBJECT

public:
    // Takes the descriptor over (it is closed with this object); a read gives at most
    // `readLimit` bytes.
    Stream(qintptr descriptor, qint64 readLimit, QObject *parent = nullptr);
    ~Stream() override;

    qintptr descriptor() const { return m_descriptor; }
    bool isOpen() const { return m_descriptor >= 0; }
    // What has come, at most the read limit; empty when nothing has.
    QByteArray read();
    // Something has come and not been read.
    bool hasInput() const;
    // Hands the bytes on: to the kernel at once as far as it takes them, the rest as it can.
    void write(const QByteArray &bytes);
    // The blocks in order, in as few calls to the kernel as it takes them in.
    void write(const QList<QByteArray> &blocks);
    // Written here and not yet handed to the kernel.
    qint64 pending() const;
    // All the kernel has been given for the peer: encrypted bytes, once encrypted.
    qint64 handed() const { return m_handed; }
    // While paused nothing is read: the kernel, then the client, keep what it sends.
    void pause(bool paused);
    // Closes at once, throwing away what is pending; nothing is signalled after it.
    void abort();
    // Closes once what is pending has gone: at once when nothing is, `closed` following
    // otherwise.
    void close();
    // The server's handshake begins once what is pending has gone, with this identity.
    void startEncryption(const QSslConfiguration &tls);

Q_SIGNALS:
    void readyRead();
    // Some of what was pending has gone to the kernel.
    void progressed();
    void encrypted();
    // The peer closed the connection, or it failed (why, as the log says it); or a close asked
    // for has happened (no reason).
    void closed(const QString &reason);

private:
    void readable();
    // Takes what the kernel has for reading; a connection ended is reported.
    void fill();
    void writable();
    void watchWrites(bool on);
    // Stops reading and writing and reports why, once the caller's work is done.
    void fail(const QString &reason);
    void closeNow();
    void unwatch();
    void encrypt();

    qintptr m_descriptor;
    qint64 m_readLimit;
    QSocketNotifier *m_reads = nullptr;
    QSocketNotifier *m_writes = nullptr;
    // Read from the kernel and not yet taken; written and not yet taken by the kernel, from
    // m_sent on.
    QByteArray m_in;
    QByteArray m_out;
    qsizetype m_sent = 0;
    qint64 m_handed = 0;
    bool m_paused = false;
    bool m_closeWhenSent = false;
    bool m_failed = false;
    // Set once the client takes encryption: the handshake waits for m_out to go.
    const QSslConfiguration *m_tls = nullptr;
    QSslSocket *m_ssl = nullptr;
};
