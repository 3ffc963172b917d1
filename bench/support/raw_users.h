#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QString>

#include <functional>
#include <vector>

struct ssl_ctx_st;
struct ssl_st;
struct ssl_session_st;

// A message as a framed user writes it: in the code page, with its terminator.
QByteArray framed(const QString &text);
// A non-blocking TCP connection to the server's port from that local address (both in network
// order), without delay, connecting; its descriptor, not inherited by programs started later.
int connectFrom(quint32 from, quint32 server);

// Thousands of framed users of one server, written with plain sockets: one epoll loop, meant
// to run on a thread of its own. Each benchmark counts what it wants of the messages read.
// Encrypted users take TLS as our client does: ACCEPT|frame|tls, the server's ACCEPTED in
// clear, then a handshake on the same stream (OpenSSL on the descriptor, non-blocking, the
// certificate not checked, buffers released while quiet so that the bench stays small). Each
// keeps the session of the last ticket it read, to resume it on its next connection.
class RawUsers {
public:
    // Every message a user reads, without its terminator; which is open()'s number. It must
    // not open connections: the message lies in the user's buffer.
    using Reader = std::function<void(size_t which, QByteArrayView message)>;

    RawUsers(const char *server, Reader reader, bool encrypted = false);
    ~RawUsers();
    RawUsers(const RawUsers &) = delete;
    RawUsers &operator=(const RawUsers &) = delete;

    // The i-th user's address: 16 to an address, from 127.0.<base>.1 on.
    static QByteArray address(int base, int i);

    // A connection from that address, which writes these bytes once it can (encrypted: its
    // marker first, these once the handshake is done); its number.
    size_t open(const char *from, const QByteArray &bytes);
    // The same user on a new connection from the same address, as open() does; encrypted,
    // it offers the session it kept when `resume` is set and it has one.
    void reopen(size_t which, const QByteArray &bytes, bool resume);
    void write(size_t which, const QByteArray &bytes);
    void close(size_t which);
    // Handles what comes for up to this long.
    void run(int ms);

    bool isEncrypted() const { return m_tls != nullptr; }
    size_t size() const { return m_links.size(); }
    qint64 nowNs() const { return m_clock.nsecsElapsed(); }
    // Connections open now that the server has answered, and those it has closed.
    int heard() const { return m_heard; }
    int closed() const { return m_closed; }
    bool isClosed(size_t which) const { return m_links[which].closed; }
    qint64 messages() const { return m_messages; }
    qint64 bytesRead() const { return m_bytes; }
    // Handshakes done, and of them those that resumed a session, since the last call to
    // countAnew(); users holding a session to resume now.
    int handshakes() const { return m_handshakes; }
    int resumed() const { return m_resumed; }
    int sessions() const;
    void countAnew() { m_handshakes = m_resumed = 0; }

private:
    enum class Phase { Clear, Accepting, Handshaking, Encrypted };
    struct Link {
        int fd = -1;
        quint32 from = 0;
        Phase phase = Phase::Clear;
        QByteArray out;
        QByteArray tail;
        // Encrypted: what waits for the handshake, the TLS connection, the session kept.
        QByteArray later;
        ssl_st *ssl = nullptr;
        ssl_session_st *session = nullptr;
        bool heard = false;
        bool closed = false;
    };

    void connectLink(size_t which, const QByteArray &bytes, bool resume);
    void watch(size_t which, bool writes);
    void flush(size_t which);
    void read(size_t which);
    void handshake(size_t which);
    // The bytes read, split into messages for the reader.
    void take(size_t which, const char *data, qsizetype size);
    // Closed or reset by the server: out of the poll, counted.
    void lost(size_t which);
    void dropTls(Link &link);
    static int keepSession(ssl_st *ssl, ssl_session_st *session);

    int m_poll;
    quint32 m_server = 0;
    Reader m_reader;
    ssl_ctx_st *m_tls = nullptr;
    QElapsedTimer m_clock;
    std::vector<Link> m_links;
    std::vector<char> m_buffer;
    int m_heard = 0;
    int m_closed = 0;
    int m_handshakes = 0;
    int m_resumed = 0;
    qint64 m_messages = 0;
    qint64 m_bytes = 0;
};
