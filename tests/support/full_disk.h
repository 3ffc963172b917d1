#pragma once

#include <csignal>

#include <sys/resource.h>

// A disk full past `bytes`, as the kernel reports it: while the guard lives, every write of this
// process beyond that offset of any file fails (EFBIG; the signal the kernel sends with it is
// ignored), and a write that crosses it is cut short.
class FullDisk {
public:
    explicit FullDisk(rlim_t bytes) : m_handler(std::signal(SIGXFSZ, SIG_IGN))
    {
        getrlimit(RLIMIT_FSIZE, &m_limit);
        const rlimit full{bytes, m_limit.rlim_max};
        setrlimit(RLIMIT_FSIZE, &full);
    }
    ~FullDisk()
    {
        setrlimit(RLIMIT_FSIZE, &m_limit);
        std::signal(SIGXFSZ, m_handler);
    }
    FullDisk(const FullDisk &) = delete;
    FullDisk &operator=(const FullDisk &) = delete;

private:
    rlimit m_limit{};
    void (*m_handler)(int);
};
