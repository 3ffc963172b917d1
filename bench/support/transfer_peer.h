#pragma once

#include "support/raw_transfers.h"

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTemporaryFile>

#include <vector>

// The raw peers of a files benchmark as processes of their own, so that each can be killed,
// and its memory and CPU are its own: the benchmark's program run again with --peer first.
//
//   --peer transfers SERVER [--progress PATH] [--at NS] [--ask NS] JOB...
//        RawTransfers, one loop for every job, from that time (CLOCK_MONOTONIC) on, each
//        sending its request once its handshake is done and the --ask time has come:
//        up,FROM,TICKET,SIZE,SEED  or  down,FROM,TICKET,SIZE,SEED,DIGEST|-,PATH|-
//   --peer sink ADDRESS SUITES SIZE SEED                tlsSink()
//   --peer source ADDRESS PORT SUITES SIZE SEED         tlsSource()
//
// A transfers peer prints a line a job as it ends, "job I ok|fail FROM MOVED READY_NS START_NS
// END_NS CIPHER WHY", then "peer VMHWM_KB CPU_S".
bool isPeer(int argc, char **argv);
int peerMain(int argc, char **argv);

// One such process seen from the benchmark, which pumps its own events meanwhile.
class PeerProcess {
public:
    struct Ended {
        bool ok = false;
        qint64 from = -1;
        qint64 moved = 0;
        qint64 readyNs = 0;
        qint64 startNs = 0;
        qint64 endNs = 0;
        QByteArray cipher;
        QByteArray why;
    };

    PeerProcess() = default;
    ~PeerProcess();

    // A transfers peer; its jobs' progress is shared with it, in a file of its own. With a time,
    // its jobs begin then (monotonicNs()), so that peers started one by one begin together;
    // with a second, they send their requests then, their handshakes done.
    void startTransfers(const char *server, const std::vector<RawTransfers::Job> &jobs,
                        qint64 atNs = 0, qint64 askNs = 0);
    void start(const QStringList &arguments);
    // Where each job is now (the upload's bytes handed to TLS, the download's taken).
    qint64 progress(size_t job) const;
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    qint64 pid() const { return m_process.processId(); }
    // SIGKILL, and waits for it to be gone.
    void kill();
    // The lines it printed so far, read as they come.
    const QList<QByteArray> &lines();
    // Its jobs' ends once it has exited, in order; and its VmHWM in MiB and CPU in s.
    std::vector<Ended> results();
    double peakMiB();
    double cpuSeconds();

private:
    QProcess m_process;
    QTemporaryFile m_shared;
    qint64 *m_progress = nullptr;
    size_t m_jobs = 0;
    QList<QByteArray> m_lines;
    QByteArray m_tail;
};
