#include "server/net/tls_context.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

namespace {

QString lastError(const char *what)
{
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    return QString::fromLatin1(what) + QStringLiteral(": ") + QString::fromLatin1(text);
}

} // namespace

std::variant<std::unique_ptr<TlsContext>, QString>
TlsContext::make(const QByteArray &keyPem, const QByteArray &certificatePem,
                 const QByteArray &ticketKey)
{
    std::unique_ptr<TlsContext> made(new TlsContext(SSL_CTX_new(TLS_server_method())));
    SSL_CTX *context = made->m_context;
    if (!context)
        return lastError("cannot make a TLS context");
    std::unique_ptr<BIO, decltype(&BIO_free)> key(
        BIO_new_mem_buf(keyPem.constData(), int(keyPem.size())), BIO_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> certificate(
        BIO_new_mem_buf(certificatePem.constData(), int(certificatePem.size())), BIO_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> privateKey(
        PEM_read_bio_PrivateKey(key.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> x509(
        PEM_read_bio_X509(certificate.get(), nullptr, nullptr, nullptr), X509_free);
    if (!privateKey || !x509 || SSL_CTX_use_certificate(context, x509.get()) != 1
        || SSL_CTX_use_PrivateKey(context, privateKey.get()) != 1
        || SSL_CTX_check_private_key(context) != 1)
        return lastError("cannot use the TLS key and certificate");
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // A client gone without its close alert (a crash, a pulled cable) closed the connection,
    // as one in clear does: every message is framed, so nothing cut short is taken as whole.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    // A quiet connection keeps no read or write buffer.
    SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE
                                  | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Sessions live in the clients' tickets, not here; one ticket a connection is enough.
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(context, 1);
    // Sealed with the server's own key, which a restart keeps.
    char *keys = const_cast<char *>(ticketKey.constData());
    if (ticketKey.size() != 80)
        return QStringLiteral("the TLS ticket key is not of 80 bytes");
    if (SSL_CTX_set_tlsext_ticket_keys(context, keys, 80) != 1)
        return lastError("cannot use the TLS ticket key");
    return made;
}

TlsContext::~TlsContext()
{
    SSL_CTX_free(m_context);
}
