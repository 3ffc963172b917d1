// One client's connection: floods, framing, what waits for a slow reader and who pays for it,
// a reader that takes nothing, pacing, and the event loop under it all.
#include "relay_script.h"

class TestConnection : public RelayScript {
    Q_OBJECT

public:
    TestConnection() : RelayScript("127.0.0.26") {}

private Q_SLOTS:
    void relays_data()
    {
        // What a writer to a reader that has gone is told, once a minute.
        const QString gone = "Tu mensaje para sordo no se entregó: sordo no está conectado.";
        scriptRows({
            "more messages a second than allowed => start --max-messages 3; login ana f; "
            "f> GETUSER|; f< NICK|anaNICK|f; f> GETUSER|; f< NICK|anaNICK|f; f> GETUSER|; "
            "closed f; ana< LOGOUT|f; "
            "log @f disconnected: flood: more than 3 messages in a second\\n; quiet ana",
            "more bytes a second than allowed => start --max-rate 64k; login ana f; "
            "f> #16777216; closed f; ana< LOGOUT|f; "
            "log @f disconnected: flood: more than 65536 bytes in a second\\n; quiet ana",
            // Framed clients: the marker may come behind a plain message; a read holds any
            // number of messages, cut anywhere; nothing is paced.
            "a framed client => login luis; ana> LOGIN|anaACCEPT|frame~; "
            "ana< ACCEPTED|frame~NICK|luis~NICK|ana~; luis< NICK|ana; "
            "ana> PM|luis|ana|1~PM|luis|ana|2~CHAT|a; ana> na|x~ENTER|ana~; "
            "luis< PM|luis|ana|1PM|luis|ana|2; ana< ENTER|ana~; ana> CHAT|ana|hola~; "
            "ana< CHAT|ana|hola~; luis> PM|ana|luis|a~b; ana< PM|ana|luis|ab~; quiet ana luis",
            "a client whose messages pile up at a reader is held back => start --max-waiting 4 "
            "--gap 100; login r s t; s> ACCEPT|frame~; s< ACCEPTED|frame~; 6* s>> PM|r|s|x~; "
            "s>> PM|t|s|y~; "
            "log @s held back: its share of messages waits for @r\\n; t< PM|t|s|y; 6* r< PM|r|s|x; "
            "log @s goes on\\n; quiet r s t",
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

    void relays() { playRow(); }

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
            w.connectToHost(QHostAddress(m_address), wire::ServerPort);
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
        client.connectTo(m_address, wire::ServerPort);
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

QTEST_GUILESS_MAIN(TestConnection)
#include "test_connection.moc"
