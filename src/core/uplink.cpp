#include "core/uplink.h"

#include "protocol/client_socket.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cmath>

Uplink::Uplink(ClientSocket &socket, QObject *parent) : QObject(parent), m_socket(socket) {}

bool Uplink::isConnected() const
{
    return m_socket.state() == ClientSocket::Connected;
}

void Uplink::setNickname(const QString &nickname)
{
    m_nickname = nickname;
    Q_EMIT nicknameChanged(nickname);
}

bool Uplink::send(const QString &message)
{
    if (m_ending)
        return false;
    if (!isConnected()) {
        Q_EMIT notConnected();
        return false;
    }
    m_socket.sendData(message);
    return true;
}

void Uplink::pause(double seconds)
{
    if (!(seconds > 0) || m_ending || m_instant)
        return;
    // A monotonic clock: the wait ends after the requested time, midnight or not.
    const auto wanted = static_cast<qint64>(std::ceil(seconds * 1e9));
    QElapsedTimer clock;
    clock.start();
    for (qint64 left = wanted; left > 0 && !m_ending; left = wanted - clock.nsecsElapsed()) {
        QEventLoop loop;
        QTimer::singleShot(std::chrono::milliseconds((left + 999'999) / 1'000'000),
                           Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    }
}
