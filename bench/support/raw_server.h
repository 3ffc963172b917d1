#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

// A server on a loopback address written with plain sockets, meant to run on a thread of its
// own, so that its pacing does not depend on the client's event loop.
class RawServer {
public:
    explicit RawServer(const char *address);
    ~RawServer();

    bool accept();
    // Reads until at least this many bytes have come in; returns them.
    QByteArray readAtLeast(qsizetype count);
    // What has come in and not been read yet, without waiting; empty when nothing has.
    QByteArray readWaiting();
    bool write(const QByteArray &bytes);
    void close();

private:
    int m_listener = -1;
    int m_client = -1;
};

using Clock = std::chrono::steady_clock;

// Benchmarks draw their windows off screen unless told otherwise (QT_QPA_PLATFORM), and their
// clients keep their settings in a folder of the run's own: each run's server has a new
// certificate, which a certificate remembered from an earlier run would refuse.
void prepareBenchEnvironment();
// As many open files as the system lets this process have: thousands of connections, and the
// server started from here inherits the limit.
void raiseOpenFileLimit();
// Runs the event loop for this long.
void runEventsFor(int ms);
// CPU time this process has used, user and system, in seconds.
double processCpuSeconds();

// Resident memory of this process now, and at its peak, in MiB.
double currentRssMiB();
double peakRssMiB();

QByteArray nickBytes(const QString &nickname);
