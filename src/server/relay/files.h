#pragma once

#include "protocol/wire.h"
#include "server/relay/file_carrier.h"
#include "server/store/disk_queue.h"
#include "server/store/file_index.h"
#include "server/store/file_store.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <memory>
#include <optional>

struct Guest;
struct Relay;

// Files from one user to another through the server (docs/PROTOCOL.md, "Files"): offered on the
// chat connection, their bytes carried by transfer connections that a one-time ticket opens,
// kept in the state folder until their recipient has them, and marked for their senders like
// private lines.
class Files : public QObject {
public:
    explicit Files(Relay &relay);
    ~Files() override;

    // Opens the list and the bytes' folder in the state folder; whether files go through here.
    // Removes what has waited too long, and bytes nobody waits for.
    bool open();

    // FILES|: the guest takes files; it is told the limits and offered what waits for it.
    void takeFiles(Guest &guest);
    // SENDFILE|to|id|name|size|sha256.
    void sendFile(Guest &from, const wire::Message &message);
    // GETFILE, GOTFILE and DROPFILE, each with a file's id.
    void getFile(Guest &guest, const QString &id);
    void gotFile(Guest &guest, const QString &id);
    void dropFile(Guest &guest, const QString &id);
    // A connection that has not logged in names its ticket: UPLOAD|ticket,
    // DOWNLOAD|ticket|offset. The connection becomes the transfer's, or is refused.
    void transfer(Guest &guest, const wire::Message &message);

    // For the administrator: one line per file waiting.
    QStringList waiting() const;
    // Drops the files to and from a nickname (folded), telling their senders; how many.
    int release(const QString &form);

private:
    struct Ticket {
        QString id;
        bool upload = false;
        qint64 until = 0;
    };

    QString ticketFor(const QString &id, bool upload);
    // Why the file may not be sent, in Spanish, or nothing.
    QString refusal(const Guest &from, const QString &to, const QString &name, qint64 size) const;
    // The entry is whole: its sender is told, and its recipient offered it if it takes files.
    void whole(const FileIndex::Entry &entry);
    void offer(Guest &to, const FileIndex::Entry &entry);
    // Tells the sender where its file is: at once when it holds its claim online, otherwise
    // waiting with the marks of its lines.
    void tell(const FileIndex::Entry &entry, const QString &state, const QString &text = {});
    // Forgets the file, and its bytes when no other file has them.
    void forget(const FileIndex::Entry &entry);
    // Removes what the store set aside, off this thread.
    void discard(const QStringList &paths);
    // Makes the transfer on its thread, the stream handed over for it.
    void carry(Stream *stream, const QString &peer, const QHostAddress &address,
               const FileCarrier::Job &job);
    void ended(FileCarrier &transfer, const QString &problem, bool whole, qint64 done);
    void expire();
    // Shares out what the transfers may move until the next tick: the bound of a connection,
    // and that of an address divided among its transfers.
    void share();
    void refuseTransfer(Guest &guest, const QString &text, const QString &why);

    Relay &m_relay;
    FileIndex m_index;
    std::unique_ptr<FileStore> m_store;
    // After the store: it goes first, waiting for the work it was given.
    std::unique_ptr<DiskQueue> m_disk;
    // Where the transfers and the disk's answers live: decrypting an upload took the chat's
    // loop for a millisecond a turn, and four of them put a private line 10 to 21 times its
    // p99 at rest. Files reads only what never changes in them (their job) and asks the rest
    // through their thread's queue.
    QThread m_carriers;
    QHash<QString, Ticket> m_tickets;
    QHash<QString, std::shared_ptr<FileCarrier::Running>> m_running;
    // The transfers under way, and the address each counts against.
    QHash<FileCarrier *, QHostAddress> m_transfers;
    QTimer m_expiry;
    QTimer m_share;
};
