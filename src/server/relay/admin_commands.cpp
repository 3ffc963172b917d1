#include "server/relay/admin_commands.h"

#include "server/relay/admission.h"
#include "server/relay/desks.h"
#include "server/relay/files.h"
#include "server/relay/private_lines.h"
#include "server/relay/relay.h"
#include "server/relay/roster.h"

namespace {

QString users(qsizetype count)
{
    return QString::number(count)
        + (count == 1 ? QStringLiteral(" user") : QStringLiteral(" users"));
}

} // namespace

AdminCommands::AdminCommands(Relay &relay, Roster &roster, Admission &admission,
                             PrivateLines &lines, Files &files, Desks &desks)
    : m_relay(relay),
      m_roster(roster),
      m_admission(admission),
      m_lines(lines),
      m_files(files),
      m_desks(desks)
{
}

QString AdminCommands::help()
{
    return QStringLiteral("commands: msg TEXT (notice to everyone), boot NICK (disconnect a user), "
                          "users (who is online), claims (claimed nicknames), files (files waiting), "
                          "release NICK (drop a claim, its kept lines and its files)");
}

AdminAnswer AdminCommands::run(const QString &line)
{
    m_answer = {};
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty())
        return {};
    const qsizetype space = trimmed.indexOf(QLatin1Char(' '));
    const QString command = trimmed.left(space).toLower();
    const QString rest = space < 0 ? QString() : trimmed.mid(space + 1).trimmed();

    if (command == u"msg" && !rest.isEmpty()) {
        notice(rest);
        m_answer.done = true;
    } else if (command == u"boot" && !rest.isEmpty()) {
        m_answer.done = boot(rest);
    } else if (command == u"users" && rest.isEmpty()) {
        listUsers();
        m_answer.done = true;
    } else if (command == u"claims" && rest.isEmpty()) {
        listClaims();
        m_answer.done = true;
    } else if (command == u"files" && rest.isEmpty()) {
        listFiles();
        m_answer.done = true;
    } else if (command == u"release" && !rest.isEmpty()) {
        m_answer.done = release(rest);
    } else {
        answer(ServerItself, help());
    }
    return std::exchange(m_answer, {});
}

void AdminCommands::answer(const QString &where, const QString &what)
{
    m_relay.log.write(where, what);
    m_answer.lines.append(where + QLatin1Char(' ') + what);
}

void AdminCommands::notice(const QString &text)
{
    const QByteArray bytes = wire::toCodePage(wire::buildMessage(wire::Notice, {text}));
    for (Guest *user : std::as_const(m_relay.online))
        user->connection->send(bytes);
    answer(ServerItself,
                QStringLiteral("notice to ") + users(m_relay.online.size()) + QStringLiteral(": ")
                    + quoted(text));
}

bool AdminCommands::boot(const QString &nickname)
{
    const QByteArray bytes = wire::toCodePage(wire::buildMessage(wire::Boot, {nickname}));
    int booted = 0;
    for (Guest *user : std::as_const(m_relay.online)) {
        if (user->nickname != nickname)
            continue;
        ++booted;
        if (user->booted) {
            answer(user->connection->peer(),
                   quoted(nickname) + QStringLiteral(" is booted already"));
            continue;
        }
        user->booted = true;
        // Nothing it said after its last word passed on is passed on now.
        m_roster.dropWaitingState(*user);
        user->connection->send(bytes);
        answer(user->connection->peer(),
                    QStringLiteral("booted ") + quoted(nickname) + QStringLiteral(", closing in ")
                        + QString::number(m_relay.config.bootGrace.count())
                        + QStringLiteral(" ms unless it logs out"));
        m_admission.dropUnlessChanged(*user, m_relay.config.bootGrace, QStringLiteral("booted"));
    }
    if (booted == 0)
        answer(ServerItself, QStringLiteral("boot: nobody called ") + quoted(nickname)
                        + QStringLiteral(" is online"));
    return booted > 0;
}

void AdminCommands::listUsers()
{
    const qsizetype waiting = qsizetype(m_relay.guests.size()) - m_relay.online.size();
    answer(ServerItself, users(m_relay.online.size()) + QStringLiteral(" online, ")
                    + QString::number(waiting) + QStringLiteral(" more connected, not logged in"));
    for (const Guest *user : std::as_const(m_relay.online)) {
        QString what = quoted(user->nickname);
        if (user->connection->isEncrypted())
            what += QStringLiteral(" encrypted");
        if (user->inRoom)
            what += QStringLiteral(" in the room");
        if (user->booted)
            what += QStringLiteral(" booted");
        answer(user->connection->peer(), what);
    }
}

void AdminCommands::listClaims()
{
    if (!m_relay.store) {
        answer(ServerItself, QStringLiteral("no claims: nothing is kept between runs"));
        return;
    }
    const QList<KeptStore::Claim> claims = m_relay.store->claims();
    answer(ServerItself, QString::number(claims.size())
                        + (claims.size() == 1 ? QStringLiteral(" claim") : QStringLiteral(" claims")));
    for (const KeptStore::Claim &claim : claims) {
        answer(ServerItself, quoted(claim.nickname) + QStringLiteral(" since ")
                        + claim.since.toString(Qt::ISODate) + QStringLiteral(", used ")
                        + claim.used.toString(Qt::ISODate) + QStringLiteral(", %1 lines kept")
                                                                 .arg(claim.lines));
        for (const KeptStore::Desk &desk : claim.desks)
            answer(ServerItself, QStringLiteral("  desk ") + quoted(desk.name)
                                     + QStringLiteral(" since ") + desk.since.toString(Qt::ISODate)
                                     + QStringLiteral(", used ") + desk.used.toString(Qt::ISODate));
    }
}

void AdminCommands::listFiles()
{
    const QStringList files = m_files.waiting();
    answer(ServerItself, QString::number(files.size())
                             + (files.size() == 1 ? QStringLiteral(" file") : QStringLiteral(" files"))
                             + QStringLiteral(" waiting"));
    for (const QString &file : files)
        answer(ServerItself, file);
}

bool AdminCommands::release(const QString &nickname)
{
    const std::optional<qsizetype> lines = m_lines.release(nickname);
    if (!lines) {
        answer(ServerItself, QStringLiteral("release: nobody has claimed ") + quoted(nickname));
        return false;
    }
    const int files = m_files.release(wire::nicknameForm(nickname));
    m_desks.released(wire::nicknameForm(nickname));
    answer(ServerItself, QStringLiteral("released ") + quoted(nickname)
                             + QStringLiteral(": %1 kept lines dropped").arg(*lines)
                             + (files > 0 ? QStringLiteral(", %1 files").arg(files) : QString()));
    return true;
}
