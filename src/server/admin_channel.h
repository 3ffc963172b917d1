#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

// What one administrator command did: the lines it logged, and whether it did what was asked
// (a command not understood, or a boot of nobody, did not).
struct AdminAnswer {
    QStringList lines;
    bool done = false;
};

// The administrator's commands over a local socket, for a server that has no terminal (a
// service). Only the administrator may use it: the socket file is for the server's own user
// alone, and a peer that is neither root nor that user is refused all the same. One command
// line in; the lines it logged out, and a last line "exit 0" when it was done ("exit 1" when
// not); then the connection ends.
class AdminChannel : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<AdminAnswer(const QString &line)>;

    AdminChannel(Handler handler, QObject *parent = nullptr);

    // Listens at the path, replacing a socket a former run left behind. Empty when it listens;
    // otherwise why not.
    QString listen(const QString &path);

    static constexpr const char *Refusal = "refused: only the administrator may give commands";

private:
    void accept();

    Handler m_handler;
    QLocalServer m_server;
};

// Sends one command line to a running server's channel and prints its answer. Returns the
// program's exit code: 0 only when the server did what was asked.
int sendAdminCommand(const QString &path, const QString &line);
