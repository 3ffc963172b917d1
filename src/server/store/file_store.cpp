#include "server/store/file_store.h"

#include "protocol/wire.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype kUploadDigits = 32;
constexpr qsizetype kDigestBytes = 32;
// Bytes set aside wait in partial/ under this prefix: never an upload's name, nor a file's.
const QString kSetAside = QStringLiteral("gone-");

QString systemSays()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool isHex(const QString &name, qsizetype digits)
{
    return name.size() == digits && std::all_of(name.cbegin(), name.cend(), [](QChar c) {
               return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
           });
}

bool syncFolder(const QString &path)
{
    const int folder = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = folder >= 0 && ::fsync(folder) == 0;
    if (folder >= 0)
        ::close(folder);
    return synced;
}

std::unique_ptr<QFile> openForReading(const QString &path)
{
    if (path.isEmpty())
        return nullptr;
    auto file = std::make_unique<QFile>(path);
    return file->open(QIODevice::ReadOnly) ? std::move(file) : nullptr;
}

} // namespace

FileStore::FileStore(QString folder) : m_folder(std::move(folder))
{
    for (const QString &path : QStringList{m_folder, m_folder + QStringLiteral("/partial")}) {
        if (!QDir().mkpath(path) || ::chmod(QFile::encodeName(path).constData(), 0700) != 0) {
            m_problem = QStringLiteral("cannot make %1: %2").arg(path, systemSays());
            return;
        }
    }
    QStringList left;
    QDirIterator gone(m_folder + QStringLiteral("/partial"), {kSetAside + u'*'},
                      QDir::Files | QDir::Hidden);
    while (gone.hasNext())
        left << gone.next();
    discard(left);
}

QString FileStore::partialPath(const QString &upload) const
{
    return isHex(upload, kUploadDigits) ? m_folder + QStringLiteral("/partial/") + upload
                                        : QString();
}

QString FileStore::wholePath(const QByteArray &digest) const
{
    return digest.size() == kDigestBytes
        ? m_folder + u'/' + QString::fromLatin1(digest.toHex())
        : QString();
}

qint64 FileStore::received(const QString &upload) const
{
    const QString path = partialPath(upload);
    if (path.isEmpty())
        return -1;
    const QFileInfo file(path);
    return file.exists() ? file.size() : 0;
}

FileStore::Problem FileStore::append(const QString &upload, qint64 offset, QByteArrayView bytes)
{
    if (!m_problem.isEmpty())
        return m_problem;
    const QString path = partialPath(upload);
    if (path.isEmpty())
        return QStringLiteral("not an upload's name");
    // Made by its first bytes only: one set aside meanwhile is not made again by later ones.
    const int made = offset == 0 ? O_CREAT : 0;
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | made, 0600);
    if (fd < 0)
        return QStringLiteral("cannot write the upload: ") + systemSays();
    Problem problem;
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        problem = QStringLiteral("cannot write the upload: ") + systemSays();
    } else if (status.st_size != offset) {
        problem = QStringLiteral("a chunk at %1 where %2 bytes are stored").arg(offset).arg(
            qint64(status.st_size));
    } else {
        for (qsizetype done = 0; done < bytes.size() && problem.isEmpty();) {
            const ssize_t n = ::write(fd, bytes.data() + done, size_t(bytes.size() - done));
            if (n > 0)
                done += n;
            else if (n < 0 && errno != EINTR)
                problem = QStringLiteral("cannot write the upload: ") + systemSays();
        }
        // What a failed write left is cut off again: the upload goes on from where it was.
        if (!problem.isEmpty() && ::ftruncate(fd, offset) != 0)
            problem += QStringLiteral("; and cannot cut it back: ") + systemSays();
    }
    ::close(fd);
    return problem;
}

FileStore::Problem FileStore::sync(const QString &upload, bool uncache)
{
    const QString path = partialPath(upload);
    const int fd = path.isEmpty() ? -1 : ::open(QFile::encodeName(path).constData(),
                                                O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    // Gone meanwhile: made whole, and synced then, or thrown away. Syncs run beside the
    // appends, so the last block's may come first.
    if (fd < 0 && !path.isEmpty() && errno == ENOENT)
        return {};
    const bool synced = fd >= 0 && ::fdatasync(fd) == 0;
    const Problem problem =
        synced ? Problem() : QStringLiteral("cannot sync the upload: ") + systemSays();
    if (synced && uncache)
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    if (fd >= 0)
        ::close(fd);
    return problem;
}

std::unique_ptr<QFile> FileStore::openUpload(const QString &upload) const
{
    return openForReading(partialPath(upload));
}

FileStore::Problem FileStore::complete(const QString &upload, const QByteArray &digest,
                                       const QByteArray &computed)
{
    const QString path = partialPath(upload);
    const QString whole = wholePath(digest);
    if (path.isEmpty() || whole.isEmpty())
        return QStringLiteral("not an upload's name or a SHA-256");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("no such upload");
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const bool read = !computed.isEmpty() || hash.addData(&file);
    const bool synced = ::fsync(file.handle()) == 0;
    file.close();
    if (!read || !synced)
        return QStringLiteral("cannot read the upload back: ") + systemSays();
    if ((computed.isEmpty() ? hash.result() : computed) != digest) {
        abandon(upload);
        return QStringLiteral("its SHA-256 is not the one announced");
    }
    if (::rename(QFile::encodeName(path).constData(), QFile::encodeName(whole).constData()) != 0)
        return QStringLiteral("cannot keep the file: ") + systemSays();
    if (!syncFolder(m_folder))
        return QStringLiteral("cannot sync the files' folder: ") + systemSays();
    return {};
}

void FileStore::abandon(const QString &upload)
{
    if (const QString path = partialPath(upload); !path.isEmpty())
        QFile::remove(path);
}

QString FileStore::setAsidePath(const QString &path) const
{
    if (path.isEmpty())
        return {};
    const QString aside =
        m_folder + QStringLiteral("/partial/") + kSetAside + wire::randomHex(wire::TicketDigits);
    return ::rename(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) == 0
        ? aside
        : QString();
}

QString FileStore::setAsideUpload(const QString &upload)
{
    return setAsidePath(partialPath(upload));
}

QString FileStore::setAside(const QByteArray &digest)
{
    return setAsidePath(wholePath(digest));
}

void FileStore::discard(const QStringList &paths)
{
    for (const QString &path : paths) {
        if (!path.isEmpty())
            QFile::remove(path);
    }
}

QByteArray FileStore::readAt(QFile &file, qint64 offset, qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    qint64 done = 0;
    while (done < size) {
        const ssize_t n =
            ::pread(file.handle(), bytes.data() + done, size_t(size - done), off_t(offset + done));
        if (n > 0)
            done += n;
        else if (n == 0 || errno != EINTR)
            break;
    }
    bytes.resize(done);
    return bytes;
}

void FileStore::readAhead(int file, qint64 done, qint64 from, qint64 size)
{
    // A length of 0 would mean all the rest.
    if (done > 0)
        ::posix_fadvise(file, 0, done, POSIX_FADV_DONTNEED);
    if (size > 0)
        ::posix_fadvise(file, from, size, POSIX_FADV_WILLNEED);
}

qint64 FileStore::size(const QByteArray &digest) const
{
    const QString path = wholePath(digest);
    const QFileInfo file(path);
    return !path.isEmpty() && file.isFile() ? file.size() : -1;
}

std::unique_ptr<QFile> FileStore::open(const QByteArray &digest) const
{
    return openForReading(wholePath(digest));
}

void FileStore::renew(const QByteArray &digest, const QDateTime &at)
{
    if (std::unique_ptr<QFile> bytes = open(digest))
        bytes->setFileTime(at, QFileDevice::FileModificationTime);
}

int FileStore::expire(const QDateTime &before)
{
    int gone = 0;
    for (const QString &folder : QStringList{m_folder, m_folder + QStringLiteral("/partial")}) {
        QDirIterator files(folder, QDir::Files | QDir::Hidden);
        while (files.hasNext()) {
            const QFileInfo file(files.next());
            if (file.lastModified() < before && QFile::remove(file.filePath()))
                ++gone;
        }
    }
    return gone;
}
