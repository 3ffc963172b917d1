#include "core/outbox.h"

#include "core/client.h"
#include "protocol/wire.h"

bool Outbox::logIn(const QString &nickname, const QString &token, const QString &key)
{
    if (!key.isEmpty())
        return m_client.SendCommand(wire::buildMessage(wire::Login, {nickname, token, key}));
    return m_client.SendCommand(token.isEmpty() ? wire::buildMessage(wire::Login, {nickname})
                                                : wire::buildMessage(wire::Login, {nickname, token}));
}

bool Outbox::refreshList()
{
    // The one message that ends in a separator: an empty field behind it.
    return m_client.SendCommand(wire::buildMessage(wire::GetUser, {u""}));
}

bool Outbox::privateLine(const QString &to, const QString &from, const QString &text,
                         const QString &id)
{
    return m_client.SendCommand(id.isEmpty() ? wire::buildMessage(wire::Pm, {to, from, text})
                                             : wire::buildMessage(wire::Pm, {to, from, text, id}));
}

bool Outbox::acknowledge(const QString &command, const QString &from, const QString &id)
{
    return m_client.SendCommand(wire::buildMessage(command, {from, id}));
}

bool Outbox::ignore(const QString &sender)
{
    return m_client.SendCommand(wire::buildMessage(wire::Ignore, {m_client.nickname(), sender}));
}

bool Outbox::enterRoom()
{
    return m_client.SendCommand(wire::buildMessage(wire::Enter, {m_client.nickname()}));
}

bool Outbox::roomLine(const QString &text)
{
    return m_client.SendCommand(wire::buildMessage(wire::Chat, {m_client.nickname(), text}));
}

bool Outbox::leaveRoom()
{
    return m_client.SendCommand(wire::buildMessage(wire::Leave, {m_client.nickname()}));
}

bool Outbox::logOut()
{
    return m_client.SendCommand(wire::buildMessage(wire::Logout, {m_client.nickname()}));
}

bool Outbox::state(const QString &word, const QString &text)
{
    return m_client.SendCommand(wire::buildMessage(wire::StateCommand, {word, text}));
}
