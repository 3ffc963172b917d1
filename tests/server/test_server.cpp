// The relay server against raw sockets on 127.0.0.21: scripts of what clients send and exactly
// what each one reads back.
#include "protocol/client_socket.h"
#include "server/admin_channel.h"
#include "server/command_line.h"
#include "server/net/epoll_dispatcher.h"
#include "server/relay/relay_server.h"
#include "server/net/stream.h"
#include "support/script.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLocalSocket>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QTextStream>
#include <QTimer>

#include <map>
#include <memory>

#include <csignal>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

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
    Peer(RelayServer &server, const QHostAddress &from)
    {
        connect(&socket, &QTcpSocket::readyRead, this, [this] {
            reads.append(socket.readAll());
            buffer += reads.last();
        });
        connect(&server, &RelayServer::readHandled, this, [this](const QString &peer, qint64 n) {
            handled += peer == name ? n : 0;
        });
        // Named as it connects: a refused one is closed at once.
        connect(&socket, &QTcpSocket::connected, this, [this] {
            name = socket.localAddress().toString() + ':' + QString::number(socket.localPort());
        });
        if (!from.isNull())
            socket.bind(from);
        socket.connectToHost(QHostAddress(kAddress), wire::ServerPort);
        waitUntil([this] { return !name.isEmpty(); });
        // A plain client, it ignores the offer, which comes alone.
        waitUntil([&] { return !reads.isEmpty() || !connected(); });
        if (buffer.startsWith(bytes("OFFER|")))
            buffer.remove(0, reads.first().size()), reads.clear();
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

    QSslSocket socket;
    QString name; // the address and port the server sees, as its log shows them
    QString nickname; // as its last LOGIN gave it
    QString end; // "~" once framed
    bool keeps = false; // logged in with a key: its lines come with an id and a time
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
    // The server's state folder, and a password file for it.
    QTemporaryDir m_state;
    // What a step captured: $T in "ana< TOKEN|$T~" is the secret ana was given.
    std::map<QString, QString> m_captured;

    Peer &peer(const QString &label)
    {
        std::unique_ptr<Peer> &p = m_peers[label];
        // ana.5 connects from 127.0.0.5, the others from where the system puts them.
        const QString from = label.section('.', 1);
        return p ? *p
                 : *(p = std::make_unique<Peer>(*m_server, from.isEmpty()
                                                    ? QHostAddress()
                                                    : QHostAddress("127.0.0." + from)));
    }

    // A script, steps apart by "; ":
    //   ana> TEXT   ana's connection sends TEXT as one read (#N in a step: N times x), and
    //               waits until the server has handled it; ana>> TEXT does not wait
    //               (ana.5 is a client on 127.0.0.5)
    //   ana< TEXT   the next bytes ana reads are exactly TEXT; $T in it reads a secret (32
    //               hex digits), which $T in later steps stands for; $Z reads a time (UTC).
    //               $K and $L stand for keys, $I, $J and $M for ids of lines
    //   tls ana     ana's connection takes the offer of encryption
    //   login ana ana2:ana luis   each logs in (ana2 as ana), then each reads the whole list
    //   quiet ana luis   nothing more has come for them (one logged in writes to itself: the
    //                    server answers each connection in order)
    //   start OPTIONS   a server with these options of its command line (--password=WORD:
    //                   a password file holding WORD; window=MS: the states' minute)
    //   handshake ana   ana, which has taken the offer of encryption, begins its handshake
    //   admin LINE, close ana, closed ana, deaf ana, log TEXT, nolog TEXT (@ana in a log text
    //   is ana's address and port), empty ana (nothing unread)
    //   N* STEP     the step N times
    void run(const QString &script)
    {
        for (QString step : script.split("; ")) {
            for (const auto &[label, p] : m_peers)
                step.replace(QRegularExpression('@' + label + "\\b"), p->name);
            for (const auto &[name, value] : m_captured)
                step.replace('$' + name, value);
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
                    const QString echo =
                        me + '|' + me + "|sync" + QString::number(++m_syncs) + p.end;
                    if (me.isEmpty())
                        QCOMPARE(p.buffer, QByteArray());
                    else
                        run(who + "> PM|" + echo);
                    // One that keeps reads it with an id and a time, and answers it.
                    for (const auto &[other, q] : m_peers)
                        if (!me.isEmpty() && q->nickname == me && q->connected())
                            m_captured.erase("S"), run(other + "< PM|" + echo.chopped(p.end.size())
                                + (q->keeps ? "|$S|$Z~; " + other + "> RECEIVED|" + me + "|$S~"
                                            : q->end));
                }
            } else if (verb == "start") {
                const auto password = QRegularExpression("--password=(.*)$").match(rest);
                if (password.hasMatch()) {
                    QFile file(m_state.filePath("password"));
                    QVERIFY(file.open(QIODevice::WriteOnly));
                    file.write(password.captured(1).toUtf8() + '\n');
                    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
                    rest.replace(password.capturedStart(), password.capturedLength(),
                                 "--password-file " + file.fileName());
                }
                const auto window = QRegularExpression("window=(\\d+)").match(rest);
                rest.remove(window.captured(0));
                const auto gather = QRegularExpression("gather=(\\d+)").match(rest);
                rest.remove(gather.captured(0));
                CommandLine line =
                    parseCommandLine(QStringList{"-", "--listen", kAddress, "--state-dir",
                                                 m_state.path()}
                                     + rest.split(' ', Qt::SkipEmptyParts));
                QCOMPARE(line.error, QString());
                if (window.hasMatch())
                    line.config.stateWindow = std::chrono::milliseconds(window.captured(1).toInt());
                if (gather.hasMatch())
                    line.config.stateGathering = std::chrono::milliseconds(gather.captured(1).toInt());
                m_server = std::make_unique<RelayServer>(line.config, m_stream);
                QVERIFY2(m_server->listen(), qPrintable(m_log));
            } else if (verb == "tls") {
                run(rest + "> ACCEPT|frame|tls~; " + rest + "< ACCEPTED|frame|tls~; handshake "
                    + rest);
            } else if (verb == "handshake") {
                Peer &p = peer(rest);
                p.end = "~";
                p.socket.setPeerVerifyMode(QSslSocket::VerifyNone);
                p.socket.startClientEncryption();
                QVERIFY(waitUntil([&] { return p.socket.isEncrypted(); }));
            } else if (verb == "admin") {
                m_server->admin(rest);
            } else if (verb == "close" || verb == "deaf") {
                QTcpSocket &socket = peer(rest).socket;
                if (verb == "close") {
                    socket.abort();
                } else {
                    // The kernel keeps little for it either: its stall shows soon.
                    socket.setReadBufferSize(1);
                    socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
                }
                socket.disconnect(&peer(rest)); // nothing more is read
            } else if (verb == "disk") {
                // Full: no file of this process grows past its first byte (EFBIG, as a full
                // disk's ENOSPC to the store); room: as before.
                static const rlimit before = [] {
                    rlimit limit{};
                    ::getrlimit(RLIMIT_FSIZE, &limit);
                    return limit;
                }();
                rlimit limit = before;
                if (rest == "full")
                    limit.rlim_cur = 1;
                std::signal(SIGXFSZ, SIG_IGN);
                QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
            } else if (verb == "empty") {
                for (const QString &who : rest.split(' '))
                    QCOMPARE(peer(who).buffer, QByteArray());
            } else if (verb == "closed") {
                QVERIFY2(waitUntil([&] { return !peer(rest).connected(); }), qPrintable(step));
            } else if (verb == "log" || verb == "nolog") {
                rest.replace("\\n", "\n");
                QVERIFY2(waitUntil([&] { return m_log.contains(rest) == (verb == "log"); }, 1000),
                         qPrintable(step + '\n' + m_log));
            } else if (verb.endsWith('>')) {
                // ana>> TEXT: written without waiting for the server to handle it
                Peer &p = peer(label.chopped(label.endsWith('>')));
                static const QRegularExpression logIn("^LOGIN\\|([^|~]+?)(ACCEPT\\||~|\\||$)");
                const auto loggedIn = logIn.match(rest);
                p.nickname = loggedIn.hasMatch() ? loggedIn.captured(1)
                    : rest.startsWith("LOGOUT")  ? QString()
                                                 : p.nickname;
                p.end = rest.contains("ACCEPT|frame~") ? "~" : p.end;
                p.keeps = loggedIn.hasMatch() ? rest.count('|') == 3 : p.keeps;
                label.endsWith('>') ? void(p.socket.write(bytes(rest))) : p.send(bytes(rest));
            } else if (verb.endsWith('<') && rest.contains('$')) {
                // Text as it would read in the code page, the secrets and times patterns.
                const QString text = wire::fromCodePage(bytes(rest));
                QString pattern = QRegularExpression::escape(text);
                pattern.replace("\\$Z", "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ");
                QStringList names;
                for (const auto &name : QRegularExpression("\\\\\\$(\\w)").globalMatch(pattern))
                    names << name.captured(1);
                for (const QString &name : names)
                    pattern.replace("\\$" + name, "([0-9a-f]{32})");
                const QRegularExpression expected('^' + pattern);
                Peer &p = peer(label);
                QRegularExpressionMatch match;
                waitUntil([&] {
                    return (match = expected.match(wire::fromCodePage(p.buffer))).hasMatch();
                });
                QVERIFY2(match.hasMatch(), qPrintable(step + '\n' + wire::fromCodePage(p.buffer)));
                for (qsizetype i = 0; i < names.size(); ++i)
                    m_captured[names[i]] = match.captured(i + 1);
                p.buffer.remove(0, match.capturedLength());
            } else if (verb.endsWith('<')) {
                const QByteArray expected = bytes(rest);
                Peer &p = peer(label);
                // Long enough for a slow reader's stall to be seen on a loaded machine.
                waitUntil([&] { return p.buffer.size() >= expected.size(); }, 15000);
                QCOMPARE(p.buffer.left(expected.size()), expected);
                p.buffer.remove(0, expected.size());
            } else {
                QFAIL(qPrintable("unknown step: " + step));
            }
            if (QTest::currentTestFailed())
                return;
        }
    }

public:
    // Everything here runs on the server's own event loop, as the program does.
    static void initMain() { QCoreApplication::setEventDispatcher(new EpollDispatcher); }

private Q_SLOTS:
    void cleanup()
    {
        run("disk room");
        m_captured.clear();
        m_peers.clear();
        m_server.reset();
        m_log.clear();
        for (const QString &file : QDir(m_state.path()).entryList({"keep.sqlite*"}))
            QFile::remove(m_state.filePath(file));
    }

    void relays_data()
    {
        // What a writer to a reader that has gone is told, once a minute.
        const QString gone = "Tu mensaje para sordo no se entregó: sordo no está conectado.";
        scriptRows({
            "log-in lists everyone and announces the newcomer => ana> LOGIN|ana; ana< NICK|ana; "
            "luis> LOGIN|luis; luis< NICK|anaNICK|luis; ana< NICK|luis; luis> GETUSER|; "
            "luis< NICK|anaNICK|luis; luis> GETUSER; luis< NICK|anaNICK|luis; "
            "nino> LOGIN|Niño €; nino< NICK|anaNICK|luisNICK|Niño €; luis< NICK|Niño €; "
            "ana< NICK|Niño €; log @luis logged in as \"luis\"\\n; quiet ana luis nino",
            // A nickname is one connection's, whatever the case; the refused is told why, in
            // a way it understands, and closed; nobody else notices.
            "a nickname online is refused => login ana luis; ANA> LOGIN|ANA; "
            "ANA< MESSAGE|Ya hay alguien conectado como ana. Elige otro apodo.; closed ANA; "
            "log @ANA refused: nickname \"ANA\" is online at @ana\\n; "
            "f> ACCEPT|frame~LOGIN|ana~; f< ACCEPTED|frame~REFUSED|nickname|Ya hay alguien "
            "conectado como ana. Elige otro apodo.~; closed f; luis> PM|ana|luis|hola; "
            "ana< PM|ana|luis|hola; empty ANA f; quiet ana luis; ana> LOGIN|anita; "
            "ana< NICK|luisNICK|anita; "
            "luis< LOGOUT|anaNICK|anita; N> LOGIN|ana~; N< MESSAGE|El apodo no puede empezar ni "
            "acabar en blanco, ni llevar caracteres invisibles. Elige otro apodo.; closed N; "
            "quiet ana luis",
            // A client back after a loss takes the nickname from its old connection, which the
            // server may not have seen go, with the secret of its last log-in; nobody else can.
            "the secret of a log-in takes the nickname back => login luis; tls a; "
            "a> LOGIN|ana~; a< TOKEN|$T~NICK|luis~NICK|ana~; luis< NICK|ana; x> LOGIN|ana|$T0; "
            "closed x; f> ACCEPT|frame~LOGIN|ana|$T~; f< ACCEPTED|frame~REFUSED|nickname|Ya hay "
            "alguien conectado como ana. Elige otro apodo.~; closed f; tls b; b> LOGIN|ana|$T~; "
            "b< TOKEN|$U~NICK|luis~NICK|ana~; closed a; luis< LOGOUT|anaNICK|ana; "
            "log @b takes \"ana\" back from @a\\n; tls y; y> LOGIN|ANA|$T~; "
            "y< REFUSED|nickname|Ya hay alguien conectado como ana. Elige otro apodo.~; "
            "z> LOGIN|ana; closed z; luis> PM|ana|luis|¿sigues?; "
            "b< PM|ana|luis|¿sigues?~; quiet luis b; nolog $U",
            // To a framed reader with nothing waiting, the old connection's going and the new
            // one's coming, in one turn, cancel out: the user stays where it is in its list.
            "a nickname taken back is no news to an idle reader => tls a; a> LOGIN|ana~; "
            "a< TOKEN|$T~NICK|ana~; l> LOGIN|luisACCEPT|frame~; "
            "l< ACCEPTED|frame~NICK|ana~NICK|luis~; a< NICK|luis~; tls b; b> LOGIN|ana|$T~; "
            "b< TOKEN|$U~NICK|luis~NICK|ana~; closed a; l< STATE|ana|available|~; quiet l b",
            // Who comes is told before what it says, in the same read.
            "a newcomer is heard of before its first line => l> LOGIN|luisACCEPT|frame~; "
            "l< ACCEPTED|frame~NICK|luis~; a> LOGIN|anaACCEPT|frame~PM|luis|ana|hola~; "
            "a< ACCEPTED|frame~NICK|luis~NICK|ana~; l< NICK|ana~PM|luis|ana|hola~; quiet a l",
            // A key claims a nickname: from then on it is taken only with that key, online or
            // not, a token too. A key travels only encrypted.
            "a claimed nickname is its holder's => start --refusal-delay 0 --claims-per-hour 1; "
            "tls a; a> LOGIN|ana||$K~; a< TOKEN|$T~NICK|ana~; log @a claims \"ana\"\\n; tls b; "
            "b> LOGIN|ANA|$T~; b< REFUSED|nickname|El apodo ANA pertenece a otra persona. Elige "
            "otro apodo.~; x> LOGIN|ana; x< MESSAGE|El apodo ana pertenece a otra persona. Elige "
            "otro apodo.; closed x; tls c; c> LOGIN|ana|$T|$L~; c< REFUSED|nickname|El apodo ana "
            "pertenece a otra persona. Elige otro apodo.~; "
            "log @c refused: nickname \"ana\" is claimed with another key\\n; a> LOGOUT|ana~; "
            "tls d; d> LOGIN|anA||$L~; d< REFUSED|nickname|El apodo anA pertenece a otra persona. "
            "Elige otro apodo.~; tls e; e> LOGIN|ana||$K~; e< TOKEN|$U~NICK|ana~; "
            "f> LOGIN|eva||$K; f< MESSAGE|La clave de un apodo solo se admite en una conexión "
            "cifrada.; tls g; g> LOGIN|eva||ABC~; g< REFUSED|nickname|La clave del apodo eva no "
            "es válida.~; tls h; h> LOGIN|eva||$L~; h< TOKEN|$V~NICK|ana~NICK|"
            "eva~; e< NICK|eva~; log @h \"eva\" left unclaimed: more than 1 claims in an hour; "
            "admin claims; log  - 1 claim\\n; log  - \"ana\" since 2; quiet e h",
            // Kept on disk, across a restart, until its holder comes for it; marks for a sender
            // away wait for it likewise. A line to someone away and unclaimed fails.
            "a line for a claimed nickname away is kept => start --refusal-delay 0; tls b; "
            "b> LOGIN|bea||$K~; b< TOKEN|$T~NICK|bea~; b> LOGOUT|bea~; tls a; "
            "a> LOGIN|ana||$L~; a< TOKEN|$U~NICK|ana~; a> PM|bea|ana|hola|$I~; a< MARK|$I|kept~; "
            "luis> LOGIN|luis; luis< NICK|anaNICK|luis; a< NICK|luis~; luis> PM|bea|luis|¿estás?; "
            "a> PM|nadie|ana|x|$J~; a< MARK|$J|failed|Tu mensaje para nadie no se entregó: nadie "
            "no está conectado.~; luis> PM|nadie|luis|x; luis< MESSAGE|Tu mensaje para nadie no "
            "se entregó: nadie no está conectado.; luis> PM|nadie|luis|y; quiet a luis; "
            "start --refusal-delay 0; tls c; c> LOGIN|bea||$K~; c< TOKEN|$V~NICK|bea~PM|bea|ana|"
            "hola|$I|$Z~PM|bea|luis|¿estás?|$W|$Z~; c> RECEIVED|ana|$J~; c> RECEIVED|ana|$I~; "
            "c> RECEIVED|luis|$W~; c> SEEN|ana|$I~; c> SEEN|luis|$W~; tls a2; a2> LOGIN|ana||$L~; "
            "a2< TOKEN|$X~NICK|bea~NICK|ana~MARK|$I|delivered~MARK|$I|read~; c< NICK|ana~; "
            "quiet a2 c; admin claims; log  - \"bea\" since 2; log , 0 lines kept\\n",
            // Marks come as they happen; RECEIVED and SEEN count only for what was sent to
            // whoever says them. A holder that goes leaves its unanswered lines kept.
            "marks on lines and a claim released => start --refusal-delay 0; tls b; "
            "b> LOGIN|bea||$K~; b< TOKEN|$T~NICK|bea~; tls a; a> LOGIN|ana||$L~; "
            "a< TOKEN|$U~NICK|bea~NICK|ana~; b< NICK|ana~; luis> LOGIN|luis; "
            "luis< NICK|beaNICK|anaNICK|luis; a< NICK|luis~; b< NICK|luis~; "
            "a> PM|luis|ana|hola|$M~; luis< PM|luis|ana|hola; a< MARK|$M|delivered~; "
            "a> PM|bea|ana|dos|$J~; b< PM|bea|ana|dos|$J|$Z~; b> SEEN|ana|$J~; "
            "b> RECEIVED|eva|$J~; b> RECEIVED|ana|$I~; quiet a; b> RECEIVED|ana|$J~; "
            "a< MARK|$J|delivered~; b> SEEN|eva|$J~; quiet a; b> SEEN|ana|$J~; a< MARK|$J|read~; "
            "a> PM|bea|ana|uno|$I~; b< PM|bea|ana|uno|$I|$Z~; close b; a< LOGOUT|bea~MARK|$I|kept~; "
            "luis< LOGOUT|bea; admin release bea; a< MARK|$I|failed|Tu mensaje para bea no se "
            "entregó: el administrador liberó su apodo.~; log  - released \"bea\": 1 kept "
            "lines dropped\\n; x> LOGIN|bea; x< NICK|anaNICK|luisNICK|bea; a< NICK|bea~; "
            "luis< NICK|bea; quiet a luis x",
            // Whatever nicknames one address writes as, it is one writer to what is kept.
            "one address cannot fill someone's kept lines => start --refusal-delay 0 "
            "--kept-per-address 2; tls b; b> LOGIN|bea||$K~; b< TOKEN|$T~NICK|bea~; "
            "b> LOGOUT|bea~; login s0:spam0 s1:spam1 s2:spam2; s0> PM|bea|spam0|1; "
            "s1> PM|bea|spam1|2; s2> PM|bea|spam2|3; s2< MESSAGE|Tu mensaje para bea no se pudo "
            "guardar: desde tu dirección ya se le han dejado demasiados mensajes sin leer.; "
            "o.5> LOGIN|otro; o.5< NICK|spam0NICK|spam1NICK|spam2NICK|otro; s0< NICK|otro; "
            "s1< NICK|otro; s2< NICK|otro; o.5> PM|bea|otro|4; quiet s0 s1 s2 o.5; admin claims; "
            "log , 3 lines kept\n",
            // A failure waits for the log-in that presents its sender's token; another user of
            // the name hears nothing of it, nor does anyone of a plain sender's.
            "a failure notice waits for its sender's token => start --refusal-delay 0; tls b; "
            "b> LOGIN|bea||$K~; b< TOKEN|$T~NICK|bea~; b> LOGOUT|bea~; tls s; s> LOGIN|sam~; "
            "s< TOKEN|$U~NICK|sam~; s> PM|bea|sam|hola~; s> LOGOUT|sam~; p> LOGIN|pepe; "
            "p< NICK|pepe; p> PM|bea|pepe|hola; p> LOGOUT|pepe; m> LOGIN|SAM; m< NICK|SAM; "
            "admin release bea; m> LOGIN|PEPE; m< NICK|PEPE; m> LOGOUT|PEPE; tls s2; "
            "s2> LOGIN|sam|$U~; s2< TOKEN|$V~NICK|sam~MESSAGE|Tu mensaje para bea no se "
            "entregó: el administrador liberó su apodo.~; p> LOGIN|pepe; p< NICK|samNICK|pepe; "
            "s2< NICK|pepe~; quiet s2 p; empty m",
            // Every line with an id ends with its mark, whatever refuses it.
            "lines refused for new correspondents are marked => start --refusal-delay 0 "
            "--max-new-correspondents 2; login b c d; tls a; a> LOGIN|ana||$K~; "
            "a< TOKEN|$T~NICK|b~NICK|c~NICK|d~NICK|ana~; b< NICK|ana; c< NICK|ana; d< NICK|ana; "
            "a> PM|b|ana|1|$I~; b< PM|b|ana|1; a< MARK|$I|delivered~; a> PM|c|ana|2|$J~; "
            "c< PM|c|ana|2; a< MARK|$J|delivered~; a> PM|d|ana|3|$M~; a< MARK|$M|failed|Tu "
            "mensaje para d no se entregó: ya escribiste a 2 personas nuevas en el último minuto. "
            "Espera un momento antes de escribir a otras.~; a> PM|d|ana|4|$N~; a< MARK|$N|failed|"
            "Tu mensaje para d no se entregó: ya escribiste a 2 personas nuevas en el último "
            "minuto. Espera un momento antes de escribir a otras.~; log @a \"ana\" refused: more "
            "than 2 new correspondents in a minute\n; quiet a b c d",
            // Its sender did not hear where it went: told again, never relayed twice, also by
            // a server that restarted meanwhile.
            "a line sent again is told where it is => start --refusal-delay 0; tls b; "
            "b> LOGIN|bea||$K~; b< TOKEN|$T~NICK|bea~; b> LOGOUT|bea~; tls a; a> LOGIN|ana||$L~; "
            "a< TOKEN|$U~NICK|ana~; a> PM|bea|ana|hola|$I~; a< MARK|$I|kept~; "
            "a> PM|bea|ana|hola|$I~; a< MARK|$I|kept~; tls c; c> LOGIN|cid||$O~; "
            "c< TOKEN|$V~NICK|ana~NICK|cid~; a< NICK|cid~; a> PM|cid|ana|uno|$J~; "
            "c< PM|cid|ana|uno|$J|$Z~; a> PM|cid|ana|uno|$J~; quiet a; empty c; "
            "c> RECEIVED|ana|$J~; a< MARK|$J|delivered~; a> PM|cid|ana|uno|$J~; "
            "a< MARK|$J|delivered~; quiet a c; start --refusal-delay 0; tls a2; "
            "a2> LOGIN|ana||$L~; a2< TOKEN|$W~NICK|ana~; a2> PM|bea|ana|hola|$I~; "
            "a2< MARK|$I|kept~; tls b2; b2> LOGIN|bea||$K~; b2< TOKEN|$X~NICK|ana~NICK|bea~"
            "PM|bea|ana|hola|$I|$Z~; a2< NICK|bea~; quiet a2 b2",
            // Every failure of the store is in the log, so many a minute, then counted.
            "the store's failures are logged => start --refusal-delay 0 --log-summary-interval "
            "1000; tls b; b> LOGIN|bea||$K~; b< TOKEN|$T~NICK|bea~; b> LOGOUT|bea~; tls a; "
            "a> LOGIN|ana||$L~; a< TOKEN|$U~NICK|ana~; disk full; a> PM|bea|ana|1|$I~; "
            "a< MARK|$I|failed|Tu mensaje para bea no se entregó: el servidor no pudo "
            "guardarlo.~; log  - cannot write what is kept: keep.sqlite: ; "
            "log  - 1 kept lines lost: ; 30* a> PM|bea|ana|x~; "
            "log  - a line for \"bea\" not kept: keep.sqlite: ; "
            "log more failures of the store: keep.sqlite: ; disk room",
            "unanswered lines past the bound fail => start --claims-per-hour 0 --max-rate 256m "
            "--max-messages 100000; tls b; b> LOGIN|bea||$K~; b< TOKEN|$T~NICK|bea~; "
            "luis> LOGIN|luis; luis< NICK|beaNICK|luis; 65* luis> PM|bea|luis|#65000; luis< MESSAGE|"
            "Tu mensaje para bea no se entregó: bea no confirmó haberlo recibido.; quiet luis",
            // Encryption when the client takes it; a client that ignores the offer talks in
            // clear, unless the server requires encryption.
            "encryption offered => tls a; a> LOGIN|ana~; a< TOKEN|$T~NICK|ana~; luis> LOGIN|luis; "
            "luis< NICK|anaNICK|luis; a< NICK|luis~; luis> PM|ana|luis|hola; a< PM|ana|luis|hola~; "
            "admin users; log @a \"ana\" encrypted\\n; log @luis \"luis\"\\n; quiet a luis; "
            "f> ACCEPT|frame|tls~LOGIN|f~; closed f; log @f disconnected: data before the "
            "encryption; g> ACCEPT|frame~LOGIN|gil~; g< ACCEPTED|frame~NICK|ana~NICK|luis~NICK|gil~",
            "encryption required => start --require-tls --stall-timeout 300; x> LOGIN|x; "
            "x< MESSAGE|Este servidor solo admite conexiones cifradas.; closed x; "
            "f> ACCEPT|frame~LOGIN|f~; f< ACCEPTED|frame~REFUSED|tls|Este servidor solo admite "
            "conexiones cifradas.~; closed f; tls a; a> LOGIN|ana~; a< TOKEN|$T~NICK|ana~; "
            "log @x refused: not encrypted; quiet a; h> ACCEPT|frame|tls~; "
            "h< ACCEPTED|frame|tls~; closed h; log @h disconnected: no TLS handshake",
            "the group's password => start --password=Ábrete, sésamo; tls a; a> LOGIN|ana~; "
            "a< REFUSED|password|Este servidor pide la contraseña del grupo para entrar.~; "
            "closed a; tls b; b> PASSWORD|ábrete, sésamo~; b< REFUSED|password|La contraseña del "
            "grupo no es correcta.~; closed b; c> LOGIN|c; c< MESSAGE|Este servidor pide la "
            "contraseña del grupo para entrar.; closed c; "
            "f> ACCEPT|frame~PASSWORD|Ábrete, sésamo~LOGIN|f~; f< ACCEPTED|frame~REFUSED|password|"
            "Este servidor pide la contraseña del grupo para entrar.~; tls d; "
            "d> PASSWORD|Ábrete, sésamo~LOGIN|ana~; d< TOKEN|$T~NICK|ana~; quiet d; "
            "log @b refused: wrong password; nolog sésamo",
            "log-in again switches the name => login ana luis; ana> ENTER|ana; luis> ENTER|luis; "
            "ana< ENTER|anaENTER|luis; luis< ENTER|luis; ana> LOGIN|anita; "
            "luis< LEAVE|anaLOGOUT|anaNICK|anita; ana< NICK|luisNICK|anita; luis> CHAT|luis|hola; "
            "luis< CHAT|luis|hola; ana> LOGIN|; ana> LOGIN; "
            "log @ana \"ana\" logged in again as \"anita\"\\n; quiet ana luis",
            "nobody is anybody before logging in => login ana; x> PM|ana|x|hola; "
            "x> IGNORE|x|ana; x> ENTER|x; x> CHAT|x|hola; x> LEAVE|x; x> GETUSER|; x> LOGOUT|x; "
            "x> LOGIN|; x> LOGIN; admin msg hola; ana< MESSAGE|hola; quiet ana x; x> LOGIN|x; "
            "x< NICK|anaNICK|x; ana< NICK|x; close y; log @y disconnected; quiet ana x",
            "IGNORE answers one PM => login ana luis eva; luis> PM|ana|eva|hola, ¿qué tal? €; "
            "ana< PM|ana|luis|hola, ¿qué tal? €; luis> PM|nadie|luis|x; ana> IGNORE|eva|luis; "
            "luis< MESSAGE|Tu mensaje para nadie no se entregó: nadie no está conectado.; "
            "luis< IGNORE|ana|luis; ana> IGNORE|ana|luis; eva> IGNORE|eva|luis; "
            "quiet ana luis eva; nolog qué",
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
            "login ana luis eva; x> ; luis> ENTER|luis; luis< ENTER|luis; "
            "admin msg  Cierre, año nuevo ; ana< MESSAGE|Cierre, año nuevo; "
            "luis< MESSAGE|Cierre, año nuevo; eva< MESSAGE|Cierre, año nuevo; admin users; "
            "log  - 3 users online, 1 more connected, not logged in\\n; "
            "log @luis \"luis\" in the room\\n; admin boot nadie; "
            "log boot: nobody called \"nadie\"; admin boot ana; ana< BOOT|ana; "
            "ana> LOGOUT|ana; luis< LOGOUT|ana; eva< LOGOUT|ana; closed ana; admin boot eva; "
            "eva< BOOT|eva; eva> CHAT|eva|no me voy; eva> ENTER|eva; closed eva; "
            "luis< LOGOUT|eva; log @eva disconnected: booted\\n; a2> LOGIN|ana; "
            "a2< NICK|luisNICK|ana; luis< NICK|ana; quiet luis a2",
            "a connection on which nobody logs in is closed => start --login-timeout 600 "
            "--hello-timeout 300; login luis; x> PM|luis|x|hola; a> LOGIN|ana; "
            "a< NICK|luisNICK|ana; luis< NICK|ana; a> LOGOUT|ana; luis< LOGOUT|ana; closed x; "
            "closed a; log @x disconnected: neither a password nor a log-in for 300 ms\\n; "
            "log @a disconnected: nobody logged in for 600 ms\\n; quiet luis",
            // Whatever the letter case, I, l and 1 look alike, and so do O and 0.
            "a nickname that looks like one online is refused => login alice bob; x> LOGIN|aIice; "
            "x< MESSAGE|El apodo aIice se confunde con el de alice, que ya está conectado. Elige "
            "otro apodo.; closed x; y> ACCEPT|frame~LOGIN|b0b~; y< ACCEPTED|frame~REFUSED|nickname|"
            "El apodo b0b se confunde con el de bob, que ya está conectado. Elige otro apodo.~; "
            "log @x refused: nickname \"aIice\" looks like \"alice\", online at @alice\\n; "
            "z> LOGIN|alina; z< NICK|aliceNICK|bobNICK|alina; alice< NICK|alina; bob< NICK|alina; "
            "quiet alice bob z",
            // Every newcomer is sent every nickname: none past the bound, whenever it comes.
            "nicknames have a longest length => login luis; x> LOGIN|#31; x< MESSAGE|El apodo no "
            "puede tener más de 30 caracteres. Elige otro apodo.; closed x; log @x refused: a "
            "nickname of 31 characters, \"" + QString(31, 'x') + "\"\\n; y> LOGIN|#30; "
            "y< NICK|luisNICK|#30; luis< NICK|#30; f> ACCEPT|frame~LOGIN|f~; f< ACCEPTED|frame~"
            "NICK|luis~NICK|#30~NICK|f~; luis< NICK|f; y< NICK|f; f> LOGIN|#5000~; "
            "f< REFUSED|nickname|El apodo no puede tener más de 30 caracteres. Elige otro "
            "apodo.~; closed f; luis< LOGOUT|f; y< LOGOUT|f; log @f refused: a nickname of 5000 "
            "characters, \"" + QString(64, 'x') + "\"... (5000 characters)\\n; quiet luis y",
            "quoted fields escape quotes and backslashes => login luis; q> LOGIN|a\"b\\c; "
            "q< NICK|luisNICK|a\"b\\c; luis< NICK|a\"b\\c; admin users; "
            "log @q \"a\\\"b\\\\c\"\\n; quiet luis",
            // Loopback is no exception; another address is another count.
            "connections from one address => start --max-connections-per-address 3; login a b c; "
            "d> LOGIN|d; closed d; log @d refused: more than 3 connections from its address\\n; "
            "e> LOGIN|e; closed e; x.5> LOGIN|x; x.5< NICK|aNICK|bNICK|cNICK|x; a< NICK|x; "
            "quiet a x.5; nolog @e",
            "connections not logged in from one address => start "
            "--max-not-logged-in-per-address 2; "
            "login a; x> ; y> ; z> ; closed z; "
            "log @z refused: more than 2 connections not logged in from its address\\n; "
            "x> LOGIN|x; x< NICK|aNICK|x; w> LOGIN|w; w< NICK|aNICK|xNICK|w; a< NICK|xNICK|w; "
            "x< NICK|w; "
            "quiet a x w",
            "log-ins from one address => start --max-logins-per-address 3; login a b c; "
            "d> ACCEPT|frame~LOGIN|d~; d< ACCEPTED|frame~REFUSED|busy|Desde tu dirección se ha "
            "entrado demasiadas veces en el último minuto. Espera un momento antes de volver a "
            "intentarlo.~; closed d; log @d refused: too many log-ins from its address\\n; "
            "e.6> LOGIN|e; e.6< NICK|aNICK|bNICK|cNICK|e; a< NICK|e; quiet a e.6",
            "a long message before log-in => start --max-message-before-login 64; "
            "f> ACCEPT|frame~LOGIN|#100; closed f; "
            "log @f disconnected: flood: a message of more than 64 bytes\\n; "
            "g> ACCEPT|frame~LOGIN|g~; g< ACCEPTED|frame~NICK|g~; g> PM|g|g|#100~; "
            "g< PM|g|g|#100~; g> LOGOUT|g~; g> #100~; closed g; "
            "log @g disconnected: flood: a message of more than 64 bytes\\n; "
            // A long line read together with the LOGIN before it comes after the log-in.
            "h> ACCEPT|frame~LOGIN|h~PM|h|h|#100~; h< ACCEPTED|frame~NICK|h~PM|h|h|#100~",
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
            "log-ins a minute => start --max-logins 3; login ana; f> LOGIN|f1; ana< NICK|f1; "
            "f> LOGIN|f2; ana< LOGOUT|f1NICK|f2; f> LOGIN|f3; ana< LOGOUT|f2NICK|f3; f> LOGIN|f4; "
            "closed f; log @f disconnected: flood: more than 3 log-ins in a minute\\n; "
            "ana< LOGOUT|f3; quiet ana",
            // Who is online and in the room waits for a slow reader as state, not history: a
            // change that undoes one still waiting cancels it, the lines said stay.
            "comings and goings wait as state => start --gap 500 --max-logins 60; login r; "
            "r> ENTER|r; r< ENTER|r; x> LOGIN|ana; x> ENTER|ana; x> LOGOUT|ana; x> LOGIN|ana; "
            "x> ENTER|ana; x> CHAT|ana|hola; x> LOGOUT|ana; x> LOGIN|Ana; x> LOGOUT|Ana; "
            "x> LOGIN|ana; r< NICK|anaENTER|anaCHAT|ana|holaLEAVE|ana; quiet r",
            "a reader under re-log-ins on new connections => start --gap 500 --max-queue 8; "
            "login r w; c1> LOGIN|u; w> PM|r|w|1; close c1; log @c1 disconnected; c2> LOGIN|u; "
            "w> PM|r|w|2; close c2; log @c2 disconnected; c3> LOGIN|u; w> PM|r|w|3; close c3; "
            "log @c3 disconnected; c4> LOGIN|u; w> PM|r|w|4; "
            "r< PM|r|w|1PM|r|w|2PM|r|w|3NICK|uPM|r|w|4; w< NICK|u; quiet r w",
            // Framed clients: the marker may come behind a plain message; a read holds any
            // number of messages, cut anywhere; nothing is paced.
            "a framed client => login luis; ana> LOGIN|anaACCEPT|frame~; "
            "ana< ACCEPTED|frame~NICK|luis~NICK|ana~; luis< NICK|ana; "
            "ana> PM|luis|ana|1~PM|luis|ana|2~CHAT|a; ana> na|x~ENTER|ana~; "
            "luis< PM|luis|ana|1PM|luis|ana|2; ana< ENTER|ana~; ana> CHAT|ana|hola~; "
            "ana< CHAT|ana|hola~; luis> PM|ana|luis|a~b; ana< PM|ana|luis|ab~; quiet ana luis",
            // Who is at their desk: to framed clients only, the sender too, and after the list.
            "states go to framed clients, after the list => login p; "
            "e> ACCEPT|frame~LOGIN|eva~; e< ACCEPTED|frame~NICK|p~NICK|eva~; p< NICK|eva; "
            "e> STATE|away| \t en\x01la \u0081reunión  ~; e< STATE|eva|away|en la  reunión~; "
            "e> STATE|busy|  #90 ~; e< STATE|eva|busy|#80~; e> STATE|busy|<b>x</b>~; "
            "e> STATE|fuera|x~; e> STATE|Away~; p> STATE|away|x; x> ACCEPT|frame~STATE|away|x~; "
            "e< STATE|eva|busy|<b>x</b>~; a> ACCEPT|frame~LOGIN|ana~; a< ACCEPTED|frame~NICK|p~"
            "NICK|eva~NICK|ana~STATE|eva|busy|<b>x</b>~; e< NICK|ana~; p< NICK|ana; "
            "a> STATE|away|~; e< STATE|ana|away|~; a< STATE|ana|away|~; a> GETUSER~; "
            "a< NICK|p~NICK|eva~NICK|ana~STATE|eva|busy|<b>x</b>~STATE|ana|away|~; "
            "p> GETUSER; p< NICK|pNICK|evaNICK|ana; e> LOGOUT|eva~; a< LOGOUT|eva~; p< LOGOUT|eva; e> LOGIN|eva~; "
            "e< NICK|p~NICK|ana~NICK|eva~STATE|ana|away|~; a< NICK|eva~; p< NICK|eva; "
            "a> GETUSER~; a< NICK|p~NICK|ana~NICK|eva~STATE|ana|away|~; quiet p e a",
            "state changes past the bound wait, the latest passed on => start "
            "--states-per-minute 2 window=1500; e> ACCEPT|frame~LOGIN|eva~; e< ACCEPTED|frame~"
            "NICK|eva~; e> STATE|away|1~; e> STATE|away|2~; e> STATE|away|3~; e> STATE|busy|4~; "
            "e< STATE|eva|away|1~STATE|eva|away|2~; a> ACCEPT|frame~LOGIN|ana~; "
            "a< ACCEPTED|frame~NICK|eva~NICK|ana~STATE|eva|away|2~; e< NICK|ana~; empty e; "
            "e< STATE|eva|busy|4~; a< STATE|eva|busy|4~; quiet e a",
            "a state not sent yet goes with its user => start gather=0; e> ACCEPT|frame~LOGIN|"
            "eva~; e< ACCEPTED|frame~NICK|eva~; a> ACCEPT|frame~LOGIN|ana~; a< ACCEPTED|frame~"
            "NICK|eva~NICK|ana~; e< NICK|ana~; a> STATE|away|x~LOGOUT|ana~; e< LOGOUT|ana~; quiet e",
            // Held up by its handshake, a reader's queue holds one state per user, none once
            // that user has gone.
            "states wait for a slow reader as state => r> LOGIN|rACCEPT|frame|tls~; "
            "r< ACCEPTED|frame|tls~; e> ACCEPT|frame~LOGIN|eva~; e< ACCEPTED|frame~NICK|r~NICK|"
            "eva~; e> STATE|away|1~; e> STATE|busy|2~; e< STATE|eva|away|1~STATE|eva|busy|2~; "
            "a> ACCEPT|frame~LOGIN|ana~; a< ACCEPTED|frame~NICK|r~NICK|eva~NICK|ana~STATE|eva|"
            "busy|2~; e< NICK|ana~; a> STATE|away|3~; a< STATE|ana|away|3~; a> LOGOUT|ana~; "
            "e< STATE|ana|away|3~LOGOUT|ana~; handshake r; r< NICK|r~NICK|eva~STATE|eva|busy|2~; "
            "r> PM|r|r|x~; r< PM|r|r|x~; quiet e",
            "a client whose messages pile up at a reader is held back => start --max-waiting 4 "
            "--gap 100; login r s t; s> ACCEPT|frame~; s< ACCEPTED|frame~; 6* s>> PM|r|s|x~; "
            "s>> PM|t|s|y~; "
            "log @s held back: its share of messages waits for @r\\n; t< PM|t|s|y; 6* r< PM|r|s|x; "
            "log @s goes on\\n; quiet r s t",
            "PMs to too many new correspondents in a minute => start --max-new-correspondents 2; "
            "login a b c d; a> PM|b|a|1; a> PM|c|a|2; a> PM|nadie|a|x; a> PM|d|a|3; a> PM|d|a|4; "
            "a> PM|b|a|5; b< PM|b|a|1PM|b|a|5; c< PM|c|a|2; a< MESSAGE|Tu mensaje para nadie no "
            "se entregó: nadie no está conectado.; a< MESSAGE|Tu mensaje para d no se "
            "entregó: ya escribiste a 2 personas nuevas en el último minuto. Espera un momento "
            "antes de escribir a otras.; log @a \"a\" refused: more than 2 new correspondents; "
            "quiet a b c d",
            "new correspondents from one address => start --max-new-correspondents-per-address 2; "
            "login r a b c; a> PM|r|a|1; b> PM|r|b|2; c> PM|r|c|3; r< PM|r|a|1PM|r|b|2; "
            "c< MESSAGE|Tu mensaje para r no se entregó: desde tu dirección ya se escribió a 2 "
            "personas nuevas en el último minuto. Espera un momento antes de escribir a otras.; "
            "log @c \"c\" refused: more than 2 new correspondents in a minute from its address\\n; "
            "quiet r a b c",
            "a line past twice the bound is refused and told => start --gap 300 --max-queue 1; "
            "login r a b c; a> PM|r|a|1; b> PM|r|b|2; c> PM|r|c|3; c< MESSAGE|Tu mensaje para r "
            "no se entregó: tiene demasiados mensajes por leer. Prueba de nuevo en un momento.; "
            "r< PM|r|a|1PM|r|b|2; quiet r a b c",
            "an encrypted client that takes nothing is closed => start --stall-timeout 300 "
            "--max-waiting 100000 --max-queue-bytes 64m --max-rate 256m --max-messages 100000; "
            "login ana; tls sordo; sordo> LOGIN|sordo~; deaf sordo; ana< NICK|sordo; "
            "600* ana> PM|sordo|ana|#16384; "
            "log @sordo disconnected: not reading: nothing taken for 300 ms\\n; "
            "ana< LOGOUT|sordo; ana> PM|sordo|ana|x; ana< MESSAGE|" + gone + "; quiet ana",
            "a client that takes nothing is closed => start --stall-timeout 300 --max-waiting "
            "100000 --max-queue-bytes 64m --max-rate 256m --max-messages 100000; login ana sordo; "
            "deaf sordo; 600* ana> PM|sordo|ana|#16384; "
            "log @sordo disconnected: not reading: nothing taken for 300 ms\\n; ana< LOGOUT|sordo; "
            "ana> PM|sordo|ana|x; ana< MESSAGE|" + gone + "; quiet ana",
            // Not closed for what others send: they wait; closed only once it takes nothing.
            "a reader that takes nothing holds its writers back => start --max-queue 20 "
            "--stall-timeout 300 --max-rate 256m --max-messages 100000; login ana sordo; "
            "ana> ACCEPT|frame~; ana< ACCEPTED|frame~; deaf sordo; "
            "1050* ana>> PM|sordo|ana|#16384~; log @ana held back: its share of messages waits "
            "for @sordo\\n; ana< LOGOUT|sordo~; "
            "log @sordo disconnected: not reading: nothing taken for 300 ms\\n; "
            "ana> PM|sordo|ana|x~; ana< MESSAGE|" + gone + "~; quiet ana; "
            "nolog more than",
        });
    }

    void relays()
    {
        QFETCH(QString, script);
        m_captured = {{"K", QString(32, 'a') + QString(32, 'b')}, {"L", QString(64, 'c')},
                      {"O", QString(64, '9')}, {"I", QString(32, 'd')}, {"J", QString(32, 'e')},
                      {"M", QString(32, 'f')}, {"N", QString(32, '8')}};
        run(script.startsWith("start") ? script : "start; " + script);
    }

    // Each wrong password from an address is refused later than the one before, and the next
    // is checked no sooner; after enough of them the address is locked out, the right password
    // refused too, while another address is not. Only the first refusal has a line of its own.
    void wrongPasswordsWaitLonger()
    {
        run("start --password-delay 200 --max-password-failures 3 --log-summary-interval 1000 "
            "--password=sésamo");
        QElapsedTimer clock;
        for (const auto &[who, delay] : {std::pair{"a", 200}, {"b", 400}, {"c", 800}}) {
            run(QString("tls %1; %1> PASSWORD|mal~").arg(who));
            clock.start();
            run(QString("%1< REFUSED|password|La contraseña del grupo no es correcta.~; closed %1")
                    .arg(who));
            QVERIFY2(clock.elapsed() >= delay * 9 / 10 && clock.elapsed() < delay + 3000,
                     qPrintable(QString::number(clock.elapsed())));
        }
        run("tls d; d> PASSWORD|sésamo~LOGIN|d~; d< REFUSED|busy|Desde tu dirección se han "
            "probado demasiadas contraseñas equivocadas. Espera unos minutos antes de volver a "
            "intentarlo.~; closed d; tls e.8; e.8> PASSWORD|sésamo~LOGIN|e~; "
            "e.8< TOKEN|$T~NICK|e~; "
            "log @a refused: wrong password\n; log @d refused: too many wrong passwords\n; "
            "nolog @b; nolog @c refused");
        // b's and c's, in one line or two as the minute (here a second) falls.
        const QRegularExpression summary(" 127.0.0.1 [12] more wrong passwords\n");
        QVERIFY(waitUntil([&] { return m_log.contains(summary); }));
        // Any other refusal waits as well, the connection handling nothing meanwhile.
        clock.start();
        run("f.9> LOGIN|f; f.9< MESSAGE|Este servidor pide la contraseña del grupo para entrar.; "
            "closed f.9");
        QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
    }

    // A client answers every line kept for it at once, in one write: neither those answers'
    // number nor their bytes are a flood. Three writers, each within its own second's worth.
    void answersAreNoFlood()
    {
        const QStringList writers = {"ana", "dan", "eva"};
        m_captured = {{"K", QString(64, 'a')}};
        QString logIns, sends, reads, answers, marks;
        for (const QString &w : writers) {
            const QString key = w.left(1).toUpper(), token = QString("XYW")[writers.indexOf(w)];
            m_captured[key] = QString(64, w[0]);
            logIns += "tls " + w + "; " + w + "> LOGIN|" + w + "||$" + key + "~; " + w
                + "< TOKEN|$" + token + "~; ";
        }
        for (int i = 0; i < 30; ++i) {
            const QString w = writers[i % 3], id = QString("%1").arg(i, 32, 10, QChar('0'));
            sends += w + "> PM|bea|" + w + "|x|" + id + "~; " + w + "< MARK|" + id + "|kept~; ";
            reads += "PM|bea|" + w + "|x|" + id + "|$Z~";
            answers += "RECEIVED|" + w + "|" + id + "~";
            marks += w + "< MARK|" + id + "|delivered~; ";
        }
        run("start --refusal-delay 0 --max-rate 1k; tls b; b> LOGIN|bea||$K~; b< TOKEN|$T~; "
            "b> LOGOUT|bea~; " + logIns + "ana< NICK|ana~NICK|dan~NICK|eva~; dan< NICK|ana~"
            "NICK|dan~NICK|eva~; eva< NICK|ana~NICK|dan~NICK|eva~; " + sends + "tls c; c> LOGIN|bea||$K~; c< TOKEN|$V~NICK|"
            "ana~NICK|dan~NICK|eva~NICK|bea~" + reads + "; ana< NICK|bea~; dan< NICK|bea~; "
            "eva< NICK|bea~; c> " + answers + "; " + marks + "quiet c");
    }

    // Guesses from one address that come together take turns: each is checked once the delay
    // the wrong one before it earned has passed, so the waits go on doubling.
    void guessesTogetherWaitLongerEachTime()
    {
        run("start --password-delay 100 --password=sésamo; tls a; tls b; tls c; tls d");
        QElapsedTimer clock;
        clock.start();
        for (const QString who : {"a", "b", "c", "d"})
            run(who + ">> PASSWORD|mal~");
        QList<qint64> refused;
        for (const QString who : {"a", "b", "c", "d"}) {
            run(who + "< REFUSED|password|La contraseña del grupo no es correcta.~");
            refused << clock.elapsed();
        }
        // About 100, 300, 700 and 1500 ms after they came.
        QVERIFY2(refused[2] - refused[1] >= 360 && refused[3] - refused[2] >= 720,
                 qPrintable(QString("%1 %2 %3 %4").arg(refused[0]).arg(refused[1])
                                .arg(refused[2]).arg(refused[3])));
    }

    // A reader that takes a little at each tick, under writers from 200 addresses: they wait
    // their turns, and it is neither closed nor loses a line.
    void aSlowReaderUnderManyWriters()
    {
        run("start --stall-timeout 2000 --max-queue 400; r> ACCEPT|frame~LOGIN|r~; "
            "r< ACCEPTED|frame~NICK|r~");
        Peer &r = peer("r");
        r.socket.disconnect(&r);
        r.socket.setReadBufferSize(256);
        r.socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        QByteArray got;
        QTimer tick;
        connect(&tick, &QTimer::timeout, this, [&] { got += r.socket.read(256); });
        tick.start(5);
        std::vector<std::unique_ptr<QTcpSocket>> writers(200);
        QStringList expected;
        for (size_t i = 0; i < writers.size(); ++i) {
            QTcpSocket &w = *(writers[i] = std::make_unique<QTcpSocket>());
            QVERIFY(w.bind(QHostAddress("127.0.1." + QString::number(i + 1))));
            w.connectToHost(QHostAddress(kAddress), wire::ServerPort);
            QVERIFY(waitUntil([&] { return w.state() == QAbstractSocket::ConnectedState; }));
            const QString name = "w" + QString::number(i);
            for (int n = 0; n < 2; ++n)
                expected << pipes("PM|r|" + name + "|" + QString::number(n) + QString(100, 'x'));
            const QString lines = expected.mid(2 * i).join("~") + "~";
            w.write(bytes("ACCEPT|frame~LOGIN|" + name + "~" + lines));
        }
        QVERIFY(waitUntil([&] { return got.count(bytes("x~")) >= 400; }, 20000));
        QStringList lines = wire::fromCodePage(got).split(pipes("~")).filter(pipes("PM|r|"));
        // Each writer's lines in order, whatever came between.
        const auto bySender = [](const QString &a, const QString &b) {
            return a.section(wire::FieldSeparator, 2, 2) < b.section(wire::FieldSeparator, 2, 2);
        };
        std::stable_sort(lines.begin(), lines.end(), bySender);
        std::stable_sort(expected.begin(), expected.end(), bySender);
        QCOMPARE(lines, expected);
        QVERIFY2(!m_log.contains("not reading") && r.connected(), qPrintable(m_log.right(2000)));
    }

    // To a plain client messages leave one write at a time, the gap apart, so that it reads
    // each apart; to a framed one they leave together, at once.
    void aBurstOfNotices_data()
    {
        QTest::addColumn<QString>("end");
        QTest::newRow("plain") << "";
        QTest::newRow("framed") << "~";
    }

    void aBurstOfNotices()
    {
        QFETCH(QString, end);
        run(end.isEmpty() ? "start; login ana"
                          : "start; ana> ACCEPT|frame~LOGIN|ana~; "
                            "ana< ACCEPTED|frame~NICK|ana~");
        const qsizetype before = peer("ana").reads.size();
        QElapsedTimer clock;
        clock.start();
        QStringList all;
        for (int i = 0; i < 200; ++i) {
            m_server->admin("msg aviso " + QString::number(i));
            all << "MESSAGE|aviso " + QString::number(i) + end;
        }
        run("ana< " + all.join(""));
        const QList<QByteArray> reads = peer("ana").reads.mid(before);
        if (!end.isEmpty()) {
            QVERIFY2(reads.size() < 10, qPrintable(QString::number(reads.size())));
            return;
        }
        QVERIFY(clock.elapsed() >= 199 * 5);
        QCOMPARE(reads, bytes(all.join('\n')).split('\n'));
    }

    // Our client and our server agree on framing and encryption before the client sends
    // anything; nothing of the agreement reaches the client's handler.
    void ourClientWithOurServerIsEncrypted()
    {
        run("start");
        ClientSocket client;
        QStringList got;
        QString seen;
        connect(&client, &ClientSocket::connected, this,
                [&] { client.sendData(pipes("LOGIN|ana")); });
        connect(&client, &ClientSocket::dataArrival, this, [&] { got << client.getData(); });
        connect(&client, &ClientSocket::certificateSeen, this,
                [&](const QString &fingerprint) { seen = fingerprint; });
        client.connectTo(kAddress, wire::ServerPort);
        QVERIFY(waitUntil([&] { return client.isFramed() && got.size() == 2; }));
        client.sendData(pipes("ENTER|ana"));
        QVERIFY(waitUntil([&] { return got.size() == 3; }));
        QVERIFY(got.takeFirst().startsWith(pipes("TOKEN|")));
        QCOMPARE(got, QStringList({pipes("NICK|ana"), pipes("ENTER|ana")}));
        QCOMPARE(client.fingerprint(), seen);
        QVERIFY(m_log.contains("fingerprint is " + seen + '\n'));
        // The key is the server's user's alone.
        QCOMPARE(QFileInfo(m_state.filePath("tls-key.pem")).permissions() & 0x0077,
                 QFile::Permissions());
    }

    // To a server that never offers framing, each of our client's messages is a read of its own.
    void ourClientWritesEachMessageApart()
    {
        QTcpServer plain;
        QVERIFY(plain.listen(QHostAddress("127.0.0.28"), wire::ServerPort));
        ClientSocket client;
        client.setClearAllowed(true);
        client.connectTo("127.0.0.28", wire::ServerPort);
        QVERIFY(waitUntil([&] { return plain.hasPendingConnections(); }));
        QTcpSocket *socket = plain.nextPendingConnection();
        QList<QByteArray> reads;
        connect(socket, &QTcpSocket::readyRead, this, [&] { reads << socket->readAll(); });
        QVERIFY(waitUntil([&] { return client.state() == ClientSocket::Connected; }));
        const QStringList messages = {"LOGIN|ana", "ENTER|ana", "CHAT|ana|hola"};
        for (const QString &message : messages)
            client.sendData(pipes(message));
        QVERIFY(waitUntil([&] { return reads.size() >= 3; }));
        QCOMPARE(reads, bytes(messages.join('\n')).split('\n'));
    }

    // The administrator's socket: a command acts as on standard input and is answered with
    // what it logged; the socket is the server user's alone, and another user who reaches it
    // all the same is refused.
    void theAdministratorsSocket()
    {
        run("start; login ana luis");
        QTemporaryDir dir;
        const QString path = dir.filePath("admin.sock");
        AdminChannel channel([this](const QString &line) { return m_server->admin(line); });
        QCOMPARE(channel.listen(path), QString());
        QCOMPARE(QFileInfo(path).permissions() & ~(QFile::ReadOwner | QFile::WriteOwner
                                                   | QFile::ExeOwner | QFile::ReadUser
                                                   | QFile::WriteUser | QFile::ExeUser),
                 QFile::Permissions());
        const auto ask = [&](const QString &line) {
            QLocalSocket socket;
            socket.connectToServer(path);
            socket.write(line.toUtf8() + '\n');
            QByteArray answer;
            waitUntil([&] {
                answer += socket.readAll();
                return socket.state() == QLocalSocket::UnconnectedState;
            });
            return QString::fromUtf8(answer + socket.readAll());
        };
        QCOMPARE(ask("msg hola a todos"), "- notice to 2 users: \"hola a todos\"\nexit 0\n");
        QVERIFY(ask("users").contains(peer("luis").name + " \"luis\"\n"));
        QVERIFY(ask("boot luis").contains(peer("luis").name + " booted \"luis\""));
        QVERIFY(ask("boot nadie").endsWith(" is online\nexit 1\n"));
        run("ana< MESSAGE|hola a todos; luis< MESSAGE|hola a todosBOOT|luis; quiet ana");
        if (::geteuid() != 0)
            QSKIP("only root can be another user");
        ::chmod(qPrintable(dir.path()), 0755);
        ::chmod(qPrintable(path), 0777);
        QProcess nobody;
        nobody.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                 KORVEX_SERVER_PROGRAM, "--admin", "users", "--admin-socket", path});
        QVERIFY(waitUntil([&] { return nobody.state() == QProcess::NotRunning; }));
        QCOMPARE(nobody.readAllStandardOutput(), QByteArray(AdminChannel::Refusal) + "\n");
        QCOMPARE(nobody.exitCode(), 1);
    }

    // A server that goes while a closed connection waits to be deleted takes it along before
    // what the connection uses goes (the sanitizers see the difference).
    void aServerGoesWithItsClosedConnections()
    {
        struct KeepUndeleted : QObject {
            bool eventFilter(QObject *, QEvent *event) override
            {
                return event->type() == QEvent::DeferredDelete;
            }
        } keep;
        run("start; x> LOGIN|x; x< NICK|x");
        const QPointer<Connection> connection = m_server->findChild<Connection *>();
        connection->installEventFilter(&keep);
        run("close x; log @x disconnected");
        QVERIFY(connection);
        m_server.reset();
        QVERIFY(!connection);
    }

    // Options that cannot work together, and password files that are no secret, stop the
    // server before it starts.
    void commandLineErrors_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("error");
        QTest::newRow("required, not offered") << "--require-tls --no-tls" << "needs encryption";
        QTest::newRow("password in clear")
            << "--no-framing --password-file @0600" << "only sent encrypted";
        QTest::newRow("password readable by others")
            << "--password-file @0640" << "may be read by others";
        QTest::newRow("no such file") << "--password-file /nonexistent" << "cannot read";
        QTest::newRow("letters that do not travel")
            << "--password-file @0600=пароль" << "do not travel";
        QTest::newRow("a separator") << "--password-file @0600=a¤¶£Æb" << "do not travel";
        QTest::newRow("fine") << "--require-tls --password-file @0600" << "";
        // A state folder, key or certificate that another may change, a key another may read.
        QTest::newRow("folder others write") << "--state-dir folder%0757" << "be written by";
        QTest::newRow("key others read") << "--state-dir key%0640" << "be read or written by";
        QTest::newRow("certificate others write")
            << "--state-dir certificate%0620" << "be written by";
        QTest::newRow("fine state") << "--state-dir key%0600" << "";
    }

    void commandLineErrors()
    {
        QFETCH(QString, options);
        QFETCH(QString, error);
        QFile file(m_state.filePath("password"));
        const auto mode = QRegularExpression("@(0\\d+)=?(\\S*)").match(options);
        const QString password = mode.captured(2).isEmpty() ? "secreto" : mode.captured(2);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(password.toUtf8() + '\n') > 0);
        file.close();
        if (mode.hasMatch()) {
            ::chmod(qPrintable(file.fileName()), mode_t(mode.captured(1).toUInt(nullptr, 8)));
            options.replace(mode.captured(0), file.fileName());
        }
        const auto state = QRegularExpression("(\\w+)%(0\\d+)").match(options);
        QTemporaryDir folder;
        if (state.hasMatch()) {
            const QString file = folder.filePath("tls-" + state.captured(1) + ".pem");
            QVERIFY(state.captured(1) == "folder" || QFile(file).open(QIODevice::WriteOnly));
            ::chmod(qPrintable(state.captured(1) == "folder" ? folder.path() : file),
                    mode_t(state.captured(2).toUInt(nullptr, 8)));
            options.replace(state.captured(0), folder.path());
        }
        const CommandLine line = parseCommandLine(QStringList{"-", "--state-dir", m_state.path()}
                                                  + options.split(' '));
        QVERIFY2(error.isEmpty() ? line.error.isEmpty() : line.error.contains(error),
                 qPrintable(line.error));
        if (error.isEmpty() && !state.hasMatch())
            QCOMPARE(line.config.password, QByteArray("secreto"));
    }

    // The program itself: administrator lines on standard input, serving on once it ends;
    // near its limit of open files, it closes new connections at once, so that their clients
    // try again, and serves again once files are free.
    // Killed while lines are being kept: after the restart, every line its sender was told is
    // kept reaches its recipient, in order, once; answered, none comes again.
    void keptLinesSurviveAKill()
    {
        QProcess server;
        const QStringList options{"--listen", "127.0.0.27", "--state-dir", m_state.path(),
                                  "--max-messages", "100000", "--max-rate", "100000000",
                                  "--kept-per-sender", "1000"};
        QByteArray log;
        const auto start = [&] {
            server.start(KORVEX_SERVER_PROGRAM, options);
            log.clear();
            return waitUntil([&] { return (log += server.readAll()).contains("listening"); });
        };
        QVERIFY(start());
        // A user of the extension on the client's own socket: what it is sent, in order.
        struct User {
            ClientSocket socket;
            QList<wire::Message> got;
            void logIn(const QString &nickname, const QString &key)
            {
                QObject::connect(&socket, &ClientSocket::connected, &socket, [=, this] {
                    socket.sendData(wire::buildMessage(u"LOGIN", {nickname, QString(), key}));
                });
                QObject::connect(&socket, &ClientSocket::dataArrival, &socket,
                                 [this] { got << wire::Message(socket.getData()); });
                socket.connectTo("127.0.0.27", wire::ServerPort);
                QVERIFY(waitUntil([&] { return !got.isEmpty(); })); // its TOKEN
            }
        };
        const QString anasKey(64, 'a');
        std::make_unique<User>()->logIn("ana", anasKey); // claims the nickname, and goes
        User luis;
        luis.logIn("luis", QString(64, 'b'));
        QStringList ids;
        for (int i = 0; i < 1000; ++i) {
            ids << QString::number(i).rightJustified(32, '0');
            luis.socket.sendData(wire::buildMessage(u"PM", {u"ana", u"luis", ids.last(), ids.last()}));
        }
        const auto kept = [&] {
            QStringList marked;
            for (const wire::Message &message : luis.got)
                if (message.command() == wire::Mark && message.field(2) == wire::MarkKept)
                    marked << message.field(1);
            return marked;
        };
        // Killed in the middle of the burst.
        QVERIFY(waitUntil([&] { return kept().size() >= 200; }, 30'000));
        ::kill(pid_t(server.processId()), SIGKILL);
        QVERIFY(server.waitForFinished());
        const QStringList told = kept();
        QVERIFY(waitUntil([&] { return luis.socket.state() == 0; }));
        QVERIFY(start());
        User back;
        back.logIn("ana", anasKey);
        // Everything the server had for her has come once her own line is back: it answers
        // in order.
        back.socket.sendData(wire::buildMessage(u"PM", {u"ana", u"ana", u"fin"}));
        QVERIFY(waitUntil([&] { return back.got.last().field(3) == "fin"; }));
        QStringList delivered;
        for (const wire::Message &message : back.got)
            delivered << (message.field(2) == "luis" ? message.field(4) : QString());
        delivered.removeAll(QString());
        // In order, each once, and every one told kept among them.
        QCOMPARE(delivered, ids.mid(0, delivered.size()));
        for (const QString &id : told)
            QVERIFY(delivered.contains(id));
        server.kill();
        server.waitForFinished();
    }

    void theProgram()
    {
        QProcess program;
        program.start("prlimit", {"--nofile=64", KORVEX_SERVER_PROGRAM, "--listen", "127.0.0.27",
                                  "--state-dir", m_state.path(), "--max-connections-per-address",
                                  "100", "--max-not-logged-in-per-address", "100"});
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
        const QByteArray expected = bytes("OFFER|frame|tls|keep") + bytes("NICK|ana");
        QVERIFY(waitUntil([&] { return client.bytesAvailable() >= expected.size(); }));
        QCOMPARE(client.readAll(), expected);
        std::vector<std::unique_ptr<QTcpSocket>> crowd(80);
        for (auto &socket : crowd) {
            socket = std::make_unique<QTcpSocket>();
            socket->connectToHost(QHostAddress("127.0.0.27"), wire::ServerPort);
        }
        QVERIFY(logged("near the limit of open files"));
        QVERIFY(waitUntil([&] { return crowd.back()->state() == QTcpSocket::UnconnectedState; }));
        crowd.clear();
        // Trying again, as a client does, until the server has seen the crowd go.
        QTcpSocket late;
        QVERIFY(waitUntil([&] {
            if (late.state() == QAbstractSocket::UnconnectedState)
                late.connectToHost(QHostAddress("127.0.0.27"), wire::ServerPort);
            return late.bytesAvailable() > 0;
        }));
        program.kill();
        QVERIFY(program.waitForFinished());
    }

    // What the scripts do not reach of the event loop, while a 0 ms timer keeps it busy: a
    // regular file, which epoll refuses (standard input from a file), is always ready, as
    // poll has it; a timer restarted by an earlier one's handler in the same turn waits.
    void eventLoop()
    {
        QVERIFY(qobject_cast<EpollDispatcher *>(QAbstractEventDispatcher::instance()));
        QTemporaryFile file;
        QVERIFY(file.open());
        int pipe[2];
        QVERIFY(::pipe(pipe) == 0 && ::write(pipe[1], "x", 1) == 1);
        QSocketNotifier onFile(file.handle(), QSocketNotifier::Read);
        QSocketNotifier onPipe(pipe[0], QSocketNotifier::Read);
        QSignalSpy fromFile(&onFile, &QSocketNotifier::activated);
        QSignalSpy fromPipe(&onPipe, &QSocketNotifier::activated);
        QTimer first, restarted, periodic;
        QSignalSpy fromRestarted(&restarted, &QTimer::timeout);
        connect(&first, &QTimer::timeout, &restarted, [&] { restarted.start(60000); });
        QList<int> remaining; // a periodic timer's, as its handler sees it
        connect(&periodic, &QTimer::timeout, [&] { remaining.append(periodic.remainingTime()); });
        first.start(0);
        restarted.start(0);
        periodic.start(5);
        QTRY_VERIFY(fromFile.size() > 1 && fromPipe.size() > 1 && remaining.size() > 2);
        QCOMPARE(fromRestarted.size(), 0);
        QVERIFY(*std::min_element(remaining.begin(), remaining.end()) > 0);
        ::close(pipe[0]);
        ::close(pipe[1]);
    }
};

QTEST_GUILESS_MAIN(TestServer)
#include "test_server.moc"
