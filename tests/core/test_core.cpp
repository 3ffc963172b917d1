// The client's core without a window, against a fake server on 127.0.0.13: what it does with
// what arrives and with what the user does, as its models and the wire show it. Lines are
// written as the windows show them, "[blue*]ana : [black]hola\n" ("*" for bold).
#include "core/availability.h"
#include "core/block_list.h"
#include "core/client.h"
#include "core/conversations.h"
#include "core/dispatcher.h"
#include "core/history_model.h"
#include "core/history_store.h"
#include "core/idle_source.h"
#include "core/outbox.h"
#include "core/secret_store.h"
#include "core/session.h"
#include "core/settings.h"
#include "core/user_list.h"
#include "protocol/client_socket.h"
#include "server/command_line.h"
#include "server/relay/relay_server.h"
#include "server/secrets.h"
#include "support/fake_server.h"
#include "support/full_disk.h"
#include "support/script.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextStream>

#include <map>
#include <memory>
#include <optional>

// The desktop as the tests say it is: each sample is answered by the test itself.
class FakeIdle : public IdleSource {
public:
    QString name() const override { return "prueba"; }
    void sample() override {}
};

class TestCore : public QObject {
    Q_OBJECT

    FakeIdle m_idle;
    std::unique_ptr<QTemporaryDir> m_folders;
    std::unique_ptr<FakeServer> m_server;
    std::unique_ptr<Client> m_client;
    // Each conversation's lines (the room's slot is Conversations::Room) and their last style.
    std::map<int, QString> m_lines, m_style;
    int m_boxes = 0;
    QString m_lastBox, m_notice;
    QStringList m_errors;
    std::optional<FullDisk> m_full;
    // The last certificate question, "known/seen", and its number.
    QString m_asked;
    quint64 m_question = 0;
    // Random keys and ids as scripts name them (KEY1, ID1...), in the order they went out.
    QMap<QString, QString> m_names;
    // A window's history over the lines of m_stored, and what the model told: "+0-9" rows
    // inserted (appends one after another joined), "-0-4" removed, "~3" a row changed, "reset",
    // and "hit5" the row a jump found.
    std::optional<HistoryModel> m_history;
    QList<history::Line> m_stored;
    QStringList m_told;
    // The session's steps since the last look, each with what the log-in is ("in:quiet"), and
    // what the last look found, until the next step.
    QStringList m_steps;
    QString m_stepsFound;

    QByteArray named(const QByteArray &bytes)
    {
        static const QRegularExpression hex("(?<![0-9a-f])([0-9a-f]{64}|[0-9a-f]{32})(?![0-9a-f])");
        QString text = QString::fromLatin1(bytes);
        for (auto match = hex.globalMatch(text); match.hasNext();) {
            const QString value = match.next().captured();
            const QString kind = value.size() == 64 ? "KEY" : "ID";
            if (!m_names.contains(value))
                m_names[value] = kind + QString::number(m_names.values().filter(kind).size() + 1);
        }
        for (auto [value, name] : m_names.asKeyValueRange())
            text.replace(value, name);
        return text.toLatin1();
    }
    QString unnamed(QString text)
    {
        for (auto [value, name] : m_names.asKeyValueRange())
            text.replace(QRegularExpression("\\b" + name + "\\b"), value);
        return text;
    }

    // A piece of text in a style; line ends carry no style.
    void shown(int slot, const QString &style, const QString &text)
    {
        if (!text.isEmpty() && std::exchange(m_style[slot], style) != style)
            m_lines[slot] += '[' + style + ']';
        m_lines[slot] += text;
    }

    void listen()
    {
        Conversations *conversations = &m_client->conversations();
        connect(conversations, &Conversations::lineAdded, this,
                [this](int slot, const history::Line &line) {
                    if (line.kind == history::Kind::Notice) {
                        shown(slot, slot == Conversations::Room ? "red" : "black*", line.text);
                    } else {
                        shown(slot, line.kind == history::Kind::Mine ? "red*" : "blue*",
                              line.writer + " : ");
                        shown(slot, "black", line.text);
                    }
                    m_lines[slot] += '\n';
                });
        connect(m_client.get(), &Client::boxShown, this,
                [this](const QString &title, const QString &text) {
                    ++m_boxes, m_lastBox = title + ": " + text;
                });
        connect(m_client.get(), &Client::errorShown, this,
                [this](const QString &text) { m_errors << text; });
        connect(&m_client->dispatcher(), &Dispatcher::noticeArrived, this,
                [this](quint64, const QString &text) { m_notice = text; });
        connect(&m_client->session(), &Session::certificateQuestion, this,
                [this](quint64 question, const QString &, const QString &known, const QString &seen) {
                    m_question = question, m_asked = known + '/' + seen;
                    if (!m_server->certificate.isNull())
                        m_asked.replace(certificateFingerprint(m_server->certificate), "FP");
                });
        connect(&m_client->session(), &Session::stepChanged, this, [this](Session::Step step) {
            m_steps << QStringList{"out", "opening", "key", "in", "waiting"}.at(int(step))
                    + QStringList{"", ":told", ":quiet"}.at(int(m_client->session().returning()));
        });
    }

    void watchHistory()
    {
        // Ids are 1, 2, 3... as the store gives them.
        m_history.emplace().setSource([this](qint64 id, bool older, int count) {
            const QList<history::Line> before = m_stored.mid(0, std::min<qint64>(id - 1, m_stored.size()));
            return older ? before.mid(std::max<qsizetype>(before.size() - count, 0)) : m_stored.mid(id, count);
        });
        connect(&*m_history, &HistoryModel::rowsInserted, this, [this](const QModelIndex &, int first, int last) {
            if (m_told.isEmpty() || !m_told.last().startsWith('+') || !m_told.last().endsWith('-' + QString::number(first - 1)))
                m_told << '+' + QString::number(first);
            m_told.last() = m_told.last().section('-', 0, 0) + '-' + QString::number(last);
        });
        connect(&*m_history, &HistoryModel::rowsRemoved, this,
                [this](auto, int first, int last) { m_told << '-' + QString::number(first) + '-' + QString::number(last); });
        connect(&*m_history, &HistoryModel::dataChanged, this, [this](auto row) { m_told << '~' + QString::number(row.row()); });
        connect(&*m_history, &HistoryModel::modelReset, this, [this] { m_told << "reset"; });
    }
    // A line of ana's kept in the store, with a ref when it has a mark.
    history::Line stored(history::Kind kind, history::Mark mark = history::Mark::None)
    {
        const QString ref = mark == history::Mark::None ? QString() : 'r' + QString::number(m_stored.size() + 1);
        return m_stored.emplace_back(history::Line{m_stored.size() + 1, {}, kind, "ana", "l", ref, mark});
    }

    QByteArray sent()
    {
        ClientSocket &socket = m_client->socket();
        if (!QTest::qWaitFor([&] {
                return m_client->isConnected()
                    && m_client->session().state() == Session::State::LoggedIn;
            }))
            return "(not connected)";
        // What waits for the next turn of the event loop (acknowledgements) goes first.
        QCoreApplication::processEvents();
        // Everything before a GETUSER has come once the GETUSER has.
        m_client->outbox().refreshList();
        const QByteArray getUser = bytes(socket.sendsFramed() ? "GETUSER|~" : "GETUSER|");
        if (!QTest::qWaitFor([&] { return !socket.waiting() && m_server->total == socket.sentBytes(); })
            || !m_server->received.endsWith(getUser))
            return m_server->received + "(no GETUSER)";
        return named(std::exchange(m_server->received, {}).chopped(getUser.size()));
    }

    void act(const QString &verb, const QString &arg)
    {
        Client &client = *m_client;
        const std::map<QString, std::function<void()>> verbs = {
            // as NICKNAME USER,USER: logged in, with these users listed
            {"as", [&] {
                 const QString nickname = arg.section(' ', 0, 0);
                 client.session().logIn(nickname, m_server->address);
                 play("sent=LOGIN|" + nickname);
                 for (const QString &user : arg.section(' ', 1).split(',', Qt::SkipEmptyParts))
                     client.dispatcher().handle(pipes("NICK|" + user));
             }},
            {"read", [&] { client.dispatcher().handle(pipes(unnamed(arg))); }},
            {"serve", [&] { m_server->send(bytes(unnamed(arg))); }},
            // The server encrypts when asked.
            {"tls", [&] {
                 const auto identity = loadIdentity(m_folders->filePath("tls"));
                 m_server->key = std::get<TlsIdentity>(identity).key;
                 m_server->certificate = std::get<TlsIdentity>(identity).certificate;
             }},
            {"tell", [&] { client.settings().setTellsRead(arg == "on"); }},
            {"look", [&] { client.conversations().markRead(arg.toInt()); }},
            {"list", [&] { client.blockList().setText(arg); }},
            // say N TEXT: the user's line in conversation N
            {"say", [&] { client.conversations().send(arg.section(' ', 0, 0).toInt(), arg.section(' ', 1)); }},
            {"drop", [&] { m_server->client()->disconnectFromHost(); }},
            // greet MS BYTES: what a new connection is sent first, after MS milliseconds
            {"greet", [&] {
                 m_server->greetingDelay = arg.section(' ', 0, 0).toInt();
                 m_server->greeting = bytes(arg.section(' ', 1));
             }},
            {"login", [&] { client.session().logIn(arg, m_server->address); }},
            // chosen NICK DIGITS: the server chosen from those announced, its certificate's
            // first digits as announced (FP16: the server's own)
            {"chosen", [&] {
                 Session::Way way;
                 way.announced = arg.section(' ', 1).replace("FP16", certificateFingerprint(m_server->certificate).remove(':').toLower().left(16));
                 client.session().logIn(arg.section(' ', 0, 0), m_server->address, way);
             }},
            {"pin", [&] { client.settings().setCertificate(m_server->address, arg); }},
            {"forbid", [&] { client.settings().setClearTextAllowed(m_server->address, false); }},
            {"answer", [&] {
                 m_asked.clear();
                 client.session().answerCertificate(m_question, arg == "yes");
             }},
            {"logout", [&] { client.logOut(); }},
            // choose STATE TEXT: the user's own state, chosen by hand
            {"choose", [&] {
                 client.availability().choose(*Availability::fromWord(arg.section(' ', 0, 0)),
                                              arg.section(' ', 1));
             }},
            // idle SECONDS, or idle SECONDS locked: what the desktop says
            {"idle", [&] {
                 client.availability().setIdleSource(&m_idle);
                 Q_EMIT m_idle.sampled(std::chrono::seconds(arg.section(' ', 0, 0).toInt()),
                                       arg.endsWith("locked"));
             }},
            {"awayafter", [&] { client.settings().setAwayAfterMinutes(arg.toInt()); }},
            // secrets TEXT: the secrets file holds this, FP standing for the server's certificate
            {"secrets", [&] {
                 QFile file(client.secrets().filePath());
                 QVERIFY(QDir().mkpath(QFileInfo(file).path()) && file.open(QIODevice::WriteOnly));
                 file.write(QString(arg).replace("FP", certificateFingerprint(m_server->certificate)).toUtf8());
             }},
            // full BYTES: no file of the program may grow past so many bytes; the history's file
            // was made before
            {"full", [&] { client.history().isKeeping(), m_full.emplace(arg.toULongLong()); }},
            {"keep", [&] { client.keepHistory(arg == "on"); }},
            // The program ends without logging out, and starts again on the same folders.
            {"crash", [&] { m_client = std::make_unique<Client>(); listen(); }},
            // A window's history: "line" is only stored, "add", "mine" (marked Sending) and
            // "got" (a received line with a mark) come to the window too; "back": the reader
            // scrolled back; mark ID MARK
            {"line", [&] { stored(history::Kind::Theirs); }},
            {"add", [&] { m_history->append(stored(history::Kind::Theirs)); }},
            {"mine", [&] { m_history->append(stored(history::Kind::Mine, history::Mark::Sending)); }},
            {"got", [&] { m_history->append(stored(history::Kind::Theirs, history::Mark::Read)); }},
            {"earlier", [&] { m_history->showEarlier(HistoryStore::Newest); }},
            {"jump", [&] { m_told << "hit" + QString::number(m_history->showAround(arg.toLongLong())); }},
            {"older", [&] { m_history->fetchMore({}); }},
            {"newer", [&] { m_history->fetchNewer(); }},
            {"back", [&] { m_history->setFollowing(false); }},
            {"mark", [&] { m_history->setMark('r' + arg.section(' ', 0, 0), history::Mark(arg.section(' ', 1).toInt())); }},
        };
        QVERIFY2(verbs.count(verb), qPrintable("unknown step " + verb));
        verbs.at(verb)();
    }

    QString seen(const QString &what, const QString &expected)
    {
        Client &client = *m_client;
        const int slot = QString(what).remove(QRegularExpression("\\D")).toInt();
        const Conversations::Private *conversation = client.conversations().at(slot);
        const UserList &users = client.users();
        const std::map<QString, std::function<QString()>> checks = {
            {"nodes", [&] {
                 QStringList names;
                 for (int i = 0; i < users.rowCount(users.root()); ++i)
                     names << users.index(i, 0, users.root()).data().toString();
                 return names.join(',');
             }},
            // each user as listed: nickname, picture and tip
            {"users", [&] {
                 QStringList looks;
                 for (int i = 0; i < users.rowCount(users.root()); ++i) {
                     const QModelIndex node = users.index(i, 0, users.root());
                     looks << node.data().toString() + ' ' + node.data(UserList::ImageRole).toString()
                             + ' ' + node.data(Qt::ToolTipRole).toString();
                 }
                 return looks.join(',');
             }},
            // the own state as the others are shown it
            {"state", [&] { return Availability::describe(client.availability().shown(), client.availability().text()); }},
            {"status", [&] { return client.statusLine().remove(0, QString("Status : ").size()); }},
            {"slots", [&] { return QString::number(client.conversations().NextPMSlot()); }},
            {"unread", [&] { return QString::number(client.conversations().unread(slot)); }},
            {"pm", [&] { return conversation ? m_lines[slot] : "(none)"; }},
            // the conversation's lines in the store, "text:mark"
            {"store", [&] {
                 QStringList lines;
                 for (const history::Line &line : client.history().before(
                          client.conversations().historyOf(slot), HistoryStore::Newest, 100))
                     lines << line.text + ':' + QString::number(int(line.mark));
                 return lines.join(',');
             }},
            {"with", [&] { return conversation ? conversation->correspondent : "(none)"; }},
            {"room", [&] { return m_lines[Conversations::Room]; }},
            {"notice", [&] { return m_notice; }},
            {"boxes", [&] { return QString::number(m_boxes) + ' ' + m_lastBox; }},
            // the errors the user was shown: how many, and the last one
            {"told", [&] {
                 return QString::number(m_errors.size()) + ' '
                     + QString(m_errors.value(m_errors.size() - 1)).replace(m_folders->path(), "DIR");
             }},
            // the secrets file's names, without certificates, each with its value's last line
            {"keys", [&] {
                 QFile file(client.secrets().filePath());
                 QStringList keys;
                 file.open(QIODevice::ReadOnly);
                 const QVariantMap secrets = QJsonDocument::fromJson(file.readAll()).object().toVariantMap();
                 for (auto [name, value] : secrets.asKeyValueRange())
                     keys << name.section(", certificado ", 0, 0) + '=' + value.toString().section('\n', -1);
                 return QString::fromLatin1(named(keys.join(',').toLatin1()));
             }},
            // the private lines the newest connection brought, and whether they came apart
            {"pacing", [&] {
                 QList<qint64> at;
                 for (const auto &[ms, data] : m_server->reads)
                     for (qsizetype i = data.count(bytes("PM|")); i > 0; --i)
                         at << ms;
                 const bool apart = at.size() > 1 && at.last() - at.first() >= 50 * (at.size() - 1);
                 return QString::number(at.size()) + (apart ? " paced" : " at once");
             }},
            {"session", [&] {
                 return QStringList{"out", "connecting", "in", "lost"}.at(int(client.session().state()));
             }},
            // what reached the server on its newest connection so far
            {"wire", [&] {
                 return wire::fromCodePage(m_server->received)
                     .replace(wire::FieldSeparator, "|")
                     .replace(QChar(wire::Terminator), "~");
             }},
            {"asked", [&] { return m_asked; }},
            // the session's steps since the last look that found them as expected
            {"steps", [&] {
                 m_stepsFound = m_steps.join(',') == expected ? std::exchange(m_steps, {}).join(',') : m_stepsFound;
                 return m_steps.isEmpty() ? m_stepsFound : m_steps.join(',');
             }},
            {"secrets", [&] {
                 QFile file(client.secrets().filePath());
                 return file.open(QIODevice::ReadOnly) ? QString(file.readAll()) : "(none)";
             }},
            {"connections", [&] { return QString::number(m_server->connections()); }},
            {"pinned", [&] { return client.settings().certificate(m_server->address); }},
            {"clear", [&] { return client.isClearText() ? "yes" : "no"; }},
            {"framing", [&] {
                 return client.socket().isFramed() ? "both" : client.socket().sendsFramed() ? "accepted" : "plain";
             }},
            // the history's rows: how many, the first one's id and the last one's, and whether
            // older and newer lines can be fetched
            {"rows", [&] {
                 const auto id = [&](int row) { return m_history->index(row).data(HistoryModel::IdRole).toString(); };
                 return QString::number(m_history->rowCount()) + ' ' + id(0) + ".." + id(m_history->rowCount() - 1)
                     + (m_history->canFetchMore({}) ? " older" : "") + (m_history->canFetchNewer() ? " newer" : "");
             }},
            // row N: id, writer:text, kind, mark, whether it is of an earlier time
            {"row", [&] {
                 const auto role = [&](int role, const char *after) { return m_history->index(slot).data(role).toString() + after; };
                 return role(HistoryModel::IdRole, " ") + role(HistoryModel::WriterRole, ":") + role(Qt::DisplayRole, " ")
                     + role(HistoryModel::KindRole, " ") + role(HistoryModel::MarkRole, " ") + role(HistoryModel::EarlierRole, "");
             }},
            {"signals", [&] { return m_told.join(' '); }},
            {"files", [&] { return client.transfers().index(0).data().toString(); }},
        };
        const QString key = QString(what).remove(QRegularExpression("\\d"));
        return checks.count(key) ? checks.at(key)() : "(unknown check " + what + ")";
    }

    void play(const QString &script)
    {
        Script{[this](const QString &verb, const QString &arg) { act(verb, arg); },
               [this](const QString &what, const QString &expected) { return seen(what, expected); },
               [this] { return sent(); }}
            .play(script);
    }

private Q_SLOTS:
    void init()
    {
        m_folders = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", m_folders->filePath("config").toLocal8Bit());
        qputenv("KORVEX_SECRETS", "file");
        qputenv("XDG_DATA_HOME", m_folders->filePath("data").toLocal8Bit());
        m_server = std::make_unique<FakeServer>("127.0.0.13");
        QVERIFY(m_server->listener.isListening());
        m_client = std::make_unique<Client>();
        // Plain unless a script says otherwise.
        m_client->settings().setClearTextAllowed(m_server->address, true);
        m_lines.clear(), m_style.clear(), m_boxes = 0, m_lastBox.clear(), m_notice.clear();
        m_errors.clear();
        m_asked.clear(), m_names.clear(), m_steps.clear(), m_stepsFound.clear();
        listen();
        m_stored.clear(), m_told.clear();
        watchHistory();
    }
    void cleanup()
    {
        m_full.reset();
        m_client.reset();
        m_server.reset();
    }

    void blockList_data()
    {
        QTest::addColumn<QString>("text"); // then "add X", "remove X" or "clear"
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("blocked"); // as who: "ana" blocked, "-bob" not
        QTest::newRow("an empty nickname is nobody") << "\r\n\r\nana\r\n" << "add " << "\r\n\r\nana\r\n" << "ana,-";
        QTest::newRow("a whole line, exactly") << "bob\r\nana" << "" << "bob\r\nana" << "bob,ana,-bobby,-Bob,-an";
        QTest::newRow("added on a line of its own") << "ana" << "add bob" << "ana\r\nbob\r\n" << "ana,bob";
        QTest::newRow("removed, the rest as typed") << "ana\r\n\r\nbob\nana\r\n" << "remove ana" << "\r\nbob\n" << "bob,-ana";
        QTest::newRow("the last line removed") << "ana\r\nbob" << "remove bob" << "ana" << "ana,-bob";
        QTest::newRow("a line break in a name blocks no other") << "" << "add a\nb" << "a\uFFFDb\r\n" << "a\nb,-a,-b";
        QTest::newRow("cleared") << "ana\r\n" << "clear" << "" << "-ana";
    }

    // The block list's entries are its text's whole lines; it says when it changes.
    void blockList()
    {
        QFETCH(QString, text);
        QFETCH(QString, change);
        QFETCH(QString, after);
        QFETCH(QString, blocked);
        BlockList list;
        list.setText(text);
        QSignalSpy changed(&list, &BlockList::changed);
        const QString who = change.section(' ', 1);
        change.startsWith("add") ? list.add(who) : change.startsWith("remove") ? list.remove(who)
            : change == "clear" ? list.clear() : void();
        QCOMPARE(list.text(), after);
        QCOMPARE(changed.count(), int(after != text));
        for (const QString &name : blocked.split(','))
            QVERIFY2(list.contains(name.mid(name.startsWith('-'))) != name.startsWith('-'),
                     qPrintable(name));
    }

    void scripts_data()
    {
        const QString id1(32, 'a'), id2 = QString(31, 'b') + '0', id3(32, 'c');
        const QString unstored = "Algunos mensajes recibidos no se han podido guardar en el disco. "
                                 "El servidor los conserva y te los volverá a enviar la próxima "
                                 "vez que entres.";
        QString many, again;
        for (int i = 0; i < 40; ++i)
            many += "read PM|luis|w" + QString::number(i) + "|hola; ";
        for (int i = 1; i <= 6; ++i)
            again += "PM|ana|luis|x|ID" + QString::number(i) + '~';
        // Logged in as luis with bob blocked, the client handles these reads ("sent" is what it
        // answered).
        QStringList reads = {
            "NICK: duplicates, empty names, not lower case => read NICK|ana; read NICK|ana; "
            "read NICK|; read NICK; read nick|pepe; read  NICK|pepe; nodes=ana,ana,,; "
            "status=4 usuario(s)",
            "merged NICKs in one read => serve NICK|anaNICK|luisNICK|Nuñez; nodes=ana,luis,Nuñez; "
            "status=3 usuario(s)",
            "what looks merged and what does not => read NICK|NICK|luis; read NICK|bobNICKNICK|x; "
            "read NICK|anaNICK; read NICK|ana|luis; read NICK|anaNick|luis; "
            "nodes=,luis,bobNICK,x,anaNICK,ana,anaNick",
            "a read not shaped like merged NICKs is one message => read NICK|xNICK|BOOT|ana; "
            "read CHAT|holaNICK|bob; nodes=xNICK; room=[blue*]holaNICK : [black]bob\n; boxes=0 ",
            "LOGOUT takes the user off the list => read NICK|ana; read NICK|bob; read NICK|ana; "
            "read LOGOUT|ana; nodes=bob,ana; read LOGOUT|pepe; read LOGOUT|bob; nodes=ana; "
            "status=Usuario Salio del servidor",
            "PM opens a window, the next one appends => read PM|luis|ana|hola; "
            "read PM|luis|ana|¿sigues?; slots=1; with0=ana; "
            "pm0=[blue*]ana : [black]hola\n[blue*]ana : [black]¿sigues?\n; unread0=2",
            "PM for someone else => read PM|pepe|ana|hola; read PM|pepe|bob|x; read PM|Luis|ana|x; "
            "slots=0; sent=",
            "PM from a blocked user is answered, not shown => read PM|luis|bob|hola; slots=0; "
            "sent=IGNORE|luis|bob",
            "blocking is by the whole name => read PM|luis|bobby|hola; read PM|luis|Bob|x; "
            "slots=2; sent=",
            "IGNORE reaches the writer's window => read PM|luis|rita|hola; read IGNORE|rita|luis; "
            "read IGNORE|pepe|luis; read IGNORE|rita|otro; slots=1; "
            "pm0=[blue*]rita : [black]hola\n[black*]<Usuario te ha ignorado>\n; room=",
            "room traffic, the own echo skipped => read ENTER|ana; read CHAT|ana|hola; "
            "read CHAT|luis|eco; read LEAVE|ana; read ENTER; room=[red]<ana Entro a la charla>\n"
            "[blue*]ana : [black]hola\n[red]<ana salio de la charla>\n< Entro a la charla>\n",
            "markup stays text => read PM|luis|<b>x</b>[*]|<img src=file:///etc/passwd>; "
            "read CHAT|<i>y|<b>z; with0=<b>x</b>[*]; "
            "pm0=[blue*]<b>x</b>[*] : [black]<img src=file:///etc/passwd>\n; "
            "room=[blue*]<i>y : [black]<b>z\n",
            "BOOT for someone else => read NICK|ana; read BOOT|ana; nodes=ana; boxes=0 ; sent=",
            "fields missing or empty => read ; read |; read |||; read PM; read IGNORE; read BOOT; "
            "read CHAT; slots=0; room=[blue*] : \n; sent=",
            "forty correspondents, forty windows => " + many + "slots=40; "
            "with39=w39",
            // Acknowledged once stored, and again when sent again, dropped, or blocked.
            "PM with an id => read PM|luis|ana|hola|" + id1 + "|2026-12-07T14:39:57Z; "
            "read PM|luis|ana|hola|" + id1 + "; read PM|luis|bob|x|" + id2 + "; slots=1; "
            "pm0=[blue*]ana : [black]hola\n; unread0=1; "
            "sent=IGNORE|luis|bobRECEIVED|ana|ID1RECEIVED|ana|ID1RECEIVED|bob|ID2",
            "read marks go only where chosen, once => read PM|luis|ana|a|" + id1 + "; look 0; "
            "sent=RECEIVED|ana|ID1; tell on; read PM|luis|ana|b|" + id2 + "; look 0; look 0; "
            "sent=RECEIVED|ana|ID2SEEN|ana|ID2; store0=a:0,b:4",
            "STATE: every node of that nickname, exactly, its tip as written => read NICK|ana; "
            "read NICK|pepe; read NICK|ana; read STATE|ana|busy|<b>reunión</b>; "
            "read STATE|pepe|away|; read STATE|Ana|away|x; read STATE|pepe|gone|x; "
            "read STATE|rita|busy|; users=ana 5 Ocupado: <b>reunión</b>,"
            "pepe 4 Ausente,ana 5 Ocupado: <b>reunión</b>; "
            "read STATE|pepe|available|en casa; read LOGOUT|ana; read STATE|ana|available|; "
            "users=pepe 1 Disponible: en casa,ana 1 ; nodes=pepe,ana",
            "a state on a plain connection stays here => choose busy x; idle 0 locked; "
            "state=Ocupado: x; sent=",
        };
        for (QString &row : reads)
            row.replace(" => ", " => as luis; list bob\r\n; ");
        const QString unkept = "No se pudo guardar en DIR/config/korvex-mensajero/secretos.json "
                               "(File too large). Las claves y contraseñas que ya estaban "
                               "guardadas siguen ahí, pero las nuevas no se han guardado.";
        scriptRows(reads + QStringList{
            "a server that offers framing => as luis; framing=plain; serve OFFER|frame; "
            "framing=accepted; sent=ACCEPT|frame~; serve ACCEPTED|frame~NICK|ana~NICK|pe; "
            "serve pe~PM|luis|ana|hola~; framing=both; "
            "nodes=ana,pepe; pm0=[blue*]ana : [black]hola\n; say 0 ¿y tú?; "
            "sent=PM|ana|luis|¿y tú?~",
            // A password it was never asked for is no reason to try again: that loops.
            "a late offer, then the password refused => as luis; serve OFFER|frame; "
            "framing=accepted; sent=ACCEPT|frame~; serve ACCEPTED|frame~REFUSED|password|Falta la contraseña.~; "
            "status=Entrada rechazada; session=out; "
            "boxes=1 KORVEX Mensajero: El servidor no te dejó entrar.\n\nFalta la contraseña.",
            // Encryption offered late is taken all the same; nothing goes out in clear.
            "an offer of encryption 300 ms late => forbid; greet 300 OFFER|frame|tls; login luis; "
            "wire=ACCEPT|frame|tls~; connections=1; asked=; clear=no",
            "a server that speaks first offers nothing => forbid; greet 0 NICK|ana; login luis; "
            "asked=/; wire=",
            // Encryption stripped on the way to a server whose certificate is known.
            "clear text once keeps the pin => pin AB:CD; greet 0 OFFER|frame; login luis; "
            "asked=AB:CD/; wire=; answer yes; sent=ACCEPT|frame~LOGIN|luis~; clear=yes; pinned=AB:CD; "
            "login luis; asked=AB:CD/; wire=; clear=no",
            "the secret of a log-in outlives a crash, not a log-out => as luis; "
            "serve OFFER|frame; framing=accepted; sent=ACCEPT|frame~; "
            "serve ACCEPTED|frame~TOKEN|s1~NICK|ana~; nodes=ana; crash; login luis; "
            "sent=LOGIN|luis|s1; logout; crash; login luis; sent=LOGIN|luis",
            "the nickname's key goes only encrypted, to a server that keeps => "
            "greet 0 OFFER|frame|keep; login luis; sent=ACCEPT|frame~LOGIN|luis~; tls; "
            "greet 0 OFFER|frame|tls; login luis; connections=2; "
            "sent=ACCEPT|frame|tls~LOGIN|luis~; greet 0 OFFER|frame|tls|keep; login luis; "
            "connections=3; sent=ACCEPT|frame|tls~LOGIN|luis||KEY1~; serve TOKEN|t1~; drop; "
            "session=lost; sent=ACCEPT|frame|tls~LOGIN|luis|t1|KEY1~; crash; login luis; "
            "connections=5; sent=ACCEPT|frame|tls~LOGIN|luis|t1|KEY1~; login LUIS; "
            "connections=6; sent=ACCEPT|frame|tls~LOGIN|LUIS|t1|KEY1~; login Lu1S; "
            "connections=7; sent=ACCEPT|frame|tls~LOGIN|Lu1S|t1|KEY1~; "
            "keys=clave del apodo luls=KEY1,reconexión de luls en 127.0.0.13=t1",
            // Under the nickname as an earlier version named them: found, and kept under
            // today's name too.
            "secrets kept under earlier names => tls; secrets {\"clave del apodo luis, certificado "
            "FP\": \"" + QString(64, 'c') + "\", \"reconexión de Luis en 127.0.0.13\": \"FP\\nt0\"}; "
            "greet 0 OFFER|frame|tls|keep; login Luis; sent=ACCEPT|frame|tls~LOGIN|Luis|t0|KEY1~; "
            "keys=clave del apodo luis=KEY1,clave del apodo luls=KEY1,reconexión de Luis en "
            "127.0.0.13=t0,reconexión de luls en 127.0.0.13=t0; logout; "
            "keys=clave del apodo luis=KEY1,clave del apodo luls=KEY1",
            // A full disk: the file as it was, the user told once, and the key never sent.
            "a key that cannot be kept is not sent => tls; secrets {\"x\": \"y\"}; full 10; "
            "greet 0 OFFER|frame|tls|keep; login luis; sent=ACCEPT|frame|tls~LOGIN|luis~; "
            "secrets={\"x\": \"y\"}; told=2 " + unkept + "; drop; session=lost; "
            "sent=ACCEPT|frame|tls~LOGIN|luis~; secrets={\"x\": \"y\"}; told=2 " + unkept,
            // The LOGIN waits for the nickname's key.
            "own lines with ids, marked as the server says => tls; greet 0 OFFER|frame|tls|keep; "
            "login luis; sent=ACCEPT|frame|tls~LOGIN|luis||KEY1~; steps=opening,key,in; read PM|luis|ana|hola; "
            "say 0 uno; say 0 dos; sent=PM|ana|luis|uno|ID1~PM|ana|luis|dos|ID2~; "
            "store0=hola:0,uno:1,dos:1; read MARK|ID1|delivered; read MARK|ID1|kept; "
            "read MARK|ID1|read; read MARK|ID2|failed|No se entregó.; read MARK|ID2|delivered; "
            "store0=hola:0,uno:3,dos:5,No se entregó.:0; tell on; read MARK|ID1|read; "
            "read MARK|ID1|failed|x; store0=hola:0,uno:4,dos:5,No se entregó.:0; notice=; "
            "read MARK|" + id1 + "|failed|Ya no se entregará.; notice=Ya no se entregará.",
            // A file's mark is the file's: no notice; a file from someone blocked is refused unseen.
            "files where the server takes them => tls; greet 0 OFFER|frame|tls|keep|files; login luis; "
            "sent=ACCEPT|frame|tls~LOGIN|luis||KEY1~FILES|~; list bob\r\n; read FILE|luis|bob|" + id1 + "|a|1|"
            + id1 + id1 + "|; read FILE|luis|ana|" + id2 + "|b|5|" + id1 + id1 + "|; files=esperando tu respuesta; "
            "read MARK|" + id2 + "|failed|Ana lo canceló.; files=no recibido: Ana lo canceló.; notice=; sent=DROPFILE|ID1~",
            // Away by itself only while chosen available; the text chosen goes with it.
            "the state after LOGIN and at each change, framed => greet 0 OFFER|frame; "
            "choose busy En reunión; login luis; sent=ACCEPT|frame~LOGIN|luis~STATE|busy|En reunión~; "
            "idle 3600; idle 0 locked; state=Ocupado: En reunión; idle 0; choose available <i>vuelvo</i>; "
            "sent=STATE|available|<i>vuelvo</i>~; idle 599; sent=; idle 600; "
            "state=Ausente: <i>vuelvo</i>; sent=STATE|away|<i>vuelvo</i>~; idle 1; "
            "state=Disponible: <i>vuelvo</i>; idle 0 locked; idle 0 locked; idle 0; "
            "sent=STATE|available|<i>vuelvo</i>~STATE|away|<i>vuelvo</i>~STATE|available|<i>vuelvo</i>~; "
            "choose away; idle 0; state=Ausente; awayafter 0; choose available; idle 99999; "
            "state=; choose busy " + QString(81, 'x') + "; sent=STATE|away|~STATE|available|~"
            "STATE|busy|" + QString(80, 'x') + "~",
            // The server forgets a line once it is answered: only lines on the disk are.
            "a full disk: no RECEIVED for lines it did not take, told once => as luis; "
            "list bob\r\n; sent=; full 10; "
            "read PM|luis|ana|hola|" + id1 + "|2026-12-07T14:39:57Z; read PM|luis|bob|x|" + id2
            + "; sent=IGNORE|luis|bobRECEIVED|bob|ID1; told=2 " + unstored + "; read PM|luis|ana|"
            "otra|" + id3 + "; read PM|luis|ana|hola|" + id1 + "; sent=; told=2 " + unstored
            + "; pm0=[blue*]ana : [black]hola\n[blue*]ana : [black]otra\n",
            "keeping turned off: RECEIVED all the same => as luis; keep off; full 10; "
            "read PM|luis|ana|hola|" + id1 + "; sent=RECEIVED|ana|ID1; told=0 ",
            // A server stopped by force loses the lines it held in memory: they go again.
            "lines no mark reached go again at the next log-in with the key, paced => tls; "
            "greet 0 OFFER|frame|tls|keep; login luis; sent=ACCEPT|frame|tls~LOGIN|luis||KEY1~; "
            "read PM|luis|ana|hola; 6* say 0 x; sent=" + again + "; read MARK|ID1|kept; drop; "
            "session=lost; pacing=5 paced; sent=ACCEPT|frame|tls~LOGIN|luis||KEY1~"
            + again.section('~', 1) + "; store0=hola:0,x:2,x:1,x:1,x:1,x:1,x:1,"
            "<Conexión perdida>:0,<Conexión restablecida>:0",
            // A window's history holds a bounded stretch of the conversation, paged from the
            // store without a view.
            "the newest lines held while the reader follows them => 1600* add; "
            "rows=1099 502..1600 older; signals=+0-1500 -0-500 +1000-1098",
            "a reader scrolled back holds three times as many => back; 3001* add; "
            "rows=1000 2002..3001 older; signals=+0-3000 -0-2000",
            "older lines a page at a time, to the start => 450* line; earlier; rows=51 401..0 older; "
            "row50=0 :<Fin de los mensajes anteriores> 2 0 true; 2* older; rows=451 1..0 older; "
            "older; rows=451 1..0; row0=1 ana:l 1 0 true; signals=reset +0-199 +0-199",
            "past three times the limit the newest go, and come back => 3500* line; earlier; "
            "15* older; rows=2000 451..2450 older newer; newer; rows=2200 451..2650 older newer",
            "a jump, then newer lines; a line that comes meanwhile waits => 1000* line; jump 500; "
            "rows=200 401..600 older newer; add; rows=200 401..600 older newer; 3* newer; "
            "rows=601 401..1001 older; add; rows=602 401..1002 older; row601=1002 ana:l 1 0 false; "
            "signals=reset hit99 +200-601",
            "the user's own line brings back the newest lines => 1000* line; jump 100; mine; "
            "rows=200 802..1001 older; signals=reset hit99 reset",
            "a mark changes its row, on the user's own lines only => add; mine; got; mine; "
            "mark 2 3; mark 3 4; mark 9 4; row1=2 ana:l 0 3 false; row2=3 ana:l 1 0 false; "
            "row3=4 ana:l 0 1 false; signals=+0-3 ~1",
            // The session's steps, as the log-in goes through them.
            "no encryption offered: asked; refused, nothing sent; accepted, remembered => forbid; "
            "greet 0 OFFER|frame; login luis; asked=/; wire=; steps=opening,out; answer no; "
            "status=Conexión sin cifrar rechazada; connections=1; steps=; login luis; asked=/; "
            "answer yes; sent=ACCEPT|frame~LOGIN|luis~; clear=yes; steps=opening,out,opening,in; "
            "login luis; connections=4; sent=ACCEPT|frame~LOGIN|luis~; asked=",
            "encryption offered in clear: back at once, quietly; a drop: waiting, back, told; "
            "leaving while it waits ends it => tls; as luis; read PM|luis|ana|hola; clear=yes; "
            "greet 0 OFFER|frame|tls; serve OFFER|frame|tls; steps=opening,in,opening:quiet,in:quiet; "
            "clear=no; wire=ACCEPT|frame|tls~LOGIN|luis~; connections=2; pm0=[blue*]ana : [black]hola\n; "
            "drop; steps=waiting:told; status=Conexión perdida; sent=ACCEPT|frame|tls~LOGIN|luis~; "
            "steps=opening:told,in:told; pm0=[blue*]ana : [black]hola\n[black*]<Conexión perdida>\n"
            "<Conexión restablecida>\n; drop; steps=waiting:told; logout; steps=out; connections=3",
            // Announced with other digits, it is refused as a changed certificate is, even when
            // its own was known; accepted, it is remembered.
            "a server chosen from those announced shows the certificate announced => tls; "
            "greet 0 OFFER|frame|tls; chosen luis 0123456789abcdef; asked=01:23:45:67:89:AB:CD:EF:…/FP; "
            "wire=ACCEPT|frame|tls~; answer yes; sent=ACCEPT|frame|tls~LOGIN|luis~; chosen luis FP16; "
            "sent=ACCEPT|frame|tls~LOGIN|luis~; asked=; chosen luis 0123456789abcdff; "
            "asked=01:23:45:67:89:AB:CD:FF:…/FP; session=out",
            "another desk takes the nickname over: told, out, not retried => as luis; "
            "read TAKEN|Has entrado desde otro equipo; session=out; status=Has entrado desde otro "
            "equipo; boxes=1 KORVEX Mensajero: Has entrado desde otro equipo",
            "secrets that cannot be read: no key made or written, lines without ids => "
            "secrets {roto; tls; greet 0 OFFER|frame|tls|keep; login luis; "
            "sent=ACCEPT|frame|tls~LOGIN|luis~; read PM|luis|ana|hola; say 0 uno; "
            "sent=PM|ana|luis|uno~; serve TOKEN|t1~NICK|ana~; nodes=ana; crash; secrets={roto",
        });
    }
    void scripts()
    {
        QFETCH(QString, script);
        play(script);
    }

    // Two desks of one nickname through the real server: a code from the first lets the second
    // in with a key of its own, and the first is told, logged out and left out; the second lists
    // the desks and drops the first, whose key is then refused.
    void desksEndToEnd()
    {
        QString log, code, told, current;
        QStringList listed;
        QTextStream stream(&log);
        const QString state = m_folders->filePath("server");
        QVERIFY(QDir().mkpath(state));
        QFile::setPermissions(state, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        RelayServer server(parseCommandLine({"-", "--listen", "127.0.0.33", "--state-dir", state}).config, stream);
        QVERIFY2(server.listen(), qPrintable(log));
        std::map<QString, std::unique_ptr<Client>> desks;
        for (const QString name : {"casa", "portatil"}) {
            qputenv("XDG_CONFIG_HOME", m_folders->filePath(name + "/config").toLocal8Bit());
            qputenv("XDG_DATA_HOME", m_folders->filePath(name + "/data").toLocal8Bit());
            desks[name] = std::make_unique<Client>();
        }
        Client &home = *desks["casa"], &laptop = *desks["portatil"];
        connect(&home.desks(), &OwnDesks::code, this, [&](const QString &made) { code = made; });
        connect(&home, &Client::boxShown, this, [&](const QString &, const QString &text) { told = text; });
        connect(&laptop.desks(), &OwnDesks::listed, this, [&](const QString &here, const QList<OwnDesks::Desk> &all) {
            current = here, listed.clear();
            for (const OwnDesks::Desk &desk : all)
                listed << desk.name;
        });
        home.session().logIn("bea", "127.0.0.33");
        QTRY_VERIFY(home.session().keyed());
        QVERIFY(home.desks().askCode());
        QTRY_COMPARE(code.size(), 12);
        laptop.session().logIn("bea", "127.0.0.33", {{}, code, "portátil"});
        QTRY_COMPARE(told, "Has entrado desde otro equipo");
        QCOMPARE(home.session().state(), Session::State::LoggedOut);
        QTRY_VERIFY(laptop.session().keyed());
        QVERIFY(laptop.desks().askList());
        QTRY_COMPARE(listed, QStringList({"primer equipo", "portátil"}));
        QCOMPARE(current, "portátil");
        QVERIFY(laptop.desks().drop("primer equipo"));
        QTRY_COMPARE(listed, QStringList({"portátil"}));
        QCOMPARE(home.session().state(), Session::State::LoggedOut);
        home.session().logIn("bea", "127.0.0.33");
        QTRY_COMPARE(told, "El servidor no te dejó entrar.\n\nEl apodo bea pertenece a otra persona. "
                           "Elige otro apodo.");
        QCOMPARE(laptop.session().state(), Session::State::LoggedIn);
        QVERIFY2(!log.contains(code), qPrintable(log));
    }
};

QTEST_GUILESS_MAIN(TestCore)
#include "test_core.moc"
