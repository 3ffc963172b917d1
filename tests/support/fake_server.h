#pragma once

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

// A messenger server stand-in on a loopback address and the client's fixed port. It records
// every byte each connection sends and writes whatever a test tells it to.
class FakeServer : public QObject {
    Q_OBJECT

public:
    explicit FakeServer(const QString &address);

    QString address() const { return m_address; }
    bool isListening() const { return m_server.isListening(); }
    int connectionCount() const { return int(m_clients.size()); }
    QTcpSocket *client() const;

    bool waitForClient(int count = 1, int timeoutMs = 5000);
    // Waits until the newest connection has sent at least this many bytes in all.
    bool waitForBytes(qsizetype count, int timeoutMs = 5000);
    bool waitForDisconnect(int timeoutMs = 5000);
    QByteArray received() const { return m_received; }
    void clearReceived() { m_received.clear(); }

    // Writes the bytes to the newest connection and waits until they have left.
    void send(const QByteArray &bytes);
    // The message as the client would read it: fields joined by the separator, code page 1252.
    void sendMessage(const QStringList &fields);

private:
    QString m_address;
    QTcpServer m_server;
    QList<QPointer<QTcpSocket>> m_clients;
    QByteArray m_received;
};

// A message in bytes, built the way the server sends it.
QByteArray messageBytes(const QStringList &fields);
