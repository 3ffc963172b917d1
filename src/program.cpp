#include "program.h"

#include "incoming/incoming.h"
#include "layouts/plain_text.h"
#include "main_window/attention.h"
#include "main_window/tray_icon.h"
#include "main_window/user_tree.h"
#include "protocol/client_socket.h"
#include "protocol/wire.h"
#include "session.h"
#include "settings.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cmath>

Program::Program()
    : m_settings(new Settings([this](const QString &text) { ShowError(text); }, this)),
      m_session(new Session(*this)),
      m_incoming(new Incoming(*this, this)),
      m_pmWindows(std::make_unique<PMRegistry>(*this))
{
    m_session->setParent(this);
    connect(&WS(), &ClientSocket::dataArrival, m_incoming, &Incoming::dataArrival);
}

Program::~Program()
{
    // Windows have no parent (each is a top-level window); they go with the program. Deleting
    // runs no close handler, so nothing is sent on the way out.
    m_pmWindows.reset();
    delete m_intro;
    delete m_help;
    delete m_about;
    delete m_admin;
    delete m_chat;
    delete m_error;
    delete m_login;
    delete m_mess;
}

Login *Program::login()
{
    if (!m_login)
        m_login = new Login(*this);
    return m_login;
}

Mess *Program::mess()
{
    if (!m_mess)
        m_mess = new Mess(*this);
    return m_mess;
}

Chat *Program::chat()
{
    if (!m_chat)
        m_chat = new Chat(*this);
    return m_chat;
}

Admin *Program::admin()
{
    if (!m_admin) {
        m_admin = new Admin;
        showBox(QStringLiteral("KORVEX Mensajero"), Admin::Announcement);
        // Whatever ran while the box was open may have closed the window again.
        if (!m_admin)
            m_admin = new Admin;
    }
    return m_admin;
}

About *Program::about()
{
    if (!m_about) {
        m_about = new About;
        showBox(QStringLiteral("KORVEX Mensajero"), About::ContactLine);
        if (!m_about)
            m_about = new About;
    }
    return m_about;
}

Help *Program::help()
{
    if (!m_help)
        m_help = new Help;
    return m_help;
}

Error *Program::error()
{
    if (!m_error)
        m_error = new Error;
    return m_error;
}

void Program::start()
{
    m_intro = new Intro;
    m_intro->run(*this);
    if (m_intro) {
        m_intro->close();
        delete m_intro;
    }
}

void Program::logOut()
{
    m_session->leave();
    SendCommand(wire::buildMessage(u"LOGOUT", {ownNickname()}));
    SetStatus(QStringLiteral("Logged Out"));
    mess()->showLoggedOut(false);
    login()->clearNickname();
    closeAfterGoodbye();
}

void Program::closeAfterGoodbye()
{
    // The LOGOUT leaves while the connection is still open. A log-in the user began meanwhile
    // has a connection of its own, which stays.
    Pause(1);
    if (m_session->state() == Session::State::LoggedOut)
        WS().close();
}

void Program::exitProgram()
{
    mess()->trayIcon()->remove();
    logOut();
    SetStatus(QStringLiteral("Closing"));
    // From here nothing is sent and no pause waits: handlers that were waiting when the user
    // chose "Salir" unwind at once. exit() ends the event loops without the close events that
    // quit() would send to the windows.
    m_ending = true;
    QCoreApplication::exit(0);
}

bool Program::SendCommand(const QString &message)
{
    if (m_ending)
        return false;
    if (WS().state() != ClientSocket::Connected) {
        SetStatus(QStringLiteral("Not Connected"));
        return false;
    }
    WS().sendData(message);
    return true;
}

void Program::SetStatus(const QString &text)
{
    mess()->setStatusLine(QStringLiteral("Status : ") + text);
}

void Program::Pause(double seconds)
{
    if (!(seconds > 0) || m_ending || m_instant)
        return;
    // A monotonic clock: the wait ends after the requested time, midnight or not.
    const auto wanted = static_cast<qint64>(std::ceil(seconds * 1e9));
    QElapsedTimer clock;
    clock.start();
    for (qint64 left = wanted; left > 0 && !m_ending; left = wanted - clock.nsecsElapsed()) {
        QEventLoop loop;
        QTimer::singleShot(std::chrono::milliseconds((left + 999'999) / 1'000'000),
                           Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

void Program::showBox(const QString &title, const QString &text, QMessageBox::Icon icon)
{
    if (!m_instant)
        plain::showBox(nullptr, title, text, icon);
}

void Program::ShowError(const QString &text)
{
    Error *window = error();
    window->setErrorText(text);
    window->show();
    window->raise();
}

QString Program::ownNickname()
{
    return login()->nickname();
}

bool Program::isConnected()
{
    return WS().state() == ClientSocket::Connected;
}

Attention &Program::attention()
{
    if (!m_attention) {
        m_attention = new Attention(*mess()->trayIcon(), this);
        m_attention->setNotices(m_settings->notifications());
    }
    return *m_attention;
}

ClientSocket &Program::WS()
{
    return m_session->socket();
}
