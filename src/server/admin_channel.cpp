#include "server/admin_channel.h"

#include <QLocalSocket>
#include <QRegularExpression>
#include <QTextStream>

#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr qint64 kMaxLine = 64 * 1024;

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
        if (!mayAdminister(*peer)) {
            peer->write(Refusal);
            peer->disconnectFromServer();
            continue;
        }
        connect(peer, &QLocalSocket::readyRead, peer, [this, peer] {
            if (!peer->canReadLine() && peer->bytesAvailable() < kMaxLine)
                return;
            const QString line = QString::fromUtf8(peer->readLine(kMaxLine)).trimmed();
            const AdminAnswer answer = m_handler(line);
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
    static const QRegularExpression status(QStringLiteral("exit ([01])\n$"));
    const QRegularExpressionMatch how = status.match(QString::fromUtf8(answer));
    QTextStream(stdout) << QString::fromUtf8(how.hasMatch() ? answer.chopped(7) : answer);
    if (how.hasMatch())
        return how.captured(1).toInt();
    if (!answer.startsWith(AdminChannel::Refusal))
        err << "No answer from the server at " << path << '\n';
    return 1;
}
