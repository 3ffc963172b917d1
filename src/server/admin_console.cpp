#include "server/admin_console.h"

#include <cerrno>
#include <unistd.h>

AdminConsole::AdminConsole(int fd, QObject *parent)
    : QObject(parent), m_fd(fd), m_notifier(fd, QSocketNotifier::Read)
{
    connect(&m_notifier, &QSocketNotifier::activated, this, &AdminConsole::readAvailable);
}

void AdminConsole::readAvailable()
{
    char buffer[4096];
    const ssize_t count = ::read(m_fd, buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (count <= 0) {
        // End of input, or a terminal that a background server may not read (with SIGTTIN
        // ignored that is an error): stop watching, or the notifier would fire for ever.
        m_notifier.setEnabled(false);
        if (m_partial.endsWith('\r'))
            m_partial.chop(1);
        if (!m_partial.isEmpty() && !m_skippingLongLine)
            Q_EMIT lineEntered(QString::fromLocal8Bit(m_partial));
        m_partial.clear();
        Q_EMIT ended();
        return;
    }
    m_partial.append(buffer, count);
    qsizetype start = 0;
    for (qsizetype end; (end = m_partial.indexOf('\n', start)) >= 0; start = end + 1) {
        if (m_skippingLongLine) {
            m_skippingLongLine = false;
            continue;
        }
        QByteArray line = m_partial.mid(start, end - start);
        if (line.endsWith('\r'))
            line.chop(1);
        Q_EMIT lineEntered(QString::fromLocal8Bit(line));
    }
    m_partial.remove(0, start);
    if (m_partial.size() > MaxLine) {
        m_partial.clear();
        m_skippingLongLine = true;
    }
}
