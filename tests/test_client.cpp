// The client against a fake server on 127.0.0.11: what it does with what arrives and with what
// the user does, step by step, and its life from the splash to "Salir".
#include "aux_windows/password.h"
#include "aux_windows/search.h"
#include "conversations/history.h"
#include "conversations/pm.h"
#include "core/dispatcher.h"
#include "main_window/tray_icon.h"
#include "main_window/user_tree.h"
#include "protocol/client_socket.h"
#include "server/command_line.h"
#include "server/relay/relay_server.h"
#include "core/found_servers.h"
#include "core/settings.h"
#include "support/client_test.h"

#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QScreen>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QScrollBar>
#include <QTest>
#include <QTextStream>

#include <ctime>

// Passes bytes between clients on 127.0.0.18 and the real server on 127.0.0.19, recording
// them; it can cut a client off while the server's side of its connection stays open.
class RecordingRelay : public QObject {
public:
    RecordingRelay()
    {
        m_listener.listen(QHostAddress("127.0.0.18"), wire::ServerPort);
        connect(&m_listener, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *client = m_listener.nextPendingConnection()) {
                auto *server = new QTcpSocket(client);
                server->connectToHost(QHostAddress("127.0.0.19"), wire::ServerPort);
                m_clients.append(client);
                const auto pass = [this](QTcpSocket *from, QTcpSocket *to) {
                    connect(from, &QTcpSocket::readyRead, to, [this, from, to] {
                        const QByteArray bytes = from->readAll();
                        recorded += bytes;
                        to->write(bytes);
                    });
                };
                pass(client, server);
                pass(server, client);
                connect(server, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
            }
        });
    }
    // The client's side only: the server sees nothing.
    void cut(int index)
    {
        QTcpSocket *client = m_clients.at(index);
        client->findChild<QTcpSocket *>()->setParent(this);
        client->abort();
    }

    QByteArray recorded;

private:
    QTcpServer m_listener;
    QList<QPointer<QTcpSocket>> m_clients;
};

class TestClient : public ClientTest {
    Q_OBJECT

public:
    TestClient() : ClientTest("127.0.0.11") {}

private:
    QString m_relayLog;
    QTextStream m_relayLogStream{&m_relayLog};
    // The server's key and certificate, the same across its restarts.
    QTemporaryDir m_relayState;

    QString m_relayTest;

    // The real server, on the end-to-end address, with these options of its command line. What
    // it keeps between runs (claims, lines) lasts for one test.
    std::unique_ptr<RelayServer> startRelay(const QStringList &options = {})
    {
        if (std::exchange(m_relayTest, QTest::currentTestFunction()) != m_relayTest)
            for (const QString &file : QDir(m_relayState.path()).entryList({"keep.sqlite*"}))
                QFile::remove(m_relayState.filePath(file));
        const QStringList line =
            QStringList{"-", "--listen", "127.0.0.19", "--state-dir", m_relayState.path()} + options;
        auto relay = std::make_unique<RelayServer>(parseCommandLine(line).config, m_relayLogStream);
        return relay->listen() ? std::move(relay) : nullptr;
    }

    // Plays the script as the user of that client.
    void as(Program *who, const QString &script)
    {
        program = who, mess = who->mess();
        QTest::currentTestFailed() ? void() : play(script);
    }

private Q_SLOTS:
    void scripts_data()
    {
        const QString tip = TrayIcon::Tip;
        // Logged in as luis with bob blocked, the client handles these reads ("sent" is what it
        // answered).
        QStringList reads = {
            "MESSAGE shows the notice after one box => read MESSAGE|<b>aviso</b>; "
            "notice=<b>aviso</b>; read MESSAGE; notice=; "
            "boxes=1 KORVEX Mensajero: Mensaje de Administrador Korvex",
        };
        for (QString &row : reads)
            row.replace(" => ", " => as luis; list bob\r\n; ");
        scriptRows(reads + QStringList{
            "logging in => menus=+-; nick ana; host SERVER; go; status=Logged In; "
            "root=Online - ana 2+; caption=ana; menus=-+; sent=LOGIN|ana",
            "Enter logs in; markup in a nickname stays literal => nick <b>x</b>[*]; host SERVER; "
            "enter; caption=<b>x</b>[*]; root=Online - <b>x</b>[*] 2+; sent=LOGIN|<b>x</b>[*]",
            "empty boxes are refused => go; error=Debes de Escribir un Nickname para entrar.; "
            "nick ana; host ; go; error=Debes de introducir el ip del Dravonet Korvex a "
            "conectarte.; connected=0",
            "a refused connection => nick ana; host 127.0.0.99; go; status=Error al conectar; "
            "menus=+-",
            // The server would know the user by another name.
            "a nickname the wire cannot carry => nick Łukasz; host SERVER; go; error=El nickname "
            "lleva caracteres que no se pueden enviar. Usa letras latinas, cifras y signos.; "
            "connected=0",
            "the nickname box takes no more than the server does => nick " + QString(31, 'x')
                + "; host SERVER; loginboxes=" + QString(30, 'x') + " SERVER",
            "refresh and the room need a connection => refresh; status=No Conectado; list x; "
            "chat; status=No Conectado; room; status=No Conectado; connected=0",
            "refresh keeps only the root => as luis ana,pepe; refresh; nodes=; "
            "root=Online - luis 2+; sent=GETUSER|",
            "the root folds and unfolds => as luis ana; click Online - luis; "
            "root=Online - luis 3-; click Online - luis; root=Online - luis 2+; button=Bloquear",
            "the button blocks and unblocks => as luis bob; click bob; button=Iggy; iggy; "
            "list=bob\r\n; nodes=bob (Ignored); button=Un-Iggy; blocked=bob; iggy; list=; "
            "nodes=bob; button=Iggy; free=bob; sent=",
            "unblocking removes exact entries only => as luis bob; "
            "list Bob\r\nbob\r\njimbob\r\nbob\r\n; click bob; iggy; iggy; "
            "list=Bob\r\njimbob\r\n; free=bob; blocked=Bob; blocked=jimbob",
            "the menu marks twice; unblocking takes every mark off => as luis bob; click bob; "
            "block; button=Iggy; block; list=bob\r\nbob (Ignored)\r\n; "
            "nodes=bob (Ignored) (Ignored); click bob (Ignored) (Ignored); iggy; nodes=bob; "
            "list=bob (Ignored)\r\n; free=bob",
            "nobody blocks themselves => as luis luis; click luis; iggy; "
            "error=No te puedes Ignorar tu mismo.; block; error=no te puedes autoignorar.; list=; "
            "nodes=luis",
            "nothing selected => as luis ana; select; block; status=Highlight User; pm; list=; "
            "slots=0",
            "nicknames with a parenthesis, with the words of the mark => "
            "as luis a (b),c (Ignored),c; click a (b); iggy; list=a (b)\r\n; "
            "nodes=a (b) (Ignored),c (Ignored),c; iggy; nodes=a (b),c (Ignored),c; list=; "
            "click c (Ignored); button=Iggy; select c (Ignored); pm; slots=1; read LOGOUT|c; "
            "nodes=a (b),c (Ignored)",
            "typed entries block; the next goes on a line of its own => as luis dan; type carl; "
            "blocked=carl; free=car; click dan; iggy; list=carl\r\ndan\r\n",
            "line breaks and no-break spaces block only their owner => "
            "as luis bob\u00A0x,x\r\nana,ana; click bob\u00A0x; iggy; click x\r\nana; iggy; "
            "blocked=bob\u00A0x; free=bob x; blocked=x\r\nana; free=ana; free=x; "
            "click x\r\nana (Ignored); iggy; free=x\r\nana; blocked=bob\u00A0x",
            "emptying the list keeps the marks => as luis bob; click bob; iggy; unblockAll; "
            "list=; nodes=bob (Ignored); button=Un-Iggy",
            "one window per conversation => as luis ana,pepe,rita; select ana; pm; pm; slots=1; "
            "title0=Private Message -- ana; dclick pepe; dclick pepe; slots=2; "
            "read PM|luis|ana|hola; read IGNORE|ana|luis; slots=2; "
            "pm0=[blue*]ana : [black]hola\n[black*]<Usuario te ha ignorado>\n; "
            "read PM|luis|rita|hola; select rita; pm; slots=4; sent=",
            "the wrong nodes open nothing => as luis luis,bob; select luis; pm; "
            "error=No te puedes mandar un mensaje privado a ti mismo.; select bob; block; "
            "select bob (Ignored); pm; "
            "error=No se pudo mandar mensaje a bob porque lo tienes ignorado; "
            "select Online - luis; pm; slots=0",
            // A conversation opened again shows its earlier lines, greyed, before the new ones.
            "a closed conversation starts afresh => as luis ana; read PM|luis|ana|hola; close 0; "
            "read PM|luis|ana|otra; slots=2; pm1=" + earlier("ana : hola") + "[blue*]ana : "
            "[black]otra\n; close 1; select ana; pm; slots=3; pm2=" + earlier("ana : hola", "ana : otra"),
            "private lines => as luis ana; select ana; pm; say 0 ; say 0 hola; say 0 ¿qué?; "
            "pm0=[red*]luis : [black]hola\n[red*]luis : [black]¿qué?\n; "
            "sent=PM|ana|luis|holaPM|ana|luis|¿qué?",
            "the room: enter, lines, leave => as ana; chat; chat; say room hola; say room    ; "
            "say room ; read CHAT|luis|hey; close room; room; close room; "
            "room=[red*]ana : [black]hola\n[red*]ana : [black]   \n[blue*]luis : [black]hey\n; "
            "sent=ENTER|anaCHAT|ana|holaCHAT|ana|   LEAVE|anaLEAVE|ana",
            "a blocked user who leaves goes off the list => as luis bob; click bob; iggy; "
            "read LOGOUT|bob; nodes=",
            "a line that cannot be sent stays in its box => as luis ana; select ana; pm; chat; "
            "drop; session=lost; say 0 hola; say room qué tal; status=Not Connected; box0=hola; "
            "roombox=qué tal; pm0=[black*]<Conexión perdida>\n<No enviado: no hay conexión>\n; "
            "room=[red]<Conexión perdida>\n<No enviado: no hay conexión>\n; "
            "sent=LOGIN|luisENTER|luis; say 0 hola; sent=PM|ana|luis|hola; box0=",
            "Entrar while lost stops the retrying => as luis; drop; session=lost; entrar; "
            "session=out; menus=+-; open=Login Mess",
            "an expulsion is not retried => as ana; onbox drop; serve BOOT|ana; session=out; "
            "status=Logged Out",
            // LOGOUT leaves while the connection is open; a second later the socket closes.
            "Abandonar => as ana luis; logout; gone=LOGOUT|ana, closed a second later; "
            "status=Logged Out; root=; menus=+-; nick=; caption=Dravonet Mensajero; boxes=0 ",
            // The room stayed open: it is entered again, or its lines would go nowhere.
            "logging in again with the room open => as ana; chat; logout; entrar; nick ana; "
            "host SERVER; go; sent=LOGIN|anaENTER|ana",
            "BOOT => as ana luis; serve BOOT|ana; gone=LOGOUT|ana, closed a second later; "
            "status=Logged Out; root=; menus=+-; nick=; caption=KORVEX Mensajero; "
            "boxes=1 Disconnection: Fuistes Botado del Servidor por KORVEX admin",
            // "Salir" logs out and ends at once: no close handler runs (no LEAVE), and a handler
            // that was waiting in a box sends nothing more.
            "Salir logged out => exit; ended=after a second; status=Closing; connected=0",
            "Salir in the room => as ana; chat; exit; ended=after a second; "
            "gone=ENTER|anaLOGOUT|ana, closed a second later; open=Chat Mess",
            "Salir in an expulsion's box => as ana; exit BOOT|ana; ended=after a second; "
            "gone=LOGOUT|ana, closed a second later",
            // New lines in windows the user is not looking at: the window asks for attention,
            // the icon is marked and counts them until the user looks, one desktop notice per
            // window every few seconds.
            "signs of new lines => as luis ana; read PM|luis|ana|<b>hola</b>; "
            "notices=1 ana: &lt;b&gt;hola&lt;/b&gt;; look main; unread=0 | " + tip + "; "
            "read PM|luis|ana|otra; read CHAT|pepe|hey; unread=2 marked | " + tip + "\n2 "
            "conversaciones sin leer; notices=2 pepe en la sala: hey; lines0=1; look 0; lines0=0; "
            "unread=1 marked | "
            + tip + "\n1 conversación sin leer; list bob; read PM|luis|bob|hola; "
            "read PM|luis|rita|x; look main; 100* read PM|luis|rita|x; notices=3 rita: x; "
            "unread=2 marked | " + tip + "\n2 conversaciones sin leer; read MESSAGE|cierre; "
            "notices=4 Aviso del administrador: cierre",
            "desktop notices can be turned off, and stay so => as luis; avisos=on; avisos; "
            "read PM|luis|ana|hola; unread=1 marked | " + tip + "\n1 conversación sin leer; "
            "notices=0 ; restart; avisos=off",
            // Busy: no notices while the icon still counts; lifted by any other state.
            "Ocupado silences the notices until another state => as luis; estado 2; "
            "estado=Ocupado/Ocupado; read PM|luis|ana|hola; read CHAT|pepe|hey; notices=0 ; "
            "unread=2 marked | " + tip + "\n2 conversaciones sin leer; estado 1; "
            "estado=Ausente/Ausente; read PM|luis|rita|x; notices=1 rita: x",
            "the others' states, literal, in the list and the private window => "
            "as luis ana,pepe; select ana; pm; state0=; read STATE|ana|away|<b>En una reunión</b>; "
            "read STATE|pepe|busy|; tips=Ausente: <b>En una reunión</b>,Ocupado; "
            "state0=Ausente: <b>En una reunión</b>; read STATE|ana|available|; state0=; tips=,Ocupado; "
            "read STATE|ana|busy|; read LOGOUT|ana; state0=",
            "the login window and the block list are remembered => as luis bob; click bob; iggy; "
            "restart; list=bob\r\n; entrar; loginboxes=luis SERVER",
            "the close box hides; the icon shows => hide; open=; tray 3; open=Mess; hide; tray 2; "
            "open=Mess; tray 1; open=Mess QMenu; popup 2; estado=Ocupado/Ocupado",
        });
    }

    void scripts()
    {
        QFETCH(QString, script);
        play(QString(script).replace("SERVER", server->address));
    }

    // A settings file that cannot be read, and a folder that cannot be written, are reported
    // once; the program goes on with defaults.
    void brokenSettings()
    {
        // In a folder the running client does not hold open.
        qputenv("XDG_CONFIG_HOME", config->filePath("rota").toLocal8Bit());
        QDir().mkpath(config->filePath("rota/korvex-mensajero"));
        QFile garbage(config->filePath("rota/korvex-mensajero/ajustes.sqlite"));
        QVERIFY(garbage.open(QIODevice::WriteOnly) && garbage.write("[General\nnick=ana\n") > 0);
        garbage.close();
        play("restart; error=No se pudo leer o guardar la configuración en " + config->path()
             + "/rota/korvex-mensajero. El programa sigue con lo que tiene.; list=; avisos=on");
    }

    // A long conversation: the older lines come back from disk when the reader scrolls up (how
    // many are held is the model's, tested in the core), and a search opens the window at the
    // line it found.
    void longConversations()
    {
        play("as luis");
        for (int i = 0; i < 3000; ++i)
            program->incoming().handle(pipes("PM|luis|ana|" + QString(i == 7 ? "Canción " : "línea ")
                                             + QString::number(i)));
        QPlainTextEdit *lines = program->PMWindows().window(0)->history();
        QTRY_VERIFY(lines->toPlainText().endsWith("ana : línea 2999\n"));
        for (int tries = 0; tries < 20 && !lines->toPlainText().startsWith("ana : línea 0\n"); ++tries)
            lines->verticalScrollBar()->setValue(0);
        QVERIFY(lines->toPlainText().startsWith("ana : línea 0\nana : línea 1\n"));
        Q_EMIT mess->searchWanted();
        Search *search = nullptr;
        for (QWidget *window : QApplication::topLevelWidgets())
            search = search ? search : qobject_cast<Search *>(window);
        QVERIFY(search);
        named<QLineEdit>(search, "txtWords")->setText("cancion 7");
        named<QAbstractButton>(search, "cmdSearch")->click();
        QCOMPARE(named<QListWidget>(search, "lstResults")->count(), 1);
        QTest::keyClick(named(search, "lstResults"), Qt::Key_Return);
        QCOMPARE(lines->textCursor().selectedText(), "ana : Canción 7");
        // The user's own line brings the window back to the newest lines.
        play("say 0 de vuelta");
        QTRY_VERIFY(lines->toPlainText().endsWith("ana : línea 2999\nluis : de vuelta\n"));
    }

    // Conversations opened one after another cascade from the main window, all on the screen.
    void conversationsCascade()
    {
        play("as luis");
        QSet<QPoint> places;
        for (int i = 0; i < 10; ++i) {
            play("read PM|luis|u" + QString::number(i) + "|hola");
            PM *window = program->PMWindows().window(i);
            QVERIFY(window->screen()->availableGeometry().contains(window->frameGeometry()));
            places.insert(window->pos());
        }
        QCOMPARE(places.size(), 10);
    }

    // Every control of every window has a name a screen reader can say; histories read as
    // read-only text.
    void accessibleNames()
    {
        play("as luis ana; read PM|luis|ana|hola; chat; read MESSAGE|aviso; look main");
        program->ShowError("prueba");
        program->about();
        program->help()->show();
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (!window->isVisible() || qobject_cast<QMenu *>(window))
                continue;
            for (QWidget *control : window->findChildren<QWidget *>()) {
                const QString name = control->objectName();
                if (name.isEmpty() || name.startsWith("qt_") || name.startsWith("panel")
                    || control->metaObject() == &QWidget::staticMetaObject)
                    continue;
                QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(control);
                QVERIFY2(!accessible->text(QAccessible::Name).isEmpty(),
                         qPrintable(window->objectName() + "::" + name));
                if (qobject_cast<History *>(control))
                    QVERIFY(accessible->state().readOnly);
            }
        }
    }


    // A handler that pauses sees the next read at once, nested; a window closed meanwhile, and
    // a notice that comes while another one's box is open, are handled too.
    void readsDuringPausesAndBoxesAreHandledNested()
    {
        play("as luis");
        play("read PM|luis|ana|hola");
        QPointer<PM> window = program->PMWindows().window(0);
        QStringList statuses;
        connect(mess, &Mess::statusLineChanged, this, [&](const QString &s) { statuses << s; });
        connect(mess->userTree()->model(), &QAbstractItemModel::rowsInserted, this, [&] {
            if (window) { // pepe is listed; his handler is about to pause
                window->close();
                server->send(bytes("PM|luis|ana|sigo"));
                QTRY_VERIFY(program->PMWindows().window(1));
                server->send(bytes("NICK|rita"));
            }
        });
        server->send(bytes("NICK|pepe"));
        QTRY_COMPARE(statuses, QStringList({"Status : 2 usuario(s)", "Status : 2 usuario(s)"}));
        play("slots=2; pm1=" + earlier("ana : hola") + "[blue*]ana : [black]sigo\n");

        boxes->paused = true;
        QTimer during;
        connect(&during, &QTimer::timeout, this, [&] {
            if (QApplication::activeModalWidget() && boxes->count == 0) {
                server->send(bytes("MESSAGE|segundo"));
                QTRY_COMPARE(named<QPlainTextEdit>(program->existingAdmin(), "txtMess")->toPlainText(), "segundo");
                boxes->poll();
            }
        });
        during.start(5);
        play("read MESSAGE|primero; notice=segundo; "
             "boxes=1 KORVEX Mensajero: Mensaje de Administrador Korvex");
    }

    // Past the nesting bound, reads wait for the handlers to unwind; none is lost.
    void nestingIsBoundedAndNothingIsLost()
    {
        play("as luis");
        ClientSocket &ws = program->login()->WS();
        disconnect(&ws, &ClientSocket::dataArrival, nullptr, nullptr);
        const int messages = ClientSocket::MaxNesting + 20;
        QByteArray received, expected;
        int deepest = 0, next = 1;
        connect(&ws, &ClientSocket::dataArrival, this, [&] {
            received += wire::toCodePage(ws.getData());
            deepest = std::max(deepest, ws.nesting());
            if (next < messages) {
                server->send(QByteArray::number(next++) + ',');
                program->Pause(0.03);
            }
        });
        server->send("0,");
        QTRY_VERIFY_WITH_TIMEOUT(received.count(',') == messages, 30000);
        for (int i = 0; i < messages; ++i)
            expected += QByteArray::number(i) + ',';
        QCOMPARE(received, expected);
        QCOMPARE(deepest, ClientSocket::MaxNesting);
    }

    // Huge and random reads crash nothing, and the next message is handled as usual.
    void hostileReadsDoNoHarm()
    {
        play("as luis");
        QByteArray noise(1024 * 1024, Qt::Uninitialized);
        QRandomGenerator(12584).fillRange(reinterpret_cast<quint32 *>(noise.data()), 256 * 1024);
        const QByteArray fields = bytes("X" + QString("|y").repeated(100'000));
        const QByteArray nul = bytes(QString("NICK|a") + QChar(0) + 'b');
        for (const QByteArray &read : {fields, noise, QByteArray(16 << 20, 'z'), nul}) {
            server->send(read);
            const QString probe = "probe" + QString::number(read.size());
            QVERIFY(QTest::qWaitFor([&] {
                server->send(bytes("NICK|" + probe));
                return QTest::qWaitFor([&] { return userNames().contains(probe); }, 300);
            }));
        }
    }

    // The pictures are SVG: without Qt's SVG plugin they would load as null, without a word.
    void everyPictureLoads()
    {
        for (const QString &name : QDir(":/pictures").entryList())
            QVERIFY2(!QImage(":/pictures/" + name).isNull(), qPrintable(name));
    }

    void theSplashShowsTheMainWindowAfterTwoSeconds()
    {
        delete program;
        program = new Program;
        QElapsedTimer clock;
        clock.start();
        program->start();
        QVERIFY(clock.elapsed() >= 2000);
        QVERIFY(program->mess()->isVisible() && !program->existingIntro());
    }

    // Two real clients through the real relay server: what one does, the other sees.
    void twoClientsThroughTheRealServer()
    {
        auto relay = startRelay();
        const auto luis = std::make_unique<Program>();
        Program *const ana = program;
        const auto restore = qScopeGuard([&] { program = ana, mess = ana->mess(); });
        as(ana, "nick ana; host 127.0.0.19; go; nodes=ana");
        as(luis.get(), "nick luis; host 127.0.0.19; go; nodes=ana,luis");
        as(ana, "nodes=ana,luis; select luis; pm; say 0 hola, ¿qué tal?");
        as(luis.get(), "pm0=[blue*]ana : [black]hola, ¿qué tal?\n; say 0 bien; select ana; block");
        const QString talk = "pm0=[red*]ana : [black]hola, ¿qué tal?[#707070] entregado\n"
                             "[blue*]luis : [black]bien\n";
        as(ana, talk + "; say 0 ¿me lees?; " + talk
                    + "[red*]ana : [black]¿me lees?[#707070] entregado\n[black*]<Usuario te ha ignorado>\n; "
                    "chat");
        as(luis.get(), "chat; room=[red]<luis Entro a la charla>\n");
        as(ana, "say room hola sala");
        as(luis.get(), "room=[red]<luis Entro a la charla>\n[blue*]ana : [black]hola sala\n; "
                       "close room");
        as(ana, "room=[red]<ana Entro a la charla>\n<luis Entro a la charla>\n[red*]ana : "
                "[black]hola sala\n[red]<luis salio de la charla>\n");
        relay->admin("msg Reunion a las 8");
        as(luis.get(), "notice=Reunion a las 8");
        relay->admin("boot luis");
        as(luis.get(), "status=Logged Out; boxes=3 Disconnection: Fuistes Botado del Servidor "
                       "por KORVEX admin");
        as(ana, "status=Usuario Salio del servidor; nodes=ana; notice=Reunion a las 8");
        QVERIFY(!m_relayLog.contains("hola")); // what users write is never logged
    }

    // One real client's state reaches another's list and private window through the real
    // server; a newcomer gets it with the list.
    void statesThroughTheRealServer()
    {
        auto relay = startRelay();
        const auto luis = std::make_unique<Program>(), rita = std::make_unique<Program>();
        Program *const ana = program;
        const auto restore = qScopeGuard([&] { program = ana, mess = ana->mess(); });
        as(ana, "nick ana; host 127.0.0.19; go; nodes=ana");
        as(luis.get(), "nick luis; host 127.0.0.19; go; nodes=ana,luis; select ana; pm; state0=");
        as(ana, "estado 2; texto <b>En una reunión</b>; tips=Ocupado: <b>En una reunión</b>,");
        as(luis.get(), "tips=Ocupado: <b>En una reunión</b>,; state0=Ocupado: <b>En una reunión</b>");
        as(rita.get(), "nick rita; host 127.0.0.19; go; nodes=ana,luis,rita; "
                       "tips=Ocupado: <b>En una reunión</b>,,");
    }

    // The server stops and starts again: both users are back, listed and in the room as they
    // were, without doing anything; a line typed meanwhile waits in its box, and goes once the
    // user sends it again. A client the server closes for flooding comes back too.
    void theServerGoesAndComesBack()
    {
        auto relay = startRelay({"--max-messages", "6"});
        const auto luis = std::make_unique<Program>();
        Program *const ana = program;
        const auto restore = qScopeGuard([&] { program = ana, mess = ana->mess(); });
        as(ana, "nick ana; host 127.0.0.19; go; nodes=ana; chat; room=[red]<ana Entro a la charla>\n");
        as(luis.get(), "nick luis; host 127.0.0.19; go; nodes=ana,luis");
        as(ana, "nodes=ana,luis; select luis; pm");
        relay.reset();
        as(ana, "status=Conexión perdida; say 0 ¿sigues ahí?; box0=¿sigues ahí?");
        relay = startRelay({"--max-messages", "6"});
        as(luis.get(), "status=2 usuario(s); session=in");
        as(ana, "status=2 usuario(s); room=[red]<ana Entro a la charla>\n<Conexión perdida>\n"
                "<Conexión restablecida>\n<ana Entro a la charla>\n; say 0 ¿sigues ahí?; box0=");
        as(luis.get(), "pm0=[blue*]ana : [black]¿sigues ahí?\n; 8* refresh; status=Conexión perdida; "
                       "status=2 usuario(s)");
        QVERIFY(m_relayLog.contains("flood: more than 6 messages"));
    }

    // Through a relay that records every byte both ways: the nicknames, a private line and a
    // line in the room are nowhere in clear, and the padlock names the server's certificate.
    // Cut off while the server still holds the old connection, a client takes its nickname
    // back at once.
    void encryptedAllTheWay()
    {
        auto server = startRelay();
        RecordingRelay relay;
        const auto gonzalo = std::make_unique<Program>();
        Program *const marisol = program;
        const auto restore = qScopeGuard([&] { program = marisol, mess = marisol->mess(); });
        as(marisol, "nick marisol; host 127.0.0.18; go; nodes=marisol");
        as(gonzalo.get(), "nick gonzalo; host 127.0.0.18; go; nodes=marisol,gonzalo; "
                          "select marisol; pm; say 0 una línea muy privada; chat");
        as(marisol, "pm0=[blue*]gonzalo : [black]una línea muy privada\n; chat; "
                    "say room hola a toda la sala");
        as(gonzalo.get(), "room=[red]<gonzalo Entro a la charla>\n<marisol Entro a la charla>\n"
                          "[blue*]marisol : [black]hola a toda la sala\n");
        for (const QString text : {"marisol", "gonzalo", "una línea muy privada", "hola a toda",
                                   "LOGIN", "NICK"})
            QVERIFY2(!relay.recorded.contains(wire::toCodePage(text)), qPrintable(text));
        const QString fingerprint = marisol->settings().certificate("127.0.0.18");
        QVERIFY(m_relayLog.contains("fingerprint is " + fingerprint + '\n'));
        QVERIFY(!mess->padlock()->isHidden() && mess->padlock()->toolTip().endsWith(fingerprint));

        relay.cut(0);
        as(marisol, "status=Conexión perdida; session=in; nodes=gonzalo,marisol");
        QVERIFY(m_relayLog.contains("takes \"marisol\" back from"));
        // Her LOGOUT and NICK, both waiting behind her LEAVE, cancel out: still online, in place.
        as(gonzalo.get(), "nodes=marisol,gonzalo; say 0 ¿sigues?");
        as(marisol, "pm0=[blue*]gonzalo : [black]una línea muy privada\n[black*]<Conexión perdida>\n"
                    "<Conexión restablecida>\n[blue*]gonzalo : [black]¿sigues?\n");
    }

    // A line to someone away waits on the server, through its restart, and reaches them once,
    // in order, at their next log-in; its writer sees it kept, then delivered. Nobody without
    // ana's key is let in as ana, whatever the case, online or away, until the administrator
    // releases the nickname; the one online notices nothing.
    void aLineWaitsForItsPerson()
    {
        auto relay = startRelay();
        const auto luis = std::make_unique<Program>();
        // Another desktop: its own settings and keys.
        QTemporaryDir desktop;
        const QByteArray home = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", desktop.path().toUtf8());
        const auto other = std::make_unique<Program>();
        qputenv("XDG_CONFIG_HOME", home);
        Program *const ana = program;
        const auto restore = qScopeGuard([&] { program = ana, mess = ana->mess(); });
        const QString refused = "status=Entrada rechazada; session=out; boxes=%1 KORVEX "
                                "Mensajero: El servidor no te dejó entrar.\n\nEl apodo %2 "
                                "pertenece a otra persona. Elige otro apodo.";
        as(ana, "nick ana; host 127.0.0.19; go; nodes=ana");
        as(other.get(), "nick ANA; host 127.0.0.19; go; " + refused.arg(1).arg("ANA")
                            + "; open=Login; menus=+-");
        as(ana, "session=in; nodes=ana; status=1 usuario(s)");
        as(luis.get(), "nick luis; host 127.0.0.19; go; nodes=ana,luis; select ana; pm");
        as(ana, "logout; session=out");
        const QString line = "[red*]luis : [black]%1[#707070] %2\n";
        as(luis.get(), "nodes=luis; say 0 uno; say 0 dos; pm0=" + line.arg("uno", "guardado")
                           + line.arg("dos", "guardado"));
        relay.reset();
        relay = startRelay();
        as(other.get(), "entrar; nick ana; go; " + refused.arg(2).arg("ana"));
        as(luis.get(), "session=in; nodes=luis");
        as(ana, "entrar; go; session=in; pm0=[blue*]luis : [black]uno\n[blue*]luis : [black]dos\n");
        as(luis.get(), "pm0=" + line.arg("uno", "entregado") + line.arg("dos", "entregado")
                           + "[black*]<Conexión perdida>\n<Conexión restablecida>\n");
        as(ana, "logout; session=out; entrar; go; session=in");
        as(luis.get(), "nodes=luis,ana; say 0 tres");
        as(ana, "pm0=[blue*]luis : [black]uno\n[blue*]luis : [black]dos\n"
                "[blue*]luis : [black]tres\n; logout; session=out");
        relay->admin("release ana");
        as(other.get(), "entrar; go; session=in; nodes=luis,ana");
    }

    // The servers announced on the network, listed live beside the address box; one chosen fills
    // it, and must show the certificate it announced.
    void serversOnTheNetwork()
    {
        struct Announcements : ServerBrowser {
            void browse(Found found, Gone gone) override { came = found, went = gone; }
            Found came;
            Gone went;
        } *network = new Announcements;
        program->core().foundServers().setBrowser(std::unique_ptr<ServerBrowser>(network));
        auto *list = named<QListWidget>(program->login(), "lstServers");
        const auto shown = [list] {
            QStringList rows;
            for (int row = 0; row < list->count(); ++row)
                rows << list->item(row)->text();
            return rows.join(',');
        };
        play("nick ana; host 127.0.0.1");
        QVERIFY(!network->came);
        program->login()->show();
        network->came({"sala", "127.0.0.19", true, "0123456789abcdef"});
        network->came({"<b>casa</b>", "127.0.0.20", false, {}});
        QCOMPARE(shown(), "sala — 127.0.0.19 (cifrado),<b>casa</b> — 127.0.0.20");
        network->went("<b>casa</b>");
        QCOMPARE(shown(), "sala — 127.0.0.19 (cifrado)");
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(0)).center());
        auto relay = startRelay();
        play("loginboxes=ana 127.0.0.19; go; status=Certificado del servidor rechazado; session=out");
        QVERIFY2(boxes->last.contains("Huella SHA-256 conocida:\n01:23:45:67:89:AB:CD:EF:…"), qPrintable(boxes->last));
        // Typed, the same address is the user's own.
        named<QLineEdit>(program->login(), "Text1")->clear();
        QTest::keyClicks(named(program->login(), "Text1"), "127.0.0.19");
        play("go; session=in");
    }

    // Another certificate at the address is refused, both fingerprints shown, until the user
    // accepts it; a server there that no longer encrypts is refused the same way.
    void aChangedCertificate()
    {
        auto server = startRelay();
        as(program, "nick ana; host 127.0.0.19; go; nodes=ana");
        const QString first = program->settings().certificate("127.0.0.19");
        QTemporaryDir other;
        server.reset();
        server = startRelay({"--state-dir", other.path()});
        as(program, "status=Certificado del servidor rechazado; session=out; open=Login");
        QVERIFY(boxes->last.startsWith("Certificado del servidor cambiado: "));
        const QString second =
            boxes->last.section("Huella SHA-256 nueva:\n", 1).section('\n', 0, 0);
        QVERIFY(boxes->last.contains(first) && second.size() == first.size() && second != first);
        boxes->instead = [] {
            auto *box = static_cast<QMessageBox *>(QApplication::activeModalWidget());
            box->button(QMessageBox::Yes)->click();
        };
        as(program, "nick ana; go; session=in; nodes=ana; boxes=2 " + boxes->last);
        QCOMPARE(program->settings().certificate("127.0.0.19"), second);
        QVERIFY(program->mess()->padlock()->toolTip().endsWith(second));
        // Left while the question is open: the answer comes too late to bring anything back.
        QTemporaryDir third;
        boxes->instead = [this] {
            auto *box = static_cast<QMessageBox *>(QApplication::activeModalWidget());
            named<QAction>(mess, "mnuClose")->trigger();
            box->button(QMessageBox::Yes)->click();
        };
        server.reset();
        server = startRelay({"--state-dir", third.path()});
        QTRY_VERIFY(!boxes->instead);
        as(program, "session=out");
        QCOMPARE(program->settings().certificate("127.0.0.19"), second);
        server.reset();
        server = startRelay({"--state-dir", other.path()});
        as(program, "nick ana; go; session=in");
        server.reset();
        server = startRelay({"--no-tls"});
        as(program, "status=Certificado del servidor rechazado; session=out");
        QVERIFY(boxes->last.startsWith("Conexión sin cifrar: El servidor 127.0.0.19 ya no cifra"));
        QVERIFY(boxes->last.contains(second) && mess->clearTextSign()->isHidden());
        // In clear this once: the windows say so, and the certificate known stays.
        boxes->instead = [] {
            auto *box = static_cast<QMessageBox *>(QApplication::activeModalWidget());
            box->button(QMessageBox::Yes)->click();
        };
        as(program, "nick ana; go; session=in");
        QVERIFY(!mess->clearTextSign()->isHidden() && mess->padlock()->isHidden());
        QCOMPARE(program->settings().certificate("127.0.0.19"), second);
    }

    // The group's password: asked for in a window, asked again if wrong, remembered if the user
    // ticks it, never written to the server's log, and asked again under another certificate.
    void theGroupsPassword()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath("password"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("ñandú del grupo\n") > 0);
        file.setPermissions(QFile::ReadOwner);
        file.close();
        auto server = startRelay({"--password-file", file.fileName()});
        QStringList prompts;
        QTimer answer;
        // Each window is answered once it has been open this long.
        int slowly = 0;
        QPointer<PasswordWindow> asking;
        QElapsedTimer open;
        connect(&answer, &QTimer::timeout, this, [&] {
            if (auto *window = qobject_cast<PasswordWindow *>(QApplication::activeModalWidget())) {
                if (window != asking) {
                    asking = window;
                    open.start();
                    prompts << named<QLabel>(window, "lblPrompt")->text();
                }
                if (open.elapsed() < slowly)
                    return;
                const QStringList answers = {"otra clave", "ñandú del grupo", "clave nueva",
                                             "clave nueva"};
                named<QLineEdit>(window, "txtPassword")->setText(answers.value(prompts.size() - 1));
                named<QAbstractButton>(window, "chkRemember")->setChecked(prompts.size() > 1);
                window->accept();
            }
        });
        answer.start(10);
        as(program, "nick ana; host 127.0.0.19; go; session=in; nodes=ana");
        QCOMPARE(prompts.size(), 2);
        QVERIFY(prompts[1].startsWith("La contraseña no era correcta. El servidor 127.0.0.19 pide"));
        as(program, "logout; nick ana; go; session=in; nodes=ana");
        QCOMPARE(prompts.size(), 2);
        QVERIFY(m_relayLog.contains("refused: wrong password") && !m_relayLog.contains("ñandú"));
        // Changed while the client was away; the server stops waiting while the user types the
        // new one: one window all the same, the answer goes on a new connection, still a return.
        server.reset();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("clave nueva\n") > 0);
        file.close();
        server = startRelay({"--password-file", file.fileName(), "--login-timeout", "300"});
        slowly = 2000;
        QTRY_COMPARE_WITH_TIMEOUT(prompts.size(), 3, 10000);
        as(program, "session=in; nodes=ana; status=1 usuario(s)");
        QCOMPARE(prompts.size(), 3);
        // The user accepts another certificate: nothing is given to that server before the user
        // answers anew.
        QTemporaryDir other;
        const qsizetype refusals = m_relayLog.count("refused: wrong password");
        slowly = 0;
        boxes->instead = [] {
            auto *box = static_cast<QMessageBox *>(QApplication::activeModalWidget());
            box->button(QMessageBox::Yes)->click();
        };
        server.reset();
        server = startRelay({"--password-file", file.fileName(), "--state-dir", other.path()});
        QTRY_COMPARE_WITH_TIMEOUT(prompts.size(), 4, 10000);
        as(program, "session=in; nodes=ana");
        QVERIFY(prompts[3].startsWith("El servidor 127.0.0.19 pide"));
        QCOMPARE(m_relayLog.count("refused: wrong password"), refusals);
    }

    // A log-in begun while the LOGOUT before it waits to leave keeps its own connection.
    void aLogInDuringTheGoodbye()
    {
        play("as ana");
        QTimer::singleShot(300, this, [this] { play("entrar; nick ana; host SERVER; go"); });
        play("logout; session=in; serve NICK|pepe; nodes=pepe");
    }

    // The pause waits the time asked, handling events, without spinning.
    void pause()
    {
        bool ticked = false;
        QTimer::singleShot(5, this, [&] { ticked = true; });
        const std::clock_t cpu = std::clock();
        QElapsedTimer clock;
        clock.start();
        program->Pause(0.5);
        QVERIFY(clock.elapsed() >= 500 && ticked);
        QVERIFY2(double(std::clock() - cpu) / CLOCKS_PER_SEC < 0.15, "the pause spun");
    }
};

QTEST_MAIN(TestClient)
#include "test_client.moc"
