// The relay server against raw sockets on 127.0.0.21: scripts of what clients send and exactly
// what each one reads back.
#include "server/command_line.h"
#include "server/relay_server.h"
#include "support/script.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>
#include <QTextStream>
#include <QTimer>

#include <map>
#include <memory>

namespace {

const QString kAddress = "127.0.0.21";

// Runs the event loop until the condition holds. Unlike QTest::qWaitFor, which sleeps between
// rounds of events, this waits on the sockets, so every client here reads as promptly as a
// real one.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 5000)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] { condition() ? loop.quit() : void(); });
    check.start(1);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!condition())
        loop.exec();
    return condition();
}

// A client made of a bare socket: what it receives is one byte stream, and a list of reads.
struct Peer : QObject {
    Peer(RelayServer &server)
    {
        connect(&socket, &QTcpSocket::readyRead, this, [this] {
            reads.append(socket.readAll());
            buffer += reads.last();
        });
        connect(&server, &RelayServer::readHandled, this, [this](const QString &peer, qint64 n) {
            handled += peer == name ? n : 0;
        });
        socket.connectToHost(QHostAddress(kAddress), wire::ServerPort);
        waitUntil([this] { return connected(); });
        name = socket.localAddress().toString() + ':' + QString::number(socket.localPort());
    }
    bool connected() const { return socket.state() == QAbstractSocket::ConnectedState; }
    // Writes, then waits until the server has handled it (or closed the connection), so that
    // the next write is a read of its own.
    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        sent += bytes.size();
        waitUntil([this] { return handled >= sent || !connected(); });
    }

    QTcpSocket socket;
    QString name; // the address and port the server sees, as its log shows them
    QString nickname; // as its last LOGIN gave it
    QByteArray buffer;
    QList<QByteArray> reads;
    qint64 sent = 0, handled = 0;
};

} // namespace

class TestServer : public QObject {
    Q_OBJECT

    QString m_log;
    QTextStream m_stream{&m_log};
    std::unique_ptr<RelayServer> m_server;
    std::map<QString, std::unique_ptr<Peer>> m_peers;
    int m_syncs = 0;

    Peer &peer(const QString &label)
    {
        std::unique_ptr<Peer> &p = m_peers[label];
        return p ? *p : *(p = std::make_unique<Peer>(*m_server));
    }

    // A script, steps apart by "; ":
    //   ana> TEXT   ana's connection sends TEXT as one read (#N in a step: N times x)
    //   ana< TEXT   the next bytes ana reads are exactly TEXT
    //   login ana ana2:ana luis   each logs in (ana2 as ana), then each reads the whole list
    //   quiet ana luis   nothing more has come for them (one logged in writes to itself: the
    //                    server answers each connection in order)
    //   start OPTIONS   a server with these options of its command line
    //   admin LINE, close ana, closed ana, deaf ana, log TEXT, nolog TEXT (@ana in a log text
    //   is ana's address and port)
    //   N* STEP     the step N times
    void run(const QString &script)
    {
        for (QString step : script.split("; ")) {
            for (const auto &[label, p] : m_peers)
                step.replace('@' + label + ' ', p->name + ' ');
            const auto many = QRegularExpression("#(\\d+)").match(step);
            if (many.hasMatch())
                step.replace(many.capturedStart(), many.capturedLength(),
                             QString(many.captured(1).toInt(), 'x'));
            const QString verb = step.section(' ', 0, 0);
            QString rest = step.section(' ', 1);
            const QString label = verb.chopped(1);
            if (verb.endsWith('*')) {
                for (int i = label.toInt(); i > 0; --i)
                    run(rest);
            } else if (verb == "login") {
                QStringList names;
                for (const QString &who : rest.split(' ')) {
                    names << who.section(':', -1);
                    run(who.section(':', 0, 0) + "> LOGIN|" + names.last());
                }
                for (const QString &who : rest.split(' '))
                    run(who.section(':', 0, 0) + "< NICK|" + names.join("NICK|"));
            } else if (verb == "quiet") {
                for (const QString &who : rest.split(' ')) {
                    Peer &p = peer(who);
                    const QString me = p.nickname;
                    const QString echo = me + '|' + me + "|sync" + QString::number(++m_syncs);
                    if (me.isEmpty())
                        QCOMPARE(p.buffer, QByteArray());
                    else
                        run(who + "> PM|" + echo);
                    for (const auto &[other, q] : m_peers)
                        if (!me.isEmpty() && q->nickname == me && q->connected())
                            run(other + "< PM|" + echo);
                }
            } else if (verb == "start") {
                const CommandLine line = parseCommandLine(
                    QStringList{"-", "--listen", kAddress} + rest.split(' ', Qt::SkipEmptyParts));
                QCOMPARE(line.error, QString());
                m_server = std::make_unique<RelayServer>(line.config, m_stream);
                QVERIFY(m_server->listen());
            } else if (verb == "admin") {
                m_server->admin(rest);
            } else if (verb == "close" || verb == "deaf") {
                QTcpSocket &socket = peer(rest).socket;
                verb == "close" ? socket.abort() : socket.setReadBufferSize(1);
                socket.disconnect(&peer(rest)); // nothing more is read
            } else if (verb == "closed") {
                QVERIFY2(waitUntil([&] { return !peer(rest).connected(); }), qPrintable(step));
            } else if (verb == "log" || verb == "nolog") {
                rest.replace("\\n", "\n");
                QVERIFY2(waitUntil([&] { return m_log.contains(rest) == (verb == "log"); }, 1000),
                         qPrintable(step + '\n' + m_log));
            } else if (verb.endsWith('>')) {
                Peer &p = peer(label);
                p.nickname = rest.startsWith("LOGIN|") && rest.size() > 6 ? rest.mid(6)
                    : rest.startsWith("LOGOUT") ? QString() : p.nickname;
                p.send(bytes(rest));
            } else if (verb.endsWith('<')) {
                const QByteArray expected = bytes(rest);
                Peer &p = peer(label);
                waitUntil([&] { return p.buffer.size() >= expected.size(); });
                QCOMPARE(p.buffer.left(expected.size()), expected);
                p.buffer.remove(0, expected.size());
            } else {
                QFAIL(qPrintable("unknown step: " + step));
            }
            if (QTest::currentTestFailed())
                return;
        }
    }

private Q_SLOTS:
    void cleanup()
    {
        m_peers.clear();
        m_server.reset();
        m_log.clear();
    }

    void relays_data()
    {
        scriptRows({
            "log-in lists everyone and announces the newcomer => ana> LOGIN|ana; ana< NICK|ana; "
            "luis> LOGIN|luis; luis< NICK|anaNICK|luis; ana< NICK|luis; ana2> LOGIN|ana; "
            "ana2< NICK|anaNICK|luisNICK|ana; ana< NICK|ana; luis< NICK|ana; luis> GETUSER|; "
            "luis< NICK|anaNICK|luisNICK|ana; luis> GETUSER; luis< NICK|anaNICK|luisNICK|ana; "
            "nino> LOGIN|Niño €; nino< NICK|anaNICK|luisNICK|anaNICK|Niño €; luis< NICK|Niño €; "
            "ana< NICK|Niño €; ana2< NICK|Niño €; log @luis logged in as \"luis\"\\n; "
            "quiet ana luis ana2 nino",
            "log-in again switches the name => login ana luis; ana> ENTER|ana; luis> ENTER|luis; "
            "ana< ENTER|anaENTER|luis; luis< ENTER|luis; ana> LOGIN|anita; "
            "luis< LEAVE|anaLOGOUT|anaNICK|anita; ana< NICK|luisNICK|anita; luis> CHAT|luis|hola; "
            "luis< CHAT|luis|hola; ana> LOGIN|; ana> LOGIN; "
            "log @ana \"ana\" logged in again as \"anita\"\\n; quiet ana luis",
            "nobody is anybody before logging in => login ana; x> PM|ana|x|hola; "
            "x> IGNORE|x|ana; x> ENTER|x; x> CHAT|x|hola; x> LEAVE|x; x> GETUSER|; x> LOGOUT|x; "
            "x> LOGIN|; x> LOGIN; admin msg hola; ana< MESSAGE|hola; quiet ana x; x> LOGIN|x; "
            "x< NICK|anaNICK|x; ana< NICK|x; close y; log @y disconnected; quiet ana x",
            "PM to every connection of a name; IGNORE answers one PM => "
            "login ana ana2:ana luis eva; luis> PM|ana|eva|hola, ¿qué tal? €; "
            "ana< PM|ana|luis|hola, ¿qué tal? €; ana2< PM|ana|luis|hola, ¿qué tal? €; "
            "luis> PM|nadie|luis|x; ana> IGNORE|eva|luis; luis< IGNORE|ana|luis; "
            "ana> IGNORE|ana|luis; eva> IGNORE|eva|luis; quiet ana ana2 luis eva; nolog qué",
            "the room is who entered and has not left => login ana luis eva; ana> ENTER|eva; "
            "ana< ENTER|ana; luis> ENTER|luis; ana< ENTER|luis; luis< ENTER|luis; ana> ENTER|ana; "
            "eva> CHAT|eva|¿me oís?; ana> CHAT|ana|hola; ana< CHAT|ana|hola; luis< CHAT|ana|hola; "
            "luis> LEAVE|luis; ana< LEAVE|luis; luis< LEAVE|luis; eva> LEAVE|eva; "
            "quiet ana luis eva; nolog hola",
            "log-out and disconnection leave the room and the list => login ana luis eva; "
            "ana> ENTER|ana; luis> ENTER|luis; ana< ENTER|anaENTER|luis; luis< ENTER|luis; "
            "ana> LOGOUT|luis; luis< LEAVE|anaLOGOUT|ana; eva< LOGOUT|ana; close luis; "
            "eva< LOGOUT|luis; log @ana \"ana\" logged out\\n; "
            "log @luis disconnected: closed by the client\\n; eva> ENTER|eva; eva< ENTER|eva; "
            "quiet ana eva; ana> LOGIN|ana; ana< NICK|evaNICK|ana; eva< NICK|ana; quiet ana eva",
            "the administrator: notices, users, expulsion => start --boot-grace 300; "
            "login ana luis ana2:ana; x> ; luis> ENTER|luis; luis< ENTER|luis; "
            "admin msg  Cierre, año nuevo ; ana< MESSAGE|Cierre, año nuevo; "
            "luis< MESSAGE|Cierre, año nuevo; ana2< MESSAGE|Cierre, año nuevo; admin users; "
            "log  - 3 users online, 1 more connected, not logged in\\n; "
            "log @luis \"luis\" in the room\\n; admin boot nadie; "
            "log boot: nobody called \"nadie\"; admin boot ana; ana< BOOT|ana; ana2< BOOT|ana; "
            "ana> LOGOUT|ana; luis< LOGOUT|ana; ana2> CHAT|ana|no me voy; ana2> ENTER|ana; "
            "closed ana2; luis< LOGOUT|ana; log @ana2 disconnected: booted\\n; ana> LOGIN|ana; "
            "ana< NICK|luisNICK|ana; luis< NICK|ana; quiet luis ana",
            // What a client claims is never relayed: each message is rebuilt from its fields,
            // the sender named by the connection; one read is one message.
            "messages are rebuilt from their fields => login ana luis; ana> ENTER|ana; "
            "luis> ENTER|luis; ana< ENTER|anaENTER|luis; luis< ENTER|luis; luis> PM|ana|eva|hola; "
            "ana< PM|ana|luis|hola; luis> PM|ana|luis|hola|eva; ana< PM|ana|luis|hola; "
            "luis> PM|ana; ana< PM|ana|luis|; luis> PM|ana||eva|x; ana< PM|ana|luis|eva; "
            "luis> PM|ana|l|a¤¶£z; ana< PM|ana|luis|a¤¶£z; luis> PM|ana|l|1PM|ana|l|2; "
            "ana< PM|ana|luis|1PM; ana> PM|luis|ana|x; luis< PM|luis|ana|x; "
            "luis> IGNORE|eva|ana|x; ana< IGNORE|luis|ana; luis> CHAT|eva|hola|x; "
            "ana< CHAT|luis|hola; luis< CHAT|luis|hola; luis> pm|ana|luis|hola; "
            "luis> PM |ana|luis|hola; luis> NICK|eva; luis> PM ana luis hola; quiet ana luis; "
            "luis> LEAVE|eva|x; ana< LEAVE|luis; luis< LEAVE|luis; luis> LOGOUT|eva; "
            "ana< LOGOUT|luis; quiet ana",
            "answering PMs with IGNORE is not flooding => start --max-messages 10; "
            "login ana pesado; 8* pesado> PM|ana|pesado|x; 8* ana< PM|ana|pesado|x; "
            "8* ana> IGNORE|ana|pesado; 10* ana> IGNORE|ana|pesado; 8* pesado< IGNORE|ana|pesado; "
            "quiet ana pesado; nolog flood",
            "more messages a second than allowed => start --max-messages 3; login ana f; "
            "f> GETUSER|; f< NICK|anaNICK|f; f> GETUSER|; f< NICK|anaNICK|f; f> GETUSER|; "
            "closed f; ana< LOGOUT|f; "
            "log @f disconnected: flood: more than 3 messages in a second\\n; quiet ana",
            "more bytes a second than allowed => start --max-rate 64k; login ana f; "
            "f> #16777216; closed f; ana< LOGOUT|f; "
            "log @f disconnected: flood: more than 65536 bytes in a second\\n; quiet ana",
            "a client that stops reading: messages => start --max-queue 20 --max-rate 256m "
            "--max-messages 100000; login ana sordo; deaf sordo; 1000* ana> PM|sordo|ana|#16384; "
            "log @sordo disconnected: not reading: more than 20 messages waiting\\n; "
            "ana< LOGOUT|sordo; quiet ana",
            "a client that stops reading: bytes => start --max-queue-bytes 256k --max-rate 256m "
            "--max-messages 100000; login ana sordo; deaf sordo; 1000* ana> PM|sordo|ana|#16384; "
            "log @sordo disconnected: not reading: more than 262144 bytes waiting\\n; "
            "ana< LOGOUT|sordo; quiet ana",
        });
    }

    void relays()
    {
        QFETCH(QString, script);
        run(script.startsWith("start") ? script : "start; " + script);
    }

    // Messages leave one write at a time, the gap apart, so a client that reads promptly gets
    // each as a read of its own.
    void aBurstArrivesOneMessagePerRead()
    {
        run("start; login ana");
        QElapsedTimer clock;
        clock.start();
        QStringList all;
        for (int i = 0; i < 200; ++i) {
            m_server->admin("msg aviso " + QString::number(i));
            all << "MESSAGE|aviso " + QString::number(i);
        }
        run("ana< " + all.join(""));
        QVERIFY(clock.elapsed() >= 199 * 5);
        QCOMPARE(peer("ana").reads.mid(1), bytes(all.join('\n')).split('\n'));
    }

    // The program itself: administrator lines on standard input, serving on once it ends.
    void theProgram()
    {
        QProcess program;
        program.start(KORVEX_SERVER_PROGRAM, {"--listen", "127.0.0.27"});
        QByteArray log;
        // The log so far holds the text.
        const auto logged = [&](const QByteArray &text) {
            return waitUntil([&] {
                return (log += program.readAllStandardOutput()).contains(text);
            });
        };
        QVERIFY(logged(" - listening on 127.0.0.27:12584\n"));
        program.write("users\r\nusers");
        program.closeWriteChannel();
        QVERIFY(logged(" - standard input ended; still serving\n"));
        QCOMPARE(log.count(" - 0 users online, 0 more connected, not logged in\n"), 2);
        QTcpSocket client;
        client.connectToHost(QHostAddress("127.0.0.27"), wire::ServerPort);
        client.write(bytes("LOGIN|ana"));
        QVERIFY(waitUntil([&] { return client.bytesAvailable() >= bytes("NICK|ana").size(); }));
        QCOMPARE(client.readAll(), bytes("NICK|ana"));
        program.kill();
        QVERIFY(program.waitForFinished());
    }
};

QTEST_GUILESS_MAIN(TestServer)
#include "test_server.moc"
