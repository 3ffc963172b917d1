#include "protocol/client_socket.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslSocket>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

// A peer that vanished (cable pulled, machine gone) is noticed within about a minute: probes
// after 20 s of silence, 5 s apart, 4 unanswered; data unacknowledged for 45 s ends it too.
void detectDeadPeers(QTcpSocket *socket)
{
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const int fd = int(socket->socketDescriptor());
    for (const auto &[option, value] : {std::pair{TCP_KEEPIDLE, 20}, {TCP_KEEPINTVL, 5},
                                       {TCP_KEEPCNT, 4}, {TCP_USER_TIMEOUT, 45'000}})
        ::setsockopt(fd, IPPROTO_TCP, option, &value, sizeof value);
}

} // namespace

MarkerRead encryptAfterMarker(QSslSocket &socket, const QByteArray &read)
{
    const QByteArray marker = wire::marker(wire::Accepted, true);
    if (read.size() < marker.size() && marker.startsWith(read))
        return MarkerRead::Partial;
    if (read != marker)
        return MarkerRead::Unexpected;
    QSslConfiguration tls = socket.sslConfiguration();
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    // The certificate is signed by itself: it is checked against the one remembered for the
    // address instead, once the handshake is done and before anything is sent.
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket.setSslConfiguration(tls);
    socket.startClientEncryption();
    return MarkerRead::Encrypting;
}

QString certificateFingerprint(const QSslCertificate &certificate)
{
    return QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex(':').toUpper());
}

namespace {

// Announced digits are lowercase and without colons; shown, they look like the fingerprint they
// begin ("3F:A0:…").
bool fingerprintBegins(const QString &fingerprint, const QString &digits)
{
    return QString(fingerprint).remove(u':').toLower().startsWith(digits);
}

QString announcedFingerprint(const QString &digits)
{
    QString shown;
    for (qsizetype i = 0; i < digits.size(); i += 2)
        shown += digits.mid(i, 2).toUpper() + u':';
    return shown + u'…';
}

} // namespace

ClientSocket::ClientSocket(QObject *parent) : QObject(parent)
{
    m_gapTimer.setSingleShot(true);
    m_gapTimer.setTimerType(Qt::PreciseTimer);
    m_phaseTimer.setSingleShot(true);
    connect(&m_gapTimer, &QTimer::timeout, this, &ClientSocket::writeNext);
    connect(&m_phaseTimer, &QTimer::timeout, this, &ClientSocket::timedOut);
}

ClientSocket::~ClientSocket() = default;

QSslSocket *ClientSocket::socket()
{
    // Made at the first connection: a QSslSocket loads the TLS back end and its configuration
    // (80 ms of a start-up before the first window, and its libraries' memory).
    if (!m_socket) {
        m_socket = new QSslSocket(this);
        connect(m_socket, &QSslSocket::connected, this, &ClientSocket::socketConnected);
        connect(m_socket, &QSslSocket::readyRead, this, &ClientSocket::readAvailable);
        connect(m_socket, &QSslSocket::errorOccurred, this, &ClientSocket::socketFailed);
        connect(m_socket, &QSslSocket::encrypted, this, &ClientSocket::encrypted);
    }
    return m_socket;
}

int ClientSocket::state() const
{
    switch (m_socket ? m_socket->state() : QAbstractSocket::UnconnectedState) {
    case QAbstractSocket::HostLookupState:
        return ResolvingHost;
    case QAbstractSocket::ConnectingState:
        return Connecting;
    case QAbstractSocket::ConnectedState:
        // Settling is still connecting: nothing may be sent yet.
        return m_phase == Phase::Ready ? Connected : Connecting;
    case QAbstractSocket::ClosingState:
        return Closing;
    default:
        return Closed;
    }
}

void ClientSocket::close()
{
    // Only a settled connection sends what waits: before that, it might go in clear.
    if (m_phase == Phase::Ready) {
        for (const Outgoing &message : std::as_const(m_outgoing))
            m_socket->write(message.bytes);
        m_socket->flush();
    }
    reset();
    // At once, so that a connect right after it starts from a clean state.
    if (m_socket)
        m_socket->abort();
}

void ClientSocket::connectTo(const QString &host, quint16 port)
{
    m_gavePassword = false;
    m_ended = false;
    socket()->connectToHost(host, port);
}

void ClientSocket::sendData(const QString &text)
{
    QByteArray bytes = wire::toCodePage(text);
    if (m_framedOut)
        bytes += wire::Terminator;
    m_outgoing.enqueue({bytes, m_framedOut});
    writeNext();
}

bool ClientSocket::givePassword(const QString &password)
{
    if (m_phase != Phase::WaitingForPassword)
        return false;
    m_password = password;
    m_gavePassword = true;
    m_outgoing.prepend(
        {wire::toCodePage(wire::buildMessage(wire::Password, {password})) + wire::Terminator,
         true});
    settle();
    return true;
}

QString ClientSocket::getData()
{
    return wire::fromCodePage(std::exchange(m_current, {}));
}

QString ClientSocket::takeNext(QStringView command)
{
    if (!m_framedIn || m_incoming.isEmpty()
        || wire::Message(wire::fromCodePage(m_incoming.head())).command() != command)
        return QString();
    return wire::fromCodePage(m_incoming.dequeue());
}

QString ClientSocket::localIP() const
{
    const auto addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            return address.toString();
    }
    return QHostAddress(QHostAddress::LocalHost).toString();
}

void ClientSocket::socketConnected()
{
    // Each message its own segment, at once.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    detectDeadPeers(m_socket);
    m_phase = Phase::WaitingForOffer;
    m_phaseTimer.start(m_clearAllowed && m_knownCertificate.isEmpty() ? ClearOfferWait
                                                                       : OfferWait);
}

void ClientSocket::timedOut()
{
    if (m_phase == Phase::WaitingForOffer) {
        noEncryption(false);
        return;
    }
    // The server took the marker and never completed the handshake.
    failHandshake(QStringLiteral("El servidor no completó el cifrado"));
}

void ClientSocket::failHandshake(const QString &reason)
{
    reset();
    m_socket->abort();
    Q_EMIT error(int(QAbstractSocket::SslHandshakeFailedError), reason);
}

void ClientSocket::socketFailed()
{
    // An encrypted socket closed by its peer reports it twice; one end is one end.
    if (std::exchange(m_ended, true))
        return;
    const bool wasConnected = std::exchange(m_wasConnected, false);
    const bool refused = m_refused;
    const QString reason = m_socket->errorString();
    const int number = int(m_socket->error());
    // What was read before the end is still handled.
    const QQueue<QByteArray> incoming = std::exchange(m_incoming, {});
    reset();
    m_incoming = incoming;
    scheduleDelivery();
    if (refused)
        return;
    if (wasConnected)
        Q_EMIT lost(reason);
    else
        Q_EMIT error(number, reason);
}

void ClientSocket::readAvailable()
{
    read(m_socket->readAll());
}

void ClientSocket::read(QByteArray bytes)
{
    if (m_phase == Phase::WaitingForTls) {
        startTls(bytes);
        return;
    }
    if (!m_framedIn && m_framedOut) {
        // Before the server's marker, a read is one message, as with any server.
        const qsizetype at = bytes.indexOf(wire::marker(wire::Accepted));
        if (at >= 0) {
            if (at > 0)
                m_incoming.enqueue(bytes.first(at));
            bytes.remove(0, at + wire::marker(wire::Accepted).size());
            m_framedIn = true;
        }
    }
    if (m_framedIn) {
        static const QByteArray refusal =
            wire::toCodePage(QString(wire::Refused + wire::FieldSeparator));
        for (const QByteArray &message : m_frames.feed(bytes)) {
            m_refused = m_refused || message.startsWith(refusal);
            m_incoming.enqueue(message);
        }
    } else if (!bytes.isEmpty()) {
        const QStringList fields = wire::fromCodePage(bytes).split(wire::FieldSeparator);
        if (fields.first() == wire::Offer) {
            offered(fields);
        } else {
            m_incoming.enqueue(bytes);
            // A server that speaks first offers nothing.
            if (m_phase == Phase::WaitingForOffer)
                timedOut();
        }
    }
    scheduleDelivery();
}

void ClientSocket::offered(const QStringList &features)
{
    const bool framing = features.contains(wire::Framing);
    const bool tls = framing && features.contains(wire::Tls) && QSslSocket::supportsSsl();
    if (m_phase != Phase::WaitingForOffer) {
        // Taken for a plain server, it offers encryption after all: nothing more goes out in
        // clear, and the caller connects again, encrypted.
        if (tls && m_phase == Phase::Ready && m_fingerprint.isEmpty()) {
            reset();
            m_socket->abort();
            Q_EMIT encryptionOffered();
        } else if (framing) {
            accept();
        }
        return;
    }
    if (tls) {
        m_passwordAsked = features.contains(wire::PasswordFeature);
        m_keepOffered = features.contains(wire::KeepFeature);
        m_filesOffered = features.contains(wire::FilesFeature);
        m_sentBytes += m_socket->write(wire::marker(wire::Accept, true));
        m_phase = Phase::WaitingForTls;
        m_phaseTimer.start(HandshakeWait);
        return;
    }
    noEncryption(framing);
}

void ClientSocket::noEncryption(bool framing)
{
    if (!m_clearAllowed) {
        refuseCertificate(QString(), m_knownCertificate);
        return;
    }
    if (framing)
        accept();
    settle();
}

void ClientSocket::startTls(QByteArray &bytes)
{
    // The server sends nothing between its marker and the handshake.
    m_markerRead += bytes;
    switch (encryptAfterMarker(*m_socket, m_markerRead)) {
    case MarkerRead::Partial:
        return;
    case MarkerRead::Unexpected:
        return failHandshake(QStringLiteral("Respuesta inesperada del servidor"));
    case MarkerRead::Encrypting:
        m_phase = Phase::Handshaking;
    }
}

void ClientSocket::encrypted()
{
    m_phaseTimer.stop();
    const QString seen = certificateFingerprint(m_socket->peerCertificate());
    if (!m_knownCertificate.isEmpty() && seen != m_knownCertificate) {
        refuseCertificate(seen, m_knownCertificate);
        return;
    }
    // Chosen from the servers on the network: the one there must be the one announced, whatever
    // was known of the address.
    if (!m_announced.isEmpty() && !fingerprintBegins(seen, m_announced)) {
        refuseCertificate(seen, announcedFingerprint(m_announced));
        return;
    }
    m_fingerprint = seen;
    if (m_knownCertificate.isEmpty()) {
        m_knownCertificate = seen;
        Q_EMIT certificateSeen(seen);
    }
    m_framedOut = m_framedIn = true;
    frameQueued();
    if (!m_passwordAsked) {
        settle();
        return;
    }
    m_phase = Phase::WaitingForPassword;
    if (m_password.isEmpty())
        Q_EMIT passwordNeeded();
    else
        givePassword(m_password);
}

void ClientSocket::refuseCertificate(const QString &seen, const QString &expected)
{
    const QString known = expected;
    reset();
    m_socket->abort();
    Q_EMIT certificateRefused(known, seen);
}

void ClientSocket::settle()
{
    m_phaseTimer.stop();
    m_phase = Phase::Ready;
    m_wasConnected = true;
    Q_EMIT connected();
    writeNext();
}

void ClientSocket::accept()
{
    if (m_framedOut)
        return;
    m_framedOut = true;
    frameQueued();
    m_outgoing.prepend({wire::marker(wire::Accept), true});
    m_gapTimer.stop();
    writeNext();
}

void ClientSocket::frameQueued()
{
    // What waits has not left yet: it goes framed.
    for (Outgoing &message : m_outgoing) {
        if (!std::exchange(message.framed, true))
            message.bytes += wire::Terminator;
    }
}

void ClientSocket::writeNext()
{
    if (m_phase != Phase::Ready)
        return;
    while (!m_outgoing.isEmpty() && !m_gapTimer.isActive()) {
        if (!m_outgoing.head().framed && m_sinceUnframedWrite.isValid()) {
            const auto waited = std::chrono::nanoseconds(m_sinceUnframedWrite.nsecsElapsed());
            if (waited < WriteGap) {
                m_gapTimer.start(std::chrono::ceil<std::chrono::milliseconds>(WriteGap - waited));
                return;
            }
        }
        const Outgoing message = m_outgoing.dequeue();
        m_sentBytes += m_socket->write(message.bytes);
        if (message.framed)
            m_sinceUnframedWrite.invalidate();
        else
            m_sinceUnframedWrite.start();
    }
}

void ClientSocket::scheduleDelivery()
{
    if (m_deliveryPosted || m_incoming.isEmpty())
        return;
    m_deliveryPosted = true;
    QMetaObject::invokeMethod(this, &ClientSocket::deliver, Qt::QueuedConnection);
}

void ClientSocket::deliver()
{
    m_deliveryPosted = false;
    if (m_incoming.isEmpty())
        return;
    if (m_nesting >= MaxNesting) {
        m_deliveryDeferred = true;
        return;
    }
    m_current = m_incoming.dequeue();
    // The next one is handled after this one, or nested inside it if this one pauses.
    scheduleDelivery();
    QPointer<ClientSocket> self(this);
    ++m_nesting;
    Q_EMIT dataArrival(m_current.size());
    // The socket may have gone with the program while the handler ran.
    if (!self)
        return;
    --m_nesting;
    if (std::exchange(m_deliveryDeferred, false))
        scheduleDelivery();
}

void ClientSocket::reset()
{
    // Whatever the socket still reports of this connection is over and done with.
    m_ended = true;
    m_wasConnected = false;
    m_phase = Phase::Closed;
    m_phaseTimer.stop();
    m_markerRead.clear();
    m_fingerprint.clear();
    m_passwordAsked = false;
    m_keepOffered = false;
    m_filesOffered = false;
    m_refused = false;
    m_outgoing.clear();
    m_sentBytes = 0;
    m_gapTimer.stop();
    m_sinceUnframedWrite.invalidate();
    m_framedOut = false;
    m_framedIn = false;
    m_frames = wire::FrameReader(MaxMessage);
    m_incoming.clear();
}
