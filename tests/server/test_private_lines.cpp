// Private lines: relayed as the sender's own, answered with IGNORE, limited to so many new
// correspondents; kept for a claimed nickname away, and marked for their senders.
#include "relay_script.h"

class TestPrivateLines : public RelayScript {
    Q_OBJECT

public:
    TestPrivateLines() : RelayScript("127.0.0.24") {}

private Q_SLOTS:
    void relays_data()
    {
        scriptRows({
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
            "IGNORE answers one PM => login ana luis eva; luis> PM|ana|eva|hola, ¿qué tal? €; "
            "ana< PM|ana|luis|hola, ¿qué tal? €; luis> PM|nadie|luis|x; ana> IGNORE|eva|luis; "
            "luis< MESSAGE|Tu mensaje para nadie no se entregó: nadie no está conectado.; "
            "luis< IGNORE|ana|luis; ana> IGNORE|ana|luis; eva> IGNORE|eva|luis; "
            "quiet ana luis eva; nolog qué",
            "answering PMs with IGNORE is not flooding => start --max-messages 10; "
            "login ana pesado; 8* pesado> PM|ana|pesado|x; 8* ana< PM|ana|pesado|x; "
            "8* ana> IGNORE|ana|pesado; 10* ana> IGNORE|ana|pesado; 8* pesado< IGNORE|ana|pesado; "
            "quiet ana pesado; nolog flood",
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
        });
    }

    void relays() { playRow(); }

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
    // The program itself: administrator lines on standard input, serving on once it ends;
    // near its limit of open files, it closes new connections at once, so that their clients
    // try again, and serves again once files are free.
    // Killed while lines are being kept: after the restart, every line its sender was told is
    // kept reaches its recipient, in order, once; answered, none comes again.
    void keptLinesSurviveAKill()
    {
        QProcess server;
        const QStringList options{"--listen", "127.0.0.29", "--state-dir", m_state.path(),
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
                socket.connectTo("127.0.0.29", wire::ServerPort);
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
};

QTEST_GUILESS_MAIN(TestPrivateLines)
#include "test_private_lines.moc"
