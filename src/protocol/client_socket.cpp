#include "protocol/client_socket.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QPointer>
#include <QTcpSocket>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

// A peer that vanished (cable pulled, machine gone) is noticed within about a minute: probes
// after 20 s of silence, 5 s apart, 4 unanswered; data unacknowledged for 45 s ends it too.
void detectDeadPeers(QTcpSocket *socket)
{
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const int fd = int(socket->socketDescriptor());
    for (const auto &[option, value] : {std::pair{TCP_KEEPIDLE, 20}, {TCP_KEEPINTVL, 5},
                                       {TCP_KEEPCNT, 4}, {TCP_USER_TIMEOUT, 45'000}})
        ::setsockopt(fd, IPPROTO_TCP, option, &value, sizeof value);
}

} // namespace

ClientSocket::ClientSocket(QObject *parent) : QObject(parent), m_socket(new QTcpSocket(this))
{
    m_gapTimer.setSingleShot(true);
    m_gapTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_gapTimer, &QTimer::timeout, this, &ClientSocket::writeNext);
    connect(m_socket, &QTcpSocket::connected, this, &ClientSocket::socketConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &ClientSocket::readAvailable);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &ClientSocket::socketFailed);
}

ClientSocket::~ClientSocket() = default;

int ClientSocket::state() const
{
    switch (m_socket->state()) {
    case QAbstractSocket::HostLookupState:
        return ResolvingHost;
    case QAbstractSocket::ConnectingState:
        return Connecting;
    case QAbstractSocket::ConnectedState:
        return Connected;
    case QAbstractSocket::ClosingState:
        return Closing;
    default:
        return Closed;
    }
}

void ClientSocket::close()
{
    for (const Outgoing &message : std::as_const(m_outgoing))
        m_socket->write(message.bytes);
    m_socket->flush();
    reset();
    // At once, so that a connect right after it starts from a clean state.
    m_socket->abort();
}

void ClientSocket::connectTo(const QString &host, quint16 port)
{
    m_socket->connectToHost(host, port);
}

void ClientSocket::sendData(const QString &text)
{
    QByteArray bytes = wire::toCodePage(text);
    if (m_framedOut)
        bytes += wire::Terminator;
    m_outgoing.enqueue({bytes, m_framedOut});
    writeNext();
}

QString ClientSocket::getData()
{
    return wire::fromCodePage(std::exchange(m_current, {}));
}

QString ClientSocket::takeNext(QStringView command)
{
    if (!m_framedIn || m_incoming.isEmpty()
        || wire::Message(wire::fromCodePage(m_incoming.head())).command() != command)
        return QString();
    return wire::fromCodePage(m_incoming.dequeue());
}

QString ClientSocket::localIP() const
{
    const auto addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            return address.toString();
    }
    return QHostAddress(QHostAddress::LocalHost).toString();
}

void ClientSocket::socketConnected()
{
    m_wasConnected = true;
    m_sinceConnected.start();
    // Each message its own segment, at once.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    detectDeadPeers(m_socket);
    Q_EMIT connected();
}

void ClientSocket::socketFailed()
{
    const bool wasConnected = std::exchange(m_wasConnected, false);
    const QString reason = m_socket->errorString();
    const int number = int(m_socket->error());
    // What was read before the end is still handled.
    const QQueue<QByteArray> incoming = std::exchange(m_incoming, {});
    reset();
    m_incoming = incoming;
    scheduleDelivery();
    if (wasConnected)
        Q_EMIT lost(reason);
    else
        Q_EMIT error(number, reason);
}

void ClientSocket::readAvailable()
{
    QByteArray bytes = m_socket->readAll();
    if (!m_framedIn && m_framedOut) {
        // Before the server's marker, a read is one message, as with any server.
        const qsizetype at = bytes.indexOf(wire::marker(wire::Accepted));
        if (at >= 0) {
            if (at > 0)
                m_incoming.enqueue(bytes.first(at));
            bytes.remove(0, at + wire::marker(wire::Accepted).size());
            m_framedIn = true;
        }
    }
    if (m_framedIn) {
        for (const QByteArray &message : m_frames.feed(bytes))
            m_incoming.enqueue(message);
    } else if (!bytes.isEmpty()) {
        const QStringList fields = wire::fromCodePage(bytes).split(wire::FieldSeparator);
        if (fields.first() == wire::Offer && fields.contains(wire::Framing))
            accept();
        else
            m_incoming.enqueue(bytes);
    }
    scheduleDelivery();
}

void ClientSocket::accept()
{
    if (m_framedOut)
        return;
    m_framedOut = true;
    // What waits has not left yet: it goes framed, behind the marker.
    for (Outgoing &message : m_outgoing) {
        if (!std::exchange(message.framed, true))
            message.bytes += wire::Terminator;
    }
    m_outgoing.prepend({wire::marker(wire::Accept), true});
    m_gapTimer.stop();
    writeNext();
}

void ClientSocket::writeNext()
{
    while (!m_outgoing.isEmpty() && !m_gapTimer.isActive()) {
        const auto wait = [this](QElapsedTimer &since, std::chrono::nanoseconds wanted) {
            const auto waited = std::chrono::nanoseconds(since.nsecsElapsed());
            if (waited < wanted)
                m_gapTimer.start(std::chrono::ceil<std::chrono::milliseconds>(wanted - waited));
            return waited < wanted;
        };
        if (!m_outgoing.head().framed && m_sentBytes > 0 && m_sinceConnected.isValid()
            && wait(m_sinceConnected, OfferWait))
            return;
        if (!m_outgoing.head().framed && m_sinceUnframedWrite.isValid()
            && wait(m_sinceUnframedWrite, WriteGap))
            return;
        const Outgoing message = m_outgoing.dequeue();
        m_sentBytes += m_socket->write(message.bytes);
        if (message.framed)
            m_sinceUnframedWrite.invalidate();
        else
            m_sinceUnframedWrite.start();
    }
}

void ClientSocket::scheduleDelivery()
{
    if (m_deliveryPosted || m_incoming.isEmpty())
        return;
    m_deliveryPosted = true;
    QMetaObject::invokeMethod(this, &ClientSocket::deliver, Qt::QueuedConnection);
}

void ClientSocket::deliver()
{
    m_deliveryPosted = false;
    if (m_incoming.isEmpty())
        return;
    if (m_nesting >= MaxNesting) {
        m_deliveryDeferred = true;
        return;
    }
    m_current = m_incoming.dequeue();
    // The next one is handled after this one, or nested inside it if this one pauses.
    scheduleDelivery();
    QPointer<ClientSocket> self(this);
    ++m_nesting;
    Q_EMIT dataArrival(m_current.size());
    // The socket may have gone with the program while the handler ran.
    if (!self)
        return;
    --m_nesting;
    if (std::exchange(m_deliveryDeferred, false))
        scheduleDelivery();
}

void ClientSocket::reset()
{
    m_wasConnected = false;
    m_outgoing.clear();
    m_sentBytes = 0;
    m_gapTimer.stop();
    m_sinceUnframedWrite.invalidate();
    m_sinceConnected.invalidate();
    m_framedOut = false;
    m_framedIn = false;
    m_frames = wire::FrameReader(MaxMessage);
    m_incoming.clear();
}
