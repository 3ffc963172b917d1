#include "core/secret_store.h"
#include "core/settings.h"

#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString kHost = QStringLiteral("127.0.0.5");

// Everything a client reads back, in a row.
QStringList valuesOf(const Settings &settings)
{
    return {settings.nickname(), settings.address(), settings.certificate(kHost),
            QString::number(settings.notifications()),
            QString::number(settings.keepsHistory()), QString::number(settings.retentionDays()),
            QString::number(settings.awayAfterMinutes()), settings.blockList()};
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void put(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

// The block list's changes are written once the event loop turns.
void flush() { QCoreApplication::sendPostedEvents(); }
} // namespace

class TestSettings : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_config;
    QStringList m_reports;

    std::unique_ptr<Settings> start()
    {
        return std::make_unique<Settings>([this](const QString &text) { m_reports << text; });
    }
    QString file(const QString &name) { return m_config->filePath("korvex-mensajero/" + name); }

private Q_SLOTS:
    void init()
    {
        m_config = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", m_config->path().toLocal8Bit());
        m_reports.clear();
    }

    void valuesSurviveARestart()
    {
        auto settings = start();
        settings->setLastLogIn("luis", kHost);
        settings->setCertificate(" " + kHost, "AB:CD");
        settings->setNotifications(false);
        settings->setKeepsHistory(false);
        settings->setRetentionDays(30);
        settings->setAwayAfterMinutes(0);
        settings->setBlockList("bob\r\nana\r\nbob");
        // An earlier version's password may be in it: every file of the database is the user's
        // alone.
        const auto owner = QFile::ReadOwner | QFile::WriteOwner;
        QCOMPARE(QFile::permissions(file("")) & 0x7077, owner | QFile::ExeOwner);
        for (const char *suffix : {"", "-wal", "-shm"})
            QCOMPARE(QFile::permissions(file("ajustes.sqlite") + suffix) & 0x7077, owner);
        settings.reset();
        QCOMPARE(valuesOf(*start()), QStringList({"luis", kHost, "AB:CD", "0", "0", "30", "0",
                                                  "bob\r\nana\r\nbob\r\n"}));
        QVERIFY(m_reports.isEmpty());
    }

    void aFullDiskKeepsWhatWasThere_data()
    {
        QTest::addColumn<bool>("list");
        QTest::newRow("block list") << true;
        QTest::newRow("log-in") << false;
    }
    void aFullDiskKeepsWhatWasThere()
    {
        QFETCH(bool, list);
        auto settings = start();
        settings->setLastLogIn("luis", kHost);
        settings->setBlockList("bob\r\n");
        flush();
        settings->setMaxPagesForTest(1);
        const QString big(20000, u'x');
        for (const QString &name : {big, big + u'y'}) {
            list ? settings->setBlockList("ana\r\n" + name) : settings->setLastLogIn("ana", name);
            flush();
        }
        QCOMPARE(m_reports.size(), 1);
        QCOMPARE(list ? settings->blockList() : settings->address(),
                 list ? "ana\r\n" + big + u'y' : big + u'y');
        QCOMPARE(valuesOf(*start()), QStringList({"luis", kHost, "", "1", "1", "0", "10", "bob\r\n"}));
        QCOMPARE(m_reports.size(), 1);
    }

    // Each client applies its own changes to the stored list, and learns of the other's.
    void twoClientsShareTheBlockList()
    {
        auto one = start();
        one->setBlockList("carl\r\ndan\r\n");
        flush();
        auto two = start();
        QSignalSpy changed(one.get(), &Settings::blockListChanged);
        one->setBlockList(one->blockList() + "bob");
        two->setBlockList("carl\r\nana\r\n");
        flush();
        const QString merged = "carl\r\nbob\r\nana\r\n";
        QCOMPARE(start()->blockList(), merged);
        QCOMPARE(two->blockList(), merged);
        QVERIFY(changed.wait(10000));
        QCOMPARE(changed.takeFirst().value(0).toString(), merged);
        QVERIFY(m_reports.isEmpty());
    }

    void theOldFilesAreCarriedOverOnce()
    {
        // As the earlier versions wrote them.
        const QByteArray ini = "[login]\naddress=127.0.0.5\nnickname=luis\n\n[notices]\n"
                               "desktop=false\n\n[servers]\n127.0.0.5\\certificate=AB:CD\n"
                               "127.0.0.5\\password=ñandú del grupo\n";
        QDir().mkpath(file(""));
        put(file("ajustes.ini"), ini);
        put(file("bloqueados.txt"), "bob\r\nñoño\r\n");
        auto settings = start();
        QCOMPARE(valuesOf(*settings), QStringList({"luis", kHost, "AB:CD", "0", "1", "0", "10",
                                                   "bob\r\nñoño\r\n"}));
        // The password moves to the store, under the certificate known then, and leaves both
        // files.
        SecretStore store(SecretStore::Kind::File);
        settings->movePasswords(store);
        QString moved;
        store.read(SecretStore::passwordKey(kHost, "AB:CD"), this,
                   [&](const QString &password) { moved = password; });
        QTRY_COMPARE(moved, "ñandú del grupo");
        settings->setBlockList("");
        settings.reset();
        QCOMPARE(valuesOf(*start()), QStringList({"luis", kHost, "AB:CD", "0", "1", "0", "10", ""}));
        QVERIFY(!contents(file("ajustes.sqlite")).contains("ñandú"));
        QVERIFY(!contents(file("ajustes.ini")).contains("ñandú"));
        QVERIFY(contents(file("ajustes.ini")).contains("AB:CD"));
        QCOMPARE(contents(file("bloqueados.txt")), "bob\r\nñoño\r\n");
        QVERIFY(m_reports.isEmpty());
    }

    // Without a keyring service the secrets go to a file only the user can read. With no session
    // bus at all, the keyring's absence shows at once.
    void secretsWithoutAKeyring_data()
    {
        QTest::addColumn<SecretStore::Kind>("kind");
        QTest::newRow("file asked for") << SecretStore::Kind::File;
        QTest::newRow("no session bus") << SecretStore::Kind::Keyring;
    }
    void secretsWithoutAKeyring()
    {
        QFETCH(SecretStore::Kind, kind);
        // Nor any other way to a user's real bus.
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("DISPLAY");
        qputenv("XDG_RUNTIME_DIR", m_config->path().toLocal8Bit());
        SecretStore store(kind);
        QStringList answers;
        const auto answer = [&](const QString &value) { answers << value; };
        store.write("clave", "ñandú");
        store.read("clave", this, answer);
        store.write("otra", "x");
        store.write("clave", "");
        store.read("clave", this, answer);
        QVERIFY(answers.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(answers, QStringList({"ñandú", ""}), 3000);
        QCOMPARE(store.kind(), SecretStore::Kind::File);
        const QString path = store.filePath();
        QCOMPARE(QFile::permissions(path) & 0x7077, QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY(contents(path).contains("otra") && !contents(path).contains("ñandú"));
    }

    void badFilesAreReportedOnce_data()
    {
        QTest::addColumn<QString>("condition");
        for (const char *condition : {"corrupt", "unwritable folder", "locked"})
            QTest::newRow(condition) << QString::fromLatin1(condition);
    }
    void badFilesAreReportedOnce()
    {
        QFETCH(QString, condition);
        QDir().mkpath(file(""));
        const QString path = file("ajustes.sqlite");
        const QByteArray garbage = QByteArray("no es una base de datos").repeated(500);
        auto lock = QSqlDatabase::addDatabase("QSQLITE", "lock");
        if (condition == "locked") {
            lock.setDatabaseName(path);
            QVERIFY(lock.open());
            QSqlQuery query(lock);
            QVERIFY(query.exec("BEGIN EXCLUSIVE") && query.exec("CREATE TABLE t (x)"));
        } else if (condition == "corrupt") {
            put(path, garbage);
        } else {
            // Below a regular file no folder can be made, whoever the user is.
            put(file("archivo"), garbage);
            qputenv("XDG_CONFIG_HOME", file("archivo/abajo").toLocal8Bit());
        }
        auto settings = start();
        QCOMPARE(m_reports.size(), 1);
        settings->setLastLogIn("luis", kHost);
        settings->setBlockList("bob");
        flush();
        QCOMPARE(valuesOf(*settings), QStringList({"luis", kHost, "", "1", "1", "0", "10", "bob"}));
        QCOMPARE(m_reports.size(), 1);
        if (condition == "corrupt")
            QCOMPARE(contents(path), garbage);
        lock.close();
        lock = QSqlDatabase();
        QSqlDatabase::removeDatabase("lock");
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "test_settings.moc"
