// A file written whole, against a full disk (the kernel's own limit on a file's size) and a disk
// that reports its failures only at fsync or close (the program's own fsync and close stand in
// front of the system's for that).
#include "storage/whole_file.h"
#include "support/full_disk.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What fails next, once, in the folder under test; plain data, since the system's calls come
// before main and after the end of everything.
enum Fault { None, FileSync, FolderSync, Close };
Fault g_fault = None;
char g_folder[512] = {};

bool failsNow(int fd, bool closing)
{
    if (g_fault == None)
        return false;
    char link[64], path[sizeof g_folder];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, path, sizeof path - 1);
    if (n <= 0)
        return false;
    path[n] = '\0';
    const bool folder = std::strcmp(path, g_folder) == 0;
    const Fault fault = closing ? Close : folder ? FolderSync : FileSync;
    if (fault != g_fault || (!folder && std::strncmp(path, g_folder, std::strlen(g_folder)) != 0)
        || (closing && folder))
        return false;
    g_fault = None;
    return true;
}

template <typename Call> Call next(const char *name)
{
    return reinterpret_cast<Call>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int fsync(int fd)
{
    static const auto real = next<int (*)(int)>("fsync");
    return failsNow(fd, false) ? (errno = EIO, -1) : real(fd);
}

extern "C" int close(int fd)
{
    static const auto real = next<int (*)(int)>("close");
    const bool fails = failsNow(fd, true);
    const int done = real(fd);
    return fails ? (errno = EIO, -1) : done;
}

class TestWholeFile : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void writes_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QByteArray>("after");
        const QByteArray old = "lo de antes", fresh(64 * 1024, 'n');
        QTest::newRow("written") << "" << "" << fresh;
        QTest::newRow("the disk full halfway") << "full" << "File too large" << old;
        QTest::newRow("a sync that fails") << "file sync" << "Input/output error" << old;
        QTest::newRow("a close that fails") << "close" << "Input/output error" << old;
        // Renamed already: in place, but perhaps not after a power cut.
        QTest::newRow("the folder's sync fails") << "folder sync" << "Input/output error" << fresh;
        QTest::newRow("no folder") << "no folder" << "No such file or directory" << QByteArray();
        QTest::newRow("a folder in the way") << "folder" << "Is a directory" << QByteArray();
    }

    // The file holds the old bytes or the new ones, never less; nothing else stays beside it;
    // the new file has the mode asked for, whatever the umask.
    void writes()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        QFETCH(QByteArray, after);
        QTemporaryDir dir;
        QString path = dir.filePath("secretos.json");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("lo de antes") > 0);
        file.close();
        if (fault == "no folder")
            path = dir.filePath("falta/secretos.json");
        if (fault == "folder")
            QVERIFY(file.remove() && QDir(dir.path()).mkpath("secretos.json/dentro"));
        std::snprintf(g_folder, sizeof g_folder, "%s", qPrintable(dir.path()));
        g_fault = fault == "file sync" ? FileSync : fault == "folder sync" ? FolderSync
            : fault == "close"         ? Close
                                       : None;
        std::optional<FullDisk> full;
        if (fault == "full")
            full.emplace(4096);
        const mode_t mask = ::umask(077);
        const QString why = storage::writeWholeFile(path, QByteArray(64 * 1024, 'n'), 0640);
        ::umask(mask);
        full.reset();
        QCOMPARE(why, reason);
        QCOMPARE(g_fault, None);
        QFile written(path);
        QCOMPARE(written.open(QIODevice::ReadOnly) ? written.readAll() : QByteArray(), after);
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{"secretos.json"});
        struct stat status = {};
        if (reason.isEmpty())
            QCOMPARE((::stat(qPrintable(path), &status), status.st_mode & 0777), 0640u);
    }
};

QTEST_GUILESS_MAIN(TestWholeFile)
#include "test_whole_file.moc"
