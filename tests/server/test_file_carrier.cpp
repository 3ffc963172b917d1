// One transfer connection on the server, on a socket pair, with the disk's work held where a
// case needs it: the end of an upload is told once, whichever comes last, the disk or the
// connection.
#include "protocol/commands.h"
#include "protocol/wire.h"
#include "server/relay/file_carrier.h"
#include "server/store/disk_queue.h"
#include "server/store/file_store.h"

#include <QCryptographicHash>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kUpload = QString(32, u'7');

QByteArray framed(const QString &word, const QString &field)
{
    return wire::toCodePage(wire::buildMessage(word, {field})) + wire::Terminator;
}

} // namespace

class TestFileCarrier : public QObject {
    Q_OBJECT

    QTemporaryDir m_state;

private Q_SLOTS:
    void anUploadEndsWhenTheDiskRefusesLast_data()
    {
        QTest::addColumn<QByteArray>("more");
        QTest::newRow("refused for more bytes than its size") << QByteArray("de más");
        QTest::newRow("its client gone") << QByteArray();
    }

    // The last block waits on the disk, which will find the digest wrong, while the connection
    // ends: refused by the server, or left by the client. The end is told once the disk has
    // answered, and only then.
    void anUploadEndsWhenTheDiskRefusesLast()
    {
        QFETCH(QByteArray, more);
        FileStore store(m_state.path() + "/files");
        QSemaphore held;
        DiskQueue disk;
        const auto release = qScopeGuard([&] { held.release(); });
        int ends[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
        const auto closeOurs = qScopeGuard([&] { ::close(ends[1]); });
        struct : Stream::Events {} unheard;
        int told = 0;
        QString problem;
        auto *stream = new Stream(ends[0], 1, unheard);
        const auto carrier = std::make_unique<FileCarrier>(
            stream, "prueba", store, disk,
            std::make_shared<FileCarrier::Running>(),
            FileCarrier::Job{true, kUpload, 4,
                             QCryptographicHash::hash("otro", QCryptographicHash::Sha256)},
            std::chrono::minutes(1), [&](FileCarrier &, const QString &why, bool whole) {
                ++told;
                problem = why;
                QVERIFY(!whole);
            });
        QByteArray heard;
        const auto listen = [&] {
            char buffer[4096];
            for (ssize_t got; (got = ::read(ends[1], buffer, sizeof buffer)) > 0;)
                heard.append(buffer, got);
        };
        QTRY_VERIFY((listen(), heard == framed(wire::From, "0")));

        disk.run(carrier.get(), [&] { held.acquire(); }, [] {});
        QCOMPARE(::write(ends[1], "hola", 4), 4);
        QTRY_COMPARE(carrier->done(), 4);
        if (more.isEmpty())
            ::shutdown(ends[1], SHUT_WR);
        else
            QCOMPARE(::write(ends[1], more.constData(), size_t(more.size())), more.size());
        // The carrier hears of the end from the stream on its next turn.
        QTRY_VERIFY(!stream->isOpen() || stream->hasFailed());
        QCoreApplication::processEvents();
        listen();
        QCOMPARE(heard.contains(wire::toCodePage(wire::RefusedFile)), !more.isEmpty());
        QCOMPARE(told, 0);

        held.release();
        QTRY_COMPARE(told, 1);
        QVERIFY2(problem.contains(more.isEmpty() ? "closed at 4 of 4" : "more bytes"),
                 qPrintable(problem));
        QCOMPARE(store.received(kUpload), 0);
    }

    void anUploadWhoseBytesAreAllThereIsMadeWhole_data()
    {
        QTest::addColumn<QByteArray>("announced");
        QTest::addColumn<bool>("whole");
        QTest::newRow("its digest right") << QByteArray("hola") << true;
        QTest::newRow("its digest wrong") << QByteArray("otro") << false;
    }

    // Every byte reached the disk, but its connection went before the upload was made whole (a
    // server stopped, a sync that failed): the next connection makes it whole, or throws it
    // away, at once; nothing more would come to do it later.
    void anUploadWhoseBytesAreAllThereIsMadeWhole()
    {
        QFETCH(QByteArray, announced);
        QFETCH(bool, whole);
        QTemporaryDir state;
        FileStore store(state.path() + "/files");
        QCOMPARE(store.append(kUpload, 0, "hola"), QString());
        DiskQueue disk;
        int ends[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
        const auto closeOurs = qScopeGuard([&] { ::close(ends[1]); });
        struct : Stream::Events {} unheard;
        int told = 0;
        bool toldWhole = false;
        const QByteArray digest = QCryptographicHash::hash(announced, QCryptographicHash::Sha256);
        const auto carrier = std::make_unique<FileCarrier>(
            new Stream(ends[0], 1, unheard), "prueba", store, disk,
            std::make_shared<FileCarrier::Running>(), FileCarrier::Job{true, kUpload, 4, digest},
            std::chrono::minutes(1), [&](FileCarrier &, const QString &, bool isWhole) {
                ++told;
                toldWhole = isWhole;
            });
        QTRY_COMPARE(told, 1);
        QByteArray heard(4096, '\0');
        heard.resize(std::max<ssize_t>(0, ::read(ends[1], heard.data(), size_t(heard.size()))));
        QCOMPARE(toldWhole, whole);
        if (whole)
            QCOMPARE(heard, framed(wire::From, "4") + framed(wire::Stored, "4"));
        else
            QVERIFY2(heard.contains(wire::toCodePage(wire::RefusedFile)), heard.constData());
        QCOMPARE(store.size(digest), whole ? 4 : -1);
        QCOMPARE(store.received(kUpload), 0);
    }

    void anUploadMadeWholeAsItsConnectionEndsIsToldWhole_data()
    {
        anUploadWhoseBytesAreAllThereIsMadeWhole_data();
    }

    // Every byte is on the disk; a connection asks where the upload stands and is replaced
    // before the disk answers, which makes it whole meanwhile. Its end waits for that answer and
    // tells it; the next connection hears at once that it is whole, and nothing travels again.
    void anUploadMadeWholeAsItsConnectionEndsIsToldWhole()
    {
        QFETCH(QByteArray, announced);
        QFETCH(bool, whole);
        QTemporaryDir state;
        FileStore store(state.path() + "/files");
        QCOMPARE(store.append(kUpload, 0, "hola"), QString());
        QSemaphore held;
        DiskQueue disk;
        const auto release = qScopeGuard([&] { held.release(); });
        QObject holder;
        disk.run(&holder, [&] { held.acquire(); }, [] {}, DiskQueue::Lane::Digests);
        const QByteArray digest = QCryptographicHash::hash(announced, QCryptographicHash::Sha256);
        const auto running = std::make_shared<FileCarrier::Running>();
        struct Connection {
            std::unique_ptr<FileCarrier> carrier;
            int client = -1;
            int told = 0;
            bool whole = false;
            QByteArray heard;
            ~Connection() { ::close(client); }
            QByteArray listen()
            {
                char buffer[4096];
                for (ssize_t got; (got = ::read(client, buffer, sizeof buffer)) > 0;)
                    heard.append(buffer, got);
                return heard;
            }
        };
        const auto connection = [&](Connection &c) {
            int ends[2];
            QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
            c.client = ends[1];
            static struct : Stream::Events {} unheard;
            c.carrier = std::make_unique<FileCarrier>(
                new Stream(ends[0], 1, unheard), "prueba", store, disk, running,
                FileCarrier::Job{true, kUpload, 4, digest}, std::chrono::minutes(1),
                [&c](FileCarrier &, const QString &, bool isWhole) {
                    ++c.told;
                    c.whole = isWhole;
                });
        };
        Connection first;
        connection(first);
        // It has begun, and waits for the disk.
        QCoreApplication::processEvents();
        first.carrier->refuse("Otra conexión sigue con esta subida.", "replaced");
        QTRY_VERIFY(first.listen().contains(wire::toCodePage(wire::RefusedFile)));
        QCoreApplication::processEvents();
        QCOMPARE(first.told, 0);

        held.release();
        QTRY_COMPARE(first.told, 1);
        QCOMPARE(first.whole, whole);
        QCOMPARE(store.size(digest), whole ? 4 : -1);
        QCOMPARE(store.received(kUpload), 0);

        // Its file has aged meanwhile, as if another sender's entry of the same bytes were
        // younger than it: whole again, it is young again.
        const QDateTime now = QDateTime::currentDateTimeUtc();
        store.renew(digest, now.addDays(-30));
        Connection second;
        connection(second);
        if (whole) {
            QTRY_COMPARE(second.told, 1);
            QVERIFY(second.whole);
            QCOMPARE(second.listen(), framed(wire::From, "4") + framed(wire::Stored, "4"));
            QCOMPARE(store.expire(now.addDays(-1)), 0);
            QCOMPARE(store.size(digest), 4);
        } else {
            QTRY_COMPARE(second.listen(), framed(wire::From, "0"));
            QCOMPARE(second.told, 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestFileCarrier)
#include "test_file_carrier.moc"
