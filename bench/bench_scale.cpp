// The relay server with thousands of users, as a process of its own on 127.0.0.63, the Release
// build for figures. N framed users (default 1,000), spread 16 to an address over 127.0.5.x and
// up, in clear (--no-tls) and encrypted (TLS on, as our client takes it: the certificate
// unchecked), one mode after the other against a fresh server each; with several N, one run
// after another, and a table of the figures of all at the end:
// (a) the log-in storm: all N log in, at most 32 waiting for the server to answer at a time
//     (or all at once); the time from the first connect until every one has the whole list
//     (N nicknames, its own included), given up after 300 s;
// (b) the server's resident memory (VmRSS) before the storm and at rest after it, per user, and
//     the most it held (VmHWM);
// (c) a private line between two idle users, one at a time, 300 of them, each pair of users
//     of one address sending one: p50 and p99 from writing it until the other has it;
// (d) the server's CPU over 10 s at rest (/proc/<pid>/stat, in ticks of 10 ms: 0.1% steps), as
//     a share of one core, measured before (c), while nobody talks: right after (b), and again
//     25 s after the storm, once the deadlines the server sets on each handshake (20 s) have
//     passed;
// (e) all N enter the room (the time until every ENTER has reached everyone already in it),
//     then a line in the room, 20 of them one at a time from different users: p50 and p99
//     until the last of the N has it.
// With "restart", N encrypted users log in as in (a) and (b), then the server is stopped and
// started again on the same state folder (its key, certificate and ticket key), twice:
// (f) the reconnection storm: every user connects again as soon as the new server listens (at
//     most 32 waiting at a time, or all at once), first offering the session of the last
//     ticket it read, then without it (a full handshake); the time until every user has read
//     its own NICK (logged in) and until every one has the whole list, the new server's CPU
//     over it, and how many handshakes resumed a session. A user the server closes meanwhile
//     (its handshake not done within the server's 20 s) connects again a second later, ten
//     times at most.
// The users are one epoll loop on a thread of their own, framing by hand, OpenSSL on the
// descriptor where encrypted; the main thread drains the server's log and restarts it. No
// plain users: the server paces plain messages 5 ms apart, so their storm would measure the
// pacing.
//
//   build/release/bench/bench_scale [N...] [clear|tls] [all] [--server PATH]
//   build/release/bench/bench_scale restart [N...] [all] [--server PATH]
//
// Figures, Release build (cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release
// -DKORVEX_TESTS=OFF -DKORVEX_BENCH=ON), 2 cores shared with other developers' builds and
// tests: noisy, wall times above all (the same 10,000-user encrypted storm took 28 s to 213 s
// as the load average went from 2 to 14; the server's CPU seconds vary far less).
//
// Before encrypted blocks went as one record (two runs at a load average of 1 to 5, low-high):
//
//       N  mode   storm s  KB/user  CPU rest %  25 s later  PM p50/p99 ms      room p50 ms
//    1000  clear  0.2-0.3     12       0.00       0.00      0.06-0.08/0.7-2.2   11-12
//    1000  tls    1.3-2.4   23-38      0.00       0.00      0.07-0.09/0.2-0.4   12-26
//    5000  clear  1.7-3.3     13       0.00       0.00      0.05/0.2-0.3        44-58
//    5000  tls    9.6-11      23       0.40       0.00      0.08-0.09/0.16      66-70
//   10000  clear  5.5-5.7     14     0.10-0.20    0.00      0.05/0.09-0.13      89-201
//   10000  tls     30-53    23-27    0.70-0.80    0.00      0.10-0.13/0.26-2.9  168-224
//
// After (`bench_scale 1000 5000 10000`, one run at a load average below 1; the 10,000 tls row
// of a second run, memory read once the heap was trimmed, in brackets):
//
//       N  mode   storm s  KB/user  CPU rest %  25 s later  PM p50/p99 ms   room p50/p99 ms
//    1000  clear    0.22     11.8      0.10       0.00      0.05/0.20        9.5/12.2
//    1000  tls      1.09     28.9      0.10       0.00      0.16/0.31       15.6/19.5
//    5000  clear    1.79     13.5      0.10       0.00      0.06/0.15       48.2/58.2
//    5000  tls      8.65     24.5      0.40       0.00      0.10/0.37       88.9/114.3
//   10000  clear    5.63     13.7      0.30       0.00      0.09/0.39       98.7/124.1
//   10000  tls     39.05     21.2      0.40       0.00      0.13/0.25      115.4/144.2
//         [tls     25.41     22.0      0.10       0.10      0.09/0.58      154.5/182.5]
// The storm's server CPU at 10,000: 5.6 s in clear, 36.5 s and 23.0 s encrypted.
//
// After connections reported through one object and announcements were spaced by what telling
// everyone took (`bench_scale 1000 5000 10000`, a quiet machine; three more 10,000 tls storms
// of the same build: 17.9 s, 19.2 s and 23.9 s, CPU 16.7-22.4 s, 17.9-20.2 KB a user):
//
//       N  mode   storm s  KB/user  peak MiB  CPU rest %  25 s later  PM p50/p99 ms  room p50/p99 ms
//    1000  clear    0.23      4.6        28      0.10       0.00      0.06/1.14       10.9/53.3
//    1000  tls      1.33     18.3        40      0.10       0.00      0.23/0.76       12.6/21.0
//    5000  clear    3.45      3.3       141      0.20       0.00      0.08/0.19       46.4/53.8
//    5000  tls      7.51     22.1       209      0.00       0.00      0.12/0.45       62.2/83.8
//   10000  clear    8.41      3.2       582      0.10       0.00      0.07/0.28       97.2/106.1
//   10000  tls     33.84     17.6       213      0.10       0.00      0.11/0.63      136.7/151.3
// The storm's server CPU at 10,000: 7.2 s in clear, 31.2 s encrypted in this run. The
// encrypted storm is bounded by this benchmark as much as by the server: one thread of it reads
// and decrypts the 100 million messages on the other core (its own CPU, 41 s over the run), and
// when it falls behind, the server's writes wait in the kernel and in OpenSSL's buffers (the
// peak) and cost more; the same build took 17.9 s to 33.8 s.
//
// `bench_scale restart 10000`, before (a load average of 11 to 15: the server had a fifth of a
// core; its CPU seconds are the better figure) and after (a test build running beside it):
//
//       N  sessions    logged in s  whole list s  server CPU s  resumed
//   10000  resumed     137-157       138-157        27.8-28.3   10000 of 10000   before
//   10000  full        151-196       152-197        33.6-34.0   0 of 10000       before
//   10000  resumed      28.35         28.56          20.18      10000 of 10000   after
//   10000  full         38.28         38.47          27.74      0 of 10000       after
//   10000  resumed      10.63         10.75          10.29      10000 of 10000   spaced
//   10000  full         24.12         24.24          22.51      0 of 10000       spaced
//
// What they show, at 10,000 encrypted users:
// - Memory: VmRSS at rest is 212-231 MiB (20-22 KB a user, VmHWM up to 329 MiB), 10-11% of
//   the service's MemoryMax of 2 GiB; the kernel's part of each socket, about 3.5 KB, charged
//   to the same cgroup, makes it 12-13%. The live heap at rest (heaptrack, 2,000 users) is 4.8
//   KB a user in clear and 19.5 KB encrypted: OpenSSL (3.0.19) holds 14.3 KB of each encrypted
//   connection, in its SSL object, one allocation of 7.6 KB; two AES-GCM contexts, 0.96 KB
//   each; the connection's session, 0.93 KB; its copy of the certificate settings, 0.54 KB;
//   the handshake's digest, 0.22 KB; some 2 KB in small pieces. The server gives back what a
//   storm freed 5 s after connections stop coming (40 MiB of 253 in one measure).
// - CPU at rest: each handshake's 20 s deadline was a single-shot timer that fired even once
//   encrypted (0.7-0.8% right after a storm); it is now killed when the handshake ends.
// - The storms: N^2 NICK messages. Before, each message of a connection's share of a turn
//   was a TLS record and a write() of its own (5,000 users: some 600,000 write() calls against
//   108,000 sends in clear; SSL_write 57% of the server's CPU); the share now goes to SSL_write
//   in one piece. An encrypted storm still costs 4 to 6 times the CPU of a clear one: the
//   kernel's write path is 37% of it (perf, 4,000 users); spacing wide turns 20 ms apart, to
//   write more log-ins to everyone at once, saved 10% of it and was left out.
#include "protocol/wire.h"
#include "support/raw_server.h"
#include "support/raw_users.h"
#include "support/server_process.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QtNumeric>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

namespace {

const char *const kAddress = "127.0.0.63";
constexpr int kPrivateLines = 300;
constexpr int kRoomLines = 20;
constexpr qint64 kSecond = 1'000'000'000;
constexpr qint64 kStormLimit = 300 * kSecond;

QString nickname(int i)
{
    return QStringLiteral("usuario%1").arg(i, 5, 10, QLatin1Char('0'));
}

// What of the list, the room and private lines has reached a user.
struct Heard {
    std::vector<bool> known;
    int nicks = 0;
    int chats = 0;
    int pms = 0;
};

// A reconnection storm's figures: until all are logged in and all have the whole list, in s,
// the new server's CPU over it in s, the handshakes, how many of them resumed, and how many
// users the server closed meanwhile.
struct Storm {
    double loggedIn = qQNaN();
    double whole = qQNaN();
    double cpu = qQNaN();
    int handshakes = 0;
    int resumed = 0;
    int again = 0;
};

// One run's figures, NaN where its phase did not end: the storm in s, KB per user at rest, CPU
// at rest in % of a core, a private line's and a room line's p50 and p99 in ms; the storms
// after a restart, with the session resumed and without.
struct Figures {
    bool tls = false;
    double storm = qQNaN();
    double kbPerUser = qQNaN();
    double cpuRest = qQNaN();
    double cpuLater = qQNaN();
    double peakMiB = qQNaN();
    double pm[2] = {qQNaN(), qQNaN()};
    double room[2] = {qQNaN(), qQNaN()};
    Storm again[2];
};

// Restarts asked by the users' thread and done by the main one, which owns the process.
struct Restarts {
    std::atomic<int> asked{0};
    std::atomic<int> done{0};
    std::atomic<bool> failed{false};
    // The last one's stop and start until the new server listened, in s.
    double stopping = 0;
    double starting = 0;
};

double percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(share * double(values.size())))];
}

// The users, what they heard, and how many are logged in and have the whole list.
struct Crowd {
    explicit Crowd(int count, bool tls)
        : heard(size_t(count), Heard{std::vector<bool>(size_t(count)), 0, 0, 0}),
          loop(kAddress, [this](size_t which, QByteArrayView message) { hear(which, message); },
               tls)
    {
    }

    void hear(size_t which, QByteArrayView message)
    {
        Heard &user = heard[which];
        const int count = int(heard.size());
        // NICK, the separator (four bytes), "usuario", the number.
        if (message.startsWith("NICK\xA4")) {
            const QByteArrayView digits = message.sliced(std::min<qsizetype>(message.size(), 15));
            bool ok = false;
            const int i = digits.first(std::min<qsizetype>(digits.size(), 5)).toInt(&ok);
            if (ok && i >= 0 && i < count && !user.known[size_t(i)]) {
                user.known[size_t(i)] = true;
                loggedIn += size_t(i) == which ? 1 : 0;
                complete += ++user.nicks == count ? 1 : 0;
            }
        } else if (message.startsWith("ENTER\xA4")) {
            ++enters;
        } else if (message.startsWith("CHAT\xA4")) {
            ++user.chats;
        } else if (message.startsWith("PM\xA4")) {
            ++user.pms;
        } else if (message.startsWith("REFUSED\xA4")) {
            const QByteArrayView reason = message.sliced(11);
            ++refusals[reason.first(std::max<qsizetype>(0, reason.indexOf('\xA4'))).toByteArray()];
        }
    }

    // Everyone's list forgotten, as after a restart of the server.
    void forget()
    {
        for (Heard &user : heard) {
            std::fill(user.known.begin(), user.known.end(), false);
            user.nicks = 0;
        }
        loggedIn = complete = 0;
    }

    QByteArray login(int i) const
    {
        const QByteArray line = framed(wire::buildMessage(u"LOGIN", {nickname(i)}));
        // Encrypted, the loop writes its own marker and the LOGIN once the handshake is done.
        return loop.isEncrypted() ? line : wire::marker(wire::Accept) + line;
    }

    std::vector<Heard> heard;
    // REFUSED messages read, by reason.
    std::map<QByteArray, int> refusals;
    int loggedIn = 0;
    int complete = 0;
    qint64 enters = 0;
    RawUsers loop;
};

// (a) and (b): every user logs in, then the server's memory at rest.
bool logIn(const ServerProcess &server, Crowd &crowd, int window, Figures &figures)
{
    RawUsers &loop = crowd.loop;
    const int count = int(crowd.heard.size());
    const double rssBefore = server.rssMiB();
    const double cpuBefore = server.cpuSeconds();
    const qint64 start = loop.nowNs();
    int opened = 0;
    const auto connectMore = [&] {
        for (; opened < count && int(loop.size()) - loop.heard() < window; ++opened)
            loop.open(RawUsers::address(5, opened).constData(), crowd.login(opened));
    };
    connectMore();
    qint64 report = start + 10 * kSecond;
    while (crowd.complete < count && loop.closed() == 0
           && loop.nowNs() - start < kStormLimit) {
        loop.run(10);
        connectMore();
        if (loop.nowNs() >= report) {
            std::printf("    %.0f s: %d users with the whole list, %lld messages read; server "
                        "VmRSS %.0f MiB\n",
                        double(loop.nowNs() - start) / 1e9, crowd.complete,
                        qlonglong(loop.messages()), server.rssMiB());
            report += 10 * kSecond;
        }
    }
    const double storm = double(loop.nowNs() - start) / 1e9;
    if (crowd.complete < count) {
        std::printf("(a) after %.0f s only %d of %d users have the whole list; %d closed by "
                    "the server\n",
                    storm, crowd.complete, count, loop.closed());
        return false;
    }
    figures.storm = storm;
    std::printf("(a) log-in storm: %.2f s until all %d have the whole list (%lld messages; "
                "server CPU %.1f s)\n",
                storm, count, qlonglong(loop.messages()), server.cpuSeconds() - cpuBefore);
    if (loop.isEncrypted())
        std::printf("    %d TLS handshakes, %d resumed; %d users hold a session to resume\n",
                    loop.handshakes(), loop.resumed(), loop.sessions());
    // (b) At rest, once the last messages have gone and the server has given back the heap the
    // storm freed (5 s after the last connection came).
    for (const qint64 at = loop.nowNs(); loop.nowNs() - at < 7 * kSecond;)
        loop.run(50);
    const double rssRest = server.rssMiB();
    figures.kbPerUser = (rssRest - rssBefore) * 1048.576 / count;
    figures.peakMiB = server.peakMiB();
    std::printf("(b) server VmRSS: %.1f MiB before, %.1f MiB at rest: %.1f KB per user; at most "
                "%.1f MiB\n",
                rssBefore, rssRest, figures.kbPerUser, figures.peakMiB);
    return true;
}

// (d), (c) and (e): CPU at rest, private lines, the room.
bool talk(const ServerProcess &server, Crowd &crowd, Figures &figures)
{
    RawUsers &loop = crowd.loop;
    const int count = int(crowd.heard.size());
    // (d) CPU at rest, right after the storm and once its handshakes' deadlines have passed.
    const qint64 rest = loop.nowNs();
    const auto cpuAtRest = [&] {
        const double cpu = server.cpuSeconds();
        for (const qint64 at = loop.nowNs(); loop.nowNs() - at < 10 * kSecond;)
            loop.run(100);
        return 10 * (server.cpuSeconds() - cpu);
    };
    figures.cpuRest = cpuAtRest();
    while (loop.nowNs() - rest < 23 * kSecond)
        loop.run(100);
    figures.cpuLater = cpuAtRest();
    std::printf("(d) server CPU at rest: %.2f%% of a core over 10 s, %.2f%% 25 s after the "
                "storm\n",
                figures.cpuRest, figures.cpuLater);
    // (c) A private line, each from an even user to the next one (same address: each sender
    // one new correspondent, eight an address).
    std::vector<double> pm;
    const int pairs = std::max(1, count / 2);
    for (int line = 0; line < kPrivateLines; ++line) {
        const size_t sender = size_t(2 * (line % pairs));
        const size_t reader = std::min(sender + 1, size_t(count - 1));
        const int &pms = crowd.heard[reader].pms;
        const int before = pms;
        const qint64 at = loop.nowNs();
        loop.write(sender, framed(wire::buildMessage(
                               u"PM", {nickname(int(reader)), nickname(int(sender)),
                                       QStringLiteral("línea %1").arg(line)})));
        while (pms == before && loop.nowNs() - at < 10 * kSecond)
            loop.run(10);
        if (pms == before) {
            std::printf("(c) private line %d never came\n", line);
            return false;
        }
        pm.push_back(double(loop.nowNs() - at) / 1e6);
    }
    figures.pm[0] = percentile(pm, 0.5);
    figures.pm[1] = percentile(pm, 0.99);
    std::printf("(c) private line between idle users: p50 %.3f ms, p99 %.3f ms (%d lines)\n",
                figures.pm[0], figures.pm[1], kPrivateLines);
    // (e) Everyone in the room: ENTERs reach whoever is in already, N(N+1)/2 in all.
    const qint64 entering = loop.nowNs();
    const qint64 allEnters = qint64(count) * (count + 1) / 2;
    for (int i = 0; i < count; ++i)
        loop.write(size_t(i), framed(wire::buildMessage(u"ENTER", {nickname(i)})));
    qint64 report = entering + 10 * kSecond;
    while (crowd.enters < allEnters && loop.closed() == 0
           && loop.nowNs() - entering < kStormLimit) {
        loop.run(10);
        if (loop.nowNs() >= report) {
            std::printf("    %.0f s: %lld ENTERs read; server VmRSS %.0f MiB\n",
                        double(loop.nowNs() - entering) / 1e9, qlonglong(crowd.enters),
                        server.rssMiB());
            report += 10 * kSecond;
        }
    }
    if (crowd.enters < allEnters) {
        std::printf("(e) after %.0f s only %lld of %lld ENTERs came; %d users closed by the "
                    "server\n",
                    double(loop.nowNs() - entering) / 1e9, qlonglong(crowd.enters),
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
            return std::all_of(crowd.heard.begin(), crowd.heard.end(),
                               [line](const Heard &user) { return user.chats > line; });
        };
        while (!reached() && loop.nowNs() - at < 60 * kSecond)
            loop.run(5);
        if (!reached()) {
            std::printf("(e) room line %d did not reach everyone\n", line);
            return false;
        }
        room.push_back(double(loop.nowNs() - at) / 1e6);
    }
    figures.room[0] = percentile(room, 0.5);
    figures.room[1] = percentile(room, 0.99);
    std::printf("(e) room line until the last of %d has it: p50 %.1f ms, p99 %.1f ms "
                "(%d lines)\n",
                count, figures.room[0], figures.room[1], kRoomLines);
    return true;
}

// (f) The server restarted under the users, who all connect again, offering their sessions
// or not.
bool reconnect(const ServerProcess &server, Crowd &crowd, Restarts &restarts, int window,
               bool resume, Storm &storm)
{
    RawUsers &loop = crowd.loop;
    const int count = int(crowd.heard.size());
    const int sessions = loop.sessions();
    // The users read their connections' end meanwhile.
    const int asked = ++restarts.asked;
    while (restarts.done < asked)
        loop.run(10);
    if (restarts.failed)
        return false;
    const qint64 start = loop.nowNs();
    const double cpuStart = server.cpuSeconds();
    const double rssStart = server.rssMiB();
    while (loop.closed() < count && loop.nowNs() - start < 5 * kSecond)
        loop.run(10);
    std::printf("(f) %s: the server stopped in %.2f s, listened again %.2f s later (%.2f s "
                "of CPU, %.0f MiB); %d of %d users saw their connection end, %d hold a "
                "session\n",
                resume ? "resuming" : "not resuming", restarts.stopping, restarts.starting,
                cpuStart, rssStart, loop.closed(), count, sessions);
    const qint64 begun = loop.nowNs();
    crowd.forget();
    loop.countAnew();
    int opened = 0;
    int again = 0;
    // When each user closed by the server connects again, and how often it has.
    std::vector<qint64> due(size_t(count), 0);
    std::vector<int> tries(size_t(count), 0);
    bool givenUp = false;
    const auto connectMore = [&] {
        // One the server closed (its handshake not done in time while the server was busy, or
        // refused) connects again a second later, as our client does, ten times at most.
        if (loop.closed() > count - opened) {
            const qint64 now = loop.nowNs();
            for (size_t i = 0; i < size_t(opened); ++i) {
                if (!loop.isClosed(i))
                    continue;
                if (due[i] == 0) {
                    due[i] = now + kSecond;
                } else if (now >= due[i]) {
                    givenUp = givenUp || ++tries[i] > 10;
                    due[i] = 0;
                    loop.reopen(i, crowd.login(int(i)), resume);
                    ++again;
                }
            }
        }
        for (; opened < count && opened - loop.heard() < window; ++opened)
            loop.reopen(size_t(opened), crowd.login(opened), resume);
    };
    connectMore();
    qint64 report = begun + 10 * kSecond;
    while (crowd.complete < count && !givenUp && loop.nowNs() - begun < kStormLimit) {
        loop.run(10);
        connectMore();
        if (qIsNaN(storm.loggedIn) && crowd.loggedIn == count)
            storm.loggedIn = double(loop.nowNs() - begun) / 1e9;
        if (loop.nowNs() >= report) {
            std::printf("    %.0f s: %d logged in, %d with the whole list, %d handshakes, "
                        "%d connected again\n",
                        double(loop.nowNs() - begun) / 1e9, crowd.loggedIn, crowd.complete,
                        loop.handshakes(), again);
            report += 10 * kSecond;
        }
    }
    const double seconds = double(loop.nowNs() - begun) / 1e9;
    if (qIsNaN(storm.loggedIn) && crowd.loggedIn == count)
        storm.loggedIn = seconds;
    storm.handshakes = loop.handshakes();
    storm.resumed = loop.resumed();
    if (crowd.complete < count) {
        std::printf("    after %.0f s only %d of %d logged in, %d with the whole list; %d "
                    "closed by the server and connected again\n",
                    seconds, crowd.loggedIn, count, crowd.complete, again);
        for (const auto &[reason, times] : crowd.refusals)
            std::printf("    REFUSED|%s %d times\n", reason.constData(), times);
        return false;
    }
    storm.whole = seconds;
    storm.cpu = server.cpuSeconds() - cpuStart;
    storm.again = again;
    std::printf("    all %d logged in after %.2f s, all with the whole list after %.2f s; "
                "server CPU %.2f s; %d handshakes, %d resumed, %d closed by the server and "
                "connected again; server VmRSS %.0f MiB\n",
                count, storm.loggedIn, storm.whole, storm.cpu, storm.handshakes,
                storm.resumed, again, server.rssMiB());
    // At rest again before the next restart: every ticket read.
    for (const qint64 at = loop.nowNs(); loop.nowNs() - at < 2 * kSecond;)
        loop.run(50);
    return true;
}

// Runs the users against the server and prints every figure as it comes, and keeps it; false
// if a phase did not end.
bool users(const ServerProcess &server, int count, int window, bool restart, Restarts &restarts,
           Figures &figures)
{
    Crowd crowd(count, figures.tls);
    if (!logIn(server, crowd, window, figures))
        return false;
    if (!restart)
        return talk(server, crowd, figures);
    return reconnect(server, crowd, restarts, window, true, figures.again[0])
        && reconnect(server, crowd, restarts, window, false, figures.again[1]);
}

// One run of N users against a fresh server: its figures as they come, then why the server
// closed users, if it did.
bool run(int count, bool all, bool restart, Figures &figures)
{
    // Connections not yet answered at a time: the server's queue of connections it has not
    // taken holds 4,096 (its backlog; net.core.somaxconn is 4,096 here), and a connection past
    // it waits for the kernel to try again (1 s, 3 s, 7 s...). "all" connects everyone at
    // once, as after a restart of the server.
    const int window = all ? count : 32;
    const double cpuBefore = processCpuSeconds();
    ServerProcess server(QString::fromLatin1(kAddress));
    const QStringList options =
        figures.tls ? QStringList() : QStringList{QStringLiteral("--no-tls")};
    if (!server.start(options))
        return false;
    std::printf("%d framed users, %s, %s\n", count,
                figures.tls ? "encrypted (TLS)" : "in clear (--no-tls)",
                all ? "all connecting at once" : "at most 32 connecting at a time");
    bool ok = false;
    std::atomic<bool> done{false};
    Restarts restarts;
    std::thread thread([&] {
        ok = users(server, count, window, restart, restarts, figures);
        done = true;
    });
    while (!done) {
        waitFor([&] { return done || restarts.asked > restarts.done; }, 7'200'000);
        if (restarts.asked > restarts.done) {
            QElapsedTimer clock;
            clock.start();
            server.stop();
            restarts.stopping = double(clock.nsecsElapsed()) / 1e9;
            clock.restart();
            restarts.failed = !server.start(options);
            restarts.starting = double(clock.nsecsElapsed()) / 1e9;
            ++restarts.done;
        }
    }
    thread.join();
    // The server's last words, when it was too busy to say them at once.
    if (!ok)
        waitFor([] { return false; }, 3000);
    const qsizetype closed =
        server.log().count("disconnected: ") - server.log().count("closed by the client");
    std::printf("    %lld users closed by the server; the bench's own CPU: %.1f s\n",
                qlonglong(closed), processCpuSeconds() - cpuBefore);
    // Why, once for each reason, and refusals (of the last server, after a restart), the
    // first ten.
    QList<QByteArray> reasons;
    for (const QByteArray &line : server.log().split('\n')) {
        qsizetype at = line.indexOf("disconnected: ");
        if (at < 0 && (at = line.indexOf("refused: ")) >= 0)
            at = line.lastIndexOf(' ', at - 1) + 1;
        if (at >= 0 && !line.contains("closed by the client") && !reasons.contains(line.mid(at))
            && reasons.size() < 10)
            reasons.append(line.mid(at));
    }
    if (const qsizetype refused = server.log().count("refused: "))
        std::printf("    %lld refusals in the server's log\n", qlonglong(refused));
    for (const QByteArray &reason : reasons)
        std::printf("      %s\n", reason.constData());
    return ok;
}

// A figure in a column of the summary, "-" for a phase that did not end.
void cell(double value, int width, int decimals)
{
    if (qIsNaN(value))
        std::printf(" %*s", width, "-");
    else
        std::printf(" %*.*f", width, decimals, value);
}

} // namespace

int main(int argc, char *argv[])
{
    prepareBenchEnvironment();
    raiseOpenFileLimit();
    // Each figure as it comes: a run at 10,000 users takes long.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    bool all = false;
    bool restart = false;
    std::vector<bool> modes;
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "all") == 0)
            all = true;
        else if (qstrcmp(argv[i], "--server") == 0 && i + 1 < argc)
            ServerProcess::setProgram(QString::fromLocal8Bit(argv[++i]));
        else if (qstrcmp(argv[i], "restart") == 0)
            restart = true;
        else if (qstrcmp(argv[i], "clear") == 0 || qstrcmp(argv[i], "tls") == 0)
            modes.push_back(qstrcmp(argv[i], "tls") == 0);
        else
            counts.push_back(std::max(2, std::atoi(argv[i])));
    }
    if (counts.empty())
        counts.push_back(1000);
    if (restart)
        modes = {true};
    else if (modes.empty())
        modes = {false, true};
    std::vector<Figures> figures;
    bool ok = true;
    for (const int count : counts) {
        for (const bool tls : modes) {
            if (!figures.empty())
                std::printf("\n");
            figures.push_back(Figures{});
            figures.back().tls = tls;
            ok = run(count, all, restart, figures.back()) && ok;
        }
    }
    std::printf("\n");
    size_t row = 0;
    if (restart) {
        std::printf("      N  resumed  logged in s  whole list s  server CPU s  handshakes  "
                    "resumed  closed\n");
        for (const int count : counts) {
            const Figures &run = figures[row++];
            for (int i = 0; i < 2; ++i) {
                std::printf("%7d  %-7s", count, i == 0 ? "yes" : "no");
                cell(run.again[i].loggedIn, 11, 2);
                cell(run.again[i].whole, 13, 2);
                cell(run.again[i].cpu, 13, 2);
                std::printf(" %11d %8d %7d\n", run.again[i].handshakes, run.again[i].resumed,
                            run.again[i].again);
            }
        }
        return ok ? 0 : 1;
    }
    std::printf("      N  mode   storm s  KB/user  peak MiB  CPU rest %%  later %%  PM p50 ms  "
                "PM p99 ms  room p50 ms  room p99 ms\n");
    for (const int count : counts) {
        for (const bool tls : modes) {
            const Figures &run = figures[row++];
            std::printf("%7d  %-5s", count, tls ? "tls" : "clear");
            cell(run.storm, 8, 2);
            cell(run.kbPerUser, 8, 1);
            cell(run.peakMiB, 9, 0);
            cell(run.cpuRest, 11, 2);
            cell(run.cpuLater, 8, 2);
            cell(run.pm[0], 10, 3);
            cell(run.pm[1], 10, 3);
            cell(run.room[0], 12, 1);
            cell(run.room[1], 12, 1);
            std::printf("\n");
        }
    }
    return ok ? 0 : 1;
}
