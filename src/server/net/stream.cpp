#include "server/net/stream.h"

#include <QSocketNotifier>
#include <QSslConfiguration>
#include <QSslSocket>

#include <cerrno>
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

QString lostBecause(int error)
{
    // A peer gone, however it went, closed the connection; anything else lost it.
    if (error == 0 || error == ECONNRESET || error == EPIPE)
        return QStringLiteral("closed by the client");
    return QStringLiteral("connection lost: ") + QString::fromLocal8Bit(std::strerror(error));
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

Stream::Stream(qintptr descriptor, qint64 readLimit, QObject *parent)
    : QObject(parent), m_descriptor(descriptor), m_readLimit(std::max<qint64>(readLimit, 1))
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
    if (!m_ssl && m_descriptor >= 0)
        ::close(int(m_descriptor));
}

QByteArray Stream::read()
{
    if (m_ssl)
        return m_ssl->read(m_readLimit);
    if (m_in.isEmpty() && isOpen() && !m_failed)
        fill();
    return std::exchange(m_in, {});
}

bool Stream::hasInput() const
{
    if (m_ssl)
        return m_ssl->bytesAvailable() > 0;
    int waiting = 0;
    return !m_in.isEmpty()
        || (isOpen() && ::ioctl(int(m_descriptor), FIONREAD, &waiting) == 0 && waiting > 0);
}

void Stream::readable()
{
    // What was read before and not taken yet is announced again, not added to.
    if (m_in.isEmpty())
        fill();
    if (!m_in.isEmpty())
        Q_EMIT readyRead();
}

void Stream::fill()
{
    char buffer[kReadChunk];
    const ssize_t n =
        ::recv(int(m_descriptor), buffer, size_t(std::min(m_readLimit, kReadChunk)), 0);
    if (n > 0)
        m_in = QByteArray(buffer, n);
    else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        fail(lostBecause(n == 0 ? 0 : errno));
}

void Stream::write(const QByteArray &bytes)
{
    if (m_ssl) {
        m_ssl->write(bytes);
        return;
    }
    if (!isOpen() || m_failed || bytes.isEmpty())
        return;
    if (m_sent < m_out.size()) {
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
    if (m_ssl || m_sent < m_out.size() || !isOpen() || m_failed) {
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
    if (m_ssl)
        return m_ssl->bytesToWrite() + m_ssl->encryptedBytesToWrite();
    return m_out.size() - m_sent;
}

void Stream::writable()
{
    while (m_sent < m_out.size()) {
        const ssize_t n = ::send(int(m_descriptor), m_out.constData() + m_sent,
                                 size_t(m_out.size() - m_sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n < 0) {
            fail(lostBecause(errno));
            return;
        }
        m_sent += n;
        m_handed += n;
    }
    const bool done = m_sent == m_out.size();
    if (done) {
        m_out.clear();
        m_sent = 0;
    }
    watchWrites(!done);
    if (!done)
        return;
    if (m_tls)
        encrypt();
    else if (m_closeWhenSent)
        closeNow();
}

void Stream::watchWrites(bool on)
{
    if (!on && !m_writes)
        return;
    if (!m_writes) {
        m_writes = new QSocketNotifier(m_descriptor, QSocketNotifier::Write, this);
        connect(m_writes, &QSocketNotifier::activated, this, [this] {
            const qint64 before = m_handed;
            writable();
            if (!isOpen() && m_closeWhenSent && !m_failed)
                Q_EMIT closed(QString());
            else if (m_handed != before)
                Q_EMIT progressed();
        });
    }
    m_writes->setEnabled(on);
}

void Stream::pause(bool paused)
{
    m_paused = paused;
    if (m_ssl)
        m_ssl->setReadBufferSize(paused ? 1 : m_readLimit);
    else if (m_reads)
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
                Q_EMIT closed(reason);
        },
        Qt::QueuedConnection);
}

void Stream::abort()
{
    if (m_ssl) {
        m_ssl->disconnect(this);
        m_ssl->abort();
        m_descriptor = -1;
        return;
    }
    m_out.clear();
    m_sent = 0;
    closeNow();
}

void Stream::close()
{
    if (m_ssl) {
        m_ssl->disconnectFromHost();
        if (m_ssl->state() == QAbstractSocket::UnconnectedState)
            m_descriptor = -1;
        return;
    }
    m_closeWhenSent = true;
    if (pending() == 0 || m_failed)
        closeNow();
}

void Stream::closeNow()
{
    if (!isOpen())
        return;
    unwatch();
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

void Stream::startEncryption(const QSslConfiguration &tls)
{
    m_tls = &tls;
    if (pending() == 0)
        encrypt();
}

void Stream::encrypt()
{
    // The server's marker has gone in clear; from here Qt's socket reads and writes, and what
    // came meanwhile (the client's handshake) waits for it in the kernel.
    const QSslConfiguration &tls = *std::exchange(m_tls, nullptr);
    unwatch();
    m_ssl = new QSslSocket(this);
    if (!m_ssl->setSocketDescriptor(m_descriptor)) {
        // Still this stream's descriptor: reported, then closed with it.
        const QString why = m_ssl->errorString();
        delete std::exchange(m_ssl, nullptr);
        fail(QStringLiteral("connection lost: ") + why);
        return;
    }
    m_ssl->setReadBufferSize(m_paused ? 1 : m_readLimit);
    // Once encryption starts, what reaches the kernel is counted encrypted; the plain bytes
    // reported then are only what was encrypted.
    // Everything it writes is encrypted: what the kernel takes is counted encrypted.
    connect(m_ssl, &QSslSocket::bytesWritten, this, &Stream::progressed);
    connect(m_ssl, &QSslSocket::encryptedBytesWritten, this, [this](qint64 bytes) {
        m_handed += bytes;
        Q_EMIT progressed();
    });
    connect(m_ssl, &QSslSocket::readyRead, this, &Stream::readyRead);
    connect(m_ssl, &QSslSocket::encrypted, this, &Stream::encrypted);
    connect(m_ssl, &QSslSocket::disconnected, this, [this] {
        m_descriptor = -1;
        Q_EMIT closed(m_ssl->error() == QAbstractSocket::RemoteHostClosedError
                          ? QStringLiteral("closed by the client")
                          : QStringLiteral("connection lost: ") + m_ssl->errorString());
    });
    m_ssl->setSslConfiguration(tls);
    m_ssl->startServerEncryption();
}
