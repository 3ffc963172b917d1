#include "support/link.h"

#include <QHostAddress>

#include <utility>

Link::Link(QObject *pool, const QString &server, const QString &from, Mode mode)
    : QObject(pool), m_plain(mode == Mode::Plain), m_encrypt(mode == Mode::Encrypted)
{
    m_socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    connect(&m_socket, &QSslSocket::connected, this, [this] {
        m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (m_plain)
            becomeReady();
    });
    connect(&m_socket, &QSslSocket::readyRead, this, &Link::read);
    connect(&m_socket, &QSslSocket::encrypted, this, &Link::becomeReady);
    connect(&m_socket, &QSslSocket::disconnected, this, &Link::lost);
    connect(&m_socket, &QSslSocket::errorOccurred, this, [this] {
        if (m_socket.state() == QAbstractSocket::UnconnectedState)
            lost();
    });
    m_socket.bind(QHostAddress(from), 0);
    m_socket.connectToHost(server, wire::ServerPort);
}

Link::~Link()
{
    disconnect(&m_socket, nullptr, this, nullptr);
}

void Link::send(const QString &text)
{
    write(wire::toCodePage(text) + QByteArray(m_framed ? 1 : 0, wire::Terminator));
}

void Link::read()
{
    QByteArray in = m_socket.readAll();
    m_bytesRead += in.size();
    if (m_plain) {
        if (!in.startsWith(wire::toCodePage(wire::Offer)) && onMessage)
            onMessage(in);
        return;
    }
    if (!m_offered) {
        m_offered = true;
        const wire::Message offer(wire::fromCodePage(in));
        if (offer.command() != wire::Offer) { // a plain server
            m_plain = true;
            becomeReady();
            return;
        }
        for (qsizetype i = 1; i < offer.fieldCount(); ++i)
            m_tls = m_tls || (m_encrypt && offer.field(i) == wire::Tls);
        write(wire::marker(wire::Accept, m_tls));
        return;
    }
    if (!m_framed) {
        m_pending += in;
        const QByteArray accepted = wire::marker(wire::Accepted, m_tls);
        const qsizetype at = m_pending.indexOf(accepted);
        if (at < 0)
            return;
        m_framed = true;
        in = m_pending.mid(at + accepted.size());
        if (m_tls) {
            m_socket.startClientEncryption();
            return;
        }
        becomeReady();
    }
    for (const QByteArray &message : m_frames.feed(in)) {
        if (onMessage)
            onMessage(message);
    }
}

void Link::becomeReady()
{
    m_ready = true;
    if (onReady)
        onReady();
}

void Link::lost()
{
    if (!std::exchange(m_closed, true) && onClosed)
        onClosed();
}

QString field(const QByteArray &message, int index)
{
    return wire::Message(wire::fromCodePage(message)).field(index);
}
