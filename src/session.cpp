#include "session.h"

#include "conversations/chat.h"
#include "conversations/pm.h"
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
}

Session::~Session() = default;

void Session::logIn()
{
    m_retryTimer.stop();
    m_state = State::Connecting;
    m_socket->close();
    m_host = m_program.login()->host();
    m_socket->connectTo(m_host, wire::ServerPort);
}

void Session::leave()
{
    m_retryTimer.stop();
    // An attempt under way ends; a connection that stands is left to the caller, who says
    // goodbye on it.
    if (m_state == State::Connecting || m_state == State::Lost)
        m_socket->close();
    m_state = State::LoggedOut;
    m_nextDelay = FirstRetry;
}

void Session::connected()
{
    const bool reconnected = m_state == State::Lost;
    m_state = State::LoggedIn;
    m_nextDelay = FirstRetry;
    Login *login = m_program.login();
    if (reconnected)
        login->setNickname(m_nickname);
    m_nickname = login->nickname();
    m_program.settings().setLastLogIn(m_nickname, m_host);
    m_program.SendCommand(wire::buildMessage(u"LOGIN", {m_nickname}));
    login->hide();
    m_program.SetStatus(QStringLiteral("Logged In"));
    Mess *mess = m_program.mess();
    mess->userTree()->clear();
    mess->userTree()->addRoot(m_nickname);
    mess->setCaption(m_nickname);
    mess->setSessionMenus(false, true);
    if (!reconnected)
        return;
    if (Chat *room = m_program.existingChat(); room && room->isVisible())
        m_program.SendCommand(wire::buildMessage(u"ENTER", {m_nickname}));
    tellWindows(QStringLiteral("<Conexión restablecida>"));
}

void Session::failed()
{
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
    // The logged-out state, but for the menus: "&Abandonar" stops the retrying.
    m_program.SetStatus(QStringLiteral("Conexión perdida"));
    Mess *mess = m_program.mess();
    mess->userTree()->clear();
    mess->setSessionMenus(true, true);
    mess->setCaption(QStringLiteral("Dravonet Mensajero"));
    tellWindows(QStringLiteral("<Conexión perdida>"));
    scheduleRetry();
}

void Session::retry()
{
    m_program.SetStatus(QStringLiteral("Reconectando..."));
    m_socket->close();
    m_socket->connectTo(m_host, wire::ServerPort);
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
