#include "server/relay/desks.h"

#include "server/relay/relay.h"
#include "server/secrets.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QRandomGenerator>

#include <algorithm>

namespace {

// 32 characters none of which reads as another: no 0, 1, I nor O.
constexpr QLatin1StringView kAlphabet("23456789ABCDEFGHJKLMNPQRSTUVWXYZ");
// Nine random characters (45 bits, against a guess every second or more from an address, ten
// in ten minutes), then the check character.
constexpr int kRandom = 9;

// Luhn mod 32 over the characters' places in the alphabet: it catches every single character
// typed wrong and most pairs swapped.
QChar checkOf(QStringView code)
{
    int sum = 0;
    bool twice = true;
    for (qsizetype i = code.size() - 1; i >= 0; --i, twice = !twice) {
        const int addend = int(kAlphabet.indexOf(code[i])) * (twice ? 2 : 1);
        sum += addend / 32 + addend % 32;
    }
    return kAlphabet[(32 - sum % 32) % 32];
}

QByteArray digestOf(const QString &code)
{
    return QCryptographicHash::hash(code.toLatin1(), QCryptographicHash::Sha256);
}

QString timeText(qint64 milliseconds)
{
    return QDateTime::fromSecsSinceEpoch(milliseconds / 1000, Qt::UTC).toString(Qt::ISODate);
}

} // namespace

QString Desks::codeOf(const QString &typed)
{
    QString code = typed.toUpper();
    code.remove(QLatin1Char('-')).remove(QLatin1Char(' '));
    if (code.size() != kRandom + 1
        || !std::all_of(code.cbegin(), code.cend(), [](QChar c) { return kAlphabet.contains(c); })
        || checkOf(QStringView(code).first(kRandom)) != code.back())
        return {};
    return code;
}

QString Desks::newCode()
{
    QString code;
    for (int i = 0; i < kRandom; ++i)
        code += kAlphabet[QRandomGenerator::system()->bounded(int(kAlphabet.size()))];
    code += checkOf(code);
    return code.left(4) + QLatin1Char('-') + code.mid(4, 4) + QLatin1Char('-') + code.mid(8);
}

void Desks::makeCode(Guest &guest)
{
    QString why;
    if (!guest.holder || !m_relay.store->isUsable())
        why = QStringLiteral("Solo se puede añadir otro equipo a un apodo reservado, desde un "
                             "equipo que ya lo use.");
    else if (m_relay.store->desks(guest.form).size() >= m_relay.config.desksPerClaim)
        why = QStringLiteral("El apodo %1 ya se usa desde %2 equipos. Quita alguno antes de "
                             "añadir otro.")
                  .arg(guest.nickname)
                  .arg(m_relay.config.desksPerClaim);
    if (!why.isEmpty()) {
        m_relay.send(guest, wire::buildMessage(wire::DeskCode, {QString(), QString(), why}));
        return;
    }
    const QString code = newCode();
    const qint64 expires =
        QDateTime::currentMSecsSinceEpoch() + m_relay.config.deskCodeLifetime.count();
    m_codes.insert(guest.form, {digestOf(codeOf(code)), expires});
    // The code itself goes nowhere but to its holder.
    m_relay.log.write(guest.connection->peer(),
                      quoted(guest.nickname) + QStringLiteral(" made a code for another desk"));
    m_relay.send(guest, wire::buildMessage(wire::DeskCode, {code, timeText(expires)}));
}

QString Desks::takeCode(const QString &form, const QString &typed)
{
    const QString code = codeOf(typed);
    const auto found = m_codes.find(form);
    if (code.isEmpty() || found == m_codes.end() || !sameSecret(digestOf(code), found->digest))
        return QStringLiteral("El código para usar el apodo en este equipo no es correcto.");
    if (found->used)
        return QStringLiteral("Ese código ya se ha usado. Pide otro en el equipo donde ya "
                              "usas el apodo.");
    if (QDateTime::currentMSecsSinceEpoch() >= found->expires)
        return QStringLiteral("Ese código ha caducado. Pide otro en el equipo donde ya usas el "
                              "apodo.");
    found->used = true;
    return {};
}

void Desks::list(Guest &guest)
{
    QString message = wire::buildMessage(wire::Desks, {guest.holder ? guest.desk : QString()});
    if (guest.holder) {
        for (const KeptStore::Desk &desk : m_relay.store->desks(guest.form))
            message += wire::buildMessage({}, {desk.name, desk.used.toString(Qt::ISODate)});
    }
    m_relay.send(guest, message);
}

void Desks::drop(Guest &guest, const QString &desk)
{
    if (guest.holder && desk != guest.desk && m_relay.store->dropDesk(guest.form, desk))
        m_relay.log.write(guest.connection->peer(), quoted(guest.nickname)
                              + QStringLiteral(" dropped its desk ") + quoted(desk));
    list(guest);
}
