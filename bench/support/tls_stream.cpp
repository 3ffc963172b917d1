#include "support/tls_stream.h"

#include "support/raw_transfers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kBlock = 256 * 1024;

// A key and a certificate signed by itself, as the server makes its own (EC P-256).
SSL_CTX *serverContext(const char *suites)
{
    SSL_CTX *context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION);
    SSL_CTX_set_ciphersuites(context, suites);
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *certificate = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("bench"), -1, -1, 0);
    X509_set_issuer_name(certificate, X509_get_subject_name(certificate));
    X509_sign(certificate, key, EVP_sha256());
    SSL_CTX_use_certificate(context, certificate);
    SSL_CTX_use_PrivateKey(context, key);
    X509_free(certificate);
    EVP_PKEY_free(key);
    return context;
}

sockaddr_in addressOf(const char *address, int port)
{
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(quint16(port));
    inet_pton(AF_INET, address, &where.sin_addr);
    return where;
}

} // namespace

int tlsSink(const char *address, const char *suites, qint64 size, quint64 seed)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where = addressOf(address, 0);
    socklen_t length = sizeof where;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0
        || ::listen(listener, 1) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&where), &length) != 0)
        return 1;
    std::printf("port %d\n", ntohs(where.sin_port));
    std::fflush(stdout);
    const int fd = ::accept(listener, nullptr, nullptr);
    SSL_CTX *context = serverContext(suites);
    SSL *ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1)
        return 1;
    std::vector<char> buffer(kBlock);
    std::vector<char> expected(kBlock);
    bool same = true;
    qint64 at = 0;
    while (at < size) {
        const int n = SSL_read(ssl, buffer.data(), kBlock);
        if (n <= 0)
            break;
        fileBytes(seed, at, expected.data(), n);
        same = same && std::memcmp(expected.data(), buffer.data(), size_t(n)) == 0;
        at += n;
    }
    std::printf("end %lld %s %s\n", monotonicNs(), same && at == size ? "ok" : "bad",
                SSL_get_cipher_name(ssl));
    std::fflush(stdout);
    SSL_free(ssl);
    SSL_CTX_free(context);
    ::close(fd);
    ::close(listener);
    return 0;
}

int tlsSource(const char *address, int port, const char *suites, qint64 size, quint64 seed)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const sockaddr_in where = addressOf(address, port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&where), sizeof where) != 0)
        return 1;
    SSL_CTX *context = clientTlsContext(suites);
    SSL *ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) != 1)
        return 1;
    std::printf("start %lld\n", monotonicNs());
    std::fflush(stdout);
    std::vector<char> block(kBlock);
    for (qint64 at = 0; at < size;) {
        const int n = int(std::min<qint64>(kBlock, size - at));
        fileBytes(seed, at, block.data(), n);
        for (int done = 0; done < n;) {
            const int written = SSL_write(ssl, block.data() + done, n - done);
            if (written <= 0)
                return 1;
            done += written;
        }
        at += n;
    }
    // Closed once the sink has all: a close with its tickets unread would reset the connection,
    // and the sink lose what its kernel had not handed it yet.
    SSL_shutdown(ssl);
    char rest[4096];
    while (SSL_read(ssl, rest, sizeof rest) > 0) {
    }
    SSL_free(ssl);
    SSL_CTX_free(context);
    ::close(fd);
    return 0;
}
