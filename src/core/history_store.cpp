#include "core/history_store.h"

#include "storage/database.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>

using history::Conversation;
using history::Hit;
using history::Kind;
using history::Line;

namespace {

// Lines pile up this long before they are written, so a flood costs few transactions; a crash
// loses at most this much of the history.
constexpr int kBatchMs = 100;
// A flood that never returns to the event loop is written in batches of this many lines.
constexpr qsizetype kBatchMax = 4096;
// Lines of this run kept in memory when they are not on disk: the newest so many.
constexpr qsizetype kMemoryMost = 20'000;
// Another program holding the file is waited for this long, then the history goes to memory.
constexpr int kBusyMs = 500;

// Each entry takes the file from version i to i + 1, in one transaction.
const QList<QStringList> kMigrations = {
    {
        QStringLiteral("CREATE TABLE accounts (id INTEGER PRIMARY KEY, server TEXT NOT NULL, "
                       "nickname TEXT NOT NULL, UNIQUE (server, nickname))"),
        QStringLiteral("CREATE TABLE conversations (id INTEGER PRIMARY KEY, "
                       "account INTEGER NOT NULL REFERENCES accounts (id), type INTEGER NOT NULL, "
                       "correspondent TEXT NOT NULL, UNIQUE (account, type, correspondent))"),
        QStringLiteral("CREATE TABLE lines (id INTEGER PRIMARY KEY, conversation INTEGER NOT NULL "
                       "REFERENCES conversations (id), at INTEGER NOT NULL, kind INTEGER NOT NULL, "
                       "writer TEXT NOT NULL, text TEXT NOT NULL)"),
        QStringLiteral("CREATE INDEX lines_by_conversation ON lines (conversation, id)"),
        // Retention deletes by time at every start, without reading every line.
        QStringLiteral("CREATE INDEX lines_by_time ON lines (at)"),
        // One-letter prefixes are indexed: "c" merged the lists of every word beginning with c,
        // 120 ms in a million lines (two letters took 28 ms). Indexing two and three letters as
        // well halved the rate of writing.
        QStringLiteral("CREATE VIRTUAL TABLE lines_text USING fts5 (text, content = 'lines', "
                       "content_rowid = 'id', tokenize = 'unicode61 remove_diacritics 2', "
                       "prefix = '1')"),
        QStringLiteral("CREATE TRIGGER lines_added AFTER INSERT ON lines BEGIN "
                       "INSERT INTO lines_text (rowid, text) VALUES (new.id, new.text); END"),
        QStringLiteral("CREATE TRIGGER lines_deleted AFTER DELETE ON lines BEGIN "
                       "INSERT INTO lines_text (lines_text, rowid, text) "
                       "VALUES ('delete', old.id, old.text); END"),
        QStringLiteral("CREATE TRIGGER lines_changed AFTER UPDATE OF text ON lines BEGIN "
                       "INSERT INTO lines_text (lines_text, rowid, text) "
                       "VALUES ('delete', old.id, old.text); "
                       "INSERT INTO lines_text (rowid, text) VALUES (new.id, new.text); END"),
    },
    {
        // Private lines' ids on the wire and where each line is.
        QStringLiteral("ALTER TABLE lines ADD COLUMN ref TEXT"),
        QStringLiteral("ALTER TABLE lines ADD COLUMN mark INTEGER NOT NULL DEFAULT 0"),
        // Ids are random: the id alone finds a mark's line and a line received again.
        QStringLiteral("CREATE INDEX lines_by_ref ON lines (ref) WHERE ref IS NOT NULL"),
    },
};

const QString kColumns = QStringLiteral("l.id, l.at, l.kind, l.writer, l.text, l.ref, l.mark");

QString reasonOf(const storage::Failure &failure)
{
    switch (failure.kind) {
    case storage::Failure::Locked:
        return QStringLiteral("otro programa lo tiene bloqueado");
    case storage::Failure::ReadOnly:
    case storage::Failure::CantOpen:
        return QStringLiteral("no se puede escribir en el archivo");
    case storage::Failure::IoError:
        return QStringLiteral("falló la lectura o la escritura del disco");
    case storage::Failure::Damaged:
        return QStringLiteral("el archivo está dañado");
    case storage::Failure::Full:
        return QStringLiteral("el disco está lleno");
    case storage::Failure::Newer:
        return QStringLiteral("el archivo es de una versión más reciente del programa");
    default:
        return failure.detail;
    }
}

// Qt binds a null string as NULL; every text column is NOT NULL.
QString notNull(const QString &text)
{
    return text.isNull() ? QStringLiteral("") : text;
}

Conversation normal(const Conversation &c)
{
    return c.type == Conversation::Private ? c : Conversation{c.type, QString()};
}

Kind kindOf(int stored)
{
    switch (stored) {
    case int(Kind::Mine):
        return Kind::Mine;
    case int(Kind::Theirs):
        return Kind::Theirs;
    default:
        return Kind::Notice;
    }
}

history::Mark markOf(int stored)
{
    return history::Mark(std::clamp(stored, 0, int(history::Mark::Failed)));
}

Line lineOf(const QSqlQuery &q)
{
    return {q.value(0).toLongLong(),
            QDateTime::fromMSecsSinceEpoch(q.value(1).toLongLong(), Qt::UTC),
            kindOf(q.value(2).toInt()), q.value(3).toString(), q.value(4).toString(),
            q.value(5).toString(), markOf(q.value(6).toInt())};
}

// The words of a text as the file's full-text index sees them: runs of letters and digits, in
// lower case, without accents. Used for the query and for lines held in memory.
QStringList wordsOf(const QString &text)
{
    QString plain;
    plain.reserve(text.size());
    for (const char32_t c : text.normalized(QString::NormalizationForm_D).toUcs4()) {
        switch (QChar::category(c)) {
        case QChar::Mark_NonSpacing:
        case QChar::Mark_SpacingCombining:
        case QChar::Mark_Enclosing:
            continue;
        default:
            break;
        }
        if (QChar::isLetterOrNumber(c)) {
            const char32_t folded = QChar::toCaseFolded(c);
            plain.append(QStringView(QChar::fromUcs4(folded)));
        } else {
            plain.append(u' ');
        }
    }
    // Recomposed, so that scripts whose letters decompose (Hangul) look as they were typed.
    return plain.normalized(QString::NormalizationForm_C).split(u' ', Qt::SkipEmptyParts);
}

bool holdsAll(const QString &text, const QStringList &terms)
{
    const QStringList words = wordsOf(text);
    return std::all_of(terms.cbegin(), terms.cend(), [&](const QString &term) {
        return std::any_of(words.cbegin(), words.cend(),
                           [&](const QString &word) { return word.startsWith(term); });
    });
}

} // namespace

bool history::advances(Mark from, Mark to)
{
    return to == Mark::Failed ? from == Mark::Sending || from == Mark::Kept : to > from;
}

// The file and what is prepared on it; the failure of the last statement.
struct HistoryStore::File {
    storage::Database db;
    std::optional<QSqlQuery> insert;
    // Asked for every line with an id: prepared once, it is a tenth of the cost of a flood.
    std::optional<QSqlQuery> holds;
    storage::Failure error;

    bool exec(QSqlQuery &query)
    {
        if (query.exec())
            return true;
        error = storage::Failure::of(query.lastError());
        return false;
    }
    bool exec(const QString &statement)
    {
        QSqlQuery query = db.query();
        if (query.exec(statement))
            return true;
        error = storage::Failure::of(query.lastError());
        return false;
    }
};

HistoryStore::HistoryStore(const QString &folder, QObject *parent)
    : QObject(parent), m_folder(folder), m_file(std::make_unique<File>()), m_accounts{{}}
{
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(kBatchMs);
    connect(&m_flushTimer, &QTimer::timeout, this, &HistoryStore::flush);
}

HistoryStore::~HistoryStore()
{
    // Lines wait only in an open file's batch: a run that never needed the file leaves it be.
    if (!m_pending.isEmpty())
        flush();
    closeDatabase();
}

bool HistoryStore::readable()
{
    // Opened at the first line, look or log-in, not with the program: a start-up to the first
    // window did not need the SQLite file (90 ms of it, creating one in a fresh home).
    if (!std::exchange(m_opened, true)) {
        open();
        if (m_readable && m_retentionCutoff > 0)
            write(QStringLiteral("DELETE FROM lines WHERE at < ?"), {m_retentionCutoff});
    }
    return m_readable;
}

void HistoryStore::open()
{
    storage::Database::Options options;
    options.busyMs = kBusyMs;
    // Every batch reaches the disk at its commit: the server forgets a line once told it is
    // stored, so a batch a power cut could undo would lose it for good.
    options.fullSync = true;
    if (const storage::Failure failure =
            m_file->db.open(m_folder, QStringLiteral("historial.sqlite"), options, kMigrations))
        return fail(reasonOf(failure));
    QSqlQuery last = m_file->db.query();
    if (!last.exec(QStringLiteral("SELECT MAX(id) FROM lines")) || !last.next()) {
        const storage::Failure failure = storage::Failure::of(last.lastError());
        closeDatabase();
        return fail(reasonOf(failure));
    }
    m_nextId = last.value(0).toLongLong() + 1;
    m_file->insert.emplace(m_file->db.query());
    m_file->insert->prepare(QStringLiteral(
        "INSERT INTO lines (id, conversation, at, kind, writer, text, ref, mark) "
        "SELECT value ->> 0, value ->> 1, value ->> 2, value ->> 3, value ->> 4, value ->> 5, "
        "value ->> 6, value ->> 7 FROM json_each(?)"));
    m_file->holds.emplace(m_file->db.query());
    m_file->holds->prepare(QStringLiteral(
        "SELECT 1 FROM lines WHERE ref = ? AND conversation = ? AND writer = ? LIMIT 1"));
    m_readable = true;
}

void HistoryStore::fail(const QString &reason)
{
    m_failed = true;
    if (m_reported)
        return;
    m_reported = true;
    const QString text = QStringLiteral("No se puede guardar el historial en ")
        + QDir::toNativeSeparators(m_folder) + QStringLiteral(": ") + reason
        + QStringLiteral(". Las conversaciones se siguen mostrando, pero no se guardan.");
    // Queued: whoever hears it may open a dialog, whose event loop must not run into the middle
    // of a read or a write; and a failure while opening reaches a receiver connected after the
    // constructor.
    QMetaObject::invokeMethod(this, [this, text] { Q_EMIT notKept(text); }, Qt::QueuedConnection);
}

void HistoryStore::closeDatabase()
{
    m_readable = false;
    m_file->insert.reset();
    m_file->holds.reset();
    m_rows.clear();
    m_file->db.close();
}

bool HistoryStore::exec(const QString &statement)
{
    return m_file->exec(statement);
}

void HistoryStore::readFailed()
{
    // A file that cannot be read is not trusted further this run; what is in memory still shows.
    const storage::Failure error = m_file->error;
    closeDatabase();
    fail(reasonOf(error));
}

void HistoryStore::setAccount(const QString &server, const QString &nickname)
{
    readable();
    flush();
    const Account account{server.trimmed().toLower(), nickname};
    m_account = int(m_accounts.indexOf(account));
    if (m_account < 0) {
        m_account = int(m_accounts.size());
        m_accounts.append(account);
    }
}

void HistoryStore::setKeeping(bool keep)
{
    flush();
    m_keep = keep;
}

bool HistoryStore::isKeeping()
{
    return m_keep && readable() && !m_failed;
}

void HistoryStore::setRetentionDays(int days)
{
    if (days <= 0)
        return;
    flush();
    const qint64 cutoff = QDateTime::currentDateTimeUtc().addDays(-days).toMSecsSinceEpoch();
    m_memory.removeIf([&](const Entry &e) {
        const bool old = e.line.at.toMSecsSinceEpoch() < cutoff;
        if (old)
            countRefs({&e, 1}, -1);
        return old;
    });
    m_retentionCutoff = cutoff;
    if (m_opened && m_readable)
        write(QStringLiteral("DELETE FROM lines WHERE at < ?"), {cutoff});
}

void HistoryStore::clear(const Conversation &c)
{
    flush();
    const Conversation conversation = normal(c);
    m_memory.removeIf([&](const Entry &e) {
        const bool cleared = e.account == m_account && e.conversation == conversation;
        if (cleared)
            countRefs({&e, 1}, -1);
        return cleared;
    });
    if (!readable())
        return;
    const qint64 row = conversationRow(m_account, conversation, false);
    if (row > 0)
        write(QStringLiteral("DELETE FROM lines WHERE conversation = ?"), {row});
}

void HistoryStore::write(const QString &statement, const QVariantList &values)
{
    if (const storage::Failure failure = m_file->db.transaction(
            [&](QSqlQuery &query) { return storage::exec(query, statement, values); }))
        fail(reasonOf(failure));
}

qint64 HistoryStore::append(const Conversation &c, Kind kind, const QString &writer,
                            const QString &text, const QDateTime &at, const QString &ref,
                            history::Mark mark)
{
    // The file first: it says which id comes next.
    readable();
    const qint64 id = m_nextId++;
    const QDateTime utc = QDateTime::fromMSecsSinceEpoch(at.toMSecsSinceEpoch(), Qt::UTC);
    Entry entry{m_account, normal(c), {id, utc, kind, writer, text, ref, mark}};
    if (!isKeeping()) {
        remember({std::move(entry)});
        return id;
    }
    m_pending.append(std::move(entry));
    countRefs(std::span(m_pending).last(1), 1);
    if (m_pending.size() >= kBatchMax)
        flush();
    else if (!m_flushTimer.isActive())
        m_flushTimer.start();
    return id;
}

void HistoryStore::remember(const QList<Entry> &entries)
{
    m_memory.append(entries);
    countRefs(std::span(m_memory).last(entries.size()), 1);
    // A run that keeps nothing on disk keeps only the newest lines: a busy room left open for
    // days must not grow the program. Dropped a quarter at a time, not one a line.
    if (m_memory.size() > kMemoryMost + kMemoryMost / 4) {
        const qsizetype dropped = m_memory.size() - kMemoryMost;
        countRefs(std::span(m_memory).first(dropped), -1);
        m_memory.remove(0, dropped);
    }
}

void HistoryStore::countRefs(std::span<const Entry> entries, int by)
{
    for (const Entry &e : entries) {
        if (e.line.ref.isEmpty())
            continue;
        int &count = m_refs[e.line.ref];
        if ((count += by) <= 0)
            m_refs.remove(e.line.ref);
    }
}

bool HistoryStore::flush()
{
    m_flushTimer.stop();
    if (m_pending.isEmpty())
        return m_opened ? isKeeping() : m_keep;
    if (isKeeping() && writeBatch()) {
        countRefs(m_pending, -1);
        m_pending.clear();
        return true;
    }
    // Whatever could not be written stays readable for this run.
    const storage::Failure error = m_file->error;
    remember(m_pending);
    countRefs(m_pending, -1);
    m_pending.clear();
    if (!m_failed)
        fail(reasonOf(error));
    return false;
}

bool HistoryStore::writeBatch()
{
    m_file->error = {};
    const storage::Failure failure =
        m_file->db.transaction([this](QSqlQuery &) { return insertPending(); });
    if (!failure)
        return true;
    if (!m_file->error)
        m_file->error = failure;
    m_file->insert->finish();
    // Rows made in the undone transaction do not exist.
    m_rows.clear();
    return false;
}

bool HistoryStore::insertPending()
{
    QSqlQuery last = m_file->db.query();
    if (!last.exec(QStringLiteral("SELECT MAX(id) FROM lines")) || !last.next()) {
        m_file->error = storage::Failure::of(last.lastError());
        return false;
    }
    // Another process has written since our ids were handed out: ours move past its lines
    // rather than take theirs.
    const qint64 taken = last.value(0).toLongLong();
    last.finish();
    if (const qint64 shift = taken + 1 - m_pending.constFirst().line.id; shift > 0) {
        for (Entry &e : m_pending)
            e.line.id += shift;
        m_nextId += shift;
    }
    // One statement for the whole batch: the full-text index writes its pending words at every
    // statement's end, so a statement per line made it fifteen times slower.
    QJsonArray rows;
    int account = -1;
    Conversation conversation;
    qint64 row = 0;
    for (const Entry &e : std::as_const(m_pending)) {
        if (e.account != account || e.conversation != conversation) {
            account = e.account;
            conversation = e.conversation;
            row = conversationRow(account, conversation, true);
            if (row <= 0)
                return false;
        }
        rows.append(QJsonArray{e.line.id, row, e.line.at.toMSecsSinceEpoch(), int(e.line.kind),
                               notNull(e.line.writer), notNull(e.line.text),
                               e.line.ref.isEmpty() ? QJsonValue() : QJsonValue(e.line.ref),
                               int(e.line.mark)});
    }
    m_file->insert->bindValue(
        0, QString::fromUtf8(QJsonDocument(rows).toJson(QJsonDocument::Compact)));
    if (!m_file->exec(*m_file->insert))
        return false;
    m_file->insert->finish();
    return true;
}

qint64 HistoryStore::rowOf(const QString &key, const QString &table, const QStringList &columns,
                           const QVariantList &values, bool create)
{
    if (const auto found = m_rows.constFind(key); found != m_rows.cend())
        return *found;
    QSqlQuery query = m_file->db.query();
    query.prepare(QStringLiteral("SELECT id FROM ") + table + QStringLiteral(" WHERE ")
                  + columns.join(QStringLiteral(" = ? AND ")) + QStringLiteral(" = ?"));
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!m_file->exec(query))
        return -1;
    qint64 row = query.next() ? query.value(0).toLongLong() : 0;
    query.finish();
    if (row == 0 && create) {
        query.prepare(QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (")
                      + columns.join(u',') + QStringLiteral(") VALUES (?")
                      + QStringLiteral(", ?").repeated(columns.size() - 1) + u')');
        for (const QVariant &value : values)
            query.addBindValue(value);
        if (!m_file->exec(query))
            return -1;
        row = query.lastInsertId().toLongLong();
    }
    if (row > 0)
        m_rows.insert(key, row);
    return row;
}

qint64 HistoryStore::accountRow(int account, bool create)
{
    const Account &a = m_accounts[account];
    return rowOf(QString::number(account), QStringLiteral("accounts"),
                 {QStringLiteral("server"), QStringLiteral("nickname")},
                 {notNull(a.server), notNull(a.nickname)}, create);
}

qint64 HistoryStore::conversationRow(int account, const Conversation &c, bool create)
{
    const qint64 owner = accountRow(account, create);
    if (owner <= 0)
        return owner;
    const QString key =
        QString::number(account) + u'/' + QString::number(int(c.type)) + u'/' + c.correspondent;
    return rowOf(key, QStringLiteral("conversations"),
                 {QStringLiteral("account"), QStringLiteral("type"),
                  QStringLiteral("correspondent")},
                 {owner, int(c.type), notNull(c.correspondent)}, create);
}

QList<Line> HistoryStore::before(const Conversation &c, qint64 id, int count)
{
    return page(c, id, count, true);
}

QList<Line> HistoryStore::after(const Conversation &c, qint64 id, int count)
{
    return page(c, id, count, false);
}

QList<Line> HistoryStore::page(const Conversation &c, qint64 id, int count, bool older)
{
    flush();
    QList<Line> lines;
    if (count <= 0)
        return lines;
    const Conversation conversation = normal(c);
    if (readable()) {
        const qint64 row = conversationRow(m_account, conversation, false);
        QSqlQuery query = m_file->db.query();
        query.setForwardOnly(true);
        query.prepare(QStringLiteral("SELECT ") + kColumns
                      + QStringLiteral(" FROM lines l WHERE conversation = ? AND id ")
                      + (older ? QStringLiteral("< ? ORDER BY id DESC")
                               : QStringLiteral("> ? ORDER BY id"))
                      + QStringLiteral(" LIMIT ?"));
        query.addBindValue(row);
        query.addBindValue(id);
        query.addBindValue(count);
        if (row < 0 || !m_file->exec(query)) {
            readFailed();
        } else {
            while (query.next())
                lines.append(lineOf(query));
        }
    }
    for (const Entry &e : std::as_const(m_memory)) {
        if (e.account == m_account && e.conversation == conversation
            && (older ? e.line.id < id : e.line.id > id))
            lines.append(e.line);
    }
    std::sort(lines.begin(), lines.end(), [](const Line &a, const Line &b) { return a.id < b.id; });
    if (lines.size() > count)
        lines = older ? lines.sliced(lines.size() - count) : lines.first(count);
    return lines;
}

QList<Hit> HistoryStore::search(const QString &words, const std::optional<Conversation> &within,
                                int limit)
{
    flush();
    QList<Hit> hits;
    const QStringList terms = wordsOf(words);
    if (terms.isEmpty() || limit <= 0)
        return hits;
    const std::optional<Conversation> only = within ? std::optional(normal(*within)) : std::nullopt;
    if (readable()) {
        // Each word a quoted prefix: nothing the user types is read as the index's syntax.
        QStringList match;
        for (const QString &term : terms)
            match.append(u'"' + QString(term).replace(u'"', QStringLiteral("\"\""))
                         + QStringLiteral("\"*"));
        const qint64 account = accountRow(m_account, false);
        const qint64 row = only ? conversationRow(m_account, *only, false) : 0;
        QSqlQuery query = m_file->db.query();
        query.setForwardOnly(true);
        query.prepare(QStringLiteral("SELECT ") + kColumns + QStringLiteral(
            ", c.type, c.correspondent FROM lines_text t JOIN lines l ON l.id = t.rowid "
            "JOIN conversations c ON c.id = l.conversation "
            "WHERE lines_text MATCH ? AND c.account = ? ")
            + (only ? QStringLiteral("AND l.conversation = ? ") : QString())
            + QStringLiteral("ORDER BY t.rowid DESC LIMIT ?"));
        query.addBindValue(match.join(u' '));
        query.addBindValue(account);
        if (only)
            query.addBindValue(row);
        query.addBindValue(limit);
        if (account < 0 || row < 0 || !m_file->exec(query)) {
            readFailed();
        } else {
            while (query.next()) {
                const int type = std::clamp(query.value(7).toInt(), 0, int(Conversation::Notices));
                hits.append({{Conversation::Type(type), query.value(8).toString()}, lineOf(query)});
            }
        }
    }
    for (const Entry &e : std::as_const(m_memory)) {
        if (e.account == m_account && (!only || e.conversation == *only)
            && holdsAll(e.line.text, terms))
            hits.append({e.conversation, e.line});
    }
    std::sort(hits.begin(), hits.end(),
              [](const Hit &a, const Hit &b) { return a.line.id > b.line.id; });
    if (hits.size() > limit)
        hits.resize(limit);
    return hits;
}

QList<Hit> HistoryStore::sending(int count, const QDateTime &since)
{
    flush();
    QList<Hit> lines;
    const qint64 from = since.toMSecsSinceEpoch();
    if (readable()) {
        const qint64 account = accountRow(m_account, false);
        QSqlQuery query = m_file->db.query();
        query.setForwardOnly(true);
        query.prepare(QStringLiteral("SELECT ") + kColumns + QStringLiteral(
            ", c.correspondent FROM lines l JOIN conversations c ON c.id = l.conversation "
            "WHERE c.account = ? AND c.type = ? AND l.kind = ? AND l.mark = ? AND l.at >= ? "
            "AND l.ref IS NOT NULL ORDER BY l.id DESC LIMIT ?"));
        for (const QVariant &value : QVariantList{account, int(Conversation::Private),
                                                  int(Kind::Mine), int(history::Mark::Sending),
                                                  from, count})
            query.addBindValue(value);
        if (account < 0 || !m_file->exec(query)) {
            readFailed();
        } else {
            while (query.next())
                lines.append({{Conversation::Private, query.value(7).toString()}, lineOf(query)});
        }
    }
    for (const Entry &e : std::as_const(m_memory)) {
        if (e.account == m_account && e.conversation.type == Conversation::Private
            && e.line.kind == Kind::Mine && e.line.mark == history::Mark::Sending
            && !e.line.ref.isEmpty() && e.line.at.toMSecsSinceEpoch() >= from)
            lines.append({e.conversation, e.line});
    }
    std::sort(lines.begin(), lines.end(),
              [](const Hit &a, const Hit &b) { return a.line.id > b.line.id; });
    if (lines.size() > count)
        lines.resize(std::max(count, 0));
    std::reverse(lines.begin(), lines.end());
    return lines;
}

void HistoryStore::setMaxPages(int pages)
{
    readable();
    m_file->db.setMaxPages(pages);
}

std::optional<Conversation> HistoryStore::setMark(Kind kind, const QString &ref, history::Mark mark,
                                                  const QString &writer, bool *known)
{
    bool unasked = false;
    bool &exists = known ? *known : unasked;
    exists = false;
    if (ref.isEmpty())
        return std::nullopt;
    const auto matches = [&](const Entry &e) {
        return e.account == m_account && e.line.kind == kind && e.line.ref == ref
            && (writer.isEmpty() || e.line.writer == writer);
    };
    for (QList<Entry> *entries : {&m_pending, &m_memory}) {
        if (!mayHold(ref))
            break;
        const auto found = std::find_if(entries->begin(), entries->end(), matches);
        if (found == entries->end())
            continue;
        exists = true;
        if (!history::advances(found->line.mark, mark))
            return std::nullopt;
        found->line.mark = mark;
        return found->conversation;
    }
    if (!readable())
        return std::nullopt;
    const qint64 account = accountRow(m_account, false);
    QSqlQuery query = m_file->db.query();
    query.setForwardOnly(true);
    query.prepare(QStringLiteral(
        "SELECT l.id, l.mark, c.type, c.correspondent FROM lines l "
        "JOIN conversations c ON c.id = l.conversation "
        "WHERE l.ref = ? AND l.kind = ? AND c.account = ? AND (? = '' OR l.writer = ?) LIMIT 1"));
    for (const QVariant &value :
         QVariantList{ref, int(kind), account, notNull(writer), notNull(writer)})
        query.addBindValue(value);
    if (account < 0 || !m_file->exec(query)) {
        readFailed();
        return std::nullopt;
    }
    if (!query.next())
        return std::nullopt;
    exists = true;
    if (!history::advances(markOf(query.value(1).toInt()), mark))
        return std::nullopt;
    const qint64 line = query.value(0).toLongLong();
    const Conversation found{
        Conversation::Type(std::clamp(query.value(2).toInt(), 0, int(Conversation::Notices))),
        query.value(3).toString()};
    query.finish();
    write(QStringLiteral("UPDATE lines SET mark = ? WHERE id = ?"), {int(mark), line});
    return found;
}

bool HistoryStore::holds(const Conversation &c, const QString &writer, const QString &ref)
{
    if (ref.isEmpty())
        return false;
    const Conversation conversation = normal(c);
    for (const QList<Entry> *entries : {&m_pending, &m_memory}) {
        if (mayHold(ref) && std::any_of(entries->cbegin(), entries->cend(), [&](const Entry &e) {
                return e.account == m_account && e.conversation == conversation
                    && e.line.writer == writer && e.line.ref == ref;
            }))
            return true;
    }
    if (!readable())
        return false;
    const qint64 row = conversationRow(m_account, conversation, false);
    QSqlQuery &query = *m_file->holds;
    query.bindValue(0, ref);
    query.bindValue(1, row);
    query.bindValue(2, notNull(writer));
    if (row < 0 || !m_file->exec(query)) {
        readFailed();
        return false;
    }
    const bool held = query.next();
    query.finish();
    return held;
}
