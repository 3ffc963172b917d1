#include "core/conversations.h"

#include "core/uplink.h"
#include "core/outbox.h"
#include "core/session.h"
#include "core/settings.h"
#include "protocol/client_socket.h"
#include "protocol/wire.h"

namespace {
// Ids of lines not yet looked at, per conversation: as many as the server remembers answered.
constexpr qsizetype kMaxUnseen = 1024;
// Lines sent again at a log-in: the newest so many, and none older than the server keeps one.
constexpr int kAgainMost = 200;
constexpr int kAgainDays = 30;
// At most ten lines and 32 KiB a second, half of what the server takes from a connection before
// it closes it as a flood (20 messages, 64 KiB): what the user sends meanwhile still fits.
constexpr qint64 kAgainGapMs = 100;
constexpr qint64 kAgainBytesPerSecond = 32 * 1024;
// The marks the server held for the user come right after the log-in; the lines they reach
// need not go again.
constexpr int kAgainAfterMs = 1000;
// Acknowledgements wait while messages already read are still to be handled, up to this many:
// a flood of kept lines then costs one commit to disk per batch, not one per read (2,600 commits
// for 5,000 lines, 84 lines a second).
constexpr qsizetype kAcknowledgeBatch = 4096;
} // namespace

Conversations::Conversations(Uplink &uplink, Outbox &outbox, const Session &session,
                             HistoryStore &history, Settings &settings, QObject *parent)
    : QObject(parent), m_uplink(uplink), m_outbox(outbox), m_session(session), m_history(history),
      m_settings(settings)
{
    m_againTimer.setSingleShot(true);
    m_againTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_againTimer, &QTimer::timeout, this, &Conversations::sendNextAgain);
}

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

int Conversations::open(const QString &correspondent, const QString &own, Origin origin)
{
    m_slots.push_back({correspondent, own, origin, QString(), false});
    const int index = NextPMSlot() - 1;
    Q_EMIT opened(index);
    return index;
}

void Conversations::close(int index)
{
    if (at(index))
        m_slots[std::size_t(index)].open = false;
}

int Conversations::findByCorrespondent(const QString &nickname, std::optional<Origin> origin) const
{
    for (int i = 0; i < NextPMSlot(); ++i) {
        if (const Private *c = at(i);
            c && c->correspondent == nickname && (!origin || c->origin == *origin))
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
                                const QString &text, const QString &ref, const QDateTime &at)
{
    Private *c = slot(index);
    if (!c)
        return;
    c->correspondent = sender;
    c->own = own;
    c->locked = true;
    if (!ref.isEmpty()) {
        // Only the newest are ever told seen: the server remembers no more of a reader's
        // answered lines, and the ids of a flood never looked at must not pile up here.
        c->unseen.append(ref);
        if (c->unseen.size() > kMaxUnseen)
            c->unseen.removeFirst();
    }
    Q_EMIT changed(index);
    add(index, history::Kind::Theirs, sender, text, ref, history::Mark::None, at);
}

void Conversations::fileLine(const QString &peer, const QString &own, bool mine,
                             const QString &text, const QString &ref)
{
    int index = findByCorrespondent(peer);
    const bool fresh = index < 0;
    if (fresh)
        index = open(peer, own, mine ? Origin::User : Origin::Arrival);
    add(index, mine ? history::Kind::Mine : history::Kind::Theirs, mine ? own : peer, text,
        mine ? fileRef(ref) : QString(), mine ? history::Mark::Sending : history::Mark::None);
    if (mine)
        return;
    if (fresh)
        show(index);
    noteArrival(index, peer, text);
}

bool Conversations::send(int index, const QString &text)
{
    const Private *c = at(index);
    if (!c || text.isEmpty())
        return false;
    // Copies: sending may run nested handlers that change the slots.
    const QString from = c->own;
    // A log-in without the key is a plain client to the server: no marks would ever come.
    const QString ref = m_session.keyed() ? wire::randomHex(wire::LineIdDigits) : QString();
    if (!m_outbox.privateLine(c->correspondent, from, text, ref)) {
        notice(index, NotSent);
        return false;
    }
    if (Private *sent = slot(index)) {
        add(index, history::Kind::Mine, from, text, ref,
            ref.isEmpty() ? history::Mark::None : history::Mark::Sending);
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
    if (Private *c = slot(index)) {
        c->unread = 0;
        // Looked at while the user chose not to tell: never told.
        const QStringList unseen = std::exchange(c->unseen, {});
        if (!m_settings.tellsRead())
            return;
        const history::Conversation conversation = historyOf(index);
        for (const QString &ref : unseen) {
            // Recorded, so that a line the server sends again is not reported twice.
            if (m_history.setMark(history::Kind::Theirs, ref, history::Mark::Read,
                                           conversation.correspondent))
                queue(wire::Seen, conversation.correspondent, ref);
        }
    } else if (index == Room)
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
    if (!m_outbox.roomLine(text)) {
        roomNotice(NotSent);
        return false;
    }
    add(Room, history::Kind::Mine, m_uplink.nickname(), text);
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
    if (m_roomShown)
        roomNotice(text);
}

void Conversations::add(int index, history::Kind kind, const QString &writer, const QString &text,
                        const QString &ref, history::Mark mark, const QDateTime &at)
{
    history::Line line{0, at.isValid() ? at : QDateTime::currentDateTimeUtc(), kind, writer, text,
                       ref, mark};
    line.id = m_history.append(historyOf(index), kind, writer, text, line.at, ref, mark);
    Q_EMIT lineAdded(index, line);
}

bool Conversations::markOwn(const QString &ref, history::Mark mark, const QString &text)
{
    m_again.removeIf([&](const history::Hit &hit) { return hit.line.ref == ref; });
    bool known = false;
    const std::optional<history::Conversation> conversation =
        m_history.setMark(history::Kind::Mine, ref, mark, {}, &known);
    if (!conversation)
        return known;
    const int index = findByCorrespondent(conversation->correspondent);
    if (index >= 0)
        Q_EMIT markChanged(index, ref, mark);
    if (mark != history::Mark::Failed)
        return true;
    if (index >= 0)
        notice(index, text);
    else
        m_history.append(*conversation, history::Kind::Notice, QString(), text);
    return true;
}

void Conversations::acknowledge(const QString &from, const QString &ref, bool stored)
{
    queue(wire::Received, from, ref, stored);
}

void Conversations::queue(const QString &command, const QString &from, const QString &ref,
                          bool stored)
{
    if (m_acknowledgements.isEmpty())
        QMetaObject::invokeMethod(this, &Conversations::sendAcknowledgements, Qt::QueuedConnection);
    m_acknowledgements.append({command, from, ref, stored});
}

void Conversations::sendAcknowledgements()
{
    // Not while deliveries wait for handlers nested to the limit to return: nothing would drain.
    const ClientSocket &socket = m_uplink.socket();
    if (socket.unhandled() > 0 && socket.nesting() < ClientSocket::MaxNesting
        && m_acknowledgements.size() < kAcknowledgeBatch) {
        QMetaObject::invokeMethod(this, &Conversations::sendAcknowledgements, Qt::QueuedConnection);
        return;
    }
    // The server forgets a line once told it is stored: it must be on disk. A line the file
    // could not take (full, damaged...) is not answered: the server keeps it and sends it again
    // at the next log-in. Where the user turned keeping off, lines are answered all the same:
    // not keeping them was the user's choice.
    const bool onDisk = m_history.flush() || !m_settings.keepsHistory();
    for (const Acknowledgement &a : std::exchange(m_acknowledgements, {})) {
        if (a.command != wire::Received || !a.stored || onDisk) {
            m_outbox.acknowledge(a.command, a.from, a.ref);
        } else if (!std::exchange(m_toldUnstored, true)) {
            // After the history's own word on its file, which it sends the same way.
            QMetaObject::invokeMethod(this, [this] {
                Q_EMIT errorShown(QStringLiteral(
                    "Algunos mensajes recibidos no se han podido guardar en el disco. El servidor "
                    "los conserva y te los volverá a enviar la próxima vez que entres."));
            }, Qt::QueuedConnection);
        }
    }
}

void Conversations::sendAgain()
{
    m_again = m_history.sending(kAgainMost,
                                         QDateTime::currentDateTimeUtc().addDays(-kAgainDays));
    // A file's line is no line to send: its transfer goes on by itself.
    m_again.removeIf([](const history::Hit &hit) { return isFileRef(hit.line.ref); });
    m_againTimer.start(kAgainAfterMs);
}

void Conversations::sendNextAgain()
{
    // Only on the log-in they were found for: after a loss, the next one looks for them anew.
    if (m_again.isEmpty() || !m_session.keyed() || m_session.state() != Session::State::LoggedIn
        || !m_uplink.isConnected())
        return m_again.clear();
    // As it went the first time; its window goes on showing it as it is.
    const history::Hit hit = m_again.takeFirst();
    m_outbox.privateLine(hit.conversation.correspondent, hit.line.writer, hit.line.text,
                                  hit.line.ref);
    m_againTimer.start(std::max(kAgainGapMs,
                                qint64(hit.line.text.size()) * 1000 / kAgainBytesPerSecond));
}

void Conversations::administratorNotice(const QString &text)
{
    m_history.append({history::Conversation::Notices, {}}, history::Kind::Notice,
                              QString(), text);
}

history::Conversation Conversations::historyOf(int index) const
{
    if (index == Room)
        return {history::Conversation::Room, {}};
    const Private *c = at(index);
    return {history::Conversation::Private, c ? c->correspondent : QString()};
}
