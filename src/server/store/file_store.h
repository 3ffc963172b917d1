#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

#include <memory>

class QFile;

// The bytes of the files on their way through the server, in a folder of its state readable by
// the server's user alone. An upload is written under a name of its own in partial/, where it
// outlives a restart and goes on from its size; once whole it is checked against the SHA-256 its
// sender announced, synced, and renamed to the hex of that digest: a file under such a name is
// whole and is what its name says. Nothing else is ever served.
class FileStore {
public:
    // Why a step failed, as the log says it; empty when it did not.
    using Problem = QString;

    explicit FileStore(QString folder);

    // The folder could not be made: nothing is stored.
    Problem problem() const { return m_problem; }

    // The bytes an upload has so far, 0 for one unknown, -1 for a name that is not one (an
    // upload is named by 32 hex digits).
    qint64 received(const QString &upload) const;
    // Adds bytes at that offset, which must be what the upload has so far: a chunk sent again
    // after a break is refused, never written twice.
    Problem append(const QString &upload, qint64 offset, QByteArrayView bytes);
    // What was appended reaches the disk, and leaves the page cache when told; nothing to do
    // for an upload no longer under way.
    Problem sync(const QString &upload, bool uncache = false);
    // Open for reading what it has so far; null when it has nothing.
    std::unique_ptr<QFile> openUpload(const QString &upload) const;
    // The upload is whole: if its bytes have this SHA-256, it becomes the file of that digest,
    // synced; otherwise it is thrown away. `computed` is the digest of the bytes as they were
    // appended, when the caller kept it: then they are not read back.
    Problem complete(const QString &upload, const QByteArray &digest,
                     const QByteArray &computed = {});
    void abandon(const QString &upload);
    // Takes the upload away at once, as abandon() does, and leaves its bytes where discard()
    // removes them: the kernel drops a file's cached pages as it is unlinked, 0.13 to 0.55 s
    // for a GiB on our server's machine, which the chat's loop must not wait for. Returns where
    // they are, empty when there was nothing.
    QString setAsideUpload(const QString &upload);

    // The whole file of that SHA-256: its size, -1 when there is none.
    qint64 size(const QByteArray &digest) const;
    // Open for reading; null when there is none.
    std::unique_ptr<QFile> open(const QByteArray &digest) const;
    // The whole file of that SHA-256, when there is one, counts as written at that time: its
    // age is what expiry looks at, and a new file of the same bytes makes it young again.
    void renew(const QByteArray &digest, const QDateTime &at);
    // Up to `size` bytes from `offset` of a file open for reading, fewer at its end or when it
    // cannot be read.
    static QByteArray readAt(QFile &file, qint64 offset, qint64 size);
    // A reader of the file has `done` bytes, which leave the page cache as an upload's do once
    // synced; the kernel reads `size` bytes from `from` meanwhile. The pages it fills are taken
    // here, not by the reader.
    static void readAhead(int file, qint64 done, qint64 from, qint64 size);
    // As setAsideUpload(), for a whole file.
    QString setAside(const QByteArray &digest);
    // Removes what was set aside (a name set aside by a server that stopped first goes when the
    // store is made again).
    static void discard(const QStringList &paths);
    // Removes whole files and uploads last written before that time; how many went.
    int expire(const QDateTime &before);

private:
    // Empty for a name that is not one.
    QString partialPath(const QString &upload) const;
    QString wholePath(const QByteArray &digest) const;
    QString setAsidePath(const QString &path) const;

    QString m_folder;
    Problem m_problem;
};
