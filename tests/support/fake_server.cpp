#include "support/fake_server.h"

#include "protocol/wire.h"

#include <QTest>

FakeServer::FakeServer(const QString &address) : m_address(address)
{
    m_server.listen(QHostAddress(address), wire::ServerPort);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            m_clients.append(socket);
            m_received.clear();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                if (socket == client())
                    m_received += socket->readAll();
                else
                    socket->readAll();
            });
        }
    });
}

QTcpSocket *FakeServer::client() const
{
    return m_clients.isEmpty() ? nullptr : m_clients.last().data();
}

bool FakeServer::waitForClient(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return connectionCount() >= count; }, timeoutMs);
}

bool FakeServer::waitForBytes(qsizetype count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_received.size() >= count; }, timeoutMs);
}

bool FakeServer::waitForDisconnect(int timeoutMs)
{
    return QTest::qWaitFor(
        [&] {
            QTcpSocket *socket = client();
            return !socket || socket->state() == QAbstractSocket::UnconnectedState;
        },
        timeoutMs);
}

void FakeServer::send(const QByteArray &bytes)
{
    QTcpSocket *socket = client();
    if (!socket)
        return;
    socket->write(bytes);
    socket->flush();
    QTest::qWaitFor([socket] { return !socket || socket->bytesToWrite() == 0; }, 5000);
}

void FakeServer::sendMessage(const QStringList &fields)
{
    send(messageBytes(fields));
}

QByteArray messageBytes(const QStringList &fields)
{
    return wire::toCodePage(fields.join(wire::FieldSeparator));
}
