#include "server/connection.h"

#include "server/event_log.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>

#include <algorithm>

namespace {
// A held client may be this far ahead of what it has been answered before it is a flood.
constexpr qsizetype kMaxInbox = 1000;
} // namespace

Pacer::Pacer(std::chrono::milliseconds gap) : m_gap(gap)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &Pacer::tick);
    m_clock.start();
}

void Pacer::wait(Connection *connection)
{
    m_due.append({m_clock.elapsed() + m_gap.count(), connection, connection});
    m_waiting.insert(connection);
    if (!m_timer.isActive())
        m_timer.start(m_gap);
}

void Pacer::forget(const Connection *connection)
{
    if (m_waiting.remove(connection))
        m_due.removeIf([connection](const Due &due) { return due.key == connection; });
}

void Pacer::tick()
{
    const qint64 now = m_clock.elapsed();
    while (!m_due.isEmpty() && m_due.first().at <= now) {
        const Due due = m_due.takeFirst();
        m_waiting.remove(due.key);
        if (due.connection)
            due.connection->writeNext();
    }
    if (!m_due.isEmpty())
        m_timer.start(std::chrono::milliseconds(m_due.first().at - now));
}

Connection::Connection(QTcpSocket *socket, const ServerConfig &config, quint64 id, Pacer &pacer,
                       Counts counts, const QSslConfiguration *tls, QObject *parent)
    : QObject(parent),
      m_socket(socket),
      m_id(id),
      m_config(config),
      m_pacer(pacer),
      m_counts(std::move(counts)),
      m_tls(qobject_cast<QSslSocket *>(socket) ? tls : nullptr),
      m_frames(std::max<qint64>(
          std::min(config.maxMessageBeforeLogIn, config.maxBytesPerSecond), 1)),
      m_byteAllowance(double(config.maxBytesPerSecond)),
      m_messageAllowance(double(config.maxMessagesPerSecond))
{
    m_socket->setParent(this);
    m_peer = endpoint(m_socket->peerAddress(), m_socket->peerPort());

    // Each message its own segment, at once: a plain client cannot tell two messages apart if
    // the kernel joins them.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    // The server never holds more of a client's input than the client may send in a second.
    m_socket->setReadBufferSize(std::max<qint64>(config.maxBytesPerSecond, 1) + 1);

    m_stallTimer.setSingleShot(true);
    m_stallTimer.setInterval(config.stallTimeout);
    m_clock.start();
    m_lastProgress.start();

    connect(m_socket, &QTcpSocket::readyRead, this, &Connection::read);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &Connection::written);
    connect(m_socket, &QTcpSocket::disconnected, this, &Connection::socketClosed);
    connect(&m_stallTimer, &QTimer::timeout, this, &Connection::checkProgress);

    if (!config.offerFraming)
        return;
    QStringList features{wire::Offer, wire::Framing};
    if (m_tls) {
        auto *ssl = static_cast<QSslSocket *>(m_socket);
        // Encrypted, what the client has taken is what the kernel has taken, not only what has
        // been encrypted: a client that stops reading must still be seen to stop.
        connect(ssl, &QSslSocket::encryptedBytesWritten, this, &Connection::written);
        connect(ssl, &QSslSocket::encrypted, this, &Connection::encryptionStarted);
        features << wire::Tls;
        if (!config.password.isEmpty())
            features << wire::PasswordFeature;
    }
    send(wire::toCodePage(features.join(wire::FieldSeparator)));
}

Connection::~Connection()
{
    m_pacer.forget(this);
    // The socket outlives this object's members by a moment and may still report closing.
    disconnect(m_socket, nullptr, this, nullptr);
}

void Connection::send(const QByteArray &message, quint64 from)
{
    if (m_closing || m_closeWhenSent)
        return;
    if (m_queue.size() >= m_config.maxQueuedMessages) {
        drop(QStringLiteral("not reading: more than %1 messages waiting")
                 .arg(m_config.maxQueuedMessages));
        return;
    }
    if (m_queuedBytes + message.size() > m_config.maxQueuedBytes) {
        drop(QStringLiteral("not reading: more than %1 bytes waiting")
                 .arg(m_config.maxQueuedBytes));
        return;
    }
    m_queue.enqueue({m_framedOut ? message + wire::Terminator : message, m_framedOut, from});
    m_queuedBytes += m_queue.last().bytes.size();
    if (from != 0 && ++m_waitingFrom[from] == m_config.maxWaitingFromOne) {
        m_pilingUp.append(from);
        Q_EMIT pilingUp(from);
    }
    writeNext();
}

void Connection::forget(const Outgoing &message)
{
    m_queuedBytes -= message.bytes.size();
    if (message.from == 0)
        return;
    const auto waiting = m_waitingFrom.find(message.from);
    if (--waiting.value() <= m_config.maxWaitingFromOne / 2
        && m_pilingUp.removeOne(message.from))
        Q_EMIT relieved(message.from);
    if (waiting.value() == 0)
        m_waitingFrom.erase(waiting);
}

void Connection::drop(const QString &reason)
{
    if (m_closing)
        return;
    m_closing = true;
    m_reason = reason;
    // Not a graceful close: a client that does not read would keep it waiting for ever.
    m_socket->abort();
    finish();
}

void Connection::closeAfterSending(const QString &reason)
{
    if (m_closing || m_closeWhenSent)
        return;
    m_closeWhenSent = true;
    m_reason = reason;
    m_inbox.clear();
    written();
}

void Connection::read()
{
    if (m_closing || m_closeWhenSent) {
        m_socket->skip(m_socket->bytesAvailable());
        return;
    }
    QByteArray bytes = m_socket->readAll();
    refill();
    if (double(bytes.size()) > m_byteAllowance) {
        drop(QStringLiteral("flood: more than %1 bytes in a second")
                 .arg(m_config.maxBytesPerSecond));
        return;
    }
    m_byteAllowance -= double(bytes.size());
    if (!m_framedIn && m_config.offerFraming && !acceptMarker(bytes))
        return;
    if (m_framedIn) {
        for (const QByteArray &message : m_frames.feed(bytes))
            keep(message, message.size() + 1);
        if (m_frames.overflowed()) {
            drop(QStringLiteral("flood: a message of more than %1 bytes")
                     .arg(m_frames.maxMessage()));
            return;
        }
    } else if (!bytes.isEmpty()) {
        keep(bytes, bytes.size());
    }
    if (m_closing)
        return;
    if (m_inbox.size() > kMaxInbox) {
        drop(QStringLiteral("flood: more than %1 messages held").arg(kMaxInbox));
        return;
    }
    handOn();
}

bool Connection::acceptMarker(QByteArray &bytes)
{
    // The client's marker: what precedes it was its last plain message, what follows is framed;
    // and from here on the client is sent framed messages, unpaced. With encryption, the
    // client waits for the server's marker before its handshake, so nothing may follow.
    const bool tls = m_tls && bytes.contains(wire::marker(wire::Accept, true));
    const QByteArray accept = wire::marker(wire::Accept, tls);
    const qsizetype at = bytes.indexOf(accept);
    if (at < 0)
        return true;
    if (tls && at + accept.size() < bytes.size()) {
        drop(QStringLiteral("data before the encryption"));
        return false;
    }
    if (at > 0)
        keep(bytes.first(at), at);
    bytes.remove(0, at + accept.size());
    Q_EMIT taken(accept.size());
    m_framedIn = true;
    m_queue.enqueue({wire::marker(wire::Accepted, tls), true, 0, tls});
    m_queuedBytes += m_queue.last().bytes.size();
    m_framedOut = true;
    writeNext();
    return !m_closing;
}

void Connection::handOn()
{
    // A message handled here may hold this connection or close it.
    while (!m_closing && m_holds == 0 && !m_inbox.isEmpty()) {
        const auto [message, bytes] = m_inbox.dequeue();
        Q_EMIT messageRead(message);
        Q_EMIT taken(bytes);
    }
}

void Connection::setLoggedIn(bool loggedIn)
{
    const qint64 most = loggedIn ? m_config.maxBytesPerSecond : m_config.maxMessageBeforeLogIn;
    m_frames.setMaxMessage(std::max<qint64>(std::min(most, m_config.maxBytesPerSecond), 1));
}

void Connection::hold()
{
    ++m_holds;
}

void Connection::release()
{
    if (m_holds > 0 && --m_holds == 0)
        QMetaObject::invokeMethod(this, &Connection::handOn, Qt::QueuedConnection);
}

void Connection::keep(const QByteArray &message, qint64 bytes)
{
    if (!m_closing && (!m_counts(message) || countMessage()))
        m_inbox.enqueue({message, bytes});
}

bool Connection::countMessage()
{
    if (m_closing)
        return false;
    refill();
    if (m_messageAllowance < 1) {
        drop(QStringLiteral("flood: more than %1 messages in a second")
                 .arg(m_config.maxMessagesPerSecond));
        return false;
    }
    m_messageAllowance -= 1;
    return true;
}

void Connection::refill()
{
    const qint64 now = m_clock.nsecsElapsed();
    const double seconds = double(now - m_lastRefillNs) * 1e-9;
    m_lastRefillNs = now;
    // Each allowance holds at most one second's worth, so a quiet client cannot save up for a
    // longer burst.
    m_byteAllowance = std::min(double(m_config.maxBytesPerSecond),
                               m_byteAllowance + seconds * double(m_config.maxBytesPerSecond));
    m_messageAllowance =
        std::min(double(m_config.maxMessagesPerSecond),
                 m_messageAllowance + seconds * double(m_config.maxMessagesPerSecond));
}

void Connection::writeNext()
{
    // The gap keeps plain messages apart; a framed one needs none, not even after a plain one
    // (the offer): the client finds the marker in whatever read it comes.
    if (m_closing || m_inFlight || m_handshaking || m_queue.isEmpty()
        || (m_pacer.isWaiting(this) && !m_queue.head().framed))
        return;
    if (m_queue.head().startsTls) {
        // The marker leaves in clear; the handshake follows it on the same stream, and what is
        // queued behind it waits for the encryption.
        const Outgoing marker = m_queue.dequeue();
        forget(marker);
        m_socket->write(marker.bytes);
        m_handshaking = true;
        auto *ssl = static_cast<QSslSocket *>(m_socket);
        ssl->setSslConfiguration(*m_tls);
        ssl->startServerEncryption();
        // A client that never finishes it (or whose handshake failed) holds nothing for long.
        QTimer::singleShot(m_config.stallTimeout, this, [this] {
            if (m_handshaking)
                drop(QStringLiteral("no TLS handshake"));
        });
        return;
    }
    // A plain message goes alone; framed ones go together, as many as wait.
    QByteArray bytes;
    m_plainInFlight = !m_queue.head().framed;
    do {
        const Outgoing message = m_queue.dequeue();
        bytes += message.bytes;
        forget(message);
    } while (!m_plainInFlight && !m_queue.isEmpty() && m_queue.head().framed
             && !m_queue.head().startsTls);
    m_inFlight = true;
    m_socket->write(bytes);
    if (!m_stallTimer.isActive()) {
        m_lastProgress.restart();
        m_stallTimer.start();
    }
}

void Connection::encryptionStarted()
{
    m_handshaking = false;
    m_encrypted = true;
    writeNext();
}

void Connection::written()
{
    // Only noted here: with thousands of clients, restarting a timer on every write would cost
    // more than the writing.
    m_lastProgress.restart();
    const qint64 pending = m_socket->bytesToWrite()
        + (m_encrypted ? static_cast<QSslSocket *>(m_socket)->encryptedBytesToWrite() : 0);
    if (m_closeWhenSent && !m_closing && m_queue.isEmpty() && pending == 0) {
        m_closing = true;
        // Graceful: what was sent last (the reason, often) is read before the end.
        m_socket->disconnectFromHost();
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            finish();
        return;
    }
    // The gap starts once the whole message has been handed to the kernel.
    if (!m_inFlight || pending > 0)
        return;
    m_inFlight = false;
    if (m_plainInFlight && m_config.gap.count() > 0)
        m_pacer.wait(this);
    else
        writeNext();
}

void Connection::checkProgress()
{
    const auto quiet = std::chrono::milliseconds(m_lastProgress.elapsed());
    if (!m_inFlight && m_queue.isEmpty())
        return;
    if (quiet >= m_config.stallTimeout) {
        drop(QStringLiteral("not reading: nothing taken for %1 ms")
                 .arg(m_config.stallTimeout.count()));
        return;
    }
    m_stallTimer.start(m_config.stallTimeout - quiet);
}

void Connection::socketClosed()
{
    if (!m_closing && !m_closeWhenSent)
        m_reason = m_socket->error() == QAbstractSocket::RemoteHostClosedError
            ? QStringLiteral("closed by the client")
            : QStringLiteral("connection lost: ") + m_socket->errorString();
    m_closing = true;
    finish();
}

void Connection::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_stallTimer.stop();
    m_queue.clear();
    m_queuedBytes = 0;
    m_inbox.clear();
    QMetaObject::invokeMethod(
        this,
        [this] {
            // Whoever was held back on this connection's account goes on.
            for (const quint64 from : std::exchange(m_pilingUp, {}))
                Q_EMIT relieved(from);
            Q_EMIT closed(m_reason);
        },
        Qt::QueuedConnection);
}
