// A long run under the sanitizers: the server (a process of its own, on 127.0.0.56), two real
// headless clients in this process, and 50 protocol clients. Ten of those stay; forty come and
// go (log out, or drop the connection, and come back). Everybody talks: private lines to the
// real clients and from them, lines in the room. Reported: lines sent and received (none may be
// lost among those whose sender and receiver were both there), sanitizer reports, and the
// memory of the server and of this process at the start (after a minute) and at the end.
//
//   build/test/bench/soak [--minutes N]     (tools/soak runs it)
#include "conversations/chat.h"
#include "conversations/history.h"
#include "conversations/pm.h"
#include "main_window/login.h"
#include "main_window/mess.h"
#include "main_window/user_tree.h"
#include "core/conversations.h"
#include "program.h"
#include "protocol/client_socket.h"
#include "core/session.h"
#include "support/raw_server.h"
#include "support/server_process.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace {

const QString kAddress = QStringLiteral("127.0.0.56");

// A framed protocol client: logs in, enters the room, counts the numbered lines it reads.
class Peer : public QObject {
public:
    Peer(const QString &nickname, bool stays) : nickname(nickname), stays(stays)
    {
        connect(&socket, &QTcpSocket::connected, this, [this] {
            socket.write(wire::marker(wire::Accept));
            send(wire::buildMessage(u"LOGIN", {this->nickname}));
            send(wire::buildMessage(u"ENTER", {this->nickname}));
        });
        connect(&socket, &QTcpSocket::readyRead, this, [this] {
            for (const QByteArray &bytes : frames.feed(socket.readAll())) {
                const wire::Message message(wire::fromCodePage(bytes));
                if (message.command() == u"PM")
                    received.insert(message.field(3));
            }
        });
    }
    void join()
    {
        frames = wire::FrameReader(1 << 20);
        socket.abort();
        socket.connectToHost(kAddress, wire::ServerPort);
    }
    bool up() const { return socket.state() == QAbstractSocket::ConnectedState; }
    void send(const QString &text) { socket.write(wire::toCodePage(text) + wire::Terminator); }
    void leave(bool politely)
    {
        if (politely)
            send(wire::buildMessage(u"LOGOUT", {nickname})), socket.flush();
        socket.abort();
    }

    const QString nickname;
    const bool stays;
    QTcpSocket socket;
    wire::FrameReader frames{1 << 20};
    std::set<QString> received;
};

QString stamp(const QString &from, qint64 number)
{
    return from + QLatin1Char('#') + QString::number(number);
}

// Numbered lines in a history: "writer : from#n".
std::set<QString> linesIn(const QString &history)
{
    static const QRegularExpression line(QStringLiteral(" : (\\S+#\\d+)$"),
                                         QRegularExpression::MultilineOption);
    std::set<QString> found;
    for (auto it = line.globalMatch(history); it.hasNext();)
        found.insert(it.next().captured(1));
    return found;
}

} // namespace

int main(int argc, char *argv[])
{
    prepareBenchEnvironment();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QCommandLineParser parser;
    const QCommandLineOption minutes(QStringLiteral("minutes"), QStringLiteral("How long."),
                                     QStringLiteral("N"), QStringLiteral("30"));
    parser.addOption(minutes);
    parser.process(app);
    const qint64 runMs = qint64(parser.value(minutes).toDouble() * 60'000);

    ServerProcess server(kAddress);
    if (!server.start())
        return 1;
    std::vector<std::unique_ptr<Program>> clients;
    for (const char *name : {"ana", "luis"}) {
        clients.push_back(std::make_unique<Program>());
        Program &client = *clients.back();
        client.setInstant(true);
        client.login()->logInWith(QString::fromLatin1(name), kAddress);
        if (!waitFor([&] { return client.session().state() == Session::State::LoggedIn; }, 10'000)) {
            std::printf("  %s did not log in: %s\n", name, qPrintable(client.mess()->statusLine()));
            return 1;
        }
        client.mess()->findChild<QAbstractButton *>(QStringLiteral("cmdChat"))->click();
    }
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 50; ++i) {
        peers.push_back(std::make_unique<Peer>(QStringLiteral("p%1").arg(i), i < 10));
        peers.back()->join();
    }

    // Who said what to whom, counted only when both ends were there from before the line until
    // the end of the run: then nothing may be missing.
    qint64 number = 0;
    std::set<QString> toClients;  // PMs to ana and luis, from peers that stayed
    std::set<QString> inRoom;     // room lines from peers that stayed
    std::map<QString, std::set<QString>> toPeers; // PMs from ana and luis to the peers that stay
    qint64 sent = 0;
    QRandomGenerator random(12584);
    QElapsedTimer clock;
    clock.start();
    double serverStartMiB = 0, ownStartMiB = 0;
    // Memory every sixth of the run too: under AddressSanitizer freed memory is held back (its
    // quarantine) before it is reused, so growth that levels off is not a leak.
    QString samples;
    qint64 nextSample = std::max<qint64>(60'000, runMs / 6);
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (clock.elapsed() >= runMs)
            return tick.stop();
        if (ownStartMiB == 0 && clock.elapsed() > std::min<qint64>(60'000, runMs / 4))
            serverStartMiB = server.rssMiB(), ownStartMiB = currentRssMiB();
        if (clock.elapsed() >= nextSample) {
            samples += QStringLiteral("  memory at minute %1: server %2 MiB, clients %3 MiB\n")
                           .arg(nextSample / 60'000)
                           .arg(server.rssMiB(), 0, 'f', 1)
                           .arg(currentRssMiB(), 0, 'f', 1);
            nextSample += std::max<qint64>(60'000, runMs / 6);
        }
        // Every 100 ms: a few peers speak, one of the forty may come or go, and now and then a
        // real client writes to a peer that stays.
        for (int n = 0; n < 3; ++n) {
            Peer &peer = *peers[std::size_t(random.bounded(int(peers.size())))];
            if (!peer.up())
                continue;
            const QString line = stamp(peer.nickname, ++number);
            if (random.bounded(2)) {
                const QString to = random.bounded(2) ? QStringLiteral("ana") : QStringLiteral("luis");
                peer.send(wire::buildMessage(u"PM", {to, peer.nickname, line}));
                if (peer.stays)
                    toClients.insert(line);
            } else {
                peer.send(wire::buildMessage(u"CHAT", {peer.nickname, line}));
                if (peer.stays)
                    inRoom.insert(line);
            }
            ++sent;
        }
        Peer &mover = *peers[std::size_t(10 + random.bounded(40))];
        if (random.bounded(10) == 0)
            mover.up() ? mover.leave(random.bounded(2)) : mover.join();
        if (random.bounded(5) == 0) {
            Program &client = *clients[std::size_t(random.bounded(2))];
            const QString to = QStringLiteral("p%1").arg(random.bounded(10));
            Conversations &conversations = client.core().conversations();
            int slot = conversations.findByCorrespondent(to);
            if (slot < 0)
                slot = conversations.open(to, client.ownNickname(), Conversations::Origin::User);
            PM *window = client.PMWindows().window(slot);
            const QString line = stamp(client.ownNickname(), ++number);
            window->findChild<QLineEdit *>(QStringLiteral("txtSend"))->setText(line);
            window->findChild<QAbstractButton *>(QStringLiteral("cmdSend"))->click();
            toPeers[to].insert(line);
            ++sent;
        }
    });
    tick.start(100);
    waitFor([&] { return !tick.isActive(); }, int(runMs) + 60'000);
    // Until everything under way has come.
    waitFor([] { return false; }, 5000);

    std::set<QString> gotByClients, roomAna, roomLuis;
    for (auto &client : clients) {
        for (int slot = 0; slot < client->PMWindows().NextPMSlot(); ++slot) {
            if (PM *window = client->PMWindows().window(slot)) {
                const std::set<QString> lines = linesIn(window->history()->toPlainText());
                gotByClients.insert(lines.begin(), lines.end());
            }
        }
    }
    roomAna = linesIn(clients[0]->chat()->history()->toPlainText());
    roomLuis = linesIn(clients[1]->chat()->history()->toPlainText());
    const auto missing = [](const std::set<QString> &wanted, const std::set<QString> &got) {
        qint64 count = 0;
        for (const QString &line : wanted)
            count += got.count(line) == 0;
        return count;
    };
    qint64 wantedByPeers = 0, missingAtPeers = 0;
    for (auto &[to, lines] : toPeers) {
        wantedByPeers += qint64(lines.size());
        missingAtPeers += missing(lines, peers[std::size_t(to.mid(1).toInt())]->received);
    }
    std::printf("%s minutes: %lld lines sent in all\n", qPrintable(parser.value(minutes)), sent);
    std::printf("  private lines to the real clients from peers that stayed: %zu, missing %lld\n",
                toClients.size(), missing(toClients, gotByClients));
    std::printf("  room lines from peers that stayed: %zu, missing at ana %lld, at luis %lld\n",
                inRoom.size(), missing(inRoom, roomAna), missing(inRoom, roomLuis));
    std::printf("  private lines from the real clients to peers that stayed: %lld, missing %lld\n",
                wantedByPeers, missingAtPeers);
    std::printf("  memory after a minute and at the end: server %.1f -> %.1f MiB, this process "
                "(the two clients) %.1f -> %.1f MiB\n",
                serverStartMiB, server.rssMiB(), ownStartMiB, currentRssMiB());
    std::printf("%s", qPrintable(samples));
    // The clients keep every line they show: their memory grows with these.
    int held = 0;
    for (auto &client : clients) {
        held += client->chat()->history()->document()->blockCount();
        for (int slot = 0; slot < client->PMWindows().NextPMSlot(); ++slot)
            if (PM *window = client->PMWindows().window(slot))
                held += window->history()->document()->blockCount();
    }
    std::printf("  lines held in the clients' histories at the end: %d\n", held);
    std::printf("  the server closed %lld connections: %lld for flooding\n",
                server.log().count("disconnected: ") - server.log().count("closed by the client"),
                server.log().count("flood"));
    server.stop();
    const qint64 reports = server.log().count("Sanitizer") + server.log().count("runtime error");
    std::printf("  sanitizer reports from the server: %lld\n", reports);
    return reports > 0 || missing(toClients, gotByClients) + missing(inRoom, roomAna) + missing(inRoom, roomLuis)
            + missingAtPeers
        ? 1
        : 0;
}
