#include "server/relay/file_carrier.h"

#include "protocol/commands.h"
#include "protocol/wire.h"
#include "server/store/disk_queue.h"
#include "server/store/file_store.h"

#include <QFile>
#include <QMetaObject>

#include <optional>

#include <openssl/evp.h>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// Received bytes go to the disk in blocks this big: a record of TLS is at most 16 KiB.
constexpr qint64 kBlock = 512 * 1024;
// A turn takes at most this much from one transfer, so that others, and the chat, go on: a
// few milliseconds' work among four uploads.
constexpr qint64 kTurn = 256 * 1024;
// A download keeps at most this much waiting for the kernel, read in chunks this big; an
// upload at most this much waiting for the disk.
constexpr qint64 kAhead = 1024 * 1024;
// What waits for the disk is lost with the server: with the kernel's buffers, under a chunk.
constexpr qint64 kDiskAhead = 1024 * 1024;
constexpr qint64 kChunk = 256 * 1024;
// The kernel's buffer for a download (Linux doubles it). Grown by itself on loopback it took
// all of a 10 MiB file at once: of 100 downloads begun together the first then ended in 0.05 s,
// 30 to 42 times faster than the slowest; with this, 1.04 to 2.9 times (unless one ran alone
// before the others began), and 20% more in all.
constexpr int kDownloadBuffer = 256 * 1024;
// A file past this size goes through the page cache without staying there, once synced and
// once sent: its recipient reads it once, a GiB of it would push out the rest, and writing into
// pages given back so cost the kernel a quarter of what fresh ones did on our virtual machine
// (0.2 against 0.8 to 1.9 s a GiB). A smaller one stays for a recipient fetching it soon.
constexpr qint64 kCached = 64 * 1024 * 1024;
// A download of such a file has its bytes asked of the disk this much at a time.
constexpr qint64 kReadStretch = 4 * 1024 * 1024;
// An upload's bytes are read this much at a time (a TLS record is at most 16 KiB).
constexpr qint64 kRead = 64 * 1024;

// What the client is told of a problem the disk had with its upload.
QString problemText(bool last, const QString &problem)
{
    return last && problem.contains(QStringLiteral("SHA-256"))
        ? QStringLiteral("El archivo no llegó entero al servidor: empieza de nuevo.")
        : QStringLiteral("El servidor no pudo guardar el archivo.");
}

// Every byte of the upload is on the disk: it becomes the file its digest so far says, or is
// thrown away; the digest starts again for whatever comes next.
FileStore::Problem makeWhole(FileStore &store, FileCarrier::Running &running,
                             const FileCarrier::Job &job)
{
    const FileStore::Problem problem = store.complete(job.id, job.digest, running.result());
    running.reset();
    return problem;
}

QByteArray framed(const QString &word, std::initializer_list<QStringView> fields)
{
    return wire::toCodePage(wire::buildMessage(word, fields)) + wire::Terminator;
}

} // namespace

FileCarrier::Running::Running() : m_context(EVP_MD_CTX_new())
{
    reset();
}

FileCarrier::Running::~Running()
{
    EVP_MD_CTX_free(m_context);
}

void FileCarrier::Running::reset()
{
    EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr);
    at = 0;
}

void FileCarrier::Running::add(QByteArrayView bytes)
{
    EVP_DigestUpdate(m_context, bytes.data(), size_t(bytes.size()));
    at += bytes.size();
}

QByteArray FileCarrier::Running::result() const
{
    EVP_MD_CTX *copy = EVP_MD_CTX_new();
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int size = 0;
    const bool done = EVP_MD_CTX_copy_ex(copy, m_context) == 1
        && EVP_DigestFinal_ex(copy, reinterpret_cast<unsigned char *>(digest.data()), &size) == 1;
    EVP_MD_CTX_free(copy);
    digest.resize(done ? qsizetype(size) : 0);
    return digest;
}

FileCarrier::FileCarrier(Stream *stream, QString peer, FileStore &store, DiskQueue &disk,
                         std::shared_ptr<Running> running, Job job,
                         std::chrono::milliseconds stall, Ended ended)
    : m_stream(stream),
      m_peer(std::move(peer)),
      m_store(store),
      m_disk(disk),
      m_running(std::move(running)),
      m_job(std::move(job)),
      m_ended(std::move(ended))
{
    m_stream->setParent(this);
    m_stream->handTo(*this, kBlock);
    // Nothing is read before it begins: an upload before the disk has said where it stands. A
    // notifier moved to another thread while on is turned on again there, paused or not.
    m_stream->pause(true);
    if (m_job.upload) {
        m_stream->carryBulk();
        const int buffer = wire::UploadSocketBuffer;
        ::setsockopt(int(m_stream->descriptor()), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    } else {
        const int buffer = kDownloadBuffer;
        ::setsockopt(int(m_stream->descriptor()), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    }
    startTimer(stall);
    // On the first turn of the thread it then lives in.
    QMetaObject::invokeMethod(this, &FileCarrier::start, Qt::QueuedConnection);
}

FileCarrier::~FileCarrier() = default;

void FileCarrier::timerEvent(QTimerEvent *)
{
    // Nothing came, nothing was taken: the client is gone without a word, or stopped reading.
    const qint64 pending = m_stream->pending();
    const bool still = m_done == m_seen && pending == m_seenPending && m_allowed != 0;
    m_seen = m_done;
    m_seenPending = pending;
    if (!still || m_told)
        return;
    m_stream->abort();
    streamClosed(QStringLiteral("nothing moved for a while"));
}

void FileCarrier::allow(qint64 bytes)
{
    m_allowed = bytes;
    if (m_over)
        return;
    // An upload reads nothing before the disk has said where it stands.
    m_stream->pause(m_allowed == 0 || (m_job.upload && m_onDisk < 0));
    if (m_allowed != 0)
        m_job.upload ? receive() : pump();
}

void FileCarrier::say(const QString &word, qint64 offset)
{
    m_stream->write(framed(word, {QString::number(offset)}));
}

void FileCarrier::start()
{
    if (m_over)
        return;
    if (m_stream->hasFailed() || !m_stream->isOpen()) {
        streamClosed(QStringLiteral("gone before the transfer began"));
        return;
    }
    if (!m_job.upload) {
        m_file = m_store.open(m_job.digest);
        if (!m_file || m_file->size() != m_job.size || m_job.offset > m_job.size) {
            refuse(QStringLiteral("El archivo ya no está en el servidor."),
                   QStringLiteral("the file's bytes are gone"));
            return;
        }
        m_done = m_job.offset;
        say(wire::From, m_done);
        m_stream->pause(m_allowed == 0);
        pump();
        return;
    }
    // Where the upload stands is the disk's to say, once what an earlier connection of the
    // same upload handed to the disk is there: its appends come first on the same lane, its
    // digests are waited for. Its end waits for the answer, which may make it whole.
    m_asking = true;
    m_disk.run(this, [] {}, [this] { standing(); }, DiskQueue::Lane::Digests);
}

void FileCarrier::standing()
{
    auto offset = std::make_shared<qint64>(0);
    // Set when every byte was there already, not yet made whole: its last connection went
    // before that (the server stopped, a sync failed); it is made whole now.
    auto ended = std::make_shared<std::optional<QString>>();
    m_disk.run(
        this,
        [store = &m_store, running = m_running, job = m_job, offset, ended] {
            qint64 held = store->received(job.id);
            if (held > job.size || held < 0) {
                store->abandon(job.id);
                held = 0;
            }
            // The digest so far follows what is on the disk: after a restart, or a block the
            // disk refused, it is made again from the bytes there.
            if (running->at != held) {
                running->reset();
                if (std::unique_ptr<QFile> partial = store->openUpload(job.id)) {
                    while (running->at < held) {
                        const QByteArray block = partial->read(std::min(kBlock, held - running->at));
                        if (block.isEmpty())
                            break;
                        running->add(block);
                    }
                }
                if (running->at != held) {
                    store->abandon(job.id);
                    running->reset();
                    held = 0;
                }
            }
            if (held == job.size && held > 0) {
                *ended = makeWhole(*store, *running, job);
            } else if (held == 0 && job.size > 0 && store->size(job.digest) == job.size) {
                // Made whole by a connection that went before hearing so, or by another sender
                // of the same bytes: nothing travels again, and the file is young again.
                store->renew(job.digest, QDateTime::currentDateTimeUtc());
                *ended = QString();
                held = job.size;
            }
            *offset = held;
        },
        [this, offset, ended] {
            m_asking = false;
            if (m_over) {
                // Ended before the answer came: whole, if the disk has just made it so.
                m_whole = ended->has_value() && (*ended)->isEmpty();
                if (m_told)
                    tellEnd();
                return;
            }
            if (ended->has_value() && !(*ended)->isEmpty()) {
                m_onDisk = -1;
                refuse(problemText(true, **ended), **ended);
                return;
            }
            m_done = m_onDisk = m_acked = m_handed = *offset;
            say(wire::From, m_done);
            if (ended->has_value()) {
                say(wire::Stored, m_done);
                finish({}, true);
                return;
            }
            m_stream->pause(m_allowed == 0);
        });
}

void FileCarrier::receive()
{
    if (m_over || !m_job.upload) {
        // A download reads nothing more from its client.
        if (!m_over && !m_stream->read().isEmpty())
            refuse(QStringLiteral("Sobran datos en una descarga."),
                   QStringLiteral("bytes sent on a download"));
        return;
    }
    if (m_onDisk < 0)
        return;
    qint64 taken = 0;
    while (taken < kTurn && m_allowed != 0 && m_done - m_onDisk < kDiskAhead) {
        // Decrypted straight into the block: two copies and an allocation a record fewer.
        m_buffer.reserve(kBlock + kRead);
        const qint64 got = m_stream->readInto(m_buffer, kRead);
        if (got == 0)
            break;
        taken += got;
        if (m_allowed > 0)
            m_allowed = std::max<qint64>(0, m_allowed - got);
        if (m_done + got > m_job.size) {
            m_buffer.chop(got);
            refuse(QStringLiteral("Llegan más bytes de los que tiene el archivo."),
                   QStringLiteral("more bytes than the file's size"));
            return;
        }
        m_done += got;
        if (m_buffer.size() >= kBlock || m_done == m_job.size)
            store(m_done == m_job.size);
    }
    // Past its share, or with as much as the disk may have waiting, the client waits.
    const bool waits = m_allowed == 0 || m_done - m_onDisk >= kDiskAhead;
    m_stream->pause(waits);
    // A turn used up may leave records that TLS read ahead, which nothing else announces; a
    // read that found nothing leaves none, and the kernel tells of what comes next.
    if (!waits && taken >= kTurn)
        QMetaObject::invokeMethod(this, &FileCarrier::receive, Qt::QueuedConnection);
}

void FileCarrier::store(bool last)
{
    if (m_buffer.isEmpty() && !last)
        return;
    const qint64 offset = m_done - m_buffer.size();
    m_handed = m_done;
    auto block = std::make_shared<QByteArray>(std::exchange(m_buffer, std::move(m_spare)));
    m_buffer.resize(0);
    auto problem = std::make_shared<QString>();
    // Its digest and its write go on beside each other, on two of the disk's threads: one after
    // the other they were the upload's slowest step (0.6 s a GiB for the SHA-256 alone).
    auto left = std::make_shared<int>(2);
    const auto both = [this, block, last, problem, left] {
        if (--*left > 0)
            return;
        if (!last || !problem->isEmpty()) {
            stored(*block, last, *problem);
            return;
        }
        m_disk.run(
            this,
            [store = &m_store, running = m_running, job = m_job, problem] {
                *problem = makeWhole(*store, *running, job);
            },
            [this, block, problem] { stored(*block, true, *problem); });
    };
    m_disk.run(this, [running = m_running, block] { running->add(*block); }, both,
               DiskQueue::Lane::Digests);
    m_disk.run(
        this,
        [store = &m_store, job = m_job, offset, block, problem] {
            *problem = store->append(job.id, offset, *block);
        },
        both);
}

void FileCarrier::stored(QByteArray &block, bool last, const QString &problem)
{
    // The block's memory serves the next: growing one from nothing each time took half of an
    // upload's time in copies and page faults.
    m_spare = std::move(block);
    if (!problem.isEmpty()) {
        m_onDisk = -1;
        refuse(problemText(last, problem), problem);
    }
    // Refused now, or when a sync failed meanwhile. The connection may have ended already,
    // refused or left: nothing else tells the end then.
    if (m_onDisk < 0) {
        if (m_told)
            tellEnd();
        return;
    }
    m_onDisk += m_spare.size();
    if (last) {
        say(wire::Stored, m_onDisk);
        finish({}, true);
    } else if (m_onDisk - m_acked >= AckEvery) {
        acknowledge();
    }
    if (!m_over && m_done - m_onDisk < kDiskAhead && m_allowed != 0) {
        m_stream->pause(false);
        receive();
    }
    if (m_told)
        tellEnd();
}

void FileCarrier::acknowledge()
{
    // Told once synced; the appends go on meanwhile.
    m_acked = m_onDisk;
    auto problem = std::make_shared<QString>();
    m_disk.run(
        this,
        [store = &m_store, id = m_job.id, uncache = m_job.size > kCached, problem] {
            *problem = store->sync(id, uncache);
        },
        [this, problem, synced = m_acked] {
            if (!problem->isEmpty()) {
                m_onDisk = -1;
                refuse(QStringLiteral("El servidor no pudo guardar el archivo."), *problem);
                if (m_told)
                    tellEnd();
            } else if (!m_over) {
                say(wire::Stored, synced);
            }
        },
        DiskQueue::Lane::Syncs);
}

void FileCarrier::pump()
{
    if (m_over || !m_file)
        return;
    // A turn's share at most; a stream that failed takes nothing more: the rest of the file is
    // not read for it.
    qint64 sent = 0;
    while (m_done < m_job.size && sent < kTurn && !m_stream->hasFailed()
           && m_stream->pending() < kAhead && m_allowed != 0) {
        const qint64 most = m_allowed < 0 ? kChunk : std::min(kChunk, m_allowed);
        const qint64 size = std::min(most, m_job.size - m_done);
        const QByteArray chunk = FileStore::readAt(*m_file, m_done, size);
        if (chunk.size() != size) {
            refuse(QStringLiteral("El servidor no pudo leer el archivo."),
                   QStringLiteral("cannot read the file at %1").arg(m_done));
            return;
        }
        m_done += chunk.size();
        sent += chunk.size();
        m_allowed = m_allowed < 0 ? -1 : m_allowed - chunk.size();
        m_stream->write(chunk);
    }
    // What was sent leaves the page cache and what comes next is read into it, on the disk's
    // lane: taking those pages cost this thread, which every transfer waits for, a third of its
    // time (0.5 s a GiB), and reads that waited for the disk held it too.
    if (m_job.size > kCached && m_done >= m_asked - kReadStretch && m_asked < m_job.size) {
        const qint64 from = std::max(m_asked, m_done);
        m_asked = std::min(m_job.size, m_done + 2 * kReadStretch);
        // A descriptor of its own: the job may outlive this transfer's file.
        const int file = ::dup(m_file->handle());
        m_disk.run(
            this,
            [file, done = m_done, from, size = m_asked - from] {
                FileStore::readAhead(file, done, from, size);
                ::close(file);
            },
            {}, DiskQueue::Lane::Reads);
    }
    if (m_done == m_job.size)
        finish({});
    else if (sent > 0 && m_stream->pending() < kAhead && !m_stream->hasFailed())
        QMetaObject::invokeMethod(this, &FileCarrier::pump, Qt::QueuedConnection);
}

void FileCarrier::refuse(const QString &text, const QString &problem)
{
    if (m_over)
        return;
    m_stream->write(framed(wire::Refused, {wire::RefusedFile, text}));
    finish(problem);
}

void FileCarrier::finish(const QString &problem, bool whole)
{
    m_over = true;
    m_problem = problem;
    m_whole = whole;
    m_file.reset();
    m_stream->pause(true);
    // What the client was sent goes first; the end is told once the stream has closed.
    m_stream->close();
    if (!m_stream->isOpen())
        QMetaObject::invokeMethod(this, [this] { streamClosed({}); }, Qt::QueuedConnection);
}

void FileCarrier::streamClosed(const QString &reason)
{
    if (m_told)
        return;
    m_told = true;
    if (!m_over) {
        // The client went: what came whole is kept, and the upload goes on from there later.
        m_over = true;
        m_problem = QStringLiteral("closed at %1 of %2 bytes").arg(m_done).arg(m_job.size)
            + (reason.isEmpty() ? QString() : QStringLiteral(": ") + reason);
        if (m_job.upload && m_onDisk >= 0)
            store(false);
    }
    tellEnd();
}

void FileCarrier::tellEnd()
{
    // An upload ends once what it handed to the disk is there, or has failed there.
    if (m_job.upload && (m_asking || (m_onDisk >= 0 && m_onDisk < m_handed && !m_whole)))
        return;
    if (std::exchange(m_endTold, true))
        return;
    m_ended(*this, m_problem, m_whole);
}
