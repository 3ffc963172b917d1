// How much one address can make the relay server do. The server is a process of its own on
// 127.0.0.73; the abuser connects from 127.0.0.74, the users it harms from 127.0.0.75. Probes:
// - guesses: the group has a password. For --seconds N (5) wrong guesses, each on a connection
//   of its own, 16 at once, spoken as our client speaks (offer, ACCEPT, TLS, PASSWORD, LOGIN).
//   Guesses and refusals a second; then whether the right password still logs in, from the
//   abuser's address and from another.
// - memory: up to --connections N (2000) connections, one after another (32 under way at a
//   time), each encrypted where offered and holding an unfinished framed message as large as
//   the server keeps (the largest of 65000, 49152 ... 256 bytes that a first connection keeps).
//   Connections held and the server's resident memory before and after.
// - relogin: 12 framed connections (in clear: quickest) each log in once under a nickname of
//   their own, log out and come back on a new connection, as fast as the server lets them (a
//   log-in counts when the newcomer's own NICK arrives), for --seconds N (90);
//   meanwhile two plain readers are each sent 10 private lines a second by a sender of their
//   own. Log-ins, readers closed, lines lost.
// --server-options "..." passes options to the server, e.g. to raise its limits; --server PATH
// runs another build of it, such as an earlier one to compare with.
//
//   build/dev/bench/bench_abuse guesses|memory|relogin [--seconds N] [--server-options "..."]
//       [--server PATH]
//
// More of what one address can do (the lines kept for one user, what a GETUSER brings back,
// the wait of queued wrong passwords) is measured by bench_limits.
//
// Before the server limited what one address may do (a Debug build, 2 cores shared with other
// work): 490 guesses a second, each refused, 1.1 ms of the server's CPU apiece, the right
// password still taken at once from the same address; 2000 connections of 2000 held with
// 65000 bytes each, the server's memory from 19 to 407 MiB (199 KiB a connection); 570 to 890
// log-ins a second, both readers (and their senders) closed within 2 to 4 s with more than
// 10,000 messages waiting, every private line to them lost.
//
// With the limits per address (same build and machine, the server's own defaults): 10 guesses
// sent in 5 s, 3 answered (each later than the one before), the right password from the same
// address taken after 30 s, from another at once; 8 connections held with 1 KiB each, the
// server's memory from 19 to 20 MiB; 60 log-ins in 90 s (30 a minute), 1068 connections turned
// away, the server's CPU 0.8 s in all (47 to 72 s before), both readers connected and every
// one of their 1,800 private lines received.
#include "protocol/wire.h"
#include "support/link.h"
#include "support/raw_server.h"
#include "support/server_process.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

const QString kServer = QStringLiteral("127.0.0.73");
const QString kAbuser = QStringLiteral("127.0.0.74");
const QString kOthers = QStringLiteral("127.0.0.75");

QByteArray bytes(const QString &text)
{
    return wire::toCodePage(text);
}

// Logs in with the right password from this address: what came back, and how long it took.
void tryRightPassword(const QString &from, const QString &password)
{
    QObject pool;
    QElapsedTimer clock;
    clock.start();
    QString outcome;
    auto *link = new Link(&pool, kServer, from, Mode::Encrypted);
    link->onReady = [&] {
        link->send(wire::buildMessage(wire::Password, {password}));
        const QString nickname = QStringLiteral("legitimo") + from.section(u'.', 3);
        link->send(wire::buildMessage(u"LOGIN", {nickname}));
    };
    link->onMessage = [&](const QByteArray &message) {
        if (field(message, 0) == wire::Token || field(message, 0) == u"NICK")
            outcome = QStringLiteral("logged in");
        else if (field(message, 0) == wire::Refused)
            outcome = QStringLiteral("refused (%1): %2").arg(field(message, 1), field(message, 2));
    };
    link->onClosed = [&] {
        if (outcome.isEmpty())
            outcome = QStringLiteral("closed");
    };
    if (!waitFor([&] { return !outcome.isEmpty(); }, 30'000))
        outcome = QStringLiteral("no answer in 30 s");
    std::printf("  the right password from %s: %s, after %.0f ms\n", qPrintable(from),
                qPrintable(outcome), double(clock.elapsed()));
}

int guesses(const QStringList &options, int seconds)
{
    QTemporaryDir folder;
    const QString password = QStringLiteral("clave-de-grupo-7");
    QFile file(folder.filePath(QStringLiteral("password")));
    if (!file.open(QIODevice::WriteOnly) || file.write(password.toUtf8() + '\n') < 0)
        return 1;
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    ServerProcess server(kServer);
    server.keepLimitsPerAddress();
    if (!server.start(QStringList{QStringLiteral("--password-file"), file.fileName()} + options))
        return 1;

    QObject pool;
    QElapsedTimer clock;
    clock.start();
    const qint64 runMs = qint64(seconds) * 1000;
    qint64 made = 0, refused = 0, refusedOtherwise = 0, closedUnready = 0, underWay = 0;
    std::function<void()> guess = [&] {
        auto *link = new Link(&pool, kServer, kAbuser, Mode::Encrypted);
        ++underWay;
        link->onReady = [&, link] {
            const QString n = QString::number(made++);
            link->send(wire::buildMessage(wire::Password, {QStringLiteral("intento") + n}));
            link->send(wire::buildMessage(u"LOGIN", {QStringLiteral("adivino") + n}));
        };
        link->onMessage = [&](const QByteArray &message) {
            if (field(message, 0) == wire::Refused)
                ++(field(message, 1) == wire::RefusedPassword ? refused : refusedOtherwise);
        };
        link->onClosed = [&, link] {
            closedUnready += link->isReady() ? 0 : 1;
            --underWay;
            link->deleteLater();
            if (clock.elapsed() < runMs)
                guess();
        };
    };
    for (int i = 0; i < 16; ++i)
        guess();
    waitFor([&] { return clock.elapsed() >= runMs; }, int(runMs) + 1000);
    // Those under way finish, or are given up after 5 s: a server may make them wait.
    waitFor([&] { return underWay == 0; }, 5000);
    const double elapsed = double(clock.elapsed()) / 1000;
    std::printf("guesses, %d s, 16 at once from %s:\n"
                "  %lld wrong passwords sent (%.0f a second), %lld refused as wrong (%.0f a "
                "second), %lld refused otherwise\n"
                "  %lld connections closed before a password could go; %lld given up, still "
                "open\n"
                "  server's CPU: %.2f ms a guess\n",
                seconds, qPrintable(kAbuser), made, double(made) / elapsed, refused,
                double(refused) / elapsed, refusedOtherwise, closedUnready, underWay,
                server.cpuSeconds() * 1000 / double(std::max<qint64>(made, 1)));
    const QObjectList links = pool.children();
    qDeleteAll(links);
    tryRightPassword(kAbuser, password);
    tryRightPassword(kOthers, password);
    printClosings(server);
    return 0;
}

int memory(const QStringList &options, int connections)
{
    ServerProcess server(kServer);
    server.keepLimitsPerAddress();
    if (!server.start(options))
        return 1;
    const double rssBefore = server.rssMiB();
    // One connection at a time: the largest unfinished message that stays.
    qsizetype hold = 0;
    for (const qsizetype size : {65000, 49152, 32768, 16384, 8192, 4096, 2048, 1024, 512, 256}) {
        Link link(nullptr, kServer, kAbuser, Mode::Encrypted);
        link.onReady = [&] { link.write(QByteArray(size, 'x')); };
        waitFor([&] { return link.isReady() || link.isClosed(); }, 10'000);
        // On loopback the server reads it at once; one too long ends the connection.
        waitFor([&] { return link.isClosed(); }, 1000);
        if (link.isReady() && !link.isClosed()) {
            hold = size;
            break;
        }
    }
    std::printf("memory, from %s: an unfinished message of %lld bytes stays\n",
                qPrintable(kAbuser), qlonglong(hold));
    if (hold == 0)
        return 1;

    QObject pool;
    std::vector<Link *> links;
    int underWay = 0;
    std::function<void()> open = [&] {
        auto *link = new Link(&pool, kServer, kAbuser, Mode::Encrypted);
        links.push_back(link);
        ++underWay;
        link->onReady = [&, link] {
            link->write(QByteArray(hold, 'x'));
            --underWay;
            if (int(links.size()) < connections)
                open();
        };
        link->onClosed = [&, link] {
            if (link->isReady())
                return;
            --underWay;
            if (int(links.size()) < connections)
                open();
        };
    };
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < std::min(32, connections); ++i)
        open();
    waitFor([&] { return int(links.size()) >= connections && underWay == 0; }, 120'000);
    const double openSeconds = double(clock.elapsed()) / 1000;
    // What is on its way reaches the server.
    runEventsFor(1000);
    int held = 0;
    for (const Link *link : links)
        held += link->isReady() && !link->isClosed() ? 1 : 0;
    const double rssAfter = server.rssMiB();
    std::printf("  %zu connections tried in %.1f s: %d held, %d still under way, each holding "
                "%lld bytes\n"
                "  server resident: %.1f MiB before, %.1f MiB after (%.1f KiB a connection "
                "held)\n",
                links.size(), openSeconds, held, underWay, qlonglong(hold), rssBefore, rssAfter,
                held > 0 ? (rssAfter - rssBefore) * 1024 / held : 0.0);
    printClosings(server);
    return 0;
}

int relogin(const QStringList &options, int seconds)
{
    ServerProcess server(kServer);
    server.keepLimitsPerAddress();
    if (!server.start(options))
        return 1;
    QObject pool;
    QElapsedTimer clock;
    // Two readers, each with a sender of its own, logged in once, from the others' address.
    struct Pair {
        QString reader, sender;
        Link *readerLink = nullptr, *senderLink = nullptr;
        qint64 sent = 0, received = 0;
        double readerClosedAt = -1, senderClosedAt = -1;
    } pairs[2];
    for (int i = 0; i < 2; ++i) {
        Pair &pair = pairs[i];
        pair.reader = QStringLiteral("lector%1").arg(i);
        pair.sender = QStringLiteral("remitente%1").arg(i);
        for (const bool reading : {true, false}) {
            auto *link = new Link(&pool, kServer, kOthers, Mode::Plain);
            const QString nickname = reading ? pair.reader : pair.sender;
            link->onReady = [link, nickname] {
                link->send(wire::buildMessage(u"LOGIN", {nickname}));
            };
            double &closedAt = reading ? pair.readerClosedAt : pair.senderClosedAt;
            link->onClosed = [&clock, &closedAt] { closedAt = double(clock.elapsed()) / 1000; };
            (reading ? pair.readerLink : pair.senderLink) = link;
        }
        // Counted in each read, should two lines come merged.
        const QByteArray line = bytes(wire::buildMessage(u"PM", {pair.reader, pair.sender, u""}));
        pair.readerLink->onMessage = [&pair, line](const QByteArray &read) {
            pair.received += read.count(line);
        };
    }
    if (!waitFor([&] { return server.log().count("logged in as") == 4; }, 10'000))
        return 1;

    clock.start();
    const qint64 runMs = qint64(seconds) * 1000;
    qint64 logIns = 0, turnedAway = 0;
    std::function<void(int, int)> comeBack = [&](int who, int time) {
        const QString nickname = QStringLiteral("vuelve%1_%2").arg(who).arg(time);
        auto *link = new Link(&pool, kServer, kAbuser, Mode::Framed);
        link->onReady = [link, nickname] {
            link->send(wire::buildMessage(u"LOGIN", {nickname}));
        };
        const QByteArray announced = bytes(wire::buildMessage(u"NICK", {nickname}));
        link->onMessage = [&, link, nickname, announced](const QByteArray &message) {
            if (!link->left && message == announced) {
                link->left = true;
                ++logIns;
                link->send(wire::buildMessage(u"LOGOUT", {nickname}));
                link->leave();
            }
        };
        link->onClosed = [&, link, who, time] {
            turnedAway += link->left ? 0 : 1;
            link->deleteLater();
            if (clock.elapsed() < runMs)
                comeBack(who, time + 1);
        };
    };
    for (int i = 0; i < 12; ++i)
        comeBack(i, 0);
    // Each sender writes to its reader every 100 ms, the line numbered, while it is connected.
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        for (Pair &pair : pairs) {
            if (!pair.senderLink->isClosed())
                pair.senderLink->send(wire::buildMessage(
                    u"PM", {pair.reader, pair.sender, QString::number(pair.sent++)}));
        }
    });
    tick.start(100);
    waitFor([&] { return clock.elapsed() >= runMs; }, int(runMs) + 1000);
    tick.stop();
    const double elapsed = double(clock.elapsed()) / 1000;
    // Until the lines on their way have arrived, or their readers are gone.
    waitFor(
        [&] {
            return std::all_of(std::begin(pairs), std::end(pairs), [](const Pair &pair) {
                return pair.readerLink->isClosed() || pair.received >= pair.sent;
            });
        },
        30'000);
    std::printf("relogin, %d s, 12 re-loggers from %s:\n"
                "  %lld log-ins (%.1f a second), %lld connections closed before logging in; "
                "server's CPU: %.2f ms a log-in\n",
                seconds, qPrintable(kAbuser), logIns, double(logIns) / elapsed, turnedAway,
                server.cpuSeconds() * 1000 / double(std::max<qint64>(logIns, 1)));
    const auto state = [](double closedAt) {
        return closedAt < 0 ? QStringLiteral("still connected")
                            : QStringLiteral("closed after %1 s").arg(closedAt, 0, 'f', 1);
    };
    for (const Pair &pair : pairs) {
        std::printf("  %s: %s; its sender %s; private lines %lld sent, %lld received, %lld "
                    "lost\n",
                    qPrintable(pair.reader), qPrintable(state(pair.readerClosedAt)),
                    qPrintable(state(pair.senderClosedAt)), pair.sent, pair.received,
                    pair.sent - pair.received);
    }
    printClosings(server);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("probe"),
                                 QStringLiteral("guesses, memory or relogin"));
    const QCommandLineOption seconds(QStringLiteral("seconds"),
                                     QStringLiteral("How long (guesses 5, relogin 90)."),
                                     QStringLiteral("N"));
    const QCommandLineOption connections(QStringLiteral("connections"),
                                         QStringLiteral("How many to try (memory)."),
                                         QStringLiteral("N"), QStringLiteral("2000"));
    const QCommandLineOption serverOptions(QStringLiteral("server-options"),
                                           QStringLiteral("Options for the server, one string."),
                                           QStringLiteral("OPTIONS"));
    const QCommandLineOption serverProgram(
        QStringLiteral("server"),
        QStringLiteral("The server to run (default: the one built beside this benchmark)."),
        QStringLiteral("PATH"));
    parser.addOptions({seconds, connections, serverOptions, serverProgram});
    parser.addHelpOption();
    parser.process(app);
    const QString probe = parser.positionalArguments().value(0);
    const QStringList options = parser.value(serverOptions).split(u' ', Qt::SkipEmptyParts);
    const int duration = parser.value(seconds).toInt();
    if (parser.isSet(serverProgram))
        ServerProcess::setProgram(parser.value(serverProgram));
    if (probe == u"guesses")
        return guesses(options, duration > 0 ? duration : 5);
    if (probe == u"memory")
        return memory(options, std::max(1, parser.value(connections).toInt()));
    if (probe == u"relogin")
        return relogin(options, duration > 0 ? duration : 90);
    parser.showHelp(1);
}
