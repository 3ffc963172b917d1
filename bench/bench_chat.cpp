// Conversation windows under a flood, with every line kept on disk as the user has it.
//
//   build/release/bench/bench_chat flood [private] [room] [--lines N]
//   build/release/bench/bench_chat [idle seconds, default 30]
//
// flood: a framed server of this program's own (RawServer on a thread, 127.0.0.58, in clear,
// agreed to as a user would) logs the real client in as luis over the client's own socket, then
// writes it N (1,000,000) private lines from ana, then N lines of the room from ana with the
// room's window shown, as fast as the client takes them: never more than 4,096 lines ahead of
// those handed to its history, so that what waits unread stays small. The first private line
// opens its window, as it does for the user. After 10,000, 100,000 and N lines of each kind,
// once the client has handled them all and its event loop has run a second more (the lines on
// disk, the windows drawn): its resident memory (VmRSS), the heap it has in use (mallinfo2:
// allocated and not freed, every arena and mapped block), the resident part of its [heap]
// mapping (/proc/self/smaps), what each line past the 10,000th cost, the lines a second since
// the previous point (the settling second left out) and the lines a second of the client's own
// CPU time, the figure that holds on a busy machine. One kind alone runs in a fresh process;
// both run one after the other in one.
//
//   unshare --net sh -c "ip link set lo up && build/release/bench/bench_chat flood private"
//   unshare --net sh -c "ip link set lo up && build/release/bench/bench_chat flood room"
//
// Main at 14dce47, Release build, offscreen, history kept, 2 cores shared with other builds
// (load average 2 to 10), one run each:
//   before (both kinds in one process, --lines 20000; 1,000,000 private lines would take 47
//   minutes at this rate):
//     private  RSS 10,000: 45.5 MiB, 20,000: 45.9 MiB; 355 lines/s, 1,651 a CPU second
//     room     RSS 10,000: 52.1 MiB, 20,000: 52.6 MiB; 25,052 lines/s, 45,259 a CPU second
//   The private lines were held up by the disk: every RECEIVED waited for its line to be
//   committed, and a commit came every second line (a message is handled a turn of the event
//   loop at a time): strace counted 2,599 fdatasync for 5,000 lines.
//   after the acknowledgements wait for the messages already read (one commit per batch), at
//   7fe1e5a, while a test build ran beside it:
//     private  RSS 10,000: 47.1  100,000: 47.3  1,000,000: 47.6 MiB (+0.5)
//              heap in use 7.0, 6.8, 6.7 MiB; [heap] 8.0, 8.1, 8.4 MiB
//              3,123 lines/s, 6,759 a second of the client's CPU
//     room     RSS 10,000: 50.7  100,000: 50.3  1,000,000: 51.8 MiB (+1.1)
//              heap in use 8.3, 8.0, 8.4 MiB; [heap] 10.2, 10.4, 11.9 MiB
//              10,400 lines/s, 24,690 a second of the client's CPU
//   (an earlier run of the same, the machine less busy: private +0.5 MiB, 3,007 lines/s, 7,560
//   a CPU second; room +1.5 MiB, 13,976 lines/s, 36,166 a CPU second)
// The aim, after 1,000,000 lines within 5 MB of the figure after 10,000, holds for both kinds.
// The rates do not reach 20,000 private and 77,000 room lines a second on this machine. perf
// (a private flood, 20,000 lines) put the client's time in HistoryStore::holds (27%: a statement
// prepared per line, and a walk through the lines waiting for the disk), the status text's clock
// (10%: glibc checks /etc/localtime at every local time), the batches' commits (9%) and the
// window's refresh (5%).
// Since then the duplicate check's statement is prepared once, the status clock's text is made
// once a second, and the lines waiting for the disk are looked for by their refs' count, not
// walked (17% of a private flood); at a3cc117, a quiet machine, one process for each kind:
//     private  RSS 10,000: 49.4  100,000: 52.2  1,000,000: 52.6 MiB (+3.3)
//              heap in use 8.3, 8.5, 9.6 MiB; [heap] 9.8, 12.5, 13.2 MiB
//              19,338 lines/s, 20,036 a second of the client's CPU
//     room     RSS 10,000: 48.9  100,000: 53.2  1,000,000: 53.9 MiB (+5.0)
//              heap in use 7.7, 10.0, 8.7 MiB; [heap] 9.2, 13.5, 14.2 MiB
//              42,622 lines/s, 45,032 a second of the client's CPU
// The room's rate is short of 77,000: its profile is flat (a fifth in the kernel's reads,
// writes and polls, the rest spread over the socket, the dispatcher, the history's batches
// and the window's document).
//
// Without "flood", the windows are fed through the data-arrival handler directly:
// (a) 20,000 CHAT lines handed to the handler, one read each, with the event loop running
//     between reads, into a room window that has already received 100,000 lines.
// (b) The client's CPU use while idle with the chat room created and shown.
// (c) Resident memory of a shown room window when empty, after 100,000 room lines, and after
//     100,000 private lines more in one private window.
#include "conversations/chat.h"
#include "conversations/history.h"
#include "conversations/pm.h"
#include "core/conversations.h"
#include "core/dispatcher.h"
#include "core/settings.h"
#include "program.h"
#include "protocol/wire.h"
#include "support/raw_server.h"
#include "support/server_process.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

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

// As our server sends a private line where it keeps them: with the line's id and when it took it.
QString keptLine(int i)
{
    const QString line = QStringLiteral("linea privada numero %1 para luis").arg(i);
    const QString id = QStringLiteral("%1").arg(i, wire::LineIdDigits, 16, QLatin1Char('0'));
    return wire::buildMessage(u"PM", {u"luis", u"ana", line, id, u"2024-05-06T10:00:00Z"});
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

int windows(int idleSeconds)
{
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

// --- The flood from a framed server ---

const char *const kFloodAddressDefault = "127.0.0.58";
constexpr qint64 kAheadDefault = 4096;
constexpr qint64 kBatch = 256;

// The heap in use: every arena's allocated chunks and the blocks mapped on their own.
double heapInUseMiB()
{
    const struct mallinfo2 heap = mallinfo2();
    return double(heap.uordblks + heap.hblkhd) / (1024.0 * 1024.0);
}

// The heap as the kernel sees it: the resident part of the [heap] mapping in /proc/self/smaps.
double smapsHeapMiB()
{
    std::ifstream smaps("/proc/self/smaps");
    bool inHeap = false;
    for (std::string line; std::getline(smaps, line);) {
        if (line.find('-') < line.find(' '))
            inHeap = line.ends_with("[heap]");
        else if (inHeap && line.starts_with("Rss:"))
            return std::strtod(line.c_str() + 4, nullptr) / 1024.0;
    }
    return 0;
}

// What the server thread and the client's thread share. The server writes lines of the kind
// asked for up to `allowed`, staying kAhead ahead of `handled` at most.
enum Kind { Private, Room, PrivateWithoutIds };

struct Flow {
    std::atomic<int> kind{-1};
    std::atomic<qint64> allowed{0};
    std::atomic<qint64> handled{0};
    std::atomic<bool> loggedIn{false};
    // How far the server may write ahead of the lines handled; 0 for as far as the kernel takes.
    qint64 ahead = kAheadDefault;
    std::atomic<bool> done{false};
    // RECEIVED messages the client has sent: one for each line with an id it stored.
    std::atomic<qint64> acknowledged{0};
};

QByteArray framedBytes(const QString &message)
{
    return wire::toCodePage(message) + wire::Terminator;
}

void serve(RawServer &server, Flow &flow)
{
    if (!server.accept())
        return;
    // Framing offered, without encryption (the offer is one read, unframed): the client, allowed
    // clear text here, accepts it and logs in framed.
    server.write(wire::toCodePage(wire::buildMessage(wire::Offer, {wire::Framing})));
    const QByteArray expected =
        wire::marker(wire::Accept) + framedBytes(wire::buildMessage(wire::Login, {u"luis"}));
    if (server.readAtLeast(expected.size()) != expected)
        std::fprintf(stderr, "the client's log-in was not as expected\n");
    server.write(wire::marker(wire::Accepted) + framedBytes(wire::buildMessage(wire::Nick, {u"luis"})));
    flow.loggedIn = true;
    int kind = -1;
    qint64 sent = 0;
    const QByteArray received = wire::toCodePage(wire::Received);
    while (!flow.done) {
        // What the client sends is read, so that it never waits on a full connection.
        flow.acknowledged += server.readWaiting().count(received);
        if (flow.kind != kind)
            kind = flow.kind, sent = 0;
        const qint64 until = flow.ahead > 0 ? std::min<qint64>(flow.allowed, flow.handled + flow.ahead)
                                            : qint64(flow.allowed);
        if (kind < 0 || sent >= until) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            continue;
        }
        QByteArray batch;
        for (const qint64 end = std::min(until, sent + kBatch); sent < end; ++sent) {
            batch += framedBytes(kind == Private ? keptLine(int(sent))
                                 : kind == Room  ? chatLine(int(sent))
                                                 : privateLine(int(sent)));
        }
        if (!server.write(batch))
            return;
    }
}

struct Point {
    qint64 lines;
    double rss;
    double heap;
    double smapsHeap;
    double seconds; // since the previous point
    double cpu;     // of the client's thread, since the previous point
};

// CPU time of the calling thread, user and system: the client's, whatever else runs.
double threadCpuSeconds()
{
    timespec used{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return double(used.tv_sec) + double(used.tv_nsec) / 1e9;
}

// One kind of line up to each point in turn; the figures at each.
std::vector<Point> floodKind(Flow &flow, int kind, const std::vector<qint64> &points)
{
    flow.handled = 0;
    flow.allowed = 0;
    flow.kind = kind;
    std::vector<Point> figures;
    for (const qint64 lines : points) {
        QElapsedTimer clock;
        clock.start();
        const double cpuBefore = threadCpuSeconds();
        flow.allowed = lines;
        QEventLoop loop;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (flow.handled >= lines)
                loop.quit();
        });
        check.start(1);
        loop.exec();
        const double seconds = clock.nsecsElapsed() / 1e9;
        const double cpu = threadCpuSeconds() - cpuBefore;
        runEventsFor(1000);
        const double count =
            double(lines - (figures.empty() ? 0 : figures.back().lines));
        figures.push_back({lines, currentRssMiB(), heapInUseMiB(), smapsHeapMiB(), seconds, cpu});
        std::printf("  %9lld lines: RSS %7.1f MiB, heap %7.1f MiB in use, [heap] %7.1f MiB "
                    "resident; since the last point %6.0f lines/s, %6.0f a second of the "
                    "client's CPU\n",
                    lines, figures.back().rss, figures.back().heap, figures.back().smapsHeap,
                    count / seconds, count / cpu);
        std::fflush(stdout);
    }
    const Point &first = figures.front();
    const Point &last = figures.back();
    double seconds = 0;
    double cpu = 0;
    for (const Point &point : figures)
        seconds += point.seconds, cpu += point.cpu;
    std::printf("  from %lld to %lld lines: RSS %+.1f MiB, heap in use %+.1f MiB, [heap] %+.1f "
                "MiB (%.0f, %.0f and %.0f bytes a line); over all %lld lines %.0f lines/s, %.0f a "
                "second of the client's CPU\n",
                first.lines, last.lines, last.rss - first.rss, last.heap - first.heap,
                last.smapsHeap - first.smapsHeap,
                (last.rss - first.rss) * 1048576.0 / double(last.lines - first.lines),
                (last.heap - first.heap) * 1048576.0 / double(last.lines - first.lines),
                (last.smapsHeap - first.smapsHeap) * 1048576.0 / double(last.lines - first.lines),
                last.lines, double(last.lines) / seconds, double(last.lines) / cpu);
    return figures;
}

int floodFromServer(const QStringList &arguments)
{
    qint64 lines = 1'000'000;
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--lines")); at >= 0)
        lines = arguments.value(at + 1).toLongLong();
    bool privateLines = arguments.contains(QStringLiteral("private"));
    bool roomLines = arguments.contains(QStringLiteral("room"));
    const bool withoutIds = arguments.contains(QStringLiteral("--no-ids"));
    if (!privateLines && !roomLines)
        privateLines = roomLines = true;
    std::vector<qint64> points;
    for (const qint64 point : {10'000LL, 100'000LL})
        if (point < lines)
            points.push_back(point);
    points.push_back(lines);

    const QByteArray address =
        arguments.value(arguments.indexOf(QStringLiteral("--address")) + 1, QString()).toLatin1();
    const char *const where = arguments.contains(QStringLiteral("--address"))
        ? address.constData()
        : kFloodAddressDefault;
    RawServer server(where);
    Flow flow;
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--ahead")); at >= 0)
        flow.ahead = arguments.value(at + 1).toLongLong();
    std::thread serving([&] { serve(server, flow); });
    Program program;
    // Counted as each line reaches the history, in order.
    QObject::connect(&program.core().conversations(), &Conversations::lineAdded, &program,
                     [&](int, const history::Line &) { ++flow.handled; });
    // The user looks at the main window: the lines go to windows not looked at.
    const bool elsewhere = !arguments.contains(QStringLiteral("--looking"));
    const auto lookAway = [&] {
        program.mess()->show();
        program.mess()->activateWindow();
    };
    if (elsewhere) {
        QObject::connect(&program.core().conversations(), &Conversations::shown, &program,
                         [&] { QTimer::singleShot(0, &program, lookAway); });
    }
    program.settings().setClearTextAllowed(QString::fromLatin1(where), true);
    program.login()->logInWith(QStringLiteral("luis"), QString::fromLatin1(where));
    if (!waitFor([&] { return bool(flow.loggedIn); }, 10'000)) {
        std::puts("the client did not log in");
        std::fflush(stdout);
        std::_Exit(1);
    }
    runEventsFor(1000);
    std::printf("logged in: RSS %.1f MiB, heap %.1f MiB\n", currentRssMiB(), heapInUseMiB());
    if (privateLines) {
        std::printf("private lines from ana%s, into their window:\n",
                    withoutIds ? ", without ids" : ", each with its id and time");
        floodKind(flow, withoutIds ? PrivateWithoutIds : Private, points);
        const PM *window = program.PMWindows().window(0);
        std::printf("  %lld lines acknowledged as stored; their window %s, %d lines unread\n",
                    qint64(flow.acknowledged),
                    window && window->isActiveWindow() ? "active" : "not active",
                    program.core().conversations().unread(0));
    }
    if (roomLines) {
        program.chat()->show();
        if (elsewhere)
            lookAway();
        runEventsFor(1000);
        std::printf("room lines, into the room's window (shown):\n");
        floodKind(flow, Room, points);
        std::printf("  the room's window %s, %d lines unread\n",
                    program.chat()->isActiveWindow() ? "active" : "not active",
                    program.core().conversations().unread(Conversations::Room));
    }
    std::printf("peak RSS %.1f MiB\n", peakRssMiB());
    flow.done = true;
    serving.join();
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    prepareBenchEnvironment();
    QApplication app(argc, argv);
    const QStringList arguments = QApplication::arguments().mid(1);
    if (arguments.value(0) == QStringLiteral("flood"))
        return floodFromServer(arguments);
    return windows(argc > 1 ? std::atoi(argv[1]) : 30);
}
