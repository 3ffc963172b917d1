#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QString>

#include <functional>
#include <vector>

// A message as a framed user writes it: in the code page, with its terminator.
QByteArray framed(const QString &text);

// Thousands of framed users of one server, written with plain sockets: one epoll loop, meant
// to run on a thread of its own. Each benchmark counts what it wants of the messages read.
class RawUsers {
public:
    // Every message a user reads, without its terminator; which is open()'s number. It must
    // not open connections: the message lies in the user's buffer.
    using Reader = std::function<void(size_t which, QByteArrayView message)>;

    RawUsers(const char *server, Reader reader);
    ~RawUsers();
    RawUsers(const RawUsers &) = delete;
    RawUsers &operator=(const RawUsers &) = delete;

    // The i-th user's address: 16 to an address, from 127.0.<base>.1 on.
    static QByteArray address(int base, int i);

    // A connection from that address, which writes these bytes once it can; its number.
    size_t open(const char *from, const QByteArray &bytes);
    void write(size_t which, const QByteArray &bytes);
    void close(size_t which);
    // Handles what comes for up to this long.
    void run(int ms);

    size_t size() const { return m_links.size(); }
    qint64 nowNs() const { return m_clock.nsecsElapsed(); }
    // Connections the server has answered, and those it has closed.
    int heard() const { return m_heard; }
    int closed() const { return m_closed; }
    qint64 messages() const { return m_messages; }
    qint64 bytesRead() const { return m_bytes; }

private:
    struct Link {
        int fd = -1;
        QByteArray out;
        QByteArray tail;
        bool heard = false;
    };

    void flush(size_t which);
    void read(size_t which);

    int m_poll;
    quint32 m_server = 0;
    Reader m_reader;
    QElapsedTimer m_clock;
    std::vector<Link> m_links;
    std::vector<char> m_buffer;
    int m_heard = 0;
    int m_closed = 0;
    qint64 m_messages = 0;
    qint64 m_bytes = 0;
};
