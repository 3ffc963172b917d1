#include "server/net/connection.h"

#include "server/event_log.h"
#include "server/net/announcements.h"
#include "server/net/timer_queue.h"
#include "server/net/turn.h"
#include "server/net/stream.h"

#include <QCoreApplication>
#include <QTimerEvent>

#include <algorithm>
#include <vector>

#include <linux/sockios.h>
#include <sys/ioctl.h>

namespace {
// One read may hold this many messages waiting to be handled before it is a flood.
constexpr qsizetype kMaxInbox = 1000;

} // namespace

Connection::Connection(qintptr descriptor, const ServerConfig &config, quint64 id,
                       TimerQueue &pacer, Turn &turn, Events &events,
                       const TlsContext *tls, QObject *parent)
    : QObject(parent),
      // The server never holds more of a client's input than the client may send in a second.
      m_stream(new Stream(descriptor, std::max<qint64>(config.maxBytesPerSecond, 1) + 1, *this,
                          this)),
      m_id(id),
      m_config(config),
      m_pacer(pacer),
      m_turn(turn),
      m_events(events),
      m_tls(tls),
      m_frames(std::max<qint64>(config.maxBytesPerSecond, 1)),
      m_byteAllowance(double(config.maxBytesPerSecond)),
      m_messageAllowance(double(config.maxMessagesPerSecond))
{
    const auto [address, port] = peerOf(descriptor);
    m_peer = endpoint(address, port);

    m_clock.start();
    m_lastProgress.start();

    if (config.offerFraming)
        send(wire::toCodePage((QStringList{wire::Offer} + offeredFeatures(config, m_tls))
                                  .join(wire::FieldSeparator)));
}

QStringList offeredFeatures(const ServerConfig &config, bool tls)
{
    if (!config.offerFraming)
        return {};
    QStringList features{wire::Framing};
    if (tls) {
        features << wire::Tls;
        if (config.keep)
            features << wire::KeepFeature;
        if (config.keep && config.files)
            features << wire::FilesFeature;
        if (!config.password.isEmpty())
            features << wire::PasswordFeature;
    }
    return features;
}

Connection::~Connection()
{
    if (m_announcements)
        m_announcements->forget(m_place);
    if (m_listed)
        m_turn.remove(this);
    // Gone before the members it reports to.
    delete std::exchange(m_stream, nullptr);
}

void Connection::listen(Announcements &announcements)
{
    m_announcements = &announcements;
    m_place = announcements.join(this);
}

void Connection::stopListening()
{
    if (!m_announcements)
        return;
    hear();
    m_announcements->forget(m_place);
    m_announcements = nullptr;
}

void Connection::hear()
{
    if (!m_announcements)
        return;
    for (const Announcements::Said &one : m_announcements->unheard(m_place))
        deliver(one.message, one.from, one.about, one.presence);
}

bool Connection::send(const QByteArray &message, quint64 from, const QString &about,
                      Presence presence)
{
    hear(); // what was said before goes first
    return deliver(message, from, about, presence);
}

bool Connection::deliver(const QByteArray &message, quint64 from, const QString &about,
                         Presence presence)
{
    if (m_closing || m_closeWhenSent)
        return true;
    if (presence != Presence::None && !isNews(about, presence))
        return true;
    // An idle reader has nothing to be held back for or cancelled: it goes with this turn's.
    if (m_framedOut && isIdle() && !m_handshaking) {
        if (about.isEmpty()) {
            // A change behind it is no longer the last one: cancelling it would take this too.
            m_last = {};
            gather(message);
        } else {
            gatherAbout(message, about, presence);
        }
        return true;
    }
    // Others' lines past twice the bounds (more writers than the bound has messages, or long
    // lines) are refused, not the reader closed. What tells of presence is bounded by the users.
    if (from != 0 && from != m_id && presence == Presence::None
        && (qsizetype(m_queue.size()) >= 2 * m_config.maxQueuedMessages
            || m_queuedBytes + message.size() > 2 * m_config.maxQueuedBytes))
        return false;
    enqueue({m_framedOut ? message + wire::Terminator : message, m_framedOut, from, false, about,
             presence});
    if (from != 0) {
        Waiting &waiting = m_waitingFrom[from];
        ++waiting.messages;
        waiting.bytes += m_queue.back().bytes.size();
        if ((waiting.messages >= shareOfMessages() || waiting.bytes >= shareOfBytes())
            && !m_pilingUp.contains(from)) {
            m_pilingUp.insert(from);
            m_events.pilingUp(*this, from);
        }
    }
    writeNext();
    return true;
}

bool Connection::sendTogether(const QList<QByteArray> &framed)
{
    hear();
    if (m_closing || m_closeWhenSent || !m_framedOut || !isIdle() || m_handshaking)
        return false;
    if (framed.isEmpty())
        return true;
    // What was gathered before goes first, as it is; nothing behind the blocks can cancel it.
    writeAtTurnsEnd();
    if (!m_batch.isEmpty())
        m_blocks.append(std::exchange(m_batch, {}));
    m_blocks.append(framed);
    m_last = {};
    return true;
}

void Connection::writeAtTurnsEnd()
{
    if (!std::exchange(m_listed, true))
        m_turn.add(this);
}

void Connection::gather(const QByteArray &message)
{
    writeAtTurnsEnd();
    m_batch.append(message).append(wire::Terminator);
}

void Connection::gatherAbout(const QByteArray &message, const QString &about, Presence presence)
{
    if (m_last.at >= 0 && presence != Presence::None && m_last.about == about) {
        // A newer state replaces one not yet written, and the user's going makes it moot.
        if (m_last.presence == Presence::State
            && (presence == Presence::State || presence == Presence::Offline)) {
            m_batch.truncate(m_last.at);
            m_last = {};
        } else if (m_last.presence == presence) {
            return;
        } else if (m_last.presence != Presence::None
                   && int(m_last.presence) == (int(presence) ^ 1)) {
            // Came and went (or went and came back) within the turn: nothing to learn, except
            // that a state it was shown before is gone.
            m_batch.truncate(m_last.at);
            m_last = {};
            if (presence == Presence::Online)
                gatherAbout(wire::toCodePage(wire::buildMessage(
                                wire::StateCommand, {about, wire::StateAvailable, {}})),
                            about, Presence::State);
            return;
        }
    }
    m_last = {m_batch.size(), presence, about};
    gather(message);
}

void Connection::turnEnded()
{
    m_listed = false;
    writeBatch();
}

void Connection::writeBatch()
{
    m_last = {};
    if ((m_batch.isEmpty() && m_blocks.isEmpty()) || m_closing)
        return;
    m_inFlight = true;
    m_plainInFlight = false;
    if (m_blocks.isEmpty()) {
        m_stream->write(std::exchange(m_batch, {}));
    } else {
        if (!m_batch.isEmpty())
            m_blocks.append(std::exchange(m_batch, {}));
        m_stream->write(std::exchange(m_blocks, {}));
    }
    handedOn();
}

void Connection::handedOn()
{
    if (m_stream->pending() == 0) {
        written();
        return;
    }
    // The kernel's buffer for the client is full: from here on, it must be seen to read.
    if (m_stallTimer == 0) {
        m_lastProgress.restart();
        m_taken = takenByPeer();
        m_stallTimer = startTimer(pollInterval());
    }
}

void Connection::enqueue(Outgoing message)
{
    m_queuedBytes += message.bytes.size();
    m_queue.push_back(std::move(message));
    if (m_queue.back().presence == Presence::State)
        m_states.insert(m_queue.back().about, std::prev(m_queue.end()));
    else if (!m_queue.back().about.isEmpty())
        m_about[m_queue.back().about].append(std::prev(m_queue.end()));
}

bool Connection::isNews(const QString &about, Presence presence)
{
    // A state waiting is old news once a newer one comes, and moot once its user has gone.
    if (presence == Presence::State || presence == Presence::Offline) {
        if (const auto state = m_states.constFind(about); state != m_states.cend())
            unqueue(*state);
        if (presence == Presence::State)
            return true;
    }
    const auto chain = m_about.constFind(about);
    if (chain == m_about.cend())
        return true;
    const Queue::iterator last = chain->last();
    if (last->presence == presence)
        return false;
    if (int(last->presence) != (int(presence) ^ 1))
        return true;
    // Came and went (or went and came back, under the very same name) while the client was not
    // looking: it has nothing to learn, except that a state it was shown before is gone.
    unqueue(last);
    if (presence == Presence::Online && m_framedOut)
        enqueue({wire::toCodePage(wire::buildMessage(wire::StateCommand,
                                                      {about, wire::StateAvailable, {}}))
                     + wire::Terminator,
                 true, 0, false, about, Presence::State});
    return false;
}

qsizetype Connection::shareOfMessages() const
{
    const qsizetype senders = std::max<qsizetype>(m_waitingFrom.size(), 1);
    return std::clamp<qsizetype>(m_config.maxQueuedMessages / senders, 1,
                                 m_config.maxWaitingFromOne);
}

qint64 Connection::shareOfBytes() const
{
    const qsizetype senders = std::max<qsizetype>(m_waitingFrom.size(), 1);
    return std::max<qint64>(m_config.maxQueuedBytes / senders, 1);
}

void Connection::unqueue(Queue::iterator message)
{
    m_queuedBytes -= message->bytes.size();
    if (message->presence == Presence::State) {
        m_states.remove(message->about);
    } else if (!message->about.isEmpty()) {
        const auto chain = m_about.find(message->about);
        chain->first() == message ? chain->removeFirst() : chain->removeLast();
        if (chain->isEmpty())
            m_about.erase(chain);
    }
    const quint64 from = message->from;
    const qint64 bytes = message->bytes.size();
    m_queue.erase(message);
    if (from == 0)
        return;
    const auto waiting = m_waitingFrom.find(from);
    --waiting->messages;
    waiting->bytes -= bytes;
    if (waiting->messages == 0)
        m_waitingFrom.erase(waiting);
    else if (waiting->messages > shareOfMessages() / 2 || waiting->bytes > shareOfBytes() / 2)
        return;
    if (m_pilingUp.remove(from))
        m_events.relieved(*this, from);
}

void Connection::drop(const QString &reason)
{
    if (m_closing)
        return;
    m_closing = true;
    m_reason = reason;
    // Not a graceful close: a client that does not read would keep it waiting for ever.
    m_stream->abort();
    finish();
}

Stream *Connection::handOver(const QString &reason)
{
    if (m_closing || m_closeWhenSent || !m_encrypted || !m_inbox.isEmpty() || m_frames.pending() > 0
        || !isIdle() || m_listed || !m_batch.isEmpty() || !m_blocks.isEmpty()
        || m_stream->pending() > 0 || m_holds != 0)
        return nullptr;
    Stream *stream = std::exchange(m_stream, nullptr);
    stream->setParent(nullptr);
    static struct : Stream::Events {} unheard;
    stream->handTo(unheard, 1);
    m_closing = true;
    m_reason = reason;
    finish();
    return stream;
}

void Connection::closeAfterSending(const QString &reason)
{
    if (m_closing || m_closeWhenSent)
        return;
    m_closeWhenSent = true;
    m_reason = reason;
    m_inbox.clear();
    // What this turn sent it (often the reason) goes first.
    if (!m_batch.isEmpty() || !m_blocks.isEmpty())
        writeBatch();
    else
        written();
}

void Connection::read()
{
    if (m_closing || m_closeWhenSent) {
        if (m_stream)
            m_stream->read();
        return;
    }
    // Held, the client waits: what it sends stays in the kernel, and then with the client.
    if (m_holds != 0)
        return;
    QByteArray bytes = m_stream->read();
    refill();
    if (!m_framedIn && m_config.offerFraming && !acceptMarker(bytes))
        return;
    if (m_framedIn) {
        for (const QByteArray &message : m_frames.feed(bytes))
            keep(message, message.size() + 1);
        if (m_frames.overflowed()) {
            drop(QStringLiteral("flood: a message of more than %1 bytes")
                     .arg(m_frames.maxMessage()));
            return;
        }
        if (!m_loggedIn && m_frames.pending() > m_config.maxMessageBeforeLogIn) {
            tooLongBeforeLogIn();
            return;
        }
    } else if (!bytes.isEmpty()) {
        keep(bytes, bytes.size());
    }
    if (m_closing)
        return;
    if (m_inbox.size() > kMaxInbox) {
        drop(QStringLiteral("flood: more than %1 messages held").arg(kMaxInbox));
        return;
    }
    handOn();
    // A read takes at most a second's worth: what the encryption holds decrypted past it is
    // announced by nothing else (the kernel's descriptor says more is there by itself).
    if (m_encrypted && !m_closing && m_holds == 0 && m_stream->hasInput())
        QMetaObject::invokeMethod(this, &Connection::read, Qt::QueuedConnection);
}

bool Connection::acceptMarker(QByteArray &bytes)
{
    // The client's marker: what precedes it was its last plain message, what follows is framed;
    // and from here on the client is sent framed messages, unpaced. With encryption, the
    // client waits for the server's marker before its handshake, so nothing may follow.
    const bool tls = m_tls && bytes.contains(wire::marker(wire::Accept, true));
    const QByteArray accept = wire::marker(wire::Accept, tls);
    const qsizetype at = bytes.indexOf(accept);
    if (at < 0)
        return true;
    if (tls && at + accept.size() < bytes.size()) {
        drop(QStringLiteral("data before the encryption"));
        return false;
    }
    if (at > 0)
        keep(bytes.first(at), at);
    bytes.remove(0, at + accept.size());
    m_events.taken(*this, accept.size());
    m_framedIn = true;
    enqueue({wire::marker(wire::Accepted, tls), true, 0, tls, {}, Presence::None});
    m_framedOut = true;
    writeNext();
    return !m_closing;
}

void Connection::handOn()
{
    // A message handled here may hold this connection or close it.
    while (!m_closing && m_holds == 0 && !m_inbox.isEmpty()) {
        const auto [message, bytes] = m_inbox.dequeue();
        // Checked as it is handed on: a LOGIN read together with a long line lets it through.
        if (!m_loggedIn && m_framedIn && message.size() > m_config.maxMessageBeforeLogIn) {
            tooLongBeforeLogIn();
            return;
        }
        m_events.messageRead(*this, message);
        m_events.taken(*this, bytes);
    }
}

void Connection::setLoggedIn(bool loggedIn)
{
    m_loggedIn = loggedIn;
}

void Connection::tooLongBeforeLogIn()
{
    drop(QStringLiteral("flood: a message of more than %1 bytes")
             .arg(std::min(m_config.maxMessageBeforeLogIn, m_config.maxBytesPerSecond)));
}

void Connection::hold()
{
    // Qt takes no more from the kernel either: the client waits, rather than fill the server.
    if (m_holds++ == 0 && m_stream)
        m_stream->pause(true);
    m_wasHeld = true;
}

void Connection::release()
{
    if (m_holds > 0 && --m_holds == 0 && m_stream) {
        m_stream->pause(false);
        QMetaObject::invokeMethod(this, &Connection::resume, Qt::QueuedConnection);
    }
}

void Connection::resume()
{
    handOn();
    // What came while held is read now: no new arrival would announce it.
    if (m_holds == 0 && !m_closing && m_stream->hasInput())
        read();
}

void Connection::keep(const QByteArray &message, qint64 bytes)
{
    if (m_closing)
        return;
    // Charged as each message comes whole (a read holds at most a second's worth, an unfinished
    // message at most that much): an answer the relay expects costs nothing, or a client
    // answering the lines kept for it at its log-in would be a flood.
    const Charge charge = m_events.charge(*this, message);
    if (charge != Charge::Nothing) {
        if (double(bytes) > m_byteAllowance) {
            drop(QStringLiteral("flood: more than %1 bytes in a second")
                     .arg(m_config.maxBytesPerSecond));
            return;
        }
        m_byteAllowance -= double(bytes);
    }
    if (charge == Charge::Message && !countMessage())
        return;
    m_inbox.enqueue({message, bytes});
}

bool Connection::countMessage()
{
    if (m_closing)
        return false;
    refill();
    if (m_messageAllowance < 1) {
        drop(QStringLiteral("flood: more than %1 messages in a second")
                 .arg(m_config.maxMessagesPerSecond));
        return false;
    }
    m_messageAllowance -= 1;
    return true;
}

void Connection::refill()
{
    const qint64 now = m_clock.nsecsElapsed();
    const double seconds = double(now - m_lastRefillNs) * 1e-9;
    m_lastRefillNs = now;
    // Each allowance holds at most one second's worth, so a quiet client cannot save up for a
    // longer burst; but a held client was not quiet, it was kept waiting.
    const double most = std::exchange(m_wasHeld, m_holds > 0) ? 1e18 : 1.0;
    m_byteAllowance = std::min(most * double(m_config.maxBytesPerSecond),
                               m_byteAllowance + seconds * double(m_config.maxBytesPerSecond));
    m_messageAllowance =
        std::min(most * double(m_config.maxMessagesPerSecond),
                 m_messageAllowance + seconds * double(m_config.maxMessagesPerSecond));
}

void Connection::writeNext()
{
    // The gap keeps plain messages apart; a framed one needs none, not even after a plain one
    // (the offer): the client finds the marker in whatever read it comes.
    if (m_closing || m_inFlight || m_handshaking || m_queue.empty()
        || (m_paced && !m_queue.front().framed))
        return;
    if (m_queue.front().startsTls) {
        // The marker leaves in clear; the handshake follows it on the same stream, and what is
        // queued behind it waits for the encryption.
        const QByteArray marker = m_queue.front().bytes;
        unqueue(m_queue.begin());
        m_stream->write(marker);
        m_handshaking = true;
        m_stream->startEncryption(*m_tls);
        // A client that never finishes it (or whose handshake failed) holds nothing for long.
        // The timer goes when the handshake ends: 10,000 of them firing after a storm of
        // log-ins cost the server's rest 0.7% of a core.
        m_handshakeTimer = startTimer(m_config.stallTimeout);
        return;
    }
    // A plain message goes alone; framed ones go together, as many as wait.
    QByteArray bytes;
    m_plainInFlight = !m_queue.front().framed;
    do {
        bytes += m_queue.front().bytes;
        unqueue(m_queue.begin());
    } while (!m_plainInFlight && !m_queue.empty() && m_queue.front().framed
             && !m_queue.front().startsTls);
    m_inFlight = true;
    m_stream->write(bytes);
    handedOn();
}

void Connection::gapPassed()
{
    m_paced = false;
    writeNext();
}

void Connection::timerEvent(QTimerEvent *event)
{
    // Both timers go off once.
    if (event->timerId() == m_stallTimer) {
        killTimer(std::exchange(m_stallTimer, 0));
        checkProgress();
    } else if (event->timerId() == m_handshakeTimer) {
        killTimer(std::exchange(m_handshakeTimer, 0));
        if (m_handshaking)
            drop(QStringLiteral("no TLS handshake"));
    } else {
        QObject::timerEvent(event);
    }
}

void Connection::encryptionStarted()
{
    if (m_handshakeTimer)
        killTimer(std::exchange(m_handshakeTimer, 0));
    m_handshaking = false;
    m_encrypted = true;
    writeNext();
}

void Connection::written()
{
    const qint64 pending = m_stream->pending();
    if (m_closeWhenSent && !m_closing && m_queue.empty() && pending == 0) {
        m_closing = true;
        // Graceful: what was sent last (the reason, often) is read before the end.
        m_stream->close();
        if (!m_stream->isOpen())
            finish();
        return;
    }
    // The gap starts once the whole message has been handed to the kernel.
    if (!m_inFlight || pending > 0)
        return;
    m_inFlight = false;
    if (m_plainInFlight && m_config.gap.count() > 0) {
        m_paced = true;
        m_pacer.add(m_id);
    } else {
        writeNext();
    }
}

std::chrono::milliseconds Connection::pollInterval() const
{
    // A few looks a timeout: what a client took shows only when looked at.
    return std::max(m_config.stallTimeout / 4, std::chrono::milliseconds(1));
}

qint64 Connection::takenByPeer() const
{
    // What the kernel still holds for the peer, sent or not: a client that reads slowly takes
    // from it, while Qt may see no room to write for much longer than the stall timeout.
    int unsent = 0;
    if (::ioctl(int(m_stream->descriptor()), SIOCOUTQ, &unsent) != 0)
        unsent = 0;
    return m_stream->handed() - unsent;
}

void Connection::checkProgress()
{
    if (!m_inFlight && m_queue.empty())
        return;
    const qint64 taken = takenByPeer();
    if (taken > m_taken) {
        m_taken = taken;
        m_lastProgress.restart();
    }
    const auto quiet = std::chrono::milliseconds(m_lastProgress.elapsed());
    if (quiet >= m_config.stallTimeout) {
        drop(QStringLiteral("not reading: nothing taken for %1 ms")
                 .arg(m_config.stallTimeout.count()));
        return;
    }
    m_stallTimer = startTimer(std::min(m_config.stallTimeout - quiet, pollInterval()));
}

void Connection::socketClosed(const QString &reason)
{
    if (!m_closing && !m_closeWhenSent)
        m_reason = reason;
    m_closing = true;
    finish();
}

void Connection::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    if (m_stallTimer)
        killTimer(std::exchange(m_stallTimer, 0));
    m_queue.clear();
    m_batch.clear();
    m_blocks.clear();
    m_last = {};
    m_about.clear();
    m_states.clear();
    m_queuedBytes = 0;
    m_inbox.clear();
    QMetaObject::invokeMethod(
        this,
        [this] {
            // Whoever was held back on this connection's account goes on.
            for (const quint64 from : std::exchange(m_pilingUp, {}))
                m_events.relieved(*this, from);
            m_events.closed(*this, m_reason);
        },
        Qt::QueuedConnection);
}
