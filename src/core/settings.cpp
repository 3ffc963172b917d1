#include "core/settings.h"

#include "core/block_list.h"
#include "core/secret_store.h"
#include "storage/database.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>

#include <algorithm>
#include <atomic>

namespace {
const QString kNickname = QStringLiteral("login/nickname");
const QString kAddress = QStringLiteral("login/address");
const QString kNotifications = QStringLiteral("notices/desktop");
const QString kKeepsHistory = QStringLiteral("history/keep");
const QString kTellsRead = QStringLiteral("marks/read");
const QString kRetentionDays = QStringLiteral("history/days");
const QString kAwayAfter = QStringLiteral("states/away-after");
const QString kDownloadFolder = QStringLiteral("files/folder");
const QString kAutoAccepted = QStringLiteral("files/accepted-from");
constexpr int kDefaultAwayAfter = 10;
const QString kTrue = QStringLiteral("true");
const QString kFalse = QStringLiteral("false");
const QString kSetValue =
    QStringLiteral("INSERT OR REPLACE INTO setting (key, value) VALUES (?, ?)");

// Each step takes the schema one version further; a step once released never changes.
const QList<QStringList> kMigrations = {
    {QStringLiteral("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)"),
     QStringLiteral("CREATE TABLE setting (key TEXT PRIMARY KEY, value TEXT NOT NULL)"),
     // One row an entry, in the order they came; the same entry may be there twice, as in the box.
     QStringLiteral("CREATE TABLE blocked (id INTEGER PRIMARY KEY, entry TEXT NOT NULL)")},
};

// A client that holds the file for a moment makes another wait this long, not fail at once.
constexpr int kBusyMs = 1000;
// How often another client's change to the block list is looked for.
constexpr int kPollMs = 3000;

using storage::exec;

bool sameEntries(QStringList a, QStringList b)
{
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return a == b;
}

qint64 dataVersion(QSqlQuery &query)
{
    return exec(query, QStringLiteral("PRAGMA data_version")) && query.next()
        ? query.value(0).toLongLong()
        : -1;
}

// The stored entries, and the version of the file they were read from. The version is read
// first: a change made between the two reads is then looked at again, never missed.
bool readList(QSqlQuery &query, QStringList &entries, qint64 &version)
{
    version = dataVersion(query);
    if (version < 0 || !exec(query, QStringLiteral("SELECT entry FROM blocked ORDER BY id")))
        return false;
    while (query.next())
        entries << query.value(0).toString();
    return true;
}

// Whether the files of earlier versions were carried over.
bool readCarried(QSqlQuery &query, bool &carried)
{
    if (!exec(query, QStringLiteral("SELECT 1 FROM meta WHERE key = 'carried-over'")))
        return false;
    carried = query.next();
    return true;
}

QString serverKey(const QString &address, const QString &what)
{
    return QStringLiteral("servers/") + address.trimmed().toLower() + u'/' + what;
}
} // namespace

Settings::Settings(Report report, QObject *parent)
    : QObject(parent),
      m_report(std::move(report)),
      m_folder(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
               + QStringLiteral("/korvex-mensajero"))
{
    bool oldFilesRead = true;
    storage::Database::Options options;
    options.busyMs = kBusyMs;
    // A password an earlier version kept here is overwritten when deleted, not left in a free
    // page.
    options.secureDelete = true;
    const bool ok =
        !m_db.open(m_folder, QStringLiteral("ajustes.sqlite"), options, kMigrations)
        && carryOver(oldFilesRead) && load();
    if (!ok)
        m_db.close();
    check(ok && oldFilesRead);
    if (ok) {
        connect(&m_poll, &QTimer::timeout, this, &Settings::pollBlockList);
        m_poll.start(kPollMs);
    }
}

Settings::~Settings()
{
    // Whoever is told of failures and changes may have gone already: the last write is quiet.
    m_reported = true;
    blockSignals(true);
    if (m_writePending)
        writeBlockList();
}

// The files of earlier versions are read once, in one transaction, and left as they are: a user
// going back to an earlier version finds them. A file that has them is not written to.
bool Settings::carryOver(bool &oldFilesRead)
{
    bool carried = false;
    if (QSqlQuery query = m_db.query(); !readCarried(query, carried))
        return false;
    return carried || transaction([&](QSqlQuery &query) {
        // Another client may have done it meanwhile.
        return readCarried(query, carried) && (carried || carryOldFiles(query, oldFilesRead));
    });
}

bool Settings::carryOldFiles(QSqlQuery &query, bool &oldFilesRead)
{
    if (const QString path = m_folder + QStringLiteral("/ajustes.ini"); QFileInfo::exists(path)) {
        const QSettings old(path, QSettings::IniFormat);
        // What could be read of a damaged file is kept.
        oldFilesRead = old.status() == QSettings::NoError;
        const QStringList keys = old.allKeys();
        for (const QString &key : keys) {
            const QString value = old.value(key).toString();
            if (!value.isEmpty() && !exec(query, kSetValue, {key, value}))
                return false;
        }
    }
    if (QFile list(m_folder + QStringLiteral("/bloqueados.txt")); list.exists()) {
        oldFilesRead = list.open(QIODevice::ReadOnly) && oldFilesRead;
        const QStringList entries = BlockList::parse(QString::fromUtf8(list.readAll()));
        for (const QString &entry : entries) {
            if (!exec(query, QStringLiteral("INSERT INTO blocked (entry) VALUES (?)"), {entry}))
                return false;
        }
    }
    return exec(query, QStringLiteral("INSERT INTO meta (key, value) "
                                      "VALUES ('carried-over', datetime('now'))"));
}

bool Settings::load()
{
    QSqlQuery query = m_db.query();
    if (!exec(query, QStringLiteral("SELECT key, value FROM setting")))
        return false;
    while (query.next())
        m_values.insert(query.value(0).toString(), query.value(1).toString());
    if (!readList(query, m_stored, m_dataVersion))
        return false;
    m_blockList = BlockList::textOf(m_stored);
    return true;
}

bool Settings::transaction(const std::function<bool(QSqlQuery &)> &work)
{
    return !m_db.transaction(work);
}

QString Settings::nickname() const
{
    return value(kNickname);
}

QString Settings::address() const
{
    return value(kAddress);
}

void Settings::setLastLogIn(const QString &nickname, const QString &address)
{
    write({{kNickname, nickname}, {kAddress, address}});
}

QString Settings::certificate(const QString &address) const
{
    return value(serverKey(address, QStringLiteral("certificate")));
}

void Settings::setCertificate(const QString &address, const QString &fingerprint)
{
    write({{serverKey(address, QStringLiteral("certificate")), fingerprint}});
}

bool Settings::clearTextAllowed(const QString &address) const
{
    return value(serverKey(address, QStringLiteral("clear"))) == kTrue;
}

void Settings::setClearTextAllowed(const QString &address, bool allowed)
{
    write({{serverKey(address, QStringLiteral("clear")), allowed ? kTrue : QString()}});
}

QStringList Settings::clearTextAddresses() const
{
    return serversWith(QStringLiteral("clear"));
}

QStringList Settings::serversWith(const QString &what) const
{
    const QString prefix = QStringLiteral("servers/");
    const QString suffix = u'/' + what;
    QStringList addresses;
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it) {
        if (it.key().startsWith(prefix) && it.key().endsWith(suffix))
            addresses << it.key().mid(prefix.size()).chopped(suffix.size());
    }
    addresses.sort();
    return addresses;
}

void Settings::movePasswords(SecretStore &store)
{
    for (const QString &address : serversWith(QStringLiteral("password"))) {
        const QString key = serverKey(address, QStringLiteral("password"));
        store.write(SecretStore::passwordKey(address, certificate(address)), m_values.value(key),
                    this, [this, key](bool kept) {
                        if (!kept)
                            return;
                        write({{key, QString()}});
                        // The earlier version's own file, otherwise left as it was, loses it too.
                        const QString path = m_folder + QStringLiteral("/ajustes.ini");
                        if (QFileInfo::exists(path))
                            QSettings(path, QSettings::IniFormat).remove(key);
                    });
    }
}

bool Settings::notifications() const
{
    return value(kNotifications) != kFalse;
}

void Settings::setNotifications(bool shown)
{
    write({{kNotifications, shown ? kTrue : kFalse}});
}

bool Settings::tellsRead() const
{
    return value(kTellsRead) == kTrue;
}

void Settings::setTellsRead(bool told)
{
    write({{kTellsRead, told ? kTrue : kFalse}});
}

bool Settings::keepsHistory() const
{
    return value(kKeepsHistory) != kFalse;
}

void Settings::setKeepsHistory(bool kept)
{
    write({{kKeepsHistory, kept ? kTrue : kFalse}});
}

int Settings::retentionDays() const
{
    return std::max(0, value(kRetentionDays).toInt());
}

void Settings::setRetentionDays(int days)
{
    write({{kRetentionDays, days > 0 ? QString::number(days) : QString()}});
}

int Settings::awayAfterMinutes() const
{
    bool number = false;
    const int minutes = value(kAwayAfter).toInt(&number);
    return number ? std::max(0, minutes) : kDefaultAwayAfter;
}

void Settings::setAwayAfterMinutes(int minutes)
{
    write({{kAwayAfter, QString::number(std::max(0, minutes))}});
}

QString Settings::downloadFolder() const
{
    const QString chosen = value(kDownloadFolder);
    return chosen.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::DownloadLocation)
                            : chosen;
}

void Settings::setDownloadFolder(const QString &folder)
{
    write({{kDownloadFolder, folder}});
}

QStringList Settings::autoAccepted() const
{
    // One nickname a line: a nickname may hold a comma.
    return value(kAutoAccepted).split(u'\n', Qt::SkipEmptyParts);
}

void Settings::setAutoAccepted(const QStringList &nicknames)
{
    write({{kAutoAccepted, nicknames.join(u'\n')}});
}

// An empty value removes the key: it reads as its default.
void Settings::write(const Values &values)
{
    // The program goes on with what the user set, whether or not it reaches the disk.
    for (const auto &[key, value] : values) {
        if (value.isEmpty())
            m_values.remove(key);
        else
            m_values.insert(key, value);
    }
    check(transaction([&](QSqlQuery &query) {
        for (const auto &[key, value] : values) {
            const bool ok = value.isEmpty()
                ? exec(query, QStringLiteral("DELETE FROM setting WHERE key = ?"), {key})
                : exec(query, kSetValue, {key, value});
            if (!ok)
                return false;
        }
        return true;
    }));
}

void Settings::setBlockList(const QString &text)
{
    if (text == m_blockList)
        return;
    m_blockList = text;
    // Many changes in one go (a paste, a block with its mark) make one write.
    if (!std::exchange(m_writePending, true))
        QMetaObject::invokeMethod(this, &Settings::writeBlockList, Qt::QueuedConnection);
}

void Settings::writeBlockList()
{
    m_writePending = false;
    check(syncBlockList());
}

void Settings::pollBlockList()
{
    // A write reads the list anyway.
    if (m_writePending)
        return;
    qint64 version = -1;
    {
        QSqlQuery query = m_db.query();
        version = dataVersion(query);
    }
    if (version >= 0 && version != m_dataVersion)
        check(syncBlockList());
}

// Applies what the user changed since the list was last read to what is stored now, so that
// another client's changes meanwhile stay, and reads the list back.
bool Settings::syncBlockList()
{
    QStringList removed = m_stored;
    QStringList added;
    const QStringList shown = BlockList::parse(m_blockList);
    for (const QString &entry : shown) {
        if (!removed.removeOne(entry))
            added << entry;
    }
    QStringList stored;
    qint64 version = -1;
    const bool ok = transaction([&](QSqlQuery &query) {
        for (const QString &entry : std::as_const(removed)) {
            if (!exec(query,
                      QStringLiteral("DELETE FROM blocked WHERE id = "
                                     "(SELECT min(id) FROM blocked WHERE entry = ?)"),
                      {entry}))
                return false;
        }
        for (const QString &entry : std::as_const(added)) {
            if (!exec(query, QStringLiteral("INSERT INTO blocked (entry) VALUES (?)"), {entry}))
                return false;
        }
        return readList(query, stored, version);
    });
    if (!ok)
        return false;
    m_stored = stored;
    m_dataVersion = version;
    if (!sameEntries(stored, shown)) {
        m_blockList = BlockList::textOf(stored);
        Q_EMIT blockListChanged(m_blockList);
    }
    return true;
}

void Settings::setMaxPagesForTest(int pages)
{
    m_db.setMaxPages(pages);
}

void Settings::check(bool ok)
{
    if (!ok && !std::exchange(m_reported, true))
        m_report(QStringLiteral("No se pudo leer o guardar la configuración en ") + m_folder
                 + QStringLiteral(". El programa sigue con lo que tiene."));
}
