// The server's bare stream on one end of a socket pair, in clear and encrypted; the test is the
// peer at the other end, and sees each byte that crosses.
#include "server/net/epoll_dispatcher.h"
#include "server/net/stream.h"
#include "server/net/tls_context.h"
#include "server/secrets.h"

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <openssl/ssl.h>

#include <functional>
#include <memory>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Runs the event loop until the condition holds, waiting on the descriptors between looks.
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

// What a stream told: how often it had something to read, whether it was encrypted, why it
// closed each time.
struct Heard : Stream::Events {
    int readable = 0;
    int encrypted = 0;
    QStringList closed;

    void streamReadable() override { ++readable; }
    void streamEncrypted() override { ++encrypted; }
    void streamClosed(const QString &reason) override { closed << reason; }
};

// Bytes in the kernel for this descriptor to read.
int unread(int descriptor)
{
    int waiting = 0;
    ::ioctl(descriptor, FIONREAD, &waiting);
    return waiting;
}

// A TLS client whose records the test hands to the socket itself, in pieces if it likes.
struct TlsPeer {
    explicit TlsPeer(int descriptor) : fd(descriptor)
    {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        // One context for all, as a client has: a session it left is offered again.
        static SSL_CTX *const shared = SSL_CTX_new(TLS_client_method());
        ssl = SSL_new(shared);
        in = BIO_new(BIO_s_mem());
        out = BIO_new(BIO_s_mem());
        SSL_set_bio(ssl, in, out);
        SSL_set_connect_state(ssl);
    }
    ~TlsPeer()
    {
        SSL_free(ssl);
        ::close(fd);
    }
    // What TLS made and the socket has not been given yet.
    QByteArray made()
    {
        QByteArray bytes(int(BIO_pending(out)), '\0');
        BIO_read(out, bytes.data(), int(bytes.size()));
        return bytes;
    }
    void give(const QByteArray &bytes) { QCOMPARE(::write(fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size())); }
    // Takes at most this much from the socket into TLS.
    void take(int most = 1 << 20)
    {
        QByteArray buffer(most, '\0');
        if (const ssize_t n = ::read(fd, buffer.data(), size_t(most)); n > 0)
            BIO_write(in, buffer.constData(), int(n));
    }
    bool handshake()
    {
        return waitUntil([this] {
            take();
            const bool done = SSL_do_handshake(ssl) == 1;
            give(made());
            return done;
        });
    }
    QByteArray read()
    {
        char buffer[16384];
        QByteArray got;
        for (int n; (n = SSL_read(ssl, buffer, sizeof buffer)) > 0;)
            got.append(buffer, n);
        return got;
    }

    int fd;
    SSL *ssl;
    BIO *in;
    BIO *out;
};

} // namespace

class TestStream : public QObject {
    Q_OBJECT

    QTemporaryDir m_state;
    std::unique_ptr<TlsContext> m_tls;
    int m_pair[2] = {-1, -1};
    Heard m_heard;
    std::unique_ptr<Stream> m_stream;
    std::unique_ptr<TlsPeer> m_peer;

    // The stream encrypted, on one end of a new pair; the peer on the other, its handshake done.
    void encrypted()
    {
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, m_pair), 0);
        m_heard = {};
        m_stream = std::make_unique<Stream>(m_pair[0], 64 * 1024, m_heard);
        m_peer = std::make_unique<TlsPeer>(m_pair[1]);
        m_stream->startEncryption(*m_tls);
        QVERIFY(m_peer->handshake());
        QVERIFY(waitUntil([&] { return m_heard.encrypted == 1; }));
    }

public:
    static void initMain() { QCoreApplication::setEventDispatcher(new EpollDispatcher); }

private Q_SLOTS:
    void initTestCase()
    {
        auto identity = loadIdentity(m_state.path());
        QVERIFY(std::holds_alternative<TlsIdentity>(identity));
        const TlsIdentity &made = std::get<TlsIdentity>(identity);
        auto context = TlsContext::make(made.key.toPem(), made.certificate.toPem(), made.ticketKey);
        QVERIFY(std::holds_alternative<std::unique_ptr<TlsContext>>(context));
        m_tls = std::move(std::get<std::unique_ptr<TlsContext>>(context));
    }

    void cleanup()
    {
        m_peer.reset();
        m_stream.reset();
    }

    // What the kernel could not take at once goes as it makes room, once and in order.
    void writesWhatTheKernelTakesLater()
    {
        int pair[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        const int small = 4096;
        ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        Heard heard;
        Stream stream(pair[0], 1, heard);
        QList<QByteArray> blocks;
        QByteArray expected;
        for (int i = 0; i < 40; ++i)
            expected += blocks.emplace_back(4000 + i, char('a' + i % 26));
        stream.write(blocks);
        QVERIFY(stream.pending() > 0);
        stream.write(QByteArray(30000, 'z'));
        expected += QByteArray(30000, 'z');
        QByteArray got;
        QSocketNotifier readable(pair[1], QSocketNotifier::Read);
        connect(&readable, &QSocketNotifier::activated, this, [&] {
            char buffer[65536];
            if (const ssize_t n = ::read(pair[1], buffer, sizeof buffer); n > 0)
                got.append(buffer, n);
        });
        QVERIFY(waitUntil([&] { return got.size() >= expected.size(); }));
        QCOMPARE(got, expected);
        QCOMPARE(stream.pending(), 0);
        ::close(pair[1]);
    }

    // Encrypted, a write the kernel takes record by record reaches a slow reader whole and in
    // order, and is counted as it leaves, encrypted.
    void aSlowReaderGetsEveryEncryptedByte()
    {
        encrypted();
        QByteArray expected;
        for (int i = 0; i < 64; ++i) {
            const QByteArray piece(16000 + i, char('a' + i % 26));
            expected += piece;
            m_stream->write(piece);
        }
        QVERIFY(m_stream->pending() > 0);
        QByteArray got;
        QVERIFY(waitUntil([&] {
            m_peer->take(4096);
            got += m_peer->read();
            return got.size() >= expected.size();
        }, 20000));
        QCOMPARE(got, expected);
        QVERIFY(waitUntil([&] { return m_stream->pending() == 0; }));
        QVERIFY(m_stream->handed() > expected.size());
    }

    // A record that comes in two reads is read whole once its second part has come.
    void aRecordSplitAcrossReads()
    {
        encrypted();
        SSL_write(m_peer->ssl, "PM|ana|luis|hola", 16);
        const QByteArray record = m_peer->made();
        m_peer->give(record.left(7));
        QVERIFY(waitUntil([&] { return unread(m_pair[0]) == 0; }));
        QCOMPARE(m_heard.readable, 0);
        QVERIFY(m_stream->isOpen());
        m_peer->give(record.mid(7));
        QVERIFY(waitUntil([&] { return m_heard.readable > 0; }));
        QCOMPARE(m_stream->read(), QByteArray("PM|ana|luis|hola"));
    }

    void aPeerThatEnds_data()
    {
        QTest::addColumn<bool>("alert");
        QTest::newRow("with its close alert") << true;
        QTest::newRow("without it") << false;
    }

    // However it ends, the client closed the connection, as one in clear does.
    void aPeerThatEnds()
    {
        QFETCH(bool, alert);
        encrypted();
        if (alert) {
            SSL_shutdown(m_peer->ssl);
            m_peer->give(m_peer->made());
        } else {
            ::shutdown(m_pair[1], SHUT_WR);
        }
        QVERIFY(waitUntil([&] { return m_heard.closed.size() == 1; }));
        QCOMPARE(m_heard.closed[0], "closed by the client");
    }

    // A client comes back with the ticket its last session left it and resumes that session,
    // also from a server started anew on the same state folder.
    void aClientResumesWithItsTicket()
    {
        encrypted();
        QVERIFY(!SSL_session_reused(m_peer->ssl));
        QVERIFY(waitUntil([&] {
            m_peer->take();
            m_peer->read();
            return SSL_get0_session(m_peer->ssl) != nullptr
                && SSL_SESSION_is_resumable(SSL_get0_session(m_peer->ssl));
        }));
        SSL_SESSION *ticket = SSL_get1_session(m_peer->ssl);
        // A session ended without its close alert is not offered again.
        SSL_shutdown(m_peer->ssl);
        auto identity = std::get<TlsIdentity>(loadIdentity(m_state.path()));
        m_tls = std::move(std::get<std::unique_ptr<TlsContext>>(
            TlsContext::make(identity.key.toPem(), identity.certificate.toPem(),
                             identity.ticketKey)));
        cleanup();
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, m_pair), 0);
        m_stream = std::make_unique<Stream>(m_pair[0], 64 * 1024, m_heard);
        m_peer = std::make_unique<TlsPeer>(m_pair[1]);
        SSL_set_session(m_peer->ssl, ticket);
        SSL_SESSION_free(ticket);
        m_stream->startEncryption(*m_tls);
        QVERIFY(m_peer->handshake());
        QVERIFY(SSL_session_reused(m_peer->ssl));
    }

    // Our own close tells the peer it is meant.
    void aCloseIsAnnounced()
    {
        encrypted();
        m_stream->write("adiós");
        m_stream->close();
        QVERIFY(!m_stream->isOpen());
        QVERIFY(waitUntil([&] {
            m_peer->take();
            m_peer->read();
            return SSL_get_shutdown(m_peer->ssl) & SSL_RECEIVED_SHUTDOWN;
        }));
    }
};

QTEST_GUILESS_MAIN(TestStream)
#include "test_stream.moc"
