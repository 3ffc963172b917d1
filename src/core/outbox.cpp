#include "core/outbox.h"

#include "core/uplink.h"
#include "protocol/wire.h"

bool Outbox::logIn(const QString &nickname, const QString &token, const QString &key,
                   const QString &code, const QString &desk)
{
    if (!code.isEmpty())
        return m_uplink.send(wire::buildMessage(wire::Login, {nickname, token, key, code, desk}));
    if (!key.isEmpty())
        return m_uplink.send(wire::buildMessage(wire::Login, {nickname, token, key}));
    return m_uplink.send(token.isEmpty() ? wire::buildMessage(wire::Login, {nickname})
                                         : wire::buildMessage(wire::Login, {nickname, token}));
}

bool Outbox::refreshList()
{
    // The one message that ends in a separator: an empty field behind it.
    return m_uplink.send(wire::buildMessage(wire::GetUser, {u""}));
}

bool Outbox::privateLine(const QString &to, const QString &from, const QString &text,
                         const QString &id)
{
    return m_uplink.send(id.isEmpty() ? wire::buildMessage(wire::Pm, {to, from, text})
                                             : wire::buildMessage(wire::Pm, {to, from, text, id}));
}

bool Outbox::acknowledge(const QString &command, const QString &from, const QString &id)
{
    return m_uplink.send(wire::buildMessage(command, {from, id}));
}

bool Outbox::ignore(const QString &sender)
{
    return m_uplink.send(wire::buildMessage(wire::Ignore, {m_uplink.nickname(), sender}));
}

bool Outbox::enterRoom()
{
    return m_uplink.send(wire::buildMessage(wire::Enter, {m_uplink.nickname()}));
}

bool Outbox::roomLine(const QString &text)
{
    return m_uplink.send(wire::buildMessage(wire::Chat, {m_uplink.nickname(), text}));
}

bool Outbox::leaveRoom()
{
    return m_uplink.send(wire::buildMessage(wire::Leave, {m_uplink.nickname()}));
}

bool Outbox::logOut()
{
    return m_uplink.send(wire::buildMessage(wire::Logout, {m_uplink.nickname()}));
}

bool Outbox::state(const QString &word, const QString &text)
{
    return m_uplink.send(wire::buildMessage(wire::StateCommand, {word, text}));
}

bool Outbox::takeFiles()
{
    return m_uplink.send(wire::buildMessage(wire::Files, {u""}));
}

bool Outbox::sendFile(const QString &to, const QString &id, const QString &name, qint64 size,
                      const QString &sha256)
{
    return m_uplink.send(
        wire::buildMessage(wire::SendFile, {to, id, name, QString::number(size), sha256}));
}

bool Outbox::aboutFile(const QString &command, const QString &id)
{
    return m_uplink.send(wire::buildMessage(command, {id}));
}

bool Outbox::askDeskCode()
{
    return m_uplink.send(wire::buildMessage(wire::DeskCode, {u""}));
}

bool Outbox::askDesks()
{
    return m_uplink.send(wire::buildMessage(wire::Desks, {u""}));
}

bool Outbox::dropDesk(const QString &name)
{
    return m_uplink.send(wire::buildMessage(wire::DropDesk, {name}));
}
