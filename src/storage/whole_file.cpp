#include "storage/whole_file.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString failure(int error)
{
    return qt_error_string(error);
}

// The new file, beside the old one so that the rename stays on one filesystem. Its name is
// random, so that two programs writing the same file at once each rename a file of their own.
int createBeside(const QString &path, mode_t mode, QByteArray &name)
{
    for (int tries = 0; tries < 16; ++tries) {
        name = QFile::encodeName(path) + '.'
            + QByteArray::number(QRandomGenerator::global()->generate(), 36) + ".tmp";
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

} // namespace

QString storage::writeWholeFile(const QString &path, QByteArrayView bytes, mode_t mode)
{
    QByteArray temporary;
    const int fd = createBeside(path, mode, temporary);
    if (fd < 0)
        return failure(errno);
    // What happened first is the reason; whatever comes after it is only cleaning up.
    int error = 0;
    const auto check = [&error](bool ok) {
        if (!ok && error == 0)
            error = errno != 0 ? errno : EIO;
        return error == 0;
    };
    // The umask may have taken bits away.
    check(::fchmod(fd, mode) == 0);
    for (qsizetype done = 0; error == 0 && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        // A write the kernel cut short is followed by one that says why.
        if (!check(n > 0))
            break;
        done += n;
    }
    check(::fsync(fd) == 0);
    // A network filesystem may report a failed write only here.
    check(::close(fd) == 0);
    if (error != 0
        || !check(::rename(temporary.constData(), QFile::encodeName(path).constData()) == 0)) {
        ::unlink(temporary.constData());
        return failure(error);
    }
    // The rename itself is on the disk once the folder is.
    const int folder = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    check(folder >= 0 && ::fsync(folder) == 0);
    if (folder >= 0)
        ::close(folder);
    return error == 0 ? QString() : failure(error);
}
