#pragma once

#include "storage/database.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <utility>

class QSqlQuery;
class SecretStore;

// What the client keeps between runs, in the user's configuration folder
// ($XDG_CONFIG_HOME/korvex-mensajero/ajustes.sqlite): the last nickname and address, whether
// desktop notices are shown, how long conversations are kept, each server's certificate and the
// block list. The passwords are in the SecretStore; earlier versions kept them here, so the file
// is the user's alone.
//
// Every write is one SQLite transaction: a crash or a full disk leaves the previous state whole.
// Several clients may share the folder: each applies only its own changes to the block list, as
// rows, and learns of the others' ones. A file that cannot be read or written is reported once;
// the program goes on with what it holds, as the user set it.
class Settings : public QObject {
    Q_OBJECT

public:
    using Report = std::function<void(const QString &text)>;

    explicit Settings(Report report, QObject *parent = nullptr);
    ~Settings() override;

    QString nickname() const;
    QString address() const;
    void setLastLogIn(const QString &nickname, const QString &address);

    // The fingerprint of the certificate the server at this address showed first; nothing to
    // forget it.
    QString certificate(const QString &address) const;
    void setCertificate(const QString &address, const QString &fingerprint);
    // Whether the user agreed to talk in clear to the server at this address when it offers no
    // encryption; the addresses agreed to, as typed.
    bool clearTextAllowed(const QString &address) const;
    void setClearTextAllowed(const QString &address, bool allowed);
    QStringList clearTextAddresses() const;
    // Moves the groups' passwords an earlier version kept here to the store, each under the
    // certificate remembered for its address now (none: in clear); each leaves this file once
    // the store has it.
    void movePasswords(SecretStore &store);

    bool notifications() const;
    void setNotifications(bool shown);
    // Whether the user's correspondents are told when the user has read their lines; off
    // unless chosen.
    bool tellsRead() const;
    void setTellsRead(bool told);

    // Whether conversations are kept, and for how many days; 0 keeps them for good.
    bool keepsHistory() const;
    void setKeepsHistory(bool kept);
    int retentionDays() const;
    void setRetentionDays(int days);

    // Minutes without input after which an available user is shown away; 0: never.
    int awayAfterMinutes() const;
    void setAwayAfterMinutes(int minutes);

    // Where received files are saved: the folder chosen, or the desktop's download folder.
    QString downloadFolder() const;
    void setDownloadFolder(const QString &folder);
    // Whose files are saved at once, without asking.
    QStringList autoAccepted() const;
    void setAutoAccepted(const QStringList &nicknames);

    // The block list as the text of its box: one entry a line, each line ended by CR LF.
    QString blockList() const { return m_blockList; }
    void setBlockList(const QString &text);

    // Caps the database at this many pages (never below its present size), as a full disk would.
    void setMaxPagesForTest(int pages);

Q_SIGNALS:
    // Another client on the same folder changed the block list; this is the list with its
    // changes and ours.
    void blockListChanged(const QString &text);

private:
    using Values = QList<std::pair<QString, QString>>;

    bool carryOver(bool &oldFilesRead);
    bool carryOldFiles(QSqlQuery &query, bool &oldFilesRead);
    bool load();
    bool transaction(const std::function<bool(QSqlQuery &)> &work);
    QString value(const QString &key) const { return m_values.value(key); }
    // The addresses that have this setting, as kept.
    QStringList serversWith(const QString &what) const;
    void write(const Values &values);
    void writeBlockList();
    void pollBlockList();
    bool syncBlockList();
    void check(bool ok);

    Report m_report;
    QString m_folder;
    // Closed when the file could not be opened: the program then runs on what it holds.
    storage::Database m_db;
    QHash<QString, QString> m_values;
    // The stored entries as this instance last read them, and the text it shows.
    QStringList m_stored;
    QString m_blockList;
    qint64 m_dataVersion = -1;
    QTimer m_poll;
    bool m_writePending = false;
    bool m_reported = false;
};
