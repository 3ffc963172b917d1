// The relay server with thousands of users, as a process of its own on 127.0.0.63, in clear
// (--no-tls; framing on), the Release build for figures. N framed users (default 1,000), spread
// 16 to an address over 127.0.5.x and up; with several N, one run after another, each against a
// fresh server, and a table of the figures of all at the end:
// (a) the log-in storm: all N log in, at most 32 waiting for the server to answer at a time
//     (or all at once); the time from the first connect until every one has the whole list
//     (N nicknames, its own included), given up after 300 s;
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
//   build/release/bench/bench_scale [N...] [all]
#include "protocol/wire.h"
#include "support/raw_server.h"
#include "support/raw_users.h"
#include "support/server_process.h"

#include <QCoreApplication>
#include <QtNumeric>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
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

// One run's figures, NaN where its phase did not end: the storm in s, KB per user at rest, CPU
// at rest in % of a core, a private line's and a room line's p50 and p99 in ms.
struct Figures {
    double storm = qQNaN();
    double kbPerUser = qQNaN();
    double cpuRest = qQNaN();
    double pm[2] = {qQNaN(), qQNaN()};
    double room[2] = {qQNaN(), qQNaN()};
};

double percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(share * double(values.size())))];
}

// Runs the users against the server and prints every figure as it comes, and keeps it; false
// if a phase did not end.
bool users(const ServerProcess &server, int count, int window, Figures &figures)
{
    std::vector<Heard> heard(size_t(count), Heard{std::vector<bool>(size_t(count)), 0, 0, 0});
    int complete = 0;
    qint64 enters = 0;
    RawUsers loop(kAddress, [&](size_t which, QByteArrayView message) {
        Heard &user = heard[which];
        // NICK, the separator (four bytes), "usuario", the number.
        if (message.startsWith("NICK\xA4")) {
            const QByteArrayView digits = message.sliced(std::min<qsizetype>(message.size(), 15));
            bool ok = false;
            const int i = digits.first(std::min<qsizetype>(digits.size(), 5)).toInt(&ok);
            if (ok && i >= 0 && i < count && !user.known[size_t(i)]) {
                user.known[size_t(i)] = true;
                complete += ++user.nicks == count ? 1 : 0;
            }
        } else if (message.startsWith("ENTER\xA4")) {
            ++enters;
        } else if (message.startsWith("CHAT\xA4")) {
            ++user.chats;
        } else if (message.startsWith("PM\xA4")) {
            ++user.pms;
        }
    });
    // (a) Every user at once.
    const double rssBefore = server.rssMiB();
    const double cpuBefore = server.cpuSeconds();
    const qint64 start = loop.nowNs();
    int opened = 0;
    const auto connectMore = [&] {
        for (; opened < count && int(loop.size()) - loop.heard() < window; ++opened)
            loop.open(RawUsers::address(5, opened).constData(),
                      wire::marker(wire::Accept)
                          + framed(wire::buildMessage(u"LOGIN", {nickname(opened)})));
    };
    connectMore();
    qint64 report = start + 10 * kSecond;
    while (complete < count && loop.closed() == 0
           && loop.nowNs() - start < kStormLimit) {
        loop.run(10);
        connectMore();
        if (loop.nowNs() >= report) {
            std::printf("    %.0f s: %d users with the whole list, %lld messages read; server "
                        "VmRSS %.0f MiB\n",
                        double(loop.nowNs() - start) / 1e9, complete,
                        qlonglong(loop.messages()), server.rssMiB());
            report += 10 * kSecond;
        }
    }
    const double storm = double(loop.nowNs() - start) / 1e9;
    if (complete < count) {
        std::printf("(a) after %.0f s only %d of %d users have the whole list; %d closed by "
                    "the server\n",
                    storm, complete, count, loop.closed());
        return false;
    }
    figures.storm = storm;
    std::printf("(a) log-in storm: %.2f s until all %d have the whole list (%lld messages; "
                "server CPU %.1f s)\n",
                storm, count, qlonglong(loop.messages()), server.cpuSeconds() - cpuBefore);
    // (b) At rest, once the last messages have gone.
    for (const qint64 at = loop.nowNs(); loop.nowNs() - at < 2 * kSecond;)
        loop.run(50);
    const double rssRest = server.rssMiB();
    figures.kbPerUser = (rssRest - rssBefore) * 1048.576 / count;
    std::printf("(b) server VmRSS: %.1f MiB before, %.1f MiB at rest: %.1f KB per user\n",
                rssBefore, rssRest, figures.kbPerUser);
    // (d) CPU at rest.
    const double cpuRest = server.cpuSeconds();
    for (const qint64 at = loop.nowNs(); loop.nowNs() - at < 10 * kSecond;)
        loop.run(100);
    figures.cpuRest = 10 * (server.cpuSeconds() - cpuRest);
    std::printf("(d) server CPU at rest: %.2f%% of a core over 10 s\n", figures.cpuRest);
    // (c) A private line, each from an even user to the next one (same address: each sender
    // one new correspondent, eight an address).
    std::vector<double> pm;
    const int pairs = std::max(1, count / 2);
    for (int line = 0; line < kPrivateLines; ++line) {
        const size_t sender = size_t(2 * (line % pairs));
        const size_t reader = std::min(sender + 1, size_t(count - 1));
        const int &pms = heard[reader].pms;
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
    report = entering + 10 * kSecond;
    while (enters < allEnters && loop.closed() == 0
           && loop.nowNs() - entering < kStormLimit) {
        loop.run(10);
        if (loop.nowNs() >= report) {
            std::printf("    %.0f s: %lld ENTERs read; server VmRSS %.0f MiB\n",
                        double(loop.nowNs() - entering) / 1e9, qlonglong(enters),
                        server.rssMiB());
            report += 10 * kSecond;
        }
    }
    if (enters < allEnters) {
        std::printf("(e) after %.0f s only %lld of %lld ENTERs came; %d users closed by the "
                    "server\n",
                    double(loop.nowNs() - entering) / 1e9, qlonglong(enters),
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
            return std::all_of(heard.begin(), heard.end(),
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

// One run of N users against a fresh server: its figures as they come, then why the server
// closed users, if it did.
bool run(int count, bool all, Figures &figures)
{
    // Connections not yet answered at a time: the server's queue of connections it has not
    // taken holds 50, and a connection past it waits for the kernel to try again (1 s, 3 s,
    // 7 s...). "all" connects everyone at once, as after a restart of the server.
    const int window = all ? count : 32;
    const double cpuBefore = processCpuSeconds();
    ServerProcess server(QString::fromLatin1(kAddress));
    if (!server.start({QStringLiteral("--no-tls")}))
        return false;
    std::printf("%d framed users (--no-tls), %s\n", count,
                all ? "all connecting at once" : "at most 32 connecting at a time");
    bool ok = false;
    std::atomic<bool> done{false};
    std::thread thread([&] {
        ok = users(server, count, window, figures);
        done = true;
    });
    waitFor([&done] { return done.load(); }, 7'200'000);
    thread.join();
    // The server's last words, when it was too busy to say them at once.
    if (!ok)
        waitFor([] { return false; }, 3000);
    const qsizetype closed =
        server.log().count("disconnected: ") - server.log().count("closed by the client");
    std::printf("    %lld users closed by the server; the bench's own CPU: %.1f s\n",
                qlonglong(closed), processCpuSeconds() - cpuBefore);
    // Why, once for each reason.
    QList<QByteArray> reasons;
    for (const QByteArray &line : server.log().split('\n')) {
        const qsizetype at = line.indexOf("disconnected: ");
        if (at >= 0 && !line.contains("closed by the client") && !reasons.contains(line.mid(at)))
            reasons.append(line.mid(at));
    }
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
    const bool all = argc > 1 && qstrcmp(argv[argc - 1], "all") == 0;
    std::vector<int> counts;
    for (int i = 1; i < argc - (all ? 1 : 0); ++i)
        counts.push_back(std::max(2, std::atoi(argv[i])));
    if (counts.empty())
        counts.push_back(1000);
    std::vector<Figures> figures(counts.size());
    bool ok = true;
    for (size_t i = 0; i < counts.size(); ++i) {
        if (i > 0)
            std::printf("\n");
        ok = run(counts[i], all, figures[i]) && ok;
    }
    std::printf("\n      N  storm s  KB/user  CPU rest %%  PM p50 ms  PM p99 ms  room p50 ms  "
                "room p99 ms\n");
    for (size_t i = 0; i < counts.size(); ++i) {
        std::printf("%7d", counts[i]);
        cell(figures[i].storm, 8, 2);
        cell(figures[i].kbPerUser, 8, 1);
        cell(figures[i].cpuRest, 11, 2);
        cell(figures[i].pm[0], 10, 3);
        cell(figures[i].pm[1], 10, 3);
        cell(figures[i].room[0], 12, 1);
        cell(figures[i].room[1], 12, 1);
        std::printf("\n");
    }
    return ok ? 0 : 1;
}
