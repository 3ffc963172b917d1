#include "incoming/incoming.h"

#include "conversations/chat.h"
#include "conversations/history.h"
#include "conversations/pm.h"
#include "layouts/clock.h"
#include "main_window/attention.h"
#include "main_window/user_tree.h"
#include "program.h"
#include "protocol/client_socket.h"
#include "protocol/wire.h"
#include "session.h"

#include <array>
#include <utility>

Incoming::Incoming(Program &program, QObject *parent) : QObject(parent), m_program(program) {}

void Incoming::dataArrival()
{
    handle(m_program.WS().getData());
}

void Incoming::handle(const QString &text)
{
    using Branch = void (Incoming::*)(const wire::Message &);
    static const std::array<std::pair<QString, Branch>, 11> branches = {{
        {QStringLiteral("NICK"), &Incoming::nick},
        {QStringLiteral("PM"), &Incoming::pm},
        {QStringLiteral("IGNORE"), &Incoming::ignore},
        {QStringLiteral("LOGOUT"), &Incoming::logout},
        {QStringLiteral("MESSAGE"), &Incoming::message},
        {QStringLiteral("CHAT"), &Incoming::chat},
        {QStringLiteral("BOOT"), &Incoming::boot},
        {QStringLiteral("ENTER"), &Incoming::enter},
        {QStringLiteral("LEAVE"), &Incoming::leave},
        {wire::Refused, &Incoming::refused},
        {wire::Token, &Incoming::token},
    }};

    const wire::Message received(text);
    const QString command = received.command();
    for (const auto &[word, branch] : branches) {
        if (command == word) {
            (this->*branch)(received);
            return;
        }
    }
}

void Incoming::nick(const wire::Message &message)
{
    QStringList nicknames = wire::splitNickBurst(message);
    if (nicknames.isEmpty())
        nicknames.append(message.field(1));
    // A list comes framed as one message per user: those that have come are listed at once,
    // with one pause, as a plain server's merged read would be.
    for (QString next; !(next = m_program.WS().takeNext(u"NICK")).isNull();)
        nicknames.append(wire::Message(next).field(1));
    m_program.mess()->userTree()->addUsers(nicknames);
    m_program.Pause(0.06);
    // Counted after the pause, so it includes users that nested events added meanwhile.
    const int users = m_program.mess()->userTree()->userCount();
    m_program.SetStatus(QString::number(users) + QStringLiteral(" usuario(s)"));
}

void Incoming::logout(const wire::Message &message)
{
    // Whoever left is no longer listed, so that the list stays true over a day of comings and
    // goings.
    m_program.mess()->userTree()->removeUser(message.field(1));
    m_program.SetStatus(QStringLiteral("Usuario Salio del servidor"));
}

void Incoming::pm(const wire::Message &message)
{
    const QString recipient = message.field(1);
    const QString sender = message.field(2);
    const QString text = message.field(3);
    if (recipient != m_program.ownNickname())
        return;
    if (m_program.mess()->isBlocked(sender)) {
        m_program.SendCommand(wire::buildMessage(u"IGNORE", {recipient, sender}));
        return;
    }
    const QString arrival =
        clock_text::shortDate() + QStringLiteral(" at ") + clock_text::longTime();
    PMRegistry &registry = m_program.PMWindows();
    if (PM *window = registry.findByCorrespondent(sender)) {
        window->lineArrived(sender, m_program.ownNickname(), text);
        window->setStatusText(QStringLiteral("Ult. Mensaje Recivido ") + arrival);
        m_program.attention().arrived(window, sender, text);
        return;
    }
    PM *window = registry.openNew();
    window->lineArrived(sender, m_program.ownNickname(), text);
    window->setCaption(QStringLiteral("Mensaje Privado -- ") + sender);
    window->setStatusText(QStringLiteral("Ultimo mensaje recivido ") + arrival);
    window->show();
    m_program.attention().arrived(window, sender, text);
}

void Incoming::ignore(const wire::Message &message)
{
    const QString blocker = message.field(1);
    if (message.field(2) != m_program.ownNickname())
        return;
    // However the conversation was opened, its writer learns that nothing gets through.
    PM *window = m_program.PMWindows().findByCaption(
        {QStringLiteral("Mensaje Privado -- ") + blocker,
         QStringLiteral("Private Message -- ") + blocker});
    if (window)
        window->appendNotice(QStringLiteral("<Usuario te ha ignorado>"));
}

void Incoming::message(const wire::Message &message)
{
    // Numbered on arrival: one that comes while the first notice's box is open is shown, and
    // stays shown once the first is written.
    const quint64 number = ++m_notices;
    Admin *window = m_program.admin();
    window->showNotice(number, message.field(1));
    m_program.attention().arrived(window, QStringLiteral("Aviso del administrador"),
                                  message.field(1));
}

void Incoming::chat(const wire::Message &message)
{
    const QString sender = message.field(1);
    // The own lines were written when they were sent.
    if (sender == m_program.ownNickname())
        return;
    m_program.chat()->appendLine(sender, History::Blue, message.field(2));
    m_program.attention().arrived(m_program.chat(), sender + QStringLiteral(" en la sala"),
                                  message.field(2));
}

void Incoming::enter(const wire::Message &message)
{
    m_program.chat()->appendNotice(QStringLiteral("<") + message.field(1)
                                   + QStringLiteral(" Entro a la charla>"));
}

void Incoming::leave(const wire::Message &message)
{
    m_program.chat()->appendNotice(QStringLiteral("<") + message.field(1)
                                   + QStringLiteral(" salio de la charla>"));
}

void Incoming::boot(const wire::Message &message)
{
    if (message.field(1) != m_program.ownNickname())
        return;
    // Expelled: whatever becomes of the connection now, nothing reconnects.
    m_program.session().leave();
    m_program.showBox(QStringLiteral("Disconnection"),
                      QStringLiteral("Fuistes Botado del Servidor por KORVEX admin"),
                      QMessageBox::Information);
    // Anything may have changed while the box was open; every window is fetched anew.
    m_program.mess()->userTree()->clear();
    m_program.SendCommand(wire::buildMessage(u"LOGOUT", {m_program.ownNickname()}));
    m_program.SetStatus(QStringLiteral("Logged Out"));
    m_program.mess()->setSessionMenus(true, false);
    m_program.login()->clearNickname();
    m_program.mess()->setCaption(QStringLiteral("KORVEX Mensajero"));
    m_program.closeAfterGoodbye();
}

void Incoming::refused(const wire::Message &message)
{
    m_program.session().refused(message.field(1), message.field(2));
}

void Incoming::token(const wire::Message &message)
{
    m_program.session().setToken(message.field(1));
}
