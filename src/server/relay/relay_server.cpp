#include "server/relay/relay_server.h"

#include "protocol/client_socket.h"
#include "protocol/wire.h"
#include "server/net/stream.h"
#include "server/secrets.h"

#include <QSysInfo>
#include <QTextStream>
#include <QTimer>

#include <array>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Descriptors kept free for what else the server opens (the key, the administrator's socket).
constexpr qintptr kSpareDescriptors = 16;

// What a command costs against what a client may send in a second. IGNORE answers a PM (each PM
// delivered allows one, see PrivateLines::ignore): a client that answers every PM of a user it
// blocks must not be closed for it, but its bytes count. RECEIVED and SEEN answer the lines sent
// with an id, as many as were sent, and count for nothing short of that.
enum class Cost { Message, Answer, Free };

// The command word of a message as read: what comes before its first separator.
QString wordOf(const QByteArray &message)
{
    static const QByteArray separator = wire::toCodePage(wire::FieldSeparator);
    const qsizetype end = message.indexOf(separator);
    return wire::fromCodePage(end < 0 ? QByteArrayView(message) : QByteArrayView(message).first(end));
}

} // namespace

// What a client may send: its word; whether it may come before a log-in, after one, and from a
// client the administrator booted; what it costs; the fewest fields it is taken with; what
// handles it. Anything else a client sends is dropped (and counts as a message).
struct RelayServer::Command {
    QString word;
    bool beforeLogIn;
    bool afterLogIn;
    bool fromBooted;
    Cost cost;
    qsizetype leastFields;
    void (*handle)(RelayServer &server, Guest &guest, const wire::Message &message);
};

const RelayServer::Command *RelayServer::command(QStringView word)
{
    using M = const wire::Message &;
    static const std::array<Command, 22> commands = {{
        {wire::Password, true, false, false, Cost::Message, 1,
         [](RelayServer &s, Guest &g, M m) { s.m_admission.checkPassword(g, m.field(1)); }},
        {wire::Login, true, true, false, Cost::Message, 1,
         [](RelayServer &s, Guest &g, M m) {
             s.m_admission.logIn(g, m.field(1), m.field(2), m.field(3), m.field(4), m.field(5));
         }},
        {wire::GetUser, false, true, false, Cost::Message, 1,
         [](RelayServer &s, Guest &g, M) { s.m_roster.sendList(g, true); }},
        {wire::Pm, false, true, false, Cost::Message, 2,
         [](RelayServer &s, Guest &g, M m) {
             s.m_lines.privateMessage(g, m.field(1), m.field(3), m.field(4));
         }},
        {wire::Received, false, true, false, Cost::Answer, 3,
         [](RelayServer &s, Guest &g, M m) { s.m_lines.received(g, m.field(1), m.field(2)); }},
        {wire::Seen, false, true, false, Cost::Answer, 3,
         [](RelayServer &s, Guest &g, M m) { s.m_lines.seen(g, m.field(1), m.field(2)); }},
        {wire::Ignore, false, true, false, Cost::Free, 3,
         [](RelayServer &s, Guest &g, M m) { s.m_lines.ignore(g, m.field(2)); }},
        {wire::Enter, false, true, false, Cost::Message, 1,
         [](RelayServer &s, Guest &g, M) { s.m_room.enter(g); }},
        {wire::Chat, false, true, false, Cost::Message, 1,
         [](RelayServer &s, Guest &g, M m) { s.m_room.say(g, m.field(2)); }},
        {wire::Leave, false, true, false, Cost::Message, 1,
         [](RelayServer &s, Guest &g, M) { s.m_room.leave(g); }},
        {wire::StateCommand, false, true, false, Cost::Message, 2,
         [](RelayServer &s, Guest &g, M m) { s.m_roster.changeState(g, m.field(1), m.field(2)); }},
        {wire::Files, false, true, false, Cost::Message, 1,
         [](RelayServer &s, Guest &g, M) { s.m_files.takeFiles(g); }},
        {wire::SendFile, false, true, false, Cost::Message, 6,
         [](RelayServer &s, Guest &g, M m) { s.m_files.sendFile(g, m); }},
        {wire::GetFile, false, true, false, Cost::Message, 2,
         [](RelayServer &s, Guest &g, M m) { s.m_files.getFile(g, m.field(1)); }},
        {wire::GotFile, false, true, false, Cost::Message, 2,
         [](RelayServer &s, Guest &g, M m) { s.m_files.gotFile(g, m.field(1)); }},
        {wire::DropFile, false, true, false, Cost::Message, 2,
         [](RelayServer &s, Guest &g, M m) { s.m_files.dropFile(g, m.field(1)); }},
        // A transfer connection names its ticket instead of logging in.
        {wire::Upload, true, false, false, Cost::Message, 2,
         [](RelayServer &s, Guest &g, M m) { s.m_files.transfer(g, m); }},
        {wire::Download, true, false, false, Cost::Message, 3,
         [](RelayServer &s, Guest &g, M m) { s.m_files.transfer(g, m); }},
        {wire::DeskCode, false, true, false, Cost::Message, 1,
         [](RelayServer &s, Guest &g, M) { s.m_desks.makeCode(g); }},
        {wire::Desks, false, true, false, Cost::Message, 1,
         [](RelayServer &s, Guest &g, M) { s.m_desks.list(g); }},
        {wire::DropDesk, false, true, false, Cost::Message, 2,
         [](RelayServer &s, Guest &g, M m) { s.m_desks.drop(g, m.field(1)); }},
        {wire::Logout, false, true, true, Cost::Message, 1,
         [](RelayServer &s, Guest &g, M) { s.logOut(g); }},
    }};
    const auto found = std::find_if(commands.begin(), commands.end(),
                                    [word](const Command &c) { return c.word == word; });
    return found == commands.end() ? nullptr : &*found;
}

void Listener::incomingConnection(qintptr descriptor)
{
    if (accepted)
        accepted(descriptor);
    else
        ::close(int(descriptor));
}

RelayServer::RelayServer(const ServerConfig &config, QTextStream &log, QObject *parent)
    : QObject(parent),
      m_relay(config, log),
      m_roster(m_relay),
      m_room(m_relay),
      m_lines(m_relay),
      m_files(m_relay),
      m_desks(m_relay),
      m_admission(m_relay, m_roster, m_room, m_lines, m_desks),
      m_adminCommands(m_relay, m_roster, m_admission, m_lines, m_files, m_desks),
      m_pacer(config.gap, std::chrono::milliseconds(0),
              [this](quint64 connection, quint64) {
                  if (Connection *paced = m_relay.connections.value(connection))
                      paced->gapPassed();
              })
{
    // Refusals repeated from one address are counted, and said in one line an interval.
    connect(&m_summaries, &QTimer::timeout, this, [this] {
        m_admission.summarize();
        m_lines.summarize();
    });
    m_summaries.start(config.logSummaryInterval);
    // A storm of connections leaves freed heap that glibc keeps: 40 MiB of 253 after 10,000
    // encrypted log-ins. It goes back to the system once connections have stopped coming.
    m_trim.setSingleShot(true);
    m_trim.setInterval(std::chrono::seconds(5));
    connect(&m_trim, &QTimer::timeout, this, [] { ::malloc_trim(0); });
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
        m_relay.log.write(ServerItself, QStringLiteral("cannot accept a connection: ")
                                            + m_listener.errorString()
                                            + QStringLiteral("; trying again in a second"));
        QTimer::singleShot(std::chrono::seconds(1), &m_listener, &QTcpServer::resumeAccepting);
    });
}

RelayServer::~RelayServer()
{
    // The connections go with the server, without announcing anything to each other; the
    // closed ones waiting to be deleted too, before the pacer they name goes.
    const QList<Connection *> connections = findChildren<Connection *>(Qt::FindDirectChildrenOnly);
    if (m_announcer && m_relay.config.announce)
        m_announcer->withdraw();
    m_lines.stop();
    m_relay.online.clear();
    m_relay.guests.clear();
    for (Connection *connection : connections) {
        connection->disconnect(this);
        delete connection;
    }
}

bool RelayServer::listen()
{
    QString fingerprint;
    if (m_relay.config.offerTls) {
        auto loaded = m_relay.config.stateFolder.isEmpty()
            ? std::variant<TlsIdentity, QString>(QStringLiteral("no state folder"))
            : loadIdentity(m_relay.config.stateFolder);
        const QString *error = std::get_if<QString>(&loaded);
        if (error) {
            m_relay.log.write(ServerItself, QStringLiteral("cannot offer encryption: ") + *error);
            return false;
        }
        const TlsIdentity &identity = std::get<TlsIdentity>(loaded);
        auto context = TlsContext::make(identity.key.toPem(), identity.certificate.toPem(),
                                        identity.ticketKey);
        if (const QString *why = std::get_if<QString>(&context)) {
            m_relay.log.write(ServerItself, QStringLiteral("cannot offer encryption: ") + *why);
            return false;
        }
        m_tls = std::move(std::get<std::unique_ptr<TlsContext>>(context));
        fingerprint = QString::fromLatin1(
            identity.certificate.digest(QCryptographicHash::Sha256).toHex());
        m_relay.log.write(ServerItself, QStringLiteral("encryption offered")
                        + (m_relay.config.requireTls ? QStringLiteral(" and required") : QString())
                        + QStringLiteral("; the certificate's SHA-256 fingerprint is ")
                        + certificateFingerprint(identity.certificate));
        if (!m_relay.config.password.isEmpty())
            m_relay.log.write(ServerItself, QStringLiteral("a password is required to log in"));
    }
    // A claim's key never travels in clear: without encryption nothing is kept.
    m_relay.offersTls = m_tls != nullptr;
    m_relay.config.keep = m_relay.config.keep && m_tls && m_lines.openStore();
    m_relay.config.files = m_relay.config.files && m_relay.config.keep && m_files.open();
    const QString where = endpoint(m_relay.config.listenAddress, wire::ServerPort);
    if (!m_listener.listen(m_relay.config.listenAddress, wire::ServerPort)) {
        m_relay.log.write(ServerItself, QStringLiteral("cannot listen on ") + where + QStringLiteral(": ")
                        + m_listener.errorString());
        return false;
    }
    m_relay.log.write(ServerItself, QStringLiteral("listening on ") + where);
    if (m_relay.config.announce)
        announce(fingerprint);
    return true;
}

void RelayServer::announce(const QString &fingerprint)
{
    if (!m_announcer)
        m_announcer = makeAvahiAnnouncer(
            [this](const QString &what) { m_relay.log.write(ServerItself, what); });
    QStringList txt{QStringLiteral("features=")
                    + offeredFeatures(m_relay.config, m_tls != nullptr).join(QLatin1Char(','))};
    if (!fingerprint.isEmpty())
        txt << QStringLiteral("fp=") + fingerprint.left(16);
    const QString name = m_relay.config.name.isEmpty() ? QSysInfo::machineHostName()
                                                       : m_relay.config.name;
    m_announcer->publish(name, QStringLiteral("_korvex._tcp"), wire::ServerPort, txt);
}

void RelayServer::refuseLater(qintptr descriptor)
{
    if (m_refusing >= m_relay.config.maxRefusing || m_relay.config.refusalDelay.count() == 0) {
        ::close(int(descriptor));
        return;
    }
    ++m_refusing;
    // Nothing it sends is read meanwhile.
    static struct : Stream::Events {} unheard;
    auto *stream = new Stream(descriptor, 1, unheard, this);
    stream->pause(true);
    QTimer::singleShot(m_relay.config.refusalDelay, stream, [this, stream] {
        --m_refusing;
        stream->abort();
        stream->deleteLater();
    });
}

void RelayServer::accept(qintptr descriptor)
{
    // Near the process's limit of descriptors a new connection is closed at once: its client
    // tries again later, rather than wait for an answer that would not come; at the limit
    // itself, accepting would fail again and again.
    if (descriptor >= m_lastDescriptor) {
        if (!std::exchange(m_full, true))
            m_relay.log.write(ServerItself, QStringLiteral("near the limit of open files: new "
                                                           "connections are closed"));
        ::close(int(descriptor));
        return;
    }
    m_full = false;
    m_trim.start();
    const auto [address, port] = peerOf(descriptor);
    if (const QString why = m_relay.limits.admit(address); !why.isEmpty()) {
        if (m_relay.limits.logNow(address, AddressLimits::Refusal::Connection))
            m_relay.log.write(endpoint(address, port), QStringLiteral("refused: ") + why);
        refuseLater(descriptor);
        return;
    }
    auto *connection = new Connection(descriptor, m_relay.config, ++m_ids, m_pacer, m_turn, *this,
                                      m_tls.get(), this);
    Guest &guest = m_relay.guests[connection];
    guest.connection = connection;
    guest.address = address;
    m_relay.connections.insert(connection->id(), connection);
    m_admission.accepted(guest);
}

Connection::Charge RelayServer::charge(const Connection &connection, const QByteArray &message)
{
    using Charge = Connection::Charge;
    const Command *known = command(wordOf(message));
    switch (known ? known->cost : Cost::Message) {
    case Cost::Free:
        return Charge::Bytes;
    case Cost::Answer: {
        Guest *guest = m_relay.find(&connection);
        return guest && guest->answers > 0 && --guest->answers >= 0 ? Charge::Nothing
                                                                     : Charge::Message;
    }
    case Cost::Message:
        break;
    }
    return Charge::Message;
}

void RelayServer::taken(Connection &connection, qint64 bytes)
{
    Q_EMIT readHandled(connection.peer(), bytes);
}

void RelayServer::messageRead(Connection &connection, const QByteArray &bytes)
{
    Guest *guest = m_relay.find(&connection);
    if (!guest)
        return;
    const wire::Message message(wire::fromCodePage(bytes));
    const Command *known = command(message.command());
    // Nobody is anybody before logging in; a booted user may only log out.
    if (!known || message.fieldCount() < known->leastFields
        || !(guest->booted ? known->fromBooted
                           : guest->loggedIn ? known->afterLogIn : known->beforeLogIn))
        return;
    known->handle(*this, *guest, message);
}

void RelayServer::logOut(Guest &guest)
{
    const bool booted = guest.booted;
    m_admission.logOut(guest, QStringLiteral("logged out"));
    // Gone as the administrator said, not back under another log-in.
    if (booted)
        guest.connection->closeAfterSending(QStringLiteral("booted"));
    else
        m_admission.awaitLogIn(guest);
}

void RelayServer::closed(Connection &connection, const QString &reason)
{
    Guest *guest = m_relay.find(&connection);
    if (!guest)
        return;
    if (guest->announced)
        m_relay.log.write(connection.peer(), QStringLiteral("disconnected: ") + reason);
    if (guest->loggedIn)
        m_admission.logOut(*guest, QStringLiteral("disconnected"));
    // A transfer's connection still counts against its address, until the transfer ends.
    if (!guest->handedOver)
        m_relay.limits.gone(guest->address, false);
    m_relay.guests.erase(&connection);
    m_relay.connections.remove(connection.id());
    connection.deleteLater();
}

void RelayServer::pilingUp(Connection &connection, quint64 from)
{
    holdBack(from, connection, true);
}

void RelayServer::relieved(Connection &connection, quint64 from)
{
    holdBack(from, connection, false);
}

void RelayServer::holdBack(quint64 id, const Connection &reader, bool hold)
{
    Connection *sender = m_relay.connections.value(id);
    if (!sender)
        return;
    if (hold) {
        sender->hold();
        m_relay.log.write(sender->peer(), QStringLiteral("held back: ")
                        + QStringLiteral("its share of messages waits for ") + reader.peer());
    } else {
        sender->release();
        m_relay.log.write(sender->peer(), QStringLiteral("goes on"));
    }
}
