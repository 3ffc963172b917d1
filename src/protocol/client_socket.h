#pragma once

#include <QObject>
#include <QString>

class QTcpSocket;

// The program's one TCP connection (the login window's socket), with the contract the windows
// rely on: a numeric state (7 = connected), text in and out as Windows-1252, three events.
//
// Data-arrival events are posted, not emitted from readyRead: QTcpSocket does not re-emit
// readyRead while a slot connected to it runs, and the data-arrival handler pauses. Posting
// lets data that comes during such a pause be handled at once, nested inside it.
class ClientSocket : public QObject {
    Q_OBJECT

public:
    enum State {
        Closed = 0,
        ResolvingHost = 4,
        Connecting = 6,
        Connected = 7,
        Closing = 8,
    };

    // Deeper than this, data waits until the nested handlers unwind, so a flood cannot
    // overflow the stack. A level costs about 3.5 KiB of stack (5 KiB with AddressSanitizer),
    // whether it waits in a pause or in a message box: well under 1 MiB at the bound. Data
    // that waits is read as one merged message, so the bound is set high enough for a group's
    // whole user list to nest.
    static constexpr int MaxNesting = 128;

    explicit ClientSocket(QObject *parent = nullptr);
    ~ClientSocket() override;

    int state() const;
    void close();
    void connectTo(const QString &host, quint16 port);
    void sendData(const QString &text);
    QString getData();
    QString localIP() const;

    // How many data-arrival events are running right now, one inside another.
    int nesting() const { return m_nesting; }

Q_SIGNALS:
    void connected();
    void dataArrival(qint64 bytesTotal);
    void error(int number, const QString &description);
    // The peer ended the connection. The client has no handler for it.
    void closedByPeer();

private:
    void scheduleDelivery();
    void deliver();

    QTcpSocket *m_socket;
    bool m_deliveryPosted = false;
    bool m_deliveryDeferred = false;
    int m_nesting = 0;
};
