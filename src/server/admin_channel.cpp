#include "server/admin_channel.h"

#include <QLocalSocket>
#include <QTextStream>
#include <QTimer>

#include <chrono>

#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr qint64 kMaxLine = 64 * 1024;
constexpr std::chrono::seconds kRefusedWait{5};

bool mayAdminister(const QLocalSocket &peer)
{
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(int(peer.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials, &size)
        != 0)
        return false;
    return credentials.uid == 0 || credentials.uid == ::geteuid();
}

} // namespace

AdminChannel::AdminChannel(Handler handler, QObject *parent)
    : QObject(parent), m_handler(std::move(handler))
{
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, &AdminChannel::accept);
}

QString AdminChannel::listen(const QString &path)
{
    QLocalServer::removeServer(path);
    return m_server.listen(path) ? QString() : m_server.errorString();
}

void AdminChannel::accept()
{
    while (QLocalSocket *peer = m_server.nextPendingConnection()) {
        connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        // Even a refused peer is answered only once its line is in: closing with the line still
        // unread resets the connection, and the peer would lose the answer with it. One that
        // sends nothing is not kept for long.
        const bool allowed = mayAdminister(*peer);
        if (!allowed)
            QTimer::singleShot(kRefusedWait, peer, &QLocalSocket::abort);
        connect(peer, &QLocalSocket::readyRead, peer, [this, peer, allowed] {
            if (!peer->canReadLine() && peer->bytesAvailable() < kMaxLine)
                return;
            const QString line = QString::fromUtf8(peer->readLine(kMaxLine)).trimmed();
            const AdminAnswer answer =
                allowed ? m_handler(line) : AdminAnswer{{QLatin1String(Refusal)}, false};
            for (const QString &logged : answer.lines)
                peer->write(logged.toUtf8() + '\n');
            peer->write(answer.done ? "exit 0\n" : "exit 1\n");
            peer->disconnectFromServer();
        });
    }
}

int sendAdminCommand(const QString &path, const QString &line)
{
    QTextStream err(stderr);
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(5000)) {
        err << "Cannot reach the server at " << path << ": " << socket.errorString() << '\n';
        return 1;
    }
    socket.write(line.toUtf8() + '\n');
    QByteArray answer;
    while (socket.state() == QLocalSocket::ConnectedState && socket.waitForReadyRead(10000))
        answer += socket.readAll();
    answer += socket.readAll();
    // The last line says how it went.
    const qsizetype last = answer.lastIndexOf('\n', answer.size() - 2) + 1;
    const QByteArray status = answer.mid(last);
    const bool told = status == "exit 0\n" || status == "exit 1\n";
    QTextStream(stdout) << QString::fromUtf8(told ? answer.first(last) : answer);
    if (told)
        return status.at(5) - '0';
    err << "No answer from the server at " << path << '\n';
    return 1;
}
