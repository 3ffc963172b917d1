#include "server/relay/address_limits.h"

#include <algorithm>
#include <limits>

namespace {

constexpr qint64 kMinute = 60'000;
constexpr qint64 kHour = 60 * kMinute;
// The delay before a password is checked doubles with each wrong one, up to this many times the
// first.
constexpr qint64 kMaxDelayFactor = 32;

} // namespace

AddressLimits::AddressLimits(const ServerConfig &config) : m_config(config)
{
    m_clock.start();
}

QHostAddress AddressLimits::key(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4);
    // One IPv6 host is given a /64 to pick from: counted per address, it could pick without end.
    Q_IPV6ADDR bytes = address.toIPv6Address();
    std::fill(bytes.c + 8, bytes.c + 16, quint8(0));
    return QHostAddress(bytes);
}

QString AddressLimits::admit(const QHostAddress &address)
{
    if (now() - m_swept >= kMinute)
        sweep();
    State &state = m_states[key(address)];
    if (state.connections >= m_config.maxConnectionsPerAddress)
        return QStringLiteral("more than %1 connections from its address")
            .arg(m_config.maxConnectionsPerAddress);
    if (state.notLoggedIn >= m_config.maxNotLoggedInPerAddress)
        return QStringLiteral("more than %1 connections not logged in from its address")
            .arg(m_config.maxNotLoggedInPerAddress);
    ++state.connections;
    ++state.notLoggedIn;
    return {};
}

void AddressLimits::gone(const QHostAddress &address, bool loggedIn)
{
    const auto found = m_states.find(key(address));
    if (found == m_states.end())
        return;
    --found->connections;
    if (!loggedIn)
        --found->notLoggedIn;
}

void AddressLimits::loggedIn(const QHostAddress &address)
{
    --m_states[key(address)].notLoggedIn;
}

void AddressLimits::loggedOut(const QHostAddress &address)
{
    ++m_states[key(address)].notLoggedIn;
}

bool AddressLimits::mayLogIn(const QHostAddress &address)
{
    return fitsInWindow(m_states[key(address)].logIns, m_config.maxLoginsPerAddress);
}

bool AddressLimits::mayWriteToSomeoneNew(const QHostAddress &address)
{
    return fitsInWindow(m_states[key(address)].newCorrespondents,
                        m_config.maxNewCorrespondentsPerAddress);
}

bool AddressLimits::mayClaim(const QHostAddress &address)
{
    return fitsInWindow(m_states[key(address)].claims, m_config.maxClaimsPerHour, kHour);
}

bool AddressLimits::fitsInWindow(QList<qint64> &times, int most, qint64 window)
{
    const qint64 at = now();
    times.removeIf([at, window](qint64 when) { return at - when >= window; });
    if (times.size() >= most)
        return false;
    times.append(at);
    return true;
}

qint64 AddressLimits::passwordWait(const QHostAddress &address) const
{
    const auto found = m_states.constFind(key(address));
    return found == m_states.cend() ? 0 : std::max<qint64>(0, found->nextCheck - now());
}

void AddressLimits::checkingPassword(const QHostAddress &address)
{
    State &state = m_states[key(address)];
    // After a wrong password, checks from the address take turns: more connections bring no
    // more guesses.
    if (!state.failures.isEmpty())
        state.nextCheck = std::max(state.nextCheck, now() + m_config.passwordDelay.count());
}

bool AddressLimits::isLocked(const QHostAddress &address) const
{
    const auto found = m_states.constFind(key(address));
    return found != m_states.cend() && found->lockedUntil > now();
}

qint64 AddressLimits::wrongPassword(const QHostAddress &address)
{
    const qint64 at = now();
    State &state = m_states[key(address)];
    const qint64 window = m_config.passwordLock.count();
    state.failures.removeIf([at, window](qint64 when) { return at - when >= window; });
    state.failures.append(at);
    if (state.failures.size() >= m_config.maxPasswordFailures)
        state.lockedUntil = at + window;
    const qint64 first = m_config.passwordDelay.count();
    const qsizetype doublings = std::min<qsizetype>(state.failures.size() - 1, 20);
    // A timer takes no more than an int of milliseconds.
    const qint64 delay = std::min({first << doublings, first * kMaxDelayFactor,
                                   qint64(std::numeric_limits<int>::max() / 2)});
    state.nextCheck = std::max(state.nextCheck, at + delay);
    return delay;
}

bool AddressLimits::logNow(const QHostAddress &address, Refusal kind)
{
    Quiet &quiet = m_states[key(address)].quiet[size_t(kind)];
    const qint64 at = now();
    if (quiet.loggedAt < 0
        || (quiet.unlogged == 0 && at - quiet.loggedAt >= m_config.logSummaryInterval.count())) {
        quiet.loggedAt = at;
        return true;
    }
    ++quiet.unlogged;
    return false;
}

bool AddressLimits::isQuiet(const QHostAddress &address) const
{
    const auto found = m_states.constFind(key(address));
    if (found == m_states.cend())
        return false;
    const qint64 at = now();
    return std::any_of(found->quiet.begin(), found->quiet.end(), [&](const Quiet &quiet) {
        return quiet.unlogged > 0
            || (quiet.loggedAt >= 0 && at - quiet.loggedAt < m_config.logSummaryInterval.count());
    });
}

QList<std::pair<QString, QString>> AddressLimits::summaries()
{
    static const std::array<const char *, 5> what = {
        "%1 more connections refused: too many from the address",
        "%1 more log-ins refused: too many from the address in a minute",
        "%1 more wrong passwords",
        "%1 more passwords refused: the address is locked",
        "%1 more nicknames left unclaimed: too many claims from the address in an hour",
    };
    QList<std::pair<QString, QString>> lines;
    const qint64 at = now();
    for (auto state = m_states.begin(); state != m_states.end(); ++state) {
        for (size_t kind = 0; kind < what.size(); ++kind) {
            Quiet &quiet = state->quiet[kind];
            if (quiet.unlogged == 0 || at - quiet.loggedAt < m_config.logSummaryInterval.count())
                continue;
            lines.append({state.key().toString(),
                          QString::fromLatin1(what[kind]).arg(quiet.unlogged)});
            quiet.unlogged = 0;
            quiet.loggedAt = at;
        }
    }
    sweep();
    return lines;
}

void AddressLimits::sweep()
{
    const qint64 at = now();
    m_swept = at;
    const qint64 window = m_config.passwordLock.count();
    const qint64 interval = m_config.logSummaryInterval.count();
    m_states.removeIf([&](QHash<QHostAddress, State>::iterator entry) {
        State &state = entry.value();
        for (QList<qint64> *times : {&state.logIns, &state.newCorrespondents})
            times->removeIf([at](qint64 when) { return at - when >= kMinute; });
        state.failures.removeIf([at, window](qint64 when) { return at - when >= window; });
        state.claims.removeIf([at](qint64 when) { return at - when >= kHour; });
        return state.connections == 0 && state.logIns.isEmpty() && state.claims.isEmpty()
            && state.newCorrespondents.isEmpty() && state.failures.isEmpty()
            && state.lockedUntil <= at && state.nextCheck <= at
            && std::all_of(state.quiet.begin(), state.quiet.end(), [&](const Quiet &quiet) {
                   return quiet.unlogged == 0
                       && (quiet.loggedAt < 0 || at - quiet.loggedAt >= interval);
               });
    });
}
