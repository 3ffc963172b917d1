#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <functional>
#include <memory>

class QSqlError;
class QSqlQuery;

namespace storage {

// Why SQLite could not do what was asked, by what is at fault: another program holding the
// file, a file or folder that cannot be written, the disk, a damaged file, a full disk, a file of
// a newer version; or our own SQL. Each user of a database says it in its own words.
struct Failure {
    enum Kind { None, Locked, ReadOnly, IoError, Damaged, Full, CantOpen, Newer, Other };
    Kind kind = None;
    // SQLite's text, or for Newer the version found.
    QString detail;

    explicit operator bool() const { return kind != None; }
    static Failure of(const QSqlError &error);
};

// Each entry takes a file from version i to i + 1 (its user_version), in one transaction with
// the others due. A step once released never changes.
using Migrations = QList<QStringList>;

// One SQLite file of the program's. Opened as every one of ours is: the file made the user's
// alone before SQLite writes anything in it (its -wal and -shm take its permissions), in a
// folder made the user's alone; another program holding it waited for a while; the WAL journal;
// and the schema brought up to date, or a file of a newer version left as it is.
class Database {
public:
    struct Options {
        // How long another program holding the file is waited for.
        int busyMs = 1000;
        // Every commit reaches the disk before it returns.
        bool fullSync = false;
        // What is deleted is overwritten, not left in a free page.
        bool secureDelete = false;
        // A folder not there yet is made (the user's alone); otherwise it is a failure.
        bool makeFolder = true;
    };

    Database();
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    // Opens `folder/file` and migrates it; nothing on success, otherwise why (the database is
    // then closed).
    Failure open(const QString &folder, const QString &file, const Options &options,
                 const Migrations &migrations);
    bool isOpen() const;
    void close();
    // The schema's version the file had when opened.
    int foundVersion() const { return m_found; }
    QString path() const { return m_path; }

    // A query on this database.
    QSqlQuery query() const;
    // One write transaction: the write lock taken first (a transaction that has read cannot
    // wait for it later), the work, the commit; all undone, and why, when any of it fails.
    Failure transaction(const std::function<bool(QSqlQuery &)> &work);

    // For tests: the file may grow to this many pages and no more, as if the disk were full.
    void setMaxPages(int pages);

private:
    Failure migrate(const Migrations &migrations);

    struct Connection;
    std::unique_ptr<Connection> m_connection;
    QString m_path;
    int m_found = 0;
};

// Prepares the statement with its values and runs it.
bool exec(QSqlQuery &query, const QString &statement, const QVariantList &values = {});

} // namespace storage
