#pragma once

#include "protocol/wire.h"

#include <QObject>
#include <QSslSocket>

#include <functional>

// One connection to the server from a loopback address of the benchmark's choosing. An
// encrypted one speaks as our client does: it waits for the offer, accepts framing and
// encryption where offered, and is ready once they are agreed; a framed one takes framing
// alone. A plain one is ready once connected and takes every read as one message.
enum class Mode { Plain, Framed, Encrypted };

class Link : public QObject {
public:
    Link(QObject *pool, const QString &server, const QString &from, Mode mode);
    // Its socket tells nothing more to a link being destroyed.
    ~Link() override;

    // A message with its terminator where framed; in clear, the code page's bytes alone.
    void send(const QString &text);
    void write(const QByteArray &raw) { m_socket.write(raw); }
    void leave() { m_socket.disconnectFromHost(); }
    bool isReady() const { return m_ready; }
    bool isClosed() const { return m_closed; }
    // Bytes read since connecting (after decryption), the offer and markers included.
    qint64 bytesRead() const { return m_bytesRead; }

    std::function<void()> onReady;
    std::function<void(const QByteArray &)> onMessage;
    std::function<void()> onClosed;
    bool left = false;

private:
    void read();
    void becomeReady();
    void lost();

    QSslSocket m_socket;
    bool m_plain;
    bool m_encrypt;
    bool m_offered = false, m_tls = false, m_framed = false, m_ready = false, m_closed = false;
    qint64 m_bytesRead = 0;
    QByteArray m_pending;
    wire::FrameReader m_frames{16 * 1024 * 1024};
};

// A field of a message as read.
QString field(const QByteArray &message, int index);
