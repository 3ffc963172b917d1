#include "server/relay/admission.h"

#include "server/relay/desks.h"
#include "server/relay/private_lines.h"
#include "server/relay/relay.h"
#include "server/relay/room.h"
#include "server/relay/roster.h"
#include "server/secrets.h"

#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

// What every other user is shown is what the nickname is: no character that the wire drops or
// that shows as nothing, no blank at either end. Otherwise "ana" plus an invisible character
// would pass the check against the online names and be listed and relayed as ana.
bool showsAsItIs(const QString &nickname)
{
    return nickname == nickname.trimmed()
        && std::none_of(nickname.begin(), nickname.end(), [](QChar c) {
               return c.category() == QChar::Other_Control || c.category() == QChar::Other_Format
                   || (c.isSpace() && c != u' ');
           });
}

} // namespace

Admission::Admission(Relay &relay, Roster &roster, Room &room, PrivateLines &lines,
                     Desks &desks)
    : m_relay(relay),
      m_roster(roster),
      m_room(room),
      m_lines(lines),
      m_desks(desks),
      // Those due within a twentieth of their time are looked at together.
      m_hellos(relay.config.helloTimeout, relay.config.helloTimeout / 20,
               [this](quint64 connection, quint64) {
                   const Guest *guest = m_relay.find(connection);
                   if (guest && !guest->spoke)
                       guest->connection->drop(
                           QStringLiteral("neither a password nor a log-in for %1 ms")
                               .arg(m_relay.config.helloTimeout.count()));
               }),
      // Tagged with the log-in it was set for: the session, and whether it was logged in.
      m_logIns(relay.config.logInTimeout, relay.config.logInTimeout / 20,
               [this](quint64 connection, quint64 tag) {
                   const Guest *guest = m_relay.find(connection);
                   // A password waiting to be checked is answered first.
                   if (guest && guest->loggedIn == bool(tag & 1) && guest->session == tag >> 1
                       && !guest->checking)
                       guest->connection->drop(QStringLiteral("nobody logged in for %1 ms")
                                                   .arg(m_relay.config.logInTimeout.count()));
               })
{
}

void Admission::accepted(Guest &guest)
{
    // While its address is refused again and again, a connection is logged only once it logs
    // in.
    guest.announced = false;
    if (!m_relay.limits.isQuiet(guest.address))
        announce(guest);
    awaitLogIn(guest);
    m_hellos.add(guest.connection->id());
}

void Admission::summarize()
{
    for (const auto &[where, what] : m_relay.limits.summaries())
        m_relay.log.write(where, what);
}

bool Admission::admitted(Guest &guest)
{
    if (m_relay.config.requireTls && !guest.connection->isEncrypted()) {
        refuse(guest, wire::RefusedClear, QStringLiteral("not encrypted"),
               QStringLiteral("Este servidor solo admite conexiones cifradas."));
        return false;
    }
    if (!m_relay.config.password.isEmpty() && !guest.gavePassword) {
        refuse(guest, wire::RefusedPassword, QStringLiteral("no password"),
               QStringLiteral("Este servidor pide la contraseña del grupo para entrar."));
        return false;
    }
    return true;
}

void Admission::checkPassword(Guest &guest, const QString &password)
{
    // Taken only encrypted, and never written anywhere.
    if (m_relay.config.password.isEmpty() || !guest.connection->isEncrypted() || guest.checking)
        return;
    guest.spoke = true;
    guest.guess = password;
    awaitTurn(guest);
}

void Admission::awaitTurn(Guest &guest)
{
    // Nothing the guest sends after it is handled before the answer.
    guest.checking = true;
    guest.connection->hold();
    const QHostAddress from = AddressLimits::key(guest.address);
    QList<quint64> &waiting = m_guesses[from];
    waiting.append(guest.connection->id());
    if (waiting.size() == 1)
        nextGuess(from);
}

void Admission::nextGuess(const QHostAddress &from)
{
    const auto waiting = m_guesses.find(from);
    if (waiting == m_guesses.end())
        return;
    // Those gone meanwhile have no turn.
    while (!waiting->isEmpty() && !m_relay.connections.contains(waiting->constFirst()))
        waiting->removeFirst();
    if (waiting->isEmpty()) {
        m_guesses.erase(waiting);
        return;
    }
    // Guesses from one address take turns, each after the delay the last wrong one earned:
    // more connections bring no more guesses, and the delay grows with each wrong one however
    // the guesses arrive.
    if (const qint64 wait = m_relay.limits.passwordWait(from); wait > 0) {
        QTimer::singleShot(std::chrono::milliseconds(std::min<qint64>(wait, std::numeric_limits<int>::max())), this,
                           [this, from] { nextGuess(from); });
        return;
    }
    const auto found = m_relay.guests.find(m_relay.connections.value(waiting->takeFirst()));
    m_relay.limits.checkingPassword(from);
    if (found != m_relay.guests.end())
        check(found->second);
    nextGuess(from);
}

void Admission::refuseAfter(Guest &guest, qint64 milliseconds,
                            std::function<void(Guest &)> refusal)
{
    Connection *connection = guest.connection;
    QTimer::singleShot(std::chrono::milliseconds(milliseconds), connection, [=, this] {
        const auto found = m_relay.guests.find(connection);
        if (found != m_relay.guests.end())
            refusal(found->second);
    });
}

void Admission::check(Guest &guest)
{
    // A desk's code is a secret as a password is: guessed from an address in turn, each wrong
    // one delaying the next, and locked out with the passwords.
    const std::optional<Guest::DeskLogIn> desk = std::exchange(guest.deskLogIn, std::nullopt);
    if (m_relay.limits.isLocked(guest.address)) {
        refuseAfter(guest, m_relay.config.passwordDelay.count(), [this, desk](Guest &guest) {
            refuse(guest, wire::RefusedBusy,
                   desk ? QStringLiteral("too many wrong codes")
                        : QStringLiteral("too many wrong passwords"),
                   desk ? QStringLiteral("Desde tu dirección se han probado demasiados códigos "
                                         "equivocados. Espera unos minutos antes de volver a "
                                         "intentarlo.")
                        : QStringLiteral("Desde tu dirección se han probado demasiadas "
                                         "contraseñas equivocadas. Espera unos minutos antes "
                                         "de volver a intentarlo."),
                   AddressLimits::Refusal::Locked);
        });
        return;
    }
    if (desk) {
        const QString form = wire::nicknameForm(desk->nickname);
        const QString why = m_desks.takeCode(form, desk->code);
        if (why.isEmpty()) {
            guest.checking = false;
            guest.connection->release();
            const QString name = m_relay.store->addDesk(form, desk->key, desk->desk.isEmpty()
                                                    ? QStringLiteral("otro equipo") : desk->desk);
            if (name.isEmpty()) {
                refuse(guest, wire::RefusedNickname,
                       QStringLiteral("a desk not added to ") + quoted(desk->nickname),
                       QStringLiteral("No se pudo añadir este equipo al apodo ") + desk->nickname
                           + QStringLiteral("."));
                return;
            }
            m_relay.log.write(guest.connection->peer(), QStringLiteral("adds the desk ")
                                  + quoted(name) + QStringLiteral(" to the claim on ")
                                  + quoted(desk->nickname));
            enter(guest, desk->nickname, desk->token, desk->key, name);
            return;
        }
        refuseAfter(guest, m_relay.limits.wrongPassword(guest.address),
                    [this, nickname = desk->nickname, why](Guest &guest) {
                        refuse(guest, wire::RefusedNickname,
                               QStringLiteral("a wrong code for a desk of ") + quoted(nickname),
                               why, AddressLimits::Refusal::Password);
                    });
        return;
    }
    guest.gavePassword = sameSecret(wire::toCodePage(std::exchange(guest.guess, {})),
                                     m_relay.config.password);
    if (guest.gavePassword) {
        guest.checking = false;
        guest.connection->release();
        awaitLogIn(guest);
        return;
    }
    refuseAfter(guest, m_relay.limits.wrongPassword(guest.address), [this](Guest &guest) {
        refuse(guest, wire::RefusedPassword, QStringLiteral("wrong password"),
               QStringLiteral("La contraseña del grupo no es correcta."),
               AddressLimits::Refusal::Password);
    });
}

void Admission::refuse(Guest &guest, const QString &reason, const QString &why,
                         const QString &text, std::optional<AddressLimits::Refusal> quietly)
{
    if (!quietly || m_relay.limits.logNow(guest.address, *quietly)) {
        announce(guest);
        m_relay.log.write(guest.connection->peer(), QStringLiteral("refused: ") + why);
    }
    if (guest.loggedIn)
        logOut(guest, QStringLiteral("refused"));
    // A guest that knows the extension shows the reason; any other shows a notice.
    const QString message = guest.connection->isFramed()
        ? wire::buildMessage(wire::Refused, {reason, text})
        : wire::buildMessage(wire::Notice, {text});
    Connection *connection = guest.connection;
    const auto answer = [this, connection, message, why] {
        const auto found = m_relay.guests.find(connection);
        if (found == m_relay.guests.end())
            return;
        m_relay.send(found->second, message);
        connection->closeAfterSending(QStringLiteral("refused: ") + why);
    };
    // A password is answered late already. Any other refusal waits too, the connection handling
    // nothing meanwhile: a guest that comes straight back would keep the server busy refusing.
    if (guest.checking || m_relay.config.refusalDelay.count() == 0) {
        answer();
        return;
    }
    connection->hold();
    QTimer::singleShot(m_relay.config.refusalDelay, connection, answer);
}

void Admission::announce(Guest &guest)
{
    if (!std::exchange(guest.announced, true))
        m_relay.log.write(guest.connection->peer(), QStringLiteral("connected"));
}

void Admission::logIn(Guest &guest, const QString &nickname, const QString &token,
                      const QString &key, const QString &code, const QString &desk)
{
    if (!admitted(guest) || nickname.isEmpty())
        return;
    guest.spoke = true;
    // Every newcomer is sent every nickname, and the log and the claims keep them.
    if (nickname.size() > wire::NicknameLength) {
        refuse(guest, wire::RefusedNickname,
               QStringLiteral("a nickname of %1 characters, ").arg(nickname.size())
                   + quoted(nickname),
               QStringLiteral("El apodo no puede tener más de %1 caracteres. Elige otro apodo.")
                   .arg(wire::NicknameLength));
        return;
    }
    if (!showsAsItIs(nickname)) {
        refuse(guest, wire::RefusedNickname,
               QStringLiteral("nickname ") + quoted(nickname) + QStringLiteral(" shows as another"),
               QStringLiteral("El apodo no puede empezar ni acabar en blanco, ni llevar "
                              "caracteres invisibles. Elige otro apodo."));
        return;
    }
    // Each log-in is announced to everyone: a connection logs in only so often a minute.
    const qint64 now = m_relay.now();
    guest.logIns.removeIf([now](qint64 at) { return now - at >= 60'000; });
    if (guest.logIns.size() >= m_relay.config.maxLoginsPerMinute) {
        guest.connection->drop(QStringLiteral("flood: more than %1 log-ins in a minute")
                                    .arg(m_relay.config.maxLoginsPerMinute));
        return;
    }
    guest.logIns.append(now);
    if (!m_relay.limits.mayLogIn(guest.address)) {
        refuse(guest, wire::RefusedBusy, QStringLiteral("too many log-ins from its address"),
               QStringLiteral("Desde tu dirección se ha entrado demasiadas veces en el último "
                              "minuto. Espera un momento antes de volver a intentarlo."),
               AddressLimits::Refusal::LogIn);
        return;
    }
    if (!keyAdmitted(guest, nickname, key))
        return;
    // A key already the claim's needs no code; a new desk's waits for its code to be checked.
    const QString form = wire::nicknameForm(nickname);
    if (!code.isEmpty() && !key.isEmpty() && m_relay.store
        && m_relay.store->owner(form, key) != KeptStore::Owner::Holder) {
        guest.deskLogIn = Guest::DeskLogIn{nickname, token, key, code, wire::stateText(desk)};
        awaitTurn(guest);
        return;
    }
    enter(guest, nickname, token, key, wire::stateText(desk));
}

void Admission::enter(Guest &guest, const QString &nickname, const QString &token,
                      const QString &key, const QString &desk)
{
    // Where encryption is offered, a secret is neither given nor taken in clear.
    const bool secrets = guest.connection->isEncrypted() || !m_relay.offersTls;
    const QString form = wire::nicknameForm(nickname);
    // A claimed nickname is its holder's, online or not, with a token or not.
    const KeptStore::Owner owner = m_relay.store ? m_relay.store->owner(form, key) : KeptStore::Owner::Nobody;
    if (owner == KeptStore::Owner::Someone) {
        refuse(guest, wire::RefusedNickname,
               QStringLiteral("nickname ") + quoted(nickname)
                   + QStringLiteral(" is claimed with another key"),
               QStringLiteral("El apodo ") + nickname
                   + QStringLiteral(" pertenece a otra persona. Elige otro apodo."));
        return;
    }
    // A fresh log-in is someone new to the marks on its lines; one that brings its token back
    // is who it was.
    QString identity;
    if (Guest *holder = m_relay.onlineAs(form); holder && holder != &guest) {
        Guest &old = *holder;
        const bool back = secrets && !token.isEmpty() && !old.token.isEmpty()
            && sameSecret(wire::toCodePage(token), old.token);
        // The holder is at one desk at a time: the last one it logs in from.
        const QString otherDesk = owner == KeptStore::Owner::Holder && old.holder
            ? m_relay.store->deskOf(form, key) : QString();
        if (back) {
            // Its own user, back after losing the connection the server still holds.
            m_relay.log.write(guest.connection->peer(), QStringLiteral("takes ")
                                  + quoted(old.nickname) + QStringLiteral(" back from ")
                                  + old.connection->peer());
            identity = old.identity;
            logOut(old, QStringLiteral("taken over by a new connection"));
            // It has not left: the token it had is spent.
            m_lines.comeBack(QString::fromLatin1(old.token));
            old.connection->drop(QStringLiteral("taken over by a new connection"));
        } else if (!otherDesk.isEmpty() && otherDesk != old.desk) {
            m_relay.log.write(guest.connection->peer(), QStringLiteral("takes ")
                                  + quoted(old.nickname) + QStringLiteral(" to the desk ")
                                  + quoted(otherDesk) + QStringLiteral(" from ")
                                  + old.connection->peer());
            // Its client does not come back by itself: the user is at the other desk.
            m_relay.send(old, wire::buildMessage(wire::Taken, {QStringLiteral(
                                  "Has entrado desde otro equipo")}));
            logOut(old, QStringLiteral("taken over from another desk"));
            m_lines.comeBack(QString::fromLatin1(old.token));
            old.connection->closeAfterSending(QStringLiteral("taken over from another desk"));
        } else {
            if (old.nickname.toCaseFolded() == nickname.toCaseFolded())
                refuse(guest, wire::RefusedNickname,
                       QStringLiteral("nickname ") + quoted(nickname)
                           + QStringLiteral(" is online at ") + old.connection->peer(),
                       QStringLiteral("Ya hay alguien conectado como ") + old.nickname
                           + QStringLiteral(". Elige otro apodo."));
            else
                refuse(guest, wire::RefusedNickname,
                       QStringLiteral("nickname ") + quoted(nickname)
                           + QStringLiteral(" looks like ") + quoted(old.nickname)
                           + QStringLiteral(", online at ") + old.connection->peer(),
                       QStringLiteral("El apodo ") + nickname
                           + QStringLiteral(" se confunde con el de ") + old.nickname
                           + QStringLiteral(", que ya está conectado. Elige otro apodo."));
            return;
        }
    } else if (secrets && !token.isEmpty()) {
        identity = m_lines.comeBack(token);
    }
    if (guest.loggedIn)
        logOut(guest, QStringLiteral("logged in again as ") + quoted(nickname));
    announce(guest);
    guest.nickname = nickname;
    guest.identity = identity.isEmpty() ? wire::randomHex(16) : identity;
    guest.loggedIn = true;
    m_relay.limits.loggedIn(guest.address);
    guest.connection->setLoggedIn(true);
    guest.session = ++m_sessions;
    m_relay.log.write(guest.connection->peer(), QStringLiteral("logged in as ") + quoted(nickname));
    guest.form = form;
    guest.nick = wire::toCodePage(wire::buildMessage(wire::Nick, {nickname}));
    guest.keeps = m_relay.store && guest.connection->isEncrypted() && !key.isEmpty();
    m_lines.holdClaim(guest, key, owner, desk);
    if (guest.connection->isFramed() && secrets) {
        guest.token = wire::randomHex(32).toLatin1();
        m_relay.send(guest, wire::buildMessage(wire::Token, {QString::fromLatin1(guest.token)}));
    }
    m_roster.join(guest);
    m_lines.loggedIn(guest, secrets ? token : QString());
}

bool Admission::keyAdmitted(Guest &guest, const QString &nickname, const QString &key)
{
    if (!key.isEmpty() && !guest.connection->isEncrypted()) {
        refuse(guest, wire::RefusedClear, QStringLiteral("a nickname's key in clear"),
               QStringLiteral("La clave de un apodo solo se admite en una conexión cifrada."));
        return false;
    }
    if (!key.isEmpty() && !isHex(key, wire::KeyDigits)) {
        refuse(guest, wire::RefusedNickname,
               QStringLiteral("a malformed key for ") + quoted(nickname),
               QStringLiteral("La clave del apodo ") + nickname
                   + QStringLiteral(" no es válida."));
        return false;
    }
    return true;
}

void Admission::logOut(Guest &guest, const QString &how)
{
    // The room's members hear it leave first; then everyone else that it went, once what it
    // left is settled.
    m_room.gone(guest);
    m_roster.leave(guest);
    m_lines.loggedOut(guest);
    guest.loggedIn = false;
    m_relay.limits.loggedOut(guest.address);
    guest.connection->setLoggedIn(false);
    guest.booted = false;
    m_relay.log.write(guest.connection->peer(), quoted(guest.nickname) + QLatin1Char(' ') + how);
    m_roster.announceGone(guest);
}

void Admission::awaitLogIn(const Guest &guest)
{
    m_logIns.add(guest.connection->id(), guest.session << 1 | quint64(guest.loggedIn));
}

void Admission::dropUnlessChanged(const Guest &guest, std::chrono::milliseconds after,
                                    const QString &reason)
{
    Connection *connection = guest.connection;
    const quint64 session = guest.session;
    const bool loggedIn = guest.loggedIn;
    QTimer::singleShot(after, connection, [this, connection, session, loggedIn, reason] {
        const auto found = m_relay.guests.find(connection);
        // A password waiting to be checked is answered first.
        if (found != m_relay.guests.end() && found->second.loggedIn == loggedIn
            && found->second.session == session && !found->second.checking)
            connection->drop(reason);
    });
}
