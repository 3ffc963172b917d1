#include "server/relay/transfer.h"

#include "protocol/commands.h"
#include "protocol/wire.h"
#include "server/store/file_store.h"

#include <QFile>
#include <QMetaObject>

namespace {

// Received bytes go to the disk in blocks this big: a record of TLS is at most 16 KiB.
constexpr qint64 kBlock = 1024 * 1024;
// A turn takes at most this much from one transfer, so that others, and the chat, go on.
constexpr qint64 kTurn = 1024 * 1024;
// A download keeps at most this much waiting for the kernel, read in chunks this big.
constexpr qint64 kAhead = 1024 * 1024;
constexpr qint64 kChunk = 256 * 1024;

QByteArray framed(const QString &word, std::initializer_list<QStringView> fields)
{
    return wire::toCodePage(wire::buildMessage(word, fields)) + wire::Terminator;
}

} // namespace

Transfer::Transfer(Stream *stream, QString peer, FileStore &store,
                   std::shared_ptr<Running> running, Job job,
                   Ended ended, QObject *parent)
    : QObject(parent),
      m_stream(stream),
      m_peer(std::move(peer)),
      m_store(store),
      m_running(std::move(running)),
      m_job(std::move(job)),
      m_ended(std::move(ended))
{
    m_stream->setParent(this);
    m_stream->handTo(*this, kBlock);
    start();
}

Transfer::~Transfer() = default;

void Transfer::say(const QString &word, qint64 offset)
{
    m_stream->write(framed(word, {QString::number(offset)}));
}

void Transfer::start()
{
    if (!m_job.upload) {
        m_file = m_store.open(m_job.digest);
        if (!m_file || m_file->size() != m_job.size || !m_file->seek(m_job.offset)) {
            refuse(QStringLiteral("El archivo ya no está en el servidor."),
                   QStringLiteral("the file's bytes are gone"));
            return;
        }
        m_done = m_job.offset;
        say(wire::From, m_done);
        pump();
        return;
    }
    m_done = m_store.received(m_job.id);
    if (m_done > m_job.size || m_done < 0) {
        m_store.abandon(m_job.id);
        m_done = 0;
    }
    // The digest so far follows what is on the disk: after a restart, or a block the disk
    // refused, it is made again from the bytes there.
    if (m_running->at != m_done) {
        m_running->hash.reset();
        m_running->at = 0;
        if (std::unique_ptr<QFile> partial = m_store.openUpload(m_job.id)) {
            while (m_running->at < m_done) {
                const QByteArray block = partial->read(std::min(kBlock, m_done - m_running->at));
                if (block.isEmpty())
                    break;
                m_running->hash.addData(block);
                m_running->at += block.size();
            }
        }
        if (m_running->at != m_done) {
            m_store.abandon(m_job.id);
            m_running->hash.reset();
            m_running->at = m_done = 0;
        }
    }
    m_acked = m_done;
    say(wire::From, m_done);
}

void Transfer::receive()
{
    if (m_over || !m_job.upload) {
        // A download reads nothing more from its client.
        if (!m_over && !m_stream->read().isEmpty())
            refuse(QStringLiteral("Sobran datos en una descarga."),
                   QStringLiteral("bytes sent on a download"));
        return;
    }
    qint64 taken = 0;
    while (taken < kTurn) {
        const QByteArray bytes = m_stream->read();
        if (bytes.isEmpty())
            break;
        taken += bytes.size();
        if (m_done + m_buffer.size() + bytes.size() > m_job.size) {
            refuse(QStringLiteral("Llegan más bytes de los que tiene el archivo."),
                   QStringLiteral("more bytes than the file's size"));
            return;
        }
        m_buffer += bytes;
        if (m_buffer.size() >= kBlock && !stored())
            return;
    }
    if (m_done + m_buffer.size() == m_job.size) {
        if (!stored())
            return;
        const QString problem =
            m_store.complete(m_job.id, m_job.digest, m_running->hash.result());
        m_running->hash.reset();
        m_running->at = 0;
        if (!problem.isEmpty()) {
            refuse(QStringLiteral("El archivo no llegó entero al servidor: empieza de nuevo."),
                   problem);
            return;
        }
        say(wire::Stored, m_done);
        finish({}, true);
        return;
    }
    if (m_done - m_acked >= AckEvery) {
        if (const QString problem = m_store.sync(m_job.id); !problem.isEmpty()) {
            refuse(QStringLiteral("El servidor no pudo guardar el archivo."), problem);
            return;
        }
        m_acked = m_done;
        say(wire::Stored, m_done);
    }
    // What TLS holds decrypted beyond this turn is announced by nothing else.
    if (m_stream->hasInput())
        QMetaObject::invokeMethod(this, &Transfer::receive, Qt::QueuedConnection);
}

QString Transfer::flush()
{
    if (m_buffer.isEmpty())
        return {};
    if (const QString problem = m_store.append(m_job.id, m_done, m_buffer); !problem.isEmpty())
        return problem;
    m_running->hash.addData(m_buffer);
    m_done += m_buffer.size();
    m_running->at = m_done;
    m_buffer.resize(0);
    return {};
}

bool Transfer::stored()
{
    const QString problem = flush();
    if (!problem.isEmpty())
        refuse(QStringLiteral("El servidor no pudo guardar el archivo."), problem);
    return problem.isEmpty();
}

void Transfer::pump()
{
    if (m_over || m_job.upload)
        return;
    while (m_done < m_job.size && m_stream->pending() < kAhead) {
        const QByteArray chunk = m_file->read(std::min(kChunk, m_job.size - m_done));
        if (chunk.isEmpty()) {
            refuse(QStringLiteral("El servidor no pudo leer el archivo."),
                   QStringLiteral("cannot read the file: ") + m_file->errorString());
            return;
        }
        m_done += chunk.size();
        m_stream->write(chunk);
    }
    if (m_done == m_job.size)
        finish({});
}

void Transfer::refuse(const QString &text, const QString &problem)
{
    if (m_over)
        return;
    m_stream->write(framed(wire::Refused, {wire::RefusedFile, text}));
    finish(problem);
}

void Transfer::finish(const QString &problem, bool whole)
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

void Transfer::streamClosed(const QString &reason)
{
    if (m_told)
        return;
    m_told = true;
    if (!m_over) {
        // The client went: what came whole is kept, and the upload goes on from there later.
        const QString unstored = m_job.upload ? flush() : QString();
        m_over = true;
        m_problem = QStringLiteral("closed at %1 of %2 bytes").arg(m_done).arg(m_job.size)
            + (reason.isEmpty() ? QString() : QStringLiteral(": ") + reason)
            + (unstored.isEmpty() ? QString() : QStringLiteral("; ") + unstored);
    }
    m_ended(*this, m_problem, m_whole);
}
