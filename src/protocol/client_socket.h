#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QTimer>

#include "protocol/wire.h"

#include <chrono>

class QSslCertificate;
class QSslSocket;

// A certificate's SHA-256 digest as people compare it: "3F:A0:...".
QString certificateFingerprint(const QSslCertificate &certificate);

// What the server has answered so far to the client's ACCEPT|frame|tls marker (it sends nothing
// else before the handshake): part of its own marker, all of it (the handshake has begun on
// the socket, TLS 1.2 or later, the certificate left to the caller to check), or something else.
enum class MarkerRead { Partial, Encrypting, Unexpected };
MarkerRead encryptAfterMarker(QSslSocket &socket, const QByteArray &read);

// The program's one TCP connection (the login window's socket), with the contract the windows
// rely on: a numeric state (7 = connected), text in and out as Windows-1252, events for the
// connection made, data arrived, a failed attempt and a connection lost.
//
// Nothing is sent until the connection is settled (docs/PROTOCOL.md): a server that offers
// encryption is answered and the connection encrypted, its certificate checked against the one
// remembered for the address (trusted on first use), and the group's password given if it asks.
// A server that offers no encryption (framing only, an empty offer, nothing within the wait, or
// speaking first) is used in clear only where that is allowed; otherwise the attempt ends as a
// refused certificate, seen empty. An offer of encryption that comes after the connection
// settled in clear ends it: the caller connects again, encrypted. Only a settled connection is
// "connected". To a plain server, messages
// go out in order, each as a write of its own, two in a row at least WriteGap apart, so that a
// server that takes each read as one message reads them apart; framed, nothing waits.
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
    // How long the client waits for the offer our server sends as it accepts a connection,
    // before it takes the server for one that offers nothing. A slow link must not pass for a
    // plain server. Only where the user has agreed to clear text for the address does it wait
    // less: a late offer of encryption still ends the clear connection.
    static constexpr std::chrono::milliseconds OfferWait{5000};
    static constexpr std::chrono::milliseconds ClearOfferWait{250};
    // How long the server may take to answer the client's marker and complete the handshake.
    static constexpr std::chrono::milliseconds HandshakeWait{10000};
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

    // The fingerprint of the certificate the next connection must show, or nothing to trust the
    // first one the server shows.
    void setKnownCertificate(const QString &fingerprint) { m_knownCertificate = fingerprint; }
    // The first hexadecimal digits of the certificate the server was announced with on the
    // local network (none: not chosen from an announcement). A certificate that does not begin
    // with them is refused as one other than the known would be, the announced digits standing
    // for the known certificate.
    void setAnnouncedCertificate(const QString &digits) { m_announced = digits; }
    // Whether the next connection may go on in clear when the server offers no encryption.
    void setClearAllowed(bool allowed) { m_clearAllowed = allowed; }
    // The group's password, given when the server asks for it; and, once passwordNeeded() has
    // been emitted, the answer that lets the connection go on.
    void setPassword(const QString &password) { m_password = password; }
    // False when the connection no longer waits for it (it has closed meanwhile).
    bool givePassword(const QString &password);
    // The last connection gave the password (it may have closed since): a refusal of the
    // password is a refusal of the one given.
    bool gavePassword() const { return m_gavePassword; }
    // Encrypted: the fingerprint of the server's certificate; otherwise nothing.
    QString fingerprint() const { return m_fingerprint; }
    // Encrypted after an offer of `keep`: the server keeps claims, lines and marks.
    bool keeps() const { return m_keepOffered && !m_fingerprint.isEmpty(); }
    // Encrypted after an offer of `files`: the server takes files on transfer connections.
    bool takesFiles() const { return m_filesOffered && !m_fingerprint.isEmpty(); }

    // Takes bytes as if the connection had just read them, as one read; for a harness that
    // feeds a settled connection without a peer writing them.
    void read(QByteArray bytes);

    // How many data-arrival events are running right now, one inside another.
    int nesting() const { return m_nesting; }
    // What goes out is framed: the server offered it and the client accepted.
    bool sendsFramed() const { return m_framedOut; }
    // Both directions are framed: the server has confirmed.
    bool isFramed() const { return m_framedIn; }
    // Bytes handed to the connection since it was made; messages still waiting for their turn.
    qint64 sentBytes() const { return m_sentBytes; }
    qsizetype waiting() const { return m_outgoing.size(); }
    // Messages read from the connection and not yet handed to the handler.
    qsizetype unhandled() const { return m_incoming.size(); }

Q_SIGNALS:
    void connected();
    void dataArrival(qint64 bytesTotal);
    // An attempt to connect failed.
    void error(int number, const QString &description);
    // A connection that stood has ended without our closing it: the peer closed it, reset it,
    // or stopped answering. Not after the server refused the client: the refusal says it all.
    void lost(const QString &reason);
    // The server showed a certificate for the first time: to remember for its address.
    void certificateSeen(const QString &fingerprint);
    // The attempt ended: the server showed another certificate than the known one, or (seen
    // empty) offered no encryption at all.
    void certificateRefused(const QString &known, const QString &seen);
    // A server that was taken in clear offered encryption after all: the connection has ended,
    // nothing more went out on it, and the caller connects again.
    void encryptionOffered();
    // The server asks for the group's password and none was set: the connection waits for
    // givePassword() or close().
    void passwordNeeded();

private:
    enum class Phase {
        Closed,
        WaitingForOffer,
        // The client's marker for encryption has gone; the server's is awaited.
        WaitingForTls,
        Handshaking,
        WaitingForPassword,
        Ready,
    };

    void socketConnected();
    void socketFailed();
    void readAvailable();
    void offered(const QStringList &features);
    void startTls(QByteArray &bytes);
    void encrypted();
    void refuseCertificate(const QString &seen, const QString &expected);
    void timedOut();
    // The server offers no encryption; it offered framing, or not.
    void noEncryption(bool framing);
    void failHandshake(const QString &reason);
    void settle();
    void accept();
    void frameQueued();
    void writeNext();
    void scheduleDelivery();
    void deliver();
    void reset();

    struct Outgoing {
        QByteArray bytes;
        bool framed;
    };

    QSslSocket *socket();

    QSslSocket *m_socket = nullptr;
    bool m_wasConnected = false;
    Phase m_phase = Phase::Closed;
    QTimer m_phaseTimer;
    QByteArray m_markerRead;
    QString m_knownCertificate;
    QString m_announced;
    bool m_clearAllowed = false;
    QString m_fingerprint;
    QString m_password;
    bool m_passwordAsked = false;
    bool m_keepOffered = false;
    bool m_filesOffered = false;
    bool m_gavePassword = false;
    // This connection's end has been told.
    bool m_ended = false;
    // The server has refused the client; it closes the connection next.
    bool m_refused = false;

    QQueue<Outgoing> m_outgoing;
    QTimer m_gapTimer;
    QElapsedTimer m_sinceUnframedWrite;
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
