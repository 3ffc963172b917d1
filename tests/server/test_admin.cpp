// The administrator's commands, through the console and the socket, and the program itself:
// its command line and a run of it.
#include "relay_script.h"

class TestAdmin : public RelayScript {
    Q_OBJECT

public:
    TestAdmin() : RelayScript("127.0.0.25") {}

private Q_SLOTS:
    void relays_data()
    {
        scriptRows({
            "the administrator: notices, users, expulsion => start --boot-grace 300; "
            "login ana luis eva; x> ; luis> ENTER|luis; luis< ENTER|luis; "
            "admin msg  Cierre, año nuevo ; ana< MESSAGE|Cierre, año nuevo; "
            "luis< MESSAGE|Cierre, año nuevo; eva< MESSAGE|Cierre, año nuevo; admin users; "
            "log  - 3 users online, 1 more connected, not logged in\\n; "
            "log @luis \"luis\" in the room\\n; admin boot nadie; "
            "log boot: nobody called \"nadie\"; admin boot ana; ana< BOOT|ana; "
            "ana> LOGOUT|ana; luis< LOGOUT|ana; eva< LOGOUT|ana; closed ana; admin boot eva; "
            "eva< BOOT|eva; eva> CHAT|eva|no me voy; eva> ENTER|eva; closed eva; "
            "luis< LOGOUT|eva; log @eva disconnected: booted\\n; a2> LOGIN|ana; "
            "a2< NICK|luisNICK|ana; luis< NICK|ana; quiet luis a2",
        });
    }

    void relays() { playRow(); }

    // The administrator's socket: a command acts as on standard input and is answered with
    // what it logged; the socket is the server user's alone, and another user who reaches it
    // all the same is refused.
    void theAdministratorsSocket()
    {
        run("start; login ana luis");
        QTemporaryDir dir;
        const QString path = dir.filePath("admin.sock");
        AdminChannel channel([this](const QString &line) { return m_server->admin(line); });
        QCOMPARE(channel.listen(path), QString());
        QCOMPARE(QFileInfo(path).permissions() & ~(QFile::ReadOwner | QFile::WriteOwner
                                                   | QFile::ExeOwner | QFile::ReadUser
                                                   | QFile::WriteUser | QFile::ExeUser),
                 QFile::Permissions());
        const auto ask = [&](const QString &line) {
            QLocalSocket socket;
            socket.connectToServer(path);
            socket.write(line.toUtf8() + '\n');
            QByteArray answer;
            waitUntil([&] {
                answer += socket.readAll();
                return socket.state() == QLocalSocket::UnconnectedState;
            });
            return QString::fromUtf8(answer + socket.readAll());
        };
        QCOMPARE(ask("msg hola a todos"), "- notice to 2 users: \"hola a todos\"\nexit 0\n");
        QVERIFY(ask("users").contains(peer("luis").name + " \"luis\"\n"));
        QVERIFY(ask("boot luis").contains(peer("luis").name + " booted \"luis\""));
        QVERIFY(ask("boot nadie").endsWith(" is online\nexit 1\n"));
        run("ana< MESSAGE|hola a todos; luis< MESSAGE|hola a todosBOOT|luis; quiet ana");
        if (::geteuid() != 0)
            QSKIP("only root can be another user");
        ::chmod(qPrintable(dir.path()), 0755);
        ::chmod(qPrintable(path), 0777);
        QProcess nobody;
        nobody.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                 KORVEX_SERVER_PROGRAM, "--admin", "users", "--admin-socket", path});
        QVERIFY(waitUntil([&] { return nobody.state() == QProcess::NotRunning; }));
        QCOMPARE(nobody.readAllStandardOutput(), QByteArray(AdminChannel::Refusal) + "\n");
        QCOMPARE(nobody.exitCode(), 1);
    }
    // Options that cannot work together, and password files that are no secret, stop the
    // server before it starts.
    void commandLineErrors_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("error");
        QTest::newRow("required, not offered") << "--require-tls --no-tls" << "needs encryption";
        QTest::newRow("password in clear")
            << "--no-framing --password-file @0600" << "only sent encrypted";
        QTest::newRow("password readable by others")
            << "--password-file @0640" << "may be read by others";
        QTest::newRow("no such file") << "--password-file /nonexistent" << "cannot read";
        QTest::newRow("letters that do not travel")
            << "--password-file @0600=пароль" << "do not travel";
        QTest::newRow("a separator") << "--password-file @0600=a¤¶£Æb" << "do not travel";
        QTest::newRow("fine") << "--require-tls --password-file @0600" << "";
        // A state folder, key or certificate that another may change, a key another may read.
        QTest::newRow("folder others write") << "--state-dir folder%0757" << "be written by";
        QTest::newRow("key others read") << "--state-dir key%0640" << "be read or written by";
        QTest::newRow("certificate others write")
            << "--state-dir certificate%0620" << "be written by";
        QTest::newRow("fine state") << "--state-dir key%0600" << "";
    }
    void commandLineErrors()
    {
        QFETCH(QString, options);
        QFETCH(QString, error);
        QFile file(m_state.filePath("password"));
        const auto mode = QRegularExpression("@(0\\d+)=?(\\S*)").match(options);
        const QString password = mode.captured(2).isEmpty() ? "secreto" : mode.captured(2);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(password.toUtf8() + '\n') > 0);
        file.close();
        if (mode.hasMatch()) {
            ::chmod(qPrintable(file.fileName()), mode_t(mode.captured(1).toUInt(nullptr, 8)));
            options.replace(mode.captured(0), file.fileName());
        }
        const auto state = QRegularExpression("(\\w+)%(0\\d+)").match(options);
        QTemporaryDir folder;
        if (state.hasMatch()) {
            const QString file = folder.filePath("tls-" + state.captured(1) + ".pem");
            QVERIFY(state.captured(1) == "folder" || QFile(file).open(QIODevice::WriteOnly));
            ::chmod(qPrintable(state.captured(1) == "folder" ? folder.path() : file),
                    mode_t(state.captured(2).toUInt(nullptr, 8)));
            options.replace(state.captured(0), folder.path());
        }
        const CommandLine line = parseCommandLine(QStringList{"-", "--state-dir", m_state.path()}
                                                  + options.split(' '));
        QVERIFY2(error.isEmpty() ? line.error.isEmpty() : line.error.contains(error),
                 qPrintable(line.error));
        if (error.isEmpty() && !state.hasMatch())
            QCOMPARE(line.config.password, QByteArray("secreto"));
    }
    void theProgram()
    {
        QProcess program;
        program.start("prlimit", {"--nofile=64", KORVEX_SERVER_PROGRAM, "--listen", "127.0.0.27",
                                  "--state-dir", m_state.path(), "--max-connections-per-address",
                                  "100", "--max-not-logged-in-per-address", "100"});
        QByteArray log;
        // The log so far holds the text.
        const auto logged = [&](const QByteArray &text) {
            return waitUntil([&] {
                return (log += program.readAllStandardOutput()).contains(text);
            });
        };
        QVERIFY(logged(" - listening on 127.0.0.27:12584\n"));
        program.write("users\r\nusers");
        program.closeWriteChannel();
        QVERIFY(logged(" - standard input ended; still serving\n"));
        QCOMPARE(log.count(" - 0 users online, 0 more connected, not logged in\n"), 2);
        QTcpSocket client;
        client.connectToHost(QHostAddress("127.0.0.27"), wire::ServerPort);
        client.write(bytes("LOGIN|ana"));
        const QByteArray expected = bytes("OFFER|frame|tls|keep|files") + bytes("NICK|ana");
        QVERIFY(waitUntil([&] { return client.bytesAvailable() >= expected.size(); }));
        QCOMPARE(client.readAll(), expected);
        std::vector<std::unique_ptr<QTcpSocket>> crowd(80);
        for (auto &socket : crowd) {
            socket = std::make_unique<QTcpSocket>();
            socket->connectToHost(QHostAddress("127.0.0.27"), wire::ServerPort);
        }
        QVERIFY(logged("near the limit of open files"));
        QVERIFY(waitUntil([&] { return crowd.back()->state() == QTcpSocket::UnconnectedState; }));
        crowd.clear();
        // Trying again, as a client does, until the server has seen the crowd go.
        QTcpSocket late;
        QVERIFY(waitUntil([&] {
            if (late.state() == QAbstractSocket::UnconnectedState)
                late.connectToHost(QHostAddress("127.0.0.27"), wire::ServerPort);
            return late.bytesAvailable() > 0;
        }));
        program.kill();
        QVERIFY(program.waitForFinished());
    }
};

QTEST_GUILESS_MAIN(TestAdmin)
#include "test_admin.moc"
