// The server's store of files on their way, on its own: uploads that break and go on, that lie,
// and files that expire.
#include "server/store/file_store.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

const QString kUpload = QString(32, u'7');

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

} // namespace

class TestFileStore : public QObject {
    Q_OBJECT

    QTemporaryDir m_state;
    QString folder() const { return m_state.path() + "/files"; }

private Q_SLOTS:
    void cleanup()
    {
        QDir(folder()).removeRecursively();
    }

    // An upload cut anywhere goes on from what was stored, across a restart; a chunk sent again
    // is refused, not written twice; the file is served only once whole and checked; a sync
    // that comes after it is whole has nothing to do.
    void anUploadGoesOnAfterABreak()
    {
        const QByteArray bytes = QByteArray(100'000, 'x') + "fin";
        {
            FileStore store(folder());
            QCOMPARE(store.problem(), QString());
            QCOMPARE(store.received(kUpload), 0);
            QCOMPARE(store.append(kUpload, 0, QByteArrayView(bytes).first(40'000)), QString());
            QCOMPARE(store.size(sha256(bytes)), -1);
        }
        FileStore store(folder());
        QCOMPARE(store.received(kUpload), 40'000);
        QCOMPARE(store.append(kUpload, 30'000, QByteArrayView(bytes).sliced(30'000)),
                 "a chunk at 30000 where 40000 bytes are stored");
        QCOMPARE(store.append(kUpload, 40'000, QByteArrayView(bytes).sliced(40'000)), QString());
        QCOMPARE(store.sync(kUpload), QString());
        QCOMPARE(store.complete(kUpload, sha256(bytes)), QString());
        // A sync asked before it was whole and done after: nothing left to sync.
        QCOMPARE(store.sync(kUpload), QString());
        QCOMPARE(store.received(kUpload), 0);
        QCOMPARE(store.size(sha256(bytes)), bytes.size());
        const std::unique_ptr<QFile> file = store.open(sha256(bytes));
        QVERIFY(file);
        QCOMPARE(file->readAll(), bytes);
    }

    // A file set aside is gone from its name at once, served no more, and its bytes go when
    // discarded, or when the store is made again after a stop before that.
    void aFileSetAsideIsGoneAtOnce()
    {
        const QByteArray bytes = "ya recogido";
        FileStore store(folder());
        QCOMPARE(store.append(kUpload, 0, bytes), QString());
        QCOMPARE(store.complete(kUpload, sha256(bytes)), QString());
        QCOMPARE(store.append(kUpload, 0, "a medias"), QString());
        const QString upload = store.setAsideUpload(kUpload);
        const QString whole = store.setAside(sha256(bytes));
        QCOMPARE(store.received(kUpload), 0);
        QCOMPARE(store.size(sha256(bytes)), -1);
        QVERIFY(!store.open(sha256(bytes)));
        QCOMPARE(store.setAside(sha256(bytes)), QString());
        QCOMPARE(store.setAsideUpload(kUpload), QString());
        // Bytes still on their way to it make no new upload of their own.
        QVERIFY(!store.append(kUpload, 8, "y más").isEmpty());
        QVERIFY(!QFile::exists(folder() + "/partial/" + kUpload));
        QVERIFY(QFile::exists(upload) && QFile::exists(whole) && upload != whole);
        FileStore::discard({whole});
        QVERIFY(!QFile::exists(whole));
        FileStore again(folder());
        QVERIFY(!QFile::exists(upload));
        QCOMPARE(QDir(folder() + "/partial").entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    // A sender whose bytes are not what it announced has nothing kept.
    void aFileThatLiesIsThrownAway()
    {
        FileStore store(folder());
        QCOMPARE(store.append(kUpload, 0, "lo que se manda"), QString());
        QCOMPARE(store.complete(kUpload, sha256("lo que se dice")),
                 "its SHA-256 is not the one announced");
        QCOMPARE(store.size(sha256("lo que se dice")), -1);
        QCOMPARE(store.size(sha256("lo que se manda")), -1);
        QCOMPARE(store.received(kUpload), 0);
    }

    void namesThatAreNotOnes_data()
    {
        QTest::addColumn<QString>("upload");
        QTest::newRow("a way out") << "../../../../tmp/x" + QString(16, u'0');
        QTest::newRow("short") << QString(31, u'0');
        QTest::newRow("capitals") << QString(32, u'A');
        QTest::newRow("empty") << QString();
    }

    // Only names the server made reach the disk.
    void namesThatAreNotOnes()
    {
        QFETCH(QString, upload);
        FileStore store(folder());
        QCOMPARE(store.received(upload), -1);
        QCOMPARE(store.append(upload, 0, "x"), "not an upload's name");
        QCOMPARE(store.complete(upload, sha256("x")), "not an upload's name or a SHA-256");
        QCOMPARE(QDir(folder() + "/partial").entryList(QDir::Files), QStringList());
        QCOMPARE(store.size("short"), -1);
    }

    // Files and uploads last written before the bound go; the rest stay. The folders are the
    // server's user's alone.
    void oldFilesExpire()
    {
        FileStore store(folder());
        const QString other = QString(32, u'a');
        QCOMPARE(store.append(kUpload, 0, "viejo"), QString());
        QCOMPARE(store.complete(kUpload, sha256("viejo")), QString());
        QCOMPARE(store.append(kUpload, 0, "a medias"), QString());
        for (const QString &path : {folder() + "/partial/" + kUpload,
                                    folder() + '/' + sha256("viejo").toHex()}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly)
                    && file.setFileTime(QDateTime::currentDateTimeUtc().addDays(-8),
                                        QFileDevice::FileModificationTime));
        }
        QCOMPARE(store.append(other, 0, "nuevo"), QString());
        QCOMPARE(store.expire(QDateTime::currentDateTimeUtc().addDays(-7)), 2);
        QCOMPARE(store.size(sha256("viejo")), -1);
        QCOMPARE(store.received(kUpload), 0);
        QCOMPARE(store.received(other), 5);
        struct stat status {};
        QCOMPARE(::stat(QFile::encodeName(folder()).constData(), &status), 0);
        QCOMPARE(status.st_mode & 0777, 0700u);
    }
};

QTEST_GUILESS_MAIN(TestFileStore)
#include "test_file_store.moc"
