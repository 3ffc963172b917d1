#include "support/raw_users.h"

#include "protocol/wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <utility>

QByteArray framed(const QString &text)
{
    return wire::toCodePage(text) + wire::Terminator;
}

int connectFrom(quint32 from, quint32 server)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = from;
    ::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(wire::ServerPort);
    to.sin_addr.s_addr = server;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
    return fd;
}

RawUsers::RawUsers(const char *server, Reader reader, bool encrypted)
    : m_poll(epoll_create1(EPOLL_CLOEXEC)), m_reader(std::move(reader)), m_buffer(size_t(1) << 18)
{
    in_addr where{};
    inet_pton(AF_INET, server, &where);
    m_server = where.s_addr;
    if (encrypted) {
        // As our client: TLS 1.2 or later, the self-signed certificate taken unchecked.
        m_tls = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(m_tls, TLS1_2_VERSION);
        SSL_CTX_set_verify(m_tls, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_mode(m_tls, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE
                                    | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        // A server gone without its close alert ends the connection without an error that
        // would spoil the session kept.
        SSL_CTX_set_options(m_tls, SSL_OP_IGNORE_UNEXPECTED_EOF);
        // Each ticket read is handed to keepSession(), which keeps the last one a user had.
        SSL_CTX_set_session_cache_mode(m_tls,
                                       SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(m_tls, &RawUsers::keepSession);
        SSL_CTX_set_app_data(m_tls, this);
    }
    m_clock.start();
}

RawUsers::~RawUsers()
{
    for (Link &link : m_links) {
        dropTls(link);
        SSL_SESSION_free(link.session);
        if (link.fd >= 0)
            ::close(link.fd);
    }
    SSL_CTX_free(m_tls);
    ::close(m_poll);
}

QByteArray RawUsers::address(int base, int i)
{
    const int address = i / 16;
    return QStringLiteral("127.0.%1.%2").arg(base + address / 250).arg(1 + address % 250)
        .toLatin1();
}

size_t RawUsers::open(const char *from, const QByteArray &bytes)
{
    Link link;
    inet_pton(AF_INET, from, &link.from);
    m_links.push_back(std::move(link));
    connectLink(m_links.size() - 1, bytes, false);
    return m_links.size() - 1;
}

void RawUsers::reopen(size_t which, const QByteArray &bytes, bool resume)
{
    Link &link = m_links[which];
    if (link.fd >= 0) {
        epoll_ctl(m_poll, EPOLL_CTL_DEL, link.fd, nullptr);
        ::close(std::exchange(link.fd, -1));
    }
    dropTls(link);
    m_heard -= std::exchange(link.heard, false) ? 1 : 0;
    m_closed -= std::exchange(link.closed, false) ? 1 : 0;
    connectLink(which, bytes, resume);
}

void RawUsers::connectLink(size_t which, const QByteArray &bytes, bool resume)
{
    Link &link = m_links[which];
    // Not inherited by a server the bench starts meanwhile (a restart): it would hold every
    // user's connection open, and its own descriptors would run out.
    const int fd = connectFrom(link.from, m_server);
    link.fd = fd;
    link.tail.clear();
    if (m_tls) {
        // The marker in clear; the handshake once the server's marker has come.
        link.phase = Phase::Accepting;
        link.out = wire::marker(wire::Accept, true);
        link.later = bytes;
        link.ssl = SSL_new(m_tls);
        SSL_set_fd(link.ssl, fd);
        SSL_set_connect_state(link.ssl);
        SSL_set_app_data(link.ssl, reinterpret_cast<void *>(which));
        if (resume && link.session)
            SSL_set_session(link.ssl, link.session);
    } else {
        link.phase = Phase::Clear;
        link.out = bytes;
    }
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT;
    event.data.u64 = which;
    epoll_ctl(m_poll, EPOLL_CTL_ADD, fd, &event);
}

void RawUsers::dropTls(Link &link)
{
    if (!link.ssl)
        return;
    // OpenSSL takes a session whose connection is freed unclosed for a broken one and marks
    // it not to be resumed: the connection is taken as closed both ways.
    SSL_set_shutdown(link.ssl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
    SSL_free(std::exchange(link.ssl, nullptr));
}

int RawUsers::keepSession(ssl_st *ssl, ssl_session_st *session)
{
    auto *self = static_cast<RawUsers *>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    Link &link = self->m_links[reinterpret_cast<size_t>(SSL_get_app_data(ssl))];
    SSL_SESSION_free(std::exchange(link.session, session));
    return 1;
}

int RawUsers::sessions() const
{
    return int(std::count_if(m_links.begin(), m_links.end(), [](const Link &link) {
        return link.session && SSL_SESSION_is_resumable(link.session);
    }));
}

void RawUsers::write(size_t which, const QByteArray &bytes)
{
    Link &link = m_links[which];
    if (link.phase == Phase::Accepting || link.phase == Phase::Handshaking) {
        link.later += bytes;
        return;
    }
    link.out += bytes;
    flush(which);
}

void RawUsers::close(size_t which)
{
    Link &link = m_links[which];
    if (link.fd < 0)
        return;
    if (link.phase == Phase::Encrypted && !link.closed)
        SSL_shutdown(link.ssl);
    dropTls(link);
    epoll_ctl(m_poll, EPOLL_CTL_DEL, link.fd, nullptr);
    ::close(std::exchange(link.fd, -1));
    m_heard -= std::exchange(link.heard, false) ? 1 : 0;
}

void RawUsers::run(int ms)
{
    epoll_event events[512];
    const int count = epoll_wait(m_poll, events, 512, std::max(ms, 0));
    for (int i = 0; i < count; ++i) {
        const size_t which = events[i].data.u64;
        const Link &link = m_links[which];
        if (link.fd < 0 || link.closed)
            continue;
        if (link.phase == Phase::Handshaking) {
            handshake(which);
            continue;
        }
        if (events[i].events & EPOLLOUT)
            flush(which);
        if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
            read(which);
    }
}

void RawUsers::watch(size_t which, bool writes)
{
    epoll_event event{};
    event.events = EPOLLIN | (writes ? uint32_t(EPOLLOUT) : 0u);
    event.data.u64 = which;
    epoll_ctl(m_poll, EPOLL_CTL_MOD, m_links[which].fd, &event);
}

void RawUsers::flush(size_t which)
{
    Link &link = m_links[which];
    if (link.closed || link.fd < 0)
        return;
    bool blocked = false;
    while (!link.out.isEmpty() && !blocked) {
        if (link.phase == Phase::Encrypted) {
            const int n = SSL_write(link.ssl, link.out.constData(), int(link.out.size()));
            if (n > 0) {
                link.out.remove(0, n);
                continue;
            }
            const int error = SSL_get_error(link.ssl, n);
            if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) {
                lost(which);
                return;
            }
            blocked = true;
        } else {
            const ssize_t n =
                ::send(link.fd, link.out.constData(), size_t(link.out.size()), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            link.out.remove(0, n);
        }
    }
    watch(which, !link.out.isEmpty());
}

void RawUsers::handshake(size_t which)
{
    Link &link = m_links[which];
    const int done = SSL_do_handshake(link.ssl);
    if (done == 1) {
        link.phase = Phase::Encrypted;
        ++m_handshakes;
        m_resumed += SSL_session_reused(link.ssl) ? 1 : 0;
        link.out = std::exchange(link.later, {});
        flush(which);
        return;
    }
    const int error = SSL_get_error(link.ssl, done);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
        watch(which, error == SSL_ERROR_WANT_WRITE);
    else
        lost(which);
}

void RawUsers::read(size_t which)
{
    // One read a turn: a user the server streams to must not keep the others waiting (the poll
    // is level-triggered and brings it back).
    Link &link = m_links[which];
    if (link.phase == Phase::Encrypted) {
        // As many records as one read in clear would take (a record is at most 16 KiB), each
        // read whole: nothing decrypted waits unseen by the poll.
        qsizetype got = 0;
        bool ended = false;
        while (got + 16 * 1024 < qsizetype(m_buffer.size())) {
            const int n =
                SSL_read(link.ssl, m_buffer.data() + got, int(qsizetype(m_buffer.size()) - got));
            if (n > 0) {
                got += n;
                continue;
            }
            const int error = SSL_get_error(link.ssl, n);
            ended = error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
            break;
        }
        take(which, m_buffer.data(), got);
        if (ended)
            lost(which);
        return;
    }
    const ssize_t n = ::recv(link.fd, m_buffer.data(), m_buffer.size(), 0);
    if (n > 0) {
        take(which, m_buffer.data(), n);
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        lost(which);
    }
}

void RawUsers::take(size_t which, const char *data, qsizetype size)
{
    if (size <= 0)
        return;
    Link &link = m_links[which];
    m_heard += link.heard ? 0 : 1;
    link.heard = true;
    m_bytes += size;
    if (link.phase == Phase::Accepting) {
        // The offer, then the server's marker, both in clear: the handshake starts behind it.
        link.tail.append(data, size);
        const QByteArray accepted = wire::marker(wire::Accepted, true);
        if (!link.tail.contains(accepted))
            return;
        link.tail.clear();
        link.phase = Phase::Handshaking;
        handshake(which);
        return;
    }
    // Read where it came unless a message was cut before: thousands of users read a lot.
    QByteArrayView bytes(data, size);
    if (!link.tail.isEmpty())
        bytes = link.tail.append(data, size);
    qsizetype start = 0;
    for (qsizetype end; (end = bytes.indexOf('\0', start)) >= 0; start = end + 1) {
        ++m_messages;
        m_reader(which, bytes.sliced(start, end - start));
    }
    if (link.tail.isEmpty())
        link.tail = bytes.sliced(start).toByteArray();
    else
        link.tail.remove(0, start);
}

void RawUsers::lost(size_t which)
{
    Link &link = m_links[which];
    if (link.closed)
        return;
    link.closed = true;
    epoll_ctl(m_poll, EPOLL_CTL_DEL, link.fd, nullptr);
    m_heard -= std::exchange(link.heard, false) ? 1 : 0;
    ++m_closed;
}
