// Who is at their desk, through the relay server as a process of its own on 127.0.0.62, in
// clear (--no-tls; framing on), the Release build for figures:
// 2,000 framed users online, spread 16 to an address over 127.0.3.x, each away or busy from
// its log-in; then 200 changes of state a second spread across them (each user one every
// 10 s, within the server's 6 a minute) for 20 s.
// (a) the server's CPU time over 5 s at rest and over the 20 s of changes (/proc/<pid>/stat),
//     and its resident memory before and after;
// (b) a newcomer's time from connecting to having the whole list with every state (a NICK for
//     each user and itself, a STATE for each user), four times while the changes run.
// The users are one epoll loop on a thread of their own, framing by hand; the main thread
// drains the server's log.
//
//   build/release/bench/bench_states
#include "protocol/wire.h"
#include "support/raw_server.h"
#include "support/raw_users.h"
#include "support/server_process.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

const char *const kAddress = "127.0.0.62";
constexpr int kUsers = 2000;
constexpr int kChangesPerSecond = 200;
constexpr int kSeconds = 20;
constexpr int kNewcomers = 4;

QByteArray state(int turn)
{
    return framed(wire::buildMessage(wire::StateCommand,
                                     {turn % 2 ? wire::StateBusy : wire::StateAway,
                                      QStringLiteral("cambio %1, en una reunión").arg(turn)}));
}

// What the users' thread tells the main thread, which measures the server.
std::atomic<int> g_phase{0};
std::atomic<int> g_loggedIn{0};

void users(std::vector<double> &newcomerMs, bool &ok)
{
    // Only the newcomer counts its messages: the list, then the states.
    size_t newcomer = 0;
    bool waiting = false;
    int nicks = 0;
    int states = 0;
    RawUsers loop(kAddress, [&](size_t which, QByteArrayView message) {
        if (waiting && which == newcomer) {
            nicks += message.startsWith("NICK\xA4") ? 1 : 0;
            states += message.startsWith("STATE\xA4") ? 1 : 0;
        }
    });
    std::vector<size_t> online;
    // Logged in in batches, each away from the start, so that every user is in the
    // newcomer's list of states.
    for (int i = 0; i < kUsers; ++i) {
        const QString nickname = QStringLiteral("usuario%1").arg(i, 4, 10, QLatin1Char('0'));
        online.push_back(loop.open(RawUsers::address(3, i).constData(),
                                   wire::marker(wire::Accept)
                                       + framed(wire::buildMessage(u"LOGIN", {nickname}))
                                       + state(i)));
        if ((i + 1) % 100 != 0)
            continue;
        const qint64 start = loop.nowNs();
        while (g_loggedIn.load() < i + 1 && loop.nowNs() - start < 30'000'000'000)
            loop.run(10);
        if (g_loggedIn.load() < i + 1) {
            std::printf("  only %d users logged in\n", g_loggedIn.load());
            ok = false;
            g_phase = 3;
            return;
        }
    }
    // The last changes of the log-ins reach everyone.
    for (const qint64 start = loop.nowNs(); loop.nowNs() - start < 2'000'000'000;)
        loop.run(10);
    // At rest.
    g_phase = 1;
    for (const qint64 start = loop.nowNs(); loop.nowNs() - start < 5'000'000'000;)
        loop.run(100);
    g_phase = 2;
    const qint64 start = loop.nowNs();
    const qint64 length = qint64(kSeconds) * 1'000'000'000;
    int changes = 0;
    int newcomers = 0;
    qint64 since = 0;
    while (loop.nowNs() - start < length) {
        const qint64 elapsed = loop.nowNs() - start;
        for (const qint64 due = elapsed * kChangesPerSecond / 1'000'000'000; changes < due;
             ++changes)
            loop.write(online[size_t(changes % kUsers)], state(kUsers + changes));
        // A newcomer at 3, 7, 11 and 15 s; it leaves once it has everything.
        if (!waiting && newcomers < kNewcomers
            && elapsed >= (3 + 4 * qint64(newcomers)) * 1'000'000'000) {
            since = loop.nowNs();
            newcomer = loop.open(RawUsers::address(4, newcomers).constData(),
                                 wire::marker(wire::Accept)
                                     + framed(wire::buildMessage(
                                         u"LOGIN", {QStringLiteral("nuevo%1").arg(newcomers)})));
            nicks = states = 0;
            waiting = true;
        }
        if (waiting && nicks >= kUsers + 1 && states >= kUsers) {
            newcomerMs.push_back(double(loop.nowNs() - since) / 1e6);
            loop.close(newcomer);
            waiting = false;
            ++newcomers;
        }
        loop.run(2);
    }
    if (waiting)
        std::printf("  a newcomer still had %d NICKs and %d STATEs of %d\n",
                    nicks, states, kUsers);
    g_phase = 3;
    std::printf("  %d changes sent; the users read %.1f MiB in all\n", changes,
                double(loop.bytesRead()) / 1048576.0);
    // Held until the main thread has measured.
    for (const qint64 end = loop.nowNs(); loop.nowNs() - end < 500'000'000;)
        loop.run(10);
}

} // namespace

int main(int argc, char *argv[])
{
    prepareBenchEnvironment();
    raiseOpenFileLimit();
    QCoreApplication app(argc, argv);
    ServerProcess server(QString::fromLatin1(kAddress));
    if (!server.start({QStringLiteral("--no-tls")}))
        return 1;
    std::printf("%d framed users, %d changes of state a second for %d s (--no-tls)\n", kUsers,
                kChangesPerSecond, kSeconds);
    std::vector<double> newcomerMs;
    bool ok = true;
    std::thread thread(users, std::ref(newcomerMs), std::ref(ok));
    double cpu[3] = {};
    double rss[3] = {};
    int seen = 0;
    QElapsedTimer clock;
    clock.start();
    double setup = 0;
    waitFor([&] {
        g_loggedIn = int(server.log().count("logged in as"));
        for (; seen < g_phase.load(); ++seen) {
            cpu[seen] = server.cpuSeconds();
            rss[seen] = server.rssMiB();
            setup = seen == 0 ? double(clock.elapsed()) / 1000.0 : setup;
        }
        return seen == 3;
    }, 600'000);
    thread.join();
    if (!ok)
        return 1;
    if (newcomerMs.size() < kNewcomers) {
        for (const QByteArray &line : server.log().split('\n'))
            if (line.contains("127.0.4."))
                std::printf("  %s\n", line.constData());
    }
    const qsizetype closed =
        server.log().count("disconnected: ") - server.log().count("closed by the client");
    std::printf("  all logged in and away after %.1f s; %lld users closed by the server\n",
                setup, qlonglong(closed));
    std::printf("(a) server CPU: %.2f s in 5 s at rest (%.0f%%), %.2f s in %d s of changes "
                "(%.0f%% of a core)\n",
                cpu[1] - cpu[0], 100 * (cpu[1] - cpu[0]) / 5, cpu[2] - cpu[1], kSeconds,
                100 * (cpu[2] - cpu[1]) / kSeconds);
    std::printf("    server memory (VmRSS): %.1f MiB before the changes, %.1f MiB after\n",
                rss[1], rss[2]);
    std::printf("(b) a newcomer's list of %d users with their states:", kUsers);
    for (const double ms : newcomerMs)
        std::printf(" %.0f ms", ms);
    std::printf("\n    the bench's own CPU: %.2f s\n", processCpuSeconds());
    return 0;
}
