// The server's store on its own: claims, kept lines and marks, across restarts and failures.
#include "server/store/kept_store.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

using Line = KeptStore::Line;

namespace {

const QString kKey = QString(64, 'a');
const QDateTime kNow = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);

// From an address of the sender's own unless one is given.
Line line(const QString &sender, const QString &owner, const QString &text,
          const QDateTime &at = kNow, const QString &address = {})
{
    Line l;
    l.owner = owner, l.to = owner.toUpper(), l.from = sender.toUpper(), l.sender = sender;
    l.address = address.isEmpty() ? "at " + sender : address;
    l.identity = "who " + sender;
    l.id = "id-" + text, l.marked = true, l.text = text, l.at = at;
    return l;
}

QString texts(const QList<Line> &lines, bool all = false)
{
    QStringList out;
    for (const Line &l : lines)
        out.append(!all ? l.text : QStringList{QString::number(l.row), l.owner, l.to, l.from,
                                               l.sender, l.address, QString::number(l.held),
                                               l.identity, l.id, QString::number(l.marked),
                                               l.text, l.at.toString(Qt::ISODate)}.join(','));
    return out.join('|');
}

// Changes the file between runs, as time passing would.
void edit(const QString &path, const QString &statement)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "edit");
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QVERIFY(QSqlQuery(db).exec(statement));
    }
    QSqlDatabase::removeDatabase("edit");
}

} // namespace

class TestKeptStore : public QObject {
    Q_OBJECT

    std::optional<QTemporaryDir> m_dir;
    std::optional<KeptStore> m_store;
    QString file() const { return m_dir->filePath("keep.sqlite"); }
    KeptStore &restart(const KeptStore::Limits &limits = {})
    {
        m_store.reset();
        return m_store.emplace(m_dir->path(), limits);
    }

private Q_SLOTS:
    void init() { m_dir.emplace(), restart(); }
    void cleanup() { m_store.reset(); }

    void owner_data()
    {
        QTest::addColumn<QString>("claimedWith");
        QTest::addColumn<QString>("form");
        QTest::addColumn<QString>("key");
        QTest::addColumn<KeptStore::Owner>("expected");
        QTest::newRow("right key") << kKey << "ana" << kKey << KeptStore::Owner::Holder;
        QTest::newRow("wrong key") << kKey << "ana" << QString(64, 'b')
                                   << KeptStore::Owner::Someone;
        QTest::newRow("no key") << kKey << "ana" << "" << KeptStore::Owner::Someone;
        QTest::newRow("too short") << kKey << "ana" << kKey.left(63) << KeptStore::Owner::Someone;
        QTest::newRow("not hexadecimal") << kKey << "ana" << QString(64, 'g')
                                         << KeptStore::Owner::Someone;
        QTest::newRow("claimed with a bad key") << QString(64, 'z') << "ana" << kKey
                                                << KeptStore::Owner::Nobody;
    }

    // Claims go by the folded form; the nickname is kept as written. The same after a restart.
    void owner()
    {
        QFETCH(QString, claimedWith);
        QFETCH(QString, form);
        QFETCH(QString, key);
        QFETCH(KeptStore::Owner, expected);
        m_store->claim("ana", "Ana", claimedWith);
        QCOMPARE(m_store->owner(form, key), expected);
        QCOMPARE(restart().owner(form, key), expected);
        m_store->claim("ana", "ANA", QString(64, 'b')); // taken already, or a claim again
        QCOMPARE(m_store->owner("ana", QString(64, 'b')) == KeptStore::Owner::Holder,
                 expected == KeptStore::Owner::Nobody);
    }

    void bounds_data()
    {
        QTest::addColumn<QString>("lines"); // sender>owner:letters "ñ" (two bytes); "done"
                                            // delivers the first
        QTest::addColumn<QString>("expected"); // for the last
        const QString because = "Tu mensaje para ANA no se pudo guardar: ";
        const QString recipient = because + "ya hay demasiados mensajes esperando a ANA.";
        const QString pair = because + "ya le has dejado demasiados mensajes sin leer.";
        const QString all = because + "el servidor no tiene sitio para más mensajes.";
        QTest::newRow("recipient lines") << "luis>ana:1 eva>ana:1 pia>ana:1 max>ana:1" << recipient;
        QTest::newRow("recipient bytes") << "luis>ana:30 eva>ana:30 pia>ana:1" << recipient;
        QTest::newRow("recipient bytes to the brim") << "luis>ana:20 eva>ana:20 pia>ana:20" << "";
        QTest::newRow("pair lines") << "luis>ana:1 luis>ana:1 luis>ana:1" << pair;
        QTest::newRow("pair bytes") << "luis>ana:25 luis>ana:16" << pair;
        QTest::newRow("all lines") << "luis>eva:1 luis>pia:1 luis>max:1 luis>leo:1 luis>ana:1"
                                   << all;
        QTest::newRow("all bytes") << "luis>eva:35 luis>pia:35 luis>ana:35" << all;
        QTest::newRow("a delivered line makes room") << "luis>ana:1 luis>ana:1 done luis>ana:1"
                                                     << "";
        // luis@x writes from the address x, whatever its name.
        const QString addressPair = because + "desde tu dirección ya se le han dejado demasiados "
                                              "mensajes sin leer.";
        QTest::newRow("address and recipient lines") << "luis@x>ana:1 eva@x>ana:1 pia@x>ana:1"
                                                     << addressPair;
        QTest::newRow("address and recipient bytes") << "luis@x>ana:30 eva@x>ana:16"
                                                     << addressPair;
        QTest::newRow("another address is another writer") << "luis@x>ana:1 eva@y>ana:1" << "";
        QTest::newRow("address lines") << "a@x>eva:1 b@x>pia:1 c@x>ana:1"
                                       << because + "desde tu dirección ya se han dejado "
                                                    "demasiados mensajes en el servidor.";
        QTest::newRow("nobody's claim") << "luis>nadie:1"
                                        << "Tu mensaje para NADIE no se pudo guardar: NADIE ya no "
                                           "tiene el apodo reservado.";
    }

    // Each bound refuses the line that would pass it, with its reason for the sender.
    void bounds()
    {
        QFETCH(QString, lines);
        QFETCH(QString, expected);
        KeptStore::Limits limits;
        limits.linesPerRecipient = 3, limits.bytesPerRecipient = 120;
        limits.linesPerPair = 2, limits.bytesPerPair = 80;
        limits.linesInAll = 4, limits.bytesInAll = 200;
        limits.linesPerAddressPair = 2, limits.bytesPerAddressPair = 90;
        limits.linesPerAddress = 2, limits.bytesPerAddress = 1000;
        if (!lines.contains('@'))
            limits.linesPerAddressPair = limits.linesPerAddress = 100;
        restart(limits);
        const QStringList steps = lines.split(' ');
        for (const QString &step : steps) {
            if (step == "done") {
                m_store->delivered(m_store->linesFor("ana").value(0).row);
                continue;
            }
            const QStringList parts = step.split(QRegularExpression("[>:]"));
            if (parts[1] != "nadie")
                m_store->claim(parts[1], parts[1], kKey);
            const QString sender = parts[0].section('@', 0, 0);
            const QString answer =
                m_store->keep(line(sender, parts[1], QString("ñ").repeated(parts[2].toInt()),
                                   kNow, parts[0].section('@', 1)));
            QCOMPARE(answer, &step == &steps.last() ? expected : "");
        }
    }

    // What was kept comes back from a new store on the file as it went in, without what was
    // delivered or taken; only the server's user may read the file. Marks past their bounds
    // go oldest first, failures last.
    void survivesRestart()
    {
        KeptStore::Limits limits;
        limits.reportsPerSender = 3, limits.reportsInAll = 6;
        restart(limits).claim("ana", "Ana", kKey);
        m_store->claim("eva", "Eva", kKey);
        Line first = line("luis", "ana", "<b>hola</b>", kNow.addSecs(-60));
        first.marked = false;
        QCOMPARE(m_store->keep(first), "");
        QCOMPARE(m_store->keep(line("pia", "eva", "gone")), "");
        QCOMPARE(m_store->keep(line("pia", "ana", "dos\nlíneas")), "");
        m_store->report("luis", {"a1", "delivered", "", true});
        m_store->report("luis", {"a2", "failed", "No se entregó.", false});
        for (QString sent : {"max:f!", "max:0", "max:1", "max:2", "max:3", "pia:p", "max:g!",
                             "eva:e!"})
            m_store->report(sent.section(':', 0, 0),
                            {sent.section(':', 1).remove('!'),
                             sent.endsWith('!') ? "failed" : "delivered", "", true});
        m_store->delivered(m_store->linesFor("eva").value(0).row);
        m_store->delivered(12345);
        const QList<Line> before = m_store->linesFor("ana");
        QCOMPARE(texts(before), "<b>hola</b>|dos\nlíneas");

        restart(limits);
        for (const char *suffix : {"", "-wal", "-shm"})
            QCOMPARE(QFile::permissions(file() + suffix), QFile::ReadOwner | QFile::WriteOwner
                                                             | QFile::ReadUser | QFile::WriteUser);
        QCOMPARE(texts(m_store->linesFor("ana"), true), texts(before, true));
        QCOMPARE(m_store->linesFor("eva").size(), 0);
        const QList<KeptStore::Claim> claims = m_store->claims();
        QCOMPARE(claims.size(), 2);
        QCOMPARE(claims[0].nickname + claims[1].nickname, "AnaEva");
        QCOMPARE(claims[0].lines * 10 + claims[1].lines, 20);
        const KeptStore::Report last = m_store->takeReports("luis").value(0); // a1 went
        QCOMPARE(last.id + last.state + last.text + QString::number(last.marked),
                 "a2failedNo se entregó.0");
        QCOMPARE(m_store->keep(line("luis", "ana", "tres")), "");
        QCOMPARE_GT(m_store->linesFor("ana").last().row, before[1].row);
        QStringList ids;
        for (const QString sender : {"max", "pia", "eva"})
            for (const KeptStore::Report &report : m_store->takeReports(sender))
                ids << report.id;
        QCOMPARE(ids.join(' '), "f 3 g p e");
        QCOMPARE(restart().takeReports("luis").size(), 0);
    }

    // What an address has kept counts after a restart too; a line sent again is found by its
    // sender and id until it is delivered; marks about an address's lines past its bound go
    // oldest first, whoever they wait for.
    void addresses()
    {
        KeptStore::Limits limits;
        limits.linesPerAddress = 2, limits.reportsPerAddress = 2;
        restart(limits).claim("ana", "Ana", kKey);
        QCOMPARE(m_store->keep(line("luis", "ana", "uno", kNow, "x")), "");
        QVERIFY(m_store->holds("luis", "id-uno"));
        QVERIFY(!m_store->holds("eva", "id-uno"));
        QCOMPARE(m_store->keep(line("eva", "ana", "dos", kNow, "x")), "");
        for (const QString box : {"luis", "eva", "pia"})
            m_store->report(box, {box, "failed", "", true}, "x");
        m_store->report("max", {"max", "failed", "", true}, "y");
        restart(limits);
        QVERIFY(m_store->holds("luis", "id-uno"));
        QVERIFY(m_store->keep(line("pia", "ana", "tres", kNow, "x")).endsWith("en el servidor."));
        QCOMPARE(m_store->keep(line("pia", "ana", "tres", kNow, "y")), "");
        m_store->delivered(m_store->linesFor("ana").value(0).row);
        QVERIFY(!m_store->holds("luis", "id-uno"));
        QCOMPARE(m_store->keep(line("pia", "ana", "cuatro", kNow, "x")), "");
        QStringList ids;
        for (const QString box : {"luis", "eva", "pia", "max"})
            for (const KeptStore::Report &report : m_store->takeReports(box))
                ids << report.id;
        QCOMPARE(ids.join(' '), "eva pia max");
    }

    // A file of the first version keeps its claims and lines, told to their claims as then; a
    // claim's key becomes its first desk's, beside which others are kept.
    void migratesTheFirstVersion()
    {
        m_store.reset();
        QFile::remove(file());
        for (const char *statement :
             {"CREATE TABLE claims (form TEXT PRIMARY KEY, nickname TEXT NOT NULL, digest BLOB "
              "NOT NULL, since INTEGER NOT NULL, used INTEGER NOT NULL)",
              "CREATE TABLE lines (row INTEGER PRIMARY KEY AUTOINCREMENT, owner TEXT NOT NULL, "
              "recipient TEXT NOT NULL, author TEXT NOT NULL, sender TEXT NOT NULL, id TEXT NOT "
              "NULL, marked INTEGER NOT NULL, text TEXT NOT NULL, at INTEGER NOT NULL)",
              "CREATE TABLE reports (row INTEGER PRIMARY KEY AUTOINCREMENT, sender TEXT NOT "
              "NULL, id TEXT NOT NULL, state TEXT NOT NULL, text TEXT NOT NULL, marked INTEGER "
              "NOT NULL, at INTEGER NOT NULL)",
              "INSERT INTO claims VALUES ('ana', 'Ana', x'00', 0, strftime('%s'))",
              "INSERT INTO lines VALUES (7, 'ana', 'Ana', 'Luis', 'luls', 'i', 1, 'hola', 0)",
              "INSERT INTO reports VALUES (3, 'luls', 'j', 'failed', 'x', 1, strftime('%s'))",
              "PRAGMA user_version = 1"})
            edit(file(), statement);
        edit(file(), "UPDATE claims SET digest = x'" + QCryptographicHash::hash(QByteArray::fromHex(
                         kKey.toLatin1()), QCryptographicHash::Sha256).toHex() + "'");
        restart();
        QVERIFY2(m_store->isUsable(), qPrintable(m_store->problem()));
        const QString other(64, 'b');
        QCOMPARE(m_store->deskOf("ana", kKey), "primer equipo");
        QCOMPARE(m_store->addDesk("ana", other, "primer equipo"), "primer equipo 2");
        QCOMPARE(m_store->addDesk("ana", other, "x") + m_store->addDesk("ana", kKey, "x"), "");
        restart();
        QCOMPARE(m_store->deskOf("ana", other), "primer equipo 2");
        QVERIFY(m_store->dropDesk("ana", "primer equipo 2"));
        restart();
        QCOMPARE(m_store->claims().value(0).desks.size(), 1);
        QCOMPARE(texts(m_store->linesFor("ana"), true),
                 "7,ana,Ana,Luis,luls,,1,,i,1,hola,1970-01-01T00:00:00Z");
        QCOMPARE(m_store->takeReports("luls").value(0).id, "j");
        QCOMPARE(m_store->keep(line("luls", "ana", "dos")), "");
    }

    // A burst is committed at the next turn of the event loop, and told stored once it is in
    // the file: a copy taken then, as a process killed then would leave it, holds it.
    void groupedCommit()
    {
        QTemporaryDir copy;
        connect(&*m_store, &KeptStore::stored, this, [&] {
            for (const QString suffix : {"", "-wal"})
                QVERIFY(QFile::copy(file() + suffix, copy.filePath("keep.sqlite" + suffix)));
        });
        QSignalSpy stored(&*m_store, &KeptStore::stored);
        m_store->claim("ana", "Ana", kKey);
        for (int i = 0; i < 100; ++i)
            QCOMPARE(m_store->keep(line(QString::number(i % 5), "ana", QString::number(i))), "");
        QCOMPARE(stored.count(), 0);
        QVERIFY(stored.wait());
        QCOMPARE(stored.count(), 1);
        const auto lines = stored[0][0].value<QList<Line>>();
        QCOMPARE(lines.size(), 100);
        QCOMPARE(lines.last().text, "99");
        QCOMPARE(texts(KeptStore(copy.path(), {}).linesFor("ana")), texts(lines));
    }

    // Past their days go lines, marks and claims not used, with the lines kept for them.
    void expire()
    {
        KeptStore::Limits limits;
        limits.days = 100, limits.claimDays = 20;
        restart(limits);
        m_store->claim("ana", "Ana", kKey);
        m_store->claim("eva", "Eva", kKey);
        m_store->keep(line("luis", "ana", "old", kNow.addDays(-101)));
        m_store->keep(line("luis", "ana", "fresh"));
        m_store->keep(line("luis", "eva", "lapsed"));
        m_store->report("luis", {"a1", "delivered", "", true});
        m_store->report("pia", {"b1", "delivered", "", true});
        m_store->report("eva", {"c1", "failed", "", true});
        m_store.reset();
        edit(file(), "UPDATE claims SET used = used - 21 * 86400 WHERE form = 'eva'");
        edit(file(), "UPDATE reports SET at = at - 101 * 86400 WHERE sender = 'luis'");
        restart(limits);
        QCOMPARE(texts(m_store->expire(kNow)), "old|lapsed");
        QCOMPARE(texts(m_store->expire(kNow)), "");
        restart(limits);
        QCOMPARE(m_store->owner("eva", kKey), KeptStore::Owner::Nobody);
        QCOMPARE(m_store->owner("ana", kKey), KeptStore::Owner::Holder);
        QCOMPARE(texts(m_store->linesFor("ana")), "fresh");
        QCOMPARE(m_store->takeReports("luis").size(), 0);
        QCOMPARE(m_store->takeReports("pia").size() * 10 + m_store->takeReports("eva").size(), 10);
    }

    // A released nickname is free, and its lines go back to be told to their senders.
    void release()
    {
        m_store->claim("ana", "Ana", kKey);
        m_store->keep(line("luis", "ana", "uno"));
        m_store->commit();
        m_store->keep(line("eva", "ana", "dos"));
        m_store->report("ana", {"x", "failed", "", true});
        QCOMPARE(texts(m_store->release("ana").value()), "uno|dos");
        QVERIFY(!m_store->release("ana"));
        QSignalSpy stored(&*m_store, &KeptStore::stored);
        m_store->commit();
        QCOMPARE(stored.count(), 0);
        QCOMPARE(restart().owner("ana", kKey), KeptStore::Owner::Nobody);
        QCOMPARE(m_store->linesFor("ana").size() + m_store->claims().size()
                     + m_store->takeReports("ana").size(), 0);
    }

    void unusableFile_data()
    {
        QTest::addColumn<QString>("condition");
        QTest::addColumn<QString>("problem");
        QTest::newRow("damaged") << "damaged" << "keep.sqlite is damaged: ";
        QTest::newRow("newer") << "newer" << "keep.sqlite is of a newer version (99)";
        QTest::newRow("unwritable folder") << "unwritable folder" << "keep.sqlite cannot be made";
    }

    // Nothing is kept for the run, nothing crashes, and the reason is told.
    void unusableFile()
    {
        QFETCH(QString, condition);
        QFETCH(QString, problem);
        m_store->claim("ana", "Ana", kKey);
        m_store.reset();
        QString folder = m_dir->path();
        if (condition == "damaged") {
            QFile damaged(file());
            QVERIFY(damaged.open(QIODevice::WriteOnly));
            damaged.write(QByteArray(8192, '\xa5'));
        } else if (condition == "newer") {
            edit(file(), "PRAGMA user_version = 99");
        } else {
            folder += "/none";
        }
        KeptStore &store = m_store.emplace(folder, KeptStore::Limits{});
        QVERIFY2(store.problem().startsWith(problem), qPrintable(store.problem()));
        QVERIFY(!store.isUsable());
        QCOMPARE(store.owner("ana", kKey), KeptStore::Owner::Nobody);
        QVERIFY(!store.claim("eva", "Eva", kKey));
        QCOMPARE(store.owner("eva", kKey), KeptStore::Owner::Nobody);
        const QString refused = store.keep(line("luis", "ana", "x"));
        QCOMPARE(refused, "Tu mensaje para ANA no se pudo guardar: el servidor no puede guardar "
                          "mensajes ahora.");
        QCOMPARE(store.linesFor("ana").size() + store.expire().size(), 0);
    }

    // A commit that finds the disk full tells every line in it lost, none stored, and the
    // store keeps nothing more; the file holds what was committed before.
    void fullDisk()
    {
        QSignalSpy stored(&*m_store, &KeptStore::stored);
        QSignalSpy lost(&*m_store, &KeptStore::lost);
        QSignalSpy failed(&*m_store, &KeptStore::failed);
        m_store->claim("ana", "Ana", kKey);
        m_store->keep(line("luis", "ana", "antes"));
        m_store->commit();
        QCOMPARE(stored.count(), 1);
        m_store->setMaxPages(1);
        for (int i = 0; i < 400; ++i)
            QCOMPARE(m_store->keep(line(QString::number(i), "ana", QString(1000, 'x'))), "");
        m_store->commit();
        QCOMPARE(QList({stored.count(), lost.count(), failed.count()}),
                 QList<qsizetype>({1, 1, 1}));
        QCOMPARE(lost[0][0].value<QList<Line>>().size(), 400);
        QVERIFY2(lost[0][1].toString().startsWith("the disk is full"),
                 qPrintable(m_store->problem()));
        QCOMPARE(lost[0][1].toString(), m_store->problem());
        QCOMPARE(texts(m_store->linesFor("ana")), "antes");
        QVERIFY(m_store->keep(line("luis", "ana", "después")).endsWith("guardar mensajes ahora."));
        QCOMPARE(texts(restart().linesFor("ana")), "antes");
    }
};

QTEST_GUILESS_MAIN(TestKeptStore)
#include "test_kept_store.moc"
