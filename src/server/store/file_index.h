#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include "storage/database.h"

// The files on their way through the server, as a list in one SQLite file of its state folder
// (files.sqlite, the server's alone, every change synced before it is told): who sends what to
// whom, and whether its bytes are whole yet. The bytes themselves are the FileStore's. Few and
// seldom changed, the entries live in memory too; a change is written at once.
class FileIndex {
public:
    struct Entry {
        // The sender's id for the file, 32 hexadecimal digits, unique here.
        QString id;
        // The sender's folded nickname (its claim), and as it was logged in; its address.
        QString sender;
        QString from;
        QString address;
        // The recipient's folded nickname, and as the sender wrote it.
        QString owner;
        QString to;
        QString name;
        qint64 size = 0;
        // The SHA-256 its sender announced, 32 bytes.
        QByteArray digest;
        QDateTime at;
        bool whole = false;
    };

    // Why the file cannot be used, for the log; empty once open.
    QString open(const QString &folder);
    bool isOpen() const { return m_db.isOpen(); }

    const QList<Entry> &entries() const { return m_entries; }
    const Entry *find(const QString &id) const;
    // Whether it is on disk now; false, and nothing changed, when the write failed.
    bool add(const Entry &entry);
    bool setWhole(const QString &id);
    bool remove(const QString &id);
    // Whether any entry still needs the bytes of this digest.
    bool uses(const QByteArray &digest) const;

    // For tests: the file may grow to this many pages and no more, as if the disk were full.
    void setMaxPages(int pages) { m_db.setMaxPages(pages); }

private:
    storage::Database m_db;
    QList<Entry> m_entries;
};
