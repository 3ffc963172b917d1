#pragma once

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

// The administrator's commands, one per line, read from a file descriptor (standard input)
// only when the event loop says there is something to read, so the server never waits on it.
class AdminConsole : public QObject {
    Q_OBJECT

public:
    explicit AdminConsole(int fd, QObject *parent = nullptr);

Q_SIGNALS:
    void lineEntered(const QString &line);
    // The input has ended or failed; nothing more is read from it.
    void ended();

private:
    void readAvailable();

    int m_fd;
    QSocketNotifier m_notifier;
    QByteArray m_partial;
    // A line longer than this is thrown away rather than held.
    static constexpr qsizetype MaxLine = 64 * 1024;
    bool m_skippingLongLine = false;
};
