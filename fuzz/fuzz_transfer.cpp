// A transfer connection on the server, on what its client sends after the ticket: the input
// chooses an upload or a download, the file's size, whether the announced SHA-256 is the real
// one, where a download starts, and the bytes the client writes, in pieces, before it closes.
// Afterwards: an upload holds no more than the file's size; a whole file is what its name says;
// nothing is written outside the store's folder; a download sent the file's bytes from the
// offset, and nothing else but the server's messages.
#include "protocol/commands.h"
#include "protocol/wire.h"
#include "server/net/stream.h"
#include "server/relay/file_carrier.h"
#include "server/store/disk_queue.h"
#include "server/store/file_store.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kUpload = QStringLiteral("0123456789abcdef0123456789abcdef");

QByteArray sha(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

struct World {
    World()
    {
        static int argc = 1;
        static char name[] = "fuzz_transfer";
        static char *argv[] = {name, nullptr};
        app = std::make_unique<QCoreApplication>(argc, argv);
        store = std::make_unique<FileStore>(folder.filePath(QStringLiteral("files")));
        disk = std::make_unique<DiskQueue>();
    }

    // Every file in the folder is an upload under way no longer than its size, or a whole file
    // whose bytes have the digest it is named by.
    void check(qint64 size) const
    {
        QDirIterator files(folder.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QFileInfo file(files.next());
            QFile bytes(file.filePath());
            if (!bytes.open(QIODevice::ReadOnly))
                std::abort();
            if (file.dir().dirName() == QStringLiteral("partial")) {
                if (file.fileName() != kUpload || file.size() > size)
                    std::abort();
            } else if (file.dir().dirName() != QStringLiteral("files")
                       || QString::fromLatin1(sha(bytes.readAll()).toHex()) != file.fileName()) {
                std::abort();
            }
        }
    }

    std::unique_ptr<QCoreApplication> app;
    QTemporaryDir folder;
    std::unique_ptr<FileStore> store;
    // Made once the application is: its thread runs an event loop.
    std::unique_ptr<DiskQueue> disk;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    // Never destroyed: Qt's objects must not go with the process's statics.
    static World &world = *new World;
    if (size < 5)
        return 0;
    const bool upload = data[0] & 1;
    const bool honest = data[0] & 2;
    const qint64 fileSize = 1 + (data[1] | (data[2] & 0x3f) << 8);
    const qint64 offset = (data[3] | data[4] << 8) % (fileSize + 2);
    const QByteArray input(reinterpret_cast<const char *>(data + 5), qsizetype(size - 5));
    // The file: its bytes made from the input's own, so that an honest upload can match.
    QByteArray content = input.left(fileSize);
    content.append(QByteArray(fileSize - content.size(), 'k'));
    const QByteArray digest = honest ? sha(content) : sha(input);
    if (!upload) {
        world.store->abandon(kUpload);
        world.store->append(kUpload, 0, content);
        world.store->complete(kUpload, sha(content));
    }

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends) != 0)
        std::abort();
    static struct : Stream::Events {} unheard;
    auto *stream = new Stream(ends[0], 1, unheard);
    bool over = false;
    auto *transfer = new FileCarrier(
        stream, QStringLiteral("fuzz"), *world.store, *world.disk,
        std::make_shared<FileCarrier::Running>(),
        {upload, kUpload, fileSize, upload ? digest : sha(content), upload ? 0 : offset},
        std::chrono::milliseconds(1000), [&](FileCarrier &, const QString &, bool) { over = true; });
    // The client's bytes, in pieces the input's own bytes size, then its end.
    QByteArray read;
    for (qsizetype at = 0; at < input.size();) {
        const qsizetype piece = 1 + (uchar(input[at]) % 64) * 64;
        const QByteArray bytes = input.mid(at, piece);
        at += piece;
        for (qsizetype done = 0; done < bytes.size();) {
            const ssize_t n = ::send(ends[1], bytes.constData() + done,
                                     size_t(bytes.size() - done), MSG_NOSIGNAL);
            if (n < 0 && errno == EPIPE)
                break;
            done += n > 0 ? n : 0;
            QCoreApplication::processEvents();
            char buffer[65536];
            for (ssize_t got; (got = ::read(ends[1], buffer, sizeof buffer)) > 0;)
                read.append(buffer, got);
        }
    }
    ::shutdown(ends[1], SHUT_WR);
    QElapsedTimer clock;
    clock.start();
    while (!over && clock.elapsed() < 2000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        char buffer[65536];
        for (ssize_t got; (got = ::read(ends[1], buffer, sizeof buffer)) > 0;)
            read.append(buffer, got);
    }
    if (!over)
        std::abort();
    delete transfer;
    ::close(ends[1]);
    world.check(fileSize);
    // A download sends FROM|offset, then the file from there; or a refusal.
    const QByteArray from = wire::toCodePage(wire::buildMessage(wire::From, {QString::number(offset)}))
        + wire::Terminator;
    if (!upload && offset <= fileSize && read.startsWith(from)) {
        const QByteArray sent = read.mid(from.size());
        if (!content.mid(offset).startsWith(sent.left(fileSize - offset))
            && !sent.contains(wire::toCodePage(wire::RefusedFile)))
            std::abort();
    }
    world.store->abandon(kUpload);
    FileStore::discard({world.store->setAside(sha(content)), world.store->setAside(digest)});
    return 0;
}
