#pragma once

#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>
#include <QStringList>

#include <functional>

// The client's long-term secrets, the groups' passwords and the secrets that let a log-in be
// taken back, in the desktop's keyring. Where no keyring service runs, they go to a file only
// the user can read ($XDG_CONFIG_HOME/korvex-mensajero/secretos.json), replaced whole on every
// change: a change the disk cannot take leaves the file as it was, and is answered as not kept.
// A file that is there but cannot be read is never replaced: it may hold the only copy of a key.
//
// The keyring answers later: every request is told its outcome through its callback, never
// inside the call, and the requests are served one after another, so a read sees every write
// asked before it.
class SecretStore : public QObject {
    Q_OBJECT

public:
    enum class Kind {
        // The keyring, or the file if none runs.
        Keyring,
        File,
    };
    // The keyring, unless KORVEX_SECRETS=file asks for the file (the tests do: no test touches
    // a real keyring).
    static Kind fromEnvironment();

    // Where the secret of each kind is kept: a group's password under the certificate it was
    // given under (none: in clear); a log-in's secret by address and nickname; the key that
    // claims a nickname by the certificate of the server that keeps the claim and the nickname.
    // Nicknames in the form the server compares them in (wire::nicknameForm), so that every
    // spelling the server takes for the same nickname finds the same secret. Today's name
    // first, then the one earlier versions kept the same secret under (the nickname exact for
    // a log-in's secret, only case-folded for a key), where that differs.
    static QString passwordKey(const QString &address, const QString &certificate);
    static QStringList tokenKeys(const QString &address, const QString &nickname);
    static QStringList claimKeys(const QString &certificate, const QString &nickname);

    explicit SecretStore(Kind kind = fromEnvironment(), QObject *parent = nullptr);
    ~SecretStore() override;

    Kind kind() const { return m_kind; }
    QString filePath() const { return m_path; }

    // The secret kept under the key, empty if none (or unreadable). Nothing is told once
    // `context` has gone.
    void read(const QString &key, QObject *context, std::function<void(const QString &)> answer);
    // The same, told too whether the store could be read: a keyring that refused, or a file
    // there but unreadable, may hold the secret all the same.
    void read(const QString &key, QObject *context,
              std::function<void(const QString &value, bool read)> answer);
    // The same under the first of the names that holds a secret. One found only under a later
    // name (an earlier version's) is kept under the first too, and stays where it was.
    void read(const QStringList &names, QObject *context,
              std::function<void(const QString &value, bool read)> answer);
    // An empty value forgets the key; `done`, if any, is told whether the change was kept.
    void write(const QString &key, const QString &value, QObject *context = nullptr,
               std::function<void(bool kept)> done = {});

Q_SIGNALS:
    // A change could not be written to the file (a full disk...), which keeps what it held.
    // Emitted once per store. Spanish, for the user.
    void notKept(const QString &text);

private:
    struct Request {
        QString key;
        QString value;
        bool writes = false;
        bool bound = false;
        QPointer<QObject> context;
        std::function<void(const QString &value, bool ok)> answer;
        // A read's names still to try, and the first one, for a secret found under another.
        QStringList later = {};
        QString first = {};
    };

    void enqueue(Request request);
    void serve();
    void serveFromKeyring();
    void serveFromFile();
    // Whether the change is in the file; why not, when the file could not be written.
    bool applyToFile(const Request &request, QString &why);
    void finish(const QString &value, bool ok);

    Kind m_kind;
    QString m_path;
    QQueue<Request> m_queue;
    bool m_serving = false;
    bool m_ending = false;
    bool m_told = false;
};
