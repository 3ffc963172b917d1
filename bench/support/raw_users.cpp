#include "support/raw_users.h"

#include "protocol/wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

QByteArray framed(const QString &text)
{
    return wire::toCodePage(text) + wire::Terminator;
}

RawUsers::RawUsers(const char *server, Reader reader)
    : m_poll(epoll_create1(0)), m_reader(std::move(reader)), m_buffer(size_t(1) << 18)
{
    in_addr where{};
    inet_pton(AF_INET, server, &where);
    m_server = where.s_addr;
    m_clock.start();
}

RawUsers::~RawUsers()
{
    for (const Link &link : m_links)
        if (link.fd >= 0)
            ::close(link.fd);
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
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(wire::ServerPort);
    server.sin_addr.s_addr = m_server;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server);
    Link link;
    link.fd = fd;
    link.out = bytes;
    m_links.push_back(std::move(link));
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT;
    event.data.u64 = m_links.size() - 1;
    epoll_ctl(m_poll, EPOLL_CTL_ADD, fd, &event);
    return m_links.size() - 1;
}

void RawUsers::write(size_t which, const QByteArray &bytes)
{
    m_links[which].out += bytes;
    flush(which);
}

void RawUsers::close(size_t which)
{
    epoll_ctl(m_poll, EPOLL_CTL_DEL, m_links[which].fd, nullptr);
    ::close(m_links[which].fd);
    m_links[which].fd = -1;
}

void RawUsers::run(int ms)
{
    epoll_event events[512];
    const int count = epoll_wait(m_poll, events, 512, std::max(ms, 0));
    for (int i = 0; i < count; ++i) {
        const size_t which = events[i].data.u64;
        if (m_links[which].fd < 0)
            continue;
        if (events[i].events & EPOLLOUT)
            flush(which);
        if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
            read(which);
    }
}

void RawUsers::flush(size_t which)
{
    Link &link = m_links[which];
    while (!link.out.isEmpty()) {
        const ssize_t n =
            ::send(link.fd, link.out.constData(), size_t(link.out.size()), MSG_NOSIGNAL);
        if (n <= 0)
            break;
        link.out.remove(0, n);
    }
    epoll_event event{};
    event.events = EPOLLIN | (link.out.isEmpty() ? 0u : uint32_t(EPOLLOUT));
    event.data.u64 = which;
    epoll_ctl(m_poll, EPOLL_CTL_MOD, link.fd, &event);
}

void RawUsers::read(size_t which)
{
    // One read a turn: a user the server streams to must not keep the others waiting (the poll
    // is level-triggered and brings it back).
    Link &link = m_links[which];
    const ssize_t n = ::recv(link.fd, m_buffer.data(), m_buffer.size(), 0);
    if (n > 0) {
        m_heard += link.heard ? 0 : 1;
        link.heard = true;
        m_bytes += n;
        // Read where it came unless a message was cut before: thousands of users read a lot.
        QByteArrayView bytes(m_buffer.data(), n);
        if (!link.tail.isEmpty())
            bytes = link.tail.append(bytes.data(), n);
        qsizetype start = 0;
        for (qsizetype end; (end = bytes.indexOf('\0', start)) >= 0; start = end + 1) {
            ++m_messages;
            m_reader(which, bytes.sliced(start, end - start));
        }
        if (link.tail.isEmpty())
            link.tail = bytes.sliced(start).toByteArray();
        else
            link.tail.remove(0, start);
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        // Closed or reset by the server: out of the poll, counted.
        epoll_ctl(m_poll, EPOLL_CTL_DEL, link.fd, nullptr);
        ++m_closed;
    }
}
