#include "server/relay/relay_server.h"

#include "protocol/client_socket.h"
#include "protocol/wire.h"
#include "server/net/connection.h"
#include "server/secrets.h"
#include "server/net/stream.h"

#include <QSslSocket>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <array>

#include <sys/resource.h>
#include <unistd.h>

namespace {

const QString kLogin = QStringLiteral("LOGIN");
const QString kGetUser = QStringLiteral("GETUSER");
const QString kPm = QStringLiteral("PM");
const QString kIgnore = QStringLiteral("IGNORE");
const QString kEnter = QStringLiteral("ENTER");
const QString kChat = QStringLiteral("CHAT");
const QString kLeave = QStringLiteral("LEAVE");
const QString kLogout = QStringLiteral("LOGOUT");
const QString kNick = QStringLiteral("NICK");
const QString kMessage = QStringLiteral("MESSAGE");
const QString kBoot = QStringLiteral("BOOT");

const QString kServer = QStringLiteral("-");

// Bounds on what a client may owe in IGNORE answers, so that PMs from many names cannot grow it.
constexpr int kMaxOwedPerSender = 50;
constexpr qsizetype kMaxOwingSenders = 1000;

// Lines sent with an id and not yet answered, and answered ones remembered for SEEN, per client;
// answers (RECEIVED, SEEN) that may come without counting as messages.
constexpr qsizetype kMaxAwaiting = 4096;
// The text of those lines as it is held (UTF-16): twice what may be kept for one recipient, so
// that the lines kept for a client, sent at its log-in, fit.
constexpr qint64 kMaxAwaitingBytes = 8 * 1024 * 1024;
constexpr qsizetype kMaxAnswered = 1024;
constexpr int kMaxAnswers = 2 * (kMaxAwaiting + kMaxAnswered);
constexpr std::chrono::hours kExpiryInterval{1};

// Descriptors kept free for what else the server opens (the key, the administrator's socket).
constexpr qintptr kSpareDescriptors = 16;
// Failures of the store written to the log in one summary interval; the rest are counted.
constexpr int kStoreFailuresLogged = 10;

// What every other user is shown is what the nickname is: no character that the wire drops or
// that shows as nothing, no blank at either end. Otherwise "ana" plus an invisible character
// would pass the check against the online names and be listed and relayed as ana.
bool showsAsItIs(const QString &nickname)
{
    return nickname == nickname.trimmed()
        && std::none_of(nickname.begin(), nickname.end(), [](QChar c) {
               return c.category() == QChar::Other_Control || c.category() == QChar::Other_Format
                   || (c.isSpace() && c != u' ');
           });
}



QString notDeliveredTo(const QString &to, const QString &why)
{
    return QStringLiteral("Tu mensaje para ") + to + QStringLiteral(" no se entregó: ") + why;
}

qint64 textBytes(const KeptStore::Line &line)
{
    return line.text.size() * qint64(sizeof(QChar));
}

// The entry for a sender's line in what a client was sent or has answered: a RECEIVED or SEEN
// counts only for a line of that sender with that id.
template <typename List>
auto findLine(List &list, const QString &from, const QString &id)
{
    return std::find_if(list.begin(), list.end(), [&](const auto &line) {
        return line.id == id && line.from == from;
    });
}

QString tooMuchToRead()
{
    return QStringLiteral("tiene demasiados mensajes por leer. Prueba de nuevo en un momento.");
}

QString users(qsizetype count)
{
    return QString::number(count)
        + (count == 1 ? QStringLiteral(" user") : QStringLiteral(" users"));
}

} // namespace

void Listener::incomingConnection(qintptr descriptor)
{
    if (accepted)
        accepted(descriptor);
    else
        ::close(int(descriptor));
}

Deadlines::Deadlines(std::chrono::milliseconds after, std::function<void(const Entry &)> due)
    : m_after(after), m_due(std::move(due))
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &Deadlines::tick);
    m_clock.start();
}

void Deadlines::add(quint64 connection, quint64 session, bool loggedIn)
{
    m_entries.push_back({m_clock.elapsed() + m_after.count(), connection, session, loggedIn});
    if (!m_timer.isActive())
        m_timer.start(m_after + m_after / 20);
}

void Deadlines::tick()
{
    const qint64 now = m_clock.elapsed();
    while (!m_entries.empty() && m_entries.front().at <= now) {
        const Entry entry = m_entries.front();
        m_entries.pop_front();
        m_due(entry);
    }
    // Those due within a twentieth of the time are looked at together, as Qt's coarse timers
    // do: a storm of connections wakes the server a few times, not once per connection.
    if (!m_entries.empty())
        m_timer.start(std::chrono::milliseconds(m_entries.front().at - now + m_after.count() / 20));
}

RelayServer::RelayServer(const ServerConfig &config, QTextStream &log, QObject *parent)
    : QObject(parent),
      m_config(config),
      m_log(log),
      m_limits(config),
      m_pacer(config.gap),
      m_hellos(config.helloTimeout,
               [this](const Deadlines::Entry &entry) {
                   const auto found = m_clients.find(m_byId.value(entry.connection));
                   if (found != m_clients.end() && !found->second.spoke)
                       found->second.connection->drop(
                           QStringLiteral("neither a password nor a log-in for %1 ms")
                               .arg(m_config.helloTimeout.count()));
               }),
      m_logIns(config.logInTimeout, [this](const Deadlines::Entry &entry) {
          const auto found = m_clients.find(m_byId.value(entry.connection));
          // A password waiting to be checked is answered first.
          if (found != m_clients.end() && found->second.loggedIn == entry.loggedIn
              && found->second.session == entry.session && !found->second.checking)
              found->second.connection->drop(QStringLiteral("nobody logged in for %1 ms")
                                                 .arg(m_config.logInTimeout.count()));
      })
{
    connect(&m_summaries, &QTimer::timeout, this, [this] {
        for (const auto &[where, what] : m_limits.summaries())
            m_log.write(where, what);
        if (m_storeFailuresUnlogged > 0)
            m_log.write(kServer, QStringLiteral("%1 more failures of the store: ")
                                     .arg(m_storeFailuresUnlogged)
                            + (m_store ? m_store->problem() : QString()));
        m_storeFailures = m_storeFailuresUnlogged = 0;
    });
    m_summaries.start(config.logSummaryInterval);
    m_listener.accepted = [this](qintptr descriptor) { accept(descriptor); };
    // A storm of connections (a restart of the server, all clients coming back) waits in the
    // kernel, not for the clients' retries.
    m_listener.setListenBacklogSize(4096);
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        m_lastDescriptor = qintptr(files.rlim_cur) - kSpareDescriptors;
    // An error that stops the listener (the system short of memory or files) stops it for a
    // second, not for good.
    connect(&m_listener, &QTcpServer::acceptError, this, [this] {
        m_log.write(kServer, QStringLiteral("cannot accept a connection: ")
                        + m_listener.errorString() + QStringLiteral("; trying again in a second"));
        QTimer::singleShot(std::chrono::seconds(1), &m_listener, &QTcpServer::resumeAccepting);
    });
    m_clock.start();
    m_stateTimer.setSingleShot(true);
    connect(&m_stateTimer, &QTimer::timeout, this, &RelayServer::passWaitingStates);
    m_gathering.setSingleShot(true);
    connect(&m_gathering, &QTimer::timeout, this, &RelayServer::sendStates);
}

RelayServer::~RelayServer()
{
    // The connections go with the server, without announcing anything to each other; the
    // closed ones waiting to be deleted too, before the pacer they name goes.
    const QList<Connection *> connections = findChildren<Connection *>(Qt::FindDirectChildrenOnly);
    // What the users online have not answered is kept for them, as when they go.
    if (m_store) {
        m_store->disconnect(this);
        for (Client *user : std::as_const(m_online))
            keepAwaiting(*user);
        m_store.reset();
    }
    m_online.clear();
    m_clients.clear();
    for (Connection *connection : connections) {
        connection->disconnect(this);
        delete connection;
    }
}

bool RelayServer::listen()
{
    if (m_config.offerTls) {
        auto loaded = m_config.stateFolder.isEmpty()
            ? std::variant<TlsIdentity, QString>(QStringLiteral("no state folder"))
            : loadIdentity(m_config.stateFolder);
        const QString *error = std::get_if<QString>(&loaded);
        if (error || !QSslSocket::supportsSsl()) {
            m_log.write(kServer, QStringLiteral("cannot offer encryption: ")
                            + (error ? *error : QStringLiteral("no TLS library")));
            return false;
        }
        const TlsIdentity &identity = std::get<TlsIdentity>(loaded);
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificate(identity.certificate);
        tls.setPrivateKey(identity.key);
        tls.setProtocol(QSsl::TlsV1_2OrLater);
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        m_tls = tls;
        m_log.write(kServer, QStringLiteral("encryption offered")
                        + (m_config.requireTls ? QStringLiteral(" and required") : QString())
                        + QStringLiteral("; the certificate's SHA-256 fingerprint is ")
                        + certificateFingerprint(identity.certificate));
        if (!m_config.password.isEmpty())
            m_log.write(kServer, QStringLiteral("a password is required to log in"));
    }
    // A claim's key never travels in clear: without encryption nothing is kept.
    m_config.keep = m_config.keep && m_tls;
    if (m_config.keep) {
        KeptStore::Limits limits;
        limits.linesPerRecipient = m_config.keptPerRecipient;
        limits.linesPerPair = m_config.keptPerSender;
        limits.linesInAll = m_config.keptInAll;
        limits.linesPerAddressPair = m_config.keptPerAddress;
        limits.linesPerAddress = m_config.keptFromAddress;
        limits.days = m_config.keepDays;
        limits.claimDays = m_config.claimDays;
        m_store = std::make_unique<KeptStore>(m_config.stateFolder, limits);
        if (!m_store->isUsable()) {
            m_log.write(kServer, QStringLiteral("not keeping lines: ") + m_store->problem());
            m_store.reset();
            m_config.keep = false;
        }
    }
    if (m_store) {
        connect(m_store.get(), &KeptStore::stored, this, [this](const QList<Line> &lines) {
            for (const Line &line : lines)
                tell(line, wire::MarkKept);
        });
        connect(m_store.get(), &KeptStore::failed, this, [this](const QString &why) {
            storeFailed(QStringLiteral("cannot write what is kept: ") + why);
        });
        connect(m_store.get(), &KeptStore::lost, this,
                [this](const QList<Line> &lines, const QString &why) {
                    storeFailed(QStringLiteral("%1 kept lines lost: ").arg(lines.size()) + why);
                    for (const Line &line : lines)
                        tell(line, wire::MarkFailed,
                             notDeliveredTo(line.to, QStringLiteral("el servidor no pudo "
                                                                    "guardarlo.")));
                });
        connect(&m_expiry, &QTimer::timeout, this, &RelayServer::expire);
        m_expiry.start(kExpiryInterval);
        m_log.write(kServer, QStringLiteral("keeping claims and lines in ") + m_config.stateFolder);
        expire();
    }
    const QString where = endpoint(m_config.listenAddress, wire::ServerPort);
    if (!m_listener.listen(m_config.listenAddress, wire::ServerPort)) {
        m_log.write(kServer, QStringLiteral("cannot listen on ") + where + QStringLiteral(": ")
                        + m_listener.errorString());
        return false;
    }
    m_log.write(kServer, QStringLiteral("listening on ") + where);
    return true;
}

void RelayServer::refuseLater(qintptr descriptor)
{
    if (m_refusing >= m_config.maxRefusing || m_config.refusalDelay.count() == 0) {
        ::close(int(descriptor));
        return;
    }
    ++m_refusing;
    // Nothing it sends is read meanwhile.
    auto *stream = new Stream(descriptor, 1, this);
    stream->pause(true);
    QTimer::singleShot(m_config.refusalDelay, stream, [this, stream] {
        --m_refusing;
        stream->abort();
        stream->deleteLater();
    });
}

void RelayServer::accept(qintptr descriptor)
{
    {
        // Near the process's limit of descriptors a new connection is closed at once: its
        // client tries again later, rather than wait for an answer that would not come; at the
        // limit itself, accepting would fail again and again.
        if (descriptor >= m_lastDescriptor) {
            if (!std::exchange(m_full, true))
                m_log.write(kServer, QStringLiteral("near the limit of open files: new "
                                                    "connections are closed"));
            ::close(int(descriptor));
            return;
        }
        m_full = false;
        const auto [address, port] = peerOf(descriptor);
        if (const QString why = m_limits.admit(address); !why.isEmpty()) {
            if (m_limits.logNow(address, AddressLimits::Refusal::Connection))
                m_log.write(endpoint(address, port), QStringLiteral("refused: ") + why);
            refuseLater(descriptor);
            return;
        }
        auto answers = std::make_shared<int>(0);
        auto *connection = new Connection(
            descriptor, m_config, ++m_ids, m_pacer,
            // IGNORE answers a PM: a client that answers every PM of a user it blocks must not
            // be closed for it, and each PM delivered allows only one answer (see ignore()).
            // RECEIVED and SEEN answer the lines sent with an id, as many as were sent.
            [answers](const QByteArray &message) {
                const QString command = wire::Message(wire::fromCodePage(message)).command();
                if (command == wire::Received || command == wire::Seen)
                    return *answers <= 0 || --*answers < 0;
                return command != kIgnore;
            },
            m_tls ? &*m_tls : nullptr, this);
        Client &client = m_clients[connection];
        client.answers = answers;
        client.connection = connection;
        client.address = address;
        m_byId.insert(connection->id(), connection);
        connect(connection, &Connection::pilingUp, this,
                [this, connection](quint64 id) { holdBack(id, *connection, true); });
        connect(connection, &Connection::relieved, this,
                [this, connection](quint64 id) { holdBack(id, *connection, false); });
        connect(connection, &Connection::messageRead, this,
                [this, connection](const QByteArray &bytes) { handle(connection, bytes); });
        connect(connection, &Connection::taken, this,
                [this, connection](qint64 bytes) { Q_EMIT readHandled(connection->peer(), bytes); });
        connect(connection, &Connection::closed, this,
                [this, connection](const QString &reason) { closed(connection, reason); });
        // While its address is refused again and again, a connection is logged only once it
        // logs in.
        client.announced = false;
        if (!m_limits.isQuiet(address))
            announce(client);
        awaitLogIn(client);
        m_hellos.add(connection->id(), 0, false);
    }
}

void RelayServer::handle(Connection *connection, const QByteArray &bytes)
{
    const auto found = m_clients.find(connection);
    if (found == m_clients.end())
        return;
    Client &client = found->second;
    const wire::Message message(wire::fromCodePage(bytes));
    const QString command = message.command();

    if (client.booted) {
        // Gone as the administrator said, not back under another log-in.
        if (command == kLogout) {
            logOut(client, QStringLiteral("logged out"));
            client.connection->closeAfterSending(QStringLiteral("booted"));
        }
    } else if (command == wire::Password && !client.loggedIn) {
        checkPassword(client, message.field(1));
    } else if (command == kLogin) {
        if (admitted(client))
            logIn(client, message.field(1), message.field(2), message.field(3));
    } else if (!client.loggedIn) {
        // Nobody is anybody before logging in.
    } else if (command == kGetUser) {
        sendUserList(client, true);
    } else if (command == kPm) {
        privateMessage(client, message.field(1), message.field(3), message.field(4));
    } else if (command == wire::Received) {
        received(client, message.field(1), message.field(2));
    } else if (command == wire::Seen) {
        seen(client, message.field(1), message.field(2));
    } else if (command == kIgnore) {
        ignore(client, message.field(2));
    } else if (command == kEnter) {
        if (!client.inRoom) {
            client.inRoom = true;
            sendToRoom(wire::buildMessage(kEnter, {client.nickname}), client, Presence::InRoom);
        }
    } else if (command == kChat) {
        if (client.inRoom)
            sendToRoom(wire::buildMessage(kChat, {client.nickname, message.field(2)}), client);
    } else if (command == kLeave) {
        if (client.inRoom) {
            sendToRoom(wire::buildMessage(kLeave, {client.nickname}), client,
                       Presence::OutOfRoom);
            client.inRoom = false;
        }
    } else if (command == wire::StateCommand) {
        changeState(client, message.field(1), message.field(2));
    } else if (command == kLogout) {
        logOut(client, QStringLiteral("logged out"));
        awaitLogIn(client);
    }
}

void RelayServer::closed(Connection *connection, const QString &reason)
{
    const auto found = m_clients.find(connection);
    if (found == m_clients.end())
        return;
    if (found->second.announced)
        m_log.write(connection->peer(), QStringLiteral("disconnected: ") + reason);
    if (found->second.loggedIn)
        logOut(found->second, QStringLiteral("disconnected"));
    m_limits.gone(found->second.address, false);
    m_clients.erase(found);
    m_byId.remove(connection->id());
    connection->deleteLater();
}

bool RelayServer::admitted(Client &client)
{
    if (m_config.requireTls && !client.connection->isEncrypted()) {
        refuse(client, wire::RefusedClear, QStringLiteral("not encrypted"),
               QStringLiteral("Este servidor solo admite conexiones cifradas."));
        return false;
    }
    if (!m_config.password.isEmpty() && !client.gavePassword) {
        refuse(client, wire::RefusedPassword, QStringLiteral("no password"),
               QStringLiteral("Este servidor pide la contraseña del grupo para entrar."));
        return false;
    }
    return true;
}

void RelayServer::checkPassword(Client &client, const QString &password)
{
    // Taken only encrypted, and never written anywhere.
    if (m_config.password.isEmpty() || !client.connection->isEncrypted() || client.checking)
        return;
    client.spoke = true;
    // Nothing the client sends after it is handled before the answer.
    client.checking = true;
    client.guess = password;
    client.connection->hold();
    const QHostAddress from = AddressLimits::key(client.address);
    QList<quint64> &waiting = m_guesses[from];
    waiting.append(client.connection->id());
    if (waiting.size() == 1)
        nextGuess(from);
}

void RelayServer::nextGuess(const QHostAddress &from)
{
    const auto waiting = m_guesses.find(from);
    if (waiting == m_guesses.end())
        return;
    // Those gone meanwhile have no turn.
    while (!waiting->isEmpty() && !m_byId.contains(waiting->constFirst()))
        waiting->removeFirst();
    if (waiting->isEmpty()) {
        m_guesses.erase(waiting);
        return;
    }
    // Guesses from one address take turns, each after the delay the last wrong one earned:
    // more connections bring no more guesses, and the delay grows with each wrong one however
    // the guesses arrive.
    if (const qint64 wait = m_limits.passwordWait(from); wait > 0) {
        QTimer::singleShot(std::chrono::milliseconds(std::min<qint64>(wait, std::numeric_limits<int>::max())), this,
                           [this, from] { nextGuess(from); });
        return;
    }
    const auto found = m_clients.find(m_byId.value(waiting->takeFirst()));
    m_limits.checkingPassword(from);
    if (found != m_clients.end())
        check(found->second);
    nextGuess(from);
}

void RelayServer::check(Client &client)
{
    Connection *connection = client.connection;
    const auto refuseAfter = [this, connection](qint64 after, auto refusal) {
        QTimer::singleShot(std::chrono::milliseconds(after), connection, [=, this] {
            const auto found = m_clients.find(connection);
            if (found != m_clients.end())
                refusal(found->second);
        });
    };
    if (m_limits.isLocked(client.address)) {
        refuseAfter(m_config.passwordDelay.count(), [this](Client &client) {
            refuse(client, wire::RefusedBusy, QStringLiteral("too many wrong passwords"),
                   QStringLiteral("Desde tu dirección se han probado demasiadas contraseñas "
                                  "equivocadas. Espera unos minutos antes de volver a "
                                  "intentarlo."),
                   AddressLimits::Refusal::Locked);
        });
        return;
    }
    client.gavePassword = sameSecret(wire::toCodePage(std::exchange(client.guess, {})),
                                     m_config.password);
    if (client.gavePassword) {
        client.checking = false;
        connection->release();
        awaitLogIn(client);
        return;
    }
    refuseAfter(m_limits.wrongPassword(client.address), [this](Client &client) {
        refuse(client, wire::RefusedPassword, QStringLiteral("wrong password"),
               QStringLiteral("La contraseña del grupo no es correcta."),
               AddressLimits::Refusal::Password);
    });
}

void RelayServer::refuse(Client &client, const QString &reason, const QString &why,
                         const QString &text, std::optional<AddressLimits::Refusal> quietly)
{
    if (!quietly || m_limits.logNow(client.address, *quietly)) {
        announce(client);
        m_log.write(client.connection->peer(), QStringLiteral("refused: ") + why);
    }
    if (client.loggedIn)
        logOut(client, QStringLiteral("refused"));
    // A client that knows the extension shows the reason; any other shows a notice.
    const QString message = client.connection->isFramed()
        ? wire::buildMessage(wire::Refused, {reason, text})
        : wire::buildMessage(kMessage, {text});
    Connection *connection = client.connection;
    const auto answer = [this, connection, message, why] {
        const auto found = m_clients.find(connection);
        if (found == m_clients.end())
            return;
        send(found->second, message);
        connection->closeAfterSending(QStringLiteral("refused: ") + why);
    };
    // A password is answered late already. Any other refusal waits too, the connection handling
    // nothing meanwhile: a client that comes straight back would keep the server busy refusing.
    if (client.checking || m_config.refusalDelay.count() == 0) {
        answer();
        return;
    }
    connection->hold();
    QTimer::singleShot(m_config.refusalDelay, connection, answer);
}

void RelayServer::announce(Client &client)
{
    if (!std::exchange(client.announced, true))
        m_log.write(client.connection->peer(), QStringLiteral("connected"));
}

void RelayServer::logIn(Client &client, const QString &nickname, const QString &token,
                        const QString &key)
{
    if (nickname.isEmpty())
        return;
    client.spoke = true;
    // Every newcomer is sent every nickname, and the log and the claims keep them.
    if (nickname.size() > wire::NicknameLength) {
        refuse(client, wire::RefusedNickname,
               QStringLiteral("a nickname of %1 characters, ").arg(nickname.size())
                   + quoted(nickname),
               QStringLiteral("El apodo no puede tener más de %1 caracteres. Elige otro apodo.")
                   .arg(wire::NicknameLength));
        return;
    }
    if (!showsAsItIs(nickname)) {
        refuse(client, wire::RefusedNickname,
               QStringLiteral("nickname ") + quoted(nickname) + QStringLiteral(" shows as another"),
               QStringLiteral("El apodo no puede empezar ni acabar en blanco, ni llevar "
                              "caracteres invisibles. Elige otro apodo."));
        return;
    }
    const qint64 now = m_clock.elapsed();
    client.logIns.removeIf([now](qint64 at) { return now - at >= 60'000; });
    if (client.logIns.size() >= m_config.maxLoginsPerMinute) {
        client.connection->drop(QStringLiteral("flood: more than %1 log-ins in a minute")
                                    .arg(m_config.maxLoginsPerMinute));
        return;
    }
    client.logIns.append(now);
    if (!m_limits.mayLogIn(client.address)) {
        refuse(client, wire::RefusedBusy, QStringLiteral("too many log-ins from its address"),
               QStringLiteral("Desde tu dirección se ha entrado demasiadas veces en el último "
                              "minuto. Espera un momento antes de volver a intentarlo."),
               AddressLimits::Refusal::LogIn);
        return;
    }
    // Where encryption is offered, a secret is neither given nor taken in clear.
    const bool secrets = client.connection->isEncrypted() || !m_tls;
    const QString form = wire::nicknameForm(nickname);
    if (!keyAdmitted(client, nickname, key))
        return;
    // A claimed nickname is its holder's, online or not, with a token or not.
    const KeptStore::Owner owner = m_store ? m_store->owner(form, key) : KeptStore::Owner::Nobody;
    if (owner == KeptStore::Owner::Someone) {
        refuse(client, wire::RefusedNickname,
               QStringLiteral("nickname ") + quoted(nickname)
                   + QStringLiteral(" is claimed with another key"),
               QStringLiteral("El apodo ") + nickname
                   + QStringLiteral(" pertenece a otra persona. Elige otro apodo."));
        return;
    }
    // A fresh log-in is someone new to the marks on its lines; one that brings its token back
    // is who it was.
    QString identity;
    if (Client *holder = onlineAs(form); holder && holder != &client) {
        Client &old = *holder;
        if (!secrets || token.isEmpty() || old.token.isEmpty()
            || !sameSecret(wire::toCodePage(token), old.token)) {
            if (old.nickname.toCaseFolded() == nickname.toCaseFolded())
                refuse(client, wire::RefusedNickname,
                       QStringLiteral("nickname ") + quoted(nickname)
                           + QStringLiteral(" is online at ") + old.connection->peer(),
                       QStringLiteral("Ya hay alguien conectado como ") + old.nickname
                           + QStringLiteral(". Elige otro apodo."));
            else
                refuse(client, wire::RefusedNickname,
                       QStringLiteral("nickname ") + quoted(nickname)
                           + QStringLiteral(" looks like ") + quoted(old.nickname)
                           + QStringLiteral(", online at ") + old.connection->peer(),
                       QStringLiteral("El apodo ") + nickname
                           + QStringLiteral(" se confunde con el de ") + old.nickname
                           + QStringLiteral(", que ya está conectado. Elige otro apodo."));
            return;
        }
        // Its own user, back after losing the connection the server still holds.
        m_log.write(client.connection->peer(), QStringLiteral("takes ") + quoted(old.nickname)
                        + QStringLiteral(" back from ") + old.connection->peer());
        identity = old.identity;
        logOut(old, QStringLiteral("taken over by a new connection"));
        // It has not left: the token it had is spent.
        m_departures.cameBack(QString::fromLatin1(old.token));
        old.connection->drop(QStringLiteral("taken over by a new connection"));
    } else if (secrets && !token.isEmpty()) {
        identity = m_departures.cameBack(token);
    }
    if (client.loggedIn)
        logOut(client, QStringLiteral("logged in again as ") + quoted(nickname));
    announce(client);
    client.nickname = nickname;
    client.identity = identity.isEmpty() ? wire::randomHex(16) : identity;
    client.loggedIn = true;
    m_limits.loggedIn(client.address);
    client.connection->setLoggedIn(true);
    client.session = ++m_sessions;
    m_online.append(&client);
    m_log.write(client.connection->peer(), QStringLiteral("logged in as ") + quoted(nickname));
    client.form = form;
    m_byForm.insert(form, &client);
    client.nick = wire::toCodePage(wire::buildMessage(kNick, {nickname}));
    if (!m_listStale)
        addToFramedList(client);
    client.keeps = m_store && client.connection->isEncrypted() && !key.isEmpty();
    holdClaim(client, key, owner);

    if (client.connection->isFramed() && secrets) {
        client.token = wire::randomHex(32).toLatin1();
        send(client, wire::buildMessage(wire::Token, {QString::fromLatin1(client.token)}));
    }
    sendUserList(client);
    m_announcements.add(client.nick, client.connection->id(), nickname, Presence::Online);
    m_announcements.join(client.connection);
    sendKept(client, secrets ? token : QString());
}

bool RelayServer::keyAdmitted(Client &client, const QString &nickname, const QString &key)
{
    if (!key.isEmpty() && !client.connection->isEncrypted()) {
        refuse(client, wire::RefusedClear, QStringLiteral("a nickname's key in clear"),
               QStringLiteral("La clave de un apodo solo se admite en una conexión cifrada."));
        return false;
    }
    if (!key.isEmpty() && !isHex(key, wire::KeyDigits)) {
        refuse(client, wire::RefusedNickname,
               QStringLiteral("a malformed key for ") + quoted(nickname),
               QStringLiteral("La clave del apodo ") + nickname
                   + QStringLiteral(" no es válida."));
        return false;
    }
    return true;
}

void RelayServer::holdClaim(Client &client, const QString &key, KeptStore::Owner owner)
{
    client.holder = owner == KeptStore::Owner::Holder;
    if (client.keeps && owner == KeptStore::Owner::Nobody) {
        // Each claim is a row on disk for months: an address makes only so many.
        if (!m_limits.mayClaim(client.address)) {
            if (m_limits.logNow(client.address, AddressLimits::Refusal::Claim))
                m_log.write(client.connection->peer(),
                            quoted(client.nickname)
                                + QStringLiteral(" left unclaimed: more than %1 claims in an "
                                                 "hour from its address")
                                      .arg(m_config.maxClaimsPerHour));
        } else if (m_store->claim(client.form, client.nickname, key)) {
            client.holder = true;
            m_log.write(client.connection->peer(),
                        QStringLiteral("claims ") + quoted(client.nickname));
        }
    }
    if (client.holder)
        m_store->used(client.form);
}

void RelayServer::sendKept(Client &client, const QString &token)
{
    if (!m_store)
        return;
    // The marks waiting for a claim are its holder's; those waiting for a log-in that left
    // without one, the log-in's that presents its token. Nobody else hears of them.
    QList<KeptStore::Report> reports;
    if (client.holder) {
        for (Line line : m_store->linesFor(client.form)) {
            line.to = client.nickname;
            sendLine(client, line);
        }
        reports = m_store->takeReports(client.form);
    }
    if (!token.isEmpty())
        reports += m_store->takeReports(Departures::boxOf(token));
    for (const KeptStore::Report &report : std::as_const(reports))
        sendMark(client, report);
}

void RelayServer::sendMark(Client &to, const KeptStore::Report &report)
{
    if (report.marked && to.keeps)
        send(to, report.text.isEmpty()
                     ? wire::buildMessage(wire::Mark, {report.id, report.state})
                     : wire::buildMessage(wire::Mark, {report.id, report.state, report.text}));
    else if (report.state == wire::MarkFailed)
        send(to, wire::buildMessage(kMessage, {report.text}));
}

void RelayServer::logOut(Client &client, const QString &how)
{
    if (client.inRoom) {
        client.inRoom = false;
        sendToRoom(wire::buildMessage(kLeave, {client.nickname}), client, Presence::OutOfRoom);
    }
    m_online.removeOne(&client);
    m_announcements.leave(client.connection);
    if (m_byForm.value(client.form) == &client)
        m_byForm.remove(client.form);
    m_framedList.clear();
    m_listStale = true;
    m_stated.remove(&client);
    forgetState(client);
    keepAwaiting(client);
    client.loggedIn = false;
    m_limits.loggedOut(client.address);
    client.connection->setLoggedIn(false);
    client.booted = false;
    client.unansweredPms.clear();
    // Marks on its lines wait for its token, unless a claim keeps them.
    if (!client.holder)
        m_departures.left(client.identity, QString::fromLatin1(client.token));
    m_log.write(client.connection->peer(), quoted(client.nickname) + QLatin1Char(' ') + how);
    m_announcements.add(wire::toCodePage(wire::buildMessage(kLogout, {client.nickname})),
                        client.connection->id(), client.nickname, Presence::Offline);
}

void RelayServer::awaitLogIn(const Client &client)
{
    m_logIns.add(client.connection->id(), client.session, client.loggedIn);
}

void RelayServer::dropUnlessChanged(const Client &client, std::chrono::milliseconds after,
                                    const QString &reason)
{
    Connection *connection = client.connection;
    const quint64 session = client.session;
    const bool loggedIn = client.loggedIn;
    QTimer::singleShot(after, connection, [this, connection, session, loggedIn, reason] {
        const auto found = m_clients.find(connection);
        // A password waiting to be checked is answered first.
        if (found != m_clients.end() && found->second.loggedIn == loggedIn
            && found->second.session == session && !found->second.checking)
            connection->drop(reason);
    });
}

void RelayServer::sendUserList(Client &to, bool asked)
{
    // Asked for, the list is the client's own traffic: one that asks faster than it reads is
    // held back like any sender. At log-in it is the server's, so that a newcomer to many users
    // may write before its list has gone.
    if (!to.connection->sendTogether(framedList())) {
        for (const Client *user : std::as_const(m_online))
            to.connection->send(user->nick, asked ? to.connection->id() : 0, user->nickname,
                                Presence::Online);
    }
    if (!to.connection->isFramed() || m_stated.isEmpty())
        return;
    for (const Client *user : std::as_const(m_online)) {
        if (user->state != wire::StateAvailable || !user->stateText.isEmpty())
            to.connection->send(wire::toCodePage(wire::buildMessage(
                                    wire::StateCommand,
                                    {user->nickname, user->state, user->stateText})),
                                asked ? to.connection->id() : 0, user->nickname, Presence::State);
    }
}

const QList<QByteArray> &RelayServer::framedList()
{
    if (std::exchange(m_listStale, false)) {
        for (const Client *user : std::as_const(m_online))
            addToFramedList(*user);
    }
    return m_framedList;
}

void RelayServer::addToFramedList(const Client &user)
{
    // Blocks of a few kilobytes: a newcomer shares all but the last, which a later log-in may
    // still add to, without a copy.
    constexpr qsizetype kBlock = 16 * 1024;
    if (m_framedList.isEmpty() || m_framedList.last().size() >= kBlock)
        m_framedList.append(QByteArray());
    m_framedList.last().append(user.nick).append(wire::Terminator);
}

void RelayServer::changeState(Client &client, const QString &state, const QString &text)
{
    if (!client.connection->isFramed()
        || (state != wire::StateAvailable && state != wire::StateAway && state != wire::StateBusy))
        return;
    const QString cleaned = wire::stateText(text);
    const qint64 now = m_clock.elapsed();
    const qint64 window = m_config.stateWindow.count();
    client.stateChanges.removeIf([&](qint64 at) { return now - at >= window; });
    const bool waiting = std::exchange(client.statePending, false);
    if (waiting)
        m_waitingStates.removeOne(&client);
    // Back to what the others were shown: nothing to tell them, and nothing waits any more.
    if (state == client.state && cleaned == client.stateText)
        return;
    if (client.stateChanges.size() < m_config.maxStatesPerMinute) {
        passOnState(client, state, cleaned);
        return;
    }
    client.statePending = true;
    client.pendingState = state;
    client.pendingText = cleaned;
    m_waitingStates.append(&client);
    const qint64 due = client.stateChanges.first() + window - now;
    if (!m_stateTimer.isActive() || m_stateTimer.remainingTime() > due)
        m_stateTimer.start(std::chrono::milliseconds(due));
}

void RelayServer::passOnState(Client &client, const QString &state, const QString &text)
{
    client.stateChanges.append(m_clock.elapsed());
    client.state = state;
    client.stateText = text;
    if (state == wire::StateAvailable && text.isEmpty())
        m_stated.remove(&client);
    else
        m_stated.insert(&client);
    client.gathered = true;
    m_gathered.append({&client, wire::toCodePage(wire::buildMessage(
                                    wire::StateCommand, {client.nickname, state, text}))});
    if (!m_gathering.isActive())
        m_gathering.start(m_config.stateGathering);
}

void RelayServer::sendStates()
{
    const auto gathered = std::exchange(m_gathered, {});
    if (gathered.isEmpty())
        return;
    QByteArray together;
    for (const auto &[client, bytes] : gathered) {
        client->gathered = false;
        if (!together.isEmpty())
            together += wire::Terminator;
        together += bytes;
    }
    for (Client *user : std::as_const(m_online)) {
        if (!user->connection->isFramed())
            continue;
        // A reader with something waiting may be slow: it is to hold one state per user.
        if (user->connection->isIdle()) {
            user->connection->send(together);
            continue;
        }
        for (const auto &[client, bytes] : gathered)
            user->connection->send(bytes, client->connection->id(), client->nickname,
                                   Presence::State);
    }
}

void RelayServer::passWaitingStates()
{
    const qint64 now = m_clock.elapsed();
    const qint64 window = m_config.stateWindow.count();
    qint64 next = std::numeric_limits<qint64>::max();
    m_waitingStates.removeIf([&](Client *client) {
        const qint64 due = client->stateChanges.first() + window;
        if (due > now) {
            next = std::min(next, due);
            return false;
        }
        client->stateChanges.removeIf([&](qint64 at) { return now - at >= window; });
        client->statePending = false;
        passOnState(*client, std::exchange(client->pendingState, {}),
                    std::exchange(client->pendingText, {}));
        return true;
    });
    if (next != std::numeric_limits<qint64>::max())
        m_stateTimer.start(std::chrono::milliseconds(next - now));
}

void RelayServer::dropWaitingState(Client &client)
{
    if (std::exchange(client.statePending, false))
        m_waitingStates.removeOne(&client);
}

void RelayServer::forgetState(Client &client)
{
    dropWaitingState(client);
    client.state = wire::StateAvailable;
    client.stateText.clear();
    // A new log-in's first state is news to everyone: it waits for no earlier user's minute.
    client.stateChanges.clear();
    // Its changes not yet sent are not news any more.
    if (std::exchange(client.gathered, false))
        m_gathered.removeIf([&client](const auto &change) { return change.first == &client; });
}

void RelayServer::privateMessage(Client &from, const QString &to, const QString &text,
                                 const QString &id)
{
    Line line;
    line.to = to;
    line.from = from.nickname;
    line.sender = from.form;
    line.address = AddressLimits::key(from.address).toString();
    line.held = from.holder;
    line.identity = from.identity;
    line.text = text;
    line.marked = from.keeps && isHex(id, wire::LineIdDigits);
    line.id = line.marked ? id : wire::randomHex(wire::LineIdDigits);
    if (line.marked && resent(line))
        return;
    // Every line with an id ends with a mark, whatever refuses it.
    if (const QString refused = mayWriteTo(from, to); !refused.isEmpty()) {
        if (line.marked)
            tell(line, wire::MarkFailed, refused);
        return;
    }
    if (line.marked)
        m_recent.note(line.sender, line.id, RecentLines::Where::Underway);
    const QDateTime taken = QDateTime::currentDateTimeUtc();
    line.at = taken.addMSecs(-taken.time().msec());
    bool online = false;
    if (Client *user = onlineAs(wire::nicknameForm(to)); user && user->nickname == to) {
        online = true;
        const bool sent = user->keeps
            ? sendLine(*user, line, &from)
            : user->connection->send(
                  wire::toCodePage(wire::buildMessage(kPm, {to, from.nickname, text})),
                  from.connection->id(), from.nickname);
        if (!sent) {
            // Too many others write to that reader: the writer hears of it, the reader is not
            // closed.
            const QString why = notDeliveredTo(to, tooMuchToRead());
            if (line.marked)
                tell(line, wire::MarkFailed, why);
            else
                send(from, wire::buildMessage(kMessage, {why}), &from);
            return;
        }
        // A plain client has it once it has left for it.
        if (!user->keeps)
            tell(line, wire::MarkDelivered);
        QHash<QString, int> &owed = user->unansweredPms;
        if (owed.size() >= kMaxOwingSenders && !owed.contains(from.nickname))
            owed.clear();
        int &count = owed[from.nickname];
        count = std::min(count + 1, kMaxOwedPerSender);
    }
    if (online)
        return;
    line.owner = wire::nicknameForm(to);
    if (m_store && m_store->owner(line.owner, {}) != KeptStore::Owner::Nobody) {
        keepLine(line);
        return;
    }
    const QString why = notDeliveredTo(to, to + QStringLiteral(" no está conectado."));
    if (line.marked) {
        tell(line, wire::MarkFailed, why);
        return;
    }
    // A plain sender hears it as a notice: once a minute for each name is enough.
    const qint64 now = m_clock.elapsed();
    from.toldAway.removeIf([now](auto told) { return now - told.value() >= 60'000; });
    if (from.toldAway.contains(to) || from.toldAway.size() >= kMaxOwingSenders)
        return;
    from.toldAway.insert(to, now);
    send(from, wire::buildMessage(kMessage, {why}));
}

bool RelayServer::sendLine(Client &to, const Line &line, const Client *from)
{
    const QString message = wire::buildMessage(
        kPm, {line.to, line.from, line.text, line.id, line.at.toString(Qt::ISODate)});
    if (!to.connection->send(wire::toCodePage(message), from ? from->connection->id() : 0,
                             from ? from->nickname : QString()))
        return false;
    to.awaiting.append(line);
    to.awaitingBytes += textBytes(line);
    // A client that never answers does not grow the list: the oldest lines go as if it had
    // gone, never told delivered.
    while (to.awaiting.size() > kMaxAwaiting || to.awaitingBytes > kMaxAwaitingBytes) {
        const Line oldest = to.awaiting.takeFirst();
        to.awaitingBytes -= textBytes(oldest);
        letGo(to, oldest, oldest.to + QStringLiteral(" no confirmó haberlo recibido."));
    }
    *to.answers = std::min(*to.answers + 2, kMaxAnswers);
    return true;
}

void RelayServer::received(Client &client, const QString &from, const QString &id)
{
    if (!client.keeps)
        return;
    const auto found = findLine(client.awaiting, from, id);
    if (found == client.awaiting.end())
        return;
    const Line line = *found;
    client.awaiting.erase(found);
    client.awaitingBytes -= textBytes(line);
    if (line.row != 0)
        m_store->delivered(line.row);
    if (!line.marked)
        return;
    tell(line, wire::MarkDelivered);
    if (client.answered.size() >= kMaxAnswered)
        client.answered.removeFirst();
    Line answered = line;
    answered.text.clear();
    client.answered.append(answered);
}

void RelayServer::seen(Client &client, const QString &from, const QString &id)
{
    if (!client.keeps)
        return;
    const auto found = findLine(client.answered, from, id);
    if (found == client.answered.end())
        return;
    const Line line = *found;
    client.answered.erase(found);
    tell(line, wire::MarkRead);
}

void RelayServer::keepAwaiting(Client &client)
{
    client.answered.clear();
    client.awaitingBytes = 0;
    for (const Line &line : std::exchange(client.awaiting, {}))
        letGo(client, line, line.to + QStringLiteral(" se desconectó antes de recibirlo."));
}

void RelayServer::letGo(const Client &client, Line line, const QString &why)
{
    // A line from the store is still there, for the next log-in.
    if (line.row != 0)
        return;
    if (client.holder) {
        line.owner = client.form;
        keepLine(line);
    } else {
        tell(line, wire::MarkFailed, notDeliveredTo(line.to, why));
    }
}

void RelayServer::keepLine(const Line &line)
{
    const QString why = m_store->keep(line);
    if (why.isEmpty())
        return;
    if (!m_store->isUsable())
        storeFailed(QStringLiteral("a line for ") + quoted(line.to)
                    + QStringLiteral(" not kept: ") + m_store->problem());
    tell(line, wire::MarkFailed, why);
}

void RelayServer::storeFailed(const QString &what)
{
    if (m_storeFailures++ < kStoreFailuresLogged)
        m_log.write(kServer, what);
    else
        ++m_storeFailuresUnlogged;
}

void RelayServer::tell(const Line &line, const QString &state, const QString &text)
{
    // A plain sender hears only of failures.
    if (!line.marked && state != wire::MarkFailed)
        return;
    if (line.marked) {
        static const QHash<QString, RecentLines::Where> where = {
            {wire::MarkKept, RecentLines::Where::Kept},
            {wire::MarkDelivered, RecentLines::Where::Delivered},
            {wire::MarkRead, RecentLines::Where::Read},
            {wire::MarkFailed, RecentLines::Where::Failed},
        };
        m_recent.note(line.sender, line.id, where.value(state));
    }
    const KeptStore::Report report{line.id, state, text, line.marked};
    if (Client *sender = senderOf(line)) {
        sendMark(*sender, report);
        return;
    }
    // Away, the holder of a claim is told every mark, anyone else failures only, at a log-in
    // with the token it left with; that a line is kept is news only at the moment.
    if (!m_store || state == wire::MarkKept)
        return;
    if (line.held) {
        if (m_store->owner(line.sender, {}) != KeptStore::Owner::Nobody)
            m_store->report(line.sender, report, line.address);
    } else if (state == wire::MarkFailed) {
        if (const QString box = m_departures.boxFor(line.identity); !box.isEmpty())
            m_store->report(box, report, line.address);
    }
}

RelayServer::Client *RelayServer::senderOf(const Line &line)
{
    Client *user = onlineAs(line.sender);
    return user && (user->identity == line.identity || (line.held && user->holder)) ? user
                                                                                      : nullptr;
}

bool RelayServer::resent(const Line &line)
{
    std::optional<RecentLines::Where> where = m_recent.find(line.sender, line.id);
    // After a restart only the store knows it.
    if (!where && m_store && m_store->holds(line.sender, line.id))
        where = RecentLines::Where::Kept;
    if (!where)
        return false;
    switch (*where) {
    case RecentLines::Where::Underway:
        // Its mark comes when its recipient answers.
        break;
    case RecentLines::Where::Kept:
        tell(line, wire::MarkKept);
        break;
    case RecentLines::Where::Read:
        tell(line, wire::MarkDelivered);
        tell(line, wire::MarkRead);
        break;
    case RecentLines::Where::Delivered:
        tell(line, wire::MarkDelivered);
        break;
    case RecentLines::Where::Failed:
        tell(line, wire::MarkFailed,
             QStringLiteral("Tu mensaje para ") + line.to + QStringLiteral(" no se entregó."));
        break;
    }
    return true;
}

void RelayServer::unclaimed(Client &user)
{
    // It keeps the nickname for this log-in, but no longer the lines kept for it.
    user.holder = false;
    user.awaiting.removeIf([](const Line &line) { return line.row != 0; });
    user.awaitingBytes = 0;
    for (const Line &line : std::as_const(user.awaiting))
        user.awaitingBytes += textBytes(line);
}

RelayServer::Client *RelayServer::onlineAs(const QString &form)
{
    return m_byForm.value(form);
}

void RelayServer::expire()
{
    // A holder online is using its claim now: it never lapses under it.
    for (const Client *user : std::as_const(m_online)) {
        if (user->holder)
            m_store->used(user->form);
    }
    const QList<Line> lines = m_store->expire();
    for (Client *user : std::as_const(m_online)) {
        if (user->holder && m_store->owner(user->form, {}) == KeptStore::Owner::Nobody)
            unclaimed(*user);
    }
    if (!lines.isEmpty())
        m_log.write(kServer, QStringLiteral("%1 kept lines expired").arg(lines.size()));
    for (const Line &line : lines)
        tell(line, wire::MarkFailed,
             notDeliveredTo(line.to, QStringLiteral("nadie lo recogió en %1 días.")
                                         .arg(m_config.keepDays)));
}

QString RelayServer::mayWriteTo(Client &from, const QString &to)
{
    const qint64 now = m_clock.elapsed();
    // Whom the client wrote to within the hour is known; others are new correspondents.
    from.correspondents.removeIf([now](auto written) { return now - written.value() > 3'600'000; });
    from.newCorrespondents.removeIf([now](qint64 at) { return now - at >= 60'000; });
    const Client *user = onlineAs(wire::nicknameForm(to));
    const bool online = user && user->nickname == to;
    // Only those online or claimed are remembered: any number of names that nobody has must not
    // grow it. A line kept for someone away opens a window all the same, later.
    const bool claimed = !online && m_store
        && m_store->owner(wire::nicknameForm(to), {}) != KeptStore::Owner::Nobody;
    if ((!online && !claimed) || to == from.nickname)
        return {};
    if (from.correspondents.contains(to)) {
        from.correspondents[to] = now;
        return {};
    }
    // Many connections from one place are as many windows on one desktop as one connection's.
    const bool byConnection =
        from.newCorrespondents.size() < m_config.maxNewCorrespondentsPerMinute;
    if (byConnection && m_limits.mayWriteToSomeoneNew(from.address)) {
        from.newCorrespondents.append(now);
        from.correspondents[to] = now;
        return {};
    }
    const int most = byConnection ? m_config.maxNewCorrespondentsPerAddress
                                  : m_config.maxNewCorrespondentsPerMinute;
    const QString why = notDeliveredTo(
        to, (byConnection ? QStringLiteral("desde tu dirección ya se escribió a %1 personas "
                                           "nuevas en el último minuto.")
                          : QStringLiteral("ya escribiste a %1 personas nuevas en el último "
                                           "minuto."))
                    .arg(most)
                + QStringLiteral(" Espera un momento antes de escribir a otras."));
    // Logged, and told to a plain writer, at most once a minute.
    if (now - from.toldRefused >= 60'000 || from.toldRefused < 0) {
        from.toldRefused = now;
        m_log.write(from.connection->peer(),
                    quoted(from.nickname) + QStringLiteral(" refused: ")
                        + QStringLiteral("more than %1 new correspondents in a minute").arg(most)
                        + (byConnection ? QStringLiteral(" from its address") : QString()));
        if (!from.keeps)
            send(from, wire::buildMessage(kMessage, {why}));
    }
    return why;
}

void RelayServer::ignore(Client &blocker, const QString &sender)
{
    const auto owed = blocker.unansweredPms.find(sender);
    if (owed == blocker.unansweredPms.end())
        return;
    if (--owed.value() == 0)
        blocker.unansweredPms.erase(owed);
    sendToNickname(sender, wire::buildMessage(kIgnore, {blocker.nickname, sender}), blocker);
}

void RelayServer::sendToNickname(const QString &nickname, const QString &message,
                                 const Client &from)
{
    if (Client *user = onlineAs(wire::nicknameForm(nickname)); user && user->nickname == nickname)
        user->connection->send(wire::toCodePage(message), from.connection->id(), from.nickname);
}

void RelayServer::sendToRoom(const QString &message, Client &from, Presence presence)
{
    const QByteArray bytes = wire::toCodePage(message);
    QStringList missed;
    for (Client *user : std::as_const(m_online)) {
        if (user->inRoom && !user->connection->send(bytes, from.connection->id(), from.nickname,
                                                    presence))
            missed << user->nickname;
    }
    if (missed.isEmpty())
        return;
    // Too many others write to those readers: the writer hears of it, the readers are not
    // closed.
    const QString why = QStringLiteral("Tu mensaje a la sala no le llegó a ")
        + missed.join(QStringLiteral(", ")) + QStringLiteral(": ") + tooMuchToRead();
    send(from, wire::buildMessage(kMessage, {why}), &from);
}

void RelayServer::send(Client &to, const QString &message, const Client *from, Presence presence)
{
    to.connection->send(wire::toCodePage(message), from ? from->connection->id() : 0,
                        from && presence != Presence::None ? from->nickname : QString(),
                        presence);
}

void RelayServer::holdBack(quint64 id, const Connection &reader, bool hold)
{
    Connection *sender = m_byId.value(id);
    if (!sender)
        return;
    if (hold) {
        sender->hold();
        m_log.write(sender->peer(), QStringLiteral("held back: ")
                        + QStringLiteral("its share of messages waits for ") + reader.peer());
    } else {
        sender->release();
        m_log.write(sender->peer(), QStringLiteral("goes on"));
    }
}

QString RelayServer::adminHelp()
{
    return QStringLiteral("commands: msg TEXT (notice to everyone), boot NICK (disconnect a user), "
                          "users (who is online), claims (claimed nicknames), release NICK (drop "
                          "a claim and its kept lines)");
}

AdminAnswer RelayServer::admin(const QString &line)
{
    m_answer = {};
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty())
        return {};
    const qsizetype space = trimmed.indexOf(QLatin1Char(' '));
    const QString command = trimmed.left(space).toLower();
    const QString rest = space < 0 ? QString() : trimmed.mid(space + 1).trimmed();

    if (command == u"msg" && !rest.isEmpty()) {
        notice(rest);
        m_answer.done = true;
    } else if (command == u"boot" && !rest.isEmpty()) {
        m_answer.done = boot(rest);
    } else if (command == u"users" && rest.isEmpty()) {
        listUsers();
        m_answer.done = true;
    } else if (command == u"claims" && rest.isEmpty()) {
        listClaims();
        m_answer.done = true;
    } else if (command == u"release" && !rest.isEmpty()) {
        m_answer.done = release(rest);
    } else {
        answer(kServer, adminHelp());
    }
    return std::exchange(m_answer, {});
}

void RelayServer::answer(const QString &where, const QString &what)
{
    m_log.write(where, what);
    m_answer.lines.append(where + QLatin1Char(' ') + what);
}

void RelayServer::notice(const QString &text)
{
    const QByteArray bytes = wire::toCodePage(wire::buildMessage(kMessage, {text}));
    for (Client *user : std::as_const(m_online))
        user->connection->send(bytes);
    answer(kServer,
                QStringLiteral("notice to ") + users(m_online.size()) + QStringLiteral(": ")
                    + quoted(text));
}

bool RelayServer::boot(const QString &nickname)
{
    const QByteArray bytes = wire::toCodePage(wire::buildMessage(kBoot, {nickname}));
    int booted = 0;
    for (Client *user : std::as_const(m_online)) {
        if (user->nickname != nickname)
            continue;
        ++booted;
        if (user->booted) {
            answer(user->connection->peer(),
                   quoted(nickname) + QStringLiteral(" is booted already"));
            continue;
        }
        user->booted = true;
        // Nothing it said after its last word passed on is passed on now.
        dropWaitingState(*user);
        user->connection->send(bytes);
        answer(user->connection->peer(),
                    QStringLiteral("booted ") + quoted(nickname) + QStringLiteral(", closing in ")
                        + QString::number(m_config.bootGrace.count())
                        + QStringLiteral(" ms unless it logs out"));
        dropUnlessChanged(*user, m_config.bootGrace, QStringLiteral("booted"));
    }
    if (booted == 0)
        answer(kServer, QStringLiteral("boot: nobody called ") + quoted(nickname)
                        + QStringLiteral(" is online"));
    return booted > 0;
}

void RelayServer::listUsers()
{
    const qsizetype waiting = qsizetype(m_clients.size()) - m_online.size();
    answer(kServer, users(m_online.size()) + QStringLiteral(" online, ")
                    + QString::number(waiting) + QStringLiteral(" more connected, not logged in"));
    for (const Client *user : std::as_const(m_online)) {
        QString what = quoted(user->nickname);
        if (user->connection->isEncrypted())
            what += QStringLiteral(" encrypted");
        if (user->inRoom)
            what += QStringLiteral(" in the room");
        if (user->booted)
            what += QStringLiteral(" booted");
        answer(user->connection->peer(), what);
    }
}

void RelayServer::listClaims()
{
    if (!m_store) {
        answer(kServer, QStringLiteral("no claims: nothing is kept between runs"));
        return;
    }
    const QList<KeptStore::Claim> claims = m_store->claims();
    answer(kServer, QString::number(claims.size())
                        + (claims.size() == 1 ? QStringLiteral(" claim") : QStringLiteral(" claims")));
    for (const KeptStore::Claim &claim : claims)
        answer(kServer, quoted(claim.nickname) + QStringLiteral(" since ")
                        + claim.since.toString(Qt::ISODate) + QStringLiteral(", used ")
                        + claim.used.toString(Qt::ISODate) + QStringLiteral(", %1 lines kept")
                                                                 .arg(claim.lines));
}

bool RelayServer::release(const QString &nickname)
{
    const QString form = wire::nicknameForm(nickname);
    const std::optional<QList<Line>> lines =
        m_store ? m_store->release(form) : std::nullopt;
    if (!lines) {
        answer(kServer, QStringLiteral("release: nobody has claimed ") + quoted(nickname));
        return false;
    }
    for (Client *user : std::as_const(m_online)) {
        if (user->form == form)
            unclaimed(*user);
    }
    for (const Line &line : *lines)
        tell(line, wire::MarkFailed,
             notDeliveredTo(line.to, QStringLiteral("el administrador liberó su apodo.")));
    answer(kServer, QStringLiteral("released ") + quoted(nickname)
                        + QStringLiteral(": %1 kept lines dropped").arg(lines->size()));
    return true;
}
