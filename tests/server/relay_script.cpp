#include "relay_script.h"

#include <QDirIterator>

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] { condition() ? loop.quit() : void(); });
    check.start(1);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!condition())
        loop.exec();
    return condition();
}


void RelayScript::run(const QString &script)
{
    for (QString step : script.split("; ")) {
        for (const auto &[label, p] : m_peers)
            step.replace(QRegularExpression('@' + label + "\\b"), p->name);
        for (const auto &[name, value] : m_captured)
            step.replace('$' + name, value);
        const auto many = QRegularExpression("#(\\d+)").match(step);
        if (many.hasMatch())
            step.replace(many.capturedStart(), many.capturedLength(),
                         QString(many.captured(1).toInt(), 'x'));
        const QString verb = step.section(' ', 0, 0);
        QString rest = step.section(' ', 1);
        const QString label = verb.chopped(1);
        if (verb.endsWith('*')) {
            for (int i = label.toInt(); i > 0; --i)
                run(rest);
        } else if (verb == "login") {
            QStringList names;
            for (const QString &who : rest.split(' ')) {
                names << who.section(':', -1);
                run(who.section(':', 0, 0) + "> LOGIN|" + names.last());
            }
            for (const QString &who : rest.split(' '))
                run(who.section(':', 0, 0) + "< NICK|" + names.join("NICK|"));
        } else if (verb == "quiet") {
            for (const QString &who : rest.split(' ')) {
                Peer &p = peer(who);
                const QString me = p.nickname;
                const QString echo =
                    me + '|' + me + "|sync" + QString::number(++m_syncs) + p.end;
                if (me.isEmpty())
                    QCOMPARE(p.buffer, QByteArray());
                else
                    run(who + "> PM|" + echo);
                // One that keeps reads it with an id and a time, and answers it.
                for (const auto &[other, q] : m_peers)
                    if (!me.isEmpty() && q->nickname == me && q->connected())
                        m_captured.erase("S"), run(other + "< PM|" + echo.chopped(p.end.size())
                            + (q->keeps ? "|$S|$Z~; " + other + "> RECEIVED|" + me + "|$S~"
                                        : q->end));
            }
        } else if (verb == "start") {
            const auto password = QRegularExpression("--password=(.*)$").match(rest);
            if (password.hasMatch()) {
                QFile file(m_state.filePath("password"));
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write(password.captured(1).toUtf8() + '\n');
                file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
                rest.replace(password.capturedStart(), password.capturedLength(),
                             "--password-file " + file.fileName());
            }
            const auto window = QRegularExpression("window=(\\d+)").match(rest);
            rest.remove(window.captured(0));
            const auto gather = QRegularExpression("gather=(\\d+)").match(rest);
            rest.remove(gather.captured(0));
            CommandLine line =
                parseCommandLine(QStringList{"-", "--listen", m_address, "--state-dir",
                                             m_state.path()}
                                 + rest.split(' ', Qt::SkipEmptyParts));
            QCOMPARE(line.error, QString());
            if (window.hasMatch())
                line.config.stateWindow = std::chrono::milliseconds(window.captured(1).toInt());
            if (gather.hasMatch())
                line.config.stateGathering = std::chrono::milliseconds(gather.captured(1).toInt());
            m_server = std::make_unique<RelayServer>(line.config, m_stream);
            if (m_prepare)
                m_prepare(*m_server);
            QVERIFY2(m_server->listen(), qPrintable(m_log));
        } else if (verb == "tls") {
            run(rest + "> ACCEPT|frame|tls~; " + rest + "< ACCEPTED|frame|tls~; handshake "
                + rest);
        } else if (verb == "handshake") {
            Peer &p = peer(rest);
            p.end = "~";
            p.socket.setPeerVerifyMode(QSslSocket::VerifyNone);
            p.socket.startClientEncryption();
            QVERIFY(waitUntil([&] { return p.socket.isEncrypted(); }));
        } else if (verb == "admin") {
            m_server->admin(rest);
        } else if (verb == "hangup") {
            peer(rest).socket.disconnectFromHost();
        } else if (verb == "close" || verb == "deaf") {
            QTcpSocket &socket = peer(rest).socket;
            if (verb == "close") {
                socket.abort();
            } else {
                // The kernel keeps little for it either: its stall shows soon.
                socket.setReadBufferSize(1);
                socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
            }
            socket.disconnect(&peer(rest)); // nothing more is read
        } else if (verb == "disk") {
            // Full: no file of this process grows past its first byte (EFBIG, as a full
            // disk's ENOSPC to the store); room: as before.
            static const rlimit before = [] {
                rlimit limit{};
                ::getrlimit(RLIMIT_FSIZE, &limit);
                return limit;
            }();
            rlimit limit = before;
            if (rest == "full")
                limit.rlim_cur = 1;
            std::signal(SIGXFSZ, SIG_IGN);
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        } else if (verb == "held") {
            const auto held = [&] {
                QStringList files;
                QDirIterator found(m_state.filePath("files"), QDir::Files | QDir::Hidden,
                                   QDirIterator::Subdirectories);
                while (found.hasNext())
                    files << found.next();
                return files;
            };
            QVERIFY2(waitUntil([&] { return held().size() == rest.toInt(); }),
                     qPrintable(step + '\n' + held().join('\n')));
        } else if (verb == "empty") {
            for (const QString &who : rest.split(' '))
                QCOMPARE(peer(who).buffer, QByteArray());
        } else if (verb == "closed") {
            QVERIFY2(waitUntil([&] { return !peer(rest).connected(); }), qPrintable(step));
        } else if (verb == "log" || verb == "nolog") {
            rest.replace("\\n", "\n");
            QVERIFY2(waitUntil([&] { return m_log.contains(rest) == (verb == "log"); },
                               verb == "log" ? 5000 : 1000),
                     qPrintable(step + '\n' + m_log));
        } else if (verb.endsWith('>')) {
            // ana>> TEXT: written without waiting for the server to handle it
            Peer &p = peer(label.chopped(label.endsWith('>')));
            static const QRegularExpression logIn("^LOGIN\\|([^|~]+?)(ACCEPT\\||~|\\||$)");
            const auto loggedIn = logIn.match(rest);
            p.nickname = loggedIn.hasMatch() ? loggedIn.captured(1)
                : rest.startsWith("LOGOUT")  ? QString()
                                             : p.nickname;
            p.end = rest.contains("ACCEPT|frame~") ? "~" : p.end;
            p.keeps = loggedIn.hasMatch() ? rest.section('~', 0, 0).section("ACCEPT", 0, 0)
                                                    .count('|') >= 3
                                          : p.keeps;
            label.endsWith('>') ? void(p.socket.write(bytes(rest))) : p.send(bytes(rest));
        } else if (verb.endsWith('<') && rest.contains('$')) {
            // Text as it would read in the code page, the secrets and times patterns.
            const QString text = wire::fromCodePage(bytes(rest));
            QString pattern = QRegularExpression::escape(text);
            pattern.replace("\\$Z", "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ");
            QStringList names;
            for (const auto &name : QRegularExpression("\\\\\\$(\\w)").globalMatch(pattern))
                names << name.captured(1);
            for (const QString &name : names)
                pattern.replace("\\$" + name, QString("CD").contains(name)
                                    ? "([2-9A-Z]{4}\\-[2-9A-Z]{4}\\-[2-9A-Z]{2})"
                                    : "([0-9a-f]{32})");
            const QRegularExpression expected('^' + pattern);
            Peer &p = peer(label);
            QRegularExpressionMatch match;
            waitUntil([&] {
                return (match = expected.match(wire::fromCodePage(p.buffer))).hasMatch();
            });
            QVERIFY2(match.hasMatch(), qPrintable(step + '\n' + wire::fromCodePage(p.buffer)));
            for (qsizetype i = 0; i < names.size(); ++i)
                m_captured[names[i]] = match.captured(i + 1);
            p.buffer.remove(0, match.capturedLength());
        } else if (verb.endsWith('<')) {
            const QByteArray expected = bytes(rest);
            Peer &p = peer(label);
            // Long enough for a slow reader's stall to be seen on a loaded machine.
            waitUntil([&] { return p.buffer.size() >= expected.size(); }, 15000);
            QCOMPARE(p.buffer.left(expected.size()), expected);
            p.buffer.remove(0, expected.size());
        } else {
            QFAIL(qPrintable("unknown step: " + step));
        }
        if (QTest::currentTestFailed())
            return;
    }
}
