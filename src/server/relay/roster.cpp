#include "server/relay/roster.h"

#include "server/relay/relay.h"

#include <limits>

Roster::Roster(Relay &relay) : m_relay(relay)
{
    m_stateTimer.setSingleShot(true);
    connect(&m_stateTimer, &QTimer::timeout, this, &Roster::passWaitingStates);
    m_gathering.setSingleShot(true);
    connect(&m_gathering, &QTimer::timeout, this, &Roster::sendStates);
}

void Roster::join(Guest &guest)
{
    m_relay.online.append(&guest);
    m_relay.byForm.insert(guest.form, &guest);
    if (!m_listStale)
        addToFramedList(guest);
    sendList(guest);
    // Who comes is said once, and heard by each reader before anything else it is sent, or at
    // the end of the turn: a storm of log-ins visits each reader once a turn.
    m_announcements.add(guest.nick, guest.connection->id(), guest.nickname, Presence::Online);
    guest.connection->listen(m_announcements);
}

void Roster::leave(Guest &guest)
{
    m_relay.online.removeOne(&guest);
    guest.connection->stopListening();
    if (m_relay.byForm.value(guest.form) == &guest)
        m_relay.byForm.remove(guest.form);
    m_framedList.clear();
    m_listStale = true;
    m_stated.remove(&guest);
    forgetState(guest);
}

void Roster::announceGone(const Guest &guest)
{
    m_announcements.add(wire::toCodePage(wire::buildMessage(wire::Logout, {guest.nickname})),
                        guest.connection->id(), guest.nickname, Presence::Offline);
}

void Roster::sendList(Guest &to, bool asked)
{
    // Asked for, the list is the client's own traffic: one that asks faster than it reads is
    // held back like any sender. At log-in it is the server's, so that a newcomer to many users
    // may write before its list has gone.
    if (!to.connection->sendTogether(framedList())) {
        for (const Guest *user : std::as_const(m_relay.online))
            to.connection->send(user->nick, asked ? to.connection->id() : 0, user->nickname,
                                Presence::Online);
    }
    // A plain client never sees a state.
    if (!to.connection->isFramed() || m_stated.isEmpty())
        return;
    for (const Guest *user : std::as_const(m_relay.online)) {
        if (user->state != wire::StateAvailable || !user->stateText.isEmpty())
            to.connection->send(wire::toCodePage(wire::buildMessage(
                                    wire::StateCommand,
                                    {user->nickname, user->state, user->stateText})),
                                asked ? to.connection->id() : 0, user->nickname, Presence::State);
    }
}

const QList<QByteArray> &Roster::framedList()
{
    if (std::exchange(m_listStale, false)) {
        for (const Guest *user : std::as_const(m_relay.online))
            addToFramedList(*user);
    }
    return m_framedList;
}

void Roster::addToFramedList(const Guest &user)
{
    // Blocks of a few kilobytes: a newcomer shares all but the last, which a later log-in may
    // still add to, without a copy.
    constexpr qsizetype kBlock = 16 * 1024;
    if (m_framedList.isEmpty() || m_framedList.last().size() >= kBlock)
        m_framedList.append(QByteArray());
    m_framedList.last().append(user.nick).append(wire::Terminator);
}

void Roster::changeState(Guest &guest, const QString &state, const QString &text)
{
    if (!guest.connection->isFramed()
        || (state != wire::StateAvailable && state != wire::StateAway && state != wire::StateBusy))
        return;
    const QString cleaned = wire::stateText(text);
    const qint64 now = m_relay.now();
    const qint64 window = m_relay.config.stateWindow.count();
    guest.stateChanges.removeIf([&](qint64 at) { return now - at >= window; });
    const bool waiting = std::exchange(guest.statePending, false);
    if (waiting)
        m_waitingStates.removeOne(&guest);
    // Back to what the others were shown: nothing to tell them, and nothing waits any more.
    if (state == guest.state && cleaned == guest.stateText)
        return;
    // Each change goes to everyone: so many a minute are passed on at once, and the latest past
    // that waits, on one timer for all.
    if (guest.stateChanges.size() < m_relay.config.maxStatesPerMinute) {
        passOnState(guest, state, cleaned);
        return;
    }
    guest.statePending = true;
    guest.pendingState = state;
    guest.pendingText = cleaned;
    m_waitingStates.append(&guest);
    const qint64 due = guest.stateChanges.first() + window - now;
    if (!m_stateTimer.isActive() || m_stateTimer.remainingTime() > due)
        m_stateTimer.start(std::chrono::milliseconds(due));
}

void Roster::passOnState(Guest &guest, const QString &state, const QString &text)
{
    guest.stateChanges.append(m_relay.now());
    guest.state = state;
    guest.stateText = text;
    if (state == wire::StateAvailable && text.isEmpty())
        m_stated.remove(&guest);
    else
        m_stated.insert(&guest);
    guest.gathered = true;
    m_gathered.append({&guest, wire::toCodePage(wire::buildMessage(
                                   wire::StateCommand, {guest.nickname, state, text}))});
    if (!m_gathering.isActive())
        m_gathering.start(m_relay.config.stateGathering);
}

void Roster::sendStates()
{
    const auto gathered = std::exchange(m_gathered, {});
    if (gathered.isEmpty())
        return;
    QByteArray together;
    for (const auto &[guest, bytes] : gathered) {
        guest->gathered = false;
        if (!together.isEmpty())
            together += wire::Terminator;
        together += bytes;
    }
    // Gathered for a moment and written together to each reader with nothing waiting: one
    // write, not thousands.
    for (Guest *user : std::as_const(m_relay.online)) {
        if (!user->connection->isFramed())
            continue;
        // A reader with something waiting may be slow: it is to hold one state per user.
        if (user->connection->isIdle()) {
            user->connection->send(together);
            continue;
        }
        for (const auto &[guest, bytes] : gathered)
            user->connection->send(bytes, guest->connection->id(), guest->nickname,
                                   Presence::State);
    }
}

void Roster::passWaitingStates()
{
    const qint64 now = m_relay.now();
    const qint64 window = m_relay.config.stateWindow.count();
    qint64 next = std::numeric_limits<qint64>::max();
    m_waitingStates.removeIf([&](Guest *guest) {
        const qint64 due = guest->stateChanges.first() + window;
        if (due > now) {
            next = std::min(next, due);
            return false;
        }
        guest->stateChanges.removeIf([&](qint64 at) { return now - at >= window; });
        guest->statePending = false;
        passOnState(*guest, std::exchange(guest->pendingState, {}),
                    std::exchange(guest->pendingText, {}));
        return true;
    });
    if (next != std::numeric_limits<qint64>::max())
        m_stateTimer.start(std::chrono::milliseconds(next - now));
}

void Roster::dropWaitingState(Guest &guest)
{
    if (std::exchange(guest.statePending, false))
        m_waitingStates.removeOne(&guest);
}

void Roster::forgetState(Guest &guest)
{
    dropWaitingState(guest);
    guest.state = wire::StateAvailable;
    guest.stateText.clear();
    // A new log-in's first state is news to everyone: it waits for no earlier user's minute.
    guest.stateChanges.clear();
    // Its changes not yet sent are not news any more.
    if (std::exchange(guest.gathered, false))
        m_gathered.removeIf([&guest](const auto &change) { return change.first == &guest; });
}
