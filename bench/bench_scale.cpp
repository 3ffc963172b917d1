// The relay server with thousands of users, as a process of its own on 127.0.0.63, in clear
// (--no-tls; framing on), the Release build for figures. N framed users (default 1,000), spread
// 16 to an address over 127.0.5.x and up:
// (a) the log-in storm: all N log in, at most 32 waiting for the server to answer at a time
//     (or all at once); the time from the first connect until every one has the whole list
//     (N nicknames, its own included);
// (b) the server's resident memory (VmRSS) before the storm and at rest after it, per user;
// (c) a private line between two idle users, one at a time, 300 of them, each pair of users
//     of one address sending one: p50 and p99 from writing it until the other has it;
// (d) the server's CPU over 10 s at rest (/proc/<pid>/stat), as a share of one core, measured
//     before (c), while nobody talks;
// (e) all N enter the room (the time until every ENTER has reached everyone already in it),
//     then a line in the room, 20 of them one at a time from different users: p50 and p99
//     until the last of the N has it.
// The users are one epoll loop on a thread of their own, framing by hand; the main thread
// drains the server's log. No plain users: the server paces plain messages 5 ms apart, so their
// storm would measure the pacing.
//
//   build/release/bench/bench_scale [N [all]]
#include "protocol/wire.h"
#include "support/raw_server.h"
#include "support/server_process.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

const char *const kAddress = "127.0.0.63";
constexpr int kPerAddress = 16;
constexpr int kPrivateLines = 300;
constexpr int kRoomLines = 20;
constexpr qint64 kSecond = 1'000'000'000;
constexpr qint64 kStormLimit = 1200 * kSecond;

QByteArray framed(const QString &text)
{
    return wire::toCodePage(text) + wire::Terminator;
}

QString nickname(int i)
{
    return QStringLiteral("usuario%1").arg(i, 5, 10, QLatin1Char('0'));
}

// One user: what it still has to write, which nicknames it has been told of, and what of the
// room and private lines has reached it.
struct Link {
    int fd = -1;
    QByteArray out;
    QByteArray tail;
    std::vector<bool> known;
    int nicks = 0;
    int enters = 0;
    int chats = 0;
    int pms = 0;
    bool heard = false;
};

class Users {
public:
    explicit Users(int count) : m_poll(epoll_create1(0)), m_count(count)
    {
        m_clock.start();
        m_links.reserve(size_t(count));
    }
    ~Users()
    {
        for (const Link &link : m_links)
            ::close(link.fd);
        ::close(m_poll);
    }

    // A connection from that address, which writes these bytes once it can.
    void open(const char *from, const QByteArray &bytes)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from, &local.sin_addr);
        ::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(wire::ServerPort);
        inet_pton(AF_INET, kAddress, &server.sin_addr);
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server);
        Link link;
        link.fd = fd;
        link.out = bytes;
        link.known.assign(size_t(m_count), false);
        m_links.push_back(std::move(link));
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT;
        event.data.u64 = m_links.size() - 1;
        epoll_ctl(m_poll, EPOLL_CTL_ADD, fd, &event);
    }

    void write(size_t which, const QByteArray &bytes)
    {
        Link &link = m_links[which];
        link.out += bytes;
        flush(link, which);
    }

    // Handles what comes for up to this long.
    void run(int ms)
    {
        epoll_event events[512];
        const int count = epoll_wait(m_poll, events, 512, std::max(ms, 0));
        for (int i = 0; i < count; ++i) {
            const size_t which = events[i].data.u64;
            Link &link = m_links[which];
            if (events[i].events & EPOLLOUT)
                flush(link, which);
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
                read(link);
        }
    }

    Link &link(size_t which) { return m_links[which]; }
    size_t size() const { return m_links.size(); }
    qint64 nowNs() const { return m_clock.nsecsElapsed(); }
    // Users with the whole list; ENTERs and CHATs that reached anyone.
    int complete() const { return m_complete; }
    // Connections the server has not answered yet.
    int waiting() const { return int(m_links.size()) - m_heard; }
    int closed() const { return m_closed; }
    qint64 enters() const { return m_enters; }
    qint64 messages() const { return m_messages; }

private:
    void flush(Link &link, size_t which)
    {
        while (!link.out.isEmpty()) {
            const ssize_t n = ::send(link.fd, link.out.constData(), size_t(link.out.size()),
                                     MSG_NOSIGNAL);
            if (n <= 0)
                break;
            link.out.remove(0, n);
        }
        epoll_event event{};
        event.events = EPOLLIN | (link.out.isEmpty() ? 0u : uint32_t(EPOLLOUT));
        event.data.u64 = which;
        epoll_ctl(m_poll, EPOLL_CTL_MOD, link.fd, &event);
    }

    void read(Link &link)
    {
        // One read a turn: a user the server streams to must not keep the others waiting
        // (the poll is level-triggered and brings it back).
        static char buffer[1 << 18];
        if (const ssize_t n = ::recv(link.fd, buffer, sizeof buffer, 0); n > 0) {
            m_heard += link.heard ? 0 : 1;
            link.heard = true;
            link.tail.append(buffer, n);
            qsizetype start = 0;
            for (qsizetype end; (end = link.tail.indexOf('\0', start)) >= 0; start = end + 1)
                take(link, QByteArrayView(link.tail.constData() + start, end - start));
            link.tail.remove(0, start);
        } else if (n == 0) {
            // Closed by the server: out of the poll, counted.
            epoll_ctl(m_poll, EPOLL_CTL_DEL, link.fd, nullptr);
            ++m_closed;
        }
    }

    void take(Link &link, QByteArrayView message)
    {
        ++m_messages;
        // NICK, the separator (four bytes), "usuario", the number.
        if (message.startsWith("NICK\xA4")) {
            const QByteArrayView digits = message.sliced(std::min<qsizetype>(message.size(), 15));
            bool ok = false;
            const int i = digits.first(std::min<qsizetype>(digits.size(), 5)).toInt(&ok);
            if (ok && i >= 0 && i < m_count && !link.known[size_t(i)]) {
                link.known[size_t(i)] = true;
                if (++link.nicks == m_count)
                    ++m_complete;
            }
        } else if (message.startsWith("ENTER\xA4")) {
            ++link.enters;
            ++m_enters;
        } else if (message.startsWith("CHAT\xA4")) {
            ++link.chats;
        } else if (message.startsWith("PM\xA4")) {
            ++link.pms;
        }
    }

    int m_poll;
    int m_count;
    QElapsedTimer m_clock;
    std::vector<Link> m_links;
    int m_complete = 0;
    int m_heard = 0;
    int m_closed = 0;
    qint64 m_enters = 0;
    qint64 m_messages = 0;
};

double percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(share * double(values.size())))];
}

std::atomic<bool> g_done{false};

// Runs the users against the server and prints every figure; false if a phase did not end.
bool users(const ServerProcess &server, int count, int window)
{
    Users loop(count);
    const auto from = [](int i) {
        const int address = i / kPerAddress;
        return QStringLiteral("127.0.%1.%2").arg(5 + address / 250).arg(1 + address % 250)
            .toLatin1();
    };
    // (a) Every user at once.
    const double rssBefore = server.rssMiB();
    const double cpuBefore = server.cpuSeconds();
    const qint64 start = loop.nowNs();
    int opened = 0;
    const auto connectMore = [&] {
        for (; opened < count && loop.waiting() < window; ++opened)
            loop.open(from(opened).constData(),
                      wire::marker(wire::Accept)
                          + framed(wire::buildMessage(u"LOGIN", {nickname(opened)})));
    };
    connectMore();
    qint64 report = start + 10 * kSecond;
    while (loop.complete() < count && loop.closed() == 0
           && loop.nowNs() - start < kStormLimit) {
        loop.run(10);
        connectMore();
        if (loop.nowNs() >= report) {
            std::printf("    %.0f s: %d users with the whole list, %lld messages read; server "
                        "VmRSS %.0f MiB\n",
                        double(loop.nowNs() - start) / 1e9, loop.complete(),
                        qlonglong(loop.messages()), server.rssMiB());
            report += 10 * kSecond;
        }
    }
    const double storm = double(loop.nowNs() - start) / 1e9;
    if (loop.complete() < count) {
        std::printf("(a) after %.0f s only %d of %d users have the whole list; %d closed by "
                    "the server\n",
                    storm, loop.complete(), count, loop.closed());
        return false;
    }
    std::printf("(a) log-in storm: %.2f s until all %d have the whole list (%lld messages; "
                "server CPU %.1f s)\n",
                storm, count, qlonglong(loop.messages()), server.cpuSeconds() - cpuBefore);
    // (b) At rest, once the last messages have gone.
    for (const qint64 at = loop.nowNs(); loop.nowNs() - at < 2 * kSecond;)
        loop.run(50);
    const double rssRest = server.rssMiB();
    std::printf("(b) server VmRSS: %.1f MiB before, %.1f MiB at rest: %.1f KB per user\n",
                rssBefore, rssRest, (rssRest - rssBefore) * 1048.576 / count);
    // (d) CPU at rest.
    const double cpuRest = server.cpuSeconds();
    for (const qint64 at = loop.nowNs(); loop.nowNs() - at < 10 * kSecond;)
        loop.run(100);
    std::printf("(d) server CPU at rest: %.2f%% of a core over 10 s\n",
                10 * (server.cpuSeconds() - cpuRest));
    // (c) A private line, each from an even user to the next one (same address: each sender
    // one new correspondent, eight an address).
    std::vector<double> pm;
    const int pairs = std::max(1, count / 2);
    for (int line = 0; line < kPrivateLines; ++line) {
        const size_t sender = size_t(2 * (line % pairs));
        const size_t reader = std::min(sender + 1, size_t(count - 1));
        Link &to = loop.link(reader);
        const int before = to.pms;
        const qint64 at = loop.nowNs();
        loop.write(sender, framed(wire::buildMessage(
                               u"PM", {nickname(int(reader)), nickname(int(sender)),
                                       QStringLiteral("línea %1").arg(line)})));
        while (to.pms == before && loop.nowNs() - at < 10 * kSecond)
            loop.run(10);
        if (to.pms == before) {
            std::printf("(c) private line %d never came\n", line);
            return false;
        }
        pm.push_back(double(loop.nowNs() - at) / 1e6);
    }
    std::printf("(c) private line between idle users: p50 %.3f ms, p99 %.3f ms (%d lines)\n",
                percentile(pm, 0.5), percentile(pm, 0.99), kPrivateLines);
    // (e) Everyone in the room: ENTERs reach whoever is in already, N(N+1)/2 in all.
    const qint64 entering = loop.nowNs();
    const qint64 allEnters = qint64(count) * (count + 1) / 2;
    for (int i = 0; i < count; ++i)
        loop.write(size_t(i), framed(wire::buildMessage(u"ENTER", {nickname(i)})));
    report = entering + 10 * kSecond;
    while (loop.enters() < allEnters && loop.closed() == 0
           && loop.nowNs() - entering < kStormLimit) {
        loop.run(10);
        if (loop.nowNs() >= report) {
            std::printf("    %.0f s: %lld ENTERs read; server VmRSS %.0f MiB\n",
                        double(loop.nowNs() - entering) / 1e9, qlonglong(loop.enters()),
                        server.rssMiB());
            report += 10 * kSecond;
        }
    }
    if (loop.enters() < allEnters) {
        std::printf("(e) after %.0f s only %lld of %lld ENTERs came; %d users closed by the "
                    "server\n",
                    double(loop.nowNs() - entering) / 1e9, qlonglong(loop.enters()),
                    qlonglong(allEnters), loop.closed());
        return false;
    }
    std::printf("(e) all %d in the room after %.2f s\n", count,
                double(loop.nowNs() - entering) / 1e9);
    for (const qint64 at = loop.nowNs(); loop.nowNs() - at < 2 * kSecond;)
        loop.run(50);
    std::vector<double> room;
    for (int line = 0; line < kRoomLines; ++line) {
        const size_t sender = size_t((line * 97) % count);
        const qint64 at = loop.nowNs();
        loop.write(sender, framed(wire::buildMessage(
                               u"CHAT", {nickname(int(sender)),
                                         QStringLiteral("hola a todos, %1").arg(line)})));
        const auto reached = [&] {
            for (size_t i = 0; i < loop.size(); ++i)
                if (loop.link(i).chats <= line)
                    return false;
            return true;
        };
        while (!reached() && loop.nowNs() - at < 60 * kSecond)
            loop.run(5);
        if (!reached()) {
            std::printf("(e) room line %d did not reach everyone\n", line);
            return false;
        }
        room.push_back(double(loop.nowNs() - at) / 1e6);
    }
    std::printf("(e) room line until the last of %d has it: p50 %.1f ms, p99 %.1f ms "
                "(%d lines)\n",
                count, percentile(room, 0.5), percentile(room, 0.99), kRoomLines);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    prepareBenchEnvironment();
    raiseOpenFileLimit();
    // Each figure as it comes: a run at 10,000 users takes long.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(2, std::atoi(argv[1])) : 1000;
    // Connections not yet answered at a time: the server's queue of connections it has not
    // taken holds 50, and a connection past it waits for the kernel to try again (1 s, 3 s,
    // 7 s...). "all" connects everyone at once, as after a restart of the server.
    const bool all = argc > 2 && qstrcmp(argv[2], "all") == 0;
    const int window = all ? count : 32;
    ServerProcess server(QString::fromLatin1(kAddress));
    if (!server.start({QStringLiteral("--no-tls")}))
        return 1;
    std::printf("%d framed users (--no-tls), %s\n", count,
                all ? "all connecting at once" : "at most 32 connecting at a time");
    bool ok = false;
    std::thread thread([&] {
        ok = users(server, count, window);
        g_done = true;
    });
    waitFor([] { return g_done.load(); }, 7'200'000);
    thread.join();
    // The server's last words, when it was too busy to say them at once.
    if (!ok)
        waitFor([] { return false; }, 3000);
    const qsizetype closed =
        server.log().count("disconnected: ") - server.log().count("closed by the client");
    std::printf("    %lld users closed by the server; the bench's own CPU: %.1f s\n",
                qlonglong(closed), processCpuSeconds());
    // Why, once for each reason.
    QList<QByteArray> reasons;
    for (const QByteArray &line : server.log().split('\n')) {
        const qsizetype at = line.indexOf("disconnected: ");
        if (at >= 0 && !line.contains("closed by the client") && !reasons.contains(line.mid(at)))
            reasons.append(line.mid(at));
    }
    for (const QByteArray &reason : reasons)
        std::printf("      %s\n", reason.constData());
    return ok ? 0 : 1;
}
