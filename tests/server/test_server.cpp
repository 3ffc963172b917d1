// The relay server against raw sockets on 127.0.0.21 to 127.0.0.27: the exact bytes it relays,
// who gets what, pacing, the administrator, and clients that misbehave.
#include "protocol/wire.h"
#include "server/admin_console.h"
#include "server/command_line.h"
#include "server/relay_server.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QTextStream>
#include <QTimer>

#include <functional>
#include <optional>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const QByteArray kSep("\xA4\xB6\xA3\xC6");

// A message as it goes on the wire: fields joined by the separator, code page 1252.
QByteArray msg(const QStringList &fields)
{
    return wire::toCodePage(fields.join(wire::FieldSeparator));
}

QByteArray nicks(const QStringList &names)
{
    QByteArray all;
    for (const QString &name : names)
        all += msg({"NICK", name});
    return all;
}

// Runs the event loop until the condition holds. Unlike QTest::qWaitFor, which sleeps between
// rounds of events, this keeps the loop waiting on the sockets, so every client here reads as
// promptly as a real one.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 5000)
{
    if (condition())
        return true;
    QEventLoop loop;
    QTimer check;
    check.setTimerType(Qt::PreciseTimer);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    check.start(1);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return condition();
}

ServerConfig configFor(const char *address)
{
    ServerConfig config;
    config.listenAddress = QHostAddress(QString::fromLatin1(address));
    return config;
}

// A server with its log kept in memory.
class World {
public:
    explicit World(const ServerConfig &config)
        : server(config, m_stream), address(config.listenAddress)
    {
        listening = server.listen();
    }

    QString log() const { return m_log; }

private:
    QString m_log;
    QTextStream m_stream{&m_log};

public:
    RelayServer server;
    QHostAddress address;
    bool listening = false;
};

// A client made of a bare socket. It keeps what it receives as one byte stream and as the list
// of reads it came in.
class Peer : public QObject {
public:
    explicit Peer(World &world, const QString &nickname = QString()) : m_nickname(nickname)
    {
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
            const QByteArray data = m_socket.readAll();
            m_reads.append(data);
            m_buffer += data;
        });
        connect(&world.server, &RelayServer::readHandled, this,
                [this](const QString &peer, qint64 bytes) {
                    if (peer == m_name)
                        m_handled += bytes;
                });
        m_socket.connectToHost(world.address, wire::ServerPort);
        if (waitUntil([this] { return isConnected(); }))
            m_name = m_socket.localAddress().toString() + ':'
                + QString::number(m_socket.localPort());
    }

    // The address and port the server sees, as its log shows them.
    QString name() const { return m_name; }
    QString nickname() const { return m_nickname; }
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    const QList<QByteArray> &reads() const { return m_reads; }

    void write(const QByteArray &bytes)
    {
        m_socket.write(bytes);
        m_sent += bytes.size();
    }

    // Sends and waits until the server has handled it, so that the next one is a read of its own.
    bool sendBytes(const QByteArray &bytes)
    {
        write(bytes);
        return waitHandled();
    }
    bool send(const QStringList &fields) { return sendBytes(msg(fields)); }
    bool logIn() { return send({"LOGIN", m_nickname}); }

    // Until the server has read everything written so far, or the connection is gone.
    bool waitHandled(int timeoutMs = 5000)
    {
        return waitUntil([this] { return m_handled >= m_sent || !isConnected(); }, timeoutMs);
    }

    // The next bytes received, once that many have come. On a timeout, whatever did come, for
    // the caller's comparison to show.
    QByteArray next(qsizetype size, int timeoutMs = 5000)
    {
        if (!waitUntil([&] { return m_buffer.size() >= size; }, timeoutMs))
            size = m_buffer.size();
        const QByteArray taken = m_buffer.left(size);
        m_buffer.remove(0, taken.size());
        return taken;
    }

    // Waits for the bytes and takes them with everything before them; returns what came before.
    std::optional<QByteArray> skipTo(const QByteArray &bytes, int timeoutMs = 5000)
    {
        if (!waitUntil([&] { return m_buffer.contains(bytes); }, timeoutMs))
            return std::nullopt;
        const qsizetype at = m_buffer.indexOf(bytes);
        const QByteArray before = m_buffer.left(at);
        m_buffer.remove(0, at + bytes.size());
        return before;
    }

    // What arrived before a private message to itself came back. The server sends each
    // client's messages in order, so whatever it had for this client before it handled the
    // message has arrived by then.
    QByteArray sync()
    {
        const QByteArray echo = msg({"PM", m_nickname, m_nickname, "sync"});
        sendBytes(echo);
        return skipTo(echo).value_or("(no echo)");
    }

    void stopReading()
    {
        m_socket.disconnect(this);
        m_socket.setReadBufferSize(1);
    }

    bool waitClosed(int timeoutMs = 5000)
    {
        return waitUntil(
            [this] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
    }

    void close() { m_socket.abort(); }

private:
    QString m_nickname;
    QTcpSocket m_socket;
    QString m_name;
    QByteArray m_buffer;
    QList<QByteArray> m_reads;
    qint64 m_sent = 0;
    qint64 m_handled = 0;
};

} // namespace

// The next bytes the peer receives are exactly these.
#define RECEIVES(peer, bytes)                                                                    \
    do {                                                                                         \
        const QByteArray expected_ = (bytes);                                                    \
        QCOMPARE((peer).next(expected_.size()), expected_);                                      \
    } while (false)

class TestServer : public QObject {
    Q_OBJECT

    // Logs the peers in, in order. Each gets the same list: one NICK per user, in log-in order
    // (the newcomer's own list, then an announcement for each later user).
    void logInAll(std::initializer_list<Peer *> peers)
    {
        QStringList names;
        for (Peer *peer : peers) {
            QVERIFY(peer->logIn());
            names.append(peer->nickname());
        }
        for (Peer *peer : peers)
            RECEIVES(*peer, nicks(names));
    }

private Q_SLOTS:
    void logInListsEveryoneAndAnnouncesTheNewcomer()
    {
        World world(configFor("127.0.0.21"));
        QVERIFY(world.listening);
        Peer ana(world, "ana");
        QVERIFY(ana.logIn());
        RECEIVES(ana, QByteArray("NICK\xA4\xB6\xA3\xC6" "ana"));

        Peer luis(world, "luis");
        QVERIFY(luis.logIn());
        RECEIVES(luis, nicks({"ana", "luis"}));
        RECEIVES(ana, nicks({"luis"}));

        // A nickname already online is accepted, and both connections are listed.
        Peer otherAna(world, "ana");
        QVERIFY(otherAna.logIn());
        RECEIVES(otherAna, nicks({"ana", "luis", "ana"}));
        RECEIVES(ana, nicks({"ana"}));
        RECEIVES(luis, nicks({"ana"}));

        // As the client sends it, and without the separator.
        QVERIFY(luis.sendBytes("GETUSER\xA4\xB6\xA3\xC6"));
        RECEIVES(luis, nicks({"ana", "luis", "ana"}));
        QVERIFY(luis.sendBytes("GETUSER"));
        RECEIVES(luis, nicks({"ana", "luis", "ana"}));

        Peer nino(world, "Niño €");
        QVERIFY(nino.logIn());
        RECEIVES(nino, nicks({"ana", "luis", "ana"}) + "NICK\xA4\xB6\xA3\xC6Ni\xF1o \x80");
        RECEIVES(luis, nicks({"Niño €"}));
        QCOMPARE(luis.sync(), QByteArray());

        QVERIFY(world.log().contains(luis.name() + " logged in as \"luis\"\n"));
        QVERIFY(world.log().contains(otherAna.name() + " logged in as \"ana\"\n"));
    }

    // A second LOGIN on a connection logs the old name out and the new one in.
    void logInAgainSwitchesTheName()
    {
        World world(configFor("127.0.0.21"));
        QVERIFY(world.listening);
        Peer ana(world, "ana");
        Peer luis(world, "luis");
        QVERIFY(ana.logIn());
        QVERIFY(luis.logIn());
        RECEIVES(ana, nicks({"ana", "luis"}));
        RECEIVES(luis, nicks({"ana", "luis"}));
        QVERIFY(ana.send({"ENTER", "ana"}));
        QVERIFY(luis.send({"ENTER", "luis"}));
        RECEIVES(ana, msg({"ENTER", "ana"}) + msg({"ENTER", "luis"}));
        RECEIVES(luis, msg({"ENTER", "luis"}));

        QVERIFY(ana.send({"LOGIN", "anita"}));
        RECEIVES(luis, msg({"LEAVE", "ana"}) + msg({"LOGOUT", "ana"}) + nicks({"anita"}));
        RECEIVES(ana, nicks({"luis", "anita"}));
        // The new name is not in the room; the old one left it.
        QVERIFY(luis.send({"CHAT", "luis", "hola"}));
        RECEIVES(luis, msg({"CHAT", "luis", "hola"}));
        QVERIFY(ana.send({"PM", "anita", "anita", "sync"}));
        RECEIVES(ana, msg({"PM", "anita", "anita", "sync"}));
        QVERIFY(world.log().contains(ana.name() + " \"ana\" logged in again as \"anita\"\n"));

        // Without a nickname, LOGIN changes nothing.
        QVERIFY(ana.send({"LOGIN", ""}));
        QVERIFY(ana.send({"LOGIN"}));
        QCOMPARE(luis.sync(), QByteArray());
    }

    void privateMessagesAndIgnoreReachEveryConnectionOfTheirAddressee()
    {
        World world(configFor("127.0.0.21"));
        QVERIFY(world.listening);
        Peer ana(world, "ana");
        Peer otherAna(world, "ana");
        Peer luis(world, "luis");
        Peer eva(world, "eva");
        logInAll({&ana, &otherAna, &luis, &eva});
        if (QTest::currentTestFailed())
            return;

        // The sender field is the connection's own nickname, whatever the message says.
        QVERIFY(luis.send({"PM", "ana", "eva", "hola, ¿qué tal? €"}));
        const QByteArray pm("PM\xA4\xB6\xA3\xC6" "ana\xA4\xB6\xA3\xC6" "luis\xA4\xB6\xA3\xC6"
                            "hola, \xBFqu\xE9 tal? \x80");
        RECEIVES(ana, pm);
        RECEIVES(otherAna, pm);

        QVERIFY(luis.send({"PM", "nadie", "luis", "¿hay alguien?"}));

        // IGNORE answers a PM: it goes to the PM's sender, named in field 2, with field 1
        // replaced. One answer per PM: a second one, or one that no PM provoked, goes nowhere.
        QVERIFY(ana.send({"IGNORE", "eva", "luis"}));
        RECEIVES(luis, QByteArray("IGNORE\xA4\xB6\xA3\xC6" "ana\xA4\xB6\xA3\xC6" "luis"));
        QVERIFY(ana.send({"IGNORE", "ana", "luis"}));
        QVERIFY(eva.send({"IGNORE", "eva", "luis"}));
        QVERIFY(otherAna.send({"PM", "luis", "ana", "¿me bloqueas?"}));
        RECEIVES(luis, msg({"PM", "luis", "ana", "¿me bloqueas?"}));
        QVERIFY(luis.send({"IGNORE", "luis", "ana"}));
        RECEIVES(ana, msg({"IGNORE", "luis", "ana"}));
        RECEIVES(otherAna, msg({"IGNORE", "luis", "ana"}));

        QCOMPARE(eva.sync(), QByteArray());
        QCOMPARE(luis.sync(), QByteArray());
        QCOMPARE(ana.sync(), QByteArray());
        RECEIVES(otherAna, msg({"PM", "ana", "ana", "sync"}));
        QVERIFY(!world.log().contains("qué"));
        QVERIFY(!world.log().contains("alguien"));
        QVERIFY(!world.log().contains("bloqueas"));
    }

    // Nothing a client adds or leaves out is relayed: every message is rebuilt from its fields,
    // and a read is one message, whatever it holds.
    void relayedMessagesAreRebuiltFromTheirFields_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("relayed");
        QTest::newRow("PM, sender replaced")
            << msg({"PM", "ana", "eva", "hola"}) << msg({"PM", "ana", "luis", "hola"});
        QTest::newRow("PM, extra field") << msg({"PM", "ana", "luis", "hola", "eva"})
                                         << msg({"PM", "ana", "luis", "hola"});
        QTest::newRow("PM, no text") << msg({"PM", "ana"}) << msg({"PM", "ana", "luis", ""});
        QTest::newRow("PM, empty field") << "PM" + kSep + "ana" + kSep + kSep + "eva" + kSep + "x"
                                         << msg({"PM", "ana", "luis", "eva"});
        QTest::newRow("PM, part of a separator is text")
            << QByteArray("PM" + kSep + "ana" + kSep + "luis" + kSep + "a\xA4\xB6\xA3z")
            << QByteArray("PM" + kSep + "ana" + kSep + "luis" + kSep + "a\xA4\xB6\xA3z");
        QTest::newRow("two messages in one read")
            << msg({"PM", "ana", "luis", "uno"}) + msg({"PM", "ana", "luis", "dos"})
            << msg({"PM", "ana", "luis", "unoPM"});
        QTest::newRow("IGNORE, blocker replaced, extra field")
            << msg({"IGNORE", "eva", "ana", "x"}) << msg({"IGNORE", "luis", "ana"});
        QTest::newRow("CHAT, sender replaced, extra field")
            << msg({"CHAT", "eva", "hola", "x"}) << msg({"CHAT", "luis", "hola"});
        QTest::newRow("CHAT, trailing separator")
            << "CHAT" + kSep + "luis" + kSep + "hola" + kSep << msg({"CHAT", "luis", "hola"});
        QTest::newRow("LEAVE, sender replaced")
            << msg({"LEAVE", "eva", "x"}) << msg({"LEAVE", "luis"});
        QTest::newRow("LOGOUT, sender replaced")
            << msg({"LOGOUT", "eva"}) << msg({"LEAVE", "luis"}) + msg({"LOGOUT", "luis"});
        QTest::newRow("lower-case command") << msg({"pm", "ana", "luis", "hola"}) << QByteArray();
        QTest::newRow("command with a space")
            << msg({"PM ", "ana", "luis", "hola"}) << QByteArray();
        QTest::newRow("server's own command") << msg({"NICK", "eva"}) << QByteArray();
        QTest::newRow("no separator at all") << QByteArray("PM ana luis hola") << QByteArray();
    }

    void relayedMessagesAreRebuiltFromTheirFields()
    {
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, relayed);
        World world(configFor("127.0.0.21"));
        QVERIFY(world.listening);
        Peer ana(world, "ana");
        Peer luis(world, "luis");
        QVERIFY(ana.logIn());
        QVERIFY(luis.logIn());
        QVERIFY(ana.send({"ENTER", "ana"}));
        QVERIFY(luis.send({"ENTER", "luis"}));
        RECEIVES(ana, nicks({"ana", "luis"}) + msg({"ENTER", "ana"}) + msg({"ENTER", "luis"}));
        QVERIFY(ana.send({"PM", "luis", "ana", "una IGNORE para mí"}));

        QVERIFY(luis.sendBytes(sent));
        RECEIVES(ana, relayed);
        QCOMPARE(ana.sync(), QByteArray());
    }

    void theChatRoomIsWhoEnteredAndHasNotLeft()
    {
        World world(configFor("127.0.0.21"));
        QVERIFY(world.listening);
        Peer ana(world, "ana");
        Peer luis(world, "luis");
        Peer eva(world, "eva");
        logInAll({&ana, &luis, &eva});
        if (QTest::currentTestFailed())
            return;

        // ENTER and LEAVE go to the room and to whoever entered or left.
        QVERIFY(ana.send({"ENTER", "eva"}));
        RECEIVES(ana, QByteArray("ENTER\xA4\xB6\xA3\xC6" "ana"));
        QVERIFY(luis.send({"ENTER", "luis"}));
        RECEIVES(ana, msg({"ENTER", "luis"}));
        RECEIVES(luis, msg({"ENTER", "luis"}));
        QVERIFY(ana.send({"ENTER", "ana"})); // already in: nothing

        // CHAT goes to every member, the sender too; a non-member's line goes nowhere.
        QVERIFY(eva.send({"CHAT", "eva", "¿me oís?"}));
        QVERIFY(ana.send({"CHAT", "ana", "hola a todos"}));
        const QByteArray line("CHAT\xA4\xB6\xA3\xC6" "ana\xA4\xB6\xA3\xC6" "hola a todos");
        RECEIVES(ana, line);
        RECEIVES(luis, line);

        QVERIFY(luis.send({"LEAVE", "luis"}));
        RECEIVES(ana, msg({"LEAVE", "luis"}));
        RECEIVES(luis, msg({"LEAVE", "luis"}));
        QVERIFY(eva.send({"LEAVE", "eva"})); // not in: nothing
        QVERIFY(ana.send({"CHAT", "ana", "¿solo yo?"}));
        RECEIVES(ana, msg({"CHAT", "ana", "¿solo yo?"}));

        QCOMPARE(eva.sync(), QByteArray());
        QCOMPARE(luis.sync(), QByteArray());
        QCOMPARE(ana.sync(), QByteArray());
        QVERIFY(!world.log().contains("todos"));
    }

    // LOGOUT and a closed connection both take the user out of the list and the room; the
    // connection that sent LOGOUT stays open, for its client closes it itself.
    void logOutAndDisconnectionAreAnnounced()
    {
        World world(configFor("127.0.0.21"));
        QVERIFY(world.listening);
        Peer ana(world, "ana");
        Peer luis(world, "luis");
        Peer eva(world, "eva");
        logInAll({&ana, &luis, &eva});
        if (QTest::currentTestFailed())
            return;
        QVERIFY(ana.send({"ENTER", "ana"}));
        QVERIFY(luis.send({"ENTER", "luis"}));
        RECEIVES(ana, msg({"ENTER", "ana"}) + msg({"ENTER", "luis"}));
        RECEIVES(luis, msg({"ENTER", "luis"}));

        QVERIFY(ana.send({"LOGOUT", "luis"}));
        RECEIVES(luis, QByteArray("LEAVE\xA4\xB6\xA3\xC6" "ana" "LOGOUT\xA4\xB6\xA3\xC6" "ana"));
        RECEIVES(eva, msg({"LOGOUT", "ana"}));
        QVERIFY(ana.isConnected());
        QVERIFY(world.log().contains(ana.name() + " \"ana\" logged out\n"));

        luis.close();
        RECEIVES(eva, msg({"LOGOUT", "luis"}));
        QVERIFY(world.log().contains(luis.name() + " disconnected: closed by the client\n"));
        QVERIFY(world.log().contains(luis.name() + " \"luis\" disconnected\n"));

        // Both have left the room, and the logged-out connection was sent nothing meanwhile.
        QVERIFY(eva.send({"ENTER", "eva"}));
        RECEIVES(eva, msg({"ENTER", "eva"}));
        QVERIFY(ana.logIn());
        RECEIVES(ana, nicks({"eva", "ana"}));
        RECEIVES(eva, nicks({"ana"}));
        QCOMPARE(eva.sync(), QByteArray());
    }

    void aConnectionThatHasNotLoggedInIsNeitherHeardNorTold()
    {
        World world(configFor("127.0.0.21"));
        QVERIFY(world.listening);
        Peer ana(world, "ana");
        QVERIFY(ana.logIn());
        RECEIVES(ana, nicks({"ana"}));

        Peer stranger(world, "extra");
        const QList<QStringList> ignored = {
            {"PM", "ana", "extra", "hola"}, {"IGNORE", "extra", "ana"}, {"ENTER", "extra"},
            {"CHAT", "extra", "hola"},      {"LEAVE", "extra"},         {"GETUSER", ""},
            {"LOGOUT", "extra"},            {"LOGIN", ""},              {"LOGIN"},
        };
        for (const QStringList &fields : ignored)
            QVERIFY(stranger.send(fields));
        QCOMPARE(ana.sync(), QByteArray());

        Peer luis(world, "luis");
        QVERIFY(luis.logIn());
        RECEIVES(luis, nicks({"ana", "luis"}));
        RECEIVES(ana, nicks({"luis"}));
        QVERIFY(ana.send({"ENTER", "ana"}));
        RECEIVES(ana, msg({"ENTER", "ana"}));
        world.server.admin("msg hola");
        RECEIVES(ana, msg({"MESSAGE", "hola"}));
        RECEIVES(luis, msg({"MESSAGE", "hola"}));

        // Its first bytes ever are the list it gets for logging in.
        QVERIFY(stranger.logIn());
        RECEIVES(stranger, nicks({"ana", "luis", "extra"}));

        // Nobody is told when a connection that never logged in goes.
        Peer passerby(world);
        QVERIFY(waitUntil([&] { return world.log().contains(passerby.name() + " connected\n"); }));
        passerby.close();
        QVERIFY(waitUntil([&] { return world.log().contains(passerby.name() + " disconnected"); }));
        RECEIVES(ana, nicks({"extra"}));
        QCOMPARE(ana.sync(), QByteArray());
    }

    // Queued messages leave one write at a time, the gap apart, so a client that reads
    // promptly gets each as a read of its own.
    void aBurstArrivesOneMessagePerRead()
    {
        const ServerConfig config = configFor("127.0.0.22");
        World world(config);
        QVERIFY(world.listening);
        Peer ana(world, "ana");
        QVERIFY(ana.logIn());
        RECEIVES(ana, nicks({"ana"}));
        QCOMPARE(ana.reads().size(), 1);

        constexpr int count = 200;
        QByteArray all;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < count; ++i) {
            world.server.admin(QStringLiteral("msg aviso %1").arg(i));
            all += msg({"MESSAGE", QStringLiteral("aviso %1").arg(i)});
        }
        RECEIVES(ana, all);
        const qint64 elapsed = clock.nsecsElapsed();
        QCOMPARE(ana.reads().size(), 1 + count);
        for (int i = 0; i < count; ++i)
            QCOMPARE(ana.reads().at(1 + i), msg({"MESSAGE", QStringLiteral("aviso %1").arg(i)}));
        QVERIFY2(elapsed >= std::chrono::nanoseconds(config.gap * (count - 1)).count(),
                 qPrintable(QString::number(elapsed / 1'000'000) + " ms"));
    }

    void administratorCommands()
    {
        ServerConfig config = configFor("127.0.0.23");
        config.bootGrace = 300ms;
        World world(config);
        QVERIFY(world.listening);
        Peer ana(world, "ana");
        Peer luis(world, "luis");
        Peer otherAna(world, "ana");
        Peer stranger(world, "extra");
        logInAll({&ana, &luis, &otherAna});
        if (QTest::currentTestFailed())
            return;
        QVERIFY(luis.send({"ENTER", "luis"}));
        RECEIVES(luis, msg({"ENTER", "luis"}));

        world.server.admin("msg  Cierre a las 22:00, año nuevo ");
        const QByteArray notice("MESSAGE\xA4\xB6\xA3\xC6" "Cierre a las 22:00, a\xF1o nuevo");
        RECEIVES(ana, notice);
        RECEIVES(luis, notice);
        RECEIVES(otherAna, notice);

        world.server.admin("users");
        QVERIFY(world.log().contains(" - 3 users online, 1 more connected, not logged in\n"));
        QVERIFY(world.log().contains(ana.name() + " \"ana\"\n"));
        QVERIFY(world.log().contains(luis.name() + " \"luis\" in the room\n"));
        QVERIFY(world.log().contains(otherAna.name() + " \"ana\"\n"));

        for (const char *line : {"frobnicate", "msg", "boot", "users now"}) {
            const qsizetype before = world.log().count(RelayServer::adminHelp());
            world.server.admin(line);
            QCOMPARE(world.log().count(RelayServer::adminHelp()), before + 1);
        }
        world.server.admin("boot nadie");
        QVERIFY(world.log().contains(" - boot: nobody called \"nadie\" is online\n"));

        // Both of ana's connections are told; the one that logs out stays open, the other is
        // closed once the grace time is over.
        QElapsedTimer clock;
        clock.start();
        world.server.admin("boot ana");
        RECEIVES(ana, QByteArray("BOOT\xA4\xB6\xA3\xC6" "ana"));
        RECEIVES(otherAna, msg({"BOOT", "ana"}));
        QVERIFY(world.log().contains(ana.name() + " booted \"ana\", closing in 300 ms"));
        QVERIFY(ana.send({"LOGOUT", "ana"}));
        RECEIVES(luis, msg({"LOGOUT", "ana"}));
        QVERIFY(otherAna.send({"CHAT", "ana", "no me voy"})); // booted: ignored
        QVERIFY(otherAna.send({"ENTER", "ana"}));
        QVERIFY(otherAna.waitClosed());
        QVERIFY(clock.elapsed() >= 300);
        RECEIVES(luis, msg({"LOGOUT", "ana"}));
        QVERIFY(world.log().contains(otherAna.name() + " disconnected: booted\n"));
        QCOMPARE(luis.sync(), QByteArray());

        QVERIFY(ana.isConnected());
        QVERIFY(ana.logIn());
        RECEIVES(ana, nicks({"luis", "ana"}));
    }

    void theConsoleReadsLinesUntilItsInputEnds()
    {
        int fds[2];
        QCOMPARE(::pipe(fds), 0);
        AdminConsole console(fds[0]);
        QSignalSpy lines(&console, &AdminConsole::lineEntered);
        QSignalSpy ended(&console, &AdminConsole::ended);
        const QByteArray input = "users\r\nmsg a\xC3\xB1o nuevo\n\nboot ana";
        QCOMPARE(::write(fds[1], input.constData(), size_t(input.size())), input.size());
        QTRY_COMPARE(lines.size(), 3);
        QCOMPARE(ended.size(), 0);
        ::close(fds[1]);
        QVERIFY(ended.wait());
        QCOMPARE(lines.size(), 4);
        QStringList got;
        for (const QList<QVariant> &args : std::as_const(lines))
            got.append(args.first().toString());
        QCOMPARE(got, (QStringList{"users", "msg año nuevo", "", "boot ana"}));
        ::close(fds[0]);
    }

    void commandLine()
    {
        const CommandLine defaults = parseCommandLine({"korvex-server"});
        QCOMPARE(defaults.error, QString());
        QVERIFY(!defaults.helpRequested);
        QCOMPARE(defaults.config.listenAddress, QHostAddress(QHostAddress::Any));
        QCOMPARE(defaults.config.gap, ServerConfig().gap);

        const CommandLine set = parseCommandLine(
            {"korvex-server", "--listen", "127.0.0.21", "--gap", "12", "--max-queue", "50",
             "--max-queue-bytes", "2m", "--max-rate", "16k", "--max-messages", "7",
             "--boot-grace", "250"});
        QCOMPARE(set.error, QString());
        QCOMPARE(set.config.listenAddress, QHostAddress("127.0.0.21"));
        QCOMPARE(set.config.gap, 12ms);
        QCOMPARE(set.config.maxQueuedMessages, qsizetype(50));
        QCOMPARE(set.config.maxQueuedBytes, qint64(2 * 1024 * 1024));
        QCOMPARE(set.config.maxBytesPerSecond, qint64(16 * 1024));
        QCOMPARE(set.config.maxMessagesPerSecond, 7);
        QCOMPARE(set.config.bootGrace, 250ms);

        const CommandLine help = parseCommandLine({"korvex-server", "--help"});
        QVERIFY(help.helpRequested);
        for (const char *word : {"--listen", "--gap", "--max-queue", "--max-queue-bytes",
                                 "--max-rate", "--max-messages", "--boot-grace", "msg TEXT",
                                 "boot NICK", "users"})
            QVERIFY2(help.helpText.contains(word), word);

        const QList<QStringList> wrong = {
            {"--listen", "servidor"}, {"--gap", "-1"},        {"--gap", "5ms"},
            {"--max-queue", "0"},     {"--max-rate", "1x"},   {"--max-queue-bytes", "k"},
            {"--boot-grace", ""},     {"--nonsense"},         {"extra"},
            {"--gap"},
        };
        for (const QStringList &arguments : wrong) {
            const CommandLine bad = parseCommandLine(QStringList{"korvex-server"} + arguments);
            QVERIFY2(!bad.error.isEmpty(), qPrintable(arguments.join(' ')));
        }
    }

    // The program itself: its log lines, and serving on after standard input has ended.
    void theProgramServesOnAfterItsInputEnds()
    {
        QProcess program;
        program.start(KORVEX_SERVER_PROGRAM, {"--listen", "127.0.0.27"});
        QByteArray log;
        const auto logged = [&](const QByteArray &text) {
            return waitUntil([&] {
                log += program.readAllStandardOutput();
                return log.contains(text);
            }, 10000);
        };
        QVERIFY(logged(" - listening on 127.0.0.27:12584\n"));
        program.write("users\n");
        program.closeWriteChannel();
        QVERIFY(logged(" - standard input ended; still serving\n"));
        QVERIFY(log.contains(" - 0 users online, 0 more connected, not logged in\n"));

        QTcpSocket client;
        client.connectToHost(QHostAddress("127.0.0.27"), wire::ServerPort);
        QVERIFY(waitUntil([&] { return client.state() == QAbstractSocket::ConnectedState; }));
        client.write(msg({"LOGIN", "ana"}));
        QByteArray received;
        QVERIFY(waitUntil([&] {
            received += client.readAll();
            return received.size() >= msg({"NICK", "ana"}).size();
        }));
        QCOMPARE(received, msg({"NICK", "ana"}));
        QVERIFY(logged(" logged in as \"ana\"\n"));
        client.abort();
        QVERIFY(logged(" \"ana\" disconnected\n"));

        program.kill();
        program.waitForFinished();
        static const QRegularExpression line(
            R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d))"
            R"( (-|\d+\.\d+\.\d+\.\d+:\d+) \S.*$)");
        const QList<QByteArray> lines = log.trimmed().split('\n');
        QCOMPARE(lines.size(), 7);
        for (const QByteArray &one : lines)
            QVERIFY2(line.match(QString::fromUtf8(one)).hasMatch(), one.constData());

        QProcess help;
        help.start(KORVEX_SERVER_PROGRAM, {"--help"});
        QVERIFY(help.waitForFinished(10000));
        QCOMPARE(help.exitCode(), 0);
        QVERIFY(help.readAllStandardOutput().contains("--boot-grace"));
        QProcess wrong;
        wrong.start(KORVEX_SERVER_PROGRAM, {"--gap", "soon"});
        QVERIFY(wrong.waitForFinished(10000));
        QCOMPARE(wrong.exitCode(), 2);
    }

    // A flooder is closed; meanwhile, and after, the others' messages go through at once.
    void aFlooderIsClosedAndTheOthersCarryOn_data()
    {
        QTest::addColumn<bool>("bigRead");
        QTest::addColumn<QString>("reason");
        QTest::newRow("16 MiB at once")
            << true << QStringLiteral("flood: more than 1048576 bytes in a second");
        QTest::newRow("message after message")
            << false << QStringLiteral("flood: more than 50 messages in a second");
    }

    void aFlooderIsClosedAndTheOthersCarryOn()
    {
        QFETCH(bool, bigRead);
        QFETCH(QString, reason);
        ServerConfig config = configFor("127.0.0.24");
        config.maxBytesPerSecond = 1024 * 1024;
        config.maxMessagesPerSecond = 50;
        World world(config);
        QVERIFY(world.listening);
        Peer ana(world, "ana");
        Peer luis(world, "luis");
        Peer flooder(world, "flood");
        for (Peer *peer : {&ana, &luis, &flooder})
            QVERIFY(peer->logIn());
        RECEIVES(ana, nicks({"ana", "luis", "flood"}));
        RECEIVES(luis, nicks({"ana", "luis", "flood"}));

        QByteArray skipped;
        qint64 slowest = 0;
        const auto roundTrip = [&](int i) {
            QElapsedTimer clock;
            clock.start();
            const QByteArray there = msg({"PM", "luis", "ana", QString::number(i)});
            const QByteArray back = msg({"PM", "ana", "luis", QString::number(i)});
            ana.sendBytes(there);
            const std::optional<QByteArray> before = luis.skipTo(there);
            luis.sendBytes(back);
            const std::optional<QByteArray> after = ana.skipTo(back);
            slowest = std::max(slowest, clock.elapsed());
            skipped += before.value_or("(timeout)") + after.value_or("(timeout)");
        };

        int i = 0;
        if (bigRead) {
            flooder.write(QByteArray(16 * 1024 * 1024, 'x'));
            while (flooder.isConnected() && i < 100)
                roundTrip(i++);
        } else {
            const QByteArray pm = msg({"PM", "nadie", "flood", "x"});
            // Each a read of its own, ten at a time between two round trips.
            while (flooder.isConnected() && i < 100) {
                for (int n = 0; n < 10; ++n)
                    flooder.sendBytes(pm);
                roundTrip(i++);
            }
        }
        QVERIFY(flooder.waitClosed());
        for (int more = 0; more < 5; ++more)
            roundTrip(i++);
        QCOMPARE(skipped, msg({"LOGOUT", "flood"}) + msg({"LOGOUT", "flood"}));
        QVERIFY2(slowest < 1000, qPrintable(QString::number(slowest) + " ms"));
        QVERIFY(world.log().contains(flooder.name() + " disconnected: " + reason + '\n'));
    }

    // A client answers each PM of a user it blocks with IGNORE; however many PMs come, that
    // must not count as flooding.
    void answeringPrivateMessagesWithIgnoreIsNotFlooding()
    {
        ServerConfig config = configFor("127.0.0.24");
        config.maxMessagesPerSecond = 10;
        World world(config);
        QVERIFY(world.listening);
        Peer ana(world, "ana");
        Peer pest(world, "pesado");
        QVERIFY(ana.logIn());
        QVERIFY(pest.logIn());
        RECEIVES(ana, nicks({"ana", "pesado"}));
        RECEIVES(pest, nicks({"ana", "pesado"}));

        QByteArray pms;
        for (int i = 0; i < 8; ++i) {
            QVERIFY(pest.send({"PM", "ana", "pesado", QString::number(i)}));
            pms += msg({"PM", "ana", "pesado", QString::number(i)});
        }
        RECEIVES(ana, pms);
        QByteArray ignores;
        for (int i = 0; i < 8; ++i) {
            QVERIFY(ana.send({"IGNORE", "ana", "pesado"}));
            ignores += msg({"IGNORE", "ana", "pesado"});
        }
        for (int i = 0; i < 10; ++i)
            QVERIFY(ana.send({"IGNORE", "ana", "pesado"})); // nothing provoked these
        QVERIFY(ana.send({"PM", "pesado", "ana", "basta"}));
        RECEIVES(pest, ignores + msg({"PM", "pesado", "ana", "basta"}));
        QVERIFY(ana.isConnected());
        QVERIFY(pest.isConnected());
        QVERIFY(!world.log().contains("flood"));
    }

    // Random bytes, and messages of every kind with random fields, neither crash the server nor
    // disturb anyone else.
    void randomBytesDoNoHarm()
    {
        ServerConfig config = configFor("127.0.0.25");
        config.maxBytesPerSecond = 64 * 1024 * 1024;
        config.maxMessagesPerSecond = 1'000'000;
        World world(config);
        QVERIFY(world.listening);
        Peer ana(world, "ana");
        Peer luis(world, "luis");
        QVERIFY(ana.logIn());
        QVERIFY(luis.logIn());
        RECEIVES(ana, nicks({"ana", "luis"}));
        RECEIVES(luis, nicks({"ana", "luis"}));

        QRandomGenerator random(20240601);
        const auto bytes = [&](int most) {
            QByteArray noise(random.bounded(most + 1), Qt::Uninitialized);
            for (char &c : noise)
                c = char(random.bounded(256));
            return noise;
        };
        const QList<QByteArray> commands = {"PM", "IGNORE", "ENTER", "CHAT", "LEAVE", "GETUSER",
                                            "NICK", "MESSAGE", "BOOT", ""};
        const auto fuzz = [&] {
            QByteArray message = commands.at(random.bounded(int(commands.size())));
            for (int f = random.bounded(6); f > 0; --f)
                message += kSep.left(random.bounded(5) == 0 ? random.bounded(4) : 4) + bytes(40);
            return message;
        };

        // First as a stranger, then logged in.
        Peer noisy(world, "ruido");
        for (int round = 0; round < 2; ++round) {
            for (int n = 0; n < 300; ++n)
                noisy.write(random.bounded(2) ? bytes(2000) : fuzz());
            QVERIFY(noisy.waitHandled(20000));
            QVERIFY(noisy.isConnected());
            if (round == 0) {
                QVERIFY(noisy.logIn());
                QCOMPARE(noisy.skipTo(nicks({"ana", "luis", "ruido"})).value_or("(timeout)"),
                         QByteArray());
                RECEIVES(ana, nicks({"ruido"}));
                RECEIVES(luis, nicks({"ruido"}));
            }
        }
        QVERIFY(luis.send({"GETUSER", ""}));
        RECEIVES(luis, nicks({"ana", "luis", "ruido"}));
        QCOMPARE(ana.sync(), QByteArray());
        QCOMPARE(luis.sync(), QByteArray());
    }

    // A client that stops reading is closed once its queue passes a bound; the room goes on
    // at full speed meanwhile.
    void aClientThatNeverReadsIsClosedWithoutSlowingTheOthers_data()
    {
        QTest::addColumn<qsizetype>("maxMessages");
        QTest::addColumn<qint64>("maxBytes");
        QTest::addColumn<QString>("reason");
        QTest::newRow("message bound")
            << qsizetype(40) << qint64(64 * 1024 * 1024)
            << QStringLiteral("not reading: more than 40 messages waiting");
        QTest::newRow("byte bound")
            << qsizetype(1'000'000) << qint64(256 * 1024)
            << QStringLiteral("not reading: more than 262144 bytes waiting");
    }

    void aClientThatNeverReadsIsClosedWithoutSlowingTheOthers()
    {
        QFETCH(qsizetype, maxMessages);
        QFETCH(qint64, maxBytes);
        QFETCH(QString, reason);
        ServerConfig config = configFor("127.0.0.26");
        config.maxQueuedMessages = maxMessages;
        config.maxQueuedBytes = maxBytes;
        config.maxBytesPerSecond = 256 * 1024 * 1024;
        config.maxMessagesPerSecond = 1'000'000;
        World world(config);
        QVERIFY(world.listening);
        Peer ana(world, "ana");
        Peer luis(world, "luis");
        Peer deaf(world, "sordo");
        for (Peer *peer : {&ana, &luis, &deaf})
            QVERIFY(peer->logIn());
        for (Peer *peer : {&ana, &luis, &deaf})
            QVERIFY(peer->send({"ENTER", ""}));
        RECEIVES(deaf, nicks({"ana", "luis", "sordo"}) + msg({"ENTER", "sordo"}));
        deaf.stopReading();
        RECEIVES(ana, nicks({"ana", "luis", "sordo"}) + msg({"ENTER", "ana"})
                          + msg({"ENTER", "luis"}) + msg({"ENTER", "sordo"}));
        RECEIVES(luis, nicks({"ana", "luis", "sordo"}) + msg({"ENTER", "luis"})
                           + msg({"ENTER", "sordo"}));

        QByteArray skippedByAna;
        QByteArray skippedByLuis;
        qint64 slowest = 0;
        const QString text(16 * 1024, 'a');
        const auto say = [&](int i) {
            QElapsedTimer clock;
            clock.start();
            const QByteArray line = msg({"CHAT", "ana", QString::number(i) + text});
            ana.sendBytes(line);
            skippedByLuis += luis.skipTo(line).value_or("(timeout)");
            skippedByAna += ana.skipTo(line).value_or("(timeout)");
            slowest = std::max(slowest, clock.elapsed());
        };
        int lines = 0;
        while (!world.log().contains(deaf.name() + " disconnected") && lines < 2000)
            say(lines++);
        QVERIFY2(world.log().contains(deaf.name() + " disconnected: " + reason + '\n'),
                 qPrintable(QString::number(lines) + " lines"));
        for (int more = 0; more < 5; ++more)
            say(lines++);
        const QByteArray gone = msg({"LEAVE", "sordo"}) + msg({"LOGOUT", "sordo"});
        QCOMPARE(skippedByAna, gone);
        QCOMPARE(skippedByLuis, gone);
        QVERIFY2(slowest < 1000, qPrintable(QString::number(slowest) + " ms"));
    }
};

QTEST_GUILESS_MAIN(TestServer)
#include "test_server.moc"
