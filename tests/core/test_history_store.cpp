#include "core/history_store.h"

#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using history::Conversation;
using history::Kind;

namespace {

const Conversation ana{Conversation::Private, "Ana"};
const Conversation room{Conversation::Room, {}};

template <typename T> QString texts(const QList<T> &items)
{
    QStringList out;
    for (const T &item : items) {
        if constexpr (std::is_same_v<T, history::Hit>)
            out.append(item.line.text);
        else
            out.append(item.text);
    }
    return out.join('|');
}

QString newest(HistoryStore &store, const Conversation &c)
{
    return texts(store.before(c, HistoryStore::Newest, 1000));
}

// The test's own connection to a file, beside the store's; closing it ends its transaction.
QSqlDatabase raw(const QString &path)
{
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", path);
    db.setDatabaseName(path);
    db.open();
    return db;
}

int mode(const QString &path)
{
    struct stat status = {};
    ::stat(QFile::encodeName(path).constData(), &status);
    return int(status.st_mode & 0777);
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestHistoryStore : public QObject {
    Q_OBJECT

    std::optional<QTemporaryDir> m_dir;
    std::optional<HistoryStore> m_store;
    QString folder() const { return m_dir->filePath("h"); }
    QString file() const { return folder() + "/historial.sqlite"; }
    HistoryStore &restart() { return m_store.emplace(folder()); }
    qint64 put(const Conversation &c, const QString &text,
               const QDateTime &at = QDateTime::currentDateTimeUtc())
    {
        return m_store->append(c, Kind::Mine, {}, text, at);
    }

private Q_SLOTS:
    // No file until it is needed; each case starts with one.
    void init()
    {
        m_dir.emplace(), restart();
        QVERIFY(!QFile::exists(file()) && m_store->isKeeping());
    }
    void cleanup() { m_store.reset(); }

    // Lines reach the file soon, by themselves, and come back from a new store on the folder as
    // they went in, under the same account. Only the user may read the files.
    void survivesRestart()
    {
        // A file from before, readable by others, is made private too.
        QFile(file()).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        const QDateTime at = QDateTime::currentDateTimeUtc().addSecs(-60);
        restart().setAccount(" Servidor.LAN ", "luis");
        m_store->append(ana, Kind::Theirs, "Ana", "<b>hola</b>", at);
        const qint64 id = m_store->append(ana, Kind::Notice, {}, "dos\nlíneas");
        QTRY_VERIFY((contents(file()) + contents(file() + "-wal")).contains("dos\nlíneas"));
        QCOMPARE(mode(folder()), 0700);
        for (const char *suffix : {"", "-wal", "-shm"})
            QCOMPARE(mode(file() + suffix), 0600);
        restart().setAccount("servidor.lan", "luis");
        const auto lines = m_store->before(ana, HistoryStore::Newest, 10);
        QCOMPARE(texts(lines), "<b>hola</b>|dos\nlíneas");
        QVERIFY(std::tuple(lines[0].at, lines[0].writer, lines[0].kind, lines[1].kind, lines[1].id)
                == std::tuple(at, QString("Ana"), Kind::Theirs, Kind::Notice, id));
        QCOMPARE_GT(put(ana, "después"), id);
        QVERIFY(m_store->flush());
    }

    void paging_data()
    {
        QTest::addColumn<bool>("older");
        QTest::addColumn<int>("from"); // index of a line; 10 for the newest
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("expected");
        QTest::newRow("newest") << true << 10 << 3 << "7|8|9";
        QTest::newRow("before a line") << true << 5 << 3 << "2|3|4";
        QTest::newRow("fewer than asked") << true << 2 << 5 << "0|1";
        QTest::newRow("after a line") << false << 5 << 3 << "6|7|8";
        QTest::newRow("after the last") << false << 9 << 3 << "";
    }

    // Pages of pending lines, then of the same lines in the file.
    void paging()
    {
        QFETCH(bool, older);
        QFETCH(int, from);
        QFETCH(int, count);
        QFETCH(QString, expected);
        QList<qint64> ids;
        for (int i = 0; i < 10; ++i)
            ids << put(ana, QString::number(i)) << put(room, "sala");
        const qint64 id = from < 10 ? ids[2 * from] : HistoryStore::Newest;
        const auto page = [&] {
            return texts(older ? m_store->before(ana, id, count) : m_store->after(ana, id, count));
        };
        QCOMPARE(page(), expected);
        restart();
        QCOMPARE(page(), expected);
    }

    // Correspondents are told apart by case; each account has its own conversations.
    void conversationsAndAccountsApart()
    {
        const QList<std::pair<QString, Conversation>> places = {
            {"a", ana}, {"a", {Conversation::Private, "ana"}}, {"a", room},
            {"a", {Conversation::Notices, {}}}, {"b", ana}, {"B", room}};
        for (int i = 0; i < places.size(); ++i)
            m_store->setAccount("s", places[i].first), put(places[i].second, QString::number(i));
        restart();
        for (int i = 0; i < places.size(); ++i) {
            m_store->setAccount("s", places[i].first);
            QCOMPARE(newest(*m_store, places[i].second), QString::number(i));
        }
        // The room has no correspondent: one given is ignored.
        QCOMPARE(newest(*m_store, {Conversation::Room, "x"}), QString::number(places.size() - 1));
        m_store->setAccount("otro", "B");
        QCOMPARE(newest(*m_store, room), "");
    }

    void search_data()
    {
        QTest::addColumn<bool>("keep");
        QTest::addColumn<QString>("words");
        QTest::addColumn<QString>("expected");
        const QString all = "Cancionero, teléfono y ordenador|CANCIÓN nueva|La canción de cuna";
        const QString tel = "Cancionero, teléfono y ordenador|Mi teléfono";
        const QString nino = "niño: NEAR(x) -y OR z*";
        // In memory (keeping off) words must match as they do in the file's index.
        for (const bool keep : {true, false}) {
            const auto row = [&](const char *name, const char *words, const QString &expected) {
                QTest::addRow("%s: %s", keep ? "file" : "memory", name)
                    << keep << words << expected;
            };
            row("accent and case", "CANCION", all);
            row("tilde", "nino", nino);
            row("not inside a word", "cion", "");
            row("quote", "canción\"", all);
            row("star", "tel*", tel);
            row("NEAR", "NEAR(niño", nino);
            row("minus", "-cancion", all);
            row("OR is a word", "cancion OR tel", all.section('|', 0, 0));
            row("only syntax", "\" * (", "");
        }
    }

    void search()
    {
        QFETCH(bool, keep);
        QFETCH(QString, words);
        QFETCH(QString, expected);
        m_store->setKeeping(keep);
        for (const char *text : {"La canción de cuna", "CANCIÓN nueva", "Mi teléfono",
                                 "Cancionero, teléfono y ordenador", "niño: NEAR(x) -y OR z*"})
            put(*text == 'C' ? room : ana, text);
        m_store->setAccount("otro", {});
        put(room, "canción de otra cuenta");
        m_store->setAccount({}, {});
        const auto hits = m_store->search(words);
        QCOMPARE(texts(hits), expected);
        for (const auto &hit : hits)
            QCOMPARE(hit.conversation, hit.line.text.startsWith('C') ? room : ana);
        QStringList hers = expected.split('|', Qt::SkipEmptyParts);
        hers.removeIf([](const QString &text) { return text.startsWith('C'); });
        QCOMPARE(texts(m_store->search(words, ana)), hers.join('|'));
        QCOMPARE(m_store->search("canción", {}, 1).size(), 1);
    }

    // Cleared and expired lines go from the file and from memory; lines kept off never reach it.
    void clearRetentionAndKeepingOff()
    {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        put(room, "sala vieja", now.addDays(-10)), put(room, "sala");
        put(ana, "vieja", now.addDays(-10)), put(ana, "reciente", now.addDays(-3));
        m_store->setKeeping(false);
        QVERIFY(!m_store->isKeeping());
        put(room, "en memoria vieja", now.addDays(-8)), put(room, "secreto");
        put(ana, "en memoria");
        m_store->setRetentionDays(5);
        QCOMPARE(newest(*m_store, room), "sala|secreto");
        QCOMPARE(texts(m_store->before(room, HistoryStore::Newest, 1)), "secreto");
        m_store->clear(ana);
        QCOMPARE(newest(*m_store, ana), "");
        QCOMPARE(texts(m_store->search("reciente")) + texts(m_store->search("memoria")), "");
        m_store->setKeeping(true);
        put(room, "guardada");
        restart();
        QCOMPARE(newest(*m_store, ana), "");
        QCOMPARE(newest(*m_store, room), "sala|guardada");
        // The full-text index holds the words of every line left and of no other.
        QSqlDatabase db = raw(file());
        QVERIFY(QSqlQuery(db).exec("INSERT INTO lines_text (lines_text, rank) "
                                   "VALUES ('integrity-check', 1)"));
        db.close();
    }

    void badConditions_data()
    {
        QTest::addColumn<QString>("condition");
        for (const char *condition : {"corrupt", "locked", "locked while open", "unwritable folder",
                                      "newer version", "disk full"})
            QTest::newRow(condition) << condition;
    }

    // The run goes on in memory, told once; the file is left as it was.
    void badConditions()
    {
        QFETCH(QString, condition);
        m_store.reset();
        QString where = folder();
        QSqlDatabase lock;
        if (condition == "corrupt") {
            QFile damaged(file());
            QVERIFY(damaged.open(QIODevice::WriteOnly));
            damaged.write(QByteArray(8192, '\xa5'));
        } else if (condition == "locked") {
            QFile::remove(file()); // not yet in WAL mode, so the lock keeps readers out too
            QSqlQuery("CREATE TABLE t (x)", lock = raw(file()));
            QSqlQuery("BEGIN EXCLUSIVE", lock);
        } else if (condition == "locked while open") {
            restart().append(ana, Kind::Mine, {}, "antes");
            m_store.reset();
            QSqlQuery("BEGIN EXCLUSIVE", lock = raw(file()));
        } else if (condition == "unwritable folder") {
            QFile(folder() + "/archivo").open(QIODevice::WriteOnly);
            where = folder() + "/archivo/h";
        } else if (condition == "newer version") {
            QSqlDatabase db = raw(file());
            QSqlQuery("PRAGMA user_version = 99", db);
            db.close();
        }
        const QByteArray before = contents(file());
        HistoryStore &store = m_store.emplace(where);
        QSignalSpy told(&store, &HistoryStore::notKept);
        put(room, "primera canción");
        if (condition == "disk full") {
            store.flush();
            store.setMaxPages(1);
            for (int i = 0; i < 500; ++i)
                put(room, QString(200, 'x'));
        }
        put(room, "última canción");
        QVERIFY(!store.flush());
        QVERIFY(!store.isKeeping());
        QCOMPARE(texts(store.search("cancion")), "última canción|primera canción");
        QCOMPARE(store.before(room, HistoryStore::Newest, 1000).size(),
                 condition == "disk full" ? 502 : 2);
        QTRY_COMPARE(told.count(), 1);
        QVERIFY(told[0][0].toString().contains(QDir::toNativeSeparators(where)));
        put(room, "otra");
        store.flush();
        QCoreApplication::processEvents();
        QCOMPARE(told.count(), 1);
        m_store.reset();
        lock.close();
        if (condition == "disk full")
            QCOMPARE(newest(restart(), room), "primera canción");
        else
            QCOMPARE(contents(file()), before);
    }

    // A file of the first version gains ids and marks. A mark moves on, never back, wherever
    // its line is (pending or on disk); a line is found by conversation, writer and id.
    void marksAndIds()
    {
        put(ana, "antes");
        m_store.reset();
        QSqlDatabase db = raw(file());
        for (const char *statement : {"DROP INDEX lines_by_ref", "ALTER TABLE lines DROP ref",
                                      "ALTER TABLE lines DROP mark", "PRAGMA user_version = 1"})
            QVERIFY(QSqlQuery(db).exec(statement));
        db.close();
        restart().append(ana, Kind::Mine, "luis", "uno", QDateTime::currentDateTimeUtc(), "r1",
                         history::Mark::Sending);
        m_store->append(ana, Kind::Theirs, "Ana", "dos", QDateTime::currentDateTimeUtc(), "r2");
        using history::Mark;
        const auto mark = [&](Kind kind, Mark to, const QString &writer = {}) {
            return m_store->setMark(kind, kind == Kind::Mine ? "r1" : "r2", to, writer)
                .value_or(Conversation{Conversation::Notices, "-"}).correspondent;
        };
        for (bool flushed : {false, true}) {
            QCOMPARE(mark(Kind::Mine, Mark::Kept), flushed ? "-" : "Ana");
            QCOMPARE(mark(Kind::Theirs, Mark::Read, "Otra"), "-");
            QVERIFY(m_store->holds(ana, "Ana", "r2") && !m_store->holds(ana, "luis", "r2")
                    && !m_store->holds(room, "Ana", "r2") && !m_store->holds(ana, "Ana", ""));
            m_store->flush();
            QCOMPARE(mark(Kind::Mine, flushed ? Mark::Failed : Mark::Delivered),
                     flushed ? "-" : "Ana");
        }
        QCOMPARE(mark(Kind::Theirs, Mark::Read, "Ana"), "Ana");
        QStringList marks;
        for (const history::Line &line : restart().before(ana, HistoryStore::Newest, 9))
            marks << line.text + ':' + line.ref + ':' + QString::number(int(line.mark));
        QCOMPARE(marks.join(' '), "antes::0 uno:r1:3 dos:r2:4");
    }

    // The account's own private lines no mark has reached, on disk or in memory: the newest so
    // many, none older than asked, oldest first, each with its correspondent.
    void linesStillSending()
    {
        using history::Mark;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const Conversation pepe{Conversation::Private, "pepe"};
        const auto line = [&](const Conversation &c, const QString &text, Mark mark = Mark::Sending,
                              Kind kind = Kind::Mine, const QDateTime &at = {}) {
            m_store->append(c, kind, "luis", text, at.isValid() ? at : now, text.left(3), mark);
        };
        m_store->setAccount("s", "Luis");
        line(ana, "otra cuenta");
        m_store->setAccount("s", "luis");
        line(ana, "vieja", Mark::Sending, Kind::Mine, now.addDays(-31));
        line(ana, "uno", Mark::Sending, Kind::Mine, now.addDays(-29));
        line(ana, "guardada", Mark::Kept), line(ana, "suya", Mark::Sending, Kind::Theirs);
        line(room, "sala"), line(pepe, "dos");
        m_store->append(ana, Kind::Mine, "luis", "sin id", now, {}, Mark::Sending);
        m_store->flush();
        line(ana, "tres");
        m_store->setKeeping(false);
        line(pepe, "cuatro");
        QCOMPARE(texts(m_store->sending(9, now.addDays(-30))), "uno|dos|tres|cuatro");
        m_store->setMark(Kind::Mine, "tre", Mark::Delivered);
        const QList<history::Hit> newest = m_store->sending(2, now.addDays(-30));
        QCOMPARE(texts(newest), "dos|cuatro");
        QCOMPARE(newest[0].conversation, pepe);
        QCOMPARE(newest[1].line.ref, "cua");
    }

    // Two stores on one folder, as two running programs: both keep every line.
    void twoStoresOnOneFolder()
    {
        HistoryStore second(folder());
        for (int i = 0; i < 3; ++i) {
            put(room, QString("uno %1").arg(i));
            second.append(room, Kind::Mine, {}, QString("dos %1").arg(i));
            m_store->flush(), second.flush();
        }
        QCOMPARE(newest(restart(), room), "uno 0|dos 0|uno 1|dos 1|uno 2|dos 2");
    }
};

QTEST_GUILESS_MAIN(TestHistoryStore)
#include "test_history_store.moc"
