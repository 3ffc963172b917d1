#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <utility>

class QSocketNotifier;
class TlsContext;
struct ssl_st;

// The peer's address and port of a connected descriptor.
std::pair<QHostAddress, quint16> peerOf(qintptr descriptor);

// The bytes of one client's TCP connection, on the bare descriptor: what the kernel takes is
// handed to it at once, only what it cannot take yet is kept, and a read keeps nothing once
// taken, so that a quiet client costs next to nothing. When the client takes encryption, TLS
// runs on the same descriptor, its buffers released while the connection is quiet.
class Stream : public QObject {
public:
    // What the stream tells its owner, who outlives it: by default, nothing.
    class Events {
    public:
        virtual void streamReadable() {}
        // Some of what was pending has gone to the kernel.
        virtual void streamProgressed() {}
        virtual void streamEncrypted() {}
        // The peer closed the connection, or it failed (why, as the log says it); or a close
        // asked for has happened (no reason).
        virtual void streamClosed(const QString &reason) { Q_UNUSED(reason); }

    protected:
        ~Events() = default;
    };

    // Takes the descriptor over (it is closed with this object); a read gives at most
    // `readLimit` bytes. What happens is told to `events`.
    Stream(qintptr descriptor, qint64 readLimit, Events &events, QObject *parent = nullptr);
    ~Stream() override;

    qintptr descriptor() const { return m_descriptor; }
    // Another owner takes the stream over, with what it may read at once.
    void handTo(Events &events, qint64 readLimit);
    // The stream carries a file's bytes from now on: TLS reads ahead, many records a call,
    // and keeps its buffers.
    void carryBulk();
    bool isOpen() const { return m_descriptor >= 0; }
    // The connection failed: nothing more is read or written, whatever is asked.
    bool hasFailed() const { return m_failed; }
    // What has come, at most the read limit; empty when nothing has.
    QByteArray read();
    // As read(), at most `most` bytes, added to the end of `to` (within its capacity: no copy
    // nor allocation on the way); how many.
    qint64 readInto(QByteArray &to, qint64 most);
    // Something has come and not been read (decrypted and waiting, or in the kernel).
    bool hasInput() const;
    // Hands the bytes on: to the kernel at once as far as it takes them, the rest as it can.
    void write(const QByteArray &bytes);
    // The blocks in order, in as few calls to the kernel as it takes them in.
    void write(const QList<QByteArray> &blocks);
    // Written here and not yet handed to the kernel.
    qint64 pending() const;
    // All the kernel has been given for the peer: encrypted bytes, once encrypted.
    qint64 handed() const;
    // While paused nothing is read: the kernel, then the client, keep what it sends.
    void pause(bool paused);
    // Closes at once, throwing away what is pending; nothing is told after it.
    void abort();
    // Closes once what is pending has gone: at once when nothing is, `streamClosed` following
    // otherwise. An encrypted stream tells the peer it closes.
    void close();
    // The server's handshake begins once what is pending has gone, in this context, which
    // outlives the stream.
    void startEncryption(const TlsContext &tls);

private:
    void readable();
    // Takes what the kernel (through TLS, once encrypted) has for reading; a connection ended is
    // reported.
    void fill();
    // The kernel's (through TLS) bytes into `to`: how many; 0 for none, the end reported.
    qint64 take(char *to, qint64 most);
    void writable();
    // Hands bytes to the kernel, through TLS once encrypted: how many it took (0: none now);
    // -1 when the connection failed.
    qint64 send(const char *data, qint64 size);
    void watchWrites(bool on);
    // Stops reading and writing and reports why, once the caller's work is done.
    void fail(const QString &reason);
    void closeNow();
    void unwatch();
    void encrypt();
    // Moves the handshake on; once done, the stream is encrypted.
    void handshake();
    // What TLS asks for after an operation that did not complete: nothing more now (false), or
    // the connection ended (true, reported).
    bool tlsFailed(int result);

    qintptr m_descriptor;
    qint64 m_readLimit;
    Events *m_events;
    QSocketNotifier *m_reads = nullptr;
    QSocketNotifier *m_writes = nullptr;
    // Read from the kernel and not yet taken; written and not yet taken by the kernel, from
    // m_sent on.
    QByteArray m_in;
    QByteArray m_out;
    qsizetype m_sent = 0;
    // Handed to the kernel in clear, before any encryption.
    qint64 m_handed = 0;
    bool m_paused = false;
    bool m_closeWhenSent = false;
    bool m_failed = false;
    // Set once the client takes encryption: the handshake waits for m_out to go. The TLS
    // session, and whether its handshake is done.
    const TlsContext *m_tlsContext = nullptr;
    ssl_st *m_ssl = nullptr;
    bool m_encrypted = false;
};
