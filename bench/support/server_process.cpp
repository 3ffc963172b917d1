#include "support/server_process.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <utility>

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    if (condition())
        return true;
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition() || clock.elapsed() > timeoutMs)
            loop.quit();
    });
    poll.start(10);
    loop.exec();
    return condition();
}

namespace {

QString &program()
{
    static QString path = QString::fromLocal8Bit(KORVEX_SERVER_PROGRAM);
    return path;
}

} // namespace

void ServerProcess::setProgram(const QString &path)
{
    program() = path;
}

ServerProcess::ServerProcess(QString address) : m_address(std::move(address))
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                     [this] { m_log += m_process.readAllStandardOutput(); });
}

ServerProcess::~ServerProcess()
{
    stop();
}

bool ServerProcess::start(const QStringList &options)
{
    m_log.clear();
    QStringList arguments{QStringLiteral("--listen"), m_address, QStringLiteral("--state-dir"),
                          m_state.path()};
    if (m_raiseLimits) {
        const QString many = QStringLiteral("1000000");
        arguments << QStringLiteral("--max-connections-per-address") << many
                  << QStringLiteral("--max-not-logged-in-per-address") << many
                  << QStringLiteral("--max-logins-per-address") << many;
    }
    m_process.start(program(), arguments + options);
    if (waitFor([this] { return m_log.contains("listening"); }, 10000))
        return true;
    std::printf("  the server (%s) did not start: %s %s\n", qPrintable(program()),
                qPrintable(m_process.errorString()), m_log.constData());
    return false;
}

void ServerProcess::stop()
{
    // As a service is stopped: it frees everything, and a sanitizer build reports leaks then.
    m_process.terminate();
    if (!m_process.waitForFinished(10'000))
        m_process.kill();
    m_process.waitForFinished();
    m_log += m_process.readAllStandardOutput();
}

void ServerProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished();
    m_log += m_process.readAllStandardOutput();
}

double ServerProcess::cpuSeconds() const
{
    std::ifstream stat("/proc/" + std::to_string(m_process.processId()) + "/stat");
    std::string field;
    // The command name may hold blanks; it ends at the last ')'. Fields 3 to 13 come next.
    std::getline(stat, field, ')');
    for (int i = 3; i <= 13; ++i)
        stat >> field;
    long long user = 0;
    long long system = 0;
    stat >> user >> system;
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

double HostSteal::lap()
{
    // cpu user nice system idle iowait irq softirq steal
    std::ifstream stat("/proc/stat");
    std::string name;
    long long total = 0;
    long long steal = 0;
    stat >> name;
    for (int i = 1; i <= 8; ++i) {
        long long ticks = 0;
        stat >> ticks;
        total += ticks;
        if (i == 8)
            steal = ticks;
    }
    const long long ofTotal = total - std::exchange(m_total, total);
    const long long ofSteal = steal - std::exchange(m_steal, steal);
    return ofTotal > 0 ? 100.0 * double(ofSteal) / double(ofTotal) : 0;
}

namespace {

double statusMiB(qint64 pid, const std::string &field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == field) {
            double kiB = 0;
            status >> kiB;
            return kiB / 1024.0;
        }
    }
    return 0;
}

} // namespace

double ServerProcess::rssMiB() const
{
    return statusMiB(m_process.processId(), "VmRSS:");
}

double ServerProcess::peakMiB() const
{
    return statusMiB(m_process.processId(), "VmHWM:");
}

void printClosings(const ServerProcess &server)
{
    std::map<QString, int> reasons;
    for (const QByteArray &line : server.log().split('\n')) {
        if (const qsizetype at = line.indexOf("disconnected: "); at >= 0)
            ++reasons[QString::fromUtf8(line.mid(at + 14))];
    }
    std::printf("  server's closings:\n");
    for (const auto &[reason, count] : reasons)
        std::printf("    %5d %s\n", count, qPrintable(reason));
    std::printf("  server: %.1f s of CPU, %.1f MiB resident\n", server.cpuSeconds(),
                server.rssMiB());
}
