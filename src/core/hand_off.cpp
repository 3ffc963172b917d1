#include "core/hand_off.h"

#include <QDataStream>
#include <QLocalSocket>
#include <QStandardPaths>

QString HandOff::socketName()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)
        + QStringLiteral("/korvex-mensajero");
}

bool HandOff::pass(const Request &request, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(socketName());
    if (!socket.waitForConnected(timeoutMs))
        return false;
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << request.nickname << request.paths;
    if (bytes.size() > MostBytes)
        return false;
    socket.write(bytes);
    socket.disconnectFromServer();
    return socket.state() == QLocalSocket::UnconnectedState
        || socket.waitForDisconnected(timeoutMs);
}

HandOff::HandOff(QObject *parent) : QObject(parent)
{
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            // The request is whole when its sender has closed: then it is read, once.
            connect(socket, &QLocalSocket::readChannelFinished, this, [this, socket] {
                const QByteArray bytes = socket->readAll();
                QDataStream in(bytes);
                Request request;
                in >> request.nickname >> request.paths;
                if (in.status() == QDataStream::Ok && !request.paths.isEmpty())
                    Q_EMIT requested(request);
            });
            connect(socket, &QLocalSocket::readyRead, this, [socket] {
                if (socket->bytesAvailable() > MostBytes)
                    socket->abort();
            });
        }
    });
}

bool HandOff::listen()
{
    // Listening with the user's access alone replaces a socket there: one that answers is
    // another client's. One left by a client that crashed answers nobody, and is taken over.
    QLocalSocket probe;
    probe.connectToServer(socketName());
    if (probe.waitForConnected(500))
        return false;
    QLocalServer::removeServer(socketName());
    return m_server.listen(socketName());
}
