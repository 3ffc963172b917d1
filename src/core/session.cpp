#include "core/session.h"

#include "core/availability.h"
#include "core/client.h"
#include "core/conversations.h"
#include "core/history_store.h"
#include "core/outbox.h"
#include "core/secret_store.h"
#include "core/user_list.h"
#include "protocol/client_socket.h"
#include "protocol/wire.h"
#include "core/settings.h"

#include <QRandomGenerator>

Session::Session(Client &client) : m_client(client), m_socket(new ClientSocket(this))
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
        m_client.settings().setCertificate(m_host, fingerprint);
        m_client.settings().setClearTextAllowed(m_host, false);
    });
    connect(m_socket, &ClientSocket::encryptionOffered, this, &Session::encryptAfterAll,
            Qt::QueuedConnection);
    connect(m_socket, &ClientSocket::passwordNeeded, this, &Session::askPassword,
            Qt::QueuedConnection);
}

Session::~Session() = default;

void Session::logIn(const QString &nickname, const QString &host)
{
    m_retryTimer.stop();
    m_state = State::Connecting;
    m_retrying = false;
    m_clearOnce = m_encryptOnly = m_quietReturn = false;
    const quint64 choice = ++m_choices;
    m_token.clear();
    m_client.setClearText(false);
    m_nickname = nickname;
    m_client.setNickname(nickname);
    if (host != std::exchange(m_host, host))
        m_password.clear();
    m_client.history().setAccount(host, nickname);
    // The secret of a run that ended without logging out takes the nickname back from the
    // connection the server may still hold; nothing goes out before the store has answered.
    m_client.secrets().read(SecretStore::tokenKeys(host, nickname), this,
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
    m_awaitingKey = m_keyed = false;
    m_socket->close();
    Settings &settings = m_client.settings();
    const QString known = settings.certificate(m_host);
    m_socket->setKnownCertificate(known);
    m_socket->setClearAllowed(
        !m_encryptOnly && (known.isEmpty() ? settings.clearTextAllowed(m_host) : m_clearOnce));
    // The socket would give the last password under any certificate; askPassword() chooses.
    m_socket->setPassword(QString());
    m_socket->connectTo(m_host, wire::ServerPort);
}

void Session::leave()
{
    m_retryTimer.stop();
    m_retrying = false;
    m_clearOnce = m_encryptOnly = m_quietReturn = false;
    ++m_choices;
    m_awaitingKey = false;
    forgetToken();
    Q_EMIT m_client.padlockChanged(QString());
    m_client.setClearText(false);
    // An attempt under way ends; a connection that stands is left to the caller, who says
    // goodbye on it.
    if (m_state == State::Connecting || m_state == State::Lost)
        m_socket->close();
    m_state = State::LoggedOut;
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
    m_awaitingKey = true;
    const auto current = [this, connection = m_connections] {
        return m_awaitingKey && connection == m_connections
            && m_socket->state() == ClientSocket::Connected;
    };
    m_client.secrets().read(names, this, [this, current, name](const QString &kept, bool read) {
        if (!current())
            return;
        // A store that could not be read may well hold the key: a new one written over it
        // would lock the user out of the nickname for good. This log-in goes without.
        if (!kept.isEmpty() || !read)
            return sendLogIn(kept);
        const QString made = wire::randomHex(wire::KeyDigits);
        m_client.secrets().write(name, made, this, [this, current, made](bool written) {
            if (current())
                sendLogIn(written ? made : QString());
        });
    });
}

void Session::sendLogIn(const QString &key)
{
    m_awaitingKey = false;
    m_keyed = !key.isEmpty();
    const bool reconnected = m_retrying;
    m_state = State::LoggedIn;
    m_nextDelay = FirstRetry;
    if (reconnected)
        m_client.setNickname(m_nickname);
    m_client.settings().setLastLogIn(m_nickname, m_host);
    m_client.outbox().logIn(m_nickname,
                            m_socket->fingerprint() == m_tokenCertificate ? m_token : QString(),
                            key);
    m_client.availability().loggedIn();
    m_passwordRefused = false;
    Q_EMIT m_client.loginWanted(false);
    m_client.SetStatus(QStringLiteral("Logged In"));
    m_client.users().clear();
    m_client.users().addRoot(m_nickname);
    Q_EMIT m_client.captionChanged(m_nickname);
    Q_EMIT m_client.sessionMenusChanged(false, true);
    Q_EMIT m_client.padlockChanged(m_socket->fingerprint());
    m_client.setClearText(m_socket->fingerprint().isEmpty());
    if (!m_socket->fingerprint().isEmpty())
        m_encryptOnly = false;
    // A room still open, from before a loss or a log-out, is entered again: its lines would
    // otherwise go nowhere.
    if (m_client.isRoomShown())
        m_client.outbox().enterRoom();
    if (reconnected && !std::exchange(m_quietReturn, false))
        tellWindows(QStringLiteral("<Conexión restablecida>"));
    // Lines a server stopped by force held only in memory are gone, and no mark will come for
    // them: they go again, with the ids the server and the recipient know them by.
    if (m_keyed)
        m_client.conversations().sendAgain();
}

void Session::failed()
{
    // The server stopped waiting while the user types the password: the answer goes on a new
    // connection, and nothing is retried meanwhile (that would ask again, window on window).
    if (m_asking > 0)
        return;
    if (m_state == State::Lost) {
        scheduleRetry();
        m_client.SetStatus(QStringLiteral("Conexión perdida; nuevo intento en ")
                           + QString::number((m_retryTimer.interval() + 999) / 1000)
                           + QStringLiteral(" s"));
        return;
    }
    m_state = State::LoggedOut;
    m_client.SetStatus(QStringLiteral("Error al conectar"));
}

void Session::lost()
{
    if (m_state != State::LoggedIn) {
        // Gone while the key was read: the attempt failed.
        if (std::exchange(m_awaitingKey, false))
            failed();
        return;
    }
    m_state = State::Lost;
    m_retrying = true;
    // The logged-out state, but for the menus: "&Abandonar" stops the retrying.
    m_client.SetStatus(QStringLiteral("Conexión perdida"));
    m_client.showLoggedOut(true);
    tellWindows(QStringLiteral("<Conexión perdida>"));
    scheduleRetry();
}

void Session::retry()
{
    m_client.SetStatus(QStringLiteral("Reconectando..."));
    connectTo();
}

void Session::setToken(const QString &token)
{
    m_token = token;
    m_tokenCertificate = m_socket->fingerprint();
    // Kept with its certificate for a run after this one, should this one end without leaving.
    if (token.isEmpty())
        return forgetToken();
    m_client.secrets().write(SecretStore::tokenKeys(m_host, m_nickname).first(),
                             m_tokenCertificate + u'\n' + token);
}

void Session::forgetToken()
{
    m_token.clear();
    // Under every name: one an earlier version left would bring the secret back.
    if (!m_nickname.isEmpty()) {
        for (const QString &name : SecretStore::tokenKeys(m_host, m_nickname))
            m_client.secrets().write(name, QString());
    }
}

void Session::refused(const QString &reason, const QString &text)
{
    const State was = std::exchange(m_state, State::LoggedOut);
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
        m_client.secrets().write(SecretStore::passwordKey(m_host, m_passwordCertificate), QString());
        m_passwordRefused = true;
        m_state = attemptState();
        connectTo();
        return;
    }
    showLoggedOut(QStringLiteral("Entrada rechazada"));
    m_client.showBox(QStringLiteral("KORVEX Mensajero"),
                     QStringLiteral("El servidor no te dejó entrar.\n\n") + text,
                     Client::BoxKind::Warning);
}

void Session::certificateRefused(const QString &known, const QString &seen)
{
    m_state = State::LoggedOut;
    m_retryTimer.stop();
    m_knownCertificate = known;
    m_seenCertificate = seen;
    if (m_client.isInstant())
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
        if (!m_seenCertificate.isEmpty())
            m_client.settings().setCertificate(m_host, m_seenCertificate);
        else if (neverEncrypted)
            m_client.settings().setClearTextAllowed(m_host, true);
        else
            m_clearOnce = true;
        if (m_seenCertificate.isEmpty())
            m_encryptOnly = false;
        m_state = attemptState();
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
    if (m_state == State::LoggedOut)
        return;
    m_encryptOnly = true;
    if (m_state == State::LoggedIn) {
        m_state = State::Lost;
        m_retrying = true;
        m_quietReturn = true;
        m_client.showLoggedOut(true);
    }
    m_client.SetStatus(QStringLiteral("Reconectando..."));
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
    m_client.secrets().read(
        SecretStore::passwordKey(m_host, certificate), this,
        [this, choice = m_choices, certificate](const QString &remembered) {
            // Gone meanwhile: whatever ended the connection has said so.
            if (choice != m_choices || m_state == State::LoggedOut || m_state == State::LoggedIn
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
    if (m_client.isInstant())
        answerPassword(m_choices, false, QString(), false);
    else
        Q_EMIT passwordQuestion(m_choices, m_host, std::exchange(m_passwordRefused, false));
}

void Session::answerPassword(quint64 question, bool given, const QString &password, bool remember)
{
    m_asking = std::max(0, m_asking - 1);
    // An attempt the user began meanwhile asks for its own.
    if (question != m_choices || m_state == State::LoggedOut || m_state == State::LoggedIn)
        return;
    if (!given) {
        m_state = State::LoggedOut;
        m_retryTimer.stop();
        m_socket->close();
        showLoggedOut(QStringLiteral("Entrada cancelada"));
        return;
    }
    m_password = password;
    m_passwordCertificate = m_askedCertificate;
    if (remember)
        m_client.secrets().write(SecretStore::passwordKey(m_host, m_passwordCertificate), password);
    // A connection under another certificate, or none (the server stopped waiting): a new one,
    // which gets the password only under the same certificate.
    if (m_socket->fingerprint() != m_passwordCertificate || !m_socket->givePassword(m_password))
        connectTo();
}

void Session::showLoggedOut(const QString &status)
{
    m_client.SetStatus(status);
    m_client.showLoggedOut(false);
    Q_EMIT m_client.loginWanted(true);
}

void Session::scheduleRetry()
{
    // Somewhere from three quarters to five quarters of the delay.
    const double jitter = 0.75 + QRandomGenerator::global()->generateDouble() / 2;
    m_retryTimer.start(std::chrono::milliseconds(qint64(double(m_nextDelay.count()) * jitter)));
    m_nextDelay = std::min<std::chrono::milliseconds>(m_nextDelay * 2, LastRetry);
}

void Session::tellWindows(const QString &notice)
{
    m_client.conversations().tellAll(notice);
}
