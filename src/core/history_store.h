#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <limits>
#include <memory>
#include <optional>
#include <span>

namespace history {

enum class Kind { Mine, Theirs, Notice }; // stored as an integer

// Where a private line is, in the order it gets there (stored as an integer). On the user's own
// lines, what the server reported; on a line received, Read once the user's client said so.
enum class Mark { None, Sending, Kept, Delivered, Read, Failed };
// A mark never goes back, and a line fails only before it reached anyone.
bool advances(Mark from, Mark to);

// One conversation of the current account.
struct Conversation {
    enum Type { Private, Room, Notices } type = Private;
    QString correspondent; // Private only; compared exactly (case-sensitive)
    bool operator==(const Conversation &) const = default;
};

struct Line {
    qint64 id = 0;
    QDateTime at;
    Kind kind = Kind::Notice;
    QString writer;
    QString text;
    // The line's id on the wire, and its mark; empty and None for lines without one.
    QString ref = {};
    Mark mark = Mark::None;
};

struct Hit {
    Conversation conversation;
    Line line;
};

} // namespace history

// The conversation history of every account the user logs in with, in one SQLite file. Lines are
// queued and written together, one transaction per batch, so a flood costs a few transactions.
//
// When the file cannot be used (damaged, locked by another program past a short wait, a folder
// that cannot be written, a full disk, a file of a newer version) the store tells it once and
// goes on in memory for the rest of the run, the newest 20,000 lines: no recent line handed to it
// is lost for this run's views, and the user's file is left as it is.
class HistoryStore : public QObject {
    Q_OBJECT

public:
    // Keeps its database in folder/historial.sqlite (folder made 0700, the file 0600, as are its
    // -wal/-shm). A failure found while opening is told at the next turn of the event loop, so
    // that whoever constructs the store can connect to notKept first.
    explicit HistoryStore(const QString &folder, QObject *parent = nullptr);
    ~HistoryStore() override; // writes what is pending

    // Lines go under this account (server address trimmed and lower-cased; nickname exact).
    // Flushes pending lines first.
    void setAccount(const QString &server, const QString &nickname);
    // false: nothing is written to disk any more (lines of this run are kept in memory only, so
    // views can still page back); true: back to the file.
    void setKeeping(bool keep);
    // Whether lines reach the disk now (false when the user turned it off or the file failed).
    bool isKeeping();
    // Lines older than this many days are deleted now; 0 keeps everything (the default). The
    // owner sets it at every start, from the user's settings.
    void setRetentionDays(int days);

    // Queues one line and returns its id at once (ids increase in arrival order within the
    // store); written in batched transactions. Should another program have written to the file
    // since, the batch is written under later ids than those returned.
    qint64 append(const history::Conversation &c, history::Kind kind, const QString &writer,
                  const QString &text, const QDateTime &at = QDateTime::currentDateTimeUtc(),
                  const QString &ref = {}, history::Mark mark = history::Mark::None);
    // Moves on the mark of the current account's line of this kind with this ref (and, when
    // given, this writer), wherever it is. Returns the line's conversation when the mark moved;
    // nothing when there is no such line or the mark would go back. `known`, when given, tells
    // whether there is such a line.
    std::optional<history::Conversation> setMark(history::Kind kind, const QString &ref,
                                                 history::Mark mark, const QString &writer = {},
                                                 bool *known = nullptr);
    // Whether the conversation holds a line of this writer with this ref.
    bool holds(const history::Conversation &c, const QString &writer, const QString &ref);
    // Up to `count` lines of the conversation with an id below `id` (the newest ones of those),
    // oldest first; Newest stands for "the newest".
    QList<history::Line> before(const history::Conversation &c, qint64 id, int count);
    // Up to `count` lines with an id above `id`, oldest first.
    QList<history::Line> after(const history::Conversation &c, qint64 id, int count);
    // Lines whose text holds every word of `words` as a word beginning, insensitive to case and
    // accents ("cancion" finds "canción", "tel" finds "teléfono"); newest first; only in
    // `within` when given; at most `limit`.
    QList<history::Hit> search(const QString &words,
                               const std::optional<history::Conversation> &within = {},
                               int limit = 200);
    // The current account's own private lines still waiting for their first mark (Sending),
    // written at `since` or later: the newest `count` of them, oldest first.
    QList<history::Hit> sending(int count, const QDateTime &since);
    // Deletes every line of the conversation ("Borrar historial").
    void clear(const history::Conversation &c);
    // Writes the pending lines now. Whether every line handed to the store is on disk: false
    // once the file has failed, and while keeping is off.
    bool flush();

    // For tests: the file may grow to this many pages and no more, as if the disk were full.
    void setMaxPages(int pages);

    static constexpr qint64 Newest = std::numeric_limits<qint64>::max();

Q_SIGNALS:
    // Emitted once per store, at the next turn of the event loop after the history is first
    // found not to be kept on disk. Spanish, for the user.
    void notKept(const QString &text);

private:
    struct Account {
        QString server;
        QString nickname;
        bool operator==(const Account &) const = default;
    };
    // A line not in the file: waiting for the next batch, or kept in memory only.
    struct Entry {
        int account; // index in m_accounts
        history::Conversation conversation;
        history::Line line;
    };

    struct File;

    void open();
    // The file, opened at the first need of it.
    bool readable();
    void fail(const QString &reason);
    void readFailed();
    void closeDatabase();
    // Lines that are not on disk, for this run's views.
    void remember(const QList<Entry> &entries);
    // Counts the refs of these lines in (by 1) or out (by -1) of m_refs.
    void countRefs(std::span<const Entry> entries, int by);
    // Whether a line of m_pending or m_memory may carry the ref.
    bool mayHold(const QString &ref) const { return m_refs.contains(ref); }
    bool exec(const QString &statement);
    // The pending lines in one transaction; inserting them, in it.
    bool writeBatch();
    bool insertPending();
    void write(const QString &statement, const QVariantList &values);
    // The id of a row of the file, made if asked; 0 when there is none, -1 on an error.
    qint64 rowOf(const QString &key, const QString &table, const QStringList &columns,
                 const QVariantList &values, bool create);
    qint64 accountRow(int account, bool create);
    qint64 conversationRow(int account, const history::Conversation &c, bool create);
    QList<history::Line> page(const history::Conversation &c, qint64 id, int count, bool older);

    QString m_folder;
    std::unique_ptr<File> m_file;
    bool m_readable = false; // the file is open and of our schema
    bool m_opened = false;
    // Lines older than this go when the file opens.
    qint64 m_retentionCutoff = 0;
    bool m_failed = false;
    bool m_reported = false;
    bool m_keep = true;
    qint64 m_nextId = 1;
    QList<Account> m_accounts;
    int m_account = 0;
    QHash<QString, qint64> m_rows; // accounts and conversations of the file, by key
    QList<Entry> m_pending;
    QList<Entry> m_memory;
    // How many lines of both carry each ref: they are walked for a ref only when it is here
    // (walking the 4,096 lines waiting for the disk took 17% of a flood of private lines).
    QHash<QString, int> m_refs;
    QTimer m_flushTimer;
};
