#include "core/conversations.h"

#include "core/client.h"
#include "core/outbox.h"

Conversations::Conversations(Client &client) : QObject(&client), m_client(client) {}

const Conversations::Private *Conversations::at(int slot) const
{
    return slot >= 0 && slot < NextPMSlot() && m_slots[std::size_t(slot)].open
        ? &m_slots[std::size_t(slot)]
        : nullptr;
}

Conversations::Private *Conversations::slot(int index)
{
    return const_cast<Private *>(at(index));
}

int Conversations::open(const QString &correspondent, const QString &own, const QString &caption)
{
    m_slots.push_back({correspondent, own, caption, QString(), false});
    const int index = NextPMSlot() - 1;
    Q_EMIT opened(index);
    return index;
}

void Conversations::close(int index)
{
    if (at(index))
        m_slots[std::size_t(index)].open = false;
}

int Conversations::findByCaption(std::initializer_list<QString> captions) const
{
    for (int i = 0; i < NextPMSlot(); ++i) {
        if (const Private *c = at(i); c && std::find(captions.begin(), captions.end(), c->caption)
                                               != captions.end())
            return i;
    }
    return -1;
}

int Conversations::findByCorrespondent(const QString &nickname) const
{
    for (int i = 0; i < NextPMSlot(); ++i) {
        if (const Private *c = at(i); c && c->correspondent == nickname)
            return i;
    }
    return -1;
}

void Conversations::setCorrespondent(int index, const QString &nickname)
{
    if (Private *c = slot(index); c && !c->locked && c->correspondent != nickname) {
        c->correspondent = nickname;
        Q_EMIT changed(index);
    }
}

void Conversations::setStatusText(int index, const QString &text)
{
    if (Private *c = slot(index)) {
        c->statusText = text;
        Q_EMIT changed(index);
    }
}

void Conversations::lineArrived(int index, const QString &sender, const QString &own,
                                const QString &text)
{
    Private *c = slot(index);
    if (!c)
        return;
    c->correspondent = sender;
    c->own = own;
    c->locked = true;
    Q_EMIT changed(index);
    add(index, history::Kind::Theirs, sender, text);
}

bool Conversations::send(int index, const QString &text)
{
    const Private *c = at(index);
    if (!c || text.isEmpty())
        return false;
    // Copies: sending may run nested handlers that change the slots.
    const QString from = c->own;
    if (!m_client.outbox().privateLine(c->correspondent, from, text)) {
        notice(index, NotSent);
        return false;
    }
    if (Private *sent = slot(index)) {
        add(index, history::Kind::Mine, from, text);
        if (!std::exchange(sent->locked, true))
            Q_EMIT changed(index);
    }
    return true;
}

void Conversations::noteArrival(int index, const QString &from, const QString &text)
{
    if (Private *c = slot(index))
        ++c->unread;
    else if (index == Room)
        ++m_roomUnread;
    Q_EMIT arrived(index, from, text);
}

int Conversations::unread(int index) const
{
    const Private *c = at(index);
    return c ? c->unread : index == Room ? m_roomUnread : 0;
}

void Conversations::markRead(int index)
{
    if (Private *c = slot(index))
        c->unread = 0;
    else if (index == Room)
        m_roomUnread = 0;
}

void Conversations::notice(int index, const QString &text)
{
    if (index == Room || at(index))
        add(index, history::Kind::Notice, QString(), text);
}

bool Conversations::sendToRoom(const QString &text)
{
    if (text.isEmpty())
        return false;
    if (!m_client.outbox().roomLine(text)) {
        roomNotice(NotSent);
        return false;
    }
    add(Room, history::Kind::Mine, m_client.nickname(), text);
    return true;
}

void Conversations::roomLine(const QString &writer, const QString &text)
{
    add(Room, history::Kind::Theirs, writer, text);
    noteArrival(Room, writer + QStringLiteral(" en la sala"), text);
}

void Conversations::roomNotice(const QString &text)
{
    add(Room, history::Kind::Notice, QString(), text);
}

void Conversations::tellAll(const QString &text)
{
    for (int i = 0; i < NextPMSlot(); ++i)
        notice(i, text);
    if (m_client.isRoomShown())
        roomNotice(text);
}

void Conversations::add(int index, history::Kind kind, const QString &writer, const QString &text)
{
    history::Line line{0, QDateTime::currentDateTimeUtc(), kind, writer, text};
    line.id = m_client.history().append(historyOf(index), kind, writer, text, line.at);
    Q_EMIT lineAdded(index, line);
}

void Conversations::administratorNotice(const QString &text)
{
    m_client.history().append({history::Conversation::Notices, {}}, history::Kind::Notice,
                              QString(), text);
}

history::Conversation Conversations::historyOf(int index) const
{
    if (index == Room)
        return {history::Conversation::Room, {}};
    const Private *c = at(index);
    return {history::Conversation::Private, c ? c->correspondent : QString()};
}
