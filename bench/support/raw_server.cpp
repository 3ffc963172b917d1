#include "support/raw_server.h"

#include "protocol/wire.h"

#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

RawServer::RawServer(const char *address)
{
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(wire::ServerPort);
    ::inet_pton(AF_INET, address, &where.sin_addr);
    if (::bind(m_listener, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0
        || ::listen(m_listener, 8) != 0)
        std::perror("listen");
}

RawServer::~RawServer()
{
    close();
    if (m_listener >= 0)
        ::close(m_listener);
}

bool RawServer::accept()
{
    m_client = ::accept(m_listener, nullptr, nullptr);
    const int yes = 1;
    ::setsockopt(m_client, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return m_client >= 0;
}

QByteArray RawServer::readAtLeast(qsizetype count)
{
    QByteArray bytes;
    char buffer[4096];
    while (bytes.size() < count) {
        const ssize_t got = ::read(m_client, buffer, sizeof buffer);
        if (got <= 0)
            break;
        bytes.append(buffer, got);
    }
    return bytes;
}

QByteArray RawServer::readWaiting()
{
    QByteArray bytes;
    char buffer[65536];
    ssize_t got = 0;
    while ((got = ::recv(m_client, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
        bytes.append(buffer, got);
    return bytes;
}

bool RawServer::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(m_client, bytes.constData() + done, bytes.size() - done);
        if (wrote <= 0)
            return false;
        done += wrote;
    }
    return true;
}

void RawServer::close()
{
    if (m_client >= 0)
        ::close(m_client);
    m_client = -1;
}

void prepareBenchEnvironment()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static const QTemporaryDir settings;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(settings.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(settings.path() + QStringLiteral("/data")));
}

void raiseOpenFileLimit()
{
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
}

void runEventsFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double currentRssMiB()
{
    long pages = 0;
    long resident = 0;
    if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    // The kernel samples its peak now and then; the current figure may be a little higher.
    return std::max(double(usage.ru_maxrss) / 1024.0, currentRssMiB());
}

QByteArray nickBytes(const QString &nickname)
{
    return wire::toCodePage(wire::buildMessage(u"NICK", {nickname}));
}
