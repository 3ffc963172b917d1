// More of what one address can make the relay server do (bench_abuse measures the rest). The
// server is a process of its own on 127.0.0.73; the abuser connects from 127.0.0.74, the users it
// harms from 127.0.0.75. Probes:
// - kept: alice claims her nickname (encrypted, with a key, as our client logs in) from the
//   others' address and logs out. From the abuser's address, plain connections, 8 at a time, log
//   in as spam0, spam1, ... and each writes PM|alice|spamN|<1000 bytes> as fast as the server
//   lets it (20 a second), until the server tells it the line could not be kept; then it logs
//   out and the next one comes. It ends when a newcomer's first line is refused. Then bob,
//   from the others' address, writes alice a line, and alice logs in: the lines and bytes she
//   is sent from the abuser's address, and whether bob's line was kept.
// - getuser: 13 plain users log in from the abuser's address with the longest nickname the
//   server takes (60,000 characters, else 30); then a framed client (in clear) logs in and
//   sends GETUSER| (11 bytes and its terminator) every 50 ms, as often as the server lets it, for
//   --seconds N (5), reading everything. Bytes in, bytes out, and the list a newcomer is sent.
// - queued: the group has a password. 10 encrypted connections from the abuser's address, all
//   ready, each send a wrong PASSWORD at the same moment: when each REFUSED (or close) comes.
//   The server keeps its password defaults (1 s, doubling to 32 s; locked after 10 wrong ones
//   in 10 minutes); only its connection counts per address are raised, since 8 not logged in
//   at once is its own bound.
// Each keeps the server's own limits per address but where said. --server-options "..." passes
// options to the server; --server PATH runs another build of it.
//
//   build/release/bench/bench_limits kept|getuser|queued [--seconds N] [--server PATH]
//       [--server-options "..."]
//
// Each probe run against two servers (a Release build, 2 cores shared with other work): before
// the bounds per address on kept lines, on nicknames' length and on queued guesses (--server
// with that build), and with them.
// - kept, before: 2000 lines (2,000,000 bytes) kept for alice from one address in 12.6 s, 16
//   spammers, 2016 lines written; bob's line from elsewhere refused ("ya hay demasiados
//   mensajes esperando a alice"); alice, answering her 2000 lines at once, closed for more than
//   64 KiB in a second. With them: 500 lines (500,000 bytes) in 3.2 s, the rest refused to the
//   address ("desde tu dirección ya se le han dejado demasiados mensajes sin leer"); bob's line
//   kept and delivered; alice stays connected.
// - getuser, before: nicknames of 60,000 characters taken; a newcomer's list 780,130 bytes (14
//   users); 100 GETUSER in 5 s: 1,200 bytes in, 78,013,000 out (65,011 times as many). With
//   them: 60,000 characters refused, 30 taken; the list 520 bytes; 1,200 bytes in, 52,000 out
//   (43 times as many).
// - queued, before: refused after 1.0, 3.0, 6.0, 11.0, 20.0, 37.0, 38.0, 39.1, 40.0, 41.0 s
//   (gaps 1, 2, 3, 5, 9, 17, then 1 s each): the tenth waits 41 s, the last four skip the
//   doubling. With them: after 1.0, 3.0, 7.0, 15.0, 31.0, 63.0, 95.1, 127.1, 159.1, 191.1 s (gaps
//   1, 2, 4, 8, 16, then 32 s each): the tenth waits 191 s, each held connection kept past the
//   2-minute log-in timeout until its answer.
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
#include <map>
#include <memory>
#include <vector>

namespace {

const QString kServer = QStringLiteral("127.0.0.73");
const QString kAbuser = QStringLiteral("127.0.0.74");
const QString kOthers = QStringLiteral("127.0.0.75");

QByteArray bytes(const QString &text)
{
    return wire::toCodePage(text);
}

QString login(const QString &nickname, const QString &key = {})
{
    return key.isEmpty() ? wire::buildMessage(u"LOGIN", {nickname})
                         : wire::buildMessage(u"LOGIN", {nickname, QString(), key});
}

// Logs in as alice with her key from the others' address, then out: her nickname is claimed.
bool claimAlice(ServerProcess &server, const QString &key)
{
    Link alice(nullptr, kServer, kOthers, Mode::Encrypted);
    bool in = false;
    alice.onReady = [&] { alice.send(login(QStringLiteral("alice"), key)); };
    alice.onMessage = [&](const QByteArray &message) {
        in = in || (field(message, 0) == u"NICK" && field(message, 1) == u"alice");
    };
    if (!waitFor([&] { return in || alice.isClosed(); }, 10'000) || !in
        || !server.log().contains("claims")) {
        std::printf("  alice could not claim her nickname:\n%s\n", server.log().constData());
        return false;
    }
    alice.send(wire::buildMessage(u"LOGOUT", {QStringLiteral("alice")}));
    alice.leave();
    return waitFor([&] { return server.log().contains("logged out"); }, 10'000);
}

int kept(const QStringList &options)
{
    ServerProcess server(kServer);
    server.keepLimitsPerAddress();
    if (!server.start(options))
        return 1;
    const QString key = wire::randomHex(wire::KeyDigits);
    if (!claimAlice(server, key))
        return 1;

    QObject pool;
    QElapsedTimer clock;
    clock.start();
    const QString text(1000, u'x');
    // Any line to alice refused, kept or not: "Tu mensaje para alice no se pudo guardar: ..."
    const QByteArray refusal = bytes(QStringLiteral("Tu mensaje para alice"));
    qint64 sent = 0, spammers = 0, active = 0;
    double firstRefusal = -1, done = -1;
    std::map<QString, int> refusals;
    std::function<void()> spam = [&] {
        const QString nickname = QStringLiteral("spam%1").arg(spammers++);
        auto *link = new Link(&pool, kServer, kAbuser, Mode::Plain);
        auto *tick = new QTimer(link);
        ++active;
        struct Own {
            qint64 sent = 0;
            bool refused = false;
        };
        auto own = std::make_shared<Own>();
        const QByteArray announced = bytes(wire::buildMessage(u"NICK", {nickname}));
        link->onReady = [link, nickname] { link->send(login(nickname)); };
        // Paced as the server allows a client: 20 messages a second.
        QObject::connect(tick, &QTimer::timeout, link, [&, link, nickname, own] {
            link->send(wire::buildMessage(u"PM", {QStringLiteral("alice"), nickname, text}));
            ++own->sent;
            ++sent;
        });
        link->onMessage = [&, link, tick, own, nickname, announced](const QByteArray &read) {
            if (!tick->isActive() && !own->refused && read.contains(announced))
                tick->start(50);
            if (own->refused || !read.contains(refusal))
                return;
            own->refused = true;
            tick->stop();
            ++refusals[wire::Message(wire::fromCodePage(read)).field(1)];
            const double now = double(clock.elapsed()) / 1000;
            if (firstRefusal < 0)
                firstRefusal = now;
            // A newcomer refused its first line: the address can have no more kept.
            if (own->sent <= 1 && done < 0)
                done = now;
            link->send(wire::buildMessage(u"LOGOUT", {nickname}));
            link->leave();
        };
        link->onClosed = [&, link, tick] {
            tick->stop();
            --active;
            link->deleteLater();
            if (done < 0 && clock.elapsed() < 300'000)
                spam();
        };
    };
    for (int i = 0; i < 8; ++i)
        spam();
    waitFor([&] { return done >= 0 && active == 0; }, 320'000);
    const double seconds = double(clock.elapsed()) / 1000;

    // Bob, from another address, and whether his line is kept: a plain sender hears only of a
    // failure, so 1.5 s of silence is taken as kept.
    Link bob(&pool, kServer, kOthers, Mode::Plain);
    bool bobIn = false, bobRefused = false;
    QString bobWhy;
    bob.onReady = [&] { bob.send(login(QStringLiteral("bob"))); };
    bob.onMessage = [&](const QByteArray &read) {
        bobIn = bobIn || read.contains(bytes(wire::buildMessage(u"NICK", {QStringLiteral("bob")})));
        if (read.contains(refusal)) {
            bobRefused = true;
            bobWhy = wire::Message(wire::fromCodePage(read)).field(1);
        }
    };
    waitFor([&] { return bobIn; }, 10'000);
    runEventsFor(200);
    bob.send(wire::buildMessage(u"PM", {QStringLiteral("alice"), QStringLiteral("bob"),
                                        QStringLiteral("hola, soy bob")}));
    waitFor([&] { return bobRefused; }, 1500);

    // Alice comes back: what was kept for her.
    Link alice(&pool, kServer, kOthers, Mode::Encrypted);
    qint64 fromSpam = 0, spamBytes = 0, fromBob = 0;
    qint64 lastHeard = 0;
    alice.onReady = [&] { alice.send(login(QStringLiteral("alice"), key)); };
    alice.onMessage = [&](const QByteArray &message) {
        if (field(message, 0) != u"PM")
            return;
        lastHeard = clock.elapsed();
        const QString from = field(message, 2);
        if (from == u"bob") {
            ++fromBob;
        } else if (from.startsWith(u"spam")) {
            ++fromSpam;
            spamBytes += bytes(field(message, 3)).size();
        }
        alice.send(wire::buildMessage(wire::Received, {from, field(message, 4)}));
    };
    waitFor([&] { return alice.isReady(); }, 10'000);
    lastHeard = clock.elapsed();
    waitFor([&] { return clock.elapsed() - lastHeard > 2000; }, 60'000);

    std::printf("kept, from %s to alice (claimed from %s, away):\n"
                "  %lld spammers, 8 at a time, wrote %lld lines of 1000 bytes; the first refused "
                "after %.1f s, a newcomer's first line refused after %.1f s (%.1f s in all)\n"
                "  kept for alice from %s: %lld lines, %lld bytes\n"
                "  bob's line from %s: %s; alice was sent %lld from bob\n"
                "  alice, answering each line with RECEIVED as our client does: %s\n",
                qPrintable(kAbuser), qPrintable(kOthers), spammers, sent, firstRefusal, done,
                seconds, qPrintable(kAbuser), fromSpam, spamBytes,
                qPrintable(kOthers),
                bobRefused ? qPrintable(QStringLiteral("refused: ") + bobWhy) : "not refused",
                fromBob, alice.isClosed() ? "closed by the server" : "still connected");
    std::printf("  spammers refused (the first refusal each was told):\n");
    for (const auto &[why, count] : refusals)
        std::printf("    %3d %s\n", count, qPrintable(why));
    printClosings(server);
    return 0;
}

// The i-th of the users' nicknames, all of this length: a letter of its own, then x's (no
// letters that look like others, which the server folds together).
QString longNickname(int i, int length)
{
    QString nickname(length, u'x');
    nickname[0] = QStringLiteral("abcdefghjkmnpqrstuvw").at(i);
    return nickname;
}

int getuser(const QStringList &options, int seconds)
{
    ServerProcess server(kServer);
    server.keepLimitsPerAddress();
    if (!server.start(options))
        return 1;
    QObject pool;
    int length = 0;
    for (const int tried : {60'000, wire::NicknameLength}) {
        // One at a time: at most 8 may be connected and not logged in.
        std::vector<Link *> users;
        bool refused = false;
        for (int i = 0; i < 13 && !refused; ++i) {
            const qsizetype before = server.log().count("logged in as");
            auto *user = new Link(&pool, kServer, kAbuser, Mode::Plain);
            users.push_back(user);
            const QString nickname = longNickname(i, tried);
            user->onReady = [user, nickname] { user->send(login(nickname)); };
            waitFor([&] { return server.log().count("logged in as") > before || user->isClosed(); },
                    10'000);
            refused = server.log().count("logged in as") == before;
        }
        if (!refused) {
            length = tried;
            break;
        }
        std::printf("getuser: a nickname of %d characters refused\n", tried);
        for (Link *user : users)
            user->leave();
        waitFor([&] { return std::all_of(users.begin(), users.end(),
                                         [](Link *user) { return user->isClosed(); }); },
                10'000);
        qDeleteAll(users);
    }
    if (length == 0)
        return 1;

    // The newcomer: the list it is sent, then GETUSER as often as it may.
    Link asker(&pool, kServer, kAbuser, Mode::Framed);
    qint64 received = 0, listBytes = 0, listUsers = 0, longest = 0;
    bool asking = false;
    asker.onReady = [&] { asker.send(login(QStringLiteral("pide"))); };
    asker.onMessage = [&](const QByteArray &message) {
        received += message.size() + 1;
        if (asking || field(message, 0) != u"NICK")
            return;
        listBytes += message.size() + 1;
        ++listUsers;
        longest = std::max<qint64>(longest, field(message, 1).size());
    };
    waitFor([&] { return listUsers >= 14 || asker.isClosed(); }, 10'000);
    runEventsFor(1000);
    asking = true;
    received = 0;
    const QByteArray ask = QByteArray::fromHex("47455455534552A4B6A3C6") + '\0';
    qint64 asked = 0;
    QElapsedTimer clock;
    clock.start();
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (asker.isClosed() || clock.elapsed() >= qint64(seconds) * 1000) {
            tick.stop();
            return;
        }
        asker.write(ask);
        ++asked;
    });
    asker.write(ask);
    ++asked;
    tick.start(50);
    waitFor([&] { return !tick.isActive(); }, seconds * 1000 + 1000);
    const double askedFor = double(clock.elapsed()) / 1000;
    // Until what is on its way has come.
    qint64 heard = -1;
    QElapsedTimer quiet;
    quiet.start();
    waitFor(
        [&] {
            if (received != heard) {
                heard = received;
                quiet.restart();
            }
            return asker.isClosed() || quiet.elapsed() > 2000;
        },
        120'000);
    const double took = double(clock.elapsed() - quiet.elapsed()) / 1000;
    // Into the server and out of it.
    const qint64 in = asked * ask.size();
    const qint64 out = received;
    std::printf("getuser, %d s, from %s: 13 plain users with nicknames of %d characters and the "
                "asker\n"
                "  a newcomer's list: %lld users, %lld bytes (longest nickname %lld)\n"
                "  %lld GETUSER sent in %.1f s: %lld bytes in, %lld bytes out, the last after "
                "%.1f s (%.0f times as many, %.0f a GETUSER); the asker %s\n",
                seconds, qPrintable(kAbuser), length, listUsers, listBytes, longest, asked,
                askedFor, in, out, took, double(out) / double(std::max<qint64>(in, 1)),
                double(out) / double(std::max<qint64>(asked, 1)),
                asker.isClosed() ? "was closed" : "is still connected");
    printClosings(server);
    return 0;
}

int queued(const QStringList &options)
{
    QTemporaryDir folder;
    const QString password = QStringLiteral("clave-de-grupo-7");
    QFile file(folder.filePath(QStringLiteral("password")));
    if (!file.open(QIODevice::WriteOnly) || file.write(password.toUtf8() + '\n') < 0)
        return 1;
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    // The connection counts per address raised (ten wait at once), the password's own kept.
    ServerProcess server(kServer);
    if (!server.start(QStringList{QStringLiteral("--password-file"), file.fileName()} + options))
        return 1;

    constexpr int kGuesses = 10;
    QObject pool;
    QElapsedTimer clock;
    struct Guess {
        Link *link = nullptr;
        double answeredAt = -1;
        QString answer;
    };
    std::vector<Guess> guesses(kGuesses);
    for (int i = 0; i < kGuesses; ++i) {
        Guess &guess = guesses[size_t(i)];
        guess.link = new Link(&pool, kServer, kAbuser, Mode::Encrypted);
        guess.link->onMessage = [&clock, &guess](const QByteArray &message) {
            if (guess.answeredAt < 0 && field(message, 0) == wire::Refused) {
                guess.answeredAt = double(clock.nsecsElapsed()) / 1e9;
                guess.answer = QStringLiteral("REFUSED|") + field(message, 1);
            }
        };
        guess.link->onClosed = [&clock, &guess] {
            if (guess.answeredAt < 0) {
                guess.answeredAt = double(clock.nsecsElapsed()) / 1e9;
                guess.answer = QStringLiteral("closed unanswered");
            }
        };
    }
    if (!waitFor([&] { return std::all_of(guesses.begin(), guesses.end(), [](const Guess &g) {
                     return g.link->isReady();
                 }); },
                 15'000)) {
        std::printf("queued: not all %d connections were ready\n", kGuesses);
        return 1;
    }
    clock.start();
    for (int i = 0; i < kGuesses; ++i)
        guesses[size_t(i)].link->send(
            wire::buildMessage(wire::Password, {QStringLiteral("intento%1").arg(i)}));
    // The doubling delays add up to 191 s for the tenth.
    waitFor([&] { return std::all_of(guesses.begin(), guesses.end(), [](const Guess &g) {
                return g.answeredAt >= 0;
            }); },
            240'000);
    std::sort(guesses.begin(), guesses.end(), [](const Guess &a, const Guess &b) {
        const auto at = [](const Guess &g) { return g.answeredAt < 0 ? 1e9 : g.answeredAt; };
        return at(a) < at(b);
    });
    std::printf("queued, %d wrong passwords from %s sent at once:\n", kGuesses,
                qPrintable(kAbuser));
    double previous = 0;
    for (int i = 0; i < kGuesses; ++i) {
        const Guess &guess = guesses[size_t(i)];
        if (guess.answeredAt < 0) {
            std::printf("  %2d: no answer in 240 s\n", i + 1);
            continue;
        }
        std::printf("  %2d: %-24s after %7.2f s (%+.2f s)\n", i + 1, qPrintable(guess.answer),
                    guess.answeredAt, guess.answeredAt - previous);
        previous = guess.answeredAt;
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
                                 QStringLiteral("kept, getuser or queued"));
    const QCommandLineOption seconds(QStringLiteral("seconds"),
                                     QStringLiteral("How long (getuser 5)."), QStringLiteral("N"));
    const QCommandLineOption serverOptions(QStringLiteral("server-options"),
                                           QStringLiteral("Options for the server, one string."),
                                           QStringLiteral("OPTIONS"));
    const QCommandLineOption serverProgram(
        QStringLiteral("server"),
        QStringLiteral("The server to run (default: the one built beside this benchmark)."),
        QStringLiteral("PATH"));
    parser.addOptions({seconds, serverOptions, serverProgram});
    parser.addHelpOption();
    parser.process(app);
    const QString probe = parser.positionalArguments().value(0);
    const QStringList options = parser.value(serverOptions).split(u' ', Qt::SkipEmptyParts);
    const int duration = parser.value(seconds).toInt();
    if (parser.isSet(serverProgram))
        ServerProcess::setProgram(parser.value(serverProgram));
    if (probe == u"kept")
        return kept(options);
    if (probe == u"getuser")
        return getuser(options, duration > 0 ? duration : 5);
    if (probe == u"queued")
        return queued(options);
    parser.showHelp(1);
}
