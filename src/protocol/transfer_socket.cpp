#include "protocol/transfer_socket.h"

#include "protocol/client_socket.h"
#include "protocol/file_digest.h"
#include "protocol/wire.h"

#include <QSslSocket>


TransferSocket::TransferSocket(const QString &host, quint16 port, const QString &fingerprint,
                               Job job, QObject *parent)
    : Transfer(parent), m_host(host), m_port(port), m_fingerprint(fingerprint),
      m_job(std::move(job)), m_file(m_job.path)
{
    m_stall.setSingleShot(true);
    m_stall.setInterval(StallLimit);
    connect(&m_stall, &QTimer::timeout, this,
            [this] { end(End::Lost, QStringLiteral("la transferencia se detuvo")); });
}

TransferSocket::~TransferSocket()
{
    stop();
}

void TransferSocket::start()
{
    const auto connectNow = [this] {
        m_socket = new QSslSocket(this);
        connect(m_socket, &QSslSocket::readyRead, this, &TransferSocket::readAvailable);
        connect(m_socket, &QSslSocket::errorOccurred, this, &TransferSocket::socketFailed);
        connect(m_socket, &QSslSocket::encrypted, this, &TransferSocket::encrypted);
        connect(m_socket, &QSslSocket::encryptedBytesWritten, this, &TransferSocket::pump);
        m_socket->connectToHost(m_host, m_port);
        m_stall.start();
    };
    if (m_job.direction == Direction::Upload) {
        if (!m_file.open(QIODevice::ReadOnly))
            return end(End::Failed, QStringLiteral("no se puede leer el archivo"));
        return connectNow();
    }
    // The partial file is the user's alone, and what it holds is asked for no more.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append,
                     QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return end(End::Failed, QStringLiteral("no se puede escribir en la carpeta elegida"));
    if (m_file.size() > m_job.size)
        m_file.resize(0);
    m_offset = m_done = m_stored = m_file.size();
    m_digest = std::make_unique<FileDigest>(m_job.path, m_offset);
    connect(m_digest.get(), &FileDigest::finished, this, [this, connectNow](bool ok) {
        if (ok)
            return connectNow();
        end(End::Failed, QStringLiteral("no se puede leer lo ya recibido del archivo"));
    });
    m_digest->start();
}

void TransferSocket::stop()
{
    m_phase = Phase::Over;
    m_stall.stop();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    m_file.close();
}

void TransferSocket::end(End end, const QString &reason)
{
    if (m_phase == Phase::Over)
        return;
    stop();
    Q_EMIT ended(end, reason);
}

void TransferSocket::socketFailed()
{
    // What came before the close is still read: the last bytes of a download come with it.
    if (m_socket->bytesAvailable() > 0)
        readAvailable();
    end(End::Lost, QStringLiteral("se perdió la conexión de la transferencia"));
}

void TransferSocket::readAvailable()
{
    m_stall.start();
    const QByteArray bytes = m_socket->readAll();
    switch (m_phase) {
    case Phase::Offer: {
        // The offer is one plain message, read at once as the chat connection reads it.
        const QStringList features = wire::fromCodePage(bytes).split(wire::FieldSeparator);
        if (features.first() != wire::Offer || !features.contains(wire::Tls)
            || !features.contains(wire::FilesFeature) || !QSslSocket::supportsSsl())
            return end(End::Lost, QStringLiteral("el servidor no ofrece archivos cifrados"));
        m_socket->write(wire::marker(wire::Accept, true));
        m_phase = Phase::Marker;
        return;
    }
    case Phase::Marker: {
        m_read += bytes;
        const MarkerRead read = encryptAfterMarker(*m_socket, m_read);
        if (read == MarkerRead::Unexpected)
            return end(End::Lost, QStringLiteral("respuesta inesperada del servidor"));
        if (read == MarkerRead::Encrypting) {
            m_read.clear();
            m_phase = Phase::Handshake;
        }
        return;
    }
    case Phase::Handshake:
    case Phase::Answer:
    case Phase::Bytes:
        m_read += bytes;
        return readMessages();
    case Phase::Over:
        return;
    }
}

void TransferSocket::encrypted()
{
    if (m_fingerprint.isEmpty()
        || certificateFingerprint(m_socket->peerCertificate()) != m_fingerprint)
        return end(End::Failed, QStringLiteral("el servidor de archivos mostró otro certificado"));
    m_phase = Phase::Answer;
    const QString message = m_job.direction == Direction::Upload
        ? wire::buildMessage(wire::Upload, {m_job.ticket})
        : wire::buildMessage(wire::Download, {m_job.ticket, QString::number(m_offset)});
    m_socket->write(wire::toCodePage(message) + wire::Terminator);
    readMessages();
}

void TransferSocket::readMessages()
{
    while (m_phase == Phase::Answer
           || (m_phase == Phase::Bytes && m_job.direction == Direction::Upload)) {
        const qsizetype at = m_read.indexOf(wire::Terminator);
        if (at < 0) {
            if (m_read.size() > MaxMessage)
                end(End::Lost, QStringLiteral("el servidor envió un mensaje demasiado largo"));
            return;
        }
        const QByteArray bytes = m_read.first(at);
        m_read.remove(0, at + 1);
        message(bytes);
    }
    if (m_phase == Phase::Bytes && !m_read.isEmpty())
        receive(std::exchange(m_read, {}));
}

void TransferSocket::message(const QByteArray &bytes)
{
    const wire::Message message(wire::fromCodePage(bytes));
    const std::optional<qint64> offset = wire::byteCount(message.field(1));
    if (message.command() == wire::Refused) {
        const QString text = message.field(2);
        end(End::Refused, text.isEmpty() ? QStringLiteral("el servidor rechazó la transferencia") : text);
    } else if (message.command() == wire::From && m_phase == Phase::Answer) {
        from(offset.value_or(-1));
    } else if (message.command() == wire::Stored && m_phase == Phase::Bytes) {
        stored(offset.value_or(-1));
    } else if (message.command() == wire::From || message.command() == wire::Stored) {
        end(End::Lost, QStringLiteral("respuesta inesperada del servidor"));
    }
}

void TransferSocket::from(qint64 offset)
{
    const bool upload = m_job.direction == Direction::Upload;
    // A download goes on from what it holds; an upload from what the server holds.
    if (offset < 0 || offset > m_job.size || (!upload && offset != m_offset))
        return end(End::Lost, QStringLiteral("el servidor pidió una posición imposible del archivo"));
    m_phase = Phase::Bytes;
    if (!upload)
        return m_offset == m_job.size ? receive({}) : void();
    m_offset = m_done = m_stored = offset;
    m_socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption,
                              wire::UploadSocketBuffer);
    if (!m_file.seek(offset))
        return end(End::Failed, QStringLiteral("no se puede leer el archivo"));
    pump();
}

void TransferSocket::stored(qint64 offset)
{
    if (offset < m_stored || offset > m_done)
        return end(End::Lost, QStringLiteral("el servidor dice guardar bytes que no se le enviaron"));
    m_stored = offset;
    Q_EMIT progressed(m_done, m_stored);
    if (m_stored == m_job.size)
        end(End::Done, {});
}

void TransferSocket::pump()
{
    m_stall.start();
    if (m_phase != Phase::Bytes || m_job.direction != Direction::Upload)
        return;
    const qint64 before = m_done;
    while (m_done < m_job.size
           && m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite() < MostWaiting) {
        const QByteArray piece = m_file.read(std::min(Piece, m_job.size - m_done));
        if (piece.isEmpty())
            return end(End::Failed, QStringLiteral("el archivo ha cambiado: ya no se puede leer entero"));
        m_socket->write(piece);
        m_done += piece.size();
    }
    if (m_done != before)
        Q_EMIT progressed(m_done, m_stored);
}

void TransferSocket::receive(QByteArray bytes)
{
    const qint64 taken = std::min<qint64>(bytes.size(), m_job.size - m_done);
    if (taken > 0) {
        if (m_file.write(bytes.constData(), taken) != taken || !m_file.flush())
            return end(End::Failed, QStringLiteral("no se pudo escribir el archivo: el disco puede estar lleno"));
        m_digest->hash().addData(QByteArrayView(bytes).first(taken));
        m_done = m_stored = m_done + taken;
        Q_EMIT progressed(m_done, m_stored);
    }
    if (bytes.size() > taken)
        return end(End::Lost, QStringLiteral("el servidor envió más bytes que los del archivo"));
    if (m_done < m_job.size)
        return;
    m_file.close();
    if (m_digest->hex() != m_job.sha256)
        return end(End::Damaged, QStringLiteral("el archivo llegó dañado"));
    end(End::Done, {});
}
