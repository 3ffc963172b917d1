#include "core/dispatcher.h"

#include "core/availability.h"
#include "core/block_list.h"
#include "core/clock.h"
#include "core/conversations.h"
#include "core/history_store.h"
#include "core/outbox.h"
#include "core/own_desks.h"
#include "core/session.h"
#include "core/user_list.h"
#include "protocol/client_socket.h"
#include "protocol/wire.h"
#include "core/settings.h"
#include "core/transfers.h"

#include <array>
#include <utility>

Dispatcher::Dispatcher(Uplink &uplink, Session &session, Outbox &outbox, UserList &users,
                       Conversations &conversations, HistoryStore &history, BlockList &blockList,
                       Settings &settings, Transfers &transfers, OwnDesks &desks,
                       QObject *parent)
    : QObject(parent), m_uplink(uplink), m_session(session), m_outbox(outbox), m_users(users),
      m_conversations(conversations), m_history(history), m_blockList(blockList),
      m_settings(settings), m_transfers(transfers), m_desks(desks)
{
}

void Dispatcher::dataArrival()
{
    handle(m_uplink.socket().getData());
}

void Dispatcher::handle(const QString &text)
{
    using Branch = void (Dispatcher::*)(const wire::Message &);
    static const std::array<std::pair<QString, Branch>, 20> branches = {{
        {wire::Nick, &Dispatcher::nick},
        {wire::Pm, &Dispatcher::pm},
        {wire::Ignore, &Dispatcher::ignore},
        {wire::Logout, &Dispatcher::logout},
        {wire::Notice, &Dispatcher::message},
        {wire::Chat, &Dispatcher::chat},
        {wire::Boot, &Dispatcher::boot},
        {wire::Enter, &Dispatcher::enter},
        {wire::Leave, &Dispatcher::leave},
        {wire::Refused, &Dispatcher::refused},
        {wire::Token, &Dispatcher::token},
        {wire::Mark, &Dispatcher::mark},
        {wire::StateCommand, &Dispatcher::state},
        {wire::Files, &Dispatcher::files},
        {wire::Upload, &Dispatcher::upload},
        {wire::FileOffer, &Dispatcher::file},
        {wire::Download, &Dispatcher::download},
        {wire::DeskCode, &Dispatcher::deskCode},
        {wire::Desks, &Dispatcher::desks},
        {wire::Taken, &Dispatcher::taken},
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

void Dispatcher::nick(const wire::Message &message)
{
    QStringList nicknames = wire::splitNickBurst(message);
    if (nicknames.isEmpty())
        nicknames.append(message.field(1));
    // A list comes framed as one message per user: those that have come are listed at once,
    // with one pause, as a plain server's merged read would be.
    for (QString next; !(next = m_uplink.socket().takeNext(wire::Nick)).isNull();)
        nicknames.append(wire::Message(next).field(1));
    m_users.addUsers(nicknames);
    m_uplink.pause(0.06);
    // Counted after the pause, so it includes users that nested events added meanwhile.
    Q_EMIT status(QString::number(m_users.userCount()) + QStringLiteral(" usuario(s)"));
}

void Dispatcher::logout(const wire::Message &message)
{
    // Whoever left is no longer listed, so that the list stays true over a day of comings and
    // goings.
    m_users.removeUser(message.field(1));
    Q_EMIT status(QStringLiteral("Usuario Salio del servidor"));
}

void Dispatcher::pm(const wire::Message &message)
{
    const QString recipient = message.field(1);
    const QString sender = message.field(2);
    const QString text = message.field(3);
    // Where the server keeps lines: the line's id, and when the server took it.
    const QString ref = message.field(4);
    if (recipient != m_uplink.nickname())
        return;
    Conversations &conversations = m_conversations;
    // Once stored, or when not shown at all, so that the server stops sending it.
    const auto acknowledge = [&](bool stored = true) {
        if (!ref.isEmpty())
            conversations.acknowledge(sender, ref, stored);
    };
    if (m_blockList.contains(sender)) {
        m_outbox.ignore(sender);
        return acknowledge(false);
    }
    // Sent again (the acknowledgement was lost): already here.
    if (!ref.isEmpty()
        && m_history.holds({history::Conversation::Private, sender}, sender, ref))
        return acknowledge();
    const QString arrival =
        clock_text::shortDate() + QStringLiteral(" at ") + clock_text::longTime();
    int slot = conversations.findByCorrespondent(sender);
    const bool fresh = slot < 0;
    if (fresh)
        slot = conversations.open(sender, recipient, Conversations::Origin::Arrival);
    conversations.lineArrived(slot, sender, recipient, text, ref,
                              QDateTime::fromString(message.field(5), Qt::ISODate));
    acknowledge();
    conversations.setStatusText(slot, (fresh ? QStringLiteral("Ultimo mensaje recivido ")
                                             : QStringLiteral("Ult. Mensaje Recivido "))
                                          + arrival);
    if (fresh)
        conversations.show(slot);
    conversations.noteArrival(slot, sender, text);
}

void Dispatcher::ignore(const wire::Message &message)
{
    const QString blocker = message.field(1);
    if (message.field(2) != m_uplink.nickname())
        return;
    // However the conversation was opened, its writer learns that nothing gets through.
    Conversations &conversations = m_conversations;
    conversations.notice(conversations.findByCorrespondent(blocker),
                         QStringLiteral("<Usuario te ha ignorado>"));
}

void Dispatcher::message(const wire::Message &message)
{
    notify(message.field(1));
}

void Dispatcher::notify(const QString &text)
{
    m_conversations.administratorNotice(text);
    Q_EMIT noticeArrived(++m_notices, text);
}

void Dispatcher::chat(const wire::Message &message)
{
    const QString sender = message.field(1);
    // The own lines were written when they were sent.
    if (sender == m_uplink.nickname())
        return;
    m_conversations.roomLine(sender, message.field(2));
}

void Dispatcher::enter(const wire::Message &message)
{
    m_conversations.roomNotice(QStringLiteral("<") + message.field(1)
                                        + QStringLiteral(" Entro a la charla>"));
}

void Dispatcher::leave(const wire::Message &message)
{
    m_conversations.roomNotice(QStringLiteral("<") + message.field(1)
                                        + QStringLiteral(" salio de la charla>"));
}

void Dispatcher::boot(const wire::Message &message)
{
    if (message.field(1) != m_uplink.nickname())
        return;
    // Expelled: whatever becomes of the connection now, nothing reconnects.
    m_session.leave();
    Q_EMIT boxWanted(QStringLiteral("Disconnection"),
                     QStringLiteral("Fuistes Botado del Servidor por KORVEX admin"),
                     BoxKind::Information);
    // Anything may have changed while the box was open.
    m_users.clear();
    m_outbox.logOut();
    Q_EMIT status(QStringLiteral("Logged Out"));
    Q_EMIT expelled();
}

void Dispatcher::refused(const wire::Message &message)
{
    m_session.refused(message.field(1), message.field(2));
}

void Dispatcher::token(const wire::Message &message)
{
    m_session.setToken(message.field(1));
}

void Dispatcher::mark(const wire::Message &message)
{
    static const std::array<std::pair<QString, history::Mark>, 4> marks = {{
        {wire::MarkKept, history::Mark::Kept},
        {wire::MarkDelivered, history::Mark::Delivered},
        {wire::MarkRead, history::Mark::Read},
        {wire::MarkFailed, history::Mark::Failed},
    }};
    // A file's mark moves its transfer, and its line as a line's mark does.
    const bool file = m_transfers.marked(message);
    for (const auto &[word, mark] : marks) {
        if (message.field(2) != word)
            continue;
        // Read marks only for a user who tells their own.
        if (mark == history::Mark::Read && !m_settings.tellsRead())
            return;
        // A failure for a line the history does not hold (not kept, or cleared) is told all the
        // same, as the server's own notices are.
        const QString ref = file ? Conversations::fileRef(message.field(1)) : message.field(1);
        if (!m_conversations.markOwn(ref, mark, message.field(3))
            && mark == history::Mark::Failed && !file)
            notify(message.field(3));
        return;
    }
}

void Dispatcher::state(const wire::Message &message)
{
    if (const auto state = Availability::fromWord(message.field(2)))
        m_users.setState(message.field(1), *state, message.field(3));
}

void Dispatcher::files(const wire::Message &message)
{
    m_transfers.limitsArrived(message);
}

void Dispatcher::upload(const wire::Message &message)
{
    m_transfers.uploadTicket(message);
}

void Dispatcher::file(const wire::Message &message)
{
    // Refused unseen, as the lines of someone the user blocks are.
    if (m_blockList.contains(message.field(2)) && message.field(1) == m_uplink.nickname())
        m_outbox.aboutFile(wire::DropFile, message.field(3));
    else
        m_transfers.fileOffered(message, m_uplink.nickname());
}

void Dispatcher::download(const wire::Message &message)
{
    m_transfers.downloadTicket(message);
}

void Dispatcher::deskCode(const wire::Message &message)
{
    m_desks.codeArrived(message);
}

void Dispatcher::desks(const wire::Message &message)
{
    m_desks.listArrived(message);
}

void Dispatcher::taken(const wire::Message &message)
{
    m_session.taken(message.field(1));
}
