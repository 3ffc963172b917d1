#include "server/store/file_index.h"

#include <QDir>
#include <QSqlQuery>
#include <QVariant>

namespace {

const QString kFile = QStringLiteral("files.sqlite");

const storage::Migrations kMigrations = {
    {
        QStringLiteral("CREATE TABLE files (id TEXT PRIMARY KEY, sender TEXT NOT NULL, "
                       "author TEXT NOT NULL, address TEXT NOT NULL, owner TEXT NOT NULL, "
                       "recipient TEXT NOT NULL, name TEXT NOT NULL, size INTEGER NOT NULL, "
                       "digest BLOB NOT NULL, at INTEGER NOT NULL, whole INTEGER NOT NULL)"),
    },
};

} // namespace

QString FileIndex::open(const QString &folder)
{
    storage::Database::Options options;
    options.fullSync = true;
    options.makeFolder = false;
    if (const storage::Failure failure = m_db.open(folder, kFile, options, kMigrations))
        return kFile + QStringLiteral(" cannot be used in ") + QDir::toNativeSeparators(folder)
            + QStringLiteral(": ") + failure.detail;
    QSqlQuery query = m_db.query();
    query.setForwardOnly(true);
    if (!storage::exec(query, QStringLiteral("SELECT id, sender, author, address, owner, "
                                             "recipient, name, size, digest, at, whole FROM files "
                                             "ORDER BY at, id"))) {
        m_db.close();
        return kFile + QStringLiteral(" cannot be read");
    }
    while (query.next()) {
        m_entries.append({query.value(0).toString(), query.value(1).toString(),
                          query.value(2).toString(), query.value(3).toString(),
                          query.value(4).toString(), query.value(5).toString(),
                          query.value(6).toString(), query.value(7).toLongLong(),
                          query.value(8).toByteArray(),
                          QDateTime::fromSecsSinceEpoch(query.value(9).toLongLong(), Qt::UTC),
                          query.value(10).toBool()});
    }
    return {};
}

const FileIndex::Entry *FileIndex::find(const QString &id) const
{
    for (const Entry &entry : m_entries) {
        if (entry.id == id)
            return &entry;
    }
    return nullptr;
}

bool FileIndex::add(const Entry &entry)
{
    const bool written = !m_db.transaction([&](QSqlQuery &query) {
        return storage::exec(
            query,
            QStringLiteral("INSERT INTO files VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
            {entry.id, entry.sender, entry.from, entry.address, entry.owner, entry.to,
             entry.name, entry.size, entry.digest, entry.at.toSecsSinceEpoch(), entry.whole});
    });
    if (written)
        m_entries.append(entry);
    return written;
}

bool FileIndex::setWhole(const QString &id)
{
    const bool written = !m_db.transaction([&](QSqlQuery &query) {
        return storage::exec(query, QStringLiteral("UPDATE files SET whole = 1 WHERE id = ?"),
                             {id});
    });
    for (Entry &entry : m_entries)
        entry.whole = entry.whole || (written && entry.id == id);
    return written;
}

bool FileIndex::remove(const QString &id)
{
    const bool written = !m_db.transaction([&](QSqlQuery &query) {
        return storage::exec(query, QStringLiteral("DELETE FROM files WHERE id = ?"), {id});
    });
    if (written)
        m_entries.removeIf([&](const Entry &entry) { return entry.id == id; });
    return written;
}

bool FileIndex::uses(const QByteArray &digest) const
{
    return std::any_of(m_entries.cbegin(), m_entries.cend(),
                       [&](const Entry &entry) { return entry.digest == digest; });
}
