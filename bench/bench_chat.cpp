// Conversation windows under a flood, with every line kept on disk as the user has it:
// (a) 20,000 CHAT lines handed to the data-arrival handler, one read each, with the event loop
//     running between reads, into a room window that has already received 100,000 lines.
// (b) The client's CPU use while idle with the chat room created and shown.
// (c) Resident memory of a shown room window when empty, after 100,000 room lines, and after
//     100,000 private lines more in one private window.
//
// Usage: bench_chat [idle seconds, default 30]
#include "conversations/chat.h"
#include "conversations/history.h"
#include "conversations/pm.h"
#include "core/dispatcher.h"
#include "program.h"
#include "protocol/wire.h"
#include "support/raw_server.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>

namespace {

QString chatLine(int i)
{
    const QString line = QStringLiteral("linea numero %1 de la sala").arg(i);
    return wire::buildMessage(u"CHAT", {u"ana", line});
}

QString privateLine(int i)
{
    const QString line = QStringLiteral("linea privada numero %1 para luis").arg(i);
    return wire::buildMessage(u"PM", {u"luis", u"ana", line});
}

void settle()
{
    QEventLoop loop;
    QTimer::singleShot(500, &loop, &QEventLoop::quit);
    loop.exec();
}

// Hands the reads to the handler, the event loop running every `every` reads.
double flood(Dispatcher &incoming, QString (*line)(int), int from, int count, int every)
{
    QElapsedTimer clock;
    clock.start();
    for (int i = from; i < from + count; ++i) {
        incoming.handle(line(i));
        if ((i + 1) % every == 0)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    return clock.nsecsElapsed() / 1e9;
}

} // namespace

int main(int argc, char *argv[])
{
    prepareBenchEnvironment();
    QApplication app(argc, argv);
    const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 30;

    Program program;
    program.core().setNickname(QStringLiteral("luis"));
    Chat *chat = program.chat();
    chat->show();
    Dispatcher &incoming = program.incoming();
    settle();
    const double empty = currentRssMiB();

    double seconds = flood(incoming, chatLine, 0, 100'000, 1000);
    settle();
    const double afterRoom = currentRssMiB();
    std::printf("room window received 100,000 lines in %.1f s; it holds %d blocks\n", seconds,
                chat->history()->document()->blockCount() - 1);

    seconds = flood(incoming, privateLine, 0, 100'000, 1000);
    settle();
    const double afterPrivate = currentRssMiB();
    PM *pm = program.PMWindows().window(0);
    std::printf("private window received 100,000 lines in %.1f s; it holds %d blocks\n", seconds,
                pm ? pm->history()->document()->blockCount() - 1 : -1);

    constexpr int kLines = 20'000;
    seconds = flood(incoming, chatLine, 100'000, kLines, 1);
    std::printf("(a) %d lines, one read each: %.0f lines/s\n", kLines, kLines / seconds);
    std::printf("(c) RSS: empty room window %.1f MiB; after 100,000 room lines %.1f MiB "
                "(+%.1f); after 100,000 private lines %.1f MiB (+%.1f over the empty window); "
                "peak %.1f MiB\n",
                empty, afterRoom, afterRoom - empty, afterPrivate, afterPrivate - empty,
                peakRssMiB());

    settle();
    const double cpuBefore = processCpuSeconds();
    QElapsedTimer clock;
    clock.start();
    QEventLoop idle;
    QTimer::singleShot(idleSeconds * 1000, Qt::PreciseTimer, &idle, &QEventLoop::quit);
    idle.exec();
    const double cpu = processCpuSeconds() - cpuBefore;
    std::printf("(b) idle with the chat room shown, %.1f s: %.3f s of CPU = %.2f%% of one core\n",
                clock.elapsed() / 1000.0, cpu, 100.0 * cpu / (clock.elapsed() / 1000.0));
    return 0;
}
