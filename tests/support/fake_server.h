#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

// A messenger server stand-in on a loopback address and the client's fixed port: it records
// what the newest connection sends and writes whatever a test tells it to. Unless told
// otherwise, it offers no extension at once. Given an identity, it answers a client's marker for
// encryption with its own and encrypts the connection.
class FakeServer : public QObject {
    Q_OBJECT

public:
    explicit FakeServer(const QString &address);
    QTcpSocket *client() const { return m_clients.isEmpty() ? nullptr : m_clients.last().data(); }
    // Writes the bytes to the newest connection, as one write, and waits until they have left.
    void send(const QByteArray &bytes)
    {
        if (QPointer<QTcpSocket> socket = client()) {
            socket->write(bytes);
            (void)QTest::qWaitFor([&] { return !socket || socket->bytesToWrite() == 0; });
        }
    }

    // What a new connection is sent first, and after how long (nothing: no offer at all).
    QByteArray greeting;
    int greetingDelay = 0;
    int connections() const { return int(m_clients.size()); }

    const QString address;
    // Every connection is a QSslSocket, in clear until the client asks for encryption.
    class Listener : public QTcpServer {
        void incomingConnection(qintptr descriptor) override
        {
            auto *socket = new QSslSocket(this);
            socket->setSocketDescriptor(descriptor);
            addPendingConnection(socket);
        }
    } listener;
    QSslKey key;
    QSslCertificate certificate;
    QByteArray received;
    // The reads of the newest connection, each with when it came (ms since the server began).
    QList<std::pair<qint64, QByteArray>> reads;
    // Bytes the newest connection has sent in all.
    qint64 total = 0;
    QElapsedTimer sinceRead;
    // How long the connection was quiet before the client closed it; -1 while open.
    qint64 quietBeforeClose = -1;

private:
    QList<QPointer<QTcpSocket>> m_clients;
    QElapsedTimer m_clock;
};
