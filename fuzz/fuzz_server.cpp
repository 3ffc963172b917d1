// The relay server on what several connections send: the input is a sequence of records (which
// connection, how many bytes, the bytes), written to four framed clients on a loopback address.
// Afterwards, what every client read must hold: a message that names its sender or a listed
// user names someone who logged in, never what a client merely claimed.
#include "protocol/wire.h"
#include "server/relay/relay_server.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSet>
#include <QTcpSocket>
#include <QTextStream>

#include <array>
#include <cstdlib>
#include <memory>

namespace {

constexpr int kClients = 4;
const QHostAddress kAddress(QStringLiteral("127.0.0.78"));

struct Client {
    std::unique_ptr<QTcpSocket> socket;
    QString peer;
    wire::FrameReader in{1 << 24};
    wire::FrameReader out{1 << 24};
    // Bytes of whole messages written, and of those the server has handled.
    qint64 sent = 0;
    qint64 handled = 0;
};

class World {
public:
    World()
    {
        static int argc = 1;
        static char name[] = "fuzz_server";
        static char *argv[] = {name, nullptr};
        m_app = std::make_unique<QCoreApplication>(argc, argv);
        restart();
    }

    void restart()
    {
        m_clients = {};
        m_server.reset();
        m_log.clear();
        ServerConfig config;
        config.listenAddress = kAddress;
        config.gap = std::chrono::milliseconds(0);
        // What the fuzzer writes would never make a TLS handshake.
        config.offerTls = false;
        config.maxMessagesPerSecond = 100'000;
        config.maxBytesPerSecond = 64 * 1024 * 1024;
        config.maxLoginsPerMinute = 100'000;
        config.maxNewCorrespondentsPerMinute = 100'000;
        config.maxNewCorrespondentsPerAddress = 100'000;
        // Every client comes from one address, and a refusal must not stall a run.
        config.maxConnectionsPerAddress = 100'000;
        config.maxNotLoggedInPerAddress = 100'000;
        config.maxLoginsPerAddress = 100'000;
        config.refusalDelay = std::chrono::milliseconds(0);
        config.maxWaitingFromOne = 100'000;
        config.bootGrace = std::chrono::milliseconds(0);
        m_server = std::make_unique<RelayServer>(config, m_stream);
        if (!m_server->listen())
            std::abort();
        QObject::connect(m_server.get(), &RelayServer::readHandled,
                         [this](const QString &peer, qint64 bytes) {
                             for (Client &client : m_clients)
                                 client.handled += client.peer == peer ? bytes : 0;
                         });
        m_loggedIn.clear();
        m_runs = 0;
    }

    Client &client(int index)
    {
        Client &client = m_clients[std::size_t(index)];
        if (client.socket && client.socket->state() == QAbstractSocket::ConnectedState)
            return client;
        client = Client();
        client.socket = std::make_unique<QTcpSocket>();
        client.socket->connectToHost(kAddress, wire::ServerPort);
        if (!client.socket->waitForConnected(5000))
            std::abort();
        client.peer = client.socket->localAddress().toString() + QLatin1Char(':')
            + QString::number(client.socket->localPort());
        write(client, wire::marker(wire::Accept));
        return client;
    }

    void write(Client &client, const QByteArray &bytes)
    {
        client.socket->write(bytes);
        // Whom the server may name: whoever a client asked to log in as.
        for (const QByteArray &message : client.out.feed(bytes)) {
            client.sent += message.size() + 1;
            const wire::Message sent(wire::fromCodePage(message));
            if (sent.command() == QStringLiteral("LOGIN") && !sent.field(1).isEmpty())
                m_loggedIn.insert(sent.field(1));
        }
    }

    // Until the server has handled what was written, or a connection is gone.
    void settle()
    {
        QElapsedTimer clock;
        clock.start();
        const auto done = [this] {
            for (const Client &client : m_clients) {
                if (client.socket && client.socket->state() == QAbstractSocket::ConnectedState
                    && client.handled < client.sent)
                    return false;
            }
            return true;
        };
        while (!done() && clock.elapsed() < 300)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void check()
    {
        static const QSet<QString> namedInField1 = {
            QStringLiteral("NICK"),  QStringLiteral("IGNORE"), QStringLiteral("CHAT"),
            QStringLiteral("ENTER"), QStringLiteral("LEAVE"),  QStringLiteral("LOGOUT")};
        for (Client &client : m_clients) {
            if (!client.socket)
                continue;
            for (const QByteArray &bytes : client.in.feed(client.socket->readAll())) {
                const wire::Message message(wire::fromCodePage(bytes));
                const QString command = message.command();
                if ((namedInField1.contains(command) && !m_loggedIn.contains(message.field(1)))
                    || (command == QStringLiteral("PM") && !m_loggedIn.contains(message.field(2))))
                    std::abort();
            }
        }
        if (++m_runs > 2000 || m_log.size() > (1 << 20))
            restart();
    }

private:
    std::unique_ptr<QCoreApplication> m_app;
    QString m_log;
    QTextStream m_stream{&m_log};
    std::unique_ptr<RelayServer> m_server;
    std::array<Client, kClients> m_clients;
    QSet<QString> m_loggedIn;
    int m_runs = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    // Never destroyed: Qt's objects must not go with the process's statics.
    static World &world = *new World;
    for (std::size_t at = 0; at + 2 <= size;) {
        const int index = data[at] % kClients;
        const std::size_t length = std::min<std::size_t>(data[at + 1], size - at - 2);
        world.write(world.client(index),
                    QByteArray(reinterpret_cast<const char *>(data + at + 2), qsizetype(length)));
        at += 2 + length;
    }
    world.settle();
    world.check();
    return 0;
}
