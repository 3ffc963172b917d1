#include "support/transfer_peer.h"

#include "support/tls_stream.h"

#include <QCoreApplication>

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

long peakKiB()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            long kiB = 0;
            status >> kiB;
            return kiB;
        }
    }
    return 0;
}

int transfers(int argc, char **argv)
{
    // argv: --peer transfers SERVER [--progress PATH] [--at NS] [--ask NS] JOB...
    const char *server = argv[3];
    int first = 4;
    const char *shared = nullptr;
    qint64 at = 0;
    qint64 ask = 0;
    for (; first + 1 < argc && std::strncmp(argv[first], "--", 2) == 0; first += 2) {
        if (std::strcmp(argv[first], "--progress") == 0)
            shared = argv[first + 1];
        else if (std::strcmp(argv[first], "--ask") == 0)
            ask = std::atoll(argv[first + 1]);
        else
            at = std::atoll(argv[first + 1]);
    }
    qint64 *progress = nullptr;
    std::vector<RawTransfers::Job> jobs;
    for (int i = first; i < argc; ++i) {
        const QList<QByteArray> fields = QByteArray(argv[i]).split(',');
        RawTransfers::Job job;
        job.upload = fields.value(0) == "up";
        job.from = fields.value(1);
        job.ticket = fields.value(2);
        job.size = fields.value(3).toLongLong();
        job.seed = fields.value(4).toULongLong();
        if (!job.upload) {
            job.digest = fields.value(5) == "-" ? QByteArray() : fields.value(5);
            job.path = fields.value(6) == "-" ? QString() : QString::fromLocal8Bit(fields.value(6));
        }
        jobs.push_back(job);
    }
    if (FILE *file = shared ? std::fopen(shared, "r+") : nullptr) {
        void *mapped = ::mmap(nullptr, sizeof(qint64) * jobs.size(), PROT_READ | PROT_WRITE,
                              MAP_SHARED, fileno(file), 0);
        progress = mapped == MAP_FAILED ? nullptr : static_cast<qint64 *>(mapped);
    }
    // Peers started one after the other begin together.
    const timespec when{time_t(at / 1'000'000'000), long(at % 1'000'000'000)};
    while (at > 0 && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
    RawTransfers loop(server, jobs, progress);
    loop.askAt(ask);
    const bool ok = loop.run(30 * 60 * 1000);
    for (size_t i = 0; i < jobs.size(); ++i) {
        const RawTransfers::Result &r = loop.results()[i];
        std::printf("job %zu %s %lld %lld %lld %lld %lld %s %s\n", i, r.ok ? "ok" : "fail",
                    qlonglong(r.from), qlonglong(r.moved), qlonglong(r.readyNs), qlonglong(r.startNs),
                    qlonglong(r.endNs), r.cipher.isEmpty() ? "-" : r.cipher.constData(),
                    r.why.isEmpty() ? "-" : r.why.simplified().constData());
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peer %ld %.3f\n", peakKiB(),
                double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                    + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);
    std::fflush(stdout);
    return ok ? 0 : 1;
}

} // namespace

bool isPeer(int argc, char **argv)
{
    return argc > 2 && std::strcmp(argv[1], "--peer") == 0;
}

int peerMain(int argc, char **argv)
{
    const QByteArray mode = argv[2];
    if (mode == "transfers" && argc > 3)
        return transfers(argc, argv);
    if (mode == "sink" && argc == 7)
        return tlsSink(argv[3], argv[4], std::atoll(argv[5]), std::strtoull(argv[6], nullptr, 10));
    if (mode == "source" && argc == 8)
        return tlsSource(argv[3], std::atoi(argv[4]), argv[5], std::atoll(argv[6]),
                         std::strtoull(argv[7], nullptr, 10));
    std::fprintf(stderr, "unknown peer: %s\n", mode.constData());
    return 2;
}

PeerProcess::~PeerProcess()
{
    if (isRunning())
        kill();
    if (m_progress)
        ::munmap(m_progress, sizeof(qint64) * m_jobs);
}

void PeerProcess::startTransfers(const char *server, const std::vector<RawTransfers::Job> &jobs,
                                 qint64 atNs, qint64 askNs)
{
    m_jobs = jobs.size();
    m_shared.open();
    m_shared.resize(qint64(sizeof(qint64) * m_jobs));
    void *mapped = ::mmap(nullptr, sizeof(qint64) * m_jobs, PROT_READ | PROT_WRITE, MAP_SHARED,
                          m_shared.handle(), 0);
    m_progress = mapped == MAP_FAILED ? nullptr : static_cast<qint64 *>(mapped);
    QStringList arguments{QStringLiteral("transfers"), QString::fromLatin1(server),
                          QStringLiteral("--progress"), m_shared.fileName(),
                          QStringLiteral("--at"), QString::number(atNs),
                          QStringLiteral("--ask"), QString::number(askNs)};
    for (const RawTransfers::Job &job : jobs) {
        QStringList fields{job.upload ? QStringLiteral("up") : QStringLiteral("down"),
                           QString::fromLatin1(job.from), QString::fromLatin1(job.ticket),
                           QString::number(job.size), QString::number(job.seed)};
        if (!job.upload)
            fields << (job.digest.isEmpty() ? QStringLiteral("-") : QString::fromLatin1(job.digest))
                   << (job.path.isEmpty() ? QStringLiteral("-") : job.path);
        arguments << fields.join(u',');
    }
    start(arguments);
}

void PeerProcess::start(const QStringList &arguments)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QCoreApplication::applicationFilePath(),
                    QStringList{QStringLiteral("--peer")} + arguments);
    m_process.waitForStarted();
}

qint64 PeerProcess::progress(size_t job) const
{
    return m_progress && job < m_jobs ? __atomic_load_n(&m_progress[job], __ATOMIC_RELAXED) : 0;
}

void PeerProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished();
}

const QList<QByteArray> &PeerProcess::lines()
{
    m_tail += m_process.readAllStandardOutput();
    for (qsizetype end; (end = m_tail.indexOf('\n')) >= 0; m_tail.remove(0, end + 1))
        m_lines.append(m_tail.left(end));
    return m_lines;
}

std::vector<PeerProcess::Ended> PeerProcess::results()
{
    std::vector<Ended> ended;
    for (const QByteArray &line : lines()) {
        const QList<QByteArray> f = line.split(' ');
        if (f.value(0) != "job" || f.size() < 10)
            continue;
        Ended e;
        e.ok = f[2] == "ok";
        e.from = f[3].toLongLong();
        e.moved = f[4].toLongLong();
        e.readyNs = f[5].toLongLong();
        e.startNs = f[6].toLongLong();
        e.endNs = f[7].toLongLong();
        e.cipher = f[8];
        e.why = f.mid(9).join(' ');
        ended.push_back(e);
    }
    return ended;
}

double PeerProcess::peakMiB()
{
    for (const QByteArray &line : lines()) {
        if (line.startsWith("peer "))
            return line.split(' ').value(1).toDouble() / 1024.0;
    }
    return 0;
}

double PeerProcess::cpuSeconds()
{
    for (const QByteArray &line : lines()) {
        if (line.startsWith("peer "))
            return line.split(' ').value(2).toDouble();
    }
    return 0;
}
