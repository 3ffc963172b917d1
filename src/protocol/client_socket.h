#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QTimer>

#include "protocol/wire.h"

#include <chrono>

class QTcpSocket;

// The program's one TCP connection (the login window's socket), with the contract the windows
// rely on: a numeric state (7 = connected), text in and out as Windows-1252, events for the
// connection made, data arrived, a failed attempt and a connection lost.
//
// Messages go out in order, each as a write of its own, and two in a row at least WriteGap
// apart, so that a server that takes each read as one message reads them apart. A server that
// offers framing is answered at once; from then on both directions are framed and nothing waits.
//
// Each read (or, framed, each message) is one data-arrival event. Events are posted, not
// emitted from readyRead: QTcpSocket does not re-emit readyRead while a slot connected to it
// runs, and the data-arrival handler pauses. Posting lets data that comes during such a pause
// be handled at once, nested inside it.
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
    // whether it waits in a pause or in a message box: well under 1 MiB at the bound.
    static constexpr int MaxNesting = 128;
    static constexpr std::chrono::milliseconds WriteGap{5};
    // After its first message, how long the client waits for an offer of framing before it
    // sends more: a server that offers it then gets the rest framed, and a busy server cannot
    // merge them into the first. A server that never offers gets them after this wait.
    static constexpr std::chrono::milliseconds OfferWait{250};
    // A framed message longer than this is not one: the server never sends such.
    static constexpr qsizetype MaxMessage = 16 * 1024 * 1024;

    explicit ClientSocket(QObject *parent = nullptr);
    ~ClientSocket() override;

    int state() const;
    // Ends the connection or the attempt; what is still queued leaves first, as far as the
    // kernel takes it. No event follows.
    void close();
    void connectTo(const QString &host, quint16 port);
    void sendData(const QString &text);
    // The data of the event being handled: one read, or one framed message.
    QString getData();
    // Framed, the next message if it has come already and is this command: a handler may take
    // it at once, as it would take it merged into the same read from a plain server.
    QString takeNext(QStringView command);
    QString localIP() const;

    // How many data-arrival events are running right now, one inside another.
    int nesting() const { return m_nesting; }
    // What goes out is framed: the server offered it and the client accepted.
    bool sendsFramed() const { return m_framedOut; }
    // Both directions are framed: the server has confirmed.
    bool isFramed() const { return m_framedIn; }
    // Bytes handed to the connection since it was made; messages still waiting for their turn.
    qint64 sentBytes() const { return m_sentBytes; }
    qsizetype waiting() const { return m_outgoing.size(); }

Q_SIGNALS:
    void connected();
    void dataArrival(qint64 bytesTotal);
    // An attempt to connect failed.
    void error(int number, const QString &description);
    // A connection that stood has ended without our closing it: the peer closed it, reset it,
    // or stopped answering.
    void lost(const QString &reason);

private:
    void socketConnected();
    void socketFailed();
    void readAvailable();
    void accept();
    void writeNext();
    void scheduleDelivery();
    void deliver();
    void reset();

    struct Outgoing {
        QByteArray bytes;
        bool framed;
    };

    QTcpSocket *m_socket;
    bool m_wasConnected = false;

    QQueue<Outgoing> m_outgoing;
    QTimer m_gapTimer;
    QElapsedTimer m_sinceUnframedWrite;
    QElapsedTimer m_sinceConnected;
    bool m_framedOut = false;
    qint64 m_sentBytes = 0;

    bool m_framedIn = false;
    wire::FrameReader m_frames{MaxMessage};
    QQueue<QByteArray> m_incoming;
    QByteArray m_current;
    bool m_deliveryPosted = false;
    bool m_deliveryDeferred = false;
    int m_nesting = 0;
};
