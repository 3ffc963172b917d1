// Lines kept for those who are away, against the relay server as a process of its own on a
// loopback address (Release build for figures):
// (a) a private line's latency with 50 clients online, each writing to the next twice a second:
//     with the extension (each line with its id, answered RECEIVED, the sender told
//     "delivered") against the relay as it was (--no-keep, plain private lines). From the
//     sender's sendData() to the recipient's data-arrival event, and, kept, to the sender's
//     "delivered" mark.
// (b) a burst: 20 senders write 500 lines each, as fast as they can, to 20 users who are away:
//     how many lines the server keeps a second (each on disk before its sender is told).
// (c) the real client logs in to 1,000 lines kept for it: how long until its window shows them
//     all.
//
//   build/release/bench/bench_keep [a] [b] [c]
#include "conversations/history.h"
#include "conversations/pm.h"
#include "conversations/pm_registry.h"
#include "core/session.h"
#include "core/settings.h"
#include "program.h"
#include "protocol/client_socket.h"
#include "protocol/wire.h"
#include "support/raw_server.h"
#include "support/server_process.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

const QString kAddress = QStringLiteral("127.0.0.59");

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

// A user of the protocol on the client's own socket: logs in, with a key of its own when the
// server keeps lines, answers every line with an id, and counts what it is told.
struct User {
    User(const QString &name, bool keeps) : nickname(name), key(keeps ? wire::randomHex(wire::KeyDigits) : QString())
    {
        QObject::connect(&socket, &ClientSocket::connected, &socket, [this] { logIn(); });
        QObject::connect(&socket, &ClientSocket::dataArrival, &socket, [this] {
            const wire::Message message(socket.getData());
            const QString command = message.command();
            if (command == u"NICK" && message.field(1) == nickname) {
                loggedIn = true;
            } else if (command == u"PM") {
                ++lines;
                if (onLine)
                    onLine(message);
                if (message.fieldCount() > 5)
                    socket.sendData(wire::buildMessage(wire::Received,
                                                       {message.field(2), message.field(4)}));
            } else if (command == wire::Mark) {
                if (onMark)
                    onMark(message.field(1), message.field(2));
            }
        });
    }
    void logIn()
    {
        socket.sendData(key.isEmpty() ? wire::buildMessage(u"LOGIN", {nickname})
                                      : wire::buildMessage(u"LOGIN", {nickname, QString(), key}));
    }
    bool connect()
    {
        loggedIn = false;
        socket.connectTo(kAddress, wire::ServerPort);
        return waitFor([this] { return loggedIn; }, 10'000);
    }
    void leave()
    {
        socket.sendData(wire::buildMessage(u"LOGOUT", {nickname}));
        socket.close();
    }
    void write(const QString &to, const QString &text, const QString &id)
    {
        socket.sendData(id.isEmpty() ? wire::buildMessage(u"PM", {to, nickname, text})
                                     : wire::buildMessage(u"PM", {to, nickname, text, id}));
    }

    ClientSocket socket;
    QString nickname;
    QString key;
    bool loggedIn = false;
    int lines = 0;
    std::function<void(const wire::Message &)> onLine;
    std::function<void(const QString &id, const QString &state)> onMark;
};

// Nobody in these runs floods anyone: the server's limits per client stay out of the way.
const QStringList kUnlimited{QStringLiteral("--max-messages"), QStringLiteral("1000000"),
                             QStringLiteral("--max-rate"), QStringLiteral("1000000000"),
                             QStringLiteral("--max-new-correspondents"), QStringLiteral("1000000"),
                             QStringLiteral("--max-new-correspondents-per-address"),
                             QStringLiteral("1000000"), QStringLiteral("--claims-per-hour"),
                             QStringLiteral("1000000")};

void latency(bool keeps, int seconds)
{
    constexpr int kClients = 50;
    ServerProcess server(kAddress);
    if (!server.start(keeps ? kUnlimited : kUnlimited + QStringList{QStringLiteral("--no-keep")}))
        return;
    QElapsedTimer clock;
    clock.start();
    std::vector<std::unique_ptr<User>> users;
    std::vector<double> arrivals;
    std::vector<double> marks;
    QHash<QString, qint64> sentAt;
    for (int i = 0; i < kClients; ++i) {
        users.push_back(std::make_unique<User>(QStringLiteral("usuario%1").arg(i, 2, 10, QLatin1Char('0')), keeps));
        User &user = *users.back();
        user.onLine = [&](const wire::Message &message) {
            arrivals.push_back(double(clock.nsecsElapsed() - message.field(3).toLongLong()) / 1e6);
        };
        user.onMark = [&](const QString &id, const QString &state) {
            if (state == wire::MarkDelivered && sentAt.contains(id))
                marks.push_back(double(clock.nsecsElapsed() - sentAt.take(id)) / 1e6);
        };
        if (!user.connect())
            return std::printf("  client %d did not log in\n", i), void();
    }
    int turn = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] {
        User &from = *users[std::size_t(turn % kClients)];
        const User &to = *users[std::size_t((turn + 1) % kClients)];
        ++turn;
        const QString id = keeps ? wire::randomHex(wire::LineIdDigits) : QString();
        const qint64 now = clock.nsecsElapsed();
        if (keeps)
            sentAt.insert(id, now);
        from.write(to.nickname, QString::number(now), id);
    });
    ticker.start(1000 / (2 * kClients));
    const int lines = seconds * 2 * kClients;
    waitFor([&] { return turn >= lines; }, seconds * 2000 + 10'000);
    ticker.stop();
    waitFor([&] { return int(arrivals.size()) >= lines && (!keeps || int(marks.size()) >= lines); },
            10'000);
    std::printf("%s:\n  private line: %zu of %d arrived; p50 %.2f ms, p99 %.2f ms\n",
                keeps ? "keeping (ids, RECEIVED, marks)" : "as before (--no-keep)",
                arrivals.size(), turn, percentile(arrivals, 0.5), percentile(arrivals, 0.99));
    if (keeps)
        std::printf("  until the sender's \"delivered\": %zu marks; p50 %.2f ms, p99 %.2f ms\n",
                    marks.size(), percentile(marks, 0.5), percentile(marks, 0.99));
    std::printf("  server: %.2f s CPU, %.1f MiB resident\n", server.cpuSeconds(),
                server.rssMiB());
}

void burst()
{
    constexpr int kPairs = 20;
    constexpr int kLinesEach = 500;
    ServerProcess server(kAddress);
    if (!server.start(kUnlimited))
        return;
    // The recipients claim their nicknames, then go.
    std::vector<std::unique_ptr<User>> away;
    for (int i = 0; i < kPairs; ++i) {
        away.push_back(std::make_unique<User>(QStringLiteral("lejos%1").arg(i), true));
        if (!away.back()->connect())
            return std::puts("  a recipient did not log in"), void();
        away.back()->leave();
    }
    std::vector<std::unique_ptr<User>> senders;
    int kept = 0;
    int failed = 0;
    for (int i = 0; i < kPairs; ++i) {
        senders.push_back(std::make_unique<User>(QStringLiteral("remitente%1").arg(i), true));
        senders.back()->onMark = [&](const QString &, const QString &state) {
            kept += state == wire::MarkKept;
            failed += state == wire::MarkFailed;
        };
        if (!senders.back()->connect())
            return std::puts("  a sender did not log in"), void();
    }
    waitFor([&] { return server.log().count("logged out") >= kPairs; }, 10'000);
    const double cpu = server.cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    const QString text = QStringLiteral("Una línea de unas sesenta letras, como las que se escriben.");
    for (int line = 0; line < kLinesEach; ++line) {
        for (int i = 0; i < kPairs; ++i)
            senders[std::size_t(i)]->write(away[std::size_t(i)]->nickname, text,
                                           wire::randomHex(wire::LineIdDigits));
    }
    waitFor([&] { return kept + failed >= kPairs * kLinesEach; }, 120'000);
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    std::printf("burst: %d lines to %d users away: %d kept, %d failed, in %.2f s: %.0f lines "
                "kept a second; server CPU %.2f s\n",
                kPairs * kLinesEach, kPairs, kept, failed, seconds, kept / seconds,
                server.cpuSeconds() - cpu);
}

void logInToKept()
{
    constexpr int kLines = 1000;
    ServerProcess server(kAddress);
    if (!server.start(kUnlimited + QStringList{QStringLiteral("--kept-per-sender"),
                                               QString::number(kLines)}))
        return;
    Program program;
    const auto logIn = [&program] {
        program.login()->logInWith(QStringLiteral("lejos"), kAddress);
        return waitFor([&] { return program.session().state() == Session::State::LoggedIn; },
                       10'000);
    };
    // Logged in once, it has claimed its nickname; then it goes.
    if (!logIn())
        return std::puts("  the client did not log in"), void();
    program.core().logOut();
    waitFor([&] { return program.session().state() == Session::State::LoggedOut; }, 10'000);
    User sender(QStringLiteral("remitente"), true);
    int kept = 0;
    sender.onMark = [&](const QString &, const QString &state) { kept += state == wire::MarkKept; };
    if (!sender.connect())
        return std::puts("  the sender did not log in"), void();
    for (int i = 0; i < kLines; ++i)
        sender.write(QStringLiteral("lejos"), QStringLiteral("Línea guardada número %1").arg(i),
                     wire::randomHex(wire::LineIdDigits));
    if (!waitFor([&] { return kept == kLines; }, 60'000))
        return std::printf("  only %d of %d lines kept\n", kept, kLines), void();
    QElapsedTimer clock;
    clock.start();
    if (!logIn())
        return std::puts("  the client did not log in again"), void();
    const auto shown = [&] {
        PM *window = program.PMWindows().window(0);
        return window ? window->history()->blockCount() : 0;
    };
    waitFor([&] { return shown() >= kLines; }, 60'000);
    std::printf("log-in to %d kept lines: %d shown after %lld ms\n", kLines, shown(),
                clock.elapsed());
}

} // namespace

int main(int argc, char **argv)
{
    prepareBenchEnvironment();
    QApplication app(argc, argv);
    const QStringList which = app.arguments().mid(1);
    const auto wanted = [&which](const char *name) {
        return which.isEmpty() || which.contains(QLatin1String(name));
    };
    if (wanted("a")) {
        latency(false, 20);
        latency(true, 20);
    }
    if (wanted("b"))
        burst();
    if (wanted("c"))
        logInToKept();
    return 0;
}
