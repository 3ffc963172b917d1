#include "protocol/client_socket.h"

#include "protocol/wire.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QPointer>
#include <QTcpSocket>

ClientSocket::ClientSocket(QObject *parent) : QObject(parent), m_socket(new QTcpSocket(this))
{
    connect(m_socket, &QTcpSocket::connected, this, &ClientSocket::connected);
    connect(m_socket, &QTcpSocket::readyRead, this, &ClientSocket::scheduleDelivery);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError code) {
        // The peer closing the connection is its own event, not a failure.
        if (code == QAbstractSocket::RemoteHostClosedError)
            Q_EMIT closedByPeer();
        else
            Q_EMIT error(static_cast<int>(code), m_socket->errorString());
    });
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
    // What was queued leaves first as far as the kernel takes it; then the connection ends at
    // once, so that a connect right after it starts from a clean state.
    m_socket->flush();
    m_socket->abort();
}

void ClientSocket::connectTo(const QString &host, quint16 port)
{
    m_socket->connectToHost(host, port);
}

void ClientSocket::sendData(const QString &text)
{
    m_socket->write(wire::toCodePage(text));
}

QString ClientSocket::getData()
{
    return wire::fromCodePage(m_socket->readAll());
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

void ClientSocket::scheduleDelivery()
{
    if (m_deliveryPosted)
        return;
    m_deliveryPosted = true;
    QMetaObject::invokeMethod(this, &ClientSocket::deliver, Qt::QueuedConnection);
}

void ClientSocket::deliver()
{
    m_deliveryPosted = false;
    const qint64 pending = m_socket->bytesAvailable();
    if (pending <= 0)
        return;
    if (m_nesting >= MaxNesting) {
        m_deliveryDeferred = true;
        return;
    }
    QPointer<ClientSocket> self(this);
    ++m_nesting;
    Q_EMIT dataArrival(pending);
    // The login window, and this socket with it, may have been closed while the handler ran.
    if (!self)
        return;
    --m_nesting;
    if (m_deliveryDeferred) {
        m_deliveryDeferred = false;
        scheduleDelivery();
    }
}
