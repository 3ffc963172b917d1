#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

struct ssl_ctx_st;
struct ssl_st;
struct evp_md_ctx_st;

// The bytes of a benchmark's file, made from a seed and not kept anywhere: any stretch of it
// can be made again, at several GB/s, by whoever sends it and whoever checks it.
void fileBytes(quint64 seed, qint64 offset, char *out, qint64 size);
// The file's SHA-256 in lowercase hexadecimal, as SENDFILE names it.
QByteArray fileDigest(quint64 seed, qint64 size);
// CLOCK_MONOTONIC in ns: the same clock in every process of a run.
qint64 monotonicNs();
// A client's TLS context as our client's: TLS 1.2 or later, the certificate unchecked; with
// `suites`, TLS 1.3 alone with those cipher suites.
ssl_ctx_st *clientTlsContext(const char *suites = nullptr);

// Transfer connections of the files protocol (docs/PROTOCOL.md, "Files"), written with plain
// sockets and OpenSSL on the descriptor, non-blocking, in one epoll loop: the offer, the
// client's marker, the handshake, UPLOAD|ticket or DOWNLOAD|ticket|offset, then raw bytes. An
// upload sends fileBytes() from the offset the server answers and waits for STORED|size; a
// download takes bytes until the server closes, checks them (against fileBytes(), or their
// SHA-256 when it has the digest), and appends them to a file when it has one.
class RawTransfers {
public:
    struct Job {
        bool upload = false;
        QByteArray from;   // the local address
        QByteArray ticket;
        qint64 size = 0;
        quint64 seed = 0;
        // A download: the SHA-256 to check (hex), or empty to compare with fileBytes(); the
        // file its bytes are appended to, whose size is then the offset asked for.
        QByteArray digest;
        QString path;
    };
    struct Result {
        bool ended = false;
        bool ok = false;
        qint64 from = -1;   // FROM|offset
        qint64 moved = 0;   // bytes sent or received on this connection, raw
        qint64 readyNs = 0; // the handshake done
        qint64 startNs = 0; // the request written
        qint64 endNs = 0;   // STORED|size read, or the download's close
        QByteArray why;     // what went wrong
        QByteArray cipher;
    };

    // `progress`, when given, is a shared counter per job: where in the file the job is
    // (the upload's bytes handed to TLS, the download's taken), for a parent that kills us.
    RawTransfers(const char *server, std::vector<Job> jobs, qint64 *progress = nullptr);
    ~RawTransfers();
    RawTransfers(const RawTransfers &) = delete;
    RawTransfers &operator=(const RawTransfers &) = delete;

    // Those whose handshake is done by then wait until that time (monotonicNs()) to send their
    // request, so that transfers begun one by one go on at once.
    void askAt(qint64 ns) { m_askAt = ns; }
    // Runs every job to its end, or until the time is up; whether all ended well.
    bool run(int timeoutMs);
    const std::vector<Result> &results() const { return m_results; }

private:
    enum class Phase { Offer, Handshake, Ready, Answer, Bytes, Done };
    struct Link {
        int fd = -1;
        Phase phase = Phase::Offer;
        ssl_st *ssl = nullptr;
        evp_md_ctx_st *hash = nullptr;
        int file = -1;
        QByteArray in;       // what came and is not taken yet
        QByteArray out;      // in clear before TLS, then the upload's block
        qsizetype outAt = 0;
        qint64 at = 0;       // where in the file
        qint64 stored = 0;   // the last STORED
    };

    void start(size_t which);
    void step(size_t which, uint32_t events);
    bool handshake(size_t which);
    // Sends UPLOAD or DOWNLOAD.
    bool ask(size_t which);
    // Reads what TLS has: false when the connection ended (told through end()).
    bool readTls(size_t which);
    // Framed messages in `in` until the bytes begin: the answer, acknowledgements.
    void messages(size_t which);
    void take(size_t which, const char *data, qsizetype size);
    void send(size_t which);
    void watch(size_t which, bool writes);
    void end(size_t which, bool ok, const QByteArray &why);

    int m_poll;
    quint32 m_server = 0;
    ssl_ctx_st *m_tls;
    std::vector<Job> m_jobs;
    std::vector<Link> m_links;
    std::vector<Result> m_results;
    qint64 *m_progress;
    std::vector<char> m_buffer;
    std::vector<char> m_expected;
    int m_left = 0;
    qint64 m_askAt = 0;
};
