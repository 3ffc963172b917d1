// The client's core without a window, fed whatever a server could send. A Client logs in for real
// to a stand-in server on a loopback address (connection, offer, LOGIN, the session's states);
// from then on each input's bytes are handed to its socket as the connection's reads, and the
// socket's framing, the dispatcher and the session handle them. Written through the kernel
// instead, each waited for until the client had read it, inputs ran at some 450 a second;
// handed on directly, at some 2,600 (alone on a processor). What the client answers still goes
// out to the stand-in, unread. Boxes and pauses end at once.
//
// The first byte of an input chooses the connection, and the rest is what the server sends on it:
//  - even: a plain connection. The rest is cut at every 0x1E byte into reads, each handled before
//    the next comes, as a plain server paces its messages (there a read is a message). A read may
//    switch the connection to framing (an offer, then the server's marker): from there on the
//    bytes are framed. An offer taken without the marker stays for the next inputs.
//  - odd: a framed connection. The rest is one read: how framed bytes are cut into reads changes
//    nothing of what the reader makes of them (fuzz_wire checks that).
// A framed input ends the message it leaves unfinished, so that each input stands by itself.
//
// One logged-in client per kind of connection serves many inputs, so that what they leave behind
// (users listed, conversations, history) builds up. It logs in again when an input has logged it
// out or changed its connection, and every so many inputs a fresh client, on empty folders, takes
// its place.
#include "core/client.h"
#include "core/session.h"
#include "core/settings.h"
#include "protocol/client_socket.h"
#include "protocol/wire.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <dlfcn.h>

namespace {

const QString Nickname = QStringLiteral("ana");

// All the harness asks of the core, in these few lines: a client that answers nothing and takes
// the stand-in's clear text, its log-in, whether it is logged in and on what connection, and its
// socket, which takes the input's reads and tells each message it hands on.
std::unique_ptr<Client> makeClient(const QString &host)
{
    auto client = std::make_unique<Client>();
    client->setInstant(true);
    client->settings().setClearTextAllowed(host, true);
    return client;
}
void logIn(Client &client, const QString &host) { client.session().logIn(Nickname, host); }
bool loggedIn(Client &client)
{
    return client.session().state() == Session::State::LoggedIn && client.isConnected();
}
bool loggedOut(Client &client) { return client.session().state() == Session::State::LoggedOut; }
ClientSocket &socketOf(Client &client) { return client.socket(); }

// A client serves so many inputs before a fresh one takes its place: enough for state to build
// up, few enough that it stays small.
constexpr int InputsPerClient = 2000;
// Over loopback whatever the client waits for comes at once: this long means it never will.
constexpr qint64 PatienceMs = 5000;
// Cuts a plain input into reads.
constexpr char ReadBreak = '\x1E';

void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_core: %s\n", what);
    std::abort();
}

// One kind of connection: the stand-in's listener for it, and the client fed on it.
struct Seat {
    bool framed = false;
    QString folder;
    QTcpServer listener;
    QString address;
    std::unique_ptr<Client> client;
    int inputs = 0;
    // Messages the socket has handed on, ever.
    quint64 handed = 0;
    // The stand-in's end of the client's connection.
    QPointer<QTcpSocket> peer;
};

// What was posted, and what that posted, and so on: the socket hands on one message per posted
// event.
void handOn(const Seat &seat)
{
    for (int round = 0; round < 1024; ++round) {
        const quint64 before = seat.handed;
        QCoreApplication::sendPostedEvents();
        if (seat.handed == before)
            break;
    }
}

// Then one turn of the event loop, without waiting, for the timers, the writes and the stand-in.
// Once an input: a turn costs as much as a message, and the client's writes wait in its socket
// meanwhile, as they would while it handles a burst.
void settle(const Seat &seat)
{
    handOn(seat);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// SQLite's own blocks (parsed statements, pages) come from the C library's heap, not through
// AddressSanitizer's: SQLite is not built with it, and its many small blocks, each traced and
// held in quarantine, cost a seventh of an input. The core's own blocks stay checked.
namespace sqlite_heap {

struct Methods {
    void *(*malloc)(int);
    void (*free)(void *);
    void *(*realloc)(void *, int);
    int (*size)(void *);
    int (*roundUp)(int);
    int (*init)(void *);
    void (*shutdown)(void *);
    void *data;
};
constexpr int ConfigMalloc = 4;
// Each block starts with its size, as SQLite asks for it.
constexpr std::size_t Header = 16;

extern "C" void *__libc_malloc(std::size_t);
extern "C" void *__libc_realloc(void *, std::size_t);
extern "C" void __libc_free(void *);

void *allocate(int bytes)
{
    auto *block = static_cast<char *>(__libc_malloc(Header + std::size_t(bytes)));
    if (!block)
        return nullptr;
    *reinterpret_cast<int *>(block) = bytes;
    return block + Header;
}
void release(void *block)
{
    if (block)
        __libc_free(static_cast<char *>(block) - Header);
}
void *reallocate(void *block, int bytes)
{
    if (!block)
        return allocate(bytes);
    auto *moved = static_cast<char *>(
        __libc_realloc(static_cast<char *>(block) - Header, Header + std::size_t(bytes)));
    if (!moved)
        return nullptr;
    *reinterpret_cast<int *>(moved) = bytes;
    return moved + Header;
}
int sizeOf(void *block) { return *reinterpret_cast<int *>(static_cast<char *>(block) - Header); }
int roundUp(int bytes) { return (bytes + 7) & ~7; }
int init(void *) { return 0; }
void shutdown(void *) {}

// Before the first database opens; otherwise SQLite keeps its allocator, and it is only slower.
void install()
{
    static Methods methods{allocate, release, reallocate, sizeOf, roundUp, init, shutdown, nullptr};
    void *library = ::dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_GLOBAL);
    if (!library)
        return;
    using Config = int (*)(int, ...);
    if (const auto config = reinterpret_cast<Config>(::dlsym(library, "sqlite3_config")))
        config(ConfigMalloc, &methods);
}

} // namespace sqlite_heap

class World {
public:
    World()
    {
        sqlite_heap::install();
        // No test touches a real keyring. Qt's own event loop polls in a fraction of glib's time.
        qputenv("KORVEX_SECRETS", "file");
        qputenv("QT_NO_GLIB", "1");
        static int argc = 1;
        static char name[] = "fuzz_core";
        static char *argv[] = {name, nullptr};
        m_app = std::make_unique<QCoreApplication>(argc, argv);
        // Settings and history on a memory file system where there is one: their commits cost
        // nothing there.
        const QString temporary = QFileInfo(QStringLiteral("/dev/shm")).isWritable()
            ? QStringLiteral("/dev/shm")
            : QDir::tempPath();
        s_folder = temporary + QStringLiteral("/korvex-fuzz-core-")
            + QString::number(QCoreApplication::applicationPid());
        std::atexit([] { QDir(s_folder).removeRecursively(); });
        m_seats[1].framed = true;
        for (Seat &seat : m_seats)
            seat.folder = s_folder
                + (seat.framed ? QStringLiteral("/framed") : QStringLiteral("/plain"));
        listen();
    }

    void feed(const unsigned char *data, std::size_t size)
    {
        if (size == 0)
            return;
        Seat &seat = m_seats[data[0] & 1];
        ready(seat);
        const QByteArray input(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);
        const QList<QByteArray> reads =
            seat.framed ? QList<QByteArray>{input} : input.split(ReadBreak);
        for (const QByteArray &read : reads) {
            // A read may have ended the connection: nothing more comes on it.
            if (!loggedIn(*seat.client))
                break;
            if (read.isEmpty())
                continue;
            socketOf(*seat.client).read(read);
            handOn(seat);
        }
        if (loggedIn(*seat.client) && socketOf(*seat.client).isFramed()
            && !input.endsWith(wire::Terminator)) {
            socketOf(*seat.client).read(QByteArray(1, wire::Terminator));
            handOn(seat);
        }
        settle(seat);
        if (++seat.inputs >= InputsPerClient)
            retire(seat);
    }

private:
    // 127.0.0.88 and .89; while another run holds them (libFuzzer's -jobs), another pair.
    void listen()
    {
        for (int pair = 0; pair < 255; ++pair) {
            bool all = true;
            for (std::size_t i = 0; i < m_seats.size() && all; ++i) {
                Seat &seat = m_seats[i];
                seat.address = pair == 0 ? QStringLiteral("127.0.0.%1").arg(88 + i)
                                         : QStringLiteral("127.88.%1.%2").arg(pair).arg(i + 1);
                all = seat.listener.listen(QHostAddress(seat.address), wire::ServerPort);
            }
            if (all)
                break;
            for (Seat &seat : m_seats)
                seat.listener.close();
        }
        for (Seat &seat : m_seats) {
            if (!seat.listener.isListening())
                fail("no loopback address to listen on");
            QObject::connect(&seat.listener, &QTcpServer::newConnection, [&seat] { accept(seat); });
        }
    }

    // The stand-in's side of a connection: the offer of the seat's kind and, framed, the client's
    // marker confirmed. Everything after that comes from the input, and what the client sends is
    // left unread, sparing the stand-in a turn for each write: a client serves too few inputs to
    // fill the kernel's buffers.
    static void accept(Seat &seat)
    {
        while (QTcpSocket *socket = seat.listener.nextPendingConnection()) {
            // The client has one connection at a time: an older one has ended, which an unread
            // socket never learns.
            if (seat.peer)
                seat.peer->deleteLater();
            seat.peer = socket;
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            const auto unread = [socket] {
                QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
                // Full at one byte: the socket stops reading.
                socket->setReadBufferSize(1);
            };
            if (seat.framed)
                QObject::connect(socket, &QTcpSocket::readyRead, socket,
                                 [socket, unread, read = QByteArray()]() mutable {
                                     read += socket->readAll();
                                     if (read.contains(wire::marker(wire::Accept))) {
                                         socket->write(wire::marker(wire::Accepted));
                                         unread();
                                     }
                                 });
            else
                unread();
            socket->write(wire::toCodePage(seat.framed
                                               ? wire::buildMessage(wire::Offer, {wire::Framing})
                                               : wire::Offer));
        }
    }

    // Logged in, on a connection of the seat's kind. A plain one that has taken an offer of
    // framing, but not the server's marker, is still read plain: later inputs go on from there.
    // A log-in again costs as much as three or four inputs.
    static bool isReady(Seat &seat)
    {
        if (!loggedIn(*seat.client))
            return false;
        const ClientSocket &socket = socketOf(*seat.client);
        return socket.isFramed() == seat.framed && (!seat.framed || socket.sendsFramed());
    }

    static void ready(Seat &seat)
    {
        if (!seat.client)
            fresh(seat);
        if (isReady(seat))
            return;
        // Logged out, or on a connection of another kind: the log-in again, on a new connection.
        logIn(*seat.client, seat.address);
        QElapsedTimer clock;
        clock.start();
        // Wakes the wait below, should nothing else come.
        QTimer wake;
        wake.start(50);
        while (!isReady(seat)) {
            if (clock.elapsed() > PatienceMs)
                fail("the client does not log in");
            // What an input left queued may end an attempt: then another.
            if (loggedOut(*seat.client))
                logIn(*seat.client, seat.address);
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        settle(seat);
    }

    static void fresh(Seat &seat)
    {
        QDir(seat.folder).removeRecursively();
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(seat.folder + QStringLiteral("/config")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(seat.folder + QStringLiteral("/data")));
        seat.client = makeClient(seat.address);
        QObject::connect(&socketOf(*seat.client), &ClientSocket::dataArrival,
                         [&seat] { ++seat.handed; });
        seat.inputs = 0;
    }

    static void retire(Seat &seat)
    {
        seat.client.reset();
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    static inline QString s_folder;
    std::unique_ptr<QCoreApplication> m_app;
    std::array<Seat, 2> m_seats;
};

} // namespace

// Freed blocks wait through 32 MiB of frees, many inputs, rather than AddressSanitizer's default
// 256 MiB, and new blocks are not filled: with the defaults a run held 420 MiB rather than 150,
// and an input took up to twice the time. ASAN_OPTIONS overrides either.
extern "C" __attribute__((used)) const char *__asan_default_options()
{
    return "quarantine_size_mb=32:max_malloc_fill_size=0";
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    // Never destroyed: Qt's objects must not go with the process's statics.
    static World &world = *new World;
    world.feed(data, size);
    return 0;
}
