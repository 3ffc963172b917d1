#include "storage/database.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <atomic>

namespace storage {

namespace {

// SQLite's primary result codes that say the file, not our SQL, is at fault.
enum Code { SqliteBusy = 5, SqliteLocked = 6, SqliteReadOnly = 8, SqliteIoError = 10,
            SqliteCorrupt = 11, SqliteFull = 13, SqliteCantOpen = 14, SqliteNotADatabase = 26 };

const QStringList kCompanions = {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")};

} // namespace

Failure Failure::of(const QSqlError &error)
{
    const QString text = error.text();
    switch (error.nativeErrorCode().toInt() & 0xff) {
    case SqliteBusy:
    case SqliteLocked:
        return {Locked, text};
    case SqliteReadOnly:
        return {ReadOnly, text};
    case SqliteCantOpen:
        return {CantOpen, text};
    case SqliteIoError:
        return {IoError, text};
    case SqliteCorrupt:
    case SqliteNotADatabase:
        return {Damaged, text};
    case SqliteFull:
        return {Full, text};
    default:
        return {Other, text};
    }
}

bool exec(QSqlQuery &query, const QString &statement, const QVariantList &values)
{
    if (!query.prepare(statement))
        return false;
    for (const QVariant &value : values)
        query.addBindValue(value);
    return query.exec();
}

struct Database::Connection {
    QSqlDatabase db;
};

Database::Database() = default;

Database::~Database()
{
    close();
}

Failure Database::open(const QString &folder, const QString &file, const Options &options,
                       const Migrations &migrations)
{
    close();
    m_path = folder + u'/' + file;
    // The folder and the file may come to hold what is the user's alone.
    if (!QFileInfo(folder).isDir()) {
        if (!options.makeFolder)
            return {Failure::CantOpen, QStringLiteral("no folder")};
        QDir().mkpath(QFileInfo(folder).path());
        if (!QDir().mkdir(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
            return {Failure::CantOpen, QStringLiteral("cannot make the folder")};
    }
    if (QFile made(m_path);
        !made.exists() && !made.open(QIODevice::WriteOnly, QFile::ReadOwner | QFile::WriteOwner))
        return {Failure::CantOpen, QStringLiteral("cannot make the file")};

    static std::atomic<int> connections = 0;
    m_connection = std::make_unique<Connection>();
    QSqlDatabase &db = m_connection->db;
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                   QStringLiteral("korvex-") + QString::number(++connections));
    db.setDatabaseName(m_path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(options.busyMs));
    const auto fail = [this](Failure failure) {
        close();
        return failure;
    };
    if (!db.open())
        return fail(Failure::of(db.lastError()));
    QSqlQuery query(db);
    // Read before anything is written: a file this code does not know is left as it is.
    if (!exec(query, QStringLiteral("PRAGMA user_version")) || !query.next())
        return fail(Failure::of(query.lastError()));
    m_found = query.value(0).toInt();
    if (m_found > migrations.size())
        return fail({Failure::Newer, QString::number(m_found)});
    if (!exec(query, QStringLiteral("PRAGMA journal_mode = WAL")) || !query.next()
        || query.value(0).toString() != QLatin1String("wal"))
        return fail(Failure::of(query.lastError()));
    if ((options.fullSync && !exec(query, QStringLiteral("PRAGMA synchronous = FULL")))
        || (options.secureDelete && !exec(query, QStringLiteral("PRAGMA secure_delete = ON"))))
        return fail(Failure::of(query.lastError()));
    query.finish();
    for (const QString &suffix : kCompanions) {
        if (QFile::exists(m_path + suffix))
            QFile::setPermissions(m_path + suffix, QFile::ReadOwner | QFile::WriteOwner);
    }
    if (m_found < migrations.size()) {
        if (const Failure failure = migrate(migrations))
            return fail(failure);
    }
    return {};
}

Failure Database::migrate(const Migrations &migrations)
{
    return transaction([&](QSqlQuery &query) {
        // Another program may have moved the file on since it was read.
        if (!exec(query, QStringLiteral("PRAGMA user_version")) || !query.next())
            return false;
        const int found = query.value(0).toInt();
        if (found > migrations.size())
            return false;
        for (int step = found; step < migrations.size(); ++step) {
            for (const QString &statement : migrations[step]) {
                if (!exec(query, statement))
                    return false;
            }
        }
        return exec(query, QStringLiteral("PRAGMA user_version = %1").arg(migrations.size()));
    });
}

bool Database::isOpen() const
{
    return m_connection && m_connection->db.isOpen();
}

void Database::close()
{
    if (!m_connection)
        return;
    const QString name = m_connection->db.connectionName();
    m_connection->db.close();
    m_connection.reset();
    QSqlDatabase::removeDatabase(name);
}

QSqlQuery Database::query() const
{
    return m_connection ? QSqlQuery(m_connection->db) : QSqlQuery();
}

Failure Database::transaction(const std::function<bool(QSqlQuery &)> &work)
{
    if (!isOpen())
        return {Failure::CantOpen, QStringLiteral("not open")};
    QSqlQuery query(m_connection->db);
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return Failure::of(query.lastError());
    if (work(query)) {
        query.finish();
        if (query.exec(QStringLiteral("COMMIT")))
            return {};
    }
    Failure failure = Failure::of(query.lastError());
    if (!failure)
        failure = {Failure::Other, QStringLiteral("the work was not done")};
    // SQLite may have rolled back already (a full disk does); otherwise this does.
    query.exec(QStringLiteral("ROLLBACK"));
    return failure;
}

void Database::setMaxPages(int pages)
{
    if (isOpen())
        QSqlQuery(m_connection->db).exec(QStringLiteral("PRAGMA max_page_count = %1").arg(pages));
}

} // namespace storage
