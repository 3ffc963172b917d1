// A server announces 2,000 users: first one NICK message every millisecond, then all of them in
// one burst. Prints, for each, how many users the client lists, whether their names are right,
// the final status line, and how long after the server's last write the list and the status
// were complete.
#include "main_window/user_tree.h"
#include "core/user_list.h"
#include "program.h"
#include "protocol/client_socket.h"
#include "support/raw_server.h"

#include <QAbstractButton>
#include <QApplication>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <map>
#include <cstdio>
#include <thread>

namespace {

constexpr int kUsers = 2000;
constexpr const char *kAddress = "127.0.0.50";

QString userName(int i)
{
    return QStringLiteral("usuario%1").arg(i, 4, 10, QLatin1Char('0'));
}

struct Run {
    const char *name;
    std::atomic<bool> written{false};
    Clock::time_point lastWrite{};
};

void report(Program &program, Run &run, Clock::time_point complete, int deepest)
{
    UserTree *tree = program.mess()->userTree();
    const UserList &users = program.core().users();
    bool namesRight = users.userCount() == kUsers;
    for (int i = 0; namesRight && i < kUsers; ++i)
        namesRight = users.index(i, 0, users.root()).data().toString() == userName(i);
    const double ms =
        std::chrono::duration<double, std::milli>(complete - run.lastWrite).count();
    std::printf("%-22s users listed %d, names %s, status \"%s\", complete %.1f ms after the "
                "last write, deepest nesting %d, RSS %.1f MiB (peak %.1f MiB)\n",
                run.name, tree->userCount(), namesRight ? "correct" : "WRONG",
                qPrintable(program.mess()->statusLine()), ms, deepest, currentRssMiB(),
                peakRssMiB());
}

// Runs the event loop until the status line reports every user, then waits for the nested
// handlers to unwind.
Clock::time_point waitForCompleteList(Program &program, Run &run, int &deepest)
{
    const QString wanted = QStringLiteral("Status : %1 usuario(s)").arg(kUsers);
    Clock::time_point complete{};
    QEventLoop loop;
    // Written synchronously by the handler: the first status that counts every user, once the
    // server has written them all.
    const auto statusWatch = QObject::connect(
        program.mess(), &Mess::statusLineChanged, &loop, [&](const QString &text) {
            if (complete == Clock::time_point{} && run.written && text == wanted)
                complete = Clock::now();
        });
    QTimer watch;
    watch.setTimerType(Qt::PreciseTimer);
    QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
        deepest = std::max(deepest, program.login()->WS().nesting());
        if (complete != Clock::time_point{} && program.login()->WS().nesting() == 0)
            loop.quit();
    });
    watch.start(1);
    QTimer::singleShot(60'000, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(statusWatch);
    return complete;
}

} // namespace

int main(int argc, char *argv[])
{
    prepareBenchEnvironment();
    QApplication app(argc, argv);
    RawServer server(kAddress);
    Run paced{"paced, 1 ms apart:"};
    Run burst{"one unpaced burst:"};

    std::thread serverThread([&] {
        if (!server.accept())
            return;
        server.readAtLeast(5 + 4 + 5); // LOGIN and the nickname
        for (int i = 0; i < kUsers; ++i) {
            server.write(nickBytes(userName(i)));
            if (i + 1 == kUsers)
                paced.lastWrite = Clock::now();
            else
                std::this_thread::sleep_until(paced.lastWrite = Clock::now()
                                              + std::chrono::microseconds(1000));
        }
        paced.written = true;
        server.readAtLeast(11); // GETUSER
        QByteArray all;
        for (int i = 0; i < kUsers; ++i)
            all += nickBytes(userName(i));
        server.write(all);
        burst.lastWrite = Clock::now();
        burst.written = true;
    });

    Program program;
    Login *login = program.login();
    login->logInWith(QStringLiteral("bench"), QString::fromLatin1(kAddress));

    // Where each nesting level's handler sits on the stack tells what one level costs.
    std::map<int, std::uintptr_t> stackAt;
    QObject::connect(&login->WS(), &ClientSocket::dataArrival, &app, [&] {
        const char here = 0;
        stackAt.emplace(login->WS().nesting(), reinterpret_cast<std::uintptr_t>(&here));
    });

    int deepest = 0;
    Clock::time_point complete = waitForCompleteList(program, paced, deepest);
    report(program, paced, complete, deepest);
    if (stackAt.size() > 1) {
        const auto [lowDepth, lowAddress] = *stackAt.begin();
        const auto [highDepth, highAddress] = *stackAt.rbegin();
        std::printf("stack per nesting level: %.0f bytes (%zu bytes at depth %d)\n",
                    double(lowAddress - highAddress) / (highDepth - lowDepth),
                    std::size_t(lowAddress - highAddress), highDepth);
    }

    deepest = 0;
    program.mess()->findChild<QAbstractButton *>(QStringLiteral("Command1"))->click();
    complete = waitForCompleteList(program, burst, deepest);
    report(program, burst, complete, deepest);

    serverThread.join();
    return 0;
}
