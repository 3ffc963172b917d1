#include "support/fake_server.h"

#include "protocol/wire.h"

#include <QTimer>

FakeServer::FakeServer(const QString &address)
    : greeting(wire::toCodePage(wire::Offer)), address(address)
{
    m_clock.start();
    listener.listen(QHostAddress(address), wire::ServerPort);
    connect(&listener, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = listener.nextPendingConnection()) {
            m_clients.append(socket);
            received.clear();
            reads.clear();
            total = 0;
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                const QByteArray data = socket->readAll();
                if (socket == client())
                    received += data, total += data.size(), reads.append({m_clock.elapsed(), data});
                sinceRead.start();
                auto *tls = qobject_cast<QSslSocket *>(socket);
                if (!certificate.isNull() && tls && !tls->isEncrypted()
                    && data.endsWith(wire::marker(wire::Accept, true))) {
                    tls->write(wire::marker(wire::Accepted, true));
                    tls->setLocalCertificate(certificate);
                    tls->setPrivateKey(key);
                    tls->startServerEncryption();
                }
            });
            connect(socket, &QTcpSocket::disconnected, this,
                    [this] { quietBeforeClose = sinceRead.elapsed(); });
            QTimer::singleShot(greetingDelay, socket, [this, socket] {
                if (!greeting.isEmpty())
                    socket->write(greeting);
            });
        }
    });
}
