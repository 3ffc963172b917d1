#include "core/session.h"

#include "core/outbox.h"
#include "core/secret_store.h"
#include "protocol/client_socket.h"
#include "protocol/wire.h"
#include "core/settings.h"

#include <QRandomGenerator>

Session::Session(Uplink &uplink, Outbox &outbox, Settings &settings, SecretStore &secrets,
                 QObject *parent)
    : QObject(parent), m_uplink(uplink), m_socket(&uplink.socket()), m_outbox(outbox),
      m_settings(settings), m_secrets(secrets)
{
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &Session::retry);
    connect(m_socket, &ClientSocket::connected, this, &Session::connected);
    connect(m_socket, &ClientSocket::error, this, &Session::failed);
    connect(m_socket, &ClientSocket::lost, this, &Session::lost);
    // Both wait for the user, and must not do so inside the socket's own signals.
    connect(m_socket, &ClientSocket::certificateRefused, this, &Session::certificateRefused,
            Qt::QueuedConnection);
    connect(m_socket, &ClientSocket::certificateSeen, this, [this](const QString &fingerprint) {
        // Encrypted now: clear text agreed to earlier is no longer wanted there.
        m_settings.setCertificate(m_host, fingerprint);
        m_settings.setClearTextAllowed(m_host, false);
    });
    connect(m_socket, &ClientSocket::encryptionOffered, this, &Session::encryptAfterAll,
            Qt::QueuedConnection);
    connect(m_socket, &ClientSocket::passwordNeeded, this, &Session::askPassword,
            Qt::QueuedConnection);
}

Session::~Session() = default;

Session::State Session::state() const
{
    switch (m_step) {
    case Step::Out:
        return State::LoggedOut;
    case Step::In:
        return State::LoggedIn;
    case Step::Waiting:
        return State::Lost;
    case Step::Opening:
    case Step::AwaitingKey:
        // Another try at the same log-in: a reconnection stays one.
        break;
    }
    return m_return == Return::None ? State::Connecting : State::Lost;
}

void Session::move(Step to)
{
    if (std::exchange(m_step, to) != to)
        Q_EMIT stepChanged(to);
}

void Session::logIn(const QString &nickname, const QString &host, const Way &way)
{
    m_way = way;
    m_retryTimer.stop();
    m_return = Return::None;
    move(Step::Opening);
    m_clearOnce = m_encryptOnly = false;
    const quint64 choice = ++m_choices;
    m_token.clear();
    Q_EMIT clearText(false);
    m_nickname = nickname;
    m_uplink.setNickname(nickname);
    if (host != std::exchange(m_host, host))
        m_password.clear();
    Q_EMIT accountChosen(host, nickname);
    // The secret of a run that ended without logging out takes the nickname back from the
    // connection the server may still hold; nothing goes out before the store has answered.
    m_secrets.read(SecretStore::tokenKeys(host, nickname), this,
                   [this, choice](const QString &kept, bool) {
                       if (choice != m_choices)
                           return;
                       m_tokenCertificate = kept.section(u'\n', 0, 0);
                       m_token = kept.section(u'\n', 1);
                       connectTo();
                   });
}

void Session::connectTo()
{
    ++m_connections;
    move(Step::Opening);
    m_keyed = false;
    m_socket->close();
    const QString known = m_settings.certificate(m_host);
    m_socket->setKnownCertificate(known);
    m_socket->setAnnouncedCertificate(m_way.announced);
    m_socket->setClearAllowed(
        !m_encryptOnly && (known.isEmpty() ? m_settings.clearTextAllowed(m_host) : m_clearOnce));
    // The socket would give the last password under any certificate; askPassword() chooses.
    m_socket->setPassword(QString());
    m_socket->connectTo(m_host, wire::ServerPort);
}

void Session::leave()
{
    m_retryTimer.stop();
    const State was = state();
    m_clearOnce = m_encryptOnly = false;
    ++m_choices;
    forgetToken();
    Q_EMIT padlockChanged(QString());
    Q_EMIT clearText(false);
    // An attempt under way ends; a connection that stands is left to the caller, who says
    // goodbye on it.
    if (was == State::Connecting || was == State::Lost)
        m_socket->close();
    m_return = Return::None;
    move(Step::Out);
    m_nextDelay = FirstRetry;
}

void Session::connected()
{
    // Where the server keeps claims, the nickname's key goes with the LOGIN: the one kept for
    // this certificate, or a new one once the store has kept it (a key the server took and the
    // store lost would lock the user out of the nickname). Nothing goes out before.
    if (!m_socket->keeps())
        return sendLogIn(QString());
    const QStringList names = SecretStore::claimKeys(m_socket->fingerprint(), m_nickname);
    const QString name = names.first();
    move(Step::AwaitingKey);
    const auto current = [this, connection = m_connections] {
        return m_step == Step::AwaitingKey && connection == m_connections
            && m_uplink.isConnected();
    };
    const auto makeKey = [this, current, name] {
        const QString made = wire::randomHex(wire::KeyDigits);
        m_secrets.write(name, made, this, [this, current, made](bool written) {
            if (current())
                sendLogIn(written ? made : QString());
        });
    };
    // A code from another desk records a key of this desk's own, whatever the store held.
    if (!m_way.code.isEmpty())
        return makeKey();
    m_secrets.read(names, this, [this, current, makeKey](const QString &kept, bool read) {
        if (!current())
            return;
        // A store that could not be read may well hold the key: a new one written over it
        // would lock the user out of the nickname for good. This log-in goes without.
        if (!kept.isEmpty() || !read)
            return sendLogIn(kept);
        makeKey();
    });
}

void Session::sendLogIn(const QString &key)
{
    m_keyed = !key.isEmpty();
    const Return returned = m_return;
    move(Step::In);
    m_nextDelay = FirstRetry;
    const QString fingerprint = m_socket->fingerprint();
    if (returned != Return::None)
        m_uplink.setNickname(m_nickname);
    m_settings.setLastLogIn(m_nickname, m_host);
    // The code serves once, with the key it records; later connections bring the key alone.
    const QString code = std::exchange(m_way.code, {});
    m_outbox.logIn(m_nickname, fingerprint == m_tokenCertificate ? m_token : QString(), key,
                   key.isEmpty() ? QString() : code, m_way.desk);
    m_passwordRefused = false;
    if (!fingerprint.isEmpty())
        m_encryptOnly = false;
    // What else follows a LOGIN (the own state, the room entered again, the windows) is the
    // client's.
    Q_EMIT loggedIn(m_nickname, fingerprint);
    if (returned == Return::Quiet)
        m_return = Return::Told;
    else if (returned == Return::Told)
        tellWindows(QStringLiteral("<Conexión restablecida>"));
    // Lines a server stopped by force held only in memory are gone, and no mark will come for
    // them: they go again, with the ids the server and the recipient know them by.
    if (m_keyed)
        Q_EMIT keyedLogIn();
}

void Session::failed()
{
    // The server stopped waiting while the user types the password: the answer goes on a new
    // connection, and nothing is retried meanwhile (that would ask again, window on window).
    if (m_asking > 0)
        return;
    if (state() == State::Lost) {
        scheduleRetry();
        Q_EMIT status(QStringLiteral("Conexión perdida; nuevo intento en ")
                      + QString::number((m_retryTimer.interval() + 999) / 1000)
                      + QStringLiteral(" s"));
        return;
    }
    move(Step::Out);
    Q_EMIT status(QStringLiteral("Error al conectar"));
}

void Session::lost()
{
    if (m_step != Step::In) {
        // Gone while the key was read: the attempt failed.
        if (m_step == Step::AwaitingKey) {
            move(Step::Opening);
            failed();
        }
        return;
    }
    if (m_return == Return::None)
        m_return = Return::Told;
    move(Step::Waiting);
    // The logged-out state, but for the menus: "&Abandonar" stops the retrying.
    Q_EMIT status(QStringLiteral("Conexión perdida"));
    Q_EMIT loggedOut(true);
    tellWindows(QStringLiteral("<Conexión perdida>"));
    scheduleRetry();
}

void Session::retry()
{
    Q_EMIT status(QStringLiteral("Reconectando..."));
    connectTo();
}

void Session::setToken(const QString &token)
{
    m_token = token;
    m_tokenCertificate = m_socket->fingerprint();
    // Kept with its certificate for a run after this one, should this one end without leaving.
    if (token.isEmpty())
        return forgetToken();
    m_secrets.write(SecretStore::tokenKeys(m_host, m_nickname).first(),
                    m_tokenCertificate + u'\n' + token);
}

void Session::forgetToken()
{
    m_token.clear();
    // Under every name: one an earlier version left would bring the secret back.
    if (!m_nickname.isEmpty()) {
        for (const QString &name : SecretStore::tokenKeys(m_host, m_nickname))
            m_secrets.write(name, QString());
    }
}

void Session::refused(const QString &reason, const QString &text)
{
    const State was = state();
    move(Step::Out);
    m_retryTimer.stop();
    m_nextDelay = FirstRetry;
    // The server read no LOGIN after refusing the password: the secret still holds.
    if (reason == wire::RefusedNickname)
        forgetToken();
    const bool gavePassword = m_socket->gavePassword();
    m_socket->close();
    if (reason == wire::RefusedPassword && gavePassword && was != State::LoggedOut) {
        // Asked again at once, saying why.
        m_password.clear();
        m_secrets.write(SecretStore::passwordKey(m_host, m_passwordCertificate), QString());
        m_passwordRefused = true;
        connectTo();
        return;
    }
    showLoggedOut(QStringLiteral("Entrada rechazada"));
    Q_EMIT boxWanted(QStringLiteral("KORVEX Mensajero"),
                     QStringLiteral("El servidor no te dejó entrar.\n\n") + text,
                     BoxKind::Warning);
}

void Session::taken(const QString &text)
{
    // The server closes the connection once this has left; the secret is another desk's now.
    leave();
    m_socket->close();
    m_uplink.setNickname(QString());
    showLoggedOut(text);
    Q_EMIT boxWanted(QStringLiteral("KORVEX Mensajero"), text, BoxKind::Information);
}

void Session::certificateRefused(const QString &known, const QString &seen)
{
    move(Step::Out);
    m_retryTimer.stop();
    m_knownCertificate = known;
    m_seenCertificate = seen;
    if (m_uplink.isInstant())
        answerCertificate(m_choices, false);
    else
        Q_EMIT certificateQuestion(m_choices, m_host, known, seen);
}

void Session::answerCertificate(quint64 question, bool accepted)
{
    // The user may have done something else meanwhile, such as logging in anew or leaving.
    if (m_choices != question)
        return;
    const bool neverEncrypted = m_knownCertificate.isEmpty() && m_seenCertificate.isEmpty();
    if (accepted) {
        // In clear: remembered for a server that never encrypted; once for one that did, whose
        // certificate stays the one expected.
        // The certificate accepted stands in for the one announced.
        m_way.announced.clear();
        if (!m_seenCertificate.isEmpty())
            m_settings.setCertificate(m_host, m_seenCertificate);
        else if (neverEncrypted)
            m_settings.setClearTextAllowed(m_host, true);
        else
            m_clearOnce = true;
        if (m_seenCertificate.isEmpty())
            m_encryptOnly = false;
        connectTo();
        return;
    }
    m_nextDelay = FirstRetry;
    showLoggedOut(neverEncrypted ? QStringLiteral("Conexión sin cifrar rechazada")
                                 : QStringLiteral("Certificado del servidor rechazado"));
}

void Session::encryptAfterAll()
{
    // The user may have left meanwhile.
    if (m_step == Step::Out)
        return;
    m_encryptOnly = true;
    if (m_step == Step::In) {
        m_return = Return::Quiet;
        move(Step::Opening);
        Q_EMIT loggedOut(true);
    }
    Q_EMIT status(QStringLiteral("Reconectando..."));
    connectTo();
}

void Session::askPassword()
{
    // A password goes only under the certificate it was given under: after the user accepts
    // another one it is asked again, and nothing is sent before the answer.
    const QString certificate = m_socket->fingerprint();
    if (!m_password.isEmpty() && m_passwordCertificate == certificate) {
        m_socket->givePassword(m_password);
        return;
    }
    m_secrets.read(
        SecretStore::passwordKey(m_host, certificate), this,
        [this, choice = m_choices, certificate](const QString &remembered) {
            // Gone meanwhile: whatever ended the connection has said so.
            if (choice != m_choices || m_step == Step::Out || m_step == Step::In
                || m_socket->fingerprint() != certificate)
                return;
            if (remembered.isEmpty()) {
                askUser(certificate);
                return;
            }
            m_password = remembered;
            m_passwordCertificate = certificate;
            m_socket->givePassword(m_password);
        });
}

void Session::askUser(const QString &certificate)
{
    ++m_asking;
    m_askedCertificate = certificate;
    // A harness that answers nothing cancels.
    if (m_uplink.isInstant())
        answerPassword(m_choices, false, QString(), false);
    else
        Q_EMIT passwordQuestion(m_choices, m_host, std::exchange(m_passwordRefused, false));
}

void Session::answerPassword(quint64 question, bool given, const QString &password, bool remember)
{
    m_asking = std::max(0, m_asking - 1);
    // An attempt the user began meanwhile asks for its own.
    if (question != m_choices || m_step == Step::Out || m_step == Step::In)
        return;
    if (!given) {
        move(Step::Out);
        m_retryTimer.stop();
        m_socket->close();
        showLoggedOut(QStringLiteral("Entrada cancelada"));
        return;
    }
    m_password = password;
    m_passwordCertificate = m_askedCertificate;
    if (remember)
        m_secrets.write(SecretStore::passwordKey(m_host, m_passwordCertificate), password);
    // A connection under another certificate, or none (the server stopped waiting): a new one,
    // which gets the password only under the same certificate.
    if (m_socket->fingerprint() != m_passwordCertificate || !m_socket->givePassword(m_password))
        connectTo();
}

void Session::showLoggedOut(const QString &text)
{
    Q_EMIT status(text);
    Q_EMIT loggedOut(false);
    Q_EMIT loginWanted(true);
}

void Session::scheduleRetry()
{
    // Somewhere from three quarters to five quarters of the delay.
    move(Step::Waiting);
    const double jitter = 0.75 + QRandomGenerator::global()->generateDouble() / 2;
    m_retryTimer.start(std::chrono::milliseconds(qint64(double(m_nextDelay.count()) * jitter)));
    m_nextDelay = std::min<std::chrono::milliseconds>(m_nextDelay * 2, LastRetry);
}

void Session::tellWindows(const QString &notice)
{
    Q_EMIT windowsTold(notice);
}
