// Runs korvex-server in a process of its own, logs the client's own socket in, has the
// administrator send a burst of notices, and counts the reads on the client's side that held
// more than one message, for each gap: once with a client that reads at once, once with one that
// pauses 60 ms with a nested event loop on every read, as the client does for NICK. Also shows
// the deepest nesting of the client's data-arrival events.
//
//   bench_merges [--count N] [--trials T] [--gaps 0,1,2,5,10] [PATH/korvex-server]
#include "protocol/client_socket.h"
#include "protocol/wire.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTextStream>
#include <QTimer>

#include <chrono>
#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

const QString kAddress = QStringLiteral("127.0.0.29");

void pause(std::chrono::milliseconds time)
{
    QEventLoop loop;
    QTimer::singleShot(time, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until the condition holds or the time is up.
bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

struct Outcome {
    int reads = 0;
    int mergedReads = 0;
    int messagesInMergedReads = 0;
    int messages = 0;
    int deepest = 0;
    qint64 ms = 0;
    bool complete = false;
};

Outcome run(const QString &program, int gap, int count, bool busy)
{
    Outcome outcome;
    QProcess server;
    server.start(program, {QStringLiteral("--listen"), kAddress, QStringLiteral("--gap"),
                           QString::number(gap)});
    QByteArray log;
    const bool listening = waitFor(
        [&] {
            log += server.readAllStandardOutput();
            return log.contains("listening");
        },
        10000);
    if (!listening) {
        std::fprintf(stderr, "the server did not start: %s\n", log.constData());
        return outcome;
    }

    ClientSocket socket;
    bool loggedIn = false;
    bool counting = false;
    const QString marker = QStringLiteral("MESSAGE") + wire::FieldSeparator;
    QObject::connect(&socket, &ClientSocket::dataArrival, &socket, [&] {
        const QString data = socket.getData();
        if (!counting) {
            loggedIn = loggedIn || data.startsWith(QStringLiteral("NICK"));
            return;
        }
        const int messages = int(data.count(marker));
        ++outcome.reads;
        outcome.messages += messages;
        outcome.deepest = std::max(outcome.deepest, socket.nesting());
        if (messages > 1) {
            ++outcome.mergedReads;
            outcome.messagesInMergedReads += messages;
        }
        if (busy)
            pause(std::chrono::milliseconds(60));
    });
    QObject::connect(&socket, &ClientSocket::connected, &socket,
                     [&] { socket.sendData(wire::buildMessage(u"LOGIN", {u"probe"})); });
    socket.connectTo(kAddress, wire::ServerPort);
    if (!waitFor([&] { return loggedIn; }, 10000)) {
        std::fprintf(stderr, "no log-in\n");
        return outcome;
    }

    counting = true;
    QByteArray commands;
    for (int i = 0; i < count; ++i)
        commands += "msg n" + QByteArray::number(i) + '\n';
    QElapsedTimer clock;
    clock.start();
    server.write(commands);
    outcome.complete = waitFor(
        [&] {
            server.readAllStandardOutput();
            return outcome.messages >= count && socket.nesting() == 0;
        },
        120000);
    outcome.ms = clock.elapsed();
    socket.close();
    server.kill();
    server.waitForFinished();
    return outcome;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption countOption(QStringLiteral("count"),
                                         QStringLiteral("Messages per burst."), QStringLiteral("N"),
                                         QStringLiteral("200"));
    const QCommandLineOption trialsOption(QStringLiteral("trials"),
                                          QStringLiteral("Bursts per gap."), QStringLiteral("T"),
                                          QStringLiteral("5"));
    const QCommandLineOption gapsOption(QStringLiteral("gaps"),
                                        QStringLiteral("Gaps to try, in ms."),
                                        QStringLiteral("LIST"), QStringLiteral("0,1,2,5,10"));
    parser.addOptions({countOption, trialsOption, gapsOption});
    parser.addPositionalArgument(QStringLiteral("server"),
                                 QStringLiteral("The korvex-server program (default: the one "
                                                "built beside this benchmark)."));
    parser.process(app);
    const QString program = parser.positionalArguments().value(
        0, QString::fromLocal8Bit(KORVEX_SERVER_PROGRAM));
    const int count = parser.value(countOption).toInt();
    const int trials = parser.value(trialsOption).toInt();

    std::printf("%d notices per burst, %d bursts per row\n", count, trials);
    std::printf("%-6s %-6s %8s %13s %20s %10s %8s\n", "client", "gap ms", "reads", "merged reads",
                "messages in merged", "ms/burst", "nesting");
    for (const bool busy : {false, true}) {
        const auto gaps = parser.value(gapsOption).split(QLatin1Char(','));
        for (const QString &gapText : gaps) {
            const int gap = gapText.toInt();
            Outcome total;
            bool complete = true;
            for (int t = 0; t < trials; ++t) {
                const Outcome one = run(program, gap, count, busy);
                complete = complete && one.complete;
                total.reads += one.reads;
                total.mergedReads += one.mergedReads;
                total.messagesInMergedReads += one.messagesInMergedReads;
                total.ms += one.ms;
                total.deepest = std::max(total.deepest, one.deepest);
            }
            std::printf("%-6s %-6d %8d %13d %20d %10lld %8d%s\n", busy ? "busy" : "idle", gap,
                        total.reads, total.mergedReads, total.messagesInMergedReads,
                        static_cast<long long>(total.ms / std::max(trials, 1)), total.deepest,
                        complete ? "" : "  INCOMPLETE");
            std::fflush(stdout);
        }
    }
    return 0;
}
