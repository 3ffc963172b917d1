#pragma once

#include <QAbstractListModel>
#include <QList>
#include <QString>
#include <QStringList>

#include "protocol/transfer_socket.h"

#include <functional>
#include <vector>

class FileDigest;
class Outbox;
namespace wire {
class Message;
}

// The files of this run, sent and received through the server (docs/PROTOCOL.md, "Files"), one
// row each, in the order they came. The chat connection asks for tickets and tells the server
// where a file is; the bytes go on transfer connections of their own, which the Opener makes.
//
// Sending: the file is hashed a piece at a time (Preparing), offered with SENDFILE once the
// server has said its limits, and uploaded with each UPLOAD ticket (Sending, the percent the
// server has stored); its marks make it Kept, Delivered or Failed. Receiving: a FILE waits for
// the user (Offered); accepted, it is fetched with each DOWNLOAD ticket into a hidden partial
// file in the folder chosen (Receiving) and, once its SHA-256 matches, renamed to a name no
// file there has and told with GOTFILE (Saved). A damaged download is thrown away, never saved.
//
// A transfer cut off goes on from where it stopped: with a new ticket at once while logged in,
// or after the next log-in (SENDFILE again with the same id, GETFILE again from the partial
// file's size). Three cuts in a row that move nothing end it with their reason.
class Transfers : public QAbstractListModel {
    Q_OBJECT

public:
    enum class Direction { Sending, Receiving };
    enum class State {
        Preparing,
        Sending,
        Kept,
        Delivered,
        Offered,
        Receiving,
        Saved,
        Rejected,
        Paused,
        Cancelled,
        Failed,
    };
    enum Role {
        DirectionRole = Qt::UserRole + 1,
        PeerRole,
        IdRole,
        NameRole,
        SizeRole,
        DigestRole,
        StateRole,
        DoneRole,
        PathRole,
        // Bytes a second over the last seconds, and the seconds left at that pace (-1: unknown).
        SpeedRole,
        SecondsLeftRole,
    };

    // FILES|largest|sender|recipient|total|connection|address|days: bytes (a file at most,
    // waiting from one sender, for one recipient, in all), bytes a second (0: no limit), days.
    struct Limits {
        qint64 largest = 0, sender = 0, recipient = 0, total = 0, connection = 0, address = 0,
               days = 0;
    };

    struct Row {
        Direction direction = Direction::Sending;
        QString peer = {}, id = {}, name = {};
        qint64 size = 0;
        QString sha256 = {};
        State state = State::Preparing;
        // Sending: hashed, then handed to the connection; receiving: on this disk.
        qint64 done = 0;
        // Sending: what the server says it holds.
        qint64 stored = 0;
        // Sending: the file. Receiving: the file saved, once it is.
        QString path = {};
        QString reason = {};
    };

    using Opener = std::function<Transfer *(const Transfer::Job &job)>;
    // Milliseconds of a monotonic clock.
    using Clock = std::function<qint64()>;

    static constexpr int MostStrikes = 3;
    // Speeds are measured over this many milliseconds.
    static constexpr qint64 SpeedWindow = 5000;

    // SENDFILE, GETFILE, GOTFILE and DROPFILE go through the outbox; the opener makes the
    // transfer connection for each ticket; the clock times the speeds.
    Transfers(Outbox &outbox, Opener opener, Clock clock = {}, QObject *parent = nullptr);
    ~Transfers() override;

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    const Row *find(const QString &id, Direction direction) const;
    // What a window shows of a row: "enviando… 43%", "entregado", "no entregado: ..."
    static QString describe(const Row &row);
    qint64 speed(const Row &row) const;
    qint64 secondsLeft(const Row &row) const;
    const Limits &limits() const { return m_limits; }

    // The user's verbs. send() returns the new rows' ids. The others act on the row with this
    // id they apply to, and say whether there was one; accept() saves to the folder given, or
    // to the desktop's download folder.
    QStringList send(const QString &peer, const QStringList &paths);
    bool accept(const QString &id, const QString &folder = {});
    bool reject(const QString &id);
    bool pause(const QString &id);
    bool resume(const QString &id);
    bool cancel(const QString &id);

    // The chat connection: logged in (files: the server takes them, and FILES| goes), gone,
    // and what the server says about files.
    void loggedIn(bool files);
    void loggedOut();
    void limitsArrived(const wire::Message &message);
    void uploadTicket(const wire::Message &message);
    void fileOffered(const wire::Message &message, const QString &own);
    void downloadTicket(const wire::Message &message);
    // MARK|id|state[|text]: false when no file has this id (it is a line's).
    bool marked(const wire::Message &message);

private:
    enum class Files { Unknown, No, Waiting, Ready };
    // What a row needs beside what it shows.
    struct Work {
        Transfer *transfer = nullptr;
        FileDigest *digest = nullptr;
        // A ticket was asked for on this log-in.
        bool asked = false;
        int strikes = 0;
        qint64 startedAt = 0;
        // GOTFILE or DROPFILE that could not go yet.
        QString owed;
        // Receiving: where the file goes.
        QString folder;
        QList<std::pair<qint64, qint64>> samples;
    };

    Row *row(const QString &id, Direction direction);
    Row *row(const QString &id, const std::function<bool(const Row &)> &applies);
    Work &work(const Row &row) { return m_work[std::size_t(&row - m_rows.data())]; }
    void changed(const Row &row);
    void add(Row row);
    // The size is within the server's limit; otherwise why not.
    QString tooLarge(qint64 size) const;
    void hashNext();
    void hashed(const QString &id, bool ok);
    // Asks for a ticket where the row waits for one and the server is ready.
    void request(Row &row);
    void open(Row &row, const QString &ticket);
    void progressed(const QString &id, Direction direction, qint64 done, qint64 stored);
    void ended(const QString &id, Direction direction, Transfer::End end, const QString &reason);
    void save(Row &row);
    void halt(Row &row);
    void fail(Row &row, const QString &reason);
    void tell(Row &row, const QString &command);
    QString partialPath(const Row &row) const;

    Outbox &m_outbox;
    Opener m_opener;
    Clock m_clock;
    Files m_files = Files::Unknown;
    Limits m_limits;
    std::vector<Row> m_rows;
    std::vector<Work> m_work;
};
