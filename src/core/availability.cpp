#include "core/availability.h"

#include "core/idle_source.h"
#include "core/uplink.h"
#include "core/outbox.h"
#include "core/session.h"
#include "core/settings.h"
#include "protocol/client_socket.h"
#include "protocol/wire.h"

#include <array>

namespace {
const std::array<QString, 3> kNames = {QStringLiteral("Disponible"), QStringLiteral("Ausente"),
                                       QStringLiteral("Ocupado")};
const std::array<QString, 3> kWords = {wire::StateAvailable, wire::StateAway, wire::StateBusy};
} // namespace

Availability::Availability(Settings &settings, const Session &session, Uplink &uplink,
                           Outbox &outbox, QObject *parent)
    : QObject(parent), m_settings(settings), m_session(session), m_uplink(uplink), m_outbox(outbox)
{
    m_poll.setInterval(PollEvery);
    connect(&m_poll, &QTimer::timeout, this, [this] {
        if (m_source)
            m_source->sample();
    });
}

QString Availability::name(State state)
{
    return kNames.at(std::size_t(state));
}

QString Availability::word(State state)
{
    return kWords.at(std::size_t(state));
}

std::optional<Availability::State> Availability::fromWord(const QString &word)
{
    for (std::size_t i = 0; i < kWords.size(); ++i) {
        if (kWords[i] == word)
            return State(i);
    }
    return std::nullopt;
}

QString Availability::describe(State state, const QString &text)
{
    if (text.isEmpty())
        return state == Available ? QString() : name(state);
    return name(state) + QStringLiteral(": ") + text;
}

void Availability::choose(State state, const QString &text)
{
    const State wasShown = shown();
    const QString wasText = m_text;
    // Kept as the others will read it: through the code page, as the server cleans it.
    const QString cleaned = wire::stateText(wire::asSent(text));
    const bool same = state == m_chosen && cleaned == m_text;
    m_chosen = state;
    m_text = cleaned;
    if (same)
        return;
    Q_EMIT chosenChanged(m_chosen, m_text);
    changed(wasShown, wasText);
}

void Availability::setIdleSource(IdleSource *source)
{
    if (m_source)
        disconnect(m_source, nullptr, this, nullptr);
    m_source = source;
    if (!source) {
        // Nothing tells of idleness any more: the user is taken as present.
        m_poll.stop();
        return sampled(std::chrono::milliseconds(0), false);
    }
    connect(source, &IdleSource::sampled, this, &Availability::sampled);
    m_poll.start();
}

void Availability::sampled(std::chrono::milliseconds idle, bool locked)
{
    const State wasShown = shown();
    const int minutes = m_settings.awayAfterMinutes();
    m_idle = locked || (minutes > 0 && idle >= std::chrono::minutes(minutes));
    changed(wasShown, m_text);
}

void Availability::changed(State wasShown, const QString &wasText)
{
    if (shown() == wasShown && m_text == wasText)
        return;
    Q_EMIT shownChanged(shown(), m_text);
    send();
}

void Availability::loggedIn()
{
    if (shown() != Available || !m_text.isEmpty())
        send();
}

void Availability::send()
{
    // A plain server would take the message for something else; before a log-in it means
    // nothing, and the LOGIN sends it anyway.
    if (m_session.state() == Session::State::LoggedIn && m_uplink.isConnected()
        && m_uplink.socket().sendsFramed())
        m_outbox.state(word(shown()), m_text);
}
