// What encryption costs, with the client's own socket against the relay server as a process of
// its own on a loopback address: once with the server's defaults (TLS) and once with --no-tls
// (framed, in clear).
// (a) Connecting and logging in, 50 clients one after another: from connectTo() to the client
//     reading its own NICK (the TLS handshake, a full one every time, included).
// (b) A private line's latency with the 50 clients online, each writing to the next one twice
//     a second: from the sender's sendData() to the recipient's data-arrival event.
// Then the server's CPU time and memory.
//
//   build/bench/bench/bench_tls [--seconds N]
#include "protocol/client_socket.h"
#include "protocol/wire.h"
#include "support/server_process.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

const QString kAddress = QStringLiteral("127.0.0.57");
constexpr int kClients = 50;

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

struct Client {
    std::unique_ptr<ClientSocket> socket;
    QString nickname;
    bool loggedIn = false;
};

void run(const char *mode, const QStringList &options, int seconds)
{
    ServerProcess server(kAddress);
    if (!server.start(options))
        return;
    QElapsedTimer clock;
    clock.start();
    std::vector<Client> clients(kClients);
    std::vector<double> logIns;
    std::vector<double> latencies;
    int encrypted = 0;
    for (int i = 0; i < kClients; ++i) {
        Client &client = clients[std::size_t(i)];
        client.socket = std::make_unique<ClientSocket>();
        client.nickname = QStringLiteral("usuario%1").arg(i, 2, 10, QLatin1Char('0'));
        ClientSocket *socket = client.socket.get();
        QObject::connect(socket, &ClientSocket::connected, socket, [&client, socket] {
            socket->sendData(wire::buildMessage(u"LOGIN", {client.nickname}));
        });
        const qint64 start = clock.nsecsElapsed();
        QObject::connect(socket, &ClientSocket::dataArrival, socket, [&, socket, start] {
            const wire::Message message(socket->getData());
            const qint64 now = clock.nsecsElapsed();
            if (message.command() == u"NICK" && message.field(1) == client.nickname
                && !client.loggedIn) {
                client.loggedIn = true;
                logIns.push_back(double(now - start) / 1e6);
            } else if (message.command() == u"PM") {
                latencies.push_back(double(now - message.field(3).toLongLong()) / 1e6);
            }
        });
        socket->connectTo(kAddress, wire::ServerPort);
        if (!waitFor([&client] { return client.loggedIn; }, 10'000)) {
            std::printf("  %s: client %d did not log in\n", mode, i);
            return;
        }
        encrypted += socket->fingerprint().isEmpty() ? 0 : 1;
    }

    // Each client writes to the next, twice a second, the writers taking turns every 10 ms.
    int turn = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] {
        const int from = turn++ % kClients;
        const Client &to = clients[std::size_t((from + 1) % kClients)];
        clients[std::size_t(from)].socket->sendData(wire::buildMessage(
            u"PM", {to.nickname, clients[std::size_t(from)].nickname,
                    QString::number(clock.nsecsElapsed())}));
    });
    ticker.start(1000 / (2 * kClients));
    const int lines = seconds * 2 * kClients;
    waitFor([&] { return turn >= lines; }, seconds * 2000 + 10'000);
    ticker.stop();
    waitFor([&] { return int(latencies.size()) >= lines; }, 10'000);

    std::printf("%s: %d of %d clients encrypted\n", mode, encrypted, kClients);
    std::printf("  connect and log in: median %.1f ms, p99 %.1f ms, slowest %.1f ms\n",
                percentile(logIns, 0.5), percentile(logIns, 0.99), percentile(logIns, 1));
    std::printf("  private line: %zu of %d arrived; p50 %.2f ms, p99 %.2f ms\n",
                latencies.size(), turn, percentile(latencies, 0.5), percentile(latencies, 0.99));
    std::printf("  server: %.2f s CPU, %.1f MiB resident\n", server.cpuSeconds(),
                server.rssMiB());
    clients.clear();
    server.stop();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption seconds(QStringLiteral("seconds"),
                                     QStringLiteral("How long the private lines run."),
                                     QStringLiteral("N"), QStringLiteral("20"));
    parser.addOption(seconds);
    parser.addHelpOption();
    parser.process(app);
    const int duration = std::max(1, parser.value(seconds).toInt());
    run("encrypted (TLS)", {}, duration);
    run("clear (--no-tls)", {QStringLiteral("--no-tls")}, duration);
    return 0;
}
