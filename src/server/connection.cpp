#include "server/connection.h"

#include "server/event_log.h"

#include <QTcpSocket>

#include <algorithm>

Connection::Connection(QTcpSocket *socket, const ServerConfig &config, QObject *parent)
    : QObject(parent),
      m_socket(socket),
      m_config(config),
      m_byteAllowance(double(config.maxBytesPerSecond)),
      m_messageAllowance(double(config.maxMessagesPerSecond))
{
    m_socket->setParent(this);
    m_peer = endpoint(m_socket->peerAddress(), m_socket->peerPort());

    // Each message its own segment, at once: the client cannot tell two messages apart if the
    // kernel joins them.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    // The server never holds more of a client's input than the client may send in a second.
    m_socket->setReadBufferSize(std::max<qint64>(config.maxBytesPerSecond, 1) + 1);

    m_gapTimer.setSingleShot(true);
    m_gapTimer.setTimerType(Qt::PreciseTimer);
    m_gapTimer.setInterval(config.gap);
    m_clock.start();

    connect(m_socket, &QTcpSocket::readyRead, this, &Connection::read);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &Connection::written);
    connect(m_socket, &QTcpSocket::disconnected, this, &Connection::socketClosed);
    connect(&m_gapTimer, &QTimer::timeout, this, &Connection::writeNext);
}

Connection::~Connection()
{
    // The socket outlives this object's members by a moment and may still report closing.
    disconnect(m_socket, nullptr, this, nullptr);
}

void Connection::send(const QByteArray &message)
{
    if (m_closing)
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
    m_queue.enqueue(message);
    m_queuedBytes += message.size();
    writeNext();
}

void Connection::drop(const QString &reason)
{
    if (m_closing)
        return;
    m_closing = true;
    m_reason = reason;
    m_gapTimer.stop();
    m_queue.clear();
    m_queuedBytes = 0;
    // Not a graceful close: a client that does not read would keep it waiting for ever.
    m_socket->abort();
    finish();
}

void Connection::read()
{
    const QByteArray bytes = m_socket->readAll();
    if (bytes.isEmpty() || m_closing)
        return;
    refill();
    if (double(bytes.size()) > m_byteAllowance) {
        drop(QStringLiteral("flood: more than %1 bytes in a second")
                 .arg(m_config.maxBytesPerSecond));
        return;
    }
    m_byteAllowance -= double(bytes.size());
    Q_EMIT messageRead(bytes);
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
    if (m_closing || m_inFlight || m_gapTimer.isActive() || m_queue.isEmpty())
        return;
    const QByteArray message = m_queue.dequeue();
    m_queuedBytes -= message.size();
    m_inFlight = true;
    m_socket->write(message);
}

void Connection::written()
{
    // The gap starts once the whole message has been handed to the kernel.
    if (!m_inFlight || m_socket->bytesToWrite() > 0)
        return;
    m_inFlight = false;
    if (m_config.gap.count() > 0)
        m_gapTimer.start();
    else
        writeNext();
}

void Connection::socketClosed()
{
    if (!m_closing) {
        m_closing = true;
        m_reason = m_socket->error() == QAbstractSocket::RemoteHostClosedError
            ? QStringLiteral("closed by the client")
            : QStringLiteral("connection lost: ") + m_socket->errorString();
        m_gapTimer.stop();
        m_queue.clear();
        m_queuedBytes = 0;
    }
    finish();
}

void Connection::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    QMetaObject::invokeMethod(
        this, [this] { Q_EMIT closed(m_reason); }, Qt::QueuedConnection);
}
