// The relay server as a process of its own, with its default options, on a loopback address:
// (a) protocol clients in the chat room, each saying one line a second: the delivery latency
//     from the sender's write to each member's read, the server's CPU use and its memory;
// (b) the real client in the room while protocol clients say lines at rising rates: which lines
//     its chat history shows intact. The client takes all it has pending at a read as one
//     message, so two lines that reach it together show as one garbled line and a lost one.
//
//   build/bench/bench/bench_server [--seconds N] [--step-seconds S] [--rates 25,50,...]
#include "conversations/chat.h"
#include "conversations/history.h"
#include "program.h"
#include "main_window/login.h"
#include "protocol/wire.h"
#include "server/server_config.h"
#include "support/raw_server.h"
#include "support/server_process.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

const QString kAddress = QStringLiteral("127.0.0.53");
constexpr int kMembers = 50;
const QString kReader = QStringLiteral("lector");

// What each sender of (b) says at most, in lines a second: three quarters of the server's
// bound, so that a sender whose timer fires late and catches up is never closed for it.
const double kSenderRate = 0.75 * ServerConfig{}.maxMessagesPerSecond;

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Waits until the figure has stayed the same for quietMs.
bool waitUntilSettled(const std::function<qint64()> &figure, int quietMs, int timeoutMs)
{
    qint64 last = figure();
    QElapsedTimer still;
    still.start();
    return waitFor(
        [&] {
            const qint64 now = figure();
            if (now != last) {
                last = now;
                still.restart();
            }
            return still.elapsed() >= quietMs;
        },
        timeoutMs);
}

QString nickname(char16_t prefix, int number)
{
    return QChar(prefix) + QStringLiteral("%1").arg(number, 2, 10, QLatin1Char('0'));
}

struct ChatLine {
    qint64 id = 0;
    int sender = 0;
    qint64 sentNs = 0;
};

// The steady clock is the same for every client in this process, so a receiver can tell how
// long the line took.
QString lineText(qint64 id, int sender, qint64 sentNs)
{
    return QStringLiteral("line %1 from %2 sent %3 ns.").arg(id).arg(sender).arg(sentNs);
}

// Only a whole line parses: one with another message's start glued to it does not.
std::optional<ChatLine> parseLine(const QString &text)
{
    static const QRegularExpression pattern(
        QStringLiteral("^line (\\d+) from (\\d+) sent (\\d+) ns\\.$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    return ChatLine{match.captured(1).toLongLong(), match.captured(2).toInt(),
                    match.captured(3).toLongLong()};
}

// Cuts a read into messages, each starting with a command word and a separator, so that a read
// that holds several is still understood, and counted.
QList<wire::Message> splitRead(const QString &text)
{
    static const QRegularExpression start(
        QStringLiteral("(?:NICK|ENTER|CHAT|LEAVE|LOGOUT|MESSAGE|PM|IGNORE|BOOT)")
        + QRegularExpression::escape(wire::FieldSeparator));
    QList<qsizetype> starts;
    for (auto it = start.globalMatch(text); it.hasNext();)
        starts.append(it.next().capturedStart());
    QList<wire::Message> messages;
    for (qsizetype i = 0; i < starts.size(); ++i) {
        const qsizetype end = i + 1 < starts.size() ? starts[i + 1] : text.size();
        messages.append(wire::Message(text.mid(starts[i], end - starts[i])));
    }
    return messages;
}

// A user of the protocol on a plain socket: logs in, enters the room once the server has taken
// the log-in (so that the two reach it in reads of their own), says stamped lines, and hands
// every line it receives to its owner.
class ProtocolClient : public QObject {
public:
    using LineHandler = std::function<void(const ChatLine &line, qint64 readNs)>;

    ProtocolClient(const QString &nickname, int number, LineHandler onLine,
                   QObject *parent = nullptr)
        : QObject(parent),
          m_nickname(nickname),
          m_number(number),
          m_onLine(std::move(onLine)),
          m_socket(new QTcpSocket(this))
    {
        connect(m_socket, &QTcpSocket::connected, this, [this] {
            // Each message its own segment, at once, as the server does it.
            m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            send(wire::buildMessage(u"LOGIN", {m_nickname}));
        });
        connect(m_socket, &QTcpSocket::readyRead, this, &ProtocolClient::read);
        connect(m_socket, &QTcpSocket::disconnected, this, [this] { m_closed = true; });
        connect(m_socket, &QTcpSocket::errorOccurred, this, [this] { m_closed = true; });
    }

    void join() { m_socket->connectToHost(kAddress, wire::ServerPort); }

    // Says line `id`, stamped with the time of the write.
    bool say(qint64 id)
    {
        if (!m_inRoom || m_closed)
            return false;
        send(wire::buildMessage(u"CHAT", {m_nickname, lineText(id, m_number, nowNs())}));
        return true;
    }

    bool inRoom() const { return m_inRoom; }
    bool closed() const { return m_closed; }
    qint64 reads() const { return m_reads; }
    qint64 mergedReads() const { return m_mergedReads; }

private:
    void send(const QString &message)
    {
        m_socket->write(wire::toCodePage(message));
        // Out now rather than when the event loop next runs, so that the stamp is the write's.
        m_socket->flush();
    }

    void read()
    {
        const qint64 readNs = nowNs();
        const QList<wire::Message> messages =
            splitRead(wire::fromCodePage(m_socket->readAll()));
        ++m_reads;
        if (messages.size() > 1)
            ++m_mergedReads;
        for (const wire::Message &message : messages)
            handle(message, readNs);
    }

    void handle(const wire::Message &message, qint64 readNs)
    {
        const QString command = message.command();
        const bool own = message.field(1) == m_nickname;
        if (command == u"NICK" && own && !m_enterSent) {
            m_enterSent = true;
            send(wire::buildMessage(u"ENTER", {m_nickname}));
        } else if (command == u"ENTER" && own) {
            m_inRoom = true;
        } else if (command == u"CHAT" && m_onLine) {
            if (const std::optional<ChatLine> line = parseLine(message.field(2)))
                m_onLine(*line, readNs);
        }
    }

    QString m_nickname;
    int m_number;
    LineHandler m_onLine;
    QTcpSocket *m_socket;
    bool m_enterSent = false;
    bool m_inRoom = false;
    bool m_closed = false;
    qint64 m_reads = 0;
    qint64 m_mergedReads = 0;
};

// Says lines first, first+1, ... at `rate` lines a second in all, line k from client k mod n:
// each client's lines are n/rate seconds apart and the clients' phases are spread evenly.
// Consecutive lines come from different clients, so catching up never has one client write
// twice in a row.
class Pacer : public QObject {
public:
    explicit Pacer(std::vector<ProtocolClient *> clients, QObject *parent = nullptr)
        : QObject(parent), m_clients(std::move(clients)), m_timer(new QTimer(this))
    {
        m_timer->setTimerType(Qt::PreciseTimer);
        connect(m_timer, &QTimer::timeout, this, &Pacer::tick);
    }

    void start(double rate, qint64 first, qint64 count)
    {
        m_rate = rate;
        m_first = first;
        m_count = count;
        m_done = 0;
        m_written = 0;
        m_clock.start();
        m_timer->start(1);
        tick();
    }

    bool done() const { return m_done == m_count; }
    // Lines handed to a socket; a closed client's turns are skipped.
    qint64 written() const { return m_written; }

private:
    void tick()
    {
        const auto elapsed = double(m_clock.nsecsElapsed()) / 1e9;
        const qint64 due = std::min(m_count, qint64(elapsed * m_rate) + 1);
        for (; m_done < due; ++m_done) {
            const qint64 id = m_first + m_done;
            if (m_clients[std::size_t(id) % m_clients.size()]->say(id))
                ++m_written;
        }
        if (done())
            m_timer->stop();
    }

    std::vector<ProtocolClient *> m_clients;
    QTimer *m_timer;
    QElapsedTimer m_clock;
    double m_rate = 0;
    qint64 m_first = 0;
    qint64 m_count = 0;
    qint64 m_done = 0;
    qint64 m_written = 0;
};

double percentileMs(const std::vector<qint64> &sorted, double fraction)
{
    if (sorted.empty())
        return 0;
    const auto rank = std::size_t(std::ceil(fraction * double(sorted.size())));
    return double(sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1]) / 1e6;
}

template <typename Figure>
qint64 total(const std::vector<ProtocolClient *> &clients, Figure figure)
{
    qint64 sum = 0;
    for (const ProtocolClient *client : clients)
        sum += figure(*client);
    return sum;
}

void measureLatency(int seconds)
{
    const ServerConfig defaults;
    std::printf("(a) %d protocol clients in the chat room, each saying 1 line/s for %d s\n",
                kMembers, seconds);
    std::printf("    each client receives %d lines/s; the server paces each client at up to "
                "%lld messages/s (gap %lld ms)\n",
                kMembers, 1000LL / std::max<long long>(defaults.gap.count(), 1),
                static_cast<long long>(defaults.gap.count()));
    ServerProcess server(kAddress);
    if (!server.start())
        return;

    std::vector<qint64> latencies;
    latencies.reserve(std::size_t(kMembers) * kMembers * seconds);
    std::vector<std::unique_ptr<ProtocolClient>> owned;
    std::vector<ProtocolClient *> members;
    for (int i = 0; i < kMembers; ++i) {
        owned.push_back(std::make_unique<ProtocolClient>(
            nickname(u'p', i), i, [&latencies](const ChatLine &line, qint64 readNs) {
                latencies.push_back(readNs - line.sentNs);
            }));
        members.push_back(owned.back().get());
        members.back()->join();
    }
    const auto inRoom = [&] { return total(members, [](auto &c) { return c.inRoom(); }); };
    if (!waitFor([&] { return inRoom() == kMembers; }, 30000)) {
        std::printf("  only %lld of %d clients entered the room\n",
                    static_cast<long long>(inRoom()), kMembers);
        return;
    }
    // The NICK and ENTER messages the server still has queued are no part of the run.
    waitUntilSettled([&] { return total(members, [](auto &c) { return c.reads(); }); }, 300,
                     10000);

    const auto mergedReads = [&] {
        return total(members, [](auto &c) { return c.mergedReads(); });
    };
    const qint64 mergedBefore = mergedReads();
    Pacer pacer(members);
    const double cpuBefore = server.cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    pacer.start(kMembers, 0, qint64(kMembers) * seconds);
    waitFor([&] { return pacer.done(); }, seconds * 1000 + 10000);
    const qint64 expected = pacer.written() * kMembers;
    // Late deliveries get a few seconds; what has not come by then counts as lost.
    waitFor([&] { return qint64(latencies.size()) >= expected; }, 5000);
    const double cpu = server.cpuSeconds() - cpuBefore;
    const double elapsed = double(wall.nsecsElapsed()) / 1e9;

    std::sort(latencies.begin(), latencies.end());
    std::printf("  lines sent                %lld\n", static_cast<long long>(pacer.written()));
    std::printf("  deliveries                %lld expected, %zu received\n",
                static_cast<long long>(expected), latencies.size());
    std::printf("  latency, write to read    p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                percentileMs(latencies, 0.50), percentileMs(latencies, 0.99),
                percentileMs(latencies, 1.0));
    std::printf("  server CPU                %.2f%% of one core (%.2f s over %.1f s)\n",
                100.0 * cpu / elapsed, cpu, elapsed);
    std::printf("  server RSS at the end     %.1f MiB\n", server.rssMiB());
    std::printf("  reads holding >1 message  %lld\n",
                static_cast<long long>(mergedReads() - mergedBefore));
    std::printf("  clients closed            %lld\n",
                static_cast<long long>(total(members, [](auto &c) { return c.closed(); })));
}

// The senders of (b). They live on a thread of their own, so that reading the room's traffic
// does not hold up the real client's event loop, which decides whether its reads merge. The
// first sender also records which lines the server relayed intact, so that a loss at the
// server is not blamed on the client.
class SenderPool : public QObject {
public:
    struct State {
        qint64 inRoom = 0;
        qint64 closed = 0;
        bool stepDone = false;
        qint64 written = 0;
        qint64 relayed = 0;
    };

    explicit SenderPool(int count) : m_count(count) {}

    // This and the rest run on the pool's thread.
    void join()
    {
        for (int i = 0; i < m_count; ++i) {
            ProtocolClient::LineHandler witness;
            if (i == 0)
                witness = [this](const ChatLine &line, qint64) {
                    if (line.id >= m_first && line.id < m_first + m_stepCount)
                        ++m_relayed;
                };
            m_senders.push_back(new ProtocolClient(nickname(u's', i), i, witness, this));
            m_senders.back()->join();
        }
        m_pacer = new Pacer(m_senders, this);
    }

    void startStep(double rate, qint64 first, qint64 count)
    {
        m_first = first;
        m_stepCount = count;
        m_relayed = 0;
        m_pacer->start(rate, first, count);
    }

    State state() const
    {
        State state;
        state.inRoom = total(m_senders, [](auto &c) { return c.inRoom(); });
        state.closed = total(m_senders, [](auto &c) { return c.closed(); });
        state.stepDone = m_pacer && m_pacer->done();
        state.written = m_pacer ? m_pacer->written() : 0;
        state.relayed = m_relayed;
        return state;
    }

private:
    int m_count;
    std::vector<ProtocolClient *> m_senders;
    Pacer *m_pacer = nullptr;
    qint64 m_first = 0;
    qint64 m_stepCount = 0;
    qint64 m_relayed = 0;
};

// The pool on its thread; the main thread asks it things with blocking calls.
class SenderThread {
public:
    explicit SenderThread(int count) : m_pool(new SenderPool(count))
    {
        m_pool->moveToThread(&m_thread);
        QObject::connect(&m_thread, &QThread::finished, m_pool, &QObject::deleteLater);
        m_thread.start();
        QMetaObject::invokeMethod(m_pool, [pool = m_pool] { pool->join(); });
    }

    ~SenderThread()
    {
        m_thread.quit();
        m_thread.wait();
    }

    void startStep(double rate, qint64 first, qint64 count)
    {
        QMetaObject::invokeMethod(m_pool,
                                  [=, pool = m_pool] { pool->startStep(rate, first, count); });
    }

    SenderPool::State state() const
    {
        SenderPool::State state;
        QMetaObject::invokeMethod(
            m_pool, [&, pool = m_pool] { state = pool->state(); }, Qt::BlockingQueuedConnection);
        return state;
    }

private:
    QThread m_thread;
    SenderPool *m_pool;
};

QString history(Program &program)
{
    return program.chat()->history()->toPlainText();
}

// Logs the real client in as a user would, and enters the chat room with the main window's
// button.
bool joinRealClient(Program &program, const ServerProcess &server)
{
    Login *login = program.login();
    login->logInWith(kReader, kAddress);
    // Only once the server has taken the LOGIN, so that the ENTER reaches it in a read of its
    // own.
    const QByteArray loggedIn = "logged in as \"" + kReader.toLatin1() + '"';
    if (!waitFor([&] { return server.log().contains(loggedIn); }, 10000))
        return false;
    program.mess()->findChild<QAbstractButton *>(QStringLiteral("cmdChat"))->click();
    const QString entered = QStringLiteral("<") + kReader + QStringLiteral(" Entro a la charla>");
    return waitFor([&] { return history(program).contains(entered); }, 10000);
}

struct Shown {
    qint64 intact = 0;
    qint64 garbled = 0;
};

// Which of the lines first..first+count-1 the chat history shows intact, and how many of its
// lines of that range have something glued to them: each of those is a read that held more
// than one message.
Shown inHistory(const QString &text, qint64 first, qint64 count)
{
    static const QRegularExpression lineStart(QStringLiteral("^line (\\d+) from "));
    const QString writerEnd = QStringLiteral(" : ");
    std::set<qint64> intact;
    Shown shown;
    for (QString row : text.split(u'\n')) {
        if (row.endsWith(u'\r'))
            row.chop(1);
        const qsizetype colon = row.indexOf(writerEnd);
        if (colon < 0)
            continue;
        const QString said = row.mid(colon + writerEnd.size());
        const QRegularExpressionMatch match = lineStart.match(said);
        const qint64 id = match.hasMatch() ? match.captured(1).toLongLong() : -1;
        if (id < first || id >= first + count)
            continue;
        if (parseLine(said))
            intact.insert(id);
        else
            ++shown.garbled;
    }
    shown.intact = qint64(intact.size());
    return shown;
}

void printServerClosures(const QByteArray &log)
{
    for (const QByteArray &row : log.split('\n')) {
        if (row.contains("disconnected:"))
            std::printf("  server log: %s\n", row.constData());
    }
}

void measureRealClient(const QList<int> &rates, double stepSeconds)
{
    const int maxRate = *std::max_element(rates.begin(), rates.end());
    const int senderCount = std::max(1, int(std::ceil(maxRate / kSenderRate)));
    std::printf("\n(b) the real client in the chat room; %d protocol senders (%.0f lines/s "
                "each at most) say lines at a total rate, %.1f s per step\n",
                senderCount, kSenderRate, stepSeconds);
    std::printf("    above %lld lines/s the server queues lines for each client and sends them at "
                "its pace, so a step takes longer to drain\n",
                1000LL / std::max<long long>(ServerConfig{}.gap.count(), 1));
    ServerProcess server(kAddress);
    if (!server.start())
        return;
    Program program;
    if (!joinRealClient(program, server)) {
        std::printf("  the real client did not get into the room\n");
        return;
    }
    SenderThread senders(senderCount);
    if (!waitFor([&] { return senders.state().inRoom == senderCount; }, 30000)) {
        std::printf("  not every sender got into the room\n");
        return;
    }
    const auto shownRows = [&] { return qint64(program.chat()->history()->blockCount()); };
    waitUntilSettled(shownRows, 500, 10000);

    std::printf("  relayed: lines a sender got back whole from the server; intact: lines the "
                "client's history shows whole;\n  merged reads: garbled lines in the history, "
                "each a read that held more than one line\n");
    std::printf("  %8s %8s %9s %8s %6s %15s %15s\n", "lines/s", "sent", "relayed", "intact",
                "lost", "merged reads", "senders closed");
    qint64 next = 0;
    int highestClean = 0;
    bool cleanSoFar = true;
    for (const int rate : rates) {
        const auto count = qint64(std::llround(rate * stepSeconds));
        senders.startStep(rate, next, count);
        waitFor([&] { return senders.state().stepDone; }, int(stepSeconds * 1000) + 10000);
        // Drained when neither the relayed count nor the history has grown for a while.
        waitUntilSettled([&] { return senders.state().relayed + shownRows(); }, 500, 60000);
        const SenderPool::State state = senders.state();
        const Shown shown = inHistory(history(program), next, count);
        const qint64 lost = state.written - shown.intact;
        std::printf("  %8d %8lld %9lld %8lld %6lld %15lld %15lld\n", rate,
                    static_cast<long long>(state.written), static_cast<long long>(state.relayed),
                    static_cast<long long>(shown.intact), static_cast<long long>(lost),
                    static_cast<long long>(shown.garbled), static_cast<long long>(state.closed));
        cleanSoFar = cleanSoFar && lost == 0 && state.written == count;
        if (cleanSoFar)
            highestClean = rate;
        next += count;
    }
    if (highestClean == rates.last())
        std::printf("  no line lost at any rate tried; the highest is %d lines/s, so the limit "
                    "lies above it\n",
                    highestClean);
    else if (highestClean > 0)
        std::printf("  highest rate with no line lost, at it and every rate below: %d lines/s\n",
                    highestClean);
    else
        std::printf("  lines were lost at every rate tried\n");
    printServerClosures(server.log());
}

QList<int> parseRates(const QString &text)
{
    QList<int> rates;
    for (const QString &piece : text.split(u',')) {
        const int rate = piece.trimmed().toInt();
        if (rate > 0)
            rates.append(rate);
    }
    return rates;
}

} // namespace

int main(int argc, char *argv[])
{
    prepareBenchEnvironment();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    // Each figure shows as soon as it is known, also when the output goes to a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    QCommandLineParser parser;
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("Length of (a) in seconds."),
                                           QStringLiteral("N"), QStringLiteral("30"));
    const QCommandLineOption stepOption(QStringLiteral("step-seconds"),
                                        QStringLiteral("Length of each step of (b) in seconds."),
                                        QStringLiteral("S"), QStringLiteral("3"));
    const QCommandLineOption ratesOption(QStringLiteral("rates"),
                                         QStringLiteral("Total lines/s of the steps of (b)."),
                                         QStringLiteral("LIST"),
                                         QStringLiteral("25,50,100,150,200,250,300"));
    parser.addOptions({secondsOption, stepOption, ratesOption});
    parser.addHelpOption();
    parser.process(app);
    const int seconds = std::max(1, parser.value(secondsOption).toInt());
    const double stepSeconds = std::max(0.5, parser.value(stepOption).toDouble());
    const QList<int> rates = parseRates(parser.value(ratesOption));
    if (rates.isEmpty()) {
        std::fprintf(stderr, "no rate in --rates\n");
        return 2;
    }

    std::printf("to reproduce: build/bench/bench/bench_server --seconds %d --step-seconds %g "
                "--rates %s\n",
                seconds, stepSeconds, qPrintable(parser.value(ratesOption)));
    std::printf("server: %s --listen %s (port %d)\n\n", KORVEX_SERVER_PROGRAM,
                qPrintable(kAddress), int(wire::ServerPort));
    measureLatency(seconds);
    measureRealClient(rates, stepSeconds);
    return 0;
}
