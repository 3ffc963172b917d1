#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <variant>

struct ssl_ctx_st;

// The server's side of TLS, shared by every encrypted stream: its identity, TLS 1.2 or later,
// buffers released while a connection is quiet, and session tickets sealed with a key the server
// keeps, so that a client coming back (after a lost connection, or a restart of the server)
// resumes its session without a new key exchange. No session is held in memory: the client
// holds it, sealed, in its ticket.
class TlsContext {
public:
    // From the identity's key and certificate (PEM) and the 80 bytes of the ticket key; on
    // failure, why.
    static std::variant<std::unique_ptr<TlsContext>, QString>
    make(const QByteArray &keyPem, const QByteArray &certificatePem, const QByteArray &ticketKey);
    ~TlsContext();
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;

    ssl_ctx_st *get() const { return m_context; }

private:
    explicit TlsContext(ssl_ctx_st *context) : m_context(context) {}

    ssl_ctx_st *m_context;
};
