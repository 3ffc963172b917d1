#include "server/store/kept_store.h"

#include "protocol/wire.h"
#include "server/secrets.h"
#include "storage/database.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>

namespace {

const QString kFile = QStringLiteral("keep.sqlite");
// Another program holding the file is waited for this long.
constexpr int kBusyMs = 2000;

// Each entry takes the file from version i to i + 1, in one transaction.
const QList<QStringList> kMigrations = {
    {
        QStringLiteral("CREATE TABLE claims (form TEXT PRIMARY KEY, nickname TEXT NOT NULL, "
                       "digest BLOB NOT NULL, since INTEGER NOT NULL, used INTEGER NOT NULL)"),
        // author: the sender's nickname as it was logged in; sender: its folded form.
        QStringLiteral("CREATE TABLE lines (row INTEGER PRIMARY KEY AUTOINCREMENT, "
                       "owner TEXT NOT NULL, recipient TEXT NOT NULL, author TEXT NOT NULL, "
                       "sender TEXT NOT NULL, id TEXT NOT NULL, marked INTEGER NOT NULL, "
                       "text TEXT NOT NULL, at INTEGER NOT NULL)"),
        // An owner's lines are read at each of its log-ins.
        QStringLiteral("CREATE INDEX lines_by_owner ON lines (owner, row)"),
        QStringLiteral("CREATE TABLE reports (row INTEGER PRIMARY KEY AUTOINCREMENT, "
                       "sender TEXT NOT NULL, id TEXT NOT NULL, state TEXT NOT NULL, "
                       "text TEXT NOT NULL, marked INTEGER NOT NULL, at INTEGER NOT NULL)"),
        QStringLiteral("CREATE INDEX reports_by_sender ON reports (sender, row)"),
    },
    {
        // Where a line came from, bounded per address; whether its sender held its claim, and
        // otherwise which log-in of the sender's may hear of it. Lines kept before were told
        // to the claim of their sender's nickname.
        QStringLiteral("ALTER TABLE lines ADD COLUMN address TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE lines ADD COLUMN held INTEGER NOT NULL DEFAULT 1"),
        QStringLiteral("ALTER TABLE lines ADD COLUMN identity TEXT NOT NULL DEFAULT ''"),
        // A line sent again (its sender did not hear where it was) is found by its id.
        QStringLiteral("CREATE INDEX lines_by_sender ON lines (sender, id)"),
        QStringLiteral("ALTER TABLE reports ADD COLUMN address TEXT NOT NULL DEFAULT ''"),
    },
    {
        // A claim's keys, one for each desk of its holder's: the key of a claim made before is
        // its first desk's.
        QStringLiteral("CREATE TABLE keys (form TEXT NOT NULL, digest BLOB NOT NULL, "
                       "desk TEXT NOT NULL, since INTEGER NOT NULL, used INTEGER NOT NULL, "
                       "PRIMARY KEY (form, desk))"),
        QStringLiteral("INSERT INTO keys SELECT form, digest, '") + KeptStore::FirstDesk
            + QStringLiteral("', since, used FROM claims"),
        QStringLiteral("ALTER TABLE claims DROP COLUMN digest"),
    },
};

const QString kLineColumns = QStringLiteral(
    "row, owner, recipient, author, sender, address, held, identity, id, marked, text, at");

QString reasonOf(const storage::Failure &failure)
{
    switch (failure.kind) {
    case storage::Failure::Locked:
        return kFile + QStringLiteral(" is locked by another program: ") + failure.detail;
    case storage::Failure::ReadOnly:
    case storage::Failure::CantOpen:
        return kFile + QStringLiteral(" cannot be written: ") + failure.detail;
    case storage::Failure::Damaged:
        return kFile + QStringLiteral(" is damaged: ") + failure.detail;
    case storage::Failure::Full:
        return QStringLiteral("the disk is full, ") + kFile + QStringLiteral(": ")
            + failure.detail;
    case storage::Failure::Newer:
        return kFile + QStringLiteral(" is of a newer version (%1) than this server's (%2)")
                           .arg(failure.detail)
                           .arg(kMigrations.size());
    default:
        return kFile + QStringLiteral(": ") + failure.detail;
    }
}

QString reasonOf(const QSqlError &error)
{
    return reasonOf(storage::Failure::of(error));
}

// Qt binds a null string as NULL; every text column is NOT NULL.
QString notNull(const QString &text)
{
    return text.isNull() ? QStringLiteral("") : text;
}

// The digest of a claim's key; empty for anything but 64 lowercase hexadecimal digits.
QByteArray digestOf(const QString &key)
{
    if (!isHex(key, wire::KeyDigits))
        return {};
    return QCryptographicHash::hash(QByteArray::fromHex(key.toLatin1()),
                                    QCryptographicHash::Sha256);
}

QDateTime timeOf(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
}

QString rowList(const QSet<qint64> &rows)
{
    QJsonArray array;
    for (const qint64 row : rows)
        array.append(row);
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

// The first value of a query that yields one row; -1 on an error.
qint64 single(QSqlQuery &query, const QString &statement)
{
    return query.exec(statement) && query.next() ? query.value(0).toLongLong() : -1;
}

} // namespace

KeptStore::KeptStore(const QString &folder, const Limits &limits, QObject *parent)
    : QObject(parent), m_limits(limits)
{
    m_commitTimer.setSingleShot(true);
    m_commitTimer.setInterval(0);
    connect(&m_commitTimer, &QTimer::timeout, this, &KeptStore::commit);
    open(folder);
}

KeptStore::~KeptStore()
{
    commit();
}

void KeptStore::open(const QString &folder)
{
    // Every commit reaches the disk before it returns: a line told kept survives a power cut.
    storage::Database::Options options;
    options.busyMs = kBusyMs;
    options.fullSync = true;
    // The state folder is the server's, made with its identity.
    options.makeFolder = false;
    if (const storage::Failure failure = m_db.open(folder, kFile, options, kMigrations)) {
        m_problem = failure.kind == storage::Failure::CantOpen
            ? kFile + QStringLiteral(" cannot be made in ") + QDir::toNativeSeparators(folder)
                + QStringLiteral(": ") + failure.detail
            : reasonOf(failure);
        return;
    }
    m_problem = load();
    if (m_problem.isEmpty())
        return;
    // Nothing read from a file that failed half-way holds.
    m_claims.clear();
    m_rows.clear();
    m_perOwner.clear();
    m_perPair.clear();
    m_perAddressPair.clear();
    m_perAddress.clear();
    m_inAll = {};
    m_reports.clear();
    m_marks.clear();
    m_failures.clear();
    m_byAddress.clear();
    m_db.close();
}

QString KeptStore::load()
{
    QSqlQuery query = m_db.query();
    query.setForwardOnly(true);
    const auto failed = [&query] { return reasonOf(query.lastError()); };
    if (!query.exec(QStringLiteral("SELECT form, nickname, since, used FROM claims")))
        return failed();
    while (query.next())
        m_claims.insert(query.value(0).toString(),
                        {query.value(1).toString(), timeOf(query.value(2).toLongLong()),
                         timeOf(query.value(3).toLongLong()), {}});
    if (!query.exec(QStringLiteral(
            "SELECT form, digest, desk, since, used FROM keys ORDER BY since, rowid")))
        return failed();
    while (query.next()) {
        if (const auto held = m_claims.find(query.value(0).toString()); held != m_claims.end())
            held->keys.append({query.value(1).toByteArray(),
                               {query.value(2).toString(), timeOf(query.value(3).toLongLong()),
                                timeOf(query.value(4).toLongLong())}});
    }
    if (!query.exec(QStringLiteral(
            "SELECT row, owner, sender, address, length(CAST(text AS BLOB)), at FROM lines")))
        return failed();
    while (query.next()) {
        const Where where{query.value(1).toString(), query.value(2).toString(),
                          query.value(3).toString(), query.value(4).toLongLong(),
                          query.value(5).toLongLong()};
        m_rows.insert(query.value(0).toLongLong(), where);
        count(where, 1);
    }
    if (!query.exec(QStringLiteral("SELECT row, sender, id, state, text, marked, at, address "
                                   "FROM reports ORDER BY row")))
        return failed();
    while (query.next()) {
        const Waiting waiting{query.value(0).toLongLong(),
                              {query.value(2).toString(), query.value(3).toString(),
                               query.value(4).toString(), query.value(5).toBool()},
                              query.value(6).toLongLong(), query.value(7).toString()};
        const QString box = query.value(1).toString();
        m_reports[box].append(waiting);
        byRow(waiting).insert(waiting.row, box);
        m_byAddress[waiting.address].insert(waiting.row, box);
    }
    // Rows are never used twice, even those of lines gone since.
    const qint64 lines = single(query, QStringLiteral(
        "SELECT COALESCE((SELECT seq FROM sqlite_sequence WHERE name = 'lines'), 0)"));
    const qint64 reports = single(query, QStringLiteral(
        "SELECT COALESCE((SELECT seq FROM sqlite_sequence WHERE name = 'reports'), 0)"));
    if (lines < 0 || reports < 0)
        return failed();
    m_nextRow = lines + 1;
    m_nextReport = reports + 1;
    return {};
}

void KeptStore::queue(const QString &statement, const QVariantList &values)
{
    if (!isUsable())
        return;
    m_writes.append({statement, values});
    if (!m_commitTimer.isActive())
        m_commitTimer.start();
}

void KeptStore::count(const Where &where, int sign)
{
    const std::pair<QString, QString> pair{where.sender, where.owner};
    const std::pair<QString, QString> addressPair{where.address, where.owner};
    for (Tally *tally : {&m_perOwner[where.owner], &m_perPair[pair],
                         &m_perAddressPair[addressPair], &m_perAddress[where.address], &m_inAll}) {
        tally->lines += sign;
        tally->bytes += sign * where.bytes;
    }
    // Nothing is remembered of those with nothing kept.
    const auto drop = [](auto &tallies, const auto &key) {
        if (tallies[key].lines == 0)
            tallies.remove(key);
    };
    drop(m_perOwner, where.owner);
    drop(m_perPair, pair);
    drop(m_perAddressPair, addressPair);
    drop(m_perAddress, where.address);
}

void KeptStore::forget(qint64 row)
{
    if (const auto found = m_rows.constFind(row); found != m_rows.cend()) {
        count(*found, -1);
        m_rows.erase(found);
    }
}

KeptStore::Owner KeptStore::owner(const QString &form, const QString &key) const
{
    const auto found = m_claims.constFind(form);
    if (found == m_claims.cend())
        return Owner::Nobody;
    return deskOf(form, key).isEmpty() ? Owner::Someone : Owner::Holder;
}

QString KeptStore::deskOf(const QString &form, const QString &key) const
{
    const QByteArray digest = digestOf(key);
    const auto found = m_claims.constFind(form);
    if (digest.isEmpty() || found == m_claims.cend())
        return {};
    // Every key is compared, whichever matches: the time says nothing about which.
    QString desk;
    for (const Key &held : found->keys) {
        if (sameSecret(digest, held.digest))
            desk = held.desk.name;
    }
    return desk;
}

bool KeptStore::claim(const QString &form, const QString &nickname, const QString &key,
                      const QString &desk)
{
    const QByteArray digest = digestOf(key);
    if (!isUsable() || digest.isEmpty() || m_claims.contains(form))
        return false;
    const QDateTime now = timeOf(QDateTime::currentSecsSinceEpoch());
    const Key first{digest, {desk.isEmpty() ? FirstDesk : desk, now, now}};
    m_claims.insert(form, {nickname, now, now, {first}});
    queue(QStringLiteral("INSERT INTO claims (form, nickname, since, used) VALUES (?, ?, ?, ?)"),
          {notNull(form), notNull(nickname), now.toSecsSinceEpoch(), now.toSecsSinceEpoch()});
    insertKey(form, first);
    return true;
}

void KeptStore::insertKey(const QString &form, const Key &key)
{
    queue(QStringLiteral("INSERT INTO keys (form, digest, desk, since, used) "
                         "VALUES (?, ?, ?, ?, ?)"),
          {notNull(form), key.digest, notNull(key.desk.name), key.desk.since.toSecsSinceEpoch(),
           key.desk.used.toSecsSinceEpoch()});
}

QString KeptStore::addDesk(const QString &form, const QString &key, const QString &desk)
{
    const QByteArray digest = digestOf(key);
    const auto found = m_claims.find(form);
    if (!isUsable() || digest.isEmpty() || found == m_claims.end() || !deskOf(form, key).isEmpty()
        || found->keys.size() >= m_limits.desksPerClaim)
        return {};
    QString name = desk;
    const auto taken = [&](const Key &k) { return k.desk.name == name; };
    for (int n = 2; std::any_of(found->keys.cbegin(), found->keys.cend(), taken); ++n)
        name = desk + QLatin1Char(' ') + QString::number(n);
    const QDateTime now = timeOf(QDateTime::currentSecsSinceEpoch());
    found->keys.append({digest, {name, now, now}});
    insertKey(form, found->keys.constLast());
    return name;
}

bool KeptStore::dropDesk(const QString &form, const QString &desk)
{
    const auto found = m_claims.find(form);
    if (found == m_claims.end()
        || found->keys.removeIf([&](const Key &k) { return k.desk.name == desk; }) == 0)
        return false;
    queue(QStringLiteral("DELETE FROM keys WHERE form = ? AND desk = ?"), {form, desk});
    return true;
}

QList<KeptStore::Desk> KeptStore::desks(const QString &form) const
{
    QList<Desk> desks;
    for (const Key &key : m_claims.value(form).keys)
        desks.append(key.desk);
    return desks;
}

void KeptStore::used(const QString &form, const QString &desk)
{
    const auto found = m_claims.find(form);
    if (found == m_claims.end())
        return;
    found->used = timeOf(QDateTime::currentSecsSinceEpoch());
    queue(QStringLiteral("UPDATE claims SET used = ? WHERE form = ?"),
          {found->used.toSecsSinceEpoch(), form});
    for (Key &key : found->keys) {
        if (key.desk.name == desk) {
            key.desk.used = found->used;
            queue(QStringLiteral("UPDATE keys SET used = ? WHERE form = ? AND desk = ?"),
                  {found->used.toSecsSinceEpoch(), form, desk});
        }
    }
}

QList<KeptStore::Claim> KeptStore::claims() const
{
    QList<Claim> list;
    for (auto c = m_claims.cbegin(); c != m_claims.cend(); ++c)
        list.append({c->nickname, c->since, c->used, m_perOwner.value(c.key()).lines,
                     desks(c.key())});
    std::sort(list.begin(), list.end(), [](const Claim &a, const Claim &b) {
        const int order = a.nickname.compare(b.nickname, Qt::CaseInsensitive);
        return order != 0 ? order < 0 : a.nickname < b.nickname;
    });
    return list;
}

std::optional<QList<KeptStore::Line>> KeptStore::release(const QString &form)
{
    if (!m_claims.remove(form))
        return std::nullopt;
    const QList<Line> lines = linesFor(form);
    for (const Line &line : lines)
        forget(line.row);
    queue(QStringLiteral("DELETE FROM claims WHERE form = ?"), {form});
    queue(QStringLiteral("DELETE FROM keys WHERE form = ?"), {form});
    queue(QStringLiteral("DELETE FROM lines WHERE owner = ?"), {form});
    // Its next holder is someone else: the marks waiting for this one are not theirs.
    takeReports(form);
    return lines;
}

QString KeptStore::keep(Line line)
{
    const Where where{line.owner, line.sender, line.address, line.text.toUtf8().size(),
                      line.at.isValid() ? line.at.toSecsSinceEpoch()
                                        : QDateTime::currentSecsSinceEpoch()};
    const auto full = [&where](const Tally &tally, int lines, qint64 bytes) {
        return tally.lines + 1 > lines || tally.bytes + where.bytes > bytes;
    };
    const QString because =
        QStringLiteral("Tu mensaje para %1 no se pudo guardar: ").arg(line.to);
    if (full(m_perOwner.value(line.owner), m_limits.linesPerRecipient,
             m_limits.bytesPerRecipient))
        return because
            + QStringLiteral("ya hay demasiados mensajes esperando a %1.").arg(line.to);
    if (full(m_perPair.value({line.sender, line.owner}), m_limits.linesPerPair,
             m_limits.bytesPerPair))
        return because + QStringLiteral("ya le has dejado demasiados mensajes sin leer.");
    // Whatever nicknames an address writes as, it is one writer to the bounds.
    if (full(m_perAddressPair.value({line.address, line.owner}), m_limits.linesPerAddressPair,
             m_limits.bytesPerAddressPair))
        return because
            + QStringLiteral("desde tu dirección ya se le han dejado demasiados mensajes sin leer.");
    if (full(m_perAddress.value(line.address), m_limits.linesPerAddress,
             m_limits.bytesPerAddress))
        return because
            + QStringLiteral("desde tu dirección ya se han dejado demasiados mensajes en el "
                             "servidor.");
    if (full(m_inAll, m_limits.linesInAll, m_limits.bytesInAll))
        return because + QStringLiteral("el servidor no tiene sitio para más mensajes.");
    if (!isUsable())
        return because + QStringLiteral("el servidor no puede guardar mensajes ahora.");
    // A claim gone (lapsed, released) leaves nobody to take it: the next claimer must not.
    if (!m_claims.contains(line.owner))
        return because + QStringLiteral("%1 ya no tiene el apodo reservado.").arg(line.to);

    line.row = m_nextRow++;
    line.at = timeOf(where.at);
    m_rows.insert(line.row, where);
    count(where, 1);
    queue(QStringLiteral("INSERT INTO lines (") + kLineColumns
              + QStringLiteral(") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
          {line.row, notNull(line.owner), notNull(line.to), notNull(line.from),
           notNull(line.sender), notNull(line.address), int(line.held), notNull(line.identity),
           notNull(line.id), int(line.marked), notNull(line.text), where.at});
    m_pending.append(std::move(line));
    return {};
}

QList<KeptStore::Line> KeptStore::read(const QString &condition, const QVariant &value) const
{
    QList<Line> lines;
    if (m_db.isOpen()) {
        QSqlQuery query = m_db.query();
        query.setForwardOnly(true);
        query.prepare(QStringLiteral("SELECT ") + kLineColumns
                      + QStringLiteral(" FROM lines WHERE ") + condition + QStringLiteral(" ORDER BY row"));
        query.addBindValue(value);
        if (query.exec()) {
            while (query.next()) {
                Line line;
                line.row = query.value(0).toLongLong();
                line.owner = query.value(1).toString();
                line.to = query.value(2).toString();
                line.from = query.value(3).toString();
                line.sender = query.value(4).toString();
                line.address = query.value(5).toString();
                line.held = query.value(6).toBool();
                line.identity = query.value(7).toString();
                line.id = query.value(8).toString();
                line.marked = query.value(9).toBool();
                line.text = query.value(10).toString();
                line.at = timeOf(query.value(11).toLongLong());
                lines.append(line);
            }
        }
    }
    return keptOf(lines);
}

QList<KeptStore::Line> KeptStore::keptOf(const QList<Line> &lines) const
{
    QList<Line> kept;
    for (const Line &line : lines) {
        if (m_rows.contains(line.row))
            kept.append(line);
    }
    return kept;
}

QList<KeptStore::Line> KeptStore::linesFor(const QString &owner) const
{
    QList<Line> lines = read(QStringLiteral("owner = ?"), owner);
    for (const Line &line : keptOf(m_pending)) {
        if (line.owner == owner)
            lines.append(line);
    }
    return lines;
}

bool KeptStore::holds(const QString &sender, const QString &id) const
{
    for (const Line &line : m_pending) {
        if (line.sender == sender && line.id == id && m_rows.contains(line.row))
            return true;
    }
    if (!m_db.isOpen())
        return false;
    QSqlQuery query = m_db.query();
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT row FROM lines WHERE sender = ? AND id = ?"));
    query.addBindValue(sender);
    query.addBindValue(id);
    if (!query.exec())
        return false;
    while (query.next()) {
        if (m_rows.contains(query.value(0).toLongLong()))
            return true;
    }
    return false;
}

void KeptStore::delivered(qint64 row)
{
    if (!m_rows.contains(row))
        return;
    forget(row);
    queue(QStringLiteral("DELETE FROM lines WHERE row = ?"), {row});
}

QMap<qint64, QString> &KeptStore::byRow(const Waiting &waiting)
{
    return waiting.report.state == wire::MarkFailed ? m_failures : m_marks;
}

void KeptStore::unreport(const QString &box, qint64 row)
{
    const auto found = m_reports.find(box);
    if (found == m_reports.end())
        return;
    found->removeIf([&](const Waiting &w) { return w.row == row && forgetReport(w); });
    if (found->isEmpty())
        m_reports.erase(found);
    queue(QStringLiteral("DELETE FROM reports WHERE row = ?"), {row});
}

bool KeptStore::forgetReport(const Waiting &waiting)
{
    const auto from = m_byAddress.find(waiting.address);
    if (from != m_byAddress.end() && from->remove(waiting.row) && from->isEmpty())
        m_byAddress.erase(from);
    return byRow(waiting).remove(waiting.row) > 0;
}

void KeptStore::report(const QString &box, const Report &report, const QString &address)
{
    // What goes to make room is a delivered or read mark, the oldest; a failure only when the
    // box (or every box) has nothing else waiting.
    if (const QList<Waiting> waiting = m_reports.value(box);
        waiting.size() >= m_limits.reportsPerSender) {
        const auto mark = std::find_if(waiting.cbegin(), waiting.cend(), [](const Waiting &w) {
            return w.report.state != wire::MarkFailed;
        });
        unreport(box, (mark != waiting.cend() ? *mark : waiting.constFirst()).row);
    }
    // An address that writes under many nicknames fills its own room, not everyone's.
    if (const QMap<qint64, QString> from = m_byAddress.value(address);
        from.size() >= m_limits.reportsPerAddress)
        unreport(from.first(), from.firstKey());
    if (m_marks.size() + m_failures.size() >= m_limits.reportsInAll) {
        const QMap<qint64, QString> &oldest = m_marks.isEmpty() ? m_failures : m_marks;
        unreport(oldest.first(), oldest.firstKey());
    }
    const Waiting waiting{m_nextReport++, report, QDateTime::currentSecsSinceEpoch(), address};
    m_reports[box].append(waiting);
    byRow(waiting).insert(waiting.row, box);
    m_byAddress[address].insert(waiting.row, box);
    queue(QStringLiteral("INSERT INTO reports (row, sender, id, state, text, marked, at, address) "
                         "VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
          {waiting.row, notNull(box), notNull(report.id), notNull(report.state),
           notNull(report.text), int(report.marked), waiting.at, notNull(address)});
}

QList<KeptStore::Report> KeptStore::takeReports(const QString &box)
{
    QList<Report> reports;
    const QList<Waiting> waiting = m_reports.take(box);
    if (waiting.isEmpty())
        return reports;
    for (const Waiting &w : waiting) {
        forgetReport(w);
        reports.append(w.report);
    }
    queue(QStringLiteral("DELETE FROM reports WHERE sender = ?"), {box});
    return reports;
}

QList<KeptStore::Line> KeptStore::expire(const QDateTime &now)
{
    const qint64 lineCutoff = now.addDays(-m_limits.days).toSecsSinceEpoch();
    const qint64 claimCutoff = now.addDays(-m_limits.claimDays).toSecsSinceEpoch();
    for (auto c = m_claims.begin(); c != m_claims.end();) {
        if (c->used.toSecsSinceEpoch() < claimCutoff) {
            queue(QStringLiteral("DELETE FROM claims WHERE form = ?"), {c.key()});
            queue(QStringLiteral("DELETE FROM keys WHERE form = ?"), {c.key()});
            takeReports(c.key());
            c = m_claims.erase(c);
        } else {
            ++c;
        }
    }
    // The lines of a claim gone (lapsed now, or released) go too: nobody may take them.
    QSet<qint64> rows;
    for (auto r = m_rows.cbegin(); r != m_rows.cend(); ++r) {
        if (r->at < lineCutoff || !m_claims.contains(r->owner))
            rows.insert(r.key());
    }
    QList<Line> lines;
    if (!rows.isEmpty()) {
        const QString list = rowList(rows);
        lines = read(QStringLiteral("row IN (SELECT value FROM json_each(?))"), list);
        for (const Line &line : keptOf(m_pending)) {
            if (rows.contains(line.row))
                lines.append(line);
        }
        std::sort(lines.begin(), lines.end(),
                  [](const Line &a, const Line &b) { return a.row < b.row; });
        for (const qint64 row : rows)
            forget(row);
        queue(QStringLiteral("DELETE FROM lines WHERE row IN (SELECT value FROM json_each(?))"),
              {list});
    }
    bool old = false;
    for (auto s = m_reports.begin(); s != m_reports.end();) {
        old = s->removeIf([&](const Waiting &w) {
            return w.at < lineCutoff && forgetReport(w);
        }) > 0 || old;
        s = s->isEmpty() ? m_reports.erase(s) : std::next(s);
    }
    if (old)
        queue(QStringLiteral("DELETE FROM reports WHERE at < ?"), {lineCutoff});
    return lines;
}

void KeptStore::commit()
{
    m_commitTimer.stop();
    const QList<Write> writes = std::exchange(m_writes, {});
    const QList<Line> lines = std::exchange(m_pending, {});
    if (writes.isEmpty())
        return;
    if (write(writes)) {
        if (const QList<Line> kept = keptOf(lines); !kept.isEmpty())
            Q_EMIT stored(kept);
        return;
    }
    const QList<Line> lost = keptOf(lines);
    for (const Line &line : lost)
        forget(line.row);
    Q_EMIT failed(m_problem);
    if (!lost.isEmpty())
        Q_EMIT this->lost(lost, m_problem);
}

bool KeptStore::write(const QList<Write> &writes)
{
    const storage::Failure failure = m_db.transaction([&](QSqlQuery &query) {
        return std::all_of(writes.begin(), writes.end(), [&](const Write &w) {
            return storage::exec(query, w.statement, w.values);
        });
    });
    if (failure)
        m_problem = reasonOf(failure);
    return !failure;
}

void KeptStore::setMaxPages(int pages)
{
    m_db.setMaxPages(pages);
}
