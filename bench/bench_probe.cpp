// One user's traffic must not cost another their messages. Against the real server (a process
// of its own on 127.0.0.55), for 90 s (or --seconds N):
// - 12 connections log in again and again under new nicknames, each within 20 messages a
//   second: every log-in is announced to everyone;
// - 11 connections send private lines to one reader, each within the limit;
// - 5 users send each of 10 readers a private line a second, numbered.
// The readers are plain clients that read at once. Reported: which readers the server closed,
// and how many of the private lines sent to them arrived. Run with --as-before to give the
// server the limits it had before log-ins and piling up were bounded.
#include "protocol/wire.h"
#include "support/raw_server.h"
#include "support/server_process.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <map>
#include <memory>
#include <vector>

namespace {

const QString kAddress = QStringLiteral("127.0.0.55");

// A plain client on a bare socket that logs in, reads each read as one message, and counts the
// private lines it is sent by sender.
class Peer : public QObject {
public:
    explicit Peer(const QString &nickname) : m_nickname(nickname)
    {
        connect(&m_socket, &QTcpSocket::connected, this, [this] {
            m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
            send(wire::buildMessage(u"LOGIN", {m_nickname}));
        });
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
            const wire::Message read(wire::fromCodePage(m_socket.readAll()));
            if (read.command() == u"PM")
                ++received[read.field(2)];
        });
        m_socket.connectToHost(kAddress, wire::ServerPort);
    }
    void send(const QString &text)
    {
        if (connected()) {
            m_socket.write(wire::toCodePage(text));
            ++sent;
        }
    }
    bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    QString nickname() const { return m_nickname; }

    std::map<QString, qint64> received;
    qint64 sent = 0;

private:
    QString m_nickname;
    QTcpSocket m_socket;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("How long."),
                                     QStringLiteral("N"), QStringLiteral("90"));
    const QCommandLineOption asBefore(QStringLiteral("as-before"),
                                      QStringLiteral("Log-ins and piling up unbounded."));
    parser.addOptions({seconds, asBefore});
    parser.process(app);

    ServerProcess server(kAddress);
    if (!server.start(parser.isSet(asBefore)
                          ? QStringList{QStringLiteral("--max-logins"), QStringLiteral("1000000"),
                                        QStringLiteral("--max-waiting"), QStringLiteral("1000000")}
                          : QStringList{}))
        return 1;
    const auto make = [](const QString &prefix, int count) {
        std::vector<std::unique_ptr<Peer>> peers;
        for (int i = 0; i < count; ++i)
            peers.push_back(std::make_unique<Peer>(prefix + QString::number(i)));
        return peers;
    };
    auto readers = make(QStringLiteral("r"), 10);
    auto users = make(QStringLiteral("u"), 5);
    auto reLoggers = make(QStringLiteral("a"), 12);
    auto flooders = make(QStringLiteral("f"), 11);
    waitFor([&] { return server.log().count("logged in as") == 38; }, 20'000);
    std::printf("%s, %s s: 10 readers, 5 users, 12 re-loggers, 11 flooders logged in\n",
                parser.isSet(asBefore) ? "as before" : "as now",
                qPrintable(parser.value(seconds)));

    QElapsedTimer clock;
    clock.start();
    const qint64 runMs = parser.value(seconds).toLongLong() * 1000;
    qint64 ticks = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    // Every 50 ms: a log-in from each re-logger, a line from each flooder but every twentieth
    // time (19 a second), and a line from each user to one reader, in turn (each reader gets
    // one a second from each user). Plain clients: a peer never writes twice within 5 ms, even
    // when the timer is late.
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (ticks >= clock.elapsed() / 50 || clock.elapsed() >= runMs)
            return;
        for (auto &peer : reLoggers)
            peer->send(wire::buildMessage(
                u"LOGIN", {peer->nickname() + QLatin1Char('_') + QString::number(ticks)}));
        if (ticks % 20 != 19) {
            for (auto &peer : flooders)
                peer->send(wire::buildMessage(u"PM", {u"r0", peer->nickname(), u"x"}));
        }
        if (ticks % 2 == 0) {
            for (auto &user : users) {
                const QString reader = readers[std::size_t(ticks / 2 % 10)]->nickname();
                user->send(wire::buildMessage(u"PM", {reader, user->nickname(),
                                                      QString::number(ticks)}));
            }
        }
        ++ticks;
    });
    tick.start(5);
    waitFor([&] { return clock.elapsed() >= runMs; }, int(runMs) + 10'000);
    tick.stop();
    // Until everything queued has arrived.
    qint64 arrived = -1;
    waitFor([&] {
        qint64 now = 0;
        for (auto &reader : readers)
            for (const auto &[from, count] : reader->received)
                now += count;
        return std::exchange(arrived, now) == now && now > 0;
    }, 120'000);

    int readersOpen = 0;
    qint64 userLines = 0, userLinesArrived = 0, floodLines = 0, floodLinesArrived = 0;
    for (auto &reader : readers)
        readersOpen += reader->connected();
    for (auto &user : users) {
        userLines += user->sent - 1;
        for (auto &reader : readers)
            userLinesArrived += reader->received[user->nickname()];
    }
    for (auto &flooder : flooders) {
        floodLines += flooder->sent - 1;
        floodLinesArrived += readers[0]->received[flooder->nickname()];
    }
    int reLoggersOpen = 0, floodersOpen = 0;
    for (auto &peer : reLoggers)
        reLoggersOpen += peer->connected();
    for (auto &peer : flooders)
        floodersOpen += peer->connected();
    std::printf("  readers still connected: %d of 10\n"
                "  users' private lines to the readers: %lld sent, %lld arrived, %lld lost\n"
                "  flooders' private lines to r0: %lld sent, %lld arrived, %lld lost\n"
                "  re-loggers still connected: %d of 12; flooders: %d of 11\n"
                "  server: %.1f s of CPU, %.1f MiB resident\n"
                "  server's closings: %lld\n",
                readersOpen, userLines, userLinesArrived, userLines - userLinesArrived, floodLines,
                floodLinesArrived, floodLines - floodLinesArrived, reLoggersOpen, floodersOpen,
                server.cpuSeconds(), server.rssMiB(), server.log().count("disconnected: "));
    std::map<QString, int> reasons;
    for (const QByteArray &line : server.log().split('\n')) {
        if (const qsizetype at = line.indexOf("disconnected: "); at >= 0)
            ++reasons[QString::fromUtf8(line.mid(at + 14))];
    }
    for (const auto &[reason, count] : reasons)
        std::printf("    %3d %s\n", count, qPrintable(reason));
    std::printf("  held back: %lld times\n", server.log().count("held back"));
    return 0;
}
