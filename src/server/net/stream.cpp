#include "server/net/stream.h"

#include "server/net/tls_context.h"

#include <QSocketNotifier>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// Bytes read at a time: far more than a client may send in a second is never asked for.
constexpr qint64 kReadChunk = 64 * 1024;
// What TLS reads from the kernel at once for a bulk stream: several records a call.
constexpr qint64 kBulkBuffer = 256 * 1024;

QString lostBecause(int error)
{
    // A peer gone, however it went, closed the connection; anything else lost it.
    if (error == 0 || error == ECONNRESET || error == EPIPE)
        return QStringLiteral("closed by the client");
    return QStringLiteral("connection lost: ") + QString::fromLocal8Bit(std::strerror(error));
}

QString tlsError()
{
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    return QStringLiteral("connection lost: TLS: ") + QString::fromLatin1(text);
}

} // namespace

std::pair<QHostAddress, quint16> peerOf(qintptr descriptor)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(int(descriptor), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return {};
    QHostAddress host(reinterpret_cast<const sockaddr *>(&address));
    const quint16 port = address.ss_family == AF_INET6
        ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port)
        : ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
    return {host, port};
}

Stream::Stream(qintptr descriptor, qint64 readLimit, Events &events, QObject *parent)
    : QObject(parent),
      m_descriptor(descriptor),
      m_readLimit(std::max<qint64>(readLimit, 1)),
      m_events(&events)
{
    const int fd = int(descriptor);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    // Each message its own segment, at once: a plain client cannot tell two messages apart if
    // the kernel joins them.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    m_reads = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    connect(m_reads, &QSocketNotifier::activated, this, &Stream::readable);
}

Stream::~Stream()
{
    SSL_free(m_ssl);
    if (m_descriptor >= 0)
        ::close(int(m_descriptor));
}

void Stream::handTo(Events &events, qint64 readLimit)
{
    m_events = &events;
    m_readLimit = std::max<qint64>(readLimit, 1);
}

void Stream::carryBulk()
{
    if (!m_ssl)
        return;
    SSL_clear_mode(m_ssl, SSL_MODE_RELEASE_BUFFERS);
    SSL_set_read_ahead(m_ssl, 1);
    SSL_set_default_read_buffer_len(m_ssl, size_t(kBulkBuffer));
}

QByteArray Stream::read()
{
    if (m_in.isEmpty() && isOpen() && !m_failed && (!m_ssl || m_encrypted))
        fill();
    return std::exchange(m_in, {});
}

bool Stream::hasInput() const
{
    int waiting = 0;
    return !m_in.isEmpty() || (m_ssl && SSL_pending(m_ssl) > 0)
        || (isOpen() && ::ioctl(int(m_descriptor), FIONREAD, &waiting) == 0 && waiting > 0);
}

void Stream::readable()
{
    if (m_ssl && !m_encrypted) {
        handshake();
        return;
    }
    // What was read before and not taken yet is announced again, not added to.
    if (m_in.isEmpty())
        fill();
    if (!m_in.isEmpty())
        m_events->streamReadable();
}

qint64 Stream::readInto(QByteArray &to, qint64 most)
{
    most = std::min(most, m_readLimit);
    if (!m_in.isEmpty()) {
        const QByteArray first = m_in.first(std::min<qint64>(most, m_in.size()));
        m_in.remove(0, first.size());
        to += first;
        return first.size();
    }
    if (!isOpen() || m_failed || (m_ssl && !m_encrypted) || most <= 0)
        return 0;
    const qsizetype at = to.size();
    to.resize(at + most);
    const qint64 n = take(to.data() + at, most);
    to.resize(at + n);
    return n;
}

void Stream::fill()
{
    char buffer[kReadChunk];
    if (const qint64 n = take(buffer, std::min(m_readLimit, kReadChunk)); n > 0)
        m_in = QByteArray(buffer, n);
}

qint64 Stream::take(char *to, qint64 most)
{
    if (m_ssl) {
        const int n = SSL_read(m_ssl, to, int(std::min<qint64>(most, INT_MAX)));
        if (n <= 0)
            tlsFailed(n);
        return std::max(n, 0);
    }
    const ssize_t n = ::recv(int(m_descriptor), to, size_t(most), 0);
    if (n > 0)
        return n;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        fail(lostBecause(n == 0 ? 0 : errno));
    return 0;
}

bool Stream::tlsFailed(int result)
{
    const int error = SSL_get_error(m_ssl, result);
    switch (error) {
    case SSL_ERROR_WANT_READ:
        // A record not whole yet: the rest comes with a later read.
        return false;
    case SSL_ERROR_WANT_WRITE:
        watchWrites(true);
        return false;
    case SSL_ERROR_ZERO_RETURN:
        // The peer's close alert.
        fail(lostBecause(0));
        return true;
    case SSL_ERROR_SYSCALL: {
        const int why = errno;
        ERR_clear_error();
        fail(lostBecause(result == 0 ? 0 : why));
        return true;
    }
    default:
        fail(tlsError());
        return true;
    }
}

qint64 Stream::send(const char *data, qint64 size)
{
    if (m_ssl) {
        // Partial writes: each record as the kernel takes it, the same bytes offered again.
        const int n = SSL_write(m_ssl, data, int(std::min<qint64>(size, INT_MAX)));
        if (n > 0)
            return n;
        return tlsFailed(n) ? -1 : 0;
    }
    for (;;) {
        const ssize_t n = ::send(int(m_descriptor), data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0)
            return m_handed += n, n;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        fail(lostBecause(errno));
        return -1;
    }
}

void Stream::write(const QByteArray &bytes)
{
    if (!isOpen() || m_failed || bytes.isEmpty())
        return;
    if (m_sent < m_out.size() || (m_ssl && !m_encrypted)) {
        m_out.remove(0, std::exchange(m_sent, 0));
        m_out += bytes;
        return;
    }
    m_out = bytes;
    m_sent = 0;
    writable();
}

void Stream::write(const QList<QByteArray> &blocks)
{
    // Encrypted, the blocks go as one piece: one record per block cost one write() each, and
    // SSL_write was 57% of the server's time in a storm of 5,000 log-ins.
    if (m_ssl && isOpen() && !m_failed) {
        qsizetype size = 0;
        for (const QByteArray &block : blocks)
            size += block.size();
        QByteArray whole;
        whole.reserve(size);
        for (const QByteArray &block : blocks)
            whole += block;
        write(whole);
        return;
    }
    if (m_sent < m_out.size() || !isOpen() || m_failed) {
        for (const QByteArray &block : blocks)
            write(block);
        return;
    }
    // The first block not taken whole, and how much of it was.
    qsizetype next = 0;
    qsizetype taken = 0;
    for (;;) {
        constexpr int kMost = 64;
        iovec parts[kMost];
        int count = 0;
        size_t offered = 0;
        for (qsizetype i = next; i < blocks.size() && count < kMost; ++i) {
            const qsizetype from = i == next ? taken : 0;
            if (blocks[i].size() > from) {
                parts[count++] = {const_cast<char *>(blocks[i].constData() + from),
                                  size_t(blocks[i].size() - from)};
                offered += parts[count - 1].iov_len;
            }
        }
        if (count == 0)
            return;
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = size_t(count);
        ssize_t n = ::sendmsg(int(m_descriptor), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            fail(lostBecause(errno));
            return;
        }
        n = std::max<ssize_t>(n, 0);
        m_handed += n;
        for (qsizetype left = n; left > 0;) {
            const qsizetype step = std::min(left, blocks[next].size() - taken);
            taken += step;
            left -= step;
            if (taken == blocks[next].size())
                ++next, taken = 0;
        }
        if (size_t(n) < offered)
            break;
    }
    // The kernel is full for now: the rest is kept in one piece.
    m_out = blocks[next].mid(taken);
    for (qsizetype i = next + 1; i < blocks.size(); ++i)
        m_out += blocks[i];
    m_sent = 0;
    watchWrites(true);
}

qint64 Stream::pending() const
{
    return m_out.size() - m_sent;
}

qint64 Stream::handed() const
{
    return m_handed + (m_ssl ? qint64(BIO_number_written(SSL_get_wbio(m_ssl))) : 0);
}

void Stream::writable()
{
    if (m_ssl && !m_encrypted) {
        handshake();
        return;
    }
    while (m_sent < m_out.size()) {
        const qint64 n = send(m_out.constData() + m_sent, m_out.size() - m_sent);
        if (n < 0)
            return;
        if (n == 0)
            break;
        m_sent += n;
    }
    const bool done = m_sent == m_out.size();
    if (done) {
        m_out.clear();
        m_sent = 0;
    }
    watchWrites(!done);
    if (!done)
        return;
    if (m_tlsContext && !m_ssl)
        encrypt();
    else if (m_closeWhenSent)
        closeNow();
}

void Stream::watchWrites(bool on)
{
    if (!on) {
        // Made again the next time the kernel is full: most clients never fill it, or once, in
        // a storm of log-ins, and each notifier kept cost 0.4 KB at rest.
        if (m_writes) {
            m_writes->setEnabled(false);
            std::exchange(m_writes, nullptr)->deleteLater();
        }
        return;
    }
    if (!m_writes) {
        m_writes = new QSocketNotifier(m_descriptor, QSocketNotifier::Write, this);
        connect(m_writes, &QSocketNotifier::activated, this, [this] {
            const qint64 before = handed();
            writable();
            if (!isOpen() && m_closeWhenSent && !m_failed)
                m_events->streamClosed(QString());
            else if (handed() != before)
                m_events->streamProgressed();
        });
    }
    m_writes->setEnabled(true);
}

void Stream::pause(bool paused)
{
    m_paused = paused;
    if (m_reads)
        m_reads->setEnabled(!paused && !m_failed);
}

void Stream::fail(const QString &reason)
{
    if (m_failed)
        return;
    m_failed = true;
    if (m_reads)
        m_reads->setEnabled(false);
    watchWrites(false);
    // Told once the caller is done: whoever is writing to many streams never sees one close
    // under it.
    QMetaObject::invokeMethod(
        this,
        [this, reason] {
            if (isOpen())
                m_events->streamClosed(reason);
        },
        Qt::QueuedConnection);
}

void Stream::abort()
{
    m_out.clear();
    m_sent = 0;
    closeNow();
}

void Stream::close()
{
    m_closeWhenSent = true;
    if (pending() == 0 || m_failed)
        closeNow();
}

void Stream::closeNow()
{
    if (!isOpen())
        return;
    unwatch();
    // The peer reads that the end is meant; nothing waits for its answer.
    if (m_encrypted && !m_failed && m_closeWhenSent)
        SSL_shutdown(m_ssl);
    ::close(int(std::exchange(m_descriptor, -1)));
}

void Stream::unwatch()
{
    // Maybe called from one of them: they go once it has returned, watching nothing meanwhile.
    for (QSocketNotifier *notifier : {std::exchange(m_reads, nullptr),
                                      std::exchange(m_writes, nullptr)}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
}

void Stream::startEncryption(const TlsContext &tls)
{
    m_tlsContext = &tls;
    if (pending() == 0)
        encrypt();
}

void Stream::encrypt()
{
    // The server's marker has gone in clear; the client's handshake, which may have come
    // meanwhile, waits in the kernel.
    m_ssl = SSL_new(m_tlsContext->get());
    if (!m_ssl || SSL_set_fd(m_ssl, int(m_descriptor)) != 1) {
        fail(tlsError());
        return;
    }
    SSL_set_accept_state(m_ssl);
    handshake();
}

void Stream::handshake()
{
    const int done = SSL_do_handshake(m_ssl);
    if (done == 1) {
        m_encrypted = true;
        watchWrites(false);
        if (m_reads)
            m_reads->setEnabled(!m_paused && !m_failed);
        m_events->streamEncrypted();
        // The client may have written behind its handshake.
        if (hasInput())
            readable();
        return;
    }
    if (SSL_get_error(m_ssl, done) == SSL_ERROR_WANT_READ) {
        // Waiting for the client, however paused the stream.
        watchWrites(false);
        if (m_reads)
            m_reads->setEnabled(!m_failed);
        return;
    }
    tlsFailed(done);
}
