// (a) 20,000 CHAT lines handed to the data-arrival handler, one read each, with the event loop
//     running between reads, into a chat history that already holds 100,000 lines.
// (b) The client's CPU use while idle with the chat room created and shown.
// (c) Resident memory after (a).
//
// Usage: bench_chat [idle seconds, default 30]
#include "conversations/chat.h"
#include "core/dispatcher.h"
#include "program.h"
#include "protocol/wire.h"
#include "support/raw_server.h"
#include "ui_chat.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>

namespace {

QString chatLine(int i)
{
    const QString line = QStringLiteral("linea numero %1 de la sala").arg(i);
    return wire::buildMessage(u"CHAT", {u"luis", line});
}

} // namespace

int main(int argc, char *argv[])
{
    prepareBenchEnvironment();
    QApplication app(argc, argv);
    const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 30;

    Program program;
    Chat *chat = program.chat();
    chat->show();
    Dispatcher &incoming = program.incoming();

    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 100'000; ++i) {
        incoming.handle(chatLine(i));
        if (i % 1000 == 0)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    std::printf("history filled with %d lines in %.1f s\n",
                chat->ui->txtChat->document()->blockCount() - 1, clock.elapsed() / 1000.0);

    constexpr int kLines = 20'000;
    QList<double> perThousand;
    QElapsedTimer batch;
    clock.restart();
    batch.start();
    for (int i = 0; i < kLines; ++i) {
        incoming.handle(chatLine(100'000 + i));
        QCoreApplication::processEvents();
        if ((i + 1) % 1000 == 0) {
            perThousand.append(batch.nsecsElapsed() / 1e6);
            batch.restart();
        }
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    std::printf("(a) %d lines, one read each: %.0f lines/s; per 1,000 lines: first %.1f ms, "
                "last %.1f ms, slowest %.1f ms\n",
                kLines, kLines / seconds, perThousand.first(), perThousand.last(),
                *std::max_element(perThousand.begin(), perThousand.end()));
    std::printf("(c) RSS after (a): %.1f MiB (peak %.1f MiB), history of %d lines\n",
                currentRssMiB(), peakRssMiB(), chat->ui->txtChat->document()->blockCount() - 1);

    QEventLoop settle;
    QTimer::singleShot(500, &settle, &QEventLoop::quit);
    settle.exec();
    const double cpuBefore = processCpuSeconds();
    clock.restart();
    QEventLoop idle;
    QTimer::singleShot(idleSeconds * 1000, Qt::PreciseTimer, &idle, &QEventLoop::quit);
    idle.exec();
    const double cpu = processCpuSeconds() - cpuBefore;
    std::printf("(b) idle with the chat room shown, %.1f s: %.3f s of CPU = %.2f%% of one core\n",
                clock.elapsed() / 1000.0, cpu, 100.0 * cpu / (clock.elapsed() / 1000.0));
    return 0;
}
