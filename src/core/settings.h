#pragma once

#include <QObject>
#include <QSettings>
#include <QString>

#include <functional>
#include <memory>

// What the client keeps between runs, in the user's configuration folder
// ($XDG_CONFIG_HOME/korvex-mensajero): the last nickname and address, whether desktop notices
// are shown, each server's certificate and, if the user asked, its password (so the file is the
// user's alone), and the block list, in a file of its own that is replaced whole at every change,
// so that a crash or a full disk never leaves half a list. A file that cannot be read or written
// is reported once; the program goes on with what it has.
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
    // The group's password remembered for the server at this address; nothing to forget it.
    QString password(const QString &address) const;
    void setPassword(const QString &address, const QString &password);

    bool notifications() const;
    void setNotifications(bool shown);

    QString blockList() const { return m_blockList; }
    void setBlockList(const QString &text);

private:
    void check(bool ok);
    void write(const QString &key, const QVariant &value);
    void writeBlockList();

    Report m_report;
    QString m_folder;
    std::unique_ptr<QSettings> m_settings;
    QString m_blockList;
    bool m_writePending = false;
    bool m_reported = false;
};
