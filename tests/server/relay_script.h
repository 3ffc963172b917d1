#pragma once

// The relay server against raw sockets on a loopback address of each test's own: scripts of what
// clients send and exactly what each one reads back.
#include "protocol/client_socket.h"
#include "server/admin_channel.h"
#include "server/command_line.h"
#include "server/net/epoll_dispatcher.h"
#include "server/relay/relay_server.h"
#include "server/net/stream.h"
#include "support/script.h"

#include <functional>

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


// Runs the event loop until the condition holds. Unlike QTest::qWaitFor, which sleeps between
// rounds of events, this waits on the sockets, so every client here reads as promptly as a
// real one.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 5000);

// A client made of a bare socket: what it receives is one byte stream, and a list of reads.
struct Peer : QObject {
    Peer(RelayServer &relay, const QString &server, const QHostAddress &from)
    {
        connect(&socket, &QTcpSocket::readyRead, this, [this] {
            reads.append(socket.readAll());
            buffer += reads.last();
        });
        connect(&relay, &RelayServer::readHandled, this, [this](const QString &peer, qint64 n) {
            handled += peer == name ? n : 0;
        });
        // Named as it connects: a refused one is closed at once.
        connect(&socket, &QTcpSocket::connected, this, [this] {
            name = socket.localAddress().toString() + ':' + QString::number(socket.localPort());
        });
        if (!from.isNull())
            socket.bind(from);
        socket.connectToHost(QHostAddress(server), wire::ServerPort);
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

// What every test of the relay shares: a server of its own on its address, its peers, and the
// scripts that drive them.
class RelayScript : public QObject {
    Q_OBJECT

public:
    explicit RelayScript(QString address) : m_address(std::move(address)) {}
    // Everything here runs on the server's own event loop, as the program does. No server of a
    // test reaches the machine's Avahi daemon: their announcements find no system bus.
    static void initMain()
    {
        QCoreApplication::setEventDispatcher(new EpollDispatcher);
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/korvex-test-bus");
    }

protected:
    const QString m_address;
    QString m_log;
    QTextStream m_stream{&m_log};
    std::unique_ptr<RelayServer> m_server;
    std::map<QString, std::unique_ptr<Peer>> m_peers;
    int m_syncs = 0;
    // The server's state folder, and a password file for it.
    QTemporaryDir m_state;
    // What a step captured: $T in "ana< TOKEN|$T~" is the secret ana was given.
    std::map<QString, QString> m_captured;
    // Done to each server a script starts, before it listens.
    std::function<void(RelayServer &)> m_prepare;

    Peer &peer(const QString &label)
    {
        std::unique_ptr<Peer> &p = m_peers[label];
        // ana.5 connects from 127.0.0.5, the others from where the system puts them.
        const QString from = label.section('.', 1);
        return p ? *p
                 : *(p = std::make_unique<Peer>(*m_server, m_address, from.isEmpty()
                                                    ? QHostAddress()
                                                    : QHostAddress("127.0.0." + from)));
    }

    // A script, steps apart by "; ":
    //   ana> TEXT   ana's connection sends TEXT as one read (#N in a step: N times x), and
    //               waits until the server has handled it; ana>> TEXT does not wait
    //               (ana.5 is a client on 127.0.0.5)
    //   ana< TEXT   the next bytes ana reads are exactly TEXT; $T in it reads a secret (32
    //               hex digits), which $T in later steps stands for; $Z reads a time (UTC),
    //               $C and $D a desk's code.
    //               $K and $L stand for keys, $I, $J and $M for ids of lines
    //   tls ana     ana's connection takes the offer of encryption
    //   login ana ana2:ana luis   each logs in (ana2 as ana), then each reads the whole list
    //   quiet ana luis   nothing more has come for them (one logged in writes to itself: the
    //                    server answers each connection in order)
    //   start OPTIONS   a server with these options of its command line (--password=WORD:
    //                   a password file holding WORD; window=MS: the states' minute)
    //   handshake ana   ana, which has taken the offer of encryption, begins its handshake
    //   admin LINE, close ana (at once), hangup ana (after what it sent), closed ana,
    //   deaf ana, log TEXT, nolog TEXT (@ana in a log text
    //   is ana's address and port), empty ana (nothing unread)
    //   disk full, disk room   no file of this process grows past its first byte, or as before
    //   held N      the server's folder of files holds N files' bytes, whole or not
    //   N* STEP     the step N times
    void run(const QString &script);

    // A row of a table of scripts: its keys ($K, $L, $O) and ids ($I, $J, $M, $N) stand for
    // known values; a script that starts no server of its own runs on one with the defaults.
    void playRow()
    {
        QFETCH(QString, script);
        m_captured = {{"K", QString(32, 'a') + QString(32, 'b')}, {"L", QString(64, 'c')},
                      {"O", QString(64, '9')}, {"I", QString(32, 'd')}, {"J", QString(32, 'e')},
                      {"M", QString(32, 'f')}, {"N", QString(32, '8')}};
        run(script.startsWith("start") ? script : "start; " + script);
    }

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
};
