#include "server/relay/private_lines.h"

#include "server/relay/relay.h"
#include "server/secrets.h"

#include <algorithm>

namespace {

// Bounds on what a guest may owe in IGNORE answers, so that PMs from many names cannot grow it.
constexpr int kMaxOwedPerSender = 50;
constexpr qsizetype kMaxOwingSenders = 1000;

// Lines sent with an id and not yet answered, and answered ones remembered for SEEN, per guest;
// answers (RECEIVED, SEEN) that may come without counting as messages.
constexpr qsizetype kMaxAwaiting = 4096;
// The text of those lines as it is held (UTF-16): twice what may be kept for one recipient, so
// that the lines kept for a guest, sent at its log-in, fit.
constexpr qint64 kMaxAwaitingBytes = 8 * 1024 * 1024;
constexpr qsizetype kMaxAnswered = 1024;
constexpr int kMaxAnswers = 2 * (kMaxAwaiting + kMaxAnswered);
constexpr std::chrono::hours kExpiryInterval{1};
// Failures of the store written to the log in one summary interval; the rest are counted.
constexpr int kStoreFailuresLogged = 10;

QString notDeliveredTo(const QString &to, const QString &why)
{
    return QStringLiteral("Tu mensaje para ") + to + QStringLiteral(" no se entregó: ") + why;
}

qint64 textBytes(const KeptStore::Line &line)
{
    return line.text.size() * qint64(sizeof(QChar));
}

// The entry for a sender's line in what a guest was sent or has answered: a RECEIVED or SEEN
// counts only for a line of that sender with that id.
template <typename List>
auto findLine(List &list, const QString &from, const QString &id)
{
    return std::find_if(list.begin(), list.end(), [&](const auto &line) {
        return line.id == id && line.from == from;
    });
}

QString tooMuchToRead()
{
    return QStringLiteral("tiene demasiados mensajes por leer. Prueba de nuevo en un momento.");
}

} // namespace

PrivateLines::PrivateLines(Relay &relay) : m_relay(relay)
{
    connect(&m_expiry, &QTimer::timeout, this, &PrivateLines::expire);
}

bool PrivateLines::openStore()
{
    const ServerConfig &config = m_relay.config;
    KeptStore::Limits limits;
    limits.linesPerRecipient = config.keptPerRecipient;
    limits.linesPerPair = config.keptPerSender;
    limits.linesInAll = config.keptInAll;
    limits.linesPerAddressPair = config.keptPerAddress;
    limits.linesPerAddress = config.keptFromAddress;
    limits.days = config.keepDays;
    limits.claimDays = config.claimDays;
    limits.desksPerClaim = config.desksPerClaim;
    auto store = std::make_unique<KeptStore>(config.stateFolder, limits);
    if (!store->isUsable()) {
        m_relay.log.write(ServerItself, QStringLiteral("not keeping lines: ") + store->problem());
        return false;
    }
    m_relay.store = std::move(store);
    KeptStore *kept = m_relay.store.get();
    connect(kept, &KeptStore::stored, this, [this](const QList<Line> &lines) {
        for (const Line &line : lines)
            tell(line, wire::MarkKept);
    });
    connect(kept, &KeptStore::failed, this, [this](const QString &why) {
        storeFailed(QStringLiteral("cannot write what is kept: ") + why);
    });
    connect(kept, &KeptStore::lost, this, [this](const QList<Line> &lines, const QString &why) {
        storeFailed(QStringLiteral("%1 kept lines lost: ").arg(lines.size()) + why);
        for (const Line &line : lines)
            tell(line, wire::MarkFailed,
                 notDeliveredTo(line.to, QStringLiteral("el servidor no pudo guardarlo.")));
    });
    m_expiry.start(kExpiryInterval);
    m_relay.log.write(ServerItself,
                      QStringLiteral("keeping claims and lines in ") + config.stateFolder);
    expire();
    return true;
}

void PrivateLines::stop()
{
    if (!m_relay.store)
        return;
    m_relay.store->disconnect(this);
    for (Guest *user : std::as_const(m_relay.online))
        loggedOut(*user);
    m_relay.store.reset();
}

void PrivateLines::privateMessage(Guest &from, const QString &to, const QString &text,
                                 const QString &id)
{
    Line line;
    line.to = to;
    line.from = from.nickname;
    line.sender = from.form;
    line.address = AddressLimits::key(from.address).toString();
    line.held = from.holder;
    line.identity = from.identity;
    line.text = text;
    line.marked = from.keeps && isHex(id, wire::LineIdDigits);
    line.id = line.marked ? id : wire::randomHex(wire::LineIdDigits);
    if (line.marked && resent(line))
        return;
    // Every line with an id ends with a mark, whatever refuses it.
    if (const QString refused = mayWriteTo(from, to); !refused.isEmpty()) {
        if (line.marked)
            tell(line, wire::MarkFailed, refused);
        return;
    }
    if (line.marked)
        m_recent.note(line.sender, line.id, RecentLines::Where::Underway);
    const QDateTime taken = QDateTime::currentDateTimeUtc();
    line.at = taken.addMSecs(-taken.time().msec());
    bool online = false;
    if (Guest *user = m_relay.onlineNamed(to)) {
        online = true;
        const bool sent = user->keeps
            ? sendLine(*user, line, &from)
            : user->connection->send(
                  wire::toCodePage(wire::buildMessage(wire::Pm, {to, from.nickname, text})),
                  from.connection->id(), from.nickname);
        if (!sent) {
            // Too many others write to that reader: the writer hears of it, the reader is not
            // closed.
            const QString why = notDeliveredTo(to, tooMuchToRead());
            if (line.marked)
                tell(line, wire::MarkFailed, why);
            else
                m_relay.send(from, wire::buildMessage(wire::Notice, {why}), &from);
            return;
        }
        // A plain guest has it once it has left for it.
        if (!user->keeps)
            tell(line, wire::MarkDelivered);
        QHash<QString, int> &owed = user->unansweredPms;
        if (owed.size() >= kMaxOwingSenders && !owed.contains(from.nickname))
            owed.clear();
        int &count = owed[from.nickname];
        count = std::min(count + 1, kMaxOwedPerSender);
    }
    if (online)
        return;
    line.owner = wire::nicknameForm(to);
    if (m_relay.store && m_relay.store->owner(line.owner, {}) != KeptStore::Owner::Nobody) {
        keepLine(line);
        return;
    }
    const QString why = notDeliveredTo(to, to + QStringLiteral(" no está conectado."));
    if (line.marked) {
        tell(line, wire::MarkFailed, why);
        return;
    }
    // A plain sender hears it as a notice: once a minute for each name is enough.
    const qint64 now = m_relay.now();
    from.toldAway.removeIf([now](auto told) { return now - told.value() >= 60'000; });
    if (from.toldAway.contains(to) || from.toldAway.size() >= kMaxOwingSenders)
        return;
    from.toldAway.insert(to, now);
    m_relay.send(from, wire::buildMessage(wire::Notice, {why}));
}

bool PrivateLines::sendLine(Guest &to, const Line &line, const Guest *from)
{
    const QString message = wire::buildMessage(
        wire::Pm, {line.to, line.from, line.text, line.id, line.at.toString(Qt::ISODate)});
    if (!to.connection->send(wire::toCodePage(message), from ? from->connection->id() : 0,
                             from ? from->nickname : QString()))
        return false;
    to.awaiting.append(line);
    to.awaitingBytes += textBytes(line);
    // A guest that never answers does not grow the list: the oldest lines go as if it had
    // gone, never told delivered.
    while (to.awaiting.size() > kMaxAwaiting || to.awaitingBytes > kMaxAwaitingBytes) {
        const Line oldest = to.awaiting.takeFirst();
        to.awaitingBytes -= textBytes(oldest);
        letGo(to, oldest, oldest.to + QStringLiteral(" no confirmó haberlo recibido."));
    }
    to.answers = std::min(to.answers + 2, kMaxAnswers);
    return true;
}

void PrivateLines::received(Guest &guest, const QString &from, const QString &id)
{
    if (!guest.keeps)
        return;
    const auto found = findLine(guest.awaiting, from, id);
    if (found == guest.awaiting.end())
        return;
    const Line line = *found;
    guest.awaiting.erase(found);
    guest.awaitingBytes -= textBytes(line);
    if (line.row != 0)
        m_relay.store->delivered(line.row);
    if (!line.marked)
        return;
    tell(line, wire::MarkDelivered);
    if (guest.answered.size() >= kMaxAnswered)
        guest.answered.removeFirst();
    Line answered = line;
    answered.text.clear();
    guest.answered.append(answered);
}

void PrivateLines::seen(Guest &guest, const QString &from, const QString &id)
{
    if (!guest.keeps)
        return;
    const auto found = findLine(guest.answered, from, id);
    if (found == guest.answered.end())
        return;
    const Line line = *found;
    guest.answered.erase(found);
    tell(line, wire::MarkRead);
}

void PrivateLines::ignore(Guest &blocker, const QString &sender)
{
    const auto owed = blocker.unansweredPms.find(sender);
    if (owed == blocker.unansweredPms.end())
        return;
    if (--owed.value() == 0)
        blocker.unansweredPms.erase(owed);
    if (Guest *user = m_relay.onlineNamed(sender))
        user->connection->send(
            wire::toCodePage(wire::buildMessage(wire::Ignore, {blocker.nickname, sender})),
            blocker.connection->id(), blocker.nickname);
}

void PrivateLines::holdClaim(Guest &guest, const QString &key, KeptStore::Owner owner,
                             const QString &desk)
{
    guest.holder = owner == KeptStore::Owner::Holder;
    if (guest.keeps && owner == KeptStore::Owner::Nobody) {
        // Each claim is a row on disk for months: an address makes only so many.
        if (!m_relay.limits.mayClaim(guest.address)) {
            if (m_relay.limits.logNow(guest.address, AddressLimits::Refusal::Claim))
                m_relay.log.write(guest.connection->peer(),
                            quoted(guest.nickname)
                                + QStringLiteral(" left unclaimed: more than %1 claims in an "
                                                 "hour from its address")
                                      .arg(m_relay.config.maxClaimsPerHour));
        } else if (m_relay.store->claim(guest.form, guest.nickname, key, desk)) {
            guest.holder = true;
            m_relay.log.write(guest.connection->peer(),
                        QStringLiteral("claims ") + quoted(guest.nickname));
        }
    }
    if (guest.holder) {
        guest.desk = m_relay.store->deskOf(guest.form, key);
        m_relay.store->used(guest.form, guest.desk);
    }
}

void PrivateLines::loggedIn(Guest &guest, const QString &token)
{
    if (!m_relay.store)
        return;
    // The marks waiting for a claim are its holder's; those waiting for a log-in that left
    // without one, the log-in's that presents its token. Nobody else hears of them.
    QList<KeptStore::Report> reports;
    if (guest.holder) {
        for (Line line : m_relay.store->linesFor(guest.form)) {
            line.to = guest.nickname;
            sendLine(guest, line);
        }
        reports = m_relay.store->takeReports(guest.form);
    }
    if (!token.isEmpty())
        reports += m_relay.store->takeReports(Departures::boxOf(token));
    for (const KeptStore::Report &report : std::as_const(reports))
        sendMark(guest, report);
}

void PrivateLines::loggedOut(Guest &guest)
{
    guest.answered.clear();
    guest.awaitingBytes = 0;
    for (const Line &line : std::exchange(guest.awaiting, {}))
        letGo(guest, line, line.to + QStringLiteral(" se desconectó antes de recibirlo."));
    guest.unansweredPms.clear();
    // Marks on its own lines wait for its token, unless a claim keeps them.
    if (!guest.holder)
        m_departures.left(guest.identity, QString::fromLatin1(guest.token));
}

void PrivateLines::sendMark(Guest &to, const KeptStore::Report &report)
{
    if (report.marked && to.keeps)
        m_relay.send(to, report.text.isEmpty()
                     ? wire::buildMessage(wire::Mark, {report.id, report.state})
                     : wire::buildMessage(wire::Mark, {report.id, report.state, report.text}));
    else if (report.state == wire::MarkFailed)
        m_relay.send(to, wire::buildMessage(wire::Notice, {report.text}));
}

void PrivateLines::letGo(const Guest &guest, Line line, const QString &why)
{
    // A line from the store is still there, for the next log-in.
    if (line.row != 0)
        return;
    if (guest.holder) {
        line.owner = guest.form;
        keepLine(line);
    } else {
        tell(line, wire::MarkFailed, notDeliveredTo(line.to, why));
    }
}

void PrivateLines::keepLine(const Line &line)
{
    const QString why = m_relay.store->keep(line);
    if (why.isEmpty())
        return;
    if (!m_relay.store->isUsable())
        storeFailed(QStringLiteral("a line for ") + quoted(line.to)
                    + QStringLiteral(" not kept: ") + m_relay.store->problem());
    tell(line, wire::MarkFailed, why);
}

void PrivateLines::storeFailed(const QString &what)
{
    if (m_storeFailures++ < kStoreFailuresLogged)
        m_relay.log.write(ServerItself, what);
    else
        ++m_storeFailuresUnlogged;
}

void PrivateLines::summarize()
{
    if (m_storeFailuresUnlogged > 0)
        m_relay.log.write(ServerItself,
                          QStringLiteral("%1 more failures of the store: ")
                                  .arg(m_storeFailuresUnlogged)
                              + (m_relay.store ? m_relay.store->problem() : QString()));
    m_storeFailures = m_storeFailuresUnlogged = 0;
}

void PrivateLines::tell(const Line &line, const QString &state, const QString &text)
{
    // A plain sender hears only of failures.
    if (!line.marked && state != wire::MarkFailed)
        return;
    if (line.marked) {
        static const QHash<QString, RecentLines::Where> where = {
            {wire::MarkKept, RecentLines::Where::Kept},
            {wire::MarkDelivered, RecentLines::Where::Delivered},
            {wire::MarkRead, RecentLines::Where::Read},
            {wire::MarkFailed, RecentLines::Where::Failed},
        };
        m_recent.note(line.sender, line.id, where.value(state));
    }
    const KeptStore::Report report{line.id, state, text, line.marked};
    if (Guest *sender = senderOf(line)) {
        sendMark(*sender, report);
        return;
    }
    // Away, the holder of a claim is told every mark, anyone else failures only, at a log-in
    // with the token it left with; that a line is kept is news only at the moment.
    if (!m_relay.store || state == wire::MarkKept)
        return;
    if (line.held) {
        if (m_relay.store->owner(line.sender, {}) != KeptStore::Owner::Nobody)
            m_relay.store->report(line.sender, report, line.address);
    } else if (state == wire::MarkFailed) {
        if (const QString box = m_departures.boxFor(line.identity); !box.isEmpty())
            m_relay.store->report(box, report, line.address);
    }
}

Guest *PrivateLines::senderOf(const Line &line)
{
    Guest *user = m_relay.onlineAs(line.sender);
    return user && (user->identity == line.identity || (line.held && user->holder)) ? user
                                                                                      : nullptr;
}

bool PrivateLines::resent(const Line &line)
{
    std::optional<RecentLines::Where> where = m_recent.find(line.sender, line.id);
    // After a restart only the store knows it.
    if (!where && m_relay.store && m_relay.store->holds(line.sender, line.id))
        where = RecentLines::Where::Kept;
    if (!where)
        return false;
    switch (*where) {
    case RecentLines::Where::Underway:
        // Its mark comes when its recipient answers.
        break;
    case RecentLines::Where::Kept:
        tell(line, wire::MarkKept);
        break;
    case RecentLines::Where::Read:
        tell(line, wire::MarkDelivered);
        tell(line, wire::MarkRead);
        break;
    case RecentLines::Where::Delivered:
        tell(line, wire::MarkDelivered);
        break;
    case RecentLines::Where::Failed:
        tell(line, wire::MarkFailed,
             QStringLiteral("Tu mensaje para ") + line.to + QStringLiteral(" no se entregó."));
        break;
    }
    return true;
}

QString PrivateLines::mayWriteTo(Guest &from, const QString &to)
{
    const qint64 now = m_relay.now();
    // Whom the guest wrote to within the hour is known; others are new correspondents.
    from.correspondents.removeIf([now](auto written) { return now - written.value() > 3'600'000; });
    from.newCorrespondents.removeIf([now](qint64 at) { return now - at >= 60'000; });
    const bool online = m_relay.onlineNamed(to) != nullptr;
    // Only those online or claimed are remembered: any number of names that nobody has must not
    // grow it. A line kept for someone away opens a window all the same, later.
    const bool claimed = !online && m_relay.store
        && m_relay.store->owner(wire::nicknameForm(to), {}) != KeptStore::Owner::Nobody;
    if ((!online && !claimed) || to == from.nickname)
        return {};
    if (from.correspondents.contains(to)) {
        from.correspondents[to] = now;
        return {};
    }
    // Many connections from one place are as many windows on one desktop as one connection's.
    const bool byConnection =
        from.newCorrespondents.size() < m_relay.config.maxNewCorrespondentsPerMinute;
    if (byConnection && m_relay.limits.mayWriteToSomeoneNew(from.address)) {
        from.newCorrespondents.append(now);
        from.correspondents[to] = now;
        return {};
    }
    const int most = byConnection ? m_relay.config.maxNewCorrespondentsPerAddress
                                  : m_relay.config.maxNewCorrespondentsPerMinute;
    const QString why = notDeliveredTo(
        to, (byConnection ? QStringLiteral("desde tu dirección ya se escribió a %1 personas "
                                           "nuevas en el último minuto.")
                          : QStringLiteral("ya escribiste a %1 personas nuevas en el último "
                                           "minuto."))
                    .arg(most)
                + QStringLiteral(" Espera un momento antes de escribir a otras."));
    // Logged, and told to a plain writer, at most once a minute.
    if (now - from.toldRefused >= 60'000 || from.toldRefused < 0) {
        from.toldRefused = now;
        m_relay.log.write(from.connection->peer(),
                    quoted(from.nickname) + QStringLiteral(" refused: ")
                        + QStringLiteral("more than %1 new correspondents in a minute").arg(most)
                        + (byConnection ? QStringLiteral(" from its address") : QString()));
        if (!from.keeps)
            m_relay.send(from, wire::buildMessage(wire::Notice, {why}));
    }
    return why;
}

void PrivateLines::unclaimed(Guest &user)
{
    // It keeps the nickname for this log-in, but no longer the lines kept for it.
    user.holder = false;
    user.awaiting.removeIf([](const Line &line) { return line.row != 0; });
    user.awaitingBytes = 0;
    for (const Line &line : std::as_const(user.awaiting))
        user.awaitingBytes += textBytes(line);
}

void PrivateLines::expire()
{
    // A holder online is using its claim now: it never lapses under it.
    for (const Guest *user : std::as_const(m_relay.online)) {
        if (user->holder)
            m_relay.store->used(user->form, user->desk);
    }
    const QList<Line> lines = m_relay.store->expire();
    for (Guest *user : std::as_const(m_relay.online)) {
        if (user->holder && m_relay.store->owner(user->form, {}) == KeptStore::Owner::Nobody)
            unclaimed(*user);
    }
    if (!lines.isEmpty())
        m_relay.log.write(ServerItself, QStringLiteral("%1 kept lines expired").arg(lines.size()));
    for (const Line &line : lines)
        tell(line, wire::MarkFailed,
             notDeliveredTo(line.to, QStringLiteral("nadie lo recogió en %1 días.")
                                         .arg(m_relay.config.keepDays)));
}

std::optional<qsizetype> PrivateLines::release(const QString &nickname)
{
    const QString form = wire::nicknameForm(nickname);
    const std::optional<QList<Line>> lines =
        m_relay.store ? m_relay.store->release(form) : std::nullopt;
    if (!lines)
        return std::nullopt;
    for (Guest *user : std::as_const(m_relay.online)) {
        if (user->form == form)
            unclaimed(*user);
    }
    for (const Line &line : *lines)
        tell(line, wire::MarkFailed,
             notDeliveredTo(line.to, QStringLiteral("el administrador liberó su apodo.")));
    return lines->size();
}
