#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariant>

#include "storage/database.h"

#include <optional>
#include <utility>

// What the server keeps between runs, in one SQLite file of its state folder (keep.sqlite,
// readable by the server's user alone; WAL, full synchronisation): who owns which nickname, the
// private lines kept for people who are away, and the marks waiting for senders who are away.
//
// Everything is decided in memory at once (who owns a nickname, whether a line fits) and written
// later: what is asked during one turn of the event loop is committed together in one
// transaction at the next, so a burst costs one disk flush, not one a line. A line is told
// `stored` only once its commit has reached the disk.
//
// A nickname's claim is keyed by its folded form (case and look-alike letters folded, as the
// relay compares nicknames online). It holds one key for each desk its holder uses, under the
// desk's name; a key itself is never kept, only its SHA-256 digest.
//
// When the file cannot be used at start (damaged, a full disk, a folder that cannot be written)
// the store says why in problem() and keeps nothing: no claim holds and no line fits. A commit
// that fails later tells `lost` for the lines it held, and from then on the store writes
// nothing: it goes on in memory for the run (claims, lines kept so far, marks), but makes no new
// claim and keeps no new line; what changed since is not in the file at the next start (a line
// delivered since is sent again then, and the client drops it).
class KeptStore : public QObject {
    Q_OBJECT

public:
    // What the desk of a claim made before desks were named is called.
    static inline const QString FirstDesk = QStringLiteral("primer equipo");

    struct Limits {
        // Kept lines, per recipient, per sender and recipient, and in all.
        int linesPerRecipient = 2000;
        qint64 bytesPerRecipient = 4 * 1024 * 1024;
        int linesPerPair = 500;
        qint64 bytesPerPair = 1024 * 1024;
        int linesInAll = 200'000;
        qint64 bytesInAll = 256 * 1024 * 1024;
        // And from one address, which chooses its senders' nicknames: for one recipient, and in
        // all.
        int linesPerAddressPair = 500;
        qint64 bytesPerAddressPair = 1024 * 1024;
        int linesPerAddress = 5000;
        qint64 bytesPerAddress = 32 * 1024 * 1024;
        // How long a kept line, and a mark waiting for its sender, may wait.
        int days = 30;
        // A claim not used for this long lapses; the desks one claim may have.
        int claimDays = 180;
        int desksPerClaim = 10;
        // Marks waiting, per sender, per address whose lines they are about, and in all.
        int reportsPerSender = 1000;
        int reportsPerAddress = 2000;
        int reportsInAll = 100'000;
    };

    struct Line {
        // The store's, increasing in the order lines were kept; 0 until kept.
        qint64 row = 0;
        // The recipient's folded nickname (its claim), and the nickname as the sender wrote it.
        QString owner;
        QString to;
        // The sender's nickname as it was logged in, and its folded form (where reports go when
        // it held its claim); the address it wrote from (AddressLimits::key, as text).
        QString from;
        QString sender;
        QString address;
        // Whether the sender held the claim on its nickname; if not, the log-in it wrote under
        // (the relay's identity for it), whose own later log-ins alone may hear of the line.
        bool held = false;
        QString identity;
        // The sender's id for the line, or one the server made for a plain sender.
        QString id;
        // Whether the sender gave the id (our client): it is told marks, a plain one only
        // failures.
        bool marked = false;
        QString text;
        // When the server took the line, UTC, to the second.
        QDateTime at;
    };

    // A mark waiting for its sender: state one of wire::MarkDelivered, MarkRead, MarkFailed;
    // text for a failure, in Spanish. `marked` as for the line it is about.
    struct Report {
        QString id;
        QString state;
        QString text;
        bool marked = false;
    };

    // One of a claim's desks: its name, and when its key was recorded and last used.
    struct Desk {
        QString name;
        QDateTime since;
        QDateTime used;
    };

    struct Claim {
        QString nickname; // as it was first claimed
        QDateTime since;
        QDateTime used;
        int lines = 0; // kept for it now
        QList<Desk> desks; // in the order they were added
    };

    enum class Owner {
        Nobody, // unclaimed
        Holder, // the key is the claim's
        Someone, // claimed with another key (or the key is missing)
    };

    KeptStore(const QString &folder, const Limits &limits, QObject *parent = nullptr);
    ~KeptStore() override; // commits what is pending

    // Empty while the store works; otherwise why it keeps nothing, for the log.
    QString problem() const { return m_problem; }
    bool isUsable() const { return m_problem.isEmpty(); }

    // `key` is the claim's key as the client sent it (64 hexadecimal digits), or empty.
    Owner owner(const QString &form, const QString &key) const;
    // The name of the claim's desk whose key it is; empty when it is none of the claim's.
    QString deskOf(const QString &form, const QString &key) const;
    // Claims the nickname for the key (it must be unclaimed), the first desk's; `nickname` as
    // it is written. Whether it did: not when the store writes nothing.
    bool claim(const QString &form, const QString &nickname, const QString &key,
               const QString &desk = FirstDesk);
    // Records another desk's key for the claim, under the name, or the name and a number when
    // the claim has a desk of that name. The name it took; empty when it took none: no such
    // claim, a key malformed or the claim's already, the claim's desks all taken, or the store
    // writes nothing.
    QString addDesk(const QString &form, const QString &key, const QString &desk);
    // Forgets a desk's key; whether the claim had that desk.
    bool dropDesk(const QString &form, const QString &desk);
    QList<Desk> desks(const QString &form) const;
    // The claim was used to log in now, from that desk: it does not lapse for claimDays from now.
    void used(const QString &form, const QString &desk = {});
    // By nickname.
    QList<Claim> claims() const;
    // Drops the claim, every line kept for it and the marks waiting for it; the lines are
    // returned so that their senders can be told. Nothing when the nickname was not claimed.
    std::optional<QList<Line>> release(const QString &form);

    // Takes the line to keep for its owner's claim. An empty answer: it fits, and `stored`
    // tells when it is on disk. Otherwise the reason it does not fit (or nobody claims the
    // owner), in Spanish, for its sender ("Tu mensaje para TO no se pudo guardar: ...").
    QString keep(Line line);
    // The lines kept for a claim, in the order they were kept (stored or not yet).
    QList<Line> linesFor(const QString &owner) const;
    // The recipient has it: forgotten (at the next commit). An unknown row is ignored.
    void delivered(qint64 row);

    // Whether a line with this id from this sender (folded) is kept, stored or not yet.
    bool holds(const QString &sender, const QString &id) const;

    // A mark for a sender who is away, in its box: its folded nickname when it holds the claim,
    // otherwise a box its next log-in can name. Bounded per box, per address the line came
    // from and in all (the oldest delivered and read marks go first, failures last), and
    // forgotten after `days` or with the sender's claim.
    void report(const QString &box, const Report &report, const QString &address = {});
    // The marks waiting in a box, oldest first; forgotten as they are returned.
    QList<Report> takeReports(const QString &box);

    // Removes the lines past their days, the marks past theirs and the claims past theirs
    // (with their lines): the lines removed are returned so that their senders can be told.
    // The owner calls it at start and then every hour.
    QList<Line> expire(const QDateTime &now = QDateTime::currentDateTimeUtc());

    // Writes what is pending now; otherwise it is written at the next turn of the event loop.
    void commit();

    // For tests: the file may grow to this many pages and no more, as if the disk were full.
    void setMaxPages(int pages);

Q_SIGNALS:
    // These lines are on disk: their senders may be told they are kept.
    void stored(const QList<KeptStore::Line> &lines);
    // A commit failed: these lines are not kept, and their senders must be told. The store
    // keeps nothing more for the rest of the run; `why` is problem(), for the log. A line
    // delivered or released before its commit is in neither signal.
    void lost(const QList<KeptStore::Line> &lines, const QString &why);
    // A commit failed, whatever it held: `why` is problem(), for the log.
    void failed(const QString &why);

private:
    struct Key {
        QByteArray digest;
        Desk desk;
    };
    struct Held {
        QString nickname;
        QDateTime since;
        QDateTime used;
        QList<Key> keys;
    };
    // A line kept now, as the bounds and expiry see it.
    struct Where {
        QString owner;
        QString sender;
        QString address;
        qint64 bytes = 0;
        qint64 at = 0;
    };
    struct Tally {
        int lines = 0;
        qint64 bytes = 0;
    };
    struct Waiting {
        qint64 row = 0;
        Report report;
        qint64 at = 0;
        QString address;
    };
    struct Write {
        QString statement;
        QVariantList values;
    };

    void open(const QString &folder);
    QString load();
    void insertKey(const QString &form, const Key &key);
    void queue(const QString &statement, const QVariantList &values);
    void count(const Where &where, int sign);
    void forget(qint64 row);
    QList<Line> read(const QString &condition, const QVariant &value) const;
    QList<Line> keptOf(const QList<Line> &lines) const;
    QMap<qint64, QString> &byRow(const Waiting &waiting);
    void unreport(const QString &box, qint64 row);
    // Takes a waiting mark out of the indexes; whether it was there.
    bool forgetReport(const Waiting &waiting);
    bool write(const QList<Write> &writes);

    QString m_problem;
    storage::Database m_db;
    Limits m_limits;
    QTimer m_commitTimer;
    QHash<QString, Held> m_claims; // by folded form
    QHash<qint64, Where> m_rows; // every line kept now, written or not
    QHash<QString, Tally> m_perOwner;
    QHash<std::pair<QString, QString>, Tally> m_perPair; // by sender, then owner
    QHash<std::pair<QString, QString>, Tally> m_perAddressPair; // by address, then owner
    QHash<QString, Tally> m_perAddress;
    Tally m_inAll;
    QHash<QString, QList<Waiting>> m_reports; // by sender, oldest first
    // The boxes of those waiting, by row: failures apart, as they go last; and by the address
    // whose lines they are about.
    QMap<qint64, QString> m_marks;
    QMap<qint64, QString> m_failures;
    QHash<QString, QMap<qint64, QString>> m_byAddress;
    QList<Write> m_writes; // for the next commit, in order
    QList<Line> m_pending; // kept since the last commit
    qint64 m_nextRow = 1;
    qint64 m_nextReport = 1;
};
