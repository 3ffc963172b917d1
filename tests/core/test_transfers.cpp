// The files of a run without a window: the list of transfers as the server's messages on the
// chat connection drive it (the chat connection to a fake server on 127.0.0.31, the transfer
// connections told by the test), and one transfer connection against the fake server
// encrypting as ours does.
#include "core/client.h"
#include "core/outbox.h"
#include "core/transfers.h"
#include "core/uplink.h"
#include "protocol/client_socket.h"
#include "protocol/transfer_socket.h"
#include "server/command_line.h"
#include "server/relay/relay_server.h"
#include "server/secrets.h"
#include "support/fake_server.h"
#include "support/script.h"

#include <QCryptographicHash>
#include <QDir>
#include <QTemporaryDir>

// A transfer connection that does what the test says.
class FakeTransfer : public Transfer {
public:
    using Transfer::Transfer;
    void start() override {}
    void say(qint64 done, qint64 stored) { Q_EMIT progressed(done, stored); }
    void finish(End end, const QString &reason) { Q_EMIT ended(end, reason); }
};

static const QStringList kEnds = {"done", "lost", "refused", "damaged", "failed"};

class TestTransfers : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FakeServer> m_server;
    std::unique_ptr<ClientSocket> m_socket;
    std::unique_ptr<Uplink> m_uplink;
    std::unique_ptr<Outbox> m_outbox;
    std::unique_ptr<Transfers> m_model;
    QPointer<FakeTransfer> m_transfer;
    Transfer::Job m_job;
    qint64 m_now = 0;
    // Ids, tickets and digests as scripts name them (ID1, TK1, SHA:a.txt), both ways.
    QMap<QString, QString> m_names;

    static QByteArray content(qint64 size)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        for (qint64 i = 0; i < size; ++i)
            bytes[i] = char(i % 251);
        return bytes;
    }
    QString named(QString text)
    {
        static const QRegularExpression hex("[0-9a-f]{64}|[0-9a-f]{32}");
        for (auto match = hex.globalMatch(text); match.hasNext();) {
            const QString value = match.next().captured();
            if (!m_names.contains(value))
                m_names[value] = "ID" + QString::number(m_names.values().filter(QRegularExpression("^ID")).size() + 1);
        }
        for (auto [value, name] : m_names.asKeyValueRange())
            text.replace(value, name);
        return text;
    }
    QString unnamed(QString text)
    {
        static const QRegularExpression name("\\b(ID|TK|SHA)\\d+\\b");
        for (auto match = name.globalMatch(text); match.hasNext();) {
            const QString found = match.next().captured();
            if (!m_names.values().contains(found))
                m_names[wire::randomHex(found.startsWith("SHA") ? 64 : 32)] = found;
        }
        for (auto [value, name] : m_names.asKeyValueRange())
            text.replace(QRegularExpression("\\b" + QRegularExpression::escape(name) + "\\b"), value);
        return text;
    }

    void act(const QString &verb, const QString &arg)
    {
        Transfers &model = *m_model;
        const QString id = unnamed(arg);
        const std::map<QString, std::function<void()>> verbs = {
            // send PEER NAME:SIZE...: files of so many bytes (none: no such file), once hashed
            {"send", [&] {
                 QStringList paths;
                 for (const QString &file : arg.section(' ', 1).split(' ')) {
                     const QByteArray bytes = content(file.section(':', 1).toLongLong());
                     QFile made(m_dir->filePath(file.section(':', 0, 0)));
                     QVERIFY(!file.contains(':') || (made.open(QIODevice::WriteOnly) && made.write(bytes) >= 0));
                     m_names[QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()] = "SHA:" + file.section(':', 0, 0);
                     paths << made.fileName();
                 }
                 named(model.send(arg.section(' ', 0, 0), paths).join(' '));
                 QTRY_VERIFY(!model.match(model.index(0), Transfers::StateRole, int(Transfers::State::Preparing)).size());
             }},
            {"login", [&] { model.loggedIn(arg == "files"); }},
            {"logout", [&] { model.loggedOut(); }},
            {"read", [&] {
                 const wire::Message message(pipes(id));
                 const QString command = message.command();
                 command == "FILES" ? model.limitsArrived(message)
                     : command == "UPLOAD" ? model.uploadTicket(message)
                     : command == "DOWNLOAD" ? model.downloadTicket(message)
                     : command == "FILE" ? model.fileOffered(message, "luis") : void(model.marked(message));
             }},
            // progress DONE STORED: what the transfer connection says
            {"progress", [&] { m_transfer->say(arg.section(' ', 0, 0).toLongLong(), arg.section(' ', -1).toLongLong()); }},
            {"end", [&] { m_transfer->finish(Transfer::End(kEnds.indexOf(arg.section(' ', 0, 0))), arg.section(' ', 1)); }},
            // partial N: the download's partial file holds N bytes more
            {"partial", [&] { QFile partial(m_job.path); QVERIFY(partial.open(QIODevice::Append) && partial.write(content(arg.toLongLong())) >= 0); }},
            {"exists", [&] { QFile(m_dir->filePath("bajadas/" + arg)).open(QIODevice::WriteOnly); }},
            {"accept", [&] { QVERIFY(model.accept(id, m_dir->filePath("bajadas"))); }},
            {"reject", [&] { QVERIFY(model.reject(id)); }},
            {"pause", [&] { QVERIFY(model.pause(id)); }},
            {"resume", [&] { QVERIFY(model.resume(id)); }},
            {"cancel", [&] { QVERIFY(model.cancel(id)); }},
            {"clock", [&] { m_now = arg.toLongLong(); }},
        };
        QVERIFY2(verbs.count(verb), qPrintable("unknown step " + verb));
        verbs.at(verb)();
    }

    QString seen(const QString &what)
    {
        const Transfers &model = *m_model;
        QStringList shown;
        if (what == "rows")
            for (int row = 0; row < model.rowCount(); ++row)
                shown << model.index(row).data().toString();
        else if (what == "job")
            shown << QStringList{"upload", "download"}.at(int(m_job.direction)) << named(m_job.ticket)
                  << QFileInfo(m_job.path).fileName() << QString::number(QFileInfo(m_job.path).size());
        else if (what == "folder")
            shown = QDir(m_dir->filePath("bajadas")).entryList(QDir::Files | QDir::Hidden);
        else if (what == "speed")
            shown << model.index(0).data(Transfers::SpeedRole).toString()
                  << model.index(0).data(Transfers::SecondsLeftRole).toString();
        return named(shown.join(", "));
    }

    QByteArray sent()
    {
        if (!QTest::qWaitFor([&] { return !m_socket->waiting() && m_server->total == m_socket->sentBytes(); }))
            return "(not sent)";
        return wire::toCodePage(named(wire::fromCodePage(std::exchange(m_server->received, {}))));
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_server = std::make_unique<FakeServer>("127.0.0.31");
        m_names.clear();
    }
    void cleanup()
    {
        m_model.reset(), m_outbox.reset(), m_uplink.reset(), m_socket.reset(), m_server.reset();
    }

    void scripts_data()
    {
        const QString limits = "read FILES|1000|0|0|0|0|0|30; ";
        const QString offer = "read FILE|luis|ana|ID7|fotos/cena.png|10|SHA7|2026-12-08T10:00:00Z; ";
        const QString fetched = offer + "accept ID7; read DOWNLOAD|ID7|TK1; ";
        scriptRows({
            "sent, stored, kept, delivered => send ana a.txt:1000; rows=enviando… 0%; sent=; login files; "
            "sent=FILES|~; " + limits + "sent=SENDFILE|ana|ID1|a.txt|1000|SHA:a.txt~; read UPLOAD|ID1|TK1; "
            "job=upload, TK1, a.txt, 1000; progress 600 400; rows=enviando… 40%; end done; "
            "rows=enviando… 100%; read MARK|ID1|kept; rows=guardado; read MARK|ID1|delivered; rows=entregado",
            "refused here => login files; " + limits + "send ana grande.bin:1001 falta.txt vacio.txt:0; "
            "rows=no entregado: el archivo ocupa 1001 bytes y el servidor admite hasta 1000 bytes, "
            "no entregado: no se puede leer el archivo, no entregado: el archivo está vacío; sent=FILES|~",
            "hashed one after another, in pieces => login files; read FILES|5000000|0|0|0|0|0|30; "
            "send ana a.txt:3000000 b.txt:5; sent=FILES|~SENDFILE|ana|ID1|a.txt|3000000|SHA:a.txt~SENDFILE|ana|ID2|b.txt|5|SHA:b.txt~",
            "no files on this server => send ana a.txt:10; login plain; rows=no entregado: este servidor "
            "no lleva archivos; sent=",
            "failed, told why => login files; " + limits + "send ana a.txt:10; read MARK|ID1|failed|Ana no "
            "acepta archivos.; rows=no entregado: Ana no acepta archivos.; read MARK|ID1|kept; "
            "rows=no entregado: Ana no acepta archivos.",
            "a lost upload goes on, then again after a log-in => login files; " + limits + "send ana a.txt:1000; "
            "read UPLOAD|ID1|TK1; progress 600 500; end lost corte; sent=FILES|~SENDFILE|ana|ID1|a.txt|1000|SHA:a.txt~"
            "SENDFILE|ana|ID1|a.txt|1000|SHA:a.txt~; logout; rows=enviando… 50%; login files; " + limits + "sent=FILES|~SENDFILE|ana|ID1|a.txt|1000|SHA:a.txt~",
            "three cuts that move nothing => login files; " + limits + "send ana a.txt:1000; read UPLOAD|ID1|TK1; "
            "end lost corte; read UPLOAD|ID1|TK2; end refused Billete usado; read UPLOAD|ID1|TK3; "
            "rows=enviando… 0%; end lost corte; rows=no entregado: corte",
            "paused, resumed, cancelled => login files; " + limits + "send ana a.txt:1000; read UPLOAD|ID1|TK1; "
            "pause ID1; rows=en pausa; sent=FILES|~SENDFILE|ana|ID1|a.txt|1000|SHA:a.txt~; read UPLOAD|ID1|TK2; "
            "job=upload, TK1, a.txt, 1000; resume ID1; sent=SENDFILE|ana|ID1|a.txt|1000|SHA:a.txt~; "
            "cancel ID1; rows=cancelado; sent=DROPFILE|ID1~",
            "speed and time left => login files; " + limits + "send ana a.txt:1000; read UPLOAD|ID1|TK1; "
            "clock 1000; progress 100 0; clock 3000; progress 500 0; speed=200, 3; clock 9000; speed=0, -1",
            "received, saved, told => login files; " + limits + offer + "rows=esperando tu respuesta; "
            "accept ID7; rows=recibiendo… 0%; sent=FILES|~GETFILE|ID7~; read DOWNLOAD|ID7|TK1; "
            "job=download, TK1, .korvex-ID7.part, 0; partial 10; progress 10 10; exists cena.png; end done; "
            "rows=recibido; folder=cena (2).png, cena.png; sent=GOTFILE|ID7~; " + offer + "sent=GOTFILE|ID7~",
            "a lost download goes on from its partial file => login files; " + limits + fetched + "partial 4; "
            "progress 4 4; end lost corte; read DOWNLOAD|ID7|TK2; job=download, TK2, .korvex-ID7.part, 4; "
            "logout; end lost corte; login files; " + limits + "sent=FILES|~GETFILE|ID7~GETFILE|ID7~FILES|~GETFILE|ID7~",
            "damaged, never saved, offered again => login files; " + limits + fetched + "partial 10; "
            "end damaged el archivo llegó dañado; rows=no recibido: el archivo llegó dañado; folder=; "
            + offer + "rows=esperando tu respuesta",
            "rejected, and again when offered again => login files; " + limits + offer + "reject ID7; "
            "rows=rechazado; sent=FILES|~DROPFILE|ID7~; " + offer + "sent=DROPFILE|ID7~",
            "cancelled by its sender => login files; " + limits + fetched + "partial 3; read MARK|ID7|failed|"
            "Ana canceló el envío.; rows=no recibido: Ana canceló el envío.; folder=",
            "cancelled by the user, told after the next log-in => " + offer + "accept ID7; cancel ID7; "
            "rows=cancelado; sent=; login files; " + limits + "sent=FILES|~DROPFILE|ID7~",
            "offers out of bounds => login files; read FILE|pepe|ana|ID7|a|10|SHA7|; read FILE|luis|ana|ID7|a|0|SHA7|; "
            "read FILE|luis|ana|ID7||10|SHA7|; read FILE|luis|ana|ID7|a|10|TK1|; read FILE|luis|ana|x|a|10|SHA7|; rows=",
        });
    }

    // What the windows show of each transfer, and what goes on the chat connection.
    void scripts()
    {
        QFETCH(QString, script);
        m_server->greeting = bytes("OFFER|frame");
        m_socket = std::make_unique<ClientSocket>();
        m_socket->setClearAllowed(true);
        m_socket->connectTo(m_server->address, wire::ServerPort);
        QTRY_COMPARE(m_server->received, wire::marker(wire::Accept));
        m_server->received.clear();
        m_uplink = std::make_unique<Uplink>(*m_socket);
        m_outbox = std::make_unique<Outbox>(*m_uplink);
        m_model = std::make_unique<Transfers>(
            *m_outbox,
            [this](const Transfer::Job &job) { return m_job = job, m_transfer = new FakeTransfer; },
            [this] { return m_now; });
        Script{[this](const QString &verb, const QString &arg) { act(verb, arg); },
               [this](const QString &what, const QString &) { return seen(what); },
               [this] { return sent(); }}
            .play(script);
    }

    void endToEnd();

    void transferSocket_data()
    {
        QTest::addColumn<QString>("job"); // up, or down and the bytes held; "other": another
        QTest::addColumn<QString>("answers"); // certificate; "nofiles": not offered
        QTest::addColumn<QString>("ended");
        QTest::addColumn<int>("held"); // the partial file's bytes at the end
        QTest::newRow("upload from where the server is") << "up" << "FROM|300~ then STORED|600~STORED|1000~" << "done" << 0;
        QTest::newRow("an offset past the size") << "up" << "FROM|1001~" << "lost el servidor pidió una posición imposible del archivo" << 0;
        QTest::newRow("stored what never came") << "up" << "FROM|0~STORED|2000~" << "lost el servidor dice guardar bytes que no se le enviaron" << 0;
        QTest::newRow("refused") << "up" << "REFUSED|file|El billete caducó.~" << "refused El billete caducó." << 0;
        QTest::newRow("another certificate") << "up other" << "" << "failed el servidor de archivos mostró otro certificado" << 0;
        QTest::newRow("no files offered") << "up nofiles" << "" << "lost el servidor no ofrece archivos cifrados" << 0;
        QTest::newRow("a whole download") << "down 0" << "FROM|0~{0-1000}" << "done" << 1000;
        QTest::newRow("a download goes on") << "down 400" << "FROM|400~{400-1000}" << "done" << 1000;
        QTest::newRow("damaged") << "down 0" << "FROM|0~{0-999}X" << "damaged el archivo llegó dañado" << 1000;
        QTest::newRow("bytes past the size") << "down 0" << "FROM|0~{0-1000}xx" << "lost el servidor envió más bytes que los del archivo" << 1000;
        QTest::newRow("another position") << "down 400" << "FROM|0~" << "lost el servidor pidió una posición imposible del archivo" << 400;
        QTest::newRow("a message too long") << "down 0" << QString(1100, 'a') << "lost el servidor envió un mensaje demasiado largo" << 0;
    }

    // One transfer connection against a server encrypting as ours does: what it sends, what it
    // writes, and how it ends.
    void transferSocket()
    {
        QFETCH(QString, job);
        QFETCH(QString, answers);
        QFETCH(QString, ended);
        QFETCH(int, held);
        const auto identity = std::get<TlsIdentity>(loadIdentity(m_dir->filePath("tls")));
        m_server->key = identity.key, m_server->certificate = identity.certificate;
        m_server->greeting = bytes(job.contains("nofiles") ? "OFFER|frame|tls" : "OFFER|frame|tls|keep|files");
        const bool up = job.startsWith("up");
        const qint64 from = up ? 0 : job.section(' ', 1).toLongLong();
        const QByteArray whole = content(1000);
        QFile file(m_dir->filePath("archivo"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(whole.first(up ? 1000 : from)) >= 0);
        file.close();
        const QString ticket(32, 'c');
        TransferSocket socket(m_server->address, wire::ServerPort,
                              job.contains("other") ? "00:11" : certificateFingerprint(identity.certificate),
                              {up ? Transfer::Direction::Upload : Transfer::Direction::Download, ticket,
                               file.fileName(), 1000, QCryptographicHash::hash(whole, QCryptographicHash::Sha256).toHex()});
        QString end;
        connect(&socket, &Transfer::ended, this, [&](Transfer::End how, const QString &why) { end = (kEnds[int(how)] + ' ' + why).trimmed(); });
        socket.start();
        const auto answer = [&](QString text) {
            QByteArray out;
            static const QRegularExpression piece("\\{(\\d+)-(\\d+)\\}");
            for (QRegularExpressionMatch match; (match = piece.match(text)).hasMatch(); text.remove(0, match.capturedEnd()))
                out += bytes(text.first(match.capturedStart())) + whole.sliced(match.captured(1).toInt(), match.captured(2).toInt() - match.captured(1).toInt());
            m_server->send(out + bytes(text));
        };
        QByteArray expected = wire::marker(wire::Accept, true)
            + bytes(up ? "UPLOAD|" + ticket + "~" : "DOWNLOAD|" + ticket + '|' + QString::number(from) + "~");
        if (!answers.isEmpty()) {
            QTRY_COMPARE(m_server->received, expected);
            answer(answers.section(" then ", 0, 0));
        }
        if (answers.contains(" then ")) {
            QTRY_COMPARE(m_server->received, expected + whole.sliced(300));
            answer(answers.section(" then ", 1));
        }
        QTRY_COMPARE(end, ended);
        if (!up)
            QCOMPARE(QFileInfo(file.fileName()).size(), held);
    }
};

// Two clients and the real server: a file sent is saved byte for byte, and its sender told.
void TestTransfers::endToEnd()
{
    QString log;
    QTextStream stream(&log);
    CommandLine line = parseCommandLine({"-", "--listen", "127.0.0.32", "--state-dir",
                                         m_dir->filePath("server")});
    QVERIFY(QDir().mkpath(m_dir->filePath("server")));
    QFile::setPermissions(m_dir->filePath("server"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    RelayServer server(line.config, stream);
    QVERIFY2(server.listen(), qPrintable(log));
    std::map<QString, std::unique_ptr<Client>> clients;
    for (const QString name : {"ana", "bea"}) {
        qputenv("XDG_CONFIG_HOME", m_dir->filePath(name + "/config").toLocal8Bit());
        qputenv("XDG_DATA_HOME", m_dir->filePath(name + "/data").toLocal8Bit());
        qputenv("KORVEX_SECRETS", "file");
        clients[name] = std::make_unique<Client>();
        clients[name]->session().logIn(name, "127.0.0.32");
    }
    Transfers &sent = clients["ana"]->transfers();
    Transfers &received = clients["bea"]->transfers();
    QTRY_VERIFY(sent.limits().largest > 0 && received.limits().largest > 0);
    // Some megabytes, past the server's first acknowledgement, and an odd tail.
    const QByteArray whole = content(5 * 1024 * 1024 + 17);
    QFile file(m_dir->filePath("informe.pdf"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(whole) == whole.size());
    file.close();
    const QStringList ids = sent.send("bea", {file.fileName()});
    QCOMPARE(ids.size(), 1);
    QTRY_VERIFY(received.find(ids[0], Transfers::Direction::Receiving));
    QCOMPARE(received.find(ids[0], Transfers::Direction::Receiving)->name, "informe.pdf");
    QVERIFY(received.accept(ids[0], m_dir->filePath("descargas")));
    QTRY_COMPARE_WITH_TIMEOUT(sent.find(ids[0], Transfers::Direction::Sending)->state,
                              Transfers::State::Delivered, 20000);
    const Transfers::Row *saved = received.find(ids[0], Transfers::Direction::Receiving);
    QCOMPARE(saved->state, Transfers::State::Saved);
    QCOMPARE(saved->path, m_dir->filePath("descargas/informe.pdf"));
    QFile copy(saved->path);
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QVERIFY(copy.readAll() == whole);
    // A line of each side's conversation, found by the file's name; the sender's marked.
    const history::Line kept =
        clients["ana"]->history().before({history::Conversation::Private, "bea"}, HistoryStore::Newest, 1).value(0);
    QCOMPARE(kept.text, "Archivo: informe.pdf (5,0 MiB)");
    QCOMPARE(kept.mark, history::Mark::Delivered);
    QCOMPARE(clients["bea"]->history().search("informe").value(0).line.writer, "ana");
    clients.clear();
}

QTEST_GUILESS_MAIN(TestTransfers)
#include "test_transfers.moc"
