#include "session.h"

#include "conversations/chat.h"
#include "conversations/pm.h"
#include "aux_windows/password.h"
#include "layouts/plain_text.h"
#include "main_window/login.h"
#include "main_window/mess.h"
#include "main_window/user_tree.h"
#include "program.h"
#include "protocol/client_socket.h"
#include "protocol/wire.h"
#include "settings.h"

#include <QRandomGenerator>

Session::Session(Program &program) : m_program(program), m_socket(new ClientSocket(this))
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
        m_program.settings().setCertificate(m_host, fingerprint);
    });
    connect(m_socket, &ClientSocket::passwordNeeded, this, &Session::askPassword,
            Qt::QueuedConnection);
}

Session::~Session() = default;

void Session::logIn()
{
    m_retryTimer.stop();
    m_state = State::Connecting;
    m_retrying = false;
    ++m_choices;
    m_token.clear();
    const QString host = m_program.login()->host();
    if (host != std::exchange(m_host, host))
        m_password.clear();
    connectTo();
}

void Session::connectTo()
{
    m_socket->close();
    Settings &settings = m_program.settings();
    m_socket->setKnownCertificate(settings.certificate(m_host));
    m_socket->setPassword(m_password.isEmpty() ? settings.password(m_host) : m_password);
    m_socket->connectTo(m_host, wire::ServerPort);
}

void Session::leave()
{
    m_retryTimer.stop();
    m_retrying = false;
    ++m_choices;
    m_token.clear();
    m_program.mess()->setPadlock(QString());
    // An attempt under way ends; a connection that stands is left to the caller, who says
    // goodbye on it.
    if (m_state == State::Connecting || m_state == State::Lost)
        m_socket->close();
    m_state = State::LoggedOut;
    m_nextDelay = FirstRetry;
}

void Session::connected()
{
    const bool reconnected = m_retrying;
    m_state = State::LoggedIn;
    m_nextDelay = FirstRetry;
    Login *login = m_program.login();
    if (reconnected)
        login->setNickname(m_nickname);
    m_nickname = login->nickname();
    m_program.settings().setLastLogIn(m_nickname, m_host);
    m_program.SendCommand(reconnected && !m_token.isEmpty()
                                  && m_socket->fingerprint() == m_tokenCertificate
                              ? wire::buildMessage(u"LOGIN", {m_nickname, m_token})
                              : wire::buildMessage(u"LOGIN", {m_nickname}));
    m_passwordRefused = false;
    login->hide();
    m_program.SetStatus(QStringLiteral("Logged In"));
    Mess *mess = m_program.mess();
    mess->userTree()->clear();
    mess->userTree()->addRoot(m_nickname);
    mess->setCaption(m_nickname);
    mess->setSessionMenus(false, true);
    mess->setPadlock(m_socket->fingerprint());
    // A room still open, from before a loss or a log-out, is entered again: its lines would
    // otherwise go nowhere.
    if (Chat *room = m_program.existingChat(); room && room->isVisible())
        m_program.SendCommand(wire::buildMessage(u"ENTER", {m_nickname}));
    if (reconnected)
        tellWindows(QStringLiteral("<Conexión restablecida>"));
}

void Session::failed()
{
    // The server stopped waiting while the user types the password: the answer goes on a new
    // connection, and nothing is retried meanwhile (that would ask again, window on window).
    if (m_asking > 0)
        return;
    if (m_state == State::Lost) {
        scheduleRetry();
        m_program.SetStatus(QStringLiteral("Conexión perdida; nuevo intento en ")
                            + QString::number((m_retryTimer.interval() + 999) / 1000)
                            + QStringLiteral(" s"));
        return;
    }
    m_state = State::LoggedOut;
    m_program.SetStatus(QStringLiteral("Error al conectar"));
}

void Session::lost()
{
    if (m_state != State::LoggedIn)
        return;
    m_state = State::Lost;
    m_retrying = true;
    // The logged-out state, but for the menus: "&Abandonar" stops the retrying.
    m_program.SetStatus(QStringLiteral("Conexión perdida"));
    m_program.mess()->showLoggedOut(true);
    tellWindows(QStringLiteral("<Conexión perdida>"));
    scheduleRetry();
}

void Session::retry()
{
    m_program.SetStatus(QStringLiteral("Reconectando..."));
    connectTo();
}

void Session::setToken(const QString &token)
{
    m_token = token;
    m_tokenCertificate = m_socket->fingerprint();
}

void Session::refused(const QString &reason, const QString &text)
{
    const State was = std::exchange(m_state, State::LoggedOut);
    m_retryTimer.stop();
    m_nextDelay = FirstRetry;
    // The server read no LOGIN after refusing the password: the secret still holds.
    if (reason == wire::RefusedNickname)
        m_token.clear();
    const bool gavePassword = m_socket->gavePassword();
    m_socket->close();
    if (reason == wire::RefusedPassword && gavePassword && was != State::LoggedOut) {
        // Asked again at once, saying why.
        m_password.clear();
        m_program.settings().setPassword(m_host, QString());
        m_passwordRefused = true;
        m_state = attemptState();
        connectTo();
        return;
    }
    showLoggedOut(QStringLiteral("Entrada rechazada"));
    m_program.showBox(QStringLiteral("KORVEX Mensajero"),
                      QStringLiteral("El servidor no te dejó entrar.\n\n") + text,
                      QMessageBox::Warning);
}

void Session::certificateRefused(const QString &known, const QString &seen)
{
    m_state = State::LoggedOut;
    m_retryTimer.stop();
    const quint64 choices = m_choices;
    const QString warning =
        QStringLiteral("\n\nSi el administrador del servidor no lo ha cambiado, alguien podría "
                       "estar interceptando la conexión. No se ha enviado nada.");
    const bool accepted = !m_program.isInstant() && (seen.isEmpty()
        ? plain::ask(nullptr, QStringLiteral("Conexión sin cifrar"),
                     QStringLiteral("El servidor ") + m_host
                         + QStringLiteral(" ya no cifra la conexión. Antes la cifraba con el "
                                          "certificado de huella SHA-256:\n")
                         + known + warning + QStringLiteral("\n\n¿Conectar sin cifrar?"),
                     QStringLiteral("Conectar sin cifrar"), QStringLiteral("Cancelar"))
        : plain::ask(nullptr, QStringLiteral("Certificado del servidor cambiado"),
                     QStringLiteral("El certificado del servidor ") + m_host
                         + QStringLiteral(" ha cambiado.\n\nHuella SHA-256 conocida:\n") + known
                         + QStringLiteral("\n\nHuella SHA-256 nueva:\n") + seen + warning
                         + QStringLiteral("\n\n¿Aceptar el certificado nuevo?"),
                     QStringLiteral("Aceptar el certificado nuevo"), QStringLiteral("Rechazar")));
    // The user may have done something else meanwhile, such as logging in anew or leaving.
    if (m_choices != choices)
        return;
    if (accepted) {
        m_program.settings().setCertificate(m_host, seen);
        m_state = attemptState();
        connectTo();
        return;
    }
    m_nextDelay = FirstRetry;
    showLoggedOut(QStringLiteral("Certificado del servidor rechazado"));
}

void Session::askPassword()
{
    PasswordWindow window(m_host, std::exchange(m_passwordRefused, false));
    const quint64 choices = m_choices;
    // A harness that answers nothing cancels.
    ++m_asking;
    const bool given = !m_program.isInstant() && window.exec() == QDialog::Accepted;
    --m_asking;
    // An attempt the user began meanwhile asks for its own.
    if (m_choices != choices || m_state == State::LoggedOut || m_state == State::LoggedIn)
        return;
    if (!given) {
        m_state = State::LoggedOut;
        m_retryTimer.stop();
        m_socket->close();
        showLoggedOut(QStringLiteral("Entrada cancelada"));
        return;
    }
    m_password = window.password();
    if (window.remember())
        m_program.settings().setPassword(m_host, m_password);
    if (!m_socket->givePassword(m_password))
        connectTo();
}

void Session::showLoggedOut(const QString &status)
{
    m_program.SetStatus(status);
    m_program.mess()->showLoggedOut(false);
    m_program.login()->show();
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
    PMRegistry &registry = m_program.PMWindows();
    for (int slot = 0; slot < registry.NextPMSlot(); ++slot) {
        if (PM *window = registry.window(slot))
            window->appendNotice(notice);
    }
    if (Chat *room = m_program.existingChat(); room && room->isVisible())
        room->appendNotice(notice);
}
