// Delivery through the real server (a process of its own on 127.0.0.54), framed against plain:
// (a) 10,000 room lines from 10 senders to a real client that is busy: pausing 60 ms on every
//     message it is handed (its event loop runs meanwhile), or stalled 60 ms every second (its
//     event loop does not run): how many lines its history shows, and whether each sender's
//     lines come in order;
// (b) how long a newcomer waits until its list shows 2,000 users;
// (c) 20 real clients and a server restart: how long until all of them are back online.
//
//   build/bench/bench/bench_delivery [a] [b] [c]
#include "conversations/chat.h"
#include "conversations/history.h"
#include "core/settings.h"
#include "main_window/user_tree.h"
#include "program.h"
#include "protocol/client_socket.h"
#include "core/session.h"
#include "support/raw_server.h"
#include "support/server_process.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>


#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

const QString kAddress = QStringLiteral("127.0.0.54");

QByteArray message(const QString &text, bool framed)
{
    QByteArray bytes = wire::toCodePage(text);
    return framed ? bytes + wire::Terminator : bytes;
}

// A user of the protocol on a bare socket, plain or framed: logs in, may enter the room and say
// lines; reads and forgets whatever it is sent.
class RawUser : public QObject {
public:
    RawUser(const QString &nickname, bool framed) : m_nickname(nickname), m_framed(framed)
    {
        connect(&m_socket, &QTcpSocket::connected, this, [this] {
            m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
            const QByteArray login = message(wire::buildMessage(u"LOGIN", {m_nickname}), m_framed);
            m_socket.write(m_framed ? wire::marker(wire::Accept) + login : login);
        });
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] { m_read += m_socket.readAll().size(); });
        m_socket.connectToHost(kAddress, wire::ServerPort);
    }
    // Stops reading: the kernel keeps what comes, as far as it can.
    void stopReading() { m_socket.disconnect(this), m_socket.setReadBufferSize(1); }
    void send(const QString &text) { m_socket.write(message(text, m_framed)); }
    QString nickname() const { return m_nickname; }
    bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    qint64 bytesRead() const { return m_read; }

private:
    QString m_nickname;
    bool m_framed;
    QTcpSocket m_socket;
    qint64 m_read = 0;
};

bool logIn(Program &program, const QString &nickname)
{
    // Some runs measure a server that offers nothing: agreed to, as a user would.
    program.settings().setClearTextAllowed(kAddress, true);
    program.login()->logInWith(nickname, kAddress);
    return waitFor([&] { return program.session().state() == Session::State::LoggedIn; }, 10000);
}

void busyClient(bool framed, bool stalled)
{
    constexpr int kSenders = 10;
    constexpr int kLinesEach = 1000;
    ServerProcess server(kAddress);
    if (!server.start(framed ? QStringList() : QStringList{QStringLiteral("--no-framing")}))
        return;
    Program program;
    if (!logIn(program, QStringLiteral("ocupado")))
        return std::puts("  the client did not log in"), void();
    program.mess()->findChild<QAbstractButton *>(QStringLiteral("cmdChat"))->click();
    // Busy: every message handed to the client keeps it waiting 60 ms more; or, stalled, it
    // does nothing at all for 60 ms every second.
    QTimer stall;
    if (stalled) {
        QObject::connect(&stall, &QTimer::timeout,
                         [] { std::this_thread::sleep_for(std::chrono::milliseconds(60)); });
        stall.start(1000);
    } else {
        QObject::connect(&program.WS(), &ClientSocket::dataArrival, &program,
                         [&program] { program.Pause(0.06); });
    }
    std::vector<std::unique_ptr<RawUser>> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.push_back(std::make_unique<RawUser>(QStringLiteral("s%1").arg(s), framed));
        waitFor([&] { return server.log().count("logged in") == s + 2; }, 5000);
        senders.back()->send(wire::buildMessage(u"ENTER", {senders.back()->nickname()}));
    }
    waitFor([&] { return server.log().count("logged in") == kSenders + 1; }, 5000);
    // Each sender 19 lines a second, within the server's 20; all of them 190 a second.
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    QTimer pace;
    pace.setTimerType(Qt::PreciseTimer);
    QObject::connect(&pace, &QTimer::timeout, [&] {
        for (const qint64 due = std::min<qint64>(clock.elapsed() * 19 * kSenders / 1000,
                                                 kSenders * kLinesEach);
             sent < due; ++sent) {
            RawUser &sender = *senders[std::size_t(sent % kSenders)];
            sender.send(wire::buildMessage(u"CHAT", {sender.nickname(),
                                                     sender.nickname() + QStringLiteral(" #")
                                                         + QString::number(sent / kSenders)}));
        }
    });
    pace.start(5);
    waitFor([&] { return sent == kSenders * kLinesEach; }, 120'000);
    pace.stop();
    const auto shownLines = [&] { return program.chat()->history()->blockCount(); };
    qint64 last = -1;
    QElapsedTimer still;
    still.start();
    waitFor([&] {
        if (shownLines() != last)
            last = shownLines(), still.restart();
        return still.elapsed() > 3000;
    }, 120'000);
    // Each sender's lines, in the order shown: whole lines only.
    static const QRegularExpression line(QStringLiteral("^(s\\d) : s\\d #(\\d+)$"));
    std::vector<int> next(kSenders, 0);
    int shown = 0;
    int outOfOrder = 0;
    const QStringList lines = program.chat()->history()->toPlainText().split(u'\n');
    for (const QString &text : lines) {
        const auto match = line.match(text);
        if (!match.hasMatch())
            continue;
        int &expected = next[std::size_t(match.captured(1).mid(1).toInt())];
        outOfOrder += match.captured(2).toInt() < expected;
        expected = std::max(expected, match.captured(2).toInt() + 1);
        ++shown;
    }
    std::printf("  %s, %s: %d of %d lines shown, %d lost, %d out of order, all shown after "
                "%.1f s\n",
                stalled ? "stalled" : "pausing", framed ? "framed" : "plain ", shown, kSenders * kLinesEach,
                kSenders * kLinesEach - shown, outOfOrder, double(clock.elapsed() - 3000) / 1000);
}

void newcomer(bool framed)
{
    constexpr int kUsers = 2000;
    ServerProcess server(kAddress);
    if (!server.start(framed ? QStringList() : QStringList{QStringLiteral("--no-framing")}))
        return;
    // The others log in framed when the server allows it, so that announcing them all to each
    // other does not take the server minutes; they never read.
    std::vector<std::unique_ptr<RawUser>> users;
    for (int i = 0; i < kUsers; ++i) {
        users.push_back(std::make_unique<RawUser>(QStringLiteral("u%1").arg(i, 4, 10, QLatin1Char('0')), framed));
        if (i % 100 == 99)
            waitFor([&] { return server.log().count("logged in") == i + 1; }, 30'000);
    }
    if (!waitFor([&] { return server.log().count("logged in") == kUsers; }, 60'000))
        return std::printf("  only %lld users logged in\n", server.log().count("logged in")),
               void();
    for (auto &user : users)
        user->stopReading();
    // Until the server has nothing left to do for them: its CPU time the same a second later.
    for (double cpu = -1; std::exchange(cpu, server.cpuSeconds()) != cpu;)
        waitFor([] { return false; }, 1000);
    Program program;
    QElapsedTimer clock;
    clock.start();
    if (!logIn(program, QStringLiteral("nuevo")))
        return std::puts("  the newcomer did not log in"), void();
    waitFor([&] { return program.mess()->userTree()->userCount() == kUsers + 1; }, 120'000);
    std::printf("  %s: the newcomer listed %d of %d users after %lld ms\n",
                framed ? "framed" : "plain ", program.mess()->userTree()->userCount(),
                kUsers + 1, clock.elapsed());
}

void restart()
{
    constexpr int kClients = 20;
    ServerProcess server(kAddress);
    if (!server.start())
        return;
    std::vector<std::unique_ptr<Program>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<Program>());
        if (!logIn(*clients.back(), QStringLiteral("c%1").arg(i)))
            return std::puts("  a client did not log in"), void();
    }
    const auto allBack = [&] {
        for (const auto &client : clients) {
            if (client->session().state() != Session::State::LoggedIn
                || client->mess()->userTree()->userCount() != kClients)
                return false;
        }
        return true;
    };
    waitFor(allBack, 10'000);
    server.stop();
    waitFor([&] {
        for (const auto &client : clients) {
            if (client->session().state() != Session::State::Lost)
                return false;
        }
        return true;
    }, 10'000);
    QElapsedTimer clock;
    clock.start();
    server.start();
    const bool back = waitFor(allBack, 120'000);
    std::printf("  %d clients %s %lld ms after the server started again\n", kClients,
                back ? "all back online, each listing all," : "NOT all back", clock.elapsed());
}

} // namespace

int main(int argc, char *argv[])
{
    prepareBenchEnvironment();
    raiseOpenFileLimit();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const QStringList parts = QApplication::arguments().mid(1);
    const auto wanted = [&](const char *part) {
        return parts.isEmpty() || parts.contains(QString::fromLatin1(part));
    };
    if (wanted("a")) {
        std::puts("(a) 10,000 room lines from 10 senders to a busy client");
        for (const bool stalled : {false, true}) {
            busyClient(true, stalled);
            busyClient(false, stalled);
        }
    }
    if (wanted("b")) {
        std::puts("(b) a newcomer's list of 2,000 users");
        newcomer(true);
        newcomer(false);
    }
    if (wanted("c")) {
        std::puts("(c) a server restart");
        restart();
    }
    return 0;
}
