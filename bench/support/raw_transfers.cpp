#include "support/raw_transfers.h"

#include "protocol/wire.h"
#include "support/raw_users.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

namespace {

// An upload hands TLS this much at a time (as the server reads a download from its disk), and
// a turn of the loop gives one connection at most this much, so that a hundred go on together.
constexpr qsizetype kBlock = 256 * 1024;
constexpr qint64 kTurn = 1024 * 1024;

quint64 mix(quint64 x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

QByteArray hexOf(const unsigned char *bytes, int size)
{
    return QByteArray(reinterpret_cast<const char *>(bytes), size).toHex();
}

} // namespace

void fileBytes(quint64 seed, qint64 offset, char *out, qint64 size)
{
    // Word i of the file is mix(seed << 40 | i), little-endian: 2^40 words a seed.
    const quint64 base = seed << 40;
    qint64 word = offset / 8;
    int skip = int(offset % 8);
    while (size > 0) {
        if (skip == 0 && size >= 8) {
            const qint64 words = size / 8;
            auto *to = reinterpret_cast<unsigned char *>(out);
            for (qint64 i = 0; i < words; ++i) {
                const quint64 value = mix(base | quint64(word + i));
                std::memcpy(to + 8 * i, &value, 8);
            }
            word += words;
            out += 8 * words;
            size -= 8 * words;
            continue;
        }
        const quint64 value = mix(base | quint64(word++));
        char bytes[8];
        std::memcpy(bytes, &value, 8);
        const int take = int(std::min<qint64>(8 - skip, size));
        std::memcpy(out, bytes + skip, size_t(take));
        out += take;
        size -= take;
        skip = 0;
    }
}

QByteArray fileDigest(quint64 seed, qint64 size)
{
    std::vector<char> block(size_t(1) << 20);
    EVP_MD_CTX *hash = EVP_MD_CTX_new();
    EVP_DigestInit_ex(hash, EVP_sha256(), nullptr);
    for (qint64 at = 0; at < size;) {
        const qint64 n = std::min<qint64>(qint64(block.size()), size - at);
        fileBytes(seed, at, block.data(), n);
        EVP_DigestUpdate(hash, block.data(), size_t(n));
        at += n;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(hash, digest, &length);
    EVP_MD_CTX_free(hash);
    return hexOf(digest, int(length));
}

qint64 monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

ssl_ctx_st *clientTlsContext(const char *suites)
{
    SSL_CTX *context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(context, suites ? TLS1_3_VERSION : TLS1_2_VERSION);
    if (suites)
        SSL_CTX_set_ciphersuites(context, suites);
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    return context;
}

RawTransfers::RawTransfers(const char *server, std::vector<Job> jobs, qint64 *progress)
    : m_poll(epoll_create1(EPOLL_CLOEXEC)),
      m_tls(clientTlsContext()),
      m_jobs(std::move(jobs)),
      m_links(m_jobs.size()),
      m_results(m_jobs.size()),
      m_progress(progress),
      m_buffer(size_t(kBlock)),
      m_expected(size_t(kBlock))
{
    in_addr where{};
    inet_pton(AF_INET, server, &where);
    m_server = where.s_addr;
    for (size_t i = 0; i < m_jobs.size(); ++i)
        start(i);
}

RawTransfers::~RawTransfers()
{
    for (size_t i = 0; i < m_links.size(); ++i) {
        if (!m_results[i].ended)
            end(i, false, "not ended");
    }
    SSL_CTX_free(m_tls);
    ::close(m_poll);
}

void RawTransfers::start(size_t which)
{
    const Job &job = m_jobs[which];
    Link &link = m_links[which];
    ++m_left;
    if (!job.upload) {
        link.hash = EVP_MD_CTX_new();
        EVP_DigestInit_ex(link.hash, EVP_sha256(), nullptr);
    }
    if (!job.path.isEmpty()) {
        // What the file holds is where the download goes on; its SHA-256 counts it.
        link.file = ::open(job.path.toLocal8Bit().constData(),
                           O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        for (qint64 n; link.file >= 0
             && (n = ::read(link.file, m_buffer.data(), m_buffer.size())) > 0;) {
            EVP_DigestUpdate(link.hash, m_buffer.data(), size_t(n));
            link.at += n;
        }
    }
    in_addr local{};
    inet_pton(AF_INET, job.from.constData(), &local);
    const int fd = connectFrom(local.s_addr, m_server);
    // As our client does.
    if (job.upload) {
        const int buffer = wire::UploadSocketBuffer;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    }
    link.fd = fd;
    link.out = wire::marker(wire::Accept, true);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT;
    event.data.u64 = which;
    epoll_ctl(m_poll, EPOLL_CTL_ADD, fd, &event);
}

bool RawTransfers::run(int timeoutMs)
{
    const qint64 until = monotonicNs() + qint64(timeoutMs) * 1'000'000;
    epoll_event events[256];
    while (m_left > 0 && monotonicNs() < until) {
        const qint64 now = monotonicNs();
        const int wait = now < m_askAt ? int(std::min<qint64>(100, (m_askAt - now) / 1'000'000 + 1)) : 100;
        const int count = epoll_wait(m_poll, events, 256, wait);
        for (int i = 0; i < count; ++i) {
            const size_t which = events[i].data.u64;
            if (!m_results[which].ended)
                step(which, events[i].events);
        }
        if (monotonicNs() < m_askAt)
            continue;
        for (size_t which = 0; which < m_links.size(); ++which) {
            if (!m_results[which].ended && m_links[which].phase == Phase::Ready)
                ask(which);
        }
    }
    return std::all_of(m_results.begin(), m_results.end(),
                       [](const Result &result) { return result.ok; });
}

void RawTransfers::watch(size_t which, bool writes)
{
    epoll_event event{};
    event.events = EPOLLIN | (writes ? uint32_t(EPOLLOUT) : 0u);
    event.data.u64 = which;
    epoll_ctl(m_poll, EPOLL_CTL_MOD, m_links[which].fd, &event);
}

void RawTransfers::step(size_t which, uint32_t events)
{
    Link &link = m_links[which];
    if (link.phase == Phase::Offer) {
        // The marker in clear; the offer and the server's marker in clear before the handshake.
        if ((events & EPOLLOUT) && link.outAt < link.out.size()) {
            const ssize_t n = ::send(link.fd, link.out.constData() + link.outAt,
                                     size_t(link.out.size() - link.outAt), MSG_NOSIGNAL);
            if (n > 0)
                link.outAt += n;
            watch(which, link.outAt < link.out.size());
        }
        if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
            const ssize_t n = ::recv(link.fd, m_buffer.data(), m_buffer.size(), 0);
            if (n <= 0 && !(n < 0 && errno == EAGAIN)) {
                end(which, false, "closed before the handshake");
                return;
            }
            if (n > 0)
                link.in.append(m_buffer.data(), n);
            if (link.in.contains(wire::marker(wire::Accepted, true))) {
                link.in.clear();
                link.phase = Phase::Handshake;
                link.ssl = SSL_new(m_tls);
                SSL_set_fd(link.ssl, link.fd);
                SSL_set_connect_state(link.ssl);
                handshake(which);
            }
        }
        return;
    }
    if (link.phase == Phase::Handshake) {
        handshake(which);
        return;
    }
    if (link.phase == Phase::Ready) {
        // Nothing but the session's tickets comes before the request.
        char byte = 0;
        const int n = SSL_read(link.ssl, &byte, 1);
        const int error = SSL_get_error(link.ssl, n);
        if (n > 0 || (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE))
            end(which, false, "closed or spoke before the request");
        return;
    }
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) && !readTls(which))
        return;
    if (!m_results[which].ended && m_jobs[which].upload && link.phase == Phase::Bytes)
        send(which);
}

bool RawTransfers::handshake(size_t which)
{
    Link &link = m_links[which];
    const int done = SSL_do_handshake(link.ssl);
    if (done != 1) {
        const int error = SSL_get_error(link.ssl, done);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            watch(which, error == SSL_ERROR_WANT_WRITE);
            return false;
        }
        end(which, false, "handshake failed");
        return false;
    }
    m_results[which].cipher = SSL_get_cipher_name(link.ssl);
    m_results[which].readyNs = monotonicNs();
    if (m_results[which].readyNs < m_askAt) {
        link.phase = Phase::Ready;
        watch(which, false);
        return true;
    }
    return ask(which);
}

bool RawTransfers::ask(size_t which)
{
    Link &link = m_links[which];
    const Job &job = m_jobs[which];
    Result &result = m_results[which];
    const QString request = job.upload
        ? wire::buildMessage(wire::Upload, {QString::fromLatin1(job.ticket)})
        : wire::buildMessage(wire::Download,
                             {QString::fromLatin1(job.ticket), QString::number(link.at)});
    const QByteArray bytes = wire::toCodePage(request) + wire::Terminator;
    result.startNs = monotonicNs();
    // A few dozen bytes: TLS takes them at once.
    if (SSL_write(link.ssl, bytes.constData(), int(bytes.size())) != int(bytes.size())) {
        end(which, false, "the request not written");
        return false;
    }
    link.phase = Phase::Answer;
    watch(which, false);
    return true;
}

bool RawTransfers::readTls(size_t which)
{
    Link &link = m_links[which];
    for (qint64 taken = 0; taken < kTurn;) {
        const int n = SSL_read(link.ssl, m_buffer.data(), int(m_buffer.size()));
        if (n > 0) {
            taken += n;
            if (link.phase == Phase::Bytes && !m_jobs[which].upload) {
                take(which, m_buffer.data(), n);
            } else {
                link.in.append(m_buffer.data(), n);
                messages(which);
            }
            if (m_results[which].ended)
                return false;
            continue;
        }
        const int error = SSL_get_error(link.ssl, n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
            return true;
        // Closed: a download whose bytes are all here has ended well.
        const Job &job = m_jobs[which];
        if (!job.upload && link.phase == Phase::Bytes && link.at == job.size) {
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            EVP_DigestFinal_ex(link.hash, digest, &length);
            const bool same = job.digest.isEmpty() || hexOf(digest, int(length)) == job.digest;
            end(which, same, same ? QByteArray() : "SHA-256 differs");
        } else {
            end(which, false,
                "closed at " + QByteArray::number(link.at) + " of " + QByteArray::number(job.size)
                    + (link.in.isEmpty() ? QByteArray() : ": " + link.in.left(200)));
        }
        return false;
    }
    return true;
}

void RawTransfers::messages(size_t which)
{
    Link &link = m_links[which];
    const Job &job = m_jobs[which];
    Result &result = m_results[which];
    for (qsizetype end; !result.ended && link.phase != Phase::Bytes
         && (end = link.in.indexOf('\0')) >= 0;) {
        const QByteArray message = link.in.left(end);
        link.in.remove(0, end + 1);
        const wire::Message read(wire::fromCodePage(message));
        if (read.command() == wire::From) {
            result.from = link.at = read.field(1).toLongLong();
            link.phase = Phase::Bytes;
            if (job.upload) {
                watch(which, true);
            } else if (!link.in.isEmpty()) {
                const QByteArray rest = std::exchange(link.in, {});
                take(which, rest.constData(), rest.size());
            }
        } else {
            this->end(which, false, message.left(200));
        }
    }
    // An upload's acknowledgements: STORED|offset, the last one at its size.
    for (qsizetype end; job.upload && !result.ended && link.phase == Phase::Bytes
         && (end = link.in.indexOf('\0')) >= 0;) {
        const QByteArray message = link.in.left(end);
        link.in.remove(0, end + 1);
        const wire::Message read(wire::fromCodePage(message));
        if (read.command() != wire::Stored) {
            this->end(which, false, message.left(200));
            return;
        }
        link.stored = read.field(1).toLongLong();
        if (link.stored == job.size)
            this->end(which, link.at == job.size, link.at == job.size ? QByteArray() : "early");
    }
}

void RawTransfers::take(size_t which, const char *data, qsizetype size)
{
    Link &link = m_links[which];
    const Job &job = m_jobs[which];
    if (link.at + size > job.size) {
        end(which, false, "more bytes than the file has");
        return;
    }
    if (job.digest.isEmpty()) {
        fileBytes(job.seed, link.at, m_expected.data(), size);
        if (std::memcmp(m_expected.data(), data, size_t(size)) != 0) {
            end(which, false, "bytes differ near " + QByteArray::number(link.at));
            return;
        }
    } else {
        EVP_DigestUpdate(link.hash, data, size_t(size));
    }
    for (qsizetype done = 0; link.file >= 0 && done < size;) {
        const ssize_t n = ::write(link.file, data + done, size_t(size - done));
        if (n <= 0) {
            end(which, false, "cannot write the file");
            return;
        }
        done += n;
    }
    link.at += size;
    m_results[which].moved += size;
    if (m_progress)
        __atomic_store_n(&m_progress[which], link.at, __ATOMIC_RELAXED);
}

void RawTransfers::send(size_t which)
{
    Link &link = m_links[which];
    const Job &job = m_jobs[which];
    for (qint64 sent = 0; sent < kTurn;) {
        if (link.outAt == link.out.size()) {
            if (link.at == job.size) {
                // All handed over: the last STORED ends it.
                watch(which, false);
                return;
            }
            link.out.resize(qsizetype(std::min<qint64>(kBlock, job.size - link.at)));
            fileBytes(job.seed, link.at, link.out.data(), link.out.size());
            link.outAt = 0;
        }
        const int n = SSL_write(link.ssl, link.out.constData() + link.outAt,
                                int(link.out.size() - link.outAt));
        if (n <= 0) {
            const int error = SSL_get_error(link.ssl, n);
            if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ)
                end(which, false,
                    "write failed at " + QByteArray::number(link.at + link.outAt));
            return;
        }
        link.outAt += n;
        sent += n;
        m_results[which].moved += n;
        if (link.outAt == link.out.size())
            link.at += link.out.size();
        if (m_progress)
            __atomic_store_n(&m_progress[which],
                             link.at + (link.outAt == link.out.size() ? 0 : link.outAt),
                             __ATOMIC_RELAXED);
    }
}

void RawTransfers::end(size_t which, bool ok, const QByteArray &why)
{
    Link &link = m_links[which];
    Result &result = m_results[which];
    if (result.ended)
        return;
    result.ended = true;
    result.ok = ok;
    result.why = why;
    result.endNs = monotonicNs();
    if (link.ssl) {
        if (ok)
            SSL_shutdown(link.ssl);
        SSL_free(std::exchange(link.ssl, nullptr));
    }
    if (link.fd >= 0) {
        epoll_ctl(m_poll, EPOLL_CTL_DEL, link.fd, nullptr);
        ::close(std::exchange(link.fd, -1));
    }
    EVP_MD_CTX_free(std::exchange(link.hash, nullptr));
    if (link.file >= 0)
        ::close(std::exchange(link.file, -1));
    link.out.clear();
    link.in.clear();
    link.phase = Phase::Done;
    --m_left;
}
