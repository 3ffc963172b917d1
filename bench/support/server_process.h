#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

// Runs the event loop, idle between events, until the condition holds or the time is up.
bool waitFor(const std::function<bool()> &condition, int timeoutMs);

// korvex-server as a process of its own on a loopback address, so that its CPU time and memory
// are its own. Its log is drained as it comes, so that it never blocks on a full pipe.
class ServerProcess {
public:
    explicit ServerProcess(QString address);
    // The program every ServerProcess runs: the server built beside the benchmarks, unless a
    // benchmark is told another (its --server PATH), such as an earlier build to compare with.
    static void setProgram(const QString &path);
    ~ServerProcess();

    // Starts it with these options besides the address; true once it listens.
    bool start(const QStringList &options = {});
    // Every client of most benchmarks comes from one address, so the limits per address are
    // raised; a benchmark of those limits keeps the server's own.
    void keepLimitsPerAddress() { m_raiseLimits = false; }
    void stop();
    // SIGKILL, as a crash or a power cut would end it: nothing of its own is written; its
    // state folder stays for the next start.
    void kill();
    qint64 pid() const { return m_process.processId(); }
    QString stateFolder() const { return m_state.path(); }

    const QByteArray &log() const { return m_log; }
    // User and system time, from /proc/<pid>/stat.
    double cpuSeconds() const;
    double rssMiB() const;
    // The most it has been resident (VmHWM).
    double peakMiB() const;

private:
    QString m_address;
    // Its key and certificate: made on the first start, kept across restarts.
    QTemporaryDir m_state;
    QProcess m_process;
    QByteArray m_log;
    bool m_raiseLimits = true;
};

// Of this machine's processors' time since the last lap, the share its host took for others
// (steal, from /proc/stat), in percent: on a shared virtual machine the figures swing with it.
class HostSteal {
public:
    HostSteal() { lap(); }
    double lap();

private:
    long long m_steal = 0;
    long long m_total = 0;
};

// The server's closings by reason, counted from its log, then its CPU time and memory.
void printClosings(const ServerProcess &server);
